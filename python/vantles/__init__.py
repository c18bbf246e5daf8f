"""Client library of vantlesd, the file-system event daemon: live event streams, the volumes'
history, changes since a token, and the daemon's queries. Pure Python, talking the daemon's
protocol on its socket.

    import vantles
    with vantles.Stream(["/home"], files=True) as stream:
        for batch in stream:
            for event in batch:
                print(event.id, event.flags, event.path)
"""

from __future__ import annotations

import datetime
from typing import Optional, Union

from ._changes import Changes, changes
from ._flags import (
    DaemonNotRunning,
    Event,
    Flags,
    NotPermitted,
    PathError,
    PathNotFound,
    ProtocolError,
    RegistrationRefused,
    StreamEnded,
    TimedOut,
    VantlesError,
    describe_code,
)
from ._requests import DEFAULT_TIMEOUT, Connection, Timeout, Volume, device_of
from ._stream import Stream, history

__version__ = "0.1.0"

__all__ = [
    "Changes",
    "Connection",
    "DaemonNotRunning",
    "Event",
    "Flags",
    "NotPermitted",
    "PathError",
    "PathNotFound",
    "ProtocolError",
    "RegistrationRefused",
    "Stream",
    "StreamEnded",
    "TimedOut",
    "VantlesError",
    "changes",
    "current_id",
    "describe_code",
    "device_of",
    "history",
    "id_before",
    "purge",
    "uuid",
]


def current_id(socket: Optional[str] = None, timeout: Timeout = DEFAULT_TIMEOUT) -> int:
    """The latest event id the daemon assigned."""
    with Connection(socket, timeout) as conn:
        return conn.current_id()


def uuid(volume: Volume, socket: Optional[str] = None, timeout: Timeout = DEFAULT_TIMEOUT) -> str:
    """The uuid naming the history of a volume (a device number or a path on it); a text
    starting "NO-UUID" when the volume keeps no history. It changes when the history is lost
    or purged: ids saved against another uuid no longer resume a stream."""
    with Connection(socket, timeout) as conn:
        return conn.uuid(volume)


def id_before(
    time: Union[int, float, datetime.datetime],
    volume: Volume = "/",
    socket: Optional[str] = None,
    timeout: Timeout = DEFAULT_TIMEOUT,
) -> int:
    """The last event id the volume's history recorded before time (seconds since the epoch,
    or a datetime); 0 when there is none."""
    with Connection(socket, timeout) as conn:
        return conn.id_before(time, volume)


def purge(
    volume: Volume,
    below: Optional[int] = None,
    socket: Optional[str] = None,
    timeout: Timeout = DEFAULT_TIMEOUT,
) -> bool:
    """Removes the volume's history below event id below (None: all of it). Root only
    (NotPermitted otherwise). False when the volume had no history to purge."""
    with Connection(socket, timeout) as conn:
        return conn.purge(volume, below)
