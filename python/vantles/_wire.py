"""The daemon's message transport: one message per datagram on AF_UNIX sequenced-packet
sockets, with the port rights it moves passed as SCM_RIGHTS descriptors.

A message is its msgh_size bytes (little-endian, packed to 4 bytes), then the bytes of every
out-of-line region in descriptor order (their address fields are 0 on the wire). When that would
exceed 65,536 bytes the regions travel instead in one sealed memfd, passed as the last
descriptor. A port descriptor is matched, in order, by one passed descriptor.

Receiving checks the whole layout before anything is kept, as the daemon's own decoder does: a
datagram that fails a check is dropped together with every descriptor it brought.
"""

from __future__ import annotations

import array
import errno
import fcntl
import os
import select
import socket
import stat
import struct
import time
from typing import List, Optional, Sequence, Tuple

from ._flags import (
    MACH_RCV_INVALID_DATA,
    MACH_RCV_INVALID_NAME,
    MACH_RCV_PORT_DIED,
    MACH_RCV_TIMED_OUT,
    MACH_RCV_TOO_LARGE,
    MACH_SEND_INVALID_DEST,
    MACH_SEND_NO_BUFFER,
    MACH_SEND_TIMED_OUT,
    MACH_SEND_TOO_LARGE,
)

DEFAULT_SOCKET = "/run/vantlesd/vantlesd.sock"

HEADER = struct.Struct("<IIIIIi")  # bits, size, remote port, local port, voucher, id
HEADER_SIZE = 24
NDR_RECORD = bytes((0, 0, 0, 0, 1, 0, 0, 0))  # little-endian integers, ASCII, IEEE floats
U32 = struct.Struct("<I")

MSGH_BITS_COMPLEX = 0x80000000
MSG_TYPE_MOVE_SEND = 17
MSG_TYPE_COPY_SEND = 19
PORT_DESCRIPTOR = 0
OOL_DESCRIPTOR = 1
VIRTUAL_COPY = 1
PORT_DESCRIPTOR_SIZE = 12
OOL_DESCRIPTOR_SIZE = 16
DESCRIPTOR_TYPE_OFFSET = 11
OOL_SIZE_OFFSET = 12
BODY_OFFSET = 24

MAX_DATAGRAM = 65536
MAX_OOL_TOTAL = 64 << 20
MAX_RIGHTS = 16
TRAILER_SIZE = 52  # the receive trailer the C++ side lays out behind a message

_SEND_SLICE_MS = 50  # a full socket polls writable late: retry the send at least this often
ANCILLARY_SIZE = socket.CMSG_SPACE(4 * MAX_RIGHTS) + socket.CMSG_SPACE(12)
_SEND_FLAGS = int(socket.MSG_NOSIGNAL | socket.MSG_DONTWAIT)
RECV_FLAGS = int(socket.MSG_DONTWAIT | getattr(socket, "MSG_CMSG_CLOEXEC", 0))
_MSG_TRUNC = int(socket.MSG_TRUNC)
_MSG_CTRUNC = int(socket.MSG_CTRUNC)
_SEALS_REQUIRED = fcntl.F_SEAL_SHRINK | fcntl.F_SEAL_WRITE  # type: ignore[attr-defined]
_SEALS_ALL = _SEALS_REQUIRED | fcntl.F_SEAL_GROW | fcntl.F_SEAL_SEAL  # type: ignore[attr-defined]


def service_path(path: Optional[str] = None) -> str:
    """The daemon's socket: path, else $VANTLESD_SOCKET, else the system socket."""
    if path:
        return path
    return os.environ.get("VANTLESD_SOCKET") or DEFAULT_SOCKET


def max_message_size(buffer_size: int) -> int:
    """The largest message a receive buffer of buffer_size bytes takes with its trailer."""
    return (buffer_size - TRAILER_SIZE) & ~3


def ool_descriptor(size: int) -> bytes:
    """An out-of-line descriptor for a region of size bytes (address 0 on the wire)."""
    return struct.pack("<QBBBBI", 0, 0, VIRTUAL_COPY, 0, OOL_DESCRIPTOR, size)


