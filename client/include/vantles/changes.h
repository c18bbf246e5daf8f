// Changes since a token: what changed under some paths after an earlier answer, up to the
// moment of the call, with a token for the next call; or an explicit "rescan everything" when
// the daemon's history cannot tell.
//
// "Up to the moment of the call" is exact: a change whose system call returned before the call
// is in the answer. A token is text ("vantles:<event id>:<uuid>[,<uuid>...]": the id up to which
// the answer went, and the uuids of the histories that keep the paths' events); the answer is
// a rescan when there is no token or it is not one of ours, when one of those histories is not
// the one the token names (a new history, a purge, another machine), when the token's id is
// above every id handed out so far, when the history lost events in between (a dropped notice),
// or when no history keeps a path's events. A call whose token is up to date costs one round
// trip and no replay.
//
// Example:
//     vantles_connection conn;
//     vantles_changes_options opt;
//     opt.paths = {"/home/me/src"};
//     opt.since = saved_token;
//     vantles_changes answer;
//     if (vantles_connect(nullptr, &conn) == 0 && vantles_get_changes(&conn, opt, &answer) == 0)
//         answer.rescan.empty() ? use(answer.changes) : look_at_everything();
//     saved_token = answer.token;
#pragma once

#include "vantles/client.h"
#include "vantles/events.h"

#include <cstdint>
#include <string>
#include <vector>

struct vantles_change {
    uint64_t id;
    uint32_t flags;  // VANTLES_EVENT_*: every change of the path in the range, merged
    std::string path;
};

struct vantles_changes_options {
    std::vector<std::string> paths;     // absolute, existing; at least one
    std::vector<std::string> excludes;  // at most 8, directories under the paths
    std::string since;                  // a token of an earlier answer; empty: none
    bool files = false;                 // one change per file; else one per directory
};

struct vantles_changes {
    std::string token;                    // for the next call
    std::string rescan;                   // not empty: look at everything again; says why
    std::vector<vantles_change> changes;  // one per path, in id order; empty with a rescan
};

// Answers on conn (its timeout bounds each request, and the wait for the replay's end).
// 0 with *out filled, whether changes or a rescan; EINVAL (no paths, a relative one), the errno
// of a path that cannot be examined, or a code of the requests and the stream (the daemon is
// not running: ENOENT or ECONNREFUSED at the connection; ECONNRESET when it went away).
int vantles_get_changes(const vantles_connection* conn, const vantles_changes_options& options,
                        vantles_changes* out);
