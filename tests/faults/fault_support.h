// Helpers of the fault suite: a writer process that changes files without pause inside the
// daemon's scratch root (a storm), operations run inside the daemon's mount namespace (remounts
// and unmounts of its volumes), the current event id, a replay and the promises it keeps, the
// log files of a history directory, and what of a volume the daemon still holds open.
#pragma once

#include "tests/support/live_client.h"
#include "tests/support/test_daemon.h"

#include <gtest/gtest.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// How long a case waits for something the daemon owes it (a replay's end, a log line).
constexpr int FAULT_WAIT_MS = 30000;

// A process in the daemon's mount namespace that creates, writes, renames, changes the mode of
// and removes files in one directory as fast as it can, keeping at most a window of them, until
// it is stopped. Its names are "n<serial>" and, once renamed, "r<serial>". Stopped (SIGKILL and
// reaped) by storm_stop and the destructor.
struct storm_writer {
    pid_t pid = -1;
    std::atomic<uint64_t>* made = nullptr;  // files created so far, shared with the writer

    storm_writer() = default;
    storm_writer(const storm_writer&) = delete;
    storm_writer& operator=(const storm_writer&) = delete;
    ~storm_writer();
};

// Starts a storm in dir (a path as the daemon sees it, which must exist). A pause of pause_us
// after every FAULT_STORM_BURST changes slows it down (0: none). 0 or an errno value.
int storm_start(storm_writer* w, const test_daemon& d, const std::string& dir, int pause_us = 0);
void storm_stop(storm_writer* w);

// Stops the storm where it is (and waits until it has stopped) and lets it go on. 0 or errno.
int storm_pause(storm_writer* w);
int storm_resume(storm_writer* w);

// Files the storm has created so far (0 before it started).
uint64_t storm_made(const storm_writer& w);

// Waits up to timeout_ms until the storm has created `count` files; false on time-out.
bool storm_wait_made(const storm_writer& w, uint64_t count, int timeout_ms);

// True for a path the storm in dir makes: dir + "/n<digits>" or "/r<digits>".
bool storm_path(const std::string& dir, const std::string& path);

// Runs op in a child process that has entered the daemon's mount namespace (its root and
// working directory are then the scratch root's "/"). op must make system calls only. op's
// result, ECHILD when the child died, or an errno value of the set-up.
int in_daemon_namespace(const test_daemon& d, const std::function<int()>& op);

// The daemon's current event id; 0 or an error of the client library.
int current_event_id_of(const test_daemon& d, uint64_t* id);

// The daemon's answer for the history uuid of the volume dev (the 32-bit device number).
std::string volume_uuid_of(const test_daemon& d, uint32_t dev);

// What a replay delivered: the events before the history-done notice, and the notice.
struct replay_outcome {
    std::vector<live_event> replayed;
    bool done = false;
    uint64_t done_id = 0;
};

// Registers s on paths (file events) since the id and waits for the history-done notice.
::testing::AssertionResult replay_from(const test_daemon& d, live_stream* s,
                                       const std::vector<std::string>& paths, uint64_t since,
                                       replay_outcome* out);

// What a replay since `since` promises: every record newer than since and below below (the
// id counter of the daemon that replays), no id twice (every change has an id of its own),
// a path again only with a newer id (each log file holds a path once, files come in the order
// they were written, and a restarted daemon numbers above everything written), and the notice
// carrying the highest id replayed (since itself when there was none). path_ok vets each path.
::testing::AssertionResult replay_is_sound(const replay_outcome& r, uint64_t since, uint64_t below,
                                           const std::function<bool(const std::string&)>& path_ok);

// The highest id among events (0 when there is none).
uint64_t highest_id(const std::vector<live_event>& events);

// Makes count empty files dir/<prefix><i> (dir as this process reaches it). 0 or an errno value.
int make_files(const std::string& dir, const std::string& prefix, int count);

// The descriptors and thread working directories of pid that lie on the device dev, one per
// line; empty when there are none.
std::string held_on_device(pid_t pid, dev_t dev);

// The daemon's descriptor count at rest: once its start-up is over (it answers a request that
// waits for it) and nothing of this process is connected, the count that holds still for a
// while. -1 when the daemon does not answer.
int resting_fd_count(const test_daemon& d);

// The last `bytes` of the daemon's log, for failure messages.
std::string log_tail(const test_daemon& d, size_t bytes = 6000);


