"""Changes since a token through the real daemon: every answer the history cannot give is a
rescan, a change is in the next answer and only there, and tokens pass between Python and the
vantles tool (a file written right before a call under a storm: tests/blackbox/changes_test).
Against a stand-in daemon: the token of several volumes, and a sync that could not catch up."""

import errno
import json
import os
import re
import struct
import subprocess
import tempfile
import unittest

from support import DaemonCase, daemon_request, reply, stand_in

import vantles
from vantles import Flags

FLUSH_NAMES = 5000  # the daemon writes its pending names to the history at this many
HISTORY_CHANGED = "the history changed (a new history, a purge, or another machine's token)"


class Changes(DaemonCase):
    def changes(self, since):
        return vantles.changes([self.dir], since, files=True)

    def tool(self, since):
        """The answer of `vantles changes --json` since a token."""
        command = [os.environ["VANTLES_TOOL"], "changes", "--json", "--files"]
        run = subprocess.run(command + ["--since", since, self.dir], stdout=subprocess.PIPE)
        self.assertEqual(0, run.returncode)
        return json.loads(run.stdout)

    def test_a_change_is_in_the_next_answer_and_only_there(self):
        first = self.changes(None)
        self.assertEqual(("no token", []), (first.rescan, first.changes))
        uuid = re.escape(vantles.uuid(self.dir))
        self.assertRegex(first.token, r"\Avantles:[0-9]+:%s\Z" % uuid)
        self.touch("b", "a")
        created = self.changes(first.token).changes[-1]
        # More names than the daemon keeps pending: they are written out, and a's next event
        # comes as a record of its own in the replay.
        many = tempfile.mkdtemp(dir="/tmp")
        for i in range(FLUSH_NAMES + 1):
            open(os.path.join(many, str(i)), "w").close()
        with open(self.path("a"), "w") as f:
            f.write("x")
        answer = self.changes(first.token)
        self.assertIsNone(answer.rescan)
        # One per path, in id order (b was created first), a's two events merged.
        self.assertEqual([self.path("b"), self.path("a")], [e.path for e in answer.changes])
        a = answer.changes[1]
        self.assertEqual(self.path("a"), created.path)
        self.assertGreater(a.id, created.id)
        self.assertEqual(Flags.created | Flags.modified, a.flags & (Flags.created | Flags.modified))
        self.assertLessEqual(a.id, int(answer.token.split(":")[1]))
        again = self.changes(answer.token)
        self.assertEqual((None, []), (again.rescan, again.changes))
        per_directory = vantles.changes([self.dir], first.token)
        self.assertEqual([self.dir + "/"], [e.path for e in per_directory.changes])

    def test_every_answer_the_history_cannot_give_is_a_rescan(self):
        first = self.changes(None)
        uuids = first.token.split(":", 2)[2]
        for since, reason in (
            ("1733000000", "not a token of this daemon"),
            ("vantles:12:", "not a token of this daemon"),
            ("vantles:%d:%s" % (2**64, uuids), "not a token of this daemon"),
            ("vantles:1:00000000-0000-0000-0000-000000000000", HISTORY_CHANGED),
            ("vantles:%d:%s" % (2**64 - 1, uuids), "the token is above every event id handed out"),
        ):
            answer = self.changes(since)
            self.assertEqual((reason, []), (answer.rescan, answer.changes), since)
            self.assertTrue(answer.token.endswith(":" + uuids), answer.token)
        self.touch("a")
        after_a = self.changes(first.token).token
        daemon_request("restart")  # what changed while no daemon ran is unknown
        answer = self.changes(after_a)
        self.assertEqual("events were lost in between (a dropped notice)", answer.rescan)
        self.assertEqual([], answer.changes)
        self.touch("b")
        self.assertEqual([self.path("b")], [e.path for e in self.changes(answer.token).changes])
        daemon_request("restart")  # a log file the purge can remove
        self.assertTrue(vantles.purge(self.dir))
        self.assertEqual(HISTORY_CHANGED, self.changes(answer.token).rescan)

    def test_tokens_pass_between_python_and_the_tool(self):
        start = self.changes(None).token
        self.touch("by-python")
        by_tool = self.tool(start)
        self.assertIsNone(by_tool["rescan"])
        self.assertEqual([self.path("by-python")], [e["path"] for e in by_tool["changes"]])
        self.touch("by-tool")
        answer = self.changes(by_tool["token"])
        self.assertIsNone(answer.rescan)
        self.assertEqual([self.path("by-tool")], [e.path for e in answer.changes])
        again = self.tool(answer.token)
        self.assertEqual((None, []), (again["rescan"], again["changes"]))

    def test_paths_are_checked_before_anything_is_sent(self):
        nowhere = self.path("none.sock")
        for paths, error in (([], ValueError), (self.dir, TypeError), (["tmp"], ValueError)):
            with self.assertRaises(error, msg=repr(paths)):
                vantles.changes(paths, socket=nowhere)
        with self.assertRaises(vantles.VantlesError) as caught:
            vantles.changes([self.dir, self.path("missing")], socket=nowhere)
        self.assertEqual(errno.ENOENT, caught.exception.code)
        self.assertNotIsInstance(caught.exception, OSError)
        self.assertIn(self.path("missing") + ": ", str(caught.exception))


