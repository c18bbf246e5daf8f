// The event flags as the daemon sends them: what happened to a path, what the item is, and the
// notices that are no change. The daemon's own names for them are defined from these.
#pragma once

#include <cstdint>

// Event flags. The first thirteen say what happened; several may be set when the daemon
// merged changes of the same path.
constexpr uint32_t VANTLES_EVENT_CREATED = 0x1;
constexpr uint32_t VANTLES_EVENT_REMOVED = 0x2;
constexpr uint32_t VANTLES_EVENT_STAT_CHANGED = 0x4;  // mode, times or link count
constexpr uint32_t VANTLES_EVENT_RENAMED = 0x8;       // sent for the old and the new path
constexpr uint32_t VANTLES_EVENT_MODIFIED = 0x10;     // contents written
constexpr uint32_t VANTLES_EVENT_EXCHANGED = 0x20;
constexpr uint32_t VANTLES_EVENT_INFO_CHANGED = 0x40;
constexpr uint32_t VANTLES_EVENT_DIR_CREATED = 0x80;
constexpr uint32_t VANTLES_EVENT_OWNER_CHANGED = 0x100;
constexpr uint32_t VANTLES_EVENT_XATTR_MODIFIED = 0x200;
constexpr uint32_t VANTLES_EVENT_XATTR_REMOVED = 0x400;
constexpr uint32_t VANTLES_EVENT_DOCID_CREATED = 0x800;
constexpr uint32_t VANTLES_EVENT_DOCID_CHANGED = 0x1000;
// What the item is.
constexpr uint32_t VANTLES_EVENT_LAST_HARDLINK = 0x80000;
constexpr uint32_t VANTLES_EVENT_HARDLINK = 0x100000;
constexpr uint32_t VANTLES_EVENT_OWN = 0x200000;  // caused by this process (mark self)
constexpr uint32_t VANTLES_EVENT_SYMLINK = 0x400000;
constexpr uint32_t VANTLES_EVENT_FILE = 0x800000;
constexpr uint32_t VANTLES_EVENT_DIR = 0x1000000;
// Notices rather than changes.
constexpr uint32_t VANTLES_EVENT_HISTORY_DONE = 0x8000000;  // history replay complete
constexpr uint32_t VANTLES_EVENT_IDS_WRAPPED = 0x10000000;
constexpr uint32_t VANTLES_EVENT_DIR_LEVEL = 0x20000000;     // something changed in this directory
constexpr uint32_t VANTLES_EVENT_USER_DROPPED = 0x40000000;  // the stream fell behind: rescan
constexpr uint32_t VANTLES_EVENT_KERNEL_DROPPED = 0x80000000;  // the kernel lost events: rescan
