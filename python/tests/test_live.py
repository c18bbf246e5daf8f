"""Live delivery from the real daemon: flags and paths of file- and directory-level streams,
str and bytes paths, flush, and the selector and asyncio forms."""

import asyncio
import os
import selectors

from support import WAIT, DaemonCase, flags_by_path, has_paths

from vantles import Flags, Stream


class Live(DaemonCase):
    def test_file_events_carry_what_happened_to_each_path(self):
        os.mkdir(self.path("skip"))
        self.touch("old", "doomed")
        with Stream([self.dir], latency=0, files=True, excludes=[self.path("skip")]) as stream:
            self.touch("new", "skip/hidden")
            os.mkdir(self.path("sub"))
            os.rename(self.path("old"), self.path("renamed"))
            os.unlink(self.path("doomed"))
            self.touch("last")
            events = self.collect(stream, has_paths(self.path("last")))
            highest = stream.flush()
        got = flags_by_path(events)
        want = {
            "new": Flags.created | Flags.file,
            "sub": Flags.dir_created | Flags.dir,
            "old": Flags.renamed | Flags.file,
            "renamed": Flags.renamed | Flags.file,
            "doomed": Flags.removed | Flags.file,
        }
        for name, flags in want.items():
            self.assertEqual(flags, got.get(self.path(name), Flags(0)) & flags, name)
        self.assertNotIn(self.path("skip/hidden"), got)
        self.assertTrue(all(isinstance(e.path, str) and isinstance(e.flags, Flags) for e in events))
        self.assertGreaterEqual(highest, max(e.id for e in events))

    def test_globs_and_flags_filter_here(self):
        os.mkdir(self.path("build"))
        with Stream(
            [self.dir],
            latency=0,
            files=True,
            include=["*.c", "last"],
            excludes=["**/build/**"],
            events=Flags.created,
        ) as stream:
            self.touch("a.c", "b.h", "build/x.c")
            os.mkdir(self.path("made.c"))  # dir_created, not created
            self.touch("last")
            paths = {e.path for e in self.collect(stream, has_paths(self.path("last")))}
        self.assertIn(self.path("a.c"), paths)
        for left_out in ("b.h", "build/x.c", "made.c"):
            self.assertNotIn(self.path(left_out), paths)

    def test_directory_streams_name_the_directory(self):
        os.mkdir(self.path("d"))
        with Stream([self.dir + "/"], latency=0) as stream:
            self.touch("d/f")
            events = self.collect(stream, has_paths(self.path("d") + "/"))
        self.assertNotIn(self.path("d/f"), {e.path for e in events})

    def test_names_that_are_not_utf8_arrive_in_the_form_asked_for(self):
        name = os.fsencode(self.dir) + b"/caf\xe9"
        with Stream([os.fsencode(self.dir)], latency=0, files=True) as raw, Stream(
            [self.dir], latency=0, files=True
        ) as text:
            open(name, "w").close()
            self.assertIn(name, {e.path for e in self.collect(raw, has_paths(name))})
            self.collect(text, has_paths(os.fsdecode(name)))

    def test_a_selector_of_the_callers_own_sees_batches_waiting(self):
        stream = Stream([self.dir], latency=0, files=True)
        with stream, selectors.DefaultSelector() as sel:
            sel.register(stream, selectors.EVENT_READ)
            self.touch("f")
            paths = set()
            while self.path("f") not in paths:  # only what the selector reported is read
                self.assertTrue(sel.select(WAIT), "nothing reported; read: %s" % paths)
                paths |= {e.path for e in stream.read(0)}

    def test_async_for_receives_batches(self):
        async def first_event(path):
            async with Stream([self.dir], latency=0, files=True) as stream:
                await asyncio.sleep(0.05)  # the loop keeps running while nothing comes
                self.touch("f")
                async for batch in stream:
                    for event in batch:
                        if event.path == path:
                            return event

        event = asyncio.run(asyncio.wait_for(first_event(self.path("f")), WAIT))
        self.assertTrue(event.flags & Flags.created)
