// Helpers of the suites that watch a real daemon deliver events: sinks that collect a stream's
// batches and waits for an expected event; owning streams; the daemon's scratch root as this
// process reaches it; and the daemon's state dump.
//
// A negative check ("this never arrives") does not sleep: it waits for a later sentinel change
// the stream does get; events come in id order, so the unwanted one would have come first.
#pragma once

#include "tests/support/test_daemon.h"
#include "vantles/stream.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// Far beyond any latency the suites use: only a lost event runs into it.
constexpr int LIVE_EVENT_TIMEOUT_MS = 10000;
constexpr int LIVE_DUMP_TIMEOUT_MS = 10000;

// One received event, copied out of its batch.
struct live_event {
    uint64_t id = 0;
    uint32_t flags = 0;
    std::string path;
    int64_t received_ms = 0;  // live_now_ms() when its batch arrived
};

// Everything a stream received, in order of arrival; changed is notified after every batch.
struct live_sink {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<live_event> events;
};

using live_match = std::function<bool(const live_event&)>;

int64_t live_now_ms();

// The batch callback of a stream whose ctx is a live_sink.
void live_sink_collect(void* ctx, std::span<const vantles_event> events);

// A copy of what has arrived so far.
std::vector<live_event> live_sink_events(live_sink* sink);

// Waits for an event that matches (earlier ones count too); the first match in *out.
bool live_wait_event(live_sink* sink, const live_match& match, int timeout_ms,
                     live_event* out = nullptr);

// Matches an event with exactly this path (and, for the second, exactly these flags).
live_match live_path_is(const std::string& path);
live_match live_event_is(const std::string& path, uint32_t flags);

// "id flags path" lines of events, for failure messages.
std::string live_describe(const std::vector<live_event>& events);

// A stream delivering into its own sink on the library's thread; destroyed (unregistered) with it.
struct live_stream {
    vantles_stream* stream = nullptr;
    live_sink sink;

    live_stream() = default;
    live_stream(const live_stream&) = delete;
    live_stream& operator=(const live_stream&) = delete;
    ~live_stream();
};

// Options for a stream of the daemon d: its socket, paths, flags and latency; device 0.
vantles_stream_options live_options(const test_daemon& d, std::vector<std::string> paths,
                                    uint32_t create_flags = 0, uint64_t latency_us = 0);

// Creates (unless made before: options is then unused), registers and starts the library
// thread. 0, or the result of the call that failed (the stream is then left stopped).
int live_stream_start(live_stream* s, const vantles_stream_options& options);

// Stops the thread and unregisters; the sink keeps what arrived.
int live_stream_stop(live_stream* s);

// How this process reaches the daemon's path: "/proc/PID/root/tmp/x" for "/tmp/x".
std::string live_root_path(const test_daemon& d, const std::string& path);

// The daemon's 32-bit number of the device holding its path; 0 when it cannot be read.
uint32_t live_device_of(const test_daemon& d, const std::string& path);

// Changes in the daemon's scratch root (path as it sees it). 0 or an errno value.
int live_create_file(const test_daemon& d, const std::string& path);  // new, or truncated
int live_make_dir(const test_daemon& d, const std::string& path);     // existing is fine

// Returns once the daemon has routed every earlier change and the disk logger has filed them
// (a new ".sync-N" in dir reached a stream, then a nudge): streams registered afterwards see
// none of them. A state dump may count its stream a moment longer. 0, ETIMEDOUT or errno.
int live_sync(const test_daemon& d, const std::string& dir);

// Runs op (system calls only) in a forked child, so that its change comes from another
// process. op's result, or ECHILD when the child did not exit normally.
int live_in_child(const std::function<int()>& op);

// Clients the daemon counts of its own: the disk logger.
constexpr int LIVE_INTERNAL_CLIENTS = 1;

// Makes the disk logger take everything its ring holds (a replay pushes it first).
int live_nudge_disk_logger(const test_daemon& d);

// The daemon's view of its clients, from a state dump.
struct live_state {
    int num_clients = -1;
    int pending_events = -1;  // event records still held for clients
};

// Asks for a state dump (SIGUSR1) and reads the new one from the log. 0, ETIMEDOUT or errno.
int live_read_state(test_daemon* d, live_state* out, int timeout_ms = LIVE_DUMP_TIMEOUT_MS);

// Asks for dumps until one shows num_clients (the disk logger included) and, unless -1, that
// many held events (nudging the disk logger between dumps).
::testing::AssertionResult live_state_becomes(test_daemon* d, int num_clients, int pending_events,
                                              int timeout_ms);

// The log files (16 hex digits) in a history directory, ascending.
std::vector<std::string> log_files(const std::string& dir);

// A whole file as text (empty when unreadable).
std::string read_text(const std::string& path);
