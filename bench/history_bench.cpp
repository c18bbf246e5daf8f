// History benchmarks: the real daemon (real fanotify source) in the scratch root of
// bench/live_delivery.sh, writing and replaying the root volume's history in "/.vantlesd".
//
//   size    recreates a real tree of paths (the name list, one relative path a line, "/" at
//           the end of a directory) as empty files and directories under --dir while the
//           daemon runs, then appends a line to every --every'th file, the same files in each
//           of --rounds rounds (a path changed again before its flush makes one record);
//           stops the daemon with SIGTERM (its last flush) and reads the log files back.
//           Reports the events a client on "/" received, the ids the daemon assigned, the
//           records written (one per distinct path per flush), the bytes of the log files,
//           and bytes per event and per record (target <= 12 bytes per event).
//   replay  before the daemon starts, writes a history of --events records (distinct paths
//           made from the name list, ascending ids, 5000 per log file as the disk logger's
//           flushes make them) with the daemon's own buffer code, and a fresh uuid file;
//           starts the daemon (which resumes its ids above the history), registers a client
//           on "/" (file level, since_when 0) and times it from registration to the
//           history-done event. Reports events, seconds, events/s (target >= 500,000) and the
//           daemon's CPU.
//
// Run: sudo bench/live_delivery.sh history-size|history-replay [options]. Options: --daemon
// PATH (default /bin/vantlesd), --names FILE (default /tmp/history-names, which the script
// writes), --show-log; size: --dir DIR (default /tree), --rounds N (default 3), --every K
// (default 4); replay: --events N (default 1000000), --latency-ms L (the client's, default
// 100; the replay itself is not held back by it).
#include "bench/bench_clock.h"
#include "bench/history_files.h"
#include "bench/live_harness.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr const char* HB_SOCKET = "/tmp/vantlesd.sock";
constexpr const char* HB_LOG = "/tmp/vantlesd.err";
constexpr const char* HB_LOG_DIR = "/.vantlesd";
constexpr double HB_QUIET_SECONDS = 1.0;  // no new id nor event this long: the changes are in
constexpr double HB_SETTLE_CAP_SECONDS = 60.0;
constexpr double HB_REPLAY_CAP_SECONDS = 120.0;
constexpr size_t HB_FLUSH_NAMES = 5000;  // names per flush of the disk logger
constexpr uint64_t HB_FIRST_ID = 1000;
constexpr uint64_t HB_ID_STEP = 2;            // the daemon's ids per file change
constexpr uint32_t HB_FILE_FLAGS = 0x800011;  // created, modified, file
constexpr uint32_t HB_DIR_FLAGS = 0x1000080;  // directory created, directory

struct options {
    std::string mode;
    std::string daemon = "/bin/vantlesd";
    std::string names = "/tmp/history-names";
    std::string dir = "/tree";
    int rounds = 3;
    int every = 4;
    size_t events = 1000000;
    uint64_t latency_us = 100000;
    bool show_log = false;
};

bool parse_options(int argc, char** argv, options* o) {
    if (argc < 2)
        return false;
    o->mode = argv[1];
    for (int i = 2; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--show-log") {
            o->show_log = true;
            continue;
        }
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!v)
            return false;
        if (a == "--daemon")
            o->daemon = v;
        else if (a == "--names")
            o->names = v;
        else if (a == "--dir")
            o->dir = v;
        else if (a == "--rounds")
            o->rounds = atoi(v);
        else if (a == "--every")
            o->every = std::max(1, atoi(v));
        else if (a == "--events")
            o->events = strtoull(v, nullptr, 10);
        else if (a == "--latency-ms")
            o->latency_us = uint64_t(atof(v) * 1000);
        else
            return false;
        i++;
    }
    return o->mode == "size" || o->mode == "replay";
}

