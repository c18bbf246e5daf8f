// Sinks, owning streams, scratch-root paths and state dumps (see live_client.h).
#include "tests/support/live_client.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

constexpr const char LIVE_DUMP_HEADER[] = "vantlesd internal state [num_clients: ";
constexpr const char LIVE_DUMP_PENDING[] = "pending events: ";
constexpr int LIVE_POLL_MS = 20;

size_t count_of(const std::string& text, const char* needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        count++;
    return count;
}

// The number after the last needle at or before limit; -1 when there is none.
int number_after_last(const std::string& text, const char* needle, size_t limit) {
    size_t at = text.rfind(needle, limit);
    if (at == std::string::npos)
        return -1;
    return atoi(text.c_str() + at + strlen(needle));
}

}  // namespace

int64_t live_now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

void live_sink_collect(void* ctx, std::span<const vantles_event> events) {
    auto* sink = static_cast<live_sink*>(ctx);
    int64_t now = live_now_ms();
    {
        std::lock_guard<std::mutex> guard(sink->lock);
        for (const vantles_event& e : events)
            sink->events.push_back({e.id, e.flags, e.path, now});
    }
    sink->changed.notify_all();
}

std::vector<live_event> live_sink_events(live_sink* sink) {
    std::lock_guard<std::mutex> guard(sink->lock);
    return sink->events;
}

