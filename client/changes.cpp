// Changes since a token (see vantles/changes.h): one sync per volume for the id the answer
// goes up to and the histories' uuids, the token checked against them, and, when something
// happened since, a replay of the history from the token's id, collected up to its end.
#include "vantles/changes.h"

#include "platform/mounts.h"
#include "vantles/stream.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <span>

namespace {

constexpr char CHANGES_TOKEN_PREFIX[] = "vantles:";
constexpr char CHANGES_NO_UUID[] = "NO-UUID";

struct parsed_token {
    uint64_t id = 0;
    std::string uuids;  // as written: sorted, joined by ','
};

bool parse_token(const std::string& text, parsed_token* out) {
    if (text.rfind(CHANGES_TOKEN_PREFIX, 0) != 0) {
        return false;
    }
    const char* p = text.c_str() + strlen(CHANGES_TOKEN_PREFIX);
    char* end = nullptr;
    errno = 0;
    unsigned long long id = strtoull(p, &end, 10);
    if (errno != 0 || end == p || *end != ':' || !isdigit((unsigned char)*p)) {
        return false;
    }
    out->id = id;
    out->uuids = end + 1;
    return !out->uuids.empty();
}

// What the replay brought: the changes by path, and whether it said events were lost.
struct collected {
    std::map<std::string, vantles_change> by_path;
    bool lost = false;
    bool done = false;
};

void collect(void* ctx, std::span<const vantles_event> events) {
    auto* c = static_cast<collected*>(ctx);
    for (const vantles_event& e : events) {
        if (c->done) {
            break;  // live events after the replay: the next call's
        }
        if (e.flags & VANTLES_EVENT_HISTORY_DONE) {
            c->done = true;
            continue;
        }
        if (e.flags & (VANTLES_EVENT_USER_DROPPED | VANTLES_EVENT_KERNEL_DROPPED |
                       VANTLES_EVENT_IDS_WRAPPED)) {
            c->lost = true;
            continue;
        }
        auto [it, added] = c->by_path.try_emplace(e.path, vantles_change{e.id, e.flags, e.path});
        if (!added) {
            it->second.flags |= e.flags;
            it->second.id = std::max(it->second.id, e.id);
        }
    }
}

// Replays the history of the paths after since into *c, to its end. 0 or an error.
int replay(const vantles_connection* conn, const vantles_changes_options& options, uint64_t since,
           collected* c) {
    vantles_stream_options so;
    so.paths = options.paths;
    so.excludes = options.excludes;
    so.since_when = since;
    so.create_flags = VANTLES_FLAG_NO_DEFER | (options.files ? VANTLES_FLAG_FILE_EVENTS : 0);
    so.timeout_ms = conn->timeout_ms;
    vantles_stream* stream = nullptr;
    int err = vantles_stream_create(so, collect, c, &stream);
    if (err == 0) {
        err = vantles_stream_start_on(stream, conn);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(conn->timeout_ms);
    while (err == 0 && !c->done) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        err = left.count() <= 0 ? ETIMEDOUT : vantles_stream_dispatch(stream, (int)left.count());
    }
    vantles_stream_destroy(stream);
    return err;
}

}  // namespace

int vantles_get_changes(const vantles_connection* conn, const vantles_changes_options& options,
                        vantles_changes* out) {
    *out = vantles_changes{};
    if (options.paths.empty()) {
        return EINVAL;
    }
    std::vector<uint32_t> devices;
    for (const std::string& p : options.paths) {
        struct stat st;
        if (p.empty() || p[0] != '/') {
            return EINVAL;
        }
        if (stat(p.c_str(), &st) != 0) {
            return errno;
        }
        uint32_t dev = device_number_32(st.st_dev);
        if (std::find(devices.begin(), devices.end(), dev) == devices.end()) {
            devices.push_back(dev);
        }
    }
    // The first sync fixes the end of the range: every change made before this call has an id
    // at or below it. The others only name their volumes' histories.
    uint64_t upto = 0;
    std::vector<std::string> uuids;
    bool synced = true, kept = true;
    for (uint32_t dev : devices) {
        uint64_t id = 0;
        char text[VANTLES_UUID_TEXT_LENGTH + 1] = {};
        int err = vantles_sync_volume(conn, dev, &id, text);
        if (err == VANTLES_ERR_SYNC_TIMED_OUT || err == VANTLES_ERR_SYNC_BUSY) {
            synced = false;
            err = vantles_get_volume_uuid(conn, dev, text);
            err = err ? err : vantles_get_current_event_id(conn, &id);
        }
        if (err != 0) {
            return err;
        }
        upto = uuids.empty() ? id : upto;
        kept &= strncmp(text, CHANGES_NO_UUID, strlen(CHANGES_NO_UUID)) != 0;
        uuids.push_back(text);
    }
    std::sort(uuids.begin(), uuids.end());
    uuids.erase(std::unique(uuids.begin(), uuids.end()), uuids.end());
    std::string joined;
    for (const std::string& u : uuids) {
        joined += (joined.empty() ? "" : ",") + u;
    }
    out->token = CHANGES_TOKEN_PREFIX + std::to_string(upto) + ":" + joined;

    parsed_token since;
    if (options.since.empty()) {
        out->rescan = "no token";
    } else if (!parse_token(options.since, &since)) {
        out->rescan = "not a token of this daemon";
    } else if (!kept) {
        out->rescan = "no history keeps the events of these paths";
    } else if (since.uuids != joined) {
        out->rescan = "the history changed (a new history, a purge, or another machine's token)";
    } else if (since.id > upto) {
        out->rescan = "the token is above every event id handed out";
    } else if (!synced) {
        out->rescan = "the daemon could not catch up with the kernel's queue in time";
    }
    if (!out->rescan.empty() || since.id == upto) {
        return 0;
    }
    collected c;
    int err = replay(conn, options, since.id, &c);
    if (err != 0) {
        return err;
    }
    if (c.lost) {
        out->rescan = "events were lost in between (a dropped notice)";
        return 0;
    }
    for (auto& [path, change] : c.by_path) {
        out->changes.push_back(std::move(change));
    }
    std::sort(out->changes.begin(), out->changes.end(),
              [](const vantles_change& a, const vantles_change& b) { return a.id < b.id; });
    return 0;
}
