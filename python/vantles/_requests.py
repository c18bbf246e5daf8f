"""The requests of the daemon's interface: the queries on a connection (current id, volume uuid,
sync, id for a time, purge) and the registration of a stream, flush and unregister on its
private port.

Each call lays its request out as the daemon expects it, sends it and checks that the reply is the
routine's: reply id = request id + 100, and either the routine's successful reply or the 36-byte
error reply with a non-zero code. Anything else is a ProtocolError.
"""

from __future__ import annotations

import datetime
import errno
import os
import socket
import struct
from typing import List, Optional, Sequence, Tuple, Union

from . import _wire
from ._flags import (
    ERR_BAD_REPLY,
    KERN_FAILURE,
    MACH_RCV_PORT_DIED,
    MACH_RCV_TIMED_OUT,
    MACH_SEND_INVALID_DEST,
    MACH_SEND_TIMED_OUT,
    DaemonNotRunning,
    NotPermitted,
    RegistrationRefused,
    error_for,
    path_error,
)

MSG_REGISTER = 66000
MSG_FLUSH = 66001
MSG_GET_VOLUME_UUID = 66002
MSG_GET_CURRENT_EVENT_ID = 66003
MSG_GET_EVENT_ID_FOR_TIME = 66004
MSG_PURGE_EVENTS = 66005
MSG_UNREGISTER = 66006
MSG_SYNC_VOLUME = 66007
REPLY_OFFSET = 100

EVENT_ID_NOW = 0xFFFFFFFFFFFFFFFF  # since-when of a stream without history
EVENT_ID_ALL = 0xFFFFFFFFFFFFFFFF  # purge bound that removes the whole history
NO_HISTORY = 0xFFFFFFFF  # purge result: nothing to purge, or the daemon is not ready

CREATE_NO_DEFER = 0x02
CREATE_IGNORE_SELF = 0x08
CREATE_FILE_EVENTS = 0x10
CREATE_MARK_SELF = 0x20

DEFAULT_TIMEOUT = 30.0  # the daemon may take some 10 seconds to answer while it starts up
REPLY_BUFFER = 80 + _wire.TRAILER_SIZE + 64  # the largest reply, its trailer and some room

ERROR_REPLY_SIZE = 36
EVENT_ID_REPLY_SIZE = 44
UUID_REPLY_SIZE = 72
SYNC_REPLY_SIZE = 80
PURGE_REPLY_SIZE = 40
REGISTER_REPLY_SIZE = 40
UUID_TEXT_LENGTH = 36

_CODE = struct.Struct("<i")
_U32 = struct.Struct("<I")
_U64 = struct.Struct("<Q")
_DEVICE = struct.Struct("<I")
_DEVICE_TIME = struct.Struct("<Iq")
_DEVICE_ID = struct.Struct("<IQ")
_REGISTER_BODY = struct.Struct("<IIIIIIIQIQ")  # device .. since_when, from offset 112

