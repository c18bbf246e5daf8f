// Going on after the daemon ended a stream (see stream_command.h): waiting for it to answer
// again, and where the new stream starts. A daemon that comes back with the history each
// watched volume had goes on after the last id seen, and its replay brings what changed
// meanwhile (with its own dropped notice when it could not see that); one whose history is
// another cannot tell, and the stream starts at the current id after a rescan.
#include "tools/stream_command.h"
#include "tools/tool.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr int RESUME_FIRST_WAIT_MS = 250;
constexpr int RESUME_MAX_WAIT_MS = 4000;

bool keeps_history(const std::string& uuid) {
    return uuid.rfind("NO-UUID", 0) != 0;
}

}  // namespace

int tool_volume_uuids(const vantles_connection& conn, const std::vector<std::string>& paths,
                      std::vector<std::string>* uuids, std::string* why) {
    for (const std::string& path : paths) {
        uint32_t device = 0;
        char text[VANTLES_UUID_TEXT_LENGTH + 1] = {};
        if (int err = tool_parse_volume(path.c_str(), &device); err != 0) {
            *why = path + ": " + strerror(err);
            return err;
        }
        if (int err = vantles_get_volume_uuid(&conn, device, text); err != 0) {
            *why = "the history uuid of " + path + ": " + tool_describe_code(err) + " (code " +
                   std::to_string(err) + ")";
            return EIO;
        }
        uuids->emplace_back(text);
    }
    return 0;
}

void tool_resume_prepare(const vantles_stream_options& options, tool_resume_point* point) {
    vantles_connection conn;
    if (vantles_connect(options.socket_path, &conn) != 0) {
        return;
    }
    std::string why;
    point->known = tool_volume_uuids(conn, options.paths, &point->uuids, &why) == 0 &&
                   vantles_get_current_event_id(&conn, &point->after) == 0;
    if (options.since_when != VANTLES_EVENT_ID_NOW) {
        point->after = options.since_when;
    }
}

int tool_daemon_back(const vantles_stream_options& options, tool_resume_point* point,
                     uint64_t* since, std::string* rescan_reason) {
    vantles_connection conn;
    uint64_t current = 0;
    std::vector<std::string> uuids;
    std::string why;
    if (vantles_connect(options.socket_path, &conn) != 0 ||
        vantles_get_current_event_id(&conn, &current) != 0 ||
        tool_volume_uuids(conn, options.paths, &uuids, &why) != 0) {
        return EAGAIN;  // not up yet, or still starting
    }
    rescan_reason->clear();
    if (!point->known) {
        *rescan_reason = "the history before the restart is not known";
    } else if (uuids != point->uuids) {
        *rescan_reason = "a watched volume's history is not the one it was";
    } else if (!std::all_of(uuids.begin(), uuids.end(), keeps_history)) {
        *rescan_reason = "a watched volume keeps no history";
    } else if (point->after > current) {
        *rescan_reason = "the daemon's ids are behind the last one seen";
    }
    *since = rescan_reason->empty() ? point->after : current;
    point->uuids = std::move(uuids);
    point->known = true;
    if (rescan_reason->empty()) {
        tool_error("the daemon is back: going on from its history");
    } else {
        tool_error("the daemon is back: going on after a rescan (%s)", rescan_reason->c_str());
    }
    return 0;
}

int tool_resume_wait_ms(int waited_ms) {
    return std::min(std::max(2 * waited_ms, RESUME_FIRST_WAIT_MS), RESUME_MAX_WAIT_MS);
}