def port_descriptor(disposition: int) -> bytes:
    """A port descriptor; the right itself travels as a passed descriptor."""
    return struct.pack("<IIHBB", 0, 0, 0, disposition, PORT_DESCRIPTOR)


def connect(path: Optional[str] = None) -> socket.socket:
    """A connection to the service socket. OSError (errno set) when nothing answers there."""
    target = service_path(path)
    encoded = os.fsencode(target)
    if not encoded or len(encoded) >= 108:
        raise OSError(errno.ENAMETOOLONG, os.strerror(errno.ENAMETOOLONG), target)
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    try:
        # Credentials on this end make the daemon's replies carry them too.
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
        sock.connect(encoded)
    except BaseException:
        sock.close()
        raise
    return sock


def port_pair() -> Tuple[socket.socket, socket.socket]:
    """A new port: the end to receive on and the send right to hand out. Its messages come
    without the sender's credentials, which nothing here reads: a received batch then carries
    no control data at all."""
    return socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)


def deadline_after(timeout_ms: Optional[int]) -> Optional[float]:
    return None if timeout_ms is None else time.monotonic() + timeout_ms / 1000.0


def left_ms(deadline: Optional[float]) -> int:
    """Milliseconds left until deadline, rounded up; -1 for no deadline."""
    if deadline is None:
        return -1
    left = deadline - time.monotonic()
    return 0 if left <= 0 else int(left * 1000) + 1


def _region_memfd(regions: Sequence[bytes]) -> int:
    fd = os.memfd_create("vantles-ool", os.MFD_CLOEXEC | os.MFD_ALLOW_SEALING)
    try:
        for region in regions:
            view = memoryview(region)
            while view:
                view = view[os.write(fd, view) :]
        fcntl.fcntl(fd, fcntl.F_ADD_SEALS, _SEALS_ALL)  # type: ignore[attr-defined]
    except OSError:
        os.close(fd)
        raise
    return fd