// The name list: relative paths, parents before children, directories ending in "/".
bool read_names(const std::string& file, std::vector<std::string>* names) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && line[0] == '/')
            line.erase(0, 1);
        if (!line.empty())
            names->push_back(line);
    }
    if (names->empty()) {
        fprintf(stderr, "history: no names in %s\n", file.c_str());
        return false;
    }
    return true;
}

bool is_dir_name(const std::string& n) {
    return n.back() == '/';
}

bool start_daemon(const options& o, live_daemon* d) {
    d->binary = o.daemon;
    d->socket = HB_SOCKET;
    d->log = HB_LOG;
    return live_daemon_start(d) == 0;
}

void stop_daemon(const options& o, live_daemon* d) {
    live_daemon_stop(d);
    if (o.show_log)
        printf("---- daemon log ----\n%s---- end of log ----\n", live_daemon_log(*d).c_str());
}

// Waits until neither the current id nor the client's count moved for HB_QUIET_SECONDS.
uint64_t settle(const live_daemon& d, const stream_counter& c) {
    double start = now_seconds(), quiet_since = start;
    uint64_t id = live_current_event_id(d), events = c.events.load();
    while (now_seconds() - quiet_since < HB_QUIET_SECONDS &&
           now_seconds() - start < HB_SETTLE_CAP_SECONDS) {
        sleep_seconds(0.1);
        uint64_t now_id = live_current_event_id(d), now_events = c.events.load();
        if (now_id != id || now_events != events) {
            id = now_id;
            events = now_events;
            quiet_since = now_seconds();
        }
    }
    return id;
}

// Makes the missing parents of path (below base, which exists); known holds the ones made.
void make_parents(const std::string& path, size_t base, std::set<std::string>* known) {
    for (size_t at = path.find('/', base + 1); at != std::string::npos;
         at = path.find('/', at + 1)) {
        std::string parent = path.substr(0, at);
        if (known->insert(parent).second)
            mkdir(parent.c_str(), 0755);
    }
}

bool append_line(const std::string& path, int round) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0)
        return false;
    char line[32];
    int n = snprintf(line, sizeof line, "round %d\n", round);
    bool ok = write(fd, line, size_t(n)) == n;
    close(fd);
    return ok;
}

