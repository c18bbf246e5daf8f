"""The history through the real daemon: resuming from the highest id seen, also across a
daemon restart, the id for a time, and purging (refused to other users than root)."""

import os
import time

from support import DaemonCase, daemon_request, has_paths

import vantles
from vantles import Flags, Stream


class History(DaemonCase):
    def replay(self, since):
        batches = list(vantles.history([self.dir], since, files=True))
        events = [e for batch in batches for e in batch]
        self.assertTrue(events[-1].flags & Flags.history_done, events[-1])
        self.assertFalse(any(e.flags & Flags.history_done for e in events[:-1]))
        return events[:-1], events[-1]

    def test_a_replay_resumes_after_the_highest_id_seen_across_a_restart(self):
        uuid = vantles.uuid(self.dir)
        self.assertEqual(36, len(uuid), uuid)
        with Stream([self.dir], latency=0, files=True) as stream:
            self.touch("seen1", "seen2")
            position = max(e.id for e in self.collect(stream, has_paths(self.path("seen2"))))
            self.touch("missed1", "missed2")
            self.collect(stream, has_paths(self.path("missed2")))
        daemon_request("restart")
        self.assertEqual(uuid, vantles.uuid(self.dir))
        self.assertGreater(vantles.current_id(), position)
        replayed, done = self.replay(position)
        paths = {e.path for e in replayed}
        self.assertLessEqual({self.path("missed1"), self.path("missed2")}, paths)
        self.assertFalse(paths & {self.path("seen1"), self.path("seen2")})
        self.assertTrue(all(e.id > position for e in replayed))
        # The history-done id is a position too: what follows it is new.
        with Stream([self.dir], since=done.id, latency=0, files=True) as stream:
            self.touch("after")
            events = self.collect(stream, has_paths(self.path("after")))
        self.assertNotIn(self.path("missed1"), {e.path for e in events})

    def test_id_before_a_time(self):
        self.touch("f")
        now = vantles.current_id()
        self.assertEqual(0, vantles.id_before(0, self.dir))
        later = vantles.id_before(time.time() + 3600, self.dir)
        self.assertLessEqual(later, now)
        self.assertEqual(later, vantles.id_before(time.time() + 3600, vantles.device_of(self.dir)))

    def test_purge_is_roots_and_gives_the_history_a_new_uuid(self):
        child = os.fork()
        if child == 0:
            try:
                os.setgid(65534)
                os.setuid(65534)
                vantles.purge(self.dir)
                os._exit(1)
            except vantles.NotPermitted as e:
                os._exit(0 if e.code == 5 and "only root" in str(e) else 2)
            finally:
                os._exit(3)
        self.assertEqual(0, os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]))
        uuid = vantles.uuid(self.dir)
        daemon_request("restart")  # a new log file, so that there is one to remove
        self.assertTrue(vantles.purge(self.dir))
        self.assertNotEqual(uuid, vantles.uuid(self.dir))
