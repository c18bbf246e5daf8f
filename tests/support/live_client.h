// Helpers of the suites that watch a real daemon deliver events: sinks that collect a stream's
// batches, waits for an expected event, owning streams, the daemon's scratch root as this
// process reaches it, and its state dumps. A negative check ("this never arrives") waits for a
// later sentinel change instead of sleeping: events come in id order.
#pragma once

#include "tests/support/test_daemon.h"
#include "vantles/stream.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// Far beyond any latency the suites use: only a lost event runs into them.
constexpr int LIVE_EVENT_TIMEOUT_MS = 10000, LIVE_DUMP_TIMEOUT_MS = 10000;

// One received event, copied out of its batch; received_ms: live_now_ms() at its batch.
struct live_event {
    uint64_t id = 0;
    uint32_t flags = 0;
    std::string path;
    int64_t received_ms = 0;
};

// Everything a stream received, in order of arrival; changed is notified after every batch.
struct live_sink {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<live_event> events;
};

using live_match = std::function<bool(const live_event&)>;

int64_t live_now_ms();
std::vector<live_event> live_sink_events(live_sink* sink);  // a copy of what has arrived

// Waits for an event that matches (earlier ones count too); the first match in *out.
bool live_wait_event(live_sink* sink, const live_match& match, int timeout_ms,
                     live_event* out = nullptr);

live_match live_path_is(const std::string& path);  // exactly this path

std::string live_describe(const std::vector<live_event>& events);  // "id flags path" lines
bool live_history_done(const live_event& e);                        // the end of a replay
bool live_dropped(const live_event& e);  // a dropped notice (the daemon's or the kernel's)

// A stream delivering into its own sink on the library's thread; destroyed (unregistered) with it.
struct live_stream {
    vantles_stream* stream = nullptr;
    live_sink sink;  // not copyable, nor then is the stream
    ~live_stream();
};

// Options for a stream of the daemon d: its socket, paths, flags and latency; device 0.
vantles_stream_options live_options(const test_daemon& d, std::vector<std::string> paths,
                                    uint32_t create_flags = 0, uint64_t latency_us = 0);

// Creates (unless made before), registers and starts the library thread; 0 or the failure.
int live_stream_start(live_stream* s, const vantles_stream_options& options);

int live_stream_stop(live_stream* s);  // stops the thread and unregisters; the sink stays

// Starts s replaying the daemon's paths (file events) since the id and waits for its
// history-done notice: 0, the registration's failure, or ETIMEDOUT.
int live_replay(const test_daemon& d, live_stream* s, std::vector<std::string> paths,
                uint64_t since, int timeout_ms = 30000);

// How this process reaches the daemon's path ("/proc/PID/root/tmp/x" for "/tmp/x"); the
// daemon's 32-bit number of the device holding it (0 when it cannot be read).
std::string live_root_path(const test_daemon& d, const std::string& path);
uint32_t live_device_of(const test_daemon& d, const std::string& path);

// Changes in the daemon's scratch root (path as it sees it). 0 or an errno value.
int live_create_file(const test_daemon& d, const std::string& path);  // new, or truncated
int live_make_dir(const test_daemon& d, const std::string& path);     // existing is fine

// Returns once the daemon has routed every earlier change and the disk logger has filed them (a
// sync of dir's volume, then a nudge). 0, ETIMEDOUT or errno.
int live_sync(const test_daemon& d, const std::string& dir);

constexpr int LIVE_INTERNAL_CLIENTS = 1;  // clients the daemon counts of its own: the disk logger
int live_nudge_disk_logger(const test_daemon& d);  // the disk logger takes all its ring holds

// Asks for state dumps (SIGUSR1) until one shows num_clients (the disk logger included) and,
// unless -1, that many held events (nudging the disk logger between dumps).
::testing::AssertionResult live_state_becomes(test_daemon* d, int num_clients, int pending_events,
                                              int timeout_ms);

std::vector<std::string> log_files(const std::string& dir);  // 16 hex digits each, ascending
std::string read_text(const std::string& path);              // a whole file (empty when unreadable)