UUID_A = "aaaaaaaa-0000-0000-0000-000000000000"
UUID_B = "bbbbbbbb-0000-0000-0000-000000000000"


def sync_reply(event_id, uuid):
    return reply(66007, struct.pack("<Q", event_id) + uuid.encode().ljust(36, b"\0"))


def requests_made(requests):
    """(request id, device) of each volume request a stand-in read."""
    return [struct.unpack_from("<20xi8xI", r) for r in requests]


class StandIn(unittest.TestCase):
    """What the daemon answers only rarely or on other machines."""

    def setUp(self):
        self.devices = [vantles.device_of("/"), vantles.device_of("/proc")]
        if self.devices[0] == self.devices[1]:
            self.skipTest("/ and /proc are on one volume")

    def test_the_token_of_several_volumes(self):
        # The first sync ends the range; the uuids are sorted and each given once. An up-to-date
        # token makes no replay: the stand-in has no answer for one.
        for uuids, token, rescan in (
            ((UUID_B, UUID_A), "vantles:50:%s,%s" % (UUID_A, UUID_B), None),
            ((UUID_A, UUID_A), "vantles:50:" + UUID_A, None),
            ((UUID_A, "NO-UUID-NONE"), "vantles:50:NO-UUID-NONE," + UUID_A,
             "no history keeps the events of these paths"),
        ):
            path, requests = stand_in([[sync_reply(50, uuids[0]), sync_reply(51, uuids[1])]])
            answer = vantles.changes(["/", "/proc", "/proc/self"], token, socket=path)
            self.assertEqual(vantles.Changes(token, rescan, []), answer)
            self.assertEqual([(66007, d) for d in self.devices], requests_made(requests))

    def test_a_sync_that_could_not_catch_up_answers_a_rescan(self):
        for code in (49, 6):
            answers = [reply(66007, code=code), reply(66002, UUID_A.encode()),
                       reply(66003, struct.pack("<Q", 7))]
            answer = vantles.changes(["/"], "vantles:7:" + UUID_A, socket=stand_in([answers])[0])
            reason = "the daemon could not catch up with the kernel's queue in time"
            self.assertEqual(vantles.Changes("vantles:7:" + UUID_A, reason, []), answer)
        path, _ = stand_in([[reply(66007, code=-22)]])
        with self.assertRaises(vantles.VantlesError) as caught:
            vantles.changes(["/"], socket=path)
        self.assertEqual(-22, caught.exception.code)
