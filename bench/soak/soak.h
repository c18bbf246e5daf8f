// What the parts of the soak share: the clock, the layout of the scratch tree, the storm's
// record of every change it made, the report a client worker sends for each finished client
// session, and the check of one report against the storm's record.
//
// The soak runs inside the private root bench/soak/run.sh builds: the daemon, the storm writer
// and the client workers all see the same "/" (a tmpfs) and the scratch volume at SOAK_DIR.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

// The scratch volume, the storm's tree on it and the sentinel directories of the clients.
constexpr const char* SOAK_DIR = "/mnt/soak";
constexpr const char* SOAK_TREE = "/mnt/soak/t";
constexpr const char* SOAK_SYNC = "/mnt/soak/sync";

// The tree: SOAK_TREE/dN (SOAK_TOP_DIRS of them, so that "d1" is a name prefix of "d10" and
// "d11"), each with SOAK_SUB_DIRS subdirectories eM. The storm changes files (and empty
// directories) in all of these; the directories themselves stay.
constexpr int SOAK_TOP_DIRS = 12;
constexpr int SOAK_SUB_DIRS = 6;

// Monotonic microseconds, the same clock in every process of the soak.
int64_t soak_now_us();

// The directories of the tree, parents first (SOAK_TREE itself first).
std::vector<std::string> soak_tree_dirs();

// "/a/b/c" -> "/a/b"; "/a" -> "/".
std::string soak_parent(const std::string& path);

// path is prefix or lies below it (whole components).
bool soak_under(const std::string& path, const std::string& prefix);

// What the storm did to a path.
enum soak_change_kind : uint8_t {
    SOAK_CREATE,
    SOAK_MODIFY,
    SOAK_CHMOD,
    SOAK_RENAME_FROM,
    SOAK_RENAME_TO,
    SOAK_DELETE,
    SOAK_MKDIR,
    SOAK_RMDIR,
    SOAK_KIND_COUNT
};

const char* soak_kind_name(soak_change_kind kind);

// One change: the path (an index into soak_change_log::paths) and the clock before the first
// and after the last system call that made it.
struct soak_change {
    int64_t before_us;
    int64_t after_us;
    uint32_t path;
    soak_change_kind kind;
};

// Everything the storm did, in order of before_us (one writer thread). Paths come from a
// bounded set (names are reused), so they are interned once.
struct soak_change_log {
    std::mutex lock;
    std::deque<soak_change> changes;
    int64_t pruned_until_us = 0;  // changes before this were dropped from the front
    std::vector<std::string> paths;
    std::unordered_map<std::string, uint32_t> path_ids;
    uint64_t total = 0;
    uint64_t by_kind[SOAK_KIND_COUNT] = {};
    uint64_t bursts = 0;
    uint64_t failed_ops = 0;  // system calls of the storm that failed (a soak fault)
};

// The storm writer: pace in operations per second, bursts now and then. Runs until stop is
// set. Returns 0, or an errno value when the tree could not be changed at all.
struct soak_storm_options {
    double rate = 200;
    double burst_every_s = 20;  // mean time between bursts; 0: none
    int burst_ops = 300;
    uint64_t seed = 1;
};
int soak_storm_run(const soak_storm_options& options, soak_change_log* log,
                   const std::atomic<bool>* stop);

// Drops changes that ended before horizon_us from the front of the log.
void soak_prune(soak_change_log* log, int64_t horizon_us);

// How a client session ended.
enum soak_end_kind : uint8_t { SOAK_END_UNREGISTER, SOAK_END_RELEASE };

// The report of one finished client session, as a worker sends it.
struct soak_session {
    int worker = -1;
    int slot = -1;
    uint32_t number = 0;  // per slot
    pid_t pid = 0;
    bool file_level = false;
    bool mark_self = false;
    bool raw = false;  // raw registration (else the stream API)
    uint64_t latency_us = 0;
    std::vector<std::string> paths;  // the watched tree prefixes (the sentinel dir apart)
    std::vector<std::string> excludes;
    std::string sync_dir;
    int64_t registered_us = 0;  // after the registration call returned
    int64_t sync_us = 0;        // before the sentinel was made; 0: no sentinel
    int64_t end_us = 0;
    bool sync_seen = false;
    bool user_dropped = false;
    bool kernel_dropped = false;
    bool stalled = false;
    int64_t stall_ms = 0;
    soak_end_kind end = SOAK_END_UNREGISTER;
    uint64_t events = 0;   // change events received
    uint64_t notices = 0;  // dropped notices received
    uint64_t out_of_order = 0;
    // Faults the worker saw itself (misrouted events, wrong own flags, failed calls, a
    // sentinel that never came).
    std::vector<std::string> problems;
    // Per delivered path (trailing "/" of directory-level events removed): the last time an
    // event for it arrived. A change is covered when an event for its path arrived after it.
    std::unordered_map<std::string, int64_t> last_seen;
};

// The session kept up: it saw no dropped notice, so every change under its paths made while
// it was registered (and before its sentinel) must have reached it.
inline bool soak_kept_up(const soak_session& s) {
    return !s.user_dropped && !s.kernel_dropped && s.sync_seen;
}

// The result of checking one session.
struct soak_check_result {
    uint64_t expected = 0;  // (change, session) pairs that had to arrive
    uint64_t missing = 0;
    std::vector<std::string> messages;  // the first few missing changes, described
    bool beyond_log = false;            // the session reaches back before the log's pruned front
};

// Checks a kept-up session against the log. start_us: the soak's start, for readable times.
soak_check_result soak_check_session(const soak_session& s, soak_change_log* log, int64_t start_us);

// A worker process (this program started with "--worker"); see soak_worker.cpp.
int soak_worker_main(int argc, char** argv);

// The text form of a report on the worker pipe, and its parser (one line at a time; true
// once the report is complete).
std::string soak_session_text(const soak_session& s);
struct soak_session_parser {
    soak_session session;
    bool in_report = false;
    // Returns 1 when line completed a report (then in session), 0 when more is needed, -1 on
    // a malformed line.
    int feed(const std::string& line);
};
