"""What the suites share: the daemon the test launcher started (tests/python), its restart, a
scratch directory for each case, collecting a stream's events until a condition holds, and a
stand-in daemon that answers requests with replies of our own."""

import faulthandler
import os
import socket
import struct
import tempfile
import threading
import time
import unittest

import vantles
from vantles import _wire

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


def reply(request_id, body=b"", code=0):
    """The daemon's reply to request request_id: its code, then body."""
    head = _wire.HEADER.pack(0, 36 + len(body), 0, 0, 0, request_id + 100)
    return head + _wire.NDR_RECORD + struct.pack("<i", code) + body


def stand_in(connections):
    """A stand-in daemon on a socket of its own: on each connection in turn, it answers one
    request with each reply of the next item of connections, then closes it (an empty item:
    at once, unanswered). Returns the socket's path and the list the requests it read go to."""
    path = os.path.join(tempfile.mkdtemp(), "s.sock")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    listener.bind(path)
    listener.listen()
    requests = []

    def run():
        with listener:
            for replies in connections:
                conn, _ = listener.accept()
                with conn:
                    for answer in replies:
                        requests.append(conn.recv(4096))
                        conn.send(answer)

    threading.Thread(target=run, daemon=True).start()
    return path, requests
