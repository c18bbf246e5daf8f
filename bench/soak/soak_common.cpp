// The soak's shared pieces (see soak.h): the clock, the tree's layout, path helpers, the text
// form of a session report and the check of a kept-up session against the storm's record.
#include "bench/soak/soak.h"

#include <time.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int64_t soak_now_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

std::vector<std::string> soak_tree_dirs() {
    std::vector<std::string> dirs = {SOAK_TREE};
    for (int d = 0; d < SOAK_TOP_DIRS; d++) {
        std::string top = std::string(SOAK_TREE) + "/d" + std::to_string(d);
        dirs.push_back(top);
        for (int e = 0; e < SOAK_SUB_DIRS; e++)
            dirs.push_back(top + "/e" + std::to_string(e));
    }
    return dirs;
}

std::string soak_parent(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return "/";
    return path.substr(0, slash);
}

bool soak_under(const std::string& path, const std::string& prefix) {
    if (prefix == "/")
        return !path.empty() && path[0] == '/';
    return path.compare(0, prefix.size(), prefix) == 0 &&
           (path.size() == prefix.size() || path[prefix.size()] == '/');
}

const char* soak_kind_name(soak_change_kind kind) {
    static const char* const NAMES[SOAK_KIND_COUNT] = {
        "create", "modify", "chmod", "rename-from", "rename-to", "delete", "mkdir", "rmdir"};
    return kind < SOAK_KIND_COUNT ? NAMES[kind] : "?";
}

void soak_prune(soak_change_log* log, int64_t horizon_us) {
    std::lock_guard<std::mutex> guard(log->lock);
    while (!log->changes.empty() && log->changes.front().after_us < horizon_us) {
        log->pruned_until_us = log->changes.front().before_us;
        log->changes.pop_front();
    }
}

namespace {

constexpr size_t SOAK_CHECK_MESSAGES = 5;  // missing changes described per session

// The path a session's event carries for a change at path: the path itself for a file-level
// session, its directory for a directory-level one (trailing "/" removed, as in last_seen).
std::string delivered_path(const soak_session& s, const std::string& path) {
    return s.file_level ? path : soak_parent(path);
}

// The daemon's exclusions cover what lies strictly below the excluded directory, and a
// directory-level event names the directory with a trailing "/": compare with the "/" added.
bool excluded(const soak_session& s, const std::string& delivered) {
    std::string with_slash = s.file_level ? delivered : delivered + "/";
    for (const std::string& x : s.excludes) {
        std::string below = x + "/";
        if (with_slash.compare(0, below.size(), below) == 0)
            return true;
    }
    return false;
}

bool watched(const soak_session& s, const std::string& delivered) {
    for (const std::string& p : s.paths) {
        if (soak_under(delivered, p))
            return true;
    }
    return false;
}

std::string seconds_text(int64_t us, int64_t start_us) {
    char text[32];
    snprintf(text, sizeof text, "+%.3f s", double(us - start_us) / 1e6);
    return text;
}

}  // namespace

soak_check_result soak_check_session(const soak_session& s, soak_change_log* log,
                                     int64_t start_us) {
    soak_check_result result;
    std::lock_guard<std::mutex> guard(log->lock);
    if (log->pruned_until_us > s.registered_us) {
        result.beyond_log = true;
        return result;
    }
    // Changes that began after the registration had completed and were over before the
    // sentinel was made: the sentinel's arrival means each of them had been routed by then.
    auto first = std::upper_bound(log->changes.begin(), log->changes.end(), s.registered_us,
                                  [](int64_t t, const soak_change& c) { return t < c.before_us; });
    for (auto it = first; it != log->changes.end() && it->before_us < s.sync_us; ++it) {
        if (it->after_us >= s.sync_us)
            continue;
        const std::string& path = log->paths[it->path];
        std::string delivered = delivered_path(s, path);
        if (!watched(s, delivered) || excluded(s, delivered))
            continue;
        result.expected++;
        auto seen = s.last_seen.find(delivered);
        if (seen != s.last_seen.end() && seen->second >= it->before_us)
            continue;
        result.missing++;
        if (result.messages.size() < SOAK_CHECK_MESSAGES) {
            std::string last = seen == s.last_seen.end()
                                   ? "none at all"
                                   : "the last at " + seconds_text(seen->second, start_us);
            result.messages.push_back(std::string(soak_kind_name(it->kind)) + " of " + path +
                                      " at " + seconds_text(it->before_us, start_us) +
                                      ": no event for " + delivered + " after it (" + last + ")");
        }
    }
    return result;
}

