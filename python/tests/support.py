"""What the suites share: the daemon the test launcher started (tests/python), its restart, a
scratch directory for each case, and collecting a stream's events until a condition holds."""

import faulthandler
import os
import tempfile
import time
import unittest

import vantles

CONTROL = os.environ.get("VANTLES_TEST_CONTROL")
WAIT = 10.0  # far beyond any delivery: only a lost event runs into it

# A hang is a failure with a traceback, never a stuck run.
faulthandler.dump_traceback_later(180, exit=True)


def daemon_request(what: str) -> None:
    """Asks the launcher to "restart" the daemon (SIGTERM) or "kill" it (SIGKILL) and start a
    new one in the same scratch root; returns once the new one answers."""
    requests, replies = map(int, CONTROL.split(","))
    os.write(requests, what.encode() + b"\n")
    reply = b""
    while not reply.endswith(b"\n"):
        chunk = os.read(replies, 64)
        if not chunk:
            raise RuntimeError("the launcher went away")
        reply += chunk
    if reply != b"ok\n":
        raise RuntimeError("daemon %s: %s" % (what, reply.decode()))


class DaemonCase(unittest.TestCase):
    """A case against the launcher's daemon, with a fresh directory self.dir in its root."""

    @classmethod
    def setUpClass(cls):
        if not CONTROL:
            raise unittest.SkipTest("needs the daemon of the test launcher (tests/python)")

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix=self.id().rsplit(".", 1)[-1] + ".", dir="/tmp")

    def path(self, name):
        return os.path.join(self.dir, name)

    def touch(self, *names):
        for name in names:
            with open(self.path(name), "w"):
                pass

    def collect(self, stream, until, timeout=WAIT):
        """Events of stream until until(events) holds; fails with what came otherwise."""
        events = []
        deadline = time.monotonic() + timeout
        while not until(events):
            left = deadline - time.monotonic()
            if left <= 0:
                self.fail("gave up waiting; received:\n" + "\n".join(map(str, events)))
            events.extend(stream.read(left))
        return events


def flags_by_path(events):
    """The flags each path received, merged over its events (the daemon may split or merge)."""
    out = {}
    for event in events:
        out[event.path] = out.get(event.path, vantles.Flags(0)) | event.flags
    return out


def has_paths(*paths):
    return lambda events: set(paths) <= {e.path for e in events}