def send(
    sock: socket.socket,
    message: bytes,
    regions: Sequence[bytes] = (),
    fds: Sequence[int] = (),
    timeout_ms: Optional[int] = None,
) -> int:
    """Sends one message (its regions inline, or in a sealed memfd when the datagram would be
    too large) passing fds, waiting up to timeout_ms (None: for ever) for room. 0 or a send code."""
    total = sum(len(r) for r in regions)
    if total > MAX_OOL_TOTAL:
        return MACH_SEND_TOO_LARGE
    memfd = -1
    if len(message) + total > MAX_DATAGRAM:
        try:
            memfd = _region_memfd(regions)
        except OSError:
            return MACH_SEND_NO_BUFFER
        data = message
        fds = list(fds) + [memfd]
    else:
        data = b"".join([message, *regions])
    if len(fds) > MAX_RIGHTS:
        if memfd >= 0:
            os.close(memfd)
        return MACH_SEND_TOO_LARGE
    ancillary = [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", fds))] if fds else []
    deadline = deadline_after(timeout_ms)
    try:
        while True:
            try:
                sock.sendmsg([data], ancillary, _SEND_FLAGS)
                return 0  # a sequenced-packet send is whole or nothing
            except BlockingIOError:
                pass
            except OSError as e:
                if e.errno in (errno.ENOBUFS, errno.ENOMEM, errno.ETOOMANYREFS):
                    return MACH_SEND_NO_BUFFER
                if e.errno == errno.EMSGSIZE:
                    return MACH_SEND_TOO_LARGE
                return MACH_SEND_INVALID_DEST  # EPIPE, ECONNRESET, ENOTCONN, EBADF, ...
            wait = _SEND_SLICE_MS
            if deadline is not None:
                left = left_ms(deadline)
                if left == 0:
                    return MACH_SEND_TIMED_OUT
                wait = min(wait, left)
            poller = select.poll()
            poller.register(sock, select.POLLOUT)
            poller.poll(wait)  # writable, hung up or timed out: the next send tells which
    finally:
        if memfd >= 0:
            os.close(memfd)


class Received:
    """A received message: its msgh_size bytes, its regions in descriptor order and the
    descriptors its port descriptors brought (owned by the caller: close them)."""

    __slots__ = ("message", "regions", "ports")

    def __init__(self, message: memoryview, regions: List[memoryview], ports: List[int]) -> None:
        self.message = message
        self.regions = regions
        self.ports = ports

    def close_ports(self) -> None:
        for fd in self.ports:
            os.close(fd)
        self.ports = []


def _scan_layout(msg: memoryview, size: int) -> Optional[Tuple[int, List[int]]]:
    """(port descriptor count, region sizes) of a message, or None when its descriptors do not
    fit inside it."""
    if not U32.unpack_from(msg, 0)[0] & MSGH_BITS_COMPLEX:
        return 0, []
    if size < BODY_OFFSET + 4:
        return None
    count = U32.unpack_from(msg, BODY_OFFSET)[0]
    offset = BODY_OFFSET + 4
    ports = 0
    sizes = []
    for _ in range(count):  # every step advances 12 bytes or more inside size
        if size - offset < PORT_DESCRIPTOR_SIZE:
            return None
        kind = msg[offset + DESCRIPTOR_TYPE_OFFSET]
        if kind == PORT_DESCRIPTOR:
            ports += 1
            offset += PORT_DESCRIPTOR_SIZE
        elif kind == OOL_DESCRIPTOR:
            if size - offset < OOL_DESCRIPTOR_SIZE:
                return None
            sizes.append(U32.unpack_from(msg, offset + OOL_SIZE_OFFSET)[0])
            offset += OOL_DESCRIPTOR_SIZE
        else:
            return None
    return ports, sizes


def _memfd_acceptable(fd: int, total: int) -> bool:
    """Only a regular file of exactly the region total that can no longer shrink or change."""
    try:
        st = os.fstat(fd)
        seals = fcntl.fcntl(fd, fcntl.F_GET_SEALS)  # type: ignore[attr-defined]
    except OSError:
        return False
    sealed = seals & _SEALS_REQUIRED == _SEALS_REQUIRED
    return stat.S_ISREG(st.st_mode) and st.st_size == total and sealed


def _read_fully(fd: int, size: int, offset: int) -> Optional[bytes]:
    parts = []
    while size > 0:
        chunk = os.pread(fd, size, offset)
        if not chunk:
            return None
        parts.append(chunk)
        size -= len(chunk)
        offset += len(chunk)
    return b"".join(parts)


def decode(
    data: memoryview, rights: List[int], msg_flags: int, rights_lost: bool, max_size: int
) -> Tuple[int, Optional[Received]]:
    """Checks a datagram and takes its message apart: (0, message) or (receive code, None).
    Every descriptor in rights is either handed to the message or closed."""
    memfd = -1
    try:
        if msg_flags & _MSG_TRUNC:
            return MACH_RCV_TOO_LARGE, None
        length = len(data)
        if msg_flags & _MSG_CTRUNC or rights_lost or length < HEADER_SIZE:
            return MACH_RCV_INVALID_DATA, None
        size = U32.unpack_from(data, 4)[0]
        if size < HEADER_SIZE or size > length:
            return MACH_RCV_INVALID_DATA, None
        if size > max_size:
            return MACH_RCV_TOO_LARGE, None
        layout = _scan_layout(data, size)
        if layout is None or sum(layout[1]) > MAX_OOL_TOTAL:
            return MACH_RCV_INVALID_DATA, None
        ports, sizes = layout
        total = sum(sizes)
        # The two forms: regions inline behind the message, or all of them in a trailing memfd.
        if length == size + total:
            in_memfd = False
        elif length == size and total > 0:
            in_memfd = True
        else:
            return MACH_RCV_INVALID_DATA, None
        if len(rights) != ports + in_memfd:
            return MACH_RCV_INVALID_DATA, None
        regions: List[memoryview] = []
        if in_memfd:
            memfd = rights.pop()
            if not _memfd_acceptable(memfd, total):
                return MACH_RCV_INVALID_DATA, None
            everything = _read_fully(memfd, total, 0)
            if everything is None:
                return MACH_RCV_INVALID_DATA, None
            source = memoryview(everything)
            position = 0
        else:
            source = data
            position = size
        for region in sizes:
            regions.append(source[position : position + region])
            position += region
        message = data[:size]
        taken, rights[:] = list(rights), []
        return 0, Received(message, regions, taken)
    except OSError:
        return MACH_RCV_INVALID_DATA, None
    finally:
        if memfd >= 0:
            os.close(memfd)
        for fd in rights:
            os.close(fd)


def receive_error(e: OSError) -> int:
    """The receive code of a failed recvmsg."""
    if isinstance(e, BlockingIOError):
        return MACH_RCV_TIMED_OUT
    if e.errno in (errno.EBADF, errno.ENOTSOCK, errno.EINVAL):
        return MACH_RCV_INVALID_NAME
    return MACH_RCV_PORT_DIED  # ECONNRESET, ENOTCONN: the peer is gone


class Receiver:
    """Receives messages on one socket into a buffer of its own (valid until the next receive)."""

    def __init__(self, sock: socket.socket, buffer_size: int) -> None:
        self.sock = sock
        self.max_size = max_message_size(buffer_size)
        self.view = memoryview(bytearray(MAX_DATAGRAM))
        self.buffers = [self.view]
        self.poller = select.poll()
        self.poller.register(sock, select.POLLIN)

    def hung_up(self) -> bool:
        return any(revents & select.POLLHUP for _, revents in self.poller.poll(0))

    def receive(self, timeout_ms: Optional[int] = None) -> Tuple[int, Optional[Received]]:
        """One message, waiting up to timeout_ms (None: for ever): (0, message) or (code, None)."""
        deadline = deadline_after(timeout_ms)
        while True:
            code, n, ancillary, msg_flags = self.recv()
            if code != MACH_RCV_TIMED_OUT:
                return (code, None) if code else self.take(n, ancillary, msg_flags)
            wait = left_ms(deadline)
            if wait == 0:
                return MACH_RCV_TIMED_OUT, None
            events = self.poller.poll(wait)
            if any(revents & select.POLLNVAL for _, revents in events):
                return MACH_RCV_INVALID_NAME, None

    def recv(self) -> Tuple[int, int, list, int]:
        """One recvmsg without waiting: (0, length, ancillary data, flags), or a receive code
        (MACH_RCV_TIMED_OUT when nothing is waiting)."""
        try:
            n, ancillary, msg_flags, _ = self.sock.recvmsg_into(
                self.buffers, ANCILLARY_SIZE, RECV_FLAGS
            )
        except OSError as e:
            return receive_error(e), 0, [], 0
        return 0, n, ancillary, msg_flags

    def take(self, n: int, ancillary: list, msg_flags: int) -> Tuple[int, Optional[Received]]:
        """Checks the datagram recv() put in the buffer: (0, message) or (code, None)."""
        rights: List[int] = []
        for level, kind, payload in ancillary:
            if level == socket.SOL_SOCKET and kind == socket.SCM_RIGHTS:
                fds = array.array("i")
                fds.frombytes(payload[: len(payload) - len(payload) % fds.itemsize])
                rights.extend(fds)
        if n == 0 and not rights and not msg_flags & _MSG_TRUNC:
            # End of stream, or an empty datagram: the hang-up flag tells them apart.
            return (MACH_RCV_PORT_DIED if self.hung_up() else MACH_RCV_INVALID_DATA), None
        return decode(self.view[:n], rights, msg_flags, len(rights) > MAX_RIGHTS, self.max_size)


def rpc(
    sock: socket.socket, request: bytes, buffer_size: int, timeout_ms: Optional[int]
) -> Tuple[int, Optional[Received]]:
    """Sends request on sock and receives the reply within the same timeout."""
    deadline = deadline_after(timeout_ms)
    code = send(sock, request, timeout_ms=timeout_ms)
    if code != 0:
        return code, None
    left = None if deadline is None else left_ms(deadline)
    return Receiver(sock, buffer_size).receive(left)
