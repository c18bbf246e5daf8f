// What `vantles status` shows: the volumes of the mount list worth asking the daemon about,
// what the daemon's uuid answer says about a volume's history, and the plain table and the
// JSON object the command prints.
#pragma once

#include "platform/mounts.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// One volume: a file system listed once, at its first mount point in mountinfo order (bind
// mounts of the same file system report the same changes).
struct status_volume {
    uint32_t dev = 0;  // 32-bit device number, as the daemon takes it
    std::string mount_point;
    std::string fs_type;
    std::string uuid;  // the daemon's answer: a uuid or a "NO-UUID-..." text
    uint32_t watch = 0;        // how the daemon watches it: VANTLES_WATCH_*
    std::string watch_reason;  // why it does not, when it does not
};

// How the daemon watches a volume, in words: "whole volume", "upper layer", "not watched:
// REASON", or "unknown" (a volume it has not seen, or a daemon reading a record stream).
std::string status_watch_text(const status_volume& v);

// What status prints.
struct status_report {
    std::string socket;
    uint64_t current_event_id = 0;
    std::vector<status_volume> volumes;
};

// True for the pseudo file systems the daemon never watches (proc, sysfs, cgroup, ...).
bool status_is_pseudo_fs(std::string_view fs_type);

// The volumes of a mount list: pseudo file systems left out, each device once, in mount order.
std::vector<status_volume> status_volumes_of(std::span<const mount_entry> mounts);

// "MAJOR:MINOR" of a 32-bit device number.
std::string status_device_text(uint32_t dev);

// Why a volume keeps no history, from the daemon's uuid answer ("ignored", "not known",
// "not ready", "no uuid"), or null when the answer is a uuid.
const char* status_no_history_reason(std::string_view uuid);

// The plain form: the socket, the current event id, then a table with aligned columns
// DEVICE, MOUNT POINT, WATCHED (status_watch_text), HISTORY ("yes" or "no (REASON)") and UUID,
// one line per volume.
std::string status_plain(const status_report& report);

// The JSON form, one object on one line: {"socket":..., "current_event_id":N, "volumes":
// [{"device":"M:m","mount_point":...,"fs_type":...,"watched":"whole volume"|"upper layer"|
// "not watched"|"unknown","watch_reason":...|null,"history":true|false,"reason":...|null,
// "uuid":...}]}.
std::string status_json(const status_report& report);
