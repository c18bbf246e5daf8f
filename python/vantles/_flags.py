"""Event flags, the Event record and the exceptions of the client library."""

from __future__ import annotations

import enum
import errno
import os
from typing import Dict, List, NamedTuple, Union

__all__ = [
    "Flags",
    "Event",
    "VantlesError",
    "DaemonNotRunning",
    "StreamEnded",
    "RegistrationRefused",
    "NotPermitted",
    "TimedOut",
    "ProtocolError",
    "describe_code",
]


class Flags(enum.IntFlag):
    """The flags of an event, as the daemon sends them.

    Member names are the names ``vantles watch`` prints with "-" written as "_";
    ``str(flags)`` gives the printed form ("created,file"; "none" for no flag).
    """

    # What happened; several may be set when the daemon merged changes of one path.
    created = 0x1
    removed = 0x2
    stat_changed = 0x4
    renamed = 0x8
    modified = 0x10
    exchanged = 0x20
    info_changed = 0x40
    dir_created = 0x80
    owner_changed = 0x100
    xattr_modified = 0x200
    xattr_removed = 0x400
    docid_created = 0x800
    docid_changed = 0x1000
    # What the item is.
    last_hardlink = 0x80000
    hardlink = 0x100000
    own = 0x200000
    symlink = 0x400000
    file = 0x800000
    dir = 0x1000000
    # Notices rather than changes.
    history_done = 0x8000000
    ids_wrapped = 0x10000000
    dir_level = 0x20000000
    user_dropped = 0x40000000
    kernel_dropped = 0x80000000

    def names(self) -> List[str]:
        """The printed name of every set bit, lowest first; unknown bits as hex ("0x2000")."""
        out = []
        value = int(self)
        bit = 1
        while bit <= value:
            if value & bit:
                out.append(_BIT_NAMES.get(bit) or hex(bit))
            bit <<= 1
        return out

    def __str__(self) -> str:
        return ",".join(self.names()) or "none"

    def __repr__(self) -> str:
        return "<Flags %s: %#x>" % (self, int(self))

    # Faster than the enum's own operators, which dominate a loop that tests every event.
    def __and__(self, other: object) -> Flags:
        if not isinstance(other, int):
            return NotImplemented
        return _flags_by_value[int.__and__(self, other)]

    def __or__(self, other: object) -> Flags:
        if not isinstance(other, int):
            return NotImplemented
        return _flags_by_value[int.__or__(self, other)]

    __rand__ = __and__
    __ror__ = __or__

    @classmethod
    def from_name(cls, name: str) -> Flags:
        """The flag of one printed name ("stat-changed"); KeyError for an unknown name."""
        return cls[name.replace("-", "_")]


_BIT_NAMES: Dict[int, str] = {int(f): f.name.replace("_", "-") for f in Flags}  # type: ignore



class _FlagsByValue(Dict[int, Flags]):
    """Flags objects by value: a stream's flag values repeat, and making a Flags is not cheap."""

    def __missing__(self, value: int) -> Flags:
        flags = self[value] = Flags(value)
        return flags


_flags_by_value = _FlagsByValue()


class Event(NamedTuple):
    """One change (or notice): its event id, its flags and its path.

    ``path`` is str when the stream was given str paths, bytes when it was given bytes."""

    id: int
    flags: Flags
    path: Union[str, bytes]


# Result codes, as the daemon and the transport give them.
KERN_FAILURE = 5
ERR_NO_MEMORY = -20
ERR_NO_CLIENT = -21
ERR_BAD_ARGS = -22
ERR_FUTURE_ID = -23
ERR_BAD_REPLY = -301
# A sync the daemon could not complete in time, or one of too many waiting.
ERR_SYNC_TIMED_OUT = 49
ERR_SYNC_BUSY = 6
MACH_SEND_INVALID_DATA = 0x10000002
MACH_SEND_INVALID_DEST = 0x10000003
MACH_SEND_TIMED_OUT = 0x10000004
MACH_SEND_NO_BUFFER = 0x1000000D
MACH_SEND_TOO_LARGE = 0x1000000A
MACH_RCV_TIMED_OUT = 0x10004003
MACH_RCV_TOO_LARGE = 0x10004004
MACH_RCV_PORT_DIED = 0x10004009
MACH_RCV_INVALID_DATA = 0x10004008
MACH_RCV_INVALID_NAME = 0x10004002

_CODE_TEXTS = {
    ERR_NO_MEMORY: "the daemon is out of memory",
    ERR_NO_CLIENT: "the daemon could not start delivery (still starting up, or this user "
    "has too many streams)",
    ERR_BAD_ARGS: "the daemon refused the paths or exclusions",
    ERR_FUTURE_ID: "the id to start after is above the daemon's current event id: it never "
    "gave that id out",
    ERR_BAD_REPLY: "the reply does not belong to the request",
    MACH_RCV_TIMED_OUT: "the daemon did not answer in time",
    MACH_SEND_INVALID_DEST: "the daemon closed the connection",
    MACH_RCV_PORT_DIED: "the daemon closed the connection",
}

