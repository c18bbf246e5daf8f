// Sinks, owning streams, scratch-root paths and state dumps (see live_client.h).
#include "tests/support/live_client.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>

int64_t live_now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

namespace {

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

}  // namespace

std::vector<live_event> live_sink_events(live_sink* sink) {
    std::lock_guard<std::mutex> guard(sink->lock);
    return sink->events;
}

bool live_wait_event(live_sink* sink, const live_match& match, int timeout_ms, live_event* out) {
    std::unique_lock<std::mutex> guard(sink->lock);
    size_t seen = 0;
    auto found = [&] {
        for (; seen < sink->events.size(); seen++)
            if (match(sink->events[seen]))
                return true;
        return false;
    };
    if (!sink->changed.wait_for(guard, std::chrono::milliseconds(timeout_ms), found))
        return false;
    if (out)
        *out = sink->events[seen];
    return true;
}

live_match live_path_is(const std::string& path) {
    return [path](const live_event& e) { return e.path == path; };
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

bool live_history_done(const live_event& e) {
    return e.flags & VANTLES_EVENT_HISTORY_DONE;
}

bool live_dropped(const live_event& e) {
    return e.flags & (VANTLES_EVENT_USER_DROPPED | VANTLES_EVENT_KERNEL_DROPPED);
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
    int err =
        s->stream ? 0 : vantles_stream_create(options, live_sink_collect, &s->sink, &s->stream);
    if (err == 0)
        err = vantles_stream_start(s->stream);
    if (err == 0 && (err = vantles_stream_start_thread(s->stream)) != 0)
        vantles_stream_stop(s->stream);
    return err;
}

int live_stream_stop(live_stream* s) {
    return s->stream ? vantles_stream_stop(s->stream) : 0;
}

int live_replay(const test_daemon& d, live_stream* s, std::vector<std::string> paths,
                uint64_t since, int timeout_ms) {
    vantles_stream_options options = live_options(d, std::move(paths), VANTLES_FLAG_FILE_EVENTS);
    options.since_when = since;
    int err = live_stream_start(s, options);
    return err ? err : live_wait_event(&s->sink, live_history_done, timeout_ms) ? 0 : ETIMEDOUT;
}

std::string live_root_path(const test_daemon& d, const std::string& path) {
    return "/proc/" + std::to_string(d.pid) + "/root" + path;
}

uint32_t live_device_of(const test_daemon& d, const std::string& path) {
    struct stat st;
    if (stat(live_root_path(d, path).c_str(), &st) != 0)
        return 0;
    uint32_t ma = major(st.st_dev), mi = minor(st.st_dev);
    return (ma << 8) | (mi & 0xff) | ((mi & ~0xffu) << 12);
}

int live_create_file(const test_daemon& d, const std::string& path) {
    int fd = open(live_root_path(d, path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd < 0 ? errno : close(fd);
}

int live_make_dir(const test_daemon& d, const std::string& path) {
    return mkdir(live_root_path(d, path).c_str(), 0755) != 0 && errno != EEXIST ? errno : 0;
}

int live_sync(const test_daemon& d, const std::string& dir) {
    // The daemon's own sync: every change made before it is routed once it answers. Then the
    // nudge: filed records take no later change of their path into them.
    vantles_connection conn;
    uint64_t id = 0;
    char uuid[VANTLES_UUID_TEXT_LENGTH + 1];
    int err = vantles_connect(d.socket_path.c_str(), &conn);
    err = err ? err : vantles_sync_volume(&conn, live_device_of(d, dir), &id, uuid);
    return err == 0 ? live_nudge_disk_logger(d) : err;
}

int live_nudge_disk_logger(const test_daemon& d) {
    live_stream nudge;
    vantles_connection conn;  // a replay of next to nothing, after a push
    uint64_t id = 0;
    int err = vantles_connect(d.socket_path.c_str(), &conn);
    err = err ? err : vantles_get_current_event_id(&conn, &id);
    return err ? err : live_replay(d, &nudge, {"/"}, id, LIVE_EVENT_TIMEOUT_MS);
}

::testing::AssertionResult live_state_becomes(test_daemon* d, int num_clients, int pending_events,
                                              int timeout_ms) {
    // A dump is "vantlesd internal state [num_clients: N ..." and later "pending events: M".
    const std::string header = "vantlesd internal state [num_clients: ",
                      pending = "pending events: ";
    int64_t deadline = live_now_ms() + timeout_ms;
    for (int clients = -1, held = -1;;) {
        // The log only grows: the new dump is the first one past its present end.
        size_t from = test_daemon_log(*d).size(), end = 0;
        std::string log;
        if (d->pid < 0 || kill(d->pid, SIGUSR1) != 0)
            return ::testing::AssertionFailure() << "the daemon is gone";
        if (!wait_until(
                [&] {
                    log = test_daemon_log(*d);
                    return (end = log.find(pending, from)) != std::string::npos;
                },
                std::max<int>(LIVE_DUMP_TIMEOUT_MS, int(deadline - live_now_ms()))))
            return ::testing::AssertionFailure() << "no state dump";
        size_t at = log.rfind(header, end);
        clients = at == std::string::npos ? -1 : atoi(log.c_str() + at + header.size());
        held = atoi(log.c_str() + end + pending.size());
        if (clients == num_clients && (pending_events < 0 || held == pending_events))
            return ::testing::AssertionSuccess();
        if (pending_events >= 0 && held != pending_events)
            live_nudge_disk_logger(*d);
        if (live_now_ms() >= deadline)
            return ::testing::AssertionFailure()
                   << "the last dump shows num_clients " << clients << " and pending events "
                   << held << ", expected " << num_clients << " and " << pending_events;
        usleep(100000);
    }
}

std::vector<std::string> log_files(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        std::string name = entry.path().filename().string();
        if (name.size() == 16 && name.find_first_not_of("0123456789abcdef") == std::string::npos)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
