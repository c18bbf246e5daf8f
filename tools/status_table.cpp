// The volumes, history answers and output forms of `vantles status` (see status_table.h).
#include "tools/status_table.h"

#include "tools/json_out.h"
#include "vantles/client.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>

namespace {

// The file systems the daemon leaves out of its watch: kernel interfaces without files of
// their own. Keep in step with the daemon's list.
constexpr std::string_view STATUS_PSEUDO_FS[] = {
    "proc",    "sysfs",       "cgroup", "cgroup2",  "devpts",    "mqueue",     "debugfs",
    "tracefs", "securityfs",  "pstore", "bpf",      "configfs",  "fusectl",    "hugetlbfs",
    "autofs",  "binfmt_misc", "nsfs",   "efivarfs", "selinuxfs", "rpc_pipefs", "devtmpfs"};

// The daemon's answers for a volume without a history, and what they mean.
struct status_no_uuid {
    std::string_view text;
    const char* reason;
};

constexpr status_no_uuid STATUS_NO_UUID[] = {
    {"NO-UUID-VOLUME-IS-IGNORED", "ignored"},
    {"NO-UUID-UNKNOWN-DEVICE", "not known"},
    {"NO-UUID-NO-DEV-INFO", "not ready"},
};

constexpr std::string_view STATUS_NO_UUID_PREFIX = "NO-UUID";

constexpr const char* STATUS_HEADERS[] = {"DEVICE", "MOUNT POINT", "WATCHED", "HISTORY", "UUID"};
constexpr size_t STATUS_COLUMNS = 5;

const char* watch_words(uint32_t watch) {
    switch (watch) {
    case VANTLES_WATCH_WHOLE:
        return "whole volume";
    case VANTLES_WATCH_UPPER:
        return "upper layer";
    case VANTLES_WATCH_NONE:
        return "not watched";
    case VANTLES_WATCH_DIRS:
        return "registered directories";
    default:
        return "unknown";
    }
}
constexpr size_t STATUS_GAP = 2;  // spaces between columns

std::string history_text(const status_volume& v) {
    const char* reason = status_no_history_reason(v.uuid);
    return reason == nullptr ? "yes" : std::string("no (") + reason + ")";
}

}  // namespace

bool status_is_pseudo_fs(std::string_view fs_type) {
    return std::find(std::begin(STATUS_PSEUDO_FS), std::end(STATUS_PSEUDO_FS), fs_type) !=
           std::end(STATUS_PSEUDO_FS);
}

std::vector<status_volume> status_volumes_of(std::span<const mount_entry> mounts) {
    std::vector<status_volume> volumes;
    for (const mount_entry& m : mounts) {
        if (m.fs_type == nullptr || m.mount_point == nullptr || status_is_pseudo_fs(m.fs_type)) {
            continue;
        }
        bool seen = std::any_of(volumes.begin(), volumes.end(),
                                [&](const status_volume& v) { return v.dev == m.dev; });
        if (seen) {
            continue;
        }
        status_volume v;
        v.dev = m.dev;
        v.mount_point = m.mount_point;
        v.fs_type = m.fs_type;
        volumes.push_back(std::move(v));
    }
    return volumes;
}

std::string status_watch_text(const status_volume& v) {
    std::string text = watch_words(v.watch);
    bool why = v.watch == VANTLES_WATCH_NONE || v.watch == VANTLES_WATCH_DIRS;
    return why ? text + ": " + v.watch_reason : text;
}

std::string status_device_text(uint32_t dev) {
    // The inverse of (major << 8) | (minor & 0xff) | ((minor & ~0xff) << 12).
    uint32_t major_number = (dev >> 8) & 0xfff;
    uint32_t minor_number = (dev & 0xff) | ((dev >> 12) & 0xfff00);
    char text[32];
    snprintf(text, sizeof text, "%" PRIu32 ":%" PRIu32, major_number, minor_number);
    return text;
}

const char* status_no_history_reason(std::string_view uuid) {
    for (const status_no_uuid& known : STATUS_NO_UUID) {
        if (uuid == known.text) {
            return known.reason;
        }
    }
    return uuid.starts_with(STATUS_NO_UUID_PREFIX) ? "no uuid" : nullptr;
}

std::string status_plain(const status_report& report) {
    std::vector<std::array<std::string, STATUS_COLUMNS>> rows;
    rows.push_back({STATUS_HEADERS[0], STATUS_HEADERS[1], STATUS_HEADERS[2], STATUS_HEADERS[3],
                    STATUS_HEADERS[4]});
    for (const status_volume& v : report.volumes) {
        rows.push_back({status_device_text(v.dev), v.mount_point, status_watch_text(v),
                        history_text(v), v.uuid});
    }
    size_t widths[STATUS_COLUMNS] = {};
    for (const auto& row : rows) {
        for (size_t c = 0; c < STATUS_COLUMNS; c++) {
            widths[c] = std::max(widths[c], row[c].size());
        }
    }
    char id[32];
    snprintf(id, sizeof id, "%" PRIu64, report.current_event_id);
    std::string out =
        "daemon: answering at " + report.socket + "\ncurrent event id: " + id + "\n\n";
    for (const auto& row : rows) {
        for (size_t c = 0; c < STATUS_COLUMNS; c++) {
            out += row[c];
            if (c + 1 < STATUS_COLUMNS) {
                out.append(widths[c] - row[c].size() + STATUS_GAP, ' ');
            }
        }
        out += '\n';
    }
    return out;
}

std::string status_json(const status_report& report) {
    char id[32];
    snprintf(id, sizeof id, "%" PRIu64, report.current_event_id);
    std::string out = "{\"socket\":";
    json_append_string(&out, report.socket);
    out += ",\"current_event_id\":";
    out += id;
    out += ",\"volumes\":[";
    for (size_t i = 0; i < report.volumes.size(); i++) {
        const status_volume& v = report.volumes[i];
        const char* reason = status_no_history_reason(v.uuid);
        out += i == 0 ? "{\"device\":" : ",{\"device\":";
        json_append_string(&out, status_device_text(v.dev));
        out += ",\"mount_point\":";
        json_append_string(&out, v.mount_point);
        out += ",\"fs_type\":";
        json_append_string(&out, v.fs_type);
        out += ",\"watched\":";
        json_append_string(&out, watch_words(v.watch));
        out += ",\"watch_reason\":";
        if (v.watch == VANTLES_WATCH_NONE || v.watch == VANTLES_WATCH_DIRS) {
            json_append_string(&out, v.watch_reason);
        } else {
            out += "null";
        }
        out += reason == nullptr ? ",\"history\":true,\"reason\":null" : ",\"history\":false";
        if (reason != nullptr) {
            out += ",\"reason\":";
            json_append_string(&out, reason);
        }
        out += ",\"uuid\":";
        json_append_string(&out, v.uuid);
        out += '}';
    }
    out += "]}\n";
    return out;
}