int run_size(const options& o) {
    std::vector<std::string> names;
    if (!read_names(o.names, &names))
        return 1;
    remove_log_dir(HB_LOG_DIR);
    if (mkdir(o.dir.c_str(), 0755) != 0 && errno != EEXIST) {
        perror(o.dir.c_str());
        return 1;
    }
    live_daemon d;
    if (!start_daemon(o, &d))
        return 1;
    stream_counter c;
    vantles_stream* st =
        open_stream(d, {"/"}, o.latency_us, VANTLES_FLAG_FILE_EVENTS, count_batch, &c);
    if (!st || vantles_stream_start_thread(st) != 0) {
        vantles_stream_destroy(st);
        live_daemon_stop(&d);
        return 1;
    }
    uint64_t first_id = live_current_event_id(d);
    double cpu0 = proc_cpu_seconds(d.pid), t0 = now_seconds();

    size_t dirs = 0, files = 0, failed = 0, modifications = 0;
    std::vector<std::string> file_paths;
    std::set<std::string> made;
    for (const std::string& n : names) {
        std::string p = o.dir + "/" + n;
        make_parents(p, o.dir.size(), &made);
        if (is_dir_name(n)) {
            p.pop_back();
            if (mkdir(p.c_str(), 0755) == 0 || errno == EEXIST)
                dirs++;
            else
                failed++;
            continue;
        }
        int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            failed++;
            continue;
        }
        close(fd);
        files++;
        file_paths.push_back(p);
    }
    for (int r = 0; r < o.rounds; r++) {
        for (size_t i = 0; i < file_paths.size(); i += size_t(o.every))
            modifications += append_line(file_paths[i], r);
    }
    double changed_s = now_seconds() - t0;
    uint64_t last_id = settle(d, c);
    double cpu1 = proc_cpu_seconds(d.pid);
    vantles_stream_destroy(st);
    stop_daemon(o, &d);
    std::string log = live_daemon_log(d);

    history_figures h;
    h.range_from = first_id;
    h.range_to = last_id;
    int err = read_history(HB_LOG_DIR, &h);
    if (err != 0) {
        fprintf(stderr, "history: cannot read %s: %s\n", HB_LOG_DIR, strerror(err));
        return 1;
    }
    // Every change made is one event (a name created, a write appended). The client's count
    // is the daemon's own word for it, but only when the client lost none.
    uint64_t received = c.events.load();
    uint64_t changes = names.size() + modifications;
    bool client_whole = c.user_dropped.load() == 0 && c.kernel_dropped.load() == 0;
    uint64_t events = client_whole ? received : changes;
    uint64_t ids = last_id - first_id;
    printf(
        "history_size: %zu names (%zu directories, %zu files, %zu failed) recreated under %s, "
        "then %d rounds appending to every %d. file (%zu writes) in %.2f s; one client on "
        "\"/\", file level\n",
        names.size(), dirs, files, failed, o.dir.c_str(), o.rounds, o.every, modifications,
        changed_s);
    printf(
        "history_events %llu (%s); changes made %llu, events received by the client %llu "
        "(events-dropped notices %llu, kernel-dropped %llu)\n",
        (unsigned long long)events,
        client_whole ? "as the client received them" : "the changes made: the client lost some",
        (unsigned long long)changes, (unsigned long long)received,
        (unsigned long long)c.user_dropped.load(), (unsigned long long)c.kernel_dropped.load());
    printf("history_event_ids_assigned %llu (ids %llu to %llu)\n", (unsigned long long)ids,
           (unsigned long long)first_id, (unsigned long long)last_id);
    printf("history_log_files %d, bytes %llu (uuid file %llu bytes more)\n", h.files,
           (unsigned long long)h.log_bytes, (unsigned long long)h.uuid_bytes);
    printf(
        "history_records %llu (of them with ids of this run %llu), buffers %llu, bad %llu, "
        "uncompressed bytes %llu (%.1f per record)\n",
        (unsigned long long)h.records, (unsigned long long)h.records_in_range,
        (unsigned long long)h.buffers, (unsigned long long)h.bad_buffers,
        (unsigned long long)h.uncompressed, h.records ? double(h.uncompressed) / h.records : 0);
    printf("history_bytes_per_event %.2f (per assigned id %.2f; target <= 12)\n",
           events ? double(h.log_bytes) / double(events) : 0,
           ids ? double(h.log_bytes) / double(ids) : 0);
    printf("history_bytes_per_record %.2f; compression %.1fx\n",
           h.records ? double(h.log_bytes) / double(h.records) : 0,
           h.log_bytes ? double(h.uncompressed) / double(h.log_bytes) : 0);
    // A gap leaves records out, and the figures above would flatter the format.
    size_t gaps = count_occurrences(log, HISTORY_GAP_MESSAGE);
    printf("history_gap_messages %zu%s\n", gaps,
           gaps ? " (the disk logger lost events: the figures are too low)" : "");
    printf("history_daemon_cpu_seconds %.2f (changes and settling, %.2f s)\n", cpu1 - cpu0,
           now_seconds() - t0);
    printf("history_load %s\n", load_average().c_str());
    bool ok = h.bad_buffers == 0 && h.records > 0 && failed == 0 && gaps == 0;
    printf("history_size_result %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}

// Counters of the replaying client; its callback runs on the stream's thread.
struct replay_counter {
    uint64_t highest_logged = 0;  // ids up to this one come from the history
    std::atomic<uint64_t> history_events{0};
    std::atomic<uint64_t> live_events{0};
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint64_t> duplicates{0};  // a logged id delivered twice
    std::atomic<uint64_t> after_done{0};  // history events after the history-done notice
    std::atomic<double> done_at{0};
    // One flag per logged id (the ids are HB_FIRST_ID + HB_ID_STEP * k). A log file holds its
    // records in path order, so ids are not checked for order, only for being whole.
    std::vector<uint8_t> seen;
};

void replay_batch(void* ctx, std::span<const vantles_event> events) {
    auto* c = static_cast<replay_counter*>(ctx);
    uint64_t history = 0;
    for (const vantles_event& e : events) {
        if (e.flags & VANTLES_EVENT_HISTORY_DONE) {
            c->done_at.store(now_seconds());
            continue;
        }
        if (e.flags & (VANTLES_EVENT_USER_DROPPED | VANTLES_EVENT_KERNEL_DROPPED)) {
            c->dropped.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        if (e.id <= c->highest_logged) {
            history++;
            uint64_t k = (e.id - HB_FIRST_ID) / HB_ID_STEP;
            if (e.id >= HB_FIRST_ID && k < c->seen.size() && c->seen[k]++ != 0)
                c->duplicates.fetch_add(1, std::memory_order_relaxed);
            if (c->done_at.load(std::memory_order_relaxed) > 0)
                c->after_done.fetch_add(1, std::memory_order_relaxed);
        } else {
            c->live_events.fetch_add(1, std::memory_order_relaxed);
        }
    }
    c->history_events.fetch_add(history, std::memory_order_relaxed);
}

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int run_replay(const options& o) {
    std::vector<std::string> names;
    if (!read_names(o.names, &names))
        return 1;
    remove_log_dir(HB_LOG_DIR);
    if (mkdir(HB_LOG_DIR, 0700) != 0) {
        perror(HB_LOG_DIR);
        return 1;
    }
    // Record k: "home/uNN/<name>" for name k % names, NN = k / names; so every path is
    // distinct and the list repeats under new homes until there are enough.
    double g0 = now_seconds();
    std::vector<history_record> flush;
    flush.reserve(HB_FLUSH_NAMES);
    uint64_t highest = 0, path_bytes = 0;
    int files = 0;
    for (size_t k = 0; k < o.events; k++) {
        const std::string& n = names[k % names.size()];
        char home[32];
        snprintf(home, sizeof home, "home/u%02zu/", k / names.size());
        history_record r{home + n, HB_FIRST_ID + HB_ID_STEP * k,
                         is_dir_name(n) ? HB_DIR_FLAGS : HB_FILE_FLAGS};
        if (is_dir_name(n))
            r.path.pop_back();
        path_bytes += r.path.size() + 1;
        highest = r.id;
        flush.push_back(std::move(r));
        if (flush.size() == HB_FLUSH_NAMES || k + 1 == o.events) {
            int err = write_history_file(HB_LOG_DIR, &flush);
            if (err != 0) {
                fprintf(stderr, "history: writing a log file: %s\n", strerror(err));
                return 1;
            }
            files++;
            flush.clear();
        }
    }
    double generated_s = now_seconds() - g0;
    // The uuid file last: a fresh stamp is what tells the daemon the history is in step.
    std::string uuid;
    if (write_uuid_file(HB_LOG_DIR, &uuid) != 0) {
        fprintf(stderr, "history: cannot write the uuid file\n");
        return 1;
    }
    history_figures h;
    read_history(HB_LOG_DIR, &h);
    printf(
        "history_replay: %zu records generated in %d log files (%llu bytes, %.1f per record; "
        "average path %.1f bytes) in %.2f s, ids %llu to %llu\n",
        o.events, files, (unsigned long long)h.log_bytes,
        o.events ? double(h.log_bytes) / double(o.events) : 0,
        o.events ? double(path_bytes) / double(o.events) - 1 : 0, generated_s,
        (unsigned long long)HB_FIRST_ID, (unsigned long long)highest);

    live_daemon d;
    if (!start_daemon(o, &d))
        return 1;
    uint64_t start_id = live_current_event_id(d);
    bool same_uuid = read_text(std::string(HB_LOG_DIR) + "/vantlesd-uuid") == uuid;
    printf(
        "replay_history_accepted %s (uuid kept: %s; the daemon's id at start %llu, %s the "
        "history's highest %llu)\n",
        same_uuid && start_id > highest ? "yes" : "NO", same_uuid ? "yes" : "no",
        (unsigned long long)start_id, start_id > highest ? "above" : "NOT ABOVE",
        (unsigned long long)highest);

    replay_counter c;
    c.highest_logged = highest;
    c.seen.assign(o.events, 0);
    vantles_stream_options so;
    so.socket_path = d.socket.c_str();
    so.paths = {"/"};
    so.latency_us = o.latency_us;
    so.create_flags = VANTLES_FLAG_FILE_EVENTS;
    so.since_when = 0;
    vantles_stream* st = nullptr;
    int err = vantles_stream_create(so, replay_batch, &c, &st);
    double cpu0 = proc_cpu_seconds(d.pid), own0 = proc_cpu_seconds(getpid());
    double t0 = now_seconds();
    if (err == 0)
        err = vantles_stream_start(st);
    if (err == 0)
        err = vantles_stream_start_thread(st);
    if (err != 0) {
        fprintf(stderr, "history: the replaying stream: error %d\n", err);
        vantles_stream_destroy(st);
        live_daemon_stop(&d);
        return 1;
    }
    while (c.done_at.load() == 0 && now_seconds() - t0 < HB_REPLAY_CAP_SECONDS &&
           vantles_stream_thread_result(st) == 0)
        sleep_seconds(0.001);
    double done = c.done_at.load();
    double cpu1 = proc_cpu_seconds(d.pid), own1 = proc_cpu_seconds(getpid());
    uint64_t got = c.history_events.load();
    double seconds = done > 0 ? done - t0 : -1;
    sleep_seconds(0.2);  // anything the history step would still send after its notice
    vantles_stream_destroy(st);
    std::string log = live_daemon_log(d);
    stop_daemon(o, &d);

    printf("replay_events %llu of %zu before the history-done event%s\n", (unsigned long long)got,
           o.events, done > 0 ? "" : " (NO HISTORY-DONE EVENT)");
    printf("replay_seconds %.3f (registration to history-done)\n", seconds);
    printf("replay_events_per_second %.0f (target >= 500000)\n",
           seconds > 0 ? double(got) / seconds : 0);
    printf("replay_daemon_cpu_seconds %.2f (%.0f%% of one core); own_cpu_seconds %.2f\n",
           cpu1 - cpu0, seconds > 0 ? 100 * (cpu1 - cpu0) / seconds : 0, own1 - own0);
    size_t missing = size_t(std::count(c.seen.begin(), c.seen.end(), 0));
    printf("replay_ids_missing %zu, duplicated %llu\n", missing,
           (unsigned long long)c.duplicates.load());
    printf("replay_notices_dropped %llu, history events after done %llu, live events %llu\n",
           (unsigned long long)c.dropped.load(), (unsigned long long)c.after_done.load(),
           (unsigned long long)c.live_events.load());
    printf("replay_daemon_log_lines_about_old_logs %zu\n",
           count_occurrences(log, "old log files") + count_occurrences(log, "destroying old logs"));
    printf("replay_load %s\n", load_average().c_str());
    bool ok = done > 0 && got == o.events && missing == 0 && c.duplicates.load() == 0 &&
              c.dropped.load() == 0 && same_uuid && start_id > highest;
    printf("replay_result %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    options o;
    if (!parse_options(argc, argv, &o)) {
        fprintf(stderr,
                "usage: history_bench size|replay [--daemon PATH] [--names FILE] [--show-log] "
                "[--dir DIR] [--rounds N] [--every K] [--events N] [--latency-ms L]\n");
        return 2;
    }
    return o.mode == "size" ? run_size(o) : run_replay(o);
}
