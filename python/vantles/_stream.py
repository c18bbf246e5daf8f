"""Event streams: a registration with the daemon and the batches of events it delivers.

An event message (id 67000) carries a batch as four parallel out-of-line arrays: a u32 offset
per event into the paths blob, a u32 of flags per event, a u64 id per event, and the blob of
NUL-terminated paths. A message is trusted only as far as it was checked: id, size, four regions
of the sizes the counts give, every offset inside the blob and the blob ending in a NUL.
"""

from __future__ import annotations

import asyncio
import codecs
import errno
import functools
import math
import os
import struct
import sys
from itertools import accumulate, islice
from typing import Any, AsyncIterator, Dict, Iterable, Iterator, List, Optional, Sequence, Union

from . import _requests, _wire
from ._filter import Filter, is_glob
from ._flags import (
    MACH_RCV_INVALID_DATA,
    MACH_RCV_PORT_DIED,
    MACH_RCV_TIMED_OUT,
    MACH_RCV_TOO_LARGE,
    Event,
    Flags,
    ProtocolError,
    _flags_by_value,
    StreamEnded,
    VantlesError,
    path_error,
)

MSG_EVENTS = 67000
EVENT_BUFFER = 120 + _wire.TRAILER_SIZE + 64  # an event message, its trailer and some room

# The 120 bytes of an event message as far as they are checked: bits, size, id, descriptor
# count, type and size of each of the four out-of-line descriptors, and the five counts.
_EVENTS_MESSAGE = struct.Struct("<II12xiI" + "8x3xBI" * 4 + "8x5I")
_EVENTS_MESSAGE_SIZE = 120
_N_EVENTS = struct.Struct("<I")  # at offset 100

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

_FS_ENCODING = sys.getfilesystemencoding()
_FS_ERRORS = sys.getfilesystemencodeerrors()
_FS_UTF8 = codecs.lookup(_FS_ENCODING).name == "utf-8"
_plus_one = (1).__add__
_make_event = functools.partial(tuple.__new__, Event)


_NOT_A_BATCH = "dropped a message from the daemon that is not an event batch"
_NOT_TERMINATED = "dropped an event batch whose paths are not terminated"
_OUTSIDE = "dropped an event batch with a path outside it"
_HEADER_FIELDS = 17
_layouts: Dict[int, struct.Struct] = {}  # the header and the arrays of n events, inline


def _layout(n: int) -> struct.Struct:
    """The header of an event message of n events with its three arrays behind it (offsets,
    flags, ids), as one struct."""
    layout = _layouts.get(n)
    if layout is None:
        layout = struct.Struct(_EVENTS_MESSAGE.format + "%dI%dI%dQ" % (n, n, n))
        if n <= 64:  # the daemon's batches hold 32 events at most
            _layouts[n] = layout
    return layout


def _check_header(f: tuple) -> None:
    """ProtocolError unless the header fields f agree with each other: id, size, four regions of
    the sizes the counts give."""
    (bits, size, msg_id, count, t0, s0, t1, s1, t2, s2, t3, s3, n, oc, fc, ic, bs) = f[
        :_HEADER_FIELDS
    ]
    if (msg_id, size, count, t0, t1, t2, t3, oc, fc, ic, s0, s1, s2, s3) != (
        MSG_EVENTS, _EVENTS_MESSAGE_SIZE, 4, 1, 1, 1, 1, n, n, n, 4 * n, 4 * n, 8 * n, bs
    ) or not bits & _wire.MSGH_BITS_COMPLEX:
        raise ProtocolError(errno.EPROTO, _NOT_A_BATCH)