std::string soak_session_text(const soak_session& s) {
    char head[512];
    snprintf(head, sizeof head,
             "S %d %d %u %d %d %d %d %" PRIu64 " %" PRId64 " %" PRId64 " %" PRId64
             " %d %d %d %d %" PRId64 " %d %" PRIu64 " %" PRIu64 " %" PRIu64 " %s\n",
             s.worker, s.slot, s.number, int(s.pid), s.file_level, s.mark_self, s.raw, s.latency_us,
             s.registered_us, s.sync_us, s.end_us, s.sync_seen, s.user_dropped, s.kernel_dropped,
             s.stalled, s.stall_ms, int(s.end), s.events, s.notices, s.out_of_order,
             s.sync_dir.c_str());
    std::string text = head;
    for (const std::string& p : s.paths)
        text += "W " + p + "\n";
    for (const std::string& x : s.excludes)
        text += "X " + x + "\n";
    for (const auto& [path, us] : s.last_seen) {
        std::string safe = path;
        std::replace(safe.begin(), safe.end(), '\n', '?');
        text += "P " + std::to_string(us) + " " + safe + "\n";
    }
    for (const std::string& problem : s.problems) {
        std::string safe = problem;
        std::replace(safe.begin(), safe.end(), '\n', ' ');
        text += "Q " + safe + "\n";
    }
    text += "E\n";
    return text;
}

int soak_session_parser::feed(const std::string& line) {
    if (line.size() < 1)
        return -1;
    char tag = line[0];
    std::string rest = line.size() > 2 ? line.substr(2) : "";
    if (tag == 'S') {
        session = soak_session();
        int pid = 0, file_level = 0, mark_self = 0, raw = 0, sync_seen = 0, user_dropped = 0;
        int kernel_dropped = 0, stalled = 0, end = 0;
        char sync_dir[256] = "";
        int n = sscanf(rest.c_str(),
                       "%d %d %u %d %d %d %d %" SCNu64 " %" SCNd64 " %" SCNd64 " %" SCNd64
                       " %d %d %d %d %" SCNd64 " %d %" SCNu64 " %" SCNu64 " %" SCNu64 " %255s",
                       &session.worker, &session.slot, &session.number, &pid, &file_level,
                       &mark_self, &raw, &session.latency_us, &session.registered_us,
                       &session.sync_us, &session.end_us, &sync_seen, &user_dropped,
                       &kernel_dropped, &stalled, &session.stall_ms, &end, &session.events,
                       &session.notices, &session.out_of_order, sync_dir);
        if (n != 21)
            return -1;
        session.pid = pid;
        session.file_level = file_level;
        session.mark_self = mark_self;
        session.raw = raw;
        session.sync_seen = sync_seen;
        session.user_dropped = user_dropped;
        session.kernel_dropped = kernel_dropped;
        session.stalled = stalled;
        session.end = end == SOAK_END_RELEASE ? SOAK_END_RELEASE : SOAK_END_UNREGISTER;
        session.sync_dir = sync_dir;
        in_report = true;
        return 0;
    }
    if (!in_report)
        return -1;
    switch (tag) {
        case 'W':
            session.paths.push_back(rest);
            return 0;
        case 'X':
            session.excludes.push_back(rest);
            return 0;
        case 'P': {
            size_t space = rest.find(' ');
            if (space == std::string::npos)
                return -1;
            session.last_seen[rest.substr(space + 1)] = strtoll(rest.c_str(), nullptr, 10);
            return 0;
        }
        case 'Q':
            session.problems.push_back(rest);
            return 0;
        case 'E':
            in_report = false;
            return 1;
        default:
            return -1;
    }
}
