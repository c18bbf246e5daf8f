"""Changes since a token: what changed under some paths after an earlier answer, up to the
moment of the call, with a token for the next call; or an explicit rescan when the daemon's
history cannot tell.

A token is "vantles:<event id>:<uuid>[,<uuid>...]": the id up to which the answer went and the
sorted uuids of the histories that keep the paths' events. The C++ library and ``vantles
changes`` make and read the same tokens, with the same rescan reasons.
"""

from __future__ import annotations

import dataclasses
import errno
import os
import re
import time
from typing import Dict, List, Optional, Sequence, Tuple, Union

from . import _requests, _stream
from ._flags import ERR_SYNC_BUSY, ERR_SYNC_TIMED_OUT, Event, Flags, TimedOut, VantlesError

TOKEN_PREFIX = "vantles:"
_TOKEN = re.compile(re.escape(TOKEN_PREFIX) + r"([0-9]+):(.+)", re.DOTALL)
_NO_UUID = "NO-UUID"
_LOST = Flags.user_dropped | Flags.kernel_dropped | Flags.ids_wrapped


@dataclasses.dataclass
class Changes:
    """The answer of changes().

    token    give it as since to the next call (after a rescan too).
    rescan   None; or why the history cannot tell what changed: look at everything again.
    changes  one Event per changed path, its flags merged over the range and the highest id,
             in id order; empty with a rescan.
    """

    token: str
    rescan: Optional[str] = None
    changes: List[Event] = dataclasses.field(default_factory=list)


def _parse_token(text: str) -> Optional[Tuple[int, str]]:
    """(event id, uuids as written) of a token, or None when it is not one."""
    match = _TOKEN.fullmatch(text)
    if match is None or int(match.group(1)) > _requests.EVENT_ID_NOW:
        return None
    return int(match.group(1)), match.group(2)


def _devices(paths: Sequence[_stream.PathArg]) -> List[int]:
    """The daemon's numbers of the volumes holding paths, each once, in the paths' order.
    ValueError for a relative path; VantlesError (the errno) for one that cannot be examined."""
    if isinstance(paths, (str, bytes)):
        raise TypeError("paths must be a sequence of paths, not one path")
    encoded, _ = _stream._encode_paths(paths, "paths")
    if not encoded:
        raise ValueError("paths: no path given")
    devices: List[int] = []
    for path in encoded:
        if not path.startswith(b"/"):
            raise ValueError("paths must be absolute: %r" % os.fsdecode(path))
        try:
            device = _requests.device_of(path)
        except OSError as e:
            code = e.errno or errno.EIO
            raise VantlesError(code, "%s: %s" % (os.fsdecode(path), os.strerror(code))) from None
        if device not in devices:
            devices.append(device)
    return devices


def _sync(conn: _requests.Connection, devices: List[int]) -> Tuple[int, List[str], bool]:
    """(the end of the range, the uuid of each volume's history, whether every sync caught up).
    A sync the daemon could not complete falls back to the uuid and the current id."""
    # The first sync fixes the end of the range: every change made before this call has an id
    # at or below it. The others only name their volumes' histories.
    upto: Optional[int] = None
    uuids: List[str] = []
    synced = True
    for device in devices:
        try:
            event_id, uuid = conn.sync(device)
        except VantlesError as e:
            if e.code not in (ERR_SYNC_TIMED_OUT, ERR_SYNC_BUSY):
                raise
            synced = False
            uuid = conn.uuid(device)
            event_id = conn.current_id()
        upto = event_id if upto is None else upto
        uuids.append(uuid)
    assert upto is not None  # at least one path, so one device
    return upto, uuids, synced


def _replay(
    paths: Sequence[_stream.PathArg],
    since: int,
    files: bool,
    excludes: Sequence[_stream.PathArg],
    socket: Optional[str],
    timeout: _requests.Timeout,
) -> Optional[List[Event]]:
    """The history's changes of paths after since, up to its end, merged per path in id order;
    None when it said events were lost in between. The timeout bounds the wait for its end."""
    merged: Dict[Union[str, bytes], Event] = {}
    lost = False
    with _stream.Stream(
        paths, since, 0, files, excludes, no_defer=True, socket=socket, timeout=timeout
    ) as stream:
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                raise TimedOut(errno.ETIMEDOUT, "changes: the replay did not end in time")
            for event in stream.read(left):
                if event.flags & Flags.history_done:
                    # What follows is live, after the end of the range: the next call's.
                    return None if lost else sorted(merged.values(), key=lambda e: e.id)
                if event.flags & _LOST:
                    lost = True
                    continue
                seen = merged.get(event.path)
                if seen is not None:
                    event = Event(max(seen.id, event.id), seen.flags | event.flags, event.path)
                merged[event.path] = event


def changes(
    paths: Sequence[_stream.PathArg],
    since: Optional[str] = None,
    *,
    files: bool = False,
    excludes: Sequence[_stream.PathArg] = (),
    socket: Optional[str] = None,
    timeout: _requests.Timeout = _requests.DEFAULT_TIMEOUT,
) -> Changes:
    """What changed under paths since the token of an earlier answer, up to the moment of the
    call (a change whose system call returned before it is in the answer), and the token for
    the next call; or a rescan answer that says why the history cannot tell.

    paths     absolute, existing paths (str, bytes or path-like; all str or all bytes).
    since     the token of the last answer (of this call, ``vantles changes`` or the C++
              library); None: a rescan answer, with a first token.
    files     one change per changed file, instead of one per directory.
    excludes  at most 8 directories under the paths to leave out.
    socket, timeout  as for Stream; the timeout bounds each request and the replay.

    An up-to-date token costs one request per volume and no replay. ValueError for a relative
    path, VantlesError for a missing one (its errno) or a failed request."""
    devices = _devices(paths)
    with _requests.Connection(socket, timeout) as conn:
        upto, uuids, synced = _sync(conn, devices)
    kept = not any(u.startswith(_NO_UUID) for u in uuids)
    joined = ",".join(sorted(set(uuids)))
    answer = Changes("%s%d:%s" % (TOKEN_PREFIX, upto, joined))
    token = _parse_token(since) if since else None
    if not since:
        answer.rescan = "no token"
    elif token is None:
        answer.rescan = "not a token of this daemon"
    elif not kept:
        answer.rescan = "no history keeps the events of these paths"
    elif token[1] != joined:
        answer.rescan = "the history changed (a new history, a purge, or another machine's token)"
    elif token[0] > upto:
        answer.rescan = "the token is above every event id handed out"
    elif not synced:
        answer.rescan = "the daemon could not catch up with the kernel's queue in time"
    if answer.rescan is not None or token is None or token[0] == upto:
        return answer
    replayed = _replay(paths, token[0], files, excludes, socket, timeout)
    if replayed is None:
        answer.rescan = "events were lost in between (a dropped notice)"
    else:
        answer.changes = replayed
    return answer
