"""Filters a Stream applies to the events it receives, as the vantles tool does with
--include, --exclude GLOB and --event: on the client's side (the daemon still sends every
event), and never to notices (dropped events, history-done), which always pass.

Globs: '*', '?' and '[...]' within one path component, and '**' as a whole component for any
number of components (none included). A glob without '/' matches the file's name; one with '/'
matches the whole path, from any component unless it starts with '/' or '**'."""

from __future__ import annotations

import os
from fnmatch import fnmatchcase
from typing import List, Sequence, Union

from ._flags import Event, Flags

_NOTICES = Flags.user_dropped | Flags.kernel_dropped | Flags.ids_wrapped | Flags.history_done


def is_glob(text: str) -> bool:
    """Whether text is a glob rather than a plain path."""
    return any(c in text for c in "*?[")


def _parts(path: str) -> List[str]:
    return [p for p in path.split("/") if p]


def _match_from(glob: List[str], g: int, path: List[str], p: int) -> bool:
    while g < len(glob):
        if glob[g] == "**":
            return any(_match_from(glob, g + 1, path, skip) for skip in range(p, len(path) + 1))
        if p == len(path) or not fnmatchcase(path[p], glob[g]):
            return False
        g, p = g + 1, p + 1
    return p == len(path)


def glob_matches(glob: str, path: Union[str, bytes]) -> bool:
    """Whether path matches glob by the rules above."""
    path_parts = _parts(os.fsdecode(path))
    if "/" not in glob:
        return bool(path_parts) and fnmatchcase(path_parts[-1], glob)
    glob_parts = _parts(glob)
    if not glob.startswith("/") and glob_parts[:1] != ["**"]:
        glob_parts.insert(0, "**")
    return _match_from(glob_parts, 0, path_parts, 0)


class Filter:
    """include: globs a path must match one of (none: any path); exclude: globs that leave a
    path out; events: flags an event must carry one of (0: any)."""

    def __init__(self, include: Sequence[str], exclude: Sequence[str], events: int) -> None:
        self.include = list(include)
        self.exclude = list(exclude)
        self.events = int(events)

    def active(self) -> bool:
        return bool(self.include or self.exclude or self.events)

    def keeps(self, event: Event) -> bool:
        if event.flags & _NOTICES:
            return True
        if self.events and not event.flags & self.events:
            return False
        if any(glob_matches(g, event.path) for g in self.exclude):
            return False
        return not self.include or any(glob_matches(g, event.path) for g in self.include)