def _events(n: int, f: tuple, blob: bytes, as_bytes: bool) -> List[Event]:
    """The events of a batch: f holds the header fields, then n offsets, n flags and n ids."""
    if not blob or blob[-1] != 0:
        raise ProtocolError(errno.EPROTO, _NOT_TERMINATED)
    k = _HEADER_FIELDS
    if n == 1 and f[k] == 0 and blob.find(0) == len(blob) - 1:
        # One path filling the blob: the common batch of a quiet stream, made without the
        # general path's passes.
        path = blob[:-1] if as_bytes else blob[:-1].decode(_FS_ENCODING, _FS_ERRORS)
        return [_make_event((f[k + 2], _flags_by_value[f[k + 1]], path))]
    offsets = f[k : k + n]
    if max(offsets) >= len(blob):
        raise ProtocolError(errno.EPROTO, _OUTSIDE)
    parts = blob.split(b"\0")
    paths: List[Any]
    starts = islice(accumulate(map(_plus_one, map(len, parts)), initial=0), n)
    if len(parts) == n + 1 and tuple(starts) == offsets:
        # The paths back to back, as the daemon writes them: split once, decode once. A NUL
        # byte decodes to a NUL alone in UTF-8, also under surrogateescape.
        if as_bytes:
            paths = parts[:n]
        elif _FS_UTF8:
            paths = blob[:-1].decode(_FS_ENCODING, _FS_ERRORS).split("\0")
        else:
            paths = [p.decode(_FS_ENCODING, _FS_ERRORS) for p in parts[:n]]
    else:
        find = blob.find
        paths = [blob[o : find(b"\0", o)] for o in offsets]
        if not as_bytes:
            paths = [p.decode(_FS_ENCODING, _FS_ERRORS) for p in paths]
    flags = map(_flags_by_value.__getitem__, f[k + n : k + 2 * n])
    return list(map(_make_event, zip(f[k + 2 * n :], flags, paths)))


def decode_events(received: _wire.Received, as_bytes: bool) -> List[Event]:
    """The events of a received event message (its regions taken out of the datagram or its
    memfd); ProtocolError when it is no valid batch."""
    message = received.message
    if len(message) != _EVENTS_MESSAGE_SIZE:
        raise ProtocolError(errno.EPROTO, _NOT_A_BATCH)
    n = _EVENTS_MESSAGE.unpack_from(message)[12]
    offsets, flags, ids, blob = received.regions
    if (len(offsets), len(flags), len(ids)) != (4 * n, 4 * n, 8 * n):
        raise ProtocolError(errno.EPROTO, _NOT_A_BATCH)
    f = _layout(n).unpack(b"".join([message, offsets, flags, ids]))
    _check_header(f)
    return _events(n, f, bytes(blob), as_bytes) if n else []


def decode_inline(view: memoryview, length: int, as_bytes: bool) -> List[Event]:
    """The events of an event message of length bytes at the start of view, its regions inline
    behind it (the usual form: a datagram without descriptors); ProtocolError otherwise."""
    if length < _EVENTS_MESSAGE_SIZE:
        raise ProtocolError(errno.EPROTO, _NOT_A_BATCH)
    n = _N_EVENTS.unpack_from(view, 100)[0]
    if _EVENTS_MESSAGE_SIZE + 16 * n > length:
        raise ProtocolError(errno.EPROTO, _NOT_A_BATCH)
    layout = _layouts.get(n) or _layout(n)
    f = layout.unpack_from(view)
    _check_header(f)
    if length != layout.size + f[16]:
        raise ProtocolError(errno.EPROTO, _NOT_A_BATCH)
    return _events(n, f, bytes(view[layout.size : length]), as_bytes) if n else []


def _encode_paths(paths: Iterable[PathArg], what: str) -> tuple:
    """(bytes paths, whether they were given as bytes). TypeError for anything but str, bytes
    or path-like objects, or a mix of str and bytes; ValueError for a NUL in a path."""
    out = []
    kinds = set()
    for path in paths:
        path = os.fspath(path)
        kinds.add(type(path))
        encoded = os.fsencode(path)
        if b"\0" in encoded:
            raise ValueError("%s: embedded NUL in %r" % (what, path))
        out.append(encoded)
    if len(kinds) > 1:
        raise TypeError("%s: give all paths as str or all as bytes" % what)
    return out, kinds == {bytes}