bool live_wait_event(live_sink* sink, const live_match& match, int timeout_ms, live_event* out) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> guard(sink->lock);
    for (size_t seen = 0;;) {
        for (; seen < sink->events.size(); seen++) {
            if (match(sink->events[seen])) {
                if (out)
                    *out = sink->events[seen];
                return true;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        sink->changed.wait_until(guard, deadline);
    }
}

live_match live_path_is(const std::string& path) {
    return [path](const live_event& e) { return e.path == path; };
}

live_match live_event_is(const std::string& path, uint32_t flags) {
    return [path, flags](const live_event& e) { return e.path == path && e.flags == flags; };
}

std::string live_describe(const std::vector<live_event>& events) {
    std::string out;
    for (const live_event& e : events) {
        char names[512];
        vantles_format_flags(e.flags, "|", names, sizeof names);
        out += std::to_string(e.id) + " " + names + " " + e.path + "\n";
    }
    return out.empty() ? "(no events)\n" : out;
}

live_stream::~live_stream() {
    vantles_stream_destroy(stream);
}

vantles_stream_options live_options(const test_daemon& d, std::vector<std::string> paths,
                                    uint32_t create_flags, uint64_t latency_us) {
    vantles_stream_options options;
    options.socket_path = d.socket_path.c_str();
    options.paths = std::move(paths);
    options.create_flags = create_flags;
    options.latency_us = latency_us;
    return options;
}

int live_stream_start(live_stream* s, const vantles_stream_options& options) {
    if (s->stream == nullptr) {
        int err = vantles_stream_create(options, live_sink_collect, &s->sink, &s->stream);
        if (err != 0)
            return err;
    }
    int err = vantles_stream_start(s->stream);
    if (err != 0)
        return err;
    err = vantles_stream_start_thread(s->stream);
    if (err != 0)
        vantles_stream_stop(s->stream);
    return err;
}

int live_stream_stop(live_stream* s) {
    return s->stream ? vantles_stream_stop(s->stream) : 0;
}

std::string live_root_path(const test_daemon& d, const std::string& path) {
    return "/proc/" + std::to_string(d.pid) + "/root" + path;
}

uint32_t live_device_of(const test_daemon& d, const std::string& path) {
    struct stat st;
    if (stat(live_root_path(d, path).c_str(), &st) != 0)
        return 0;
    uint32_t ma = major(st.st_dev);
    uint32_t mi = minor(st.st_dev);
    return (ma << 8) | (mi & 0xff) | ((mi & ~0xffu) << 12);
}

int live_create_file(const test_daemon& d, const std::string& path) {
    int fd = open(live_root_path(d, path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    close(fd);
    return 0;
}

int live_make_dir(const test_daemon& d, const std::string& path) {
    if (mkdir(live_root_path(d, path).c_str(), 0755) != 0 && errno != EEXIST)
        return errno;
    return 0;
}

int live_sync(const test_daemon& d, const std::string& dir) {
    static std::atomic<int> serial{0};
    std::string path = dir + "/.sync-" + std::to_string(serial.fetch_add(1));
    live_stream watcher;
    int err = live_stream_start(&watcher, live_options(d, {dir}, VANTLES_FLAG_FILE_EVENTS));
    if (err == 0)
        err = live_create_file(d, path);
    if (err == 0 && !live_wait_event(&watcher.sink, live_path_is(path), LIVE_EVENT_TIMEOUT_MS))
        err = ETIMEDOUT;
    // Filed records take no later change of their path into them.
    if (err == 0)
        err = live_nudge_disk_logger(d);
    return err;
}

int live_in_child(const std::function<int()>& op) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return errno;
    if (pid == 0)
        _exit(op() & 0xff);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return errno;
    }
    if (!WIFEXITED(status))
        return ECHILD;
    return WEXITSTATUS(status);
}

int live_read_state(test_daemon* d, live_state* out, int timeout_ms) {
    size_t before = count_of(test_daemon_log(*d), LIVE_DUMP_PENDING);
    if (d->pid < 0)
        return ESRCH;
    if (kill(d->pid, SIGUSR1) != 0)
        return errno;
    int64_t deadline = live_now_ms() + timeout_ms;
    for (;;) {
        std::string log = test_daemon_log(*d);
        if (count_of(log, LIVE_DUMP_PENDING) > before) {
            size_t end = log.rfind(LIVE_DUMP_PENDING);
            out->num_clients = number_after_last(log, LIVE_DUMP_HEADER, end);
            out->pending_events = atoi(log.c_str() + end + strlen(LIVE_DUMP_PENDING));
            return out->num_clients >= 0 ? 0 : EPROTO;
        }
        if (live_now_ms() >= deadline)
            return ETIMEDOUT;
        std::this_thread::sleep_for(std::chrono::milliseconds(LIVE_POLL_MS));
    }
}

int live_nudge_disk_logger(const test_daemon& d) {
    live_stream nudge;
    vantles_stream_options options = live_options(d, {"/"});
    // Above every id: nothing replayed, but the disk logger is pushed first.
    options.since_when = VANTLES_EVENT_ID_NOW - 1;
    int err = live_stream_start(&nudge, options);
    if (err != 0)
        return err;
    bool done = live_wait_event(
        &nudge.sink,
        [](const live_event& e) { return (e.flags & VANTLES_EVENT_HISTORY_DONE) != 0; },
        LIVE_EVENT_TIMEOUT_MS);
    live_stream_stop(&nudge);
    return done ? 0 : ETIMEDOUT;
}

::testing::AssertionResult live_state_becomes(test_daemon* d, int num_clients, int pending_events,
                                              int timeout_ms) {
    int64_t deadline = live_now_ms() + timeout_ms;
    live_state state;
    for (;;) {
        int err = live_read_state(
            d, &state, std::max<int>(LIVE_DUMP_TIMEOUT_MS, int(deadline - live_now_ms())));
        if (err != 0)
            return ::testing::AssertionFailure() << "no state dump: " << strerror(err);
        if (state.num_clients == num_clients &&
            (pending_events < 0 || state.pending_events == pending_events))
            return ::testing::AssertionSuccess();
        if (pending_events >= 0 && state.pending_events != pending_events)
            live_nudge_disk_logger(*d);
        if (live_now_ms() >= deadline)
            return ::testing::AssertionFailure()
                   << "the last dump shows num_clients " << state.num_clients
                   << " and pending events " << state.pending_events << ", expected " << num_clients
                   << " and " << pending_events;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

std::vector<std::string> log_files(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() == 16 &&
                name.find_first_not_of("0123456789abcdef") == std::string::npos)
                names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
