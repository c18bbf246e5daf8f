// How the daemon watches each mounted file system, as the fanotify source found when it marked
// them: the whole file system with one mark, an overlay through its upper layer's file system,
// or not at all (and why). The source records it; requests read it (the status of volumes, and
// a registration whose paths lie on a volume the daemon cannot watch). Any thread.
#pragma once

#include <cstddef>
#include <cstdint>

enum volume_watch_kind : uint32_t {
    VOLUME_WATCH_UNKNOWN = 0,  // not recorded: not mounted, a pseudo file system, a record stream
    VOLUME_WATCH_WHOLE = 1,    // one filesystem mark: every change on it
    VOLUME_WATCH_UPPER = 2,    // an overlay: every change made through it, from its upper layer
    VOLUME_WATCH_NONE = 3,     // no change on it is seen; reason says why
    // fanotify cannot watch it (reason says why), so the directories clients registered on it
    // are watched one by one: only changes made through this machine's own mounts
    VOLUME_WATCH_DIRS = 4,
};

constexpr size_t VOLUME_WATCH_REASON_SIZE = 64;  // with its NUL

struct volume_watch {
    volume_watch_kind kind = VOLUME_WATCH_UNKNOWN;
    char reason[VOLUME_WATCH_REASON_SIZE] = {};
};

// Records how the file system of device dev (32-bit number) is watched. True when that
// changed (the caller logs a change once).
bool volume_watch_record(uint32_t dev, volume_watch_kind kind, const char* reason);

// How dev is watched (VOLUME_WATCH_UNKNOWN when never recorded).
volume_watch volume_watch_of(uint32_t dev);