Volume = Union[int, str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Timeout = Optional[float]


def encode_device(major: int, minor: int) -> int:
    """The daemon's 32-bit device number: 12 bits of major, 20 of minor."""
    return (major << 8) | (minor & 0xFF) | ((minor & ~0xFF) << 12)


def device_of(volume: Volume) -> int:
    """The daemon's number of a volume: an int is taken as that number already; a path names
    the volume holding it (by stat, as ``vantles`` does). PathError (PathNotFound when it is
    missing) when the path cannot be looked at."""
    if isinstance(volume, bool):
        raise TypeError("a volume is a device number or a path, not a bool")
    if isinstance(volume, int):
        if not 0 <= volume <= 0xFFFFFFFF:
            raise ValueError("device number out of range: %d" % volume)
        return volume
    try:
        st_dev = os.stat(volume).st_dev
    except OSError as error:
        raise path_error(error, volume) from None
    return encode_device(os.major(st_dev), os.minor(st_dev))


def _timeout_ms(timeout: Timeout) -> Optional[int]:
    if timeout is None:
        return None
    if timeout < 0:
        raise ValueError("timeout must not be negative")
    return max(1, int(timeout * 1000))


def _header(size: int, msg_id: int, bits: int = _wire.MSG_TYPE_COPY_SEND) -> bytes:
    return _wire.HEADER.pack(bits, size, 0, 0, 0, msg_id)


def _check_simple_reply(reply: _wire.Received, request_id: int, success_size: int) -> int:
    """0 for the routine's successful reply, the daemon's code for an error reply, else
    ERR_BAD_REPLY."""
    bits, size, _, _, _, msg_id = _wire.HEADER.unpack_from(reply.message)
    if (
        msg_id != request_id + REPLY_OFFSET
        or bits & _wire.MSGH_BITS_COMPLEX
        or size < ERROR_REPLY_SIZE
    ):
        return ERR_BAD_REPLY
    code = _CODE.unpack_from(reply.message, 32)[0]
    if size == ERROR_REPLY_SIZE and code != 0:
        return code
    if size == success_size and code == 0:
        return 0
    return ERR_BAD_REPLY


def simple_call(
    sock: Optional[socket.socket],
    timeout_ms: Optional[int],
    request: bytes,
    success_size: int,
) -> Tuple[int, bytes]:
    """Sends a simple request and checks the reply: (0, reply bytes) or (code, b"")."""
    if sock is None:
        return errno.EBADF, b""
    msg_id = _wire.HEADER.unpack_from(request)[5]
    code, reply = _wire.rpc(sock, request, REPLY_BUFFER, timeout_ms)
    if reply is None:
        return code, b""
    reply.close_ports()  # a simple reply carries none; a stray one might
    result = _check_simple_reply(reply, msg_id, success_size)
    return result, bytes(reply.message) if result == 0 else b""


def _closed_by_daemon(code: int) -> bool:
    """The daemon closed the connection before it read the request (an idle connection is
    closed; a request read is always answered)."""
    return code in (MACH_SEND_INVALID_DEST, MACH_RCV_PORT_DIED)


class Connection:
    """A connection to the daemon for queries; a context manager.

    The daemon closes a connection left without a request for a while (a minute by default):
    a call that finds its connection closed connects again to the same socket, once, and
    repeats the request, which the daemon never saw. After a time-out the connection is out of
    step (a late reply may still arrive): a call then connects anew.
    """

    def __init__(self, socket: Optional[str] = None, timeout: Timeout = DEFAULT_TIMEOUT) -> None:
        self.socket_path = _wire.service_path(socket)
        self.timeout = timeout
        self._sock = None
        self._sock = self._connect()

    def _connect(self) -> socket.socket:
        try:
            return _wire.connect(self.socket_path)
        except OSError as e:
            raise DaemonNotRunning(e.errno or errno.ECONNREFUSED, self.socket_path) from None

    def close(self) -> None:
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def __enter__(self) -> Connection:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _call(self, request: bytes, success_size: int) -> bytes:
        if self._sock is None:
            self._sock = self._connect()
        timeout_ms = _timeout_ms(self.timeout)
        code, reply = simple_call(self._sock, timeout_ms, request, success_size)
        if _closed_by_daemon(code):
            self.close()
            self._sock = self._connect()
            code, reply = simple_call(self._sock, timeout_ms, request, success_size)
        if code == 0:
            return reply
        if code == KERN_FAILURE and _wire.HEADER.unpack_from(request)[5] == MSG_PURGE_EVENTS:
            raise NotPermitted()
        if code in (MACH_RCV_TIMED_OUT, MACH_SEND_TIMED_OUT):
            self.close()  # a late reply may still come on this connection
        raise error_for(code)

    def register(
        self,
        paths: Sequence[bytes],
        excludes: Sequence[bytes],
        device: int,
        latency_us: int,
        create_flags: int,
        since_when: int,
    ) -> Tuple[socket.socket, socket.socket]:
        """Registers a stream: (the socket its event messages arrive on, its private port).
        Paths and excludes are NUL-free bytes."""
        if self._sock is None:
            self._sock = self._connect()
        packed = [_pack_paths(paths), _pack_paths(excludes)]
        code, ports = self._register_once(packed, device, latency_us, create_flags, since_when)
        if _closed_by_daemon(code):
            self.close()
            self._sock = self._connect()
            code, ports = self._register_once(packed, device, latency_us, create_flags, since_when)
        if ports is None:
            if code in (MACH_RCV_TIMED_OUT, MACH_SEND_TIMED_OUT):
                self.close()
            raise RegistrationRefused(code)
        return ports

    def _register_once(
        self,
        packed: List[Tuple[bytes, bytes]],
        device: int,
        latency_us: int,
        create_flags: int,
        since_when: int,
    ) -> Tuple[int, Optional[Tuple[socket.socket, socket.socket]]]:
        assert self._sock is not None
        (path_offsets, path_blob), (exclude_offsets, exclude_blob) = packed
        regions = [path_offsets, path_blob, exclude_offsets, exclude_blob]
        request = b"".join(
            [
                _header(160, MSG_REGISTER, _wire.MSGH_BITS_COMPLEX | _wire.MSG_TYPE_COPY_SEND),
                _U32.pack(5),
                _wire.port_descriptor(_wire.MSG_TYPE_MOVE_SEND),
                *[_wire.ool_descriptor(len(r)) for r in regions],
                _wire.NDR_RECORD,
                _REGISTER_BODY.pack(
                    device,
                    len(path_offsets) // 4,
                    len(path_offsets) // 4,
                    len(path_blob),
                    len(exclude_offsets) // 4,
                    len(exclude_offsets) // 4,
                    len(exclude_blob),
                    latency_us,
                    create_flags,
                    since_when,
                ),
            ]
        )
        event_port, callback = _wire.port_pair()
        timeout_ms = _timeout_ms(self.timeout)
        deadline = None if timeout_ms is None else _wire.deadline_after(timeout_ms)
        try:
            # The callback right moves to the daemon: ours closes whether or not it went.
            code = _wire.send(self._sock, request, regions, [callback.fileno()], timeout_ms)
        finally:
            callback.close()
        reply = None
        if code == 0:
            left = None if deadline is None else _wire.left_ms(deadline)
            code, reply = _wire.Receiver(self._sock, REPLY_BUFFER).receive(left)
        private_port = _take_register_reply(reply) if reply is not None else None
        if private_port is None:
            event_port.close()
            if reply is not None:
                code = _register_reply_code(reply)
                reply.close_ports()
            return code, None
        return 0, (event_port, private_port)

    def current_id(self) -> int:
        """The latest event id the daemon assigned."""
        reply = self._call(_header(24, MSG_GET_CURRENT_EVENT_ID), EVENT_ID_REPLY_SIZE)
        return _U64.unpack_from(reply, 36)[0]

    def uuid(self, volume: Volume) -> str:
        """The uuid naming the history of a volume, or one of the daemon's "NO-UUID-..." texts
        when it keeps none."""
        reply = self._call(_volume_request(MSG_GET_VOLUME_UUID, volume), UUID_REPLY_SIZE)
        return _uuid_text(reply, 36)

    def sync(self, volume: Volume) -> Tuple[int, str]:
        """Read-your-writes: once the daemon has read and routed every change made before the
        call: (the latest event id, at or above the id of every such change; the uuid of the
        history that keeps the volume's events, or a "NO-UUID-..." text when none does).
        VantlesError with code 49 when the daemon could not catch up in time, 6 when too many
        syncs were waiting."""
        reply = self._call(_volume_request(MSG_SYNC_VOLUME, volume), SYNC_REPLY_SIZE)
        return _U64.unpack_from(reply, 36)[0], _uuid_text(reply, 44)

    def id_before(self, time: Union[int, float, datetime.datetime], volume: Volume = "/") -> int:
        """The last event id the volume's history recorded before time (seconds since the epoch,
        or a datetime; a naive one is local time); 0 when there is none."""
        if isinstance(time, datetime.datetime):
            time = time.timestamp()
        request = (
            _header(44, MSG_GET_EVENT_ID_FOR_TIME)
            + _wire.NDR_RECORD
            + _DEVICE_TIME.pack(device_of(volume), int(time))
        )
        reply = self._call(request, EVENT_ID_REPLY_SIZE)
        return _U64.unpack_from(reply, 36)[0]

    def purge(self, volume: Volume, below: Optional[int] = None) -> bool:
        """Removes the volume's history below event id below (None: all of it); root only
        (NotPermitted otherwise). False when there was no history to purge."""
        bound = EVENT_ID_ALL if below is None else below
        if not 0 <= bound <= EVENT_ID_ALL:
            raise ValueError("below must be an event id (0 .. 2**64-1)")
        body = _DEVICE_ID.pack(device_of(volume), bound)
        request = _header(44, MSG_PURGE_EVENTS) + _wire.NDR_RECORD + body
        reply = self._call(request, PURGE_REPLY_SIZE)
        return _U32.unpack_from(reply, 36)[0] != NO_HISTORY


def _volume_request(msg_id: int, volume: Volume) -> bytes:
    """A request whose one argument is a volume's device number (66002, 66007)."""
    return _header(36, msg_id) + _wire.NDR_RECORD + _DEVICE.pack(device_of(volume))


def _uuid_text(reply: bytes, offset: int) -> str:
    """The uuid text of a reply at offset: up to 36 characters, up to a NUL."""
    text = reply[offset : offset + UUID_TEXT_LENGTH].split(b"\0", 1)[0]
    return text.decode("ascii", "replace")


def _pack_paths(paths: Sequence[bytes]) -> Tuple[bytes, bytes]:
    """Paths as a request carries them: one u32 offset per path into a blob of NUL-terminated
    strings."""
    offsets = []
    total = 0
    for path in paths:
        offsets.append(total)
        total += len(path) + 1
        if total > _wire.MAX_OOL_TOTAL:
            raise ValueError("the paths take more than %d bytes" % _wire.MAX_OOL_TOTAL)
    blob = b"".join(p + b"\0" for p in paths)
    return struct.pack("<%dI" % len(offsets), *offsets), blob


def _register_reply_code(reply: _wire.Received) -> int:
    """The daemon's code in an error reply to a registration, else ERR_BAD_REPLY."""
    bits, size, _, _, _, msg_id = _wire.HEADER.unpack_from(reply.message)
    if msg_id == MSG_REGISTER + REPLY_OFFSET and not bits & _wire.MSGH_BITS_COMPLEX:
        if size == ERROR_REPLY_SIZE:
            code = _CODE.unpack_from(reply.message, 32)[0]
            if code != 0:
                return code
    return ERR_BAD_REPLY


def _take_register_reply(reply: _wire.Received) -> Optional[socket.socket]:
    """The private port of a successful registration reply (taken out of it), else None."""
    bits, size, _, _, _, msg_id = _wire.HEADER.unpack_from(reply.message)
    if (
        msg_id != MSG_REGISTER + REPLY_OFFSET
        or not bits & _wire.MSGH_BITS_COMPLEX
        or size != REGISTER_REPLY_SIZE
        or _U32.unpack_from(reply.message, 24)[0] != 1
        or reply.message[28 + _wire.DESCRIPTOR_TYPE_OFFSET] != _wire.PORT_DESCRIPTOR
        or len(reply.ports) != 1
    ):
        return None
    fd = reply.ports.pop()
    return socket.socket(fileno=fd)


def flush(private_port: socket.socket, timeout: Timeout) -> int:
    """Wakes a stream's delivery; the highest event id handed to the stream so far."""
    request = _header(24, MSG_FLUSH)
    code, reply = simple_call(private_port, _timeout_ms(timeout), request, EVENT_ID_REPLY_SIZE)
    if code != 0:
        raise error_for(code)
    return _U64.unpack_from(reply, 36)[0]


def unregister(private_port: socket.socket, timeout: Timeout) -> int:
    """Ends a stream on the daemon: 0 or the call's code."""
    request = _header(24, MSG_UNREGISTER)
    return simple_call(private_port, _timeout_ms(timeout), request, ERROR_REPLY_SIZE)[0]
