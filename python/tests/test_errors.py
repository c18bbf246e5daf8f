"""Failures: no daemon, a daemon killed under a stream, bad arguments, idle connections the
daemon closed, and messages that do not fit (from a stand-in daemon on a socket of our own)."""

import errno
import select
import socket
import struct
import time
import unittest

from support import WAIT, DaemonCase, daemon_request, reply, stand_in

import vantles
from vantles import _flags, _stream, _wire


class Errors(DaemonCase):
    def test_no_daemon_is_a_clear_error_at_once(self):
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        listener.bind(self.path("dead.sock"))  # a socket file nobody listens on
        missing, dead = self.path("none.sock"), self.path("dead.sock")
        for path, code in ((missing, errno.ENOENT), (dead, errno.ECONNREFUSED)):
            for call in (
                lambda: vantles.current_id(socket=path),
                lambda: vantles.Stream(["/"], socket=path),
            ):
                with self.assertRaises(vantles.DaemonNotRunning) as caught:
                    call()
                self.assertEqual(code, caught.exception.code)
                self.assertIn(path + ": ", str(caught.exception))
                self.assertIn("(is vantlesd running?)", str(caught.exception))
        listener.close()

    def test_a_killed_daemon_ends_the_stream(self):
        stream = vantles.Stream([self.dir], latency=0)
        daemon_request("kill")
        started = time.monotonic()
        with self.assertRaises(vantles.StreamEnded):
            next(stream)
        self.assertLess(time.monotonic() - started, WAIT)
        with self.assertRaises(vantles.StreamEnded):
            stream.read(0)
        stream.close()
        with vantles.Stream([self.dir], latency=0) as again:  # the new daemon serves
            self.assertGreaterEqual(again.flush(), 0)

    def test_bad_paths(self):
        for paths, error in (
            ([], ValueError),
            ("/tmp", TypeError),
            (["tmp"], ValueError),
            (["/tmp/a\0b"], ValueError),
            (["/tmp", b"/var"], TypeError),
            ([42], TypeError),
        ):
            with self.assertRaises(error, msg=repr(paths)):
                vantles.Stream(paths)
        # A missing path is a VantlesError (and a FileNotFoundError), for requests and streams.
        for call in (
            lambda: vantles.uuid(self.path("missing")),
            lambda: vantles.Stream([self.path("missing")]),
        ):
            with self.assertRaises(vantles.PathNotFound) as caught:
                call()
            self.assertIsInstance(caught.exception, vantles.VantlesError)
            self.assertIsInstance(caught.exception, FileNotFoundError)
            self.assertEqual(self.path("missing") + ": No such file or directory", str(caught.exception))
        # An id the daemon never gave out is refused, and 2**64-1 is no id.
        with self.assertRaises(ValueError):
            vantles.Stream([self.dir], since=2**64 - 1)
        with self.assertRaises(vantles.RegistrationRefused) as refused:
            vantles.Stream([self.dir], since=vantles.current_id() + 1000)
        self.assertEqual(-23, refused.exception.code)
        with self.assertRaises(vantles.RegistrationRefused) as caught:
            vantles.Stream([self.dir], excludes=[self.path(str(i)) for i in range(9)])
        self.assertEqual(-22, caught.exception.code)
        self.assertIn("refused the paths or exclusions", str(caught.exception))

    def test_a_connection_the_daemon_closed_when_idle_connects_again(self):
        with vantles.Connection() as conn:
            first = conn.current_id()
            idle = select.poll()
            idle.register(conn._sock, select.POLLIN)  # the launcher's daemon: one idle second
            self.assertTrue(idle.poll(WAIT * 1000), "the daemon kept the idle connection")
            self.assertGreaterEqual(conn.current_id(), first)


def events_message(ids, flags, paths, offsets=None):
    """An event message and its regions as the daemon lays them out."""
    blob = b"".join(p + b"\0" for p in paths)
    if offsets is None:
        offsets = [sum(len(p) + 1 for p in paths[:i]) for i in range(len(paths))]
    n = len(ids)
    regions = [struct.pack("<%dI" % n, *offsets), struct.pack("<%dI" % n, *flags),
               struct.pack("<%dQ" % n, *ids), blob]
    head = _wire.HEADER.pack(0x80000013, 120, 0, 0, 0, 67000) + struct.pack("<I", 4)
    body = b"".join(_wire.ool_descriptor(len(r)) for r in regions)
    counts = _wire.NDR_RECORD + struct.pack("<5I", n, n, n, n, len(blob))
    return head + body + counts, regions


class StandIn(unittest.TestCase):
    """Messages the real daemon would not send, from our own end of the socket."""

    def receive_batch(self, message, regions, as_bytes=False):
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        with ours, theirs:
            self.assertEqual(0, _wire.send(theirs, message, regions))
            code, received = _wire.Receiver(ours, _stream.EVENT_BUFFER).receive(1000)
            self.assertEqual(0, code)
            return _stream.decode_events(received, as_bytes)

    def test_batches_inline_and_in_a_memfd(self):
        long_paths = [b"/d/" + bytes([65 + i]) * 3000 for i in range(25)]  # > 64 KiB: memfd
        for paths in ([b"/a", b"/b/\xff"], long_paths):
            ids = list(range(7, 7 + len(paths)))
            message = events_message(ids, [0x800001] * len(paths), paths)
            events = self.receive_batch(*message, as_bytes=True)
            want = [(i, 0x800001, p) for i, p in zip(ids, paths)]
            self.assertEqual(want, [tuple(e) for e in events])
            self.assertEqual("created,file", str(events[0].flags))
        events = self.receive_batch(*events_message([1], [0x2002], [b"/x\xff"]))
        self.assertEqual("/x\udcff", events[0].path)
        self.assertEqual(["removed", "0x2000"], events[0].flags.names())

    def test_batches_that_do_not_fit_are_refused(self):
        message, regions = events_message([1, 2], [0, 0], [b"/a", b"/b"], offsets=[0, 6])
        with self.assertRaises(vantles.ProtocolError):
            self.receive_batch(message, regions)
        regions[3] = b"/a\0/bX"  # no terminating NUL
        with self.assertRaises(vantles.ProtocolError):
            self.receive_batch(message, regions)

    def test_replies_are_checked_and_a_closed_connection_retried_once(self):
        ok = reply(66003, struct.pack("<Q", 99))
        self.assertEqual(99, vantles.current_id(socket=stand_in([[], [ok]])[0]))
        with self.assertRaises(vantles.VantlesError) as caught:
            vantles.current_id(socket=stand_in([[], []])[0])
        closed = (_flags.MACH_RCV_PORT_DIED, _flags.MACH_SEND_INVALID_DEST)
        self.assertIn(caught.exception.code, closed)
        self.assertIn("the daemon closed the connection", str(caught.exception))
        wrong_id = ok[:20] + struct.pack("<i", 66102) + ok[24:]
        short = ok[:4] + struct.pack("<I", 40) + ok[8:40]  # the error reply's size, code 0
        malformed = ok[:40]  # its header claims 44 bytes
        cases = ((wrong_id, -301), (short, -301), (malformed, _flags.MACH_RCV_INVALID_DATA))
        for answer, code in cases:
            with self.assertRaises(vantles.ProtocolError) as caught:
                vantles.current_id(socket=stand_in([[answer]])[0])
            self.assertEqual(code, caught.exception.code)