class Stream:
    """A stream of the daemon's events for paths, registered at once; a context manager and an
    iterator of batches (lists of Event), in order of arrival.

    paths       absolute paths (str, bytes or path-like; all str or all bytes), or paths
                relative to the volume device when that is given. Events carry str paths
                (decoded as os.fsdecode does) for str paths, bytes for bytes paths.
    since       an event id: replay the volumes' history after it first (ended by an event
                with Flags.history_done); None: only changes from now on. An id above the
                daemon's current one raises RegistrationRefused (it never gave that id out).
    latency     seconds the daemon collects changes before it delivers them.
    files       one event per changed file, instead of one per directory.
    excludes    at most 8 directories under the paths to leave out (the daemon leaves them
                out); an entry holding '*', '?' or '[' is a glob instead, applied here.
    include     globs a path must match one of: '*', '?', '[...]' within a component, '**'
                for any number of them; without '/' a glob matches the file's name.
    events      Flags an event must carry one of (0: any).
    device      a volume (device number or a path on it) the paths are relative to.
    no_defer    deliver the first change at once, then wait the latency.
    ignore_self, mark_self  leave out, or flag (Flags.own), changes this process made.
    socket      the daemon's socket; None: $VANTLESD_SOCKET, else the system socket.
    timeout     seconds to wait for each reply of the daemon (None: for ever).

    include, glob excludes and events are applied here, to the batches the daemon sends (a
    batch they empty is not returned); notices (dropped events, history_done) always pass.
    A daemon that goes away ends the iteration with StreamEnded.
    """

    def __init__(
        self,
        paths: Sequence[PathArg],
        since: Optional[int] = None,
        latency: float = 0.1,
        files: bool = False,
        excludes: Sequence[PathArg] = (),
        device: Optional[_requests.Volume] = None,
        no_defer: bool = False,
        ignore_self: bool = False,
        mark_self: bool = False,
        socket: Optional[str] = None,
        timeout: _requests.Timeout = _requests.DEFAULT_TIMEOUT,
        include: Sequence[str] = (),
        events: int = 0,
    ) -> None:
        self._event_port = self._private_port = None
        self._receiver: Optional[_wire.Receiver] = None
        self._ended = False
        if isinstance(paths, (str, bytes)):
            raise TypeError("paths must be a sequence of paths, not one path")
        encoded, self._as_bytes = _encode_paths(paths, "paths")
        if not encoded:
            raise ValueError("paths: no path given")
        if isinstance(include, str):
            raise TypeError("include must be a sequence of globs, not one glob")
        globs = [os.fsdecode(e) for e in excludes if is_glob(os.fsdecode(e))]
        self._filter = Filter(include, globs, events)
        excludes = [e for e in excludes if not is_glob(os.fsdecode(e))]
        encoded_excludes, _ = _encode_paths(excludes, "excludes")
        dev = 0 if device is None else _requests.device_of(device)
        if dev == 0 and not all(p.startswith(b"/") for p in encoded):
            raise ValueError("paths must be absolute unless a device is given")
        for path in encoded if dev == 0 else ():
            try:
                os.stat(path)  # as vantles does: no stream waits for a path that is not there
            except OSError as error:
                raise path_error(error, os.fsdecode(path)) from None
        since_when = _requests.EVENT_ID_NOW if since is None else int(since)
        if since is not None and not 0 <= since_when < _requests.EVENT_ID_NOW:
            raise ValueError("since must be an event id (0 .. 2**64-2), or None for now")
        if latency < 0:
            raise ValueError("latency must not be negative")
        flags = (
            (_requests.CREATE_FILE_EVENTS if files else 0)
            | (_requests.CREATE_NO_DEFER if no_defer else 0)
            | (_requests.CREATE_IGNORE_SELF if ignore_self else 0)
            | (_requests.CREATE_MARK_SELF if mark_self else 0)
        )
        self.timeout = timeout
        # The connection serves the registration only: the stream's own ports carry the rest.
        with _requests.Connection(socket, timeout) as conn:
            self._event_port, self._private_port = conn.register(
                encoded, encoded_excludes, dev, int(round(latency * 1e6)), flags, since_when
            )
        self._receiver = _wire.Receiver(self._event_port, EVENT_BUFFER)

    @property
    def closed(self) -> bool:
        return self._event_port is None

    def fileno(self) -> int:
        """Readable when batches are waiting (or the stream ended): then read(0) takes one."""
        if self._event_port is None:
            raise ValueError("the stream is closed")
        return self._event_port.fileno()

    def read(self, timeout: Optional[float] = None) -> List[Event]:
        """One batch, waiting up to timeout seconds (None: for ever); [] when none came.
        StreamEnded once the daemon ended the stream; ProtocolError for a message that is no
        batch (it was dropped; reading may go on)."""
        receiver = self._receiver
        if receiver is None:
            if self._ended:
                raise StreamEnded()
            raise ValueError("the stream is closed")
        # Wait first, then receive once: the usual batch costs one poll and one recvmsg, and
        # comes without control data (no descriptors, no credentials) with its regions inline.
        if timeout is None:
            if not receiver.poller.poll():
                return []
        elif timeout > 0 and not receiver.poller.poll(math.ceil(timeout * 1000)):
            return []
        try:
            n, ancillary, msg_flags, _ = receiver.sock.recvmsg_into(
                receiver.buffers, _wire.ANCILLARY_SIZE, _wire.RECV_FLAGS
            )
        except OSError as e:
            return self._failed(_wire.receive_error(e))
        if ancillary or msg_flags or not n:
            code, received = receiver.take(n, ancillary, msg_flags)
            if received is None:
                return self._failed(code)
            try:
                return self._kept(decode_events(received, self._as_bytes))
            finally:
                received.close_ports()
        return self._kept(decode_inline(receiver.view, n, self._as_bytes))

    def _kept(self, batch: List[Event]) -> List[Event]:
        if not self._filter.active():
            return batch
        return [e for e in batch if self._filter.keeps(e)]

    def _failed(self, code: int) -> List[Event]:
        """The outcome of a receive that brought no message."""
        if code == MACH_RCV_TIMED_OUT:
            return []
        if code == MACH_RCV_PORT_DIED:
            self._release()
            self._ended = True
            raise StreamEnded()
        if code in (MACH_RCV_INVALID_DATA, MACH_RCV_TOO_LARGE):
            raise ProtocolError(errno.EPROTO, _NOT_A_BATCH)
        raise VantlesError(errno.EIO)

    def __iter__(self) -> Iterator[List[Event]]:
        return self

    def __next__(self) -> List[Event]:
        while True:
            if self._event_port is None and not self._ended:
                raise StopIteration
            batch = self.read()
            if batch:
                return batch

    def __aiter__(self) -> AsyncIterator[List[Event]]:
        return self

    async def __anext__(self) -> List[Event]:
        loop = asyncio.get_running_loop()
        while True:
            if self._event_port is None and not self._ended:
                raise StopAsyncIteration
            batch = self.read(0)
            if batch:
                return batch
            ready = loop.create_future()
            fd = self.fileno()
            loop.add_reader(fd, lambda: ready.done() or ready.set_result(None))
            try:
                await ready
            finally:
                loop.remove_reader(fd)

    def flush(self) -> int:
        """Asks the daemon to deliver what it holds for the stream now; returns the highest
        event id handed to the stream so far."""
        if self._private_port is None:
            raise ValueError("the stream is closed")
        return _requests.flush(self._private_port, self.timeout)

    def close(self) -> None:
        """Ends the stream on the daemon and closes it (a stream the daemon ended just closes)."""
        if self._private_port is not None:
            _requests.unregister(self._private_port, self.timeout)
        self._release()

    def _release(self) -> None:
        for port in (self._private_port, self._event_port):
            if port is not None:
                port.close()
        self._private_port = self._event_port = self._receiver = None

    def __enter__(self) -> Stream:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    async def __aenter__(self) -> Stream:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        # Without unregistering: the daemon notices the closed ports by itself.
        if getattr(self, "_event_port", None) is not None:
            self._release()


def history(
    paths: Sequence[PathArg],
    since: int = 0,
    files: bool = False,
    excludes: Sequence[PathArg] = (),
    device: Optional[_requests.Volume] = None,
    socket: Optional[str] = None,
    timeout: _requests.Timeout = _requests.DEFAULT_TIMEOUT,
    include: Sequence[str] = (),
    events: int = 0,
) -> Iterator[List[Event]]:
    """The batches of events the volumes' history kept for paths after event id since, ending
    with the batch that holds the history-done event (whose id is the one to resume from).
    excludes, include and events filter as for Stream."""
    if since is None or since >= _requests.EVENT_ID_NOW:
        raise ValueError("since must be a past event id")
    with Stream(
        paths,
        since,
        0.1,
        files,
        excludes,
        device,
        socket=socket,
        timeout=timeout,
        include=include,
        events=events,
    ) as s:
        for batch in s:
            for i, event in enumerate(batch):
                if event.flags & Flags.history_done:
                    yield batch[: i + 1]
                    return
            yield batch
