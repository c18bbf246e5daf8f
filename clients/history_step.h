// The history step of a client that asked for events since an id: every eligible volume's
// log files from that id on, then the names the disk logger holds that are not on disk yet,
// then the history-done notice after which live events follow.
#pragma once

#include <cstdint>

struct client_info;
struct dev_info;

// Polls for the disk logger's start, and for its backlog to empty before the last file is read.
constexpr int HISTORY_LOGGER_START_POLLS = 10;
constexpr unsigned HISTORY_LOGGER_START_POLL_US = 250000;
constexpr int HISTORY_CATCH_UP_POLLS = 100;
constexpr unsigned HISTORY_CATCH_UP_POLL_US = 1000;
// Longest wait for the events queued in the kernel before the request to reach the backlogs.
constexpr int HISTORY_INTAKE_SYNC_MS = 250;
// Longest wait for the disk logger to file what was routed before the replay, and its poll.
constexpr int HISTORY_CATCH_UP_MS = 5000;
constexpr unsigned HISTORY_FILED_POLL_US = 100;

// Runs once on the client's first delivery thread. 0 or the last error (the caller ignores it).
int scan_for_old_events(client_info* fci);

// One volume of the history step (an iterate_devices callback). 0.
int scan_for_old_events_callback(dev_info* v, void* fci);

// Index of the file to start a replay from id at: the file named id, else the last one named
// below it, else 0. ids ascending, count > 0.
int32_t history_start_file(const uint64_t* ids, int32_t count, uint64_t id);