# The transport's own texts for the codes that have no explanation above.
_TRANSPORT_TEXTS = {
    0: "(os/kern) successful",
    4: "(os/kern) invalid argument",
    KERN_FAILURE: "(os/kern) failure",
    6: "(os/kern) resource shortage",
    15: "(os/kern) invalid name",
    17: "(os/kern) invalid right",
    MACH_SEND_INVALID_DATA: "(ipc/send) invalid data",
    MACH_SEND_TIMED_OUT: "(ipc/send) timed out",
    0x10000008: "(ipc/send) message smaller than its header",
    0x10000007: "(ipc/send) invalid port right",
    MACH_SEND_NO_BUFFER: "(ipc/send) no kernel memory for the message",
    MACH_SEND_TOO_LARGE: "(ipc/send) message too large",
    MACH_RCV_TOO_LARGE: "(ipc/rcv) message too large for the buffer",
    MACH_RCV_INVALID_DATA: "(ipc/rcv) malformed message dropped",
    MACH_RCV_INVALID_NAME: "(ipc/rcv) invalid name",
    -300: "(ipc/mig) type check failure in message",
    -303: "(ipc/mig) bad request message id",
    -304: "(ipc/mig) bad request arguments",
    -309: "(ipc/mig) trailer missing or of an unknown format",
}


def describe_code(code: int) -> str:
    """The explanation ``vantles`` prints for a result code."""
    text = _CODE_TEXTS.get(code)
    if text is not None:
        return text
    # Small positive codes are errno values of this process, except KERN_FAILURE, the one code
    # of the daemon in that range.
    if 0 < code < 4096 and code != KERN_FAILURE:
        return os.strerror(code)
    return _TRANSPORT_TEXTS.get(code, "unknown error code")


class VantlesError(Exception):
    """A request or stream failed. ``code``: the daemon's or the transport's result code (an
    errno value for local failures); ``str()``: the words ``vantles`` prints for it."""

    def __init__(self, code: int, message: str = "") -> None:
        self.code = code
        self.message = message or "%s (code %d)" % (describe_code(code), code)
        super().__init__(code, self.message)

    def __str__(self) -> str:
        return self.message


class DaemonNotRunning(VantlesError):
    """Nothing answers on the daemon's socket (``code``: the errno of the connect)."""

    def __init__(self, code: int, socket_path: str) -> None:
        self.socket_path = socket_path
        super().__init__(
            code,
            "cannot reach the daemon at %s: %s (is vantlesd running?)"
            % (socket_path, os.strerror(code)),
        )


class StreamEnded(VantlesError):
    """The daemon ended the stream: it stopped, restarted or dropped the client."""

    def __init__(self) -> None:
        super().__init__(errno.ECONNRESET, "the daemon ended the stream (did vantlesd stop?)")


class RegistrationRefused(VantlesError):
    """The daemon refused to register a stream."""

    def __init__(self, code: int) -> None:
        super().__init__(
            code, "the daemon refused the registration: %s (code %d)" % (describe_code(code), code)
        )


class NotPermitted(VantlesError):
    """A purge asked for by a user other than root."""

    def __init__(self) -> None:
        super().__init__(KERN_FAILURE, "purge: refused: only root may remove history")


class PathError(VantlesError, OSError):
    """A path given to a request or a stream cannot be looked at (``code``: the errno value;
    ``filename``: the path). Also an OSError, as the failed lookup is."""

    def __init__(self, code: int, path: Union[str, bytes]) -> None:
        super().__init__(code, "%s: %s" % (os.fsdecode(path), os.strerror(code)))
        self.filename = path


class PathNotFound(PathError, FileNotFoundError):
    """A path that does not exist; also a FileNotFoundError."""


def path_error(error: OSError, path: Union[str, bytes]) -> PathError:
    """The VantlesError for an OSError from looking at path."""
    code = error.errno or errno.EIO
    return PathNotFound(code, path) if code == errno.ENOENT else PathError(code, path)


class TimedOut(VantlesError):
    """The daemon did not answer in time (the connection is then out of step)."""


class ProtocolError(VantlesError):
    """A message from the daemon that does not fit the request, or is no event batch."""


def error_for(code: int) -> VantlesError:
    """The exception for a failed request's result code."""
    if code in (MACH_RCV_TIMED_OUT, MACH_SEND_TIMED_OUT):
        return TimedOut(code)
    if code in (ERR_BAD_REPLY, MACH_RCV_INVALID_DATA, MACH_RCV_TOO_LARGE):
        return ProtocolError(code)
    return VantlesError(code)
