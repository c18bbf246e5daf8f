// The daemon's start-up and shutdown flags, and the wait for start-up. A header of their own,
// low in the tree, so that every layer can read them without the event machinery.
#pragma once

#include <atomic>
#include <cstdint>

// Set once the event machinery has started; the request side waits for it.
extern std::atomic<uint32_t> event_thread_ready;
// Set by a termination signal; never cleared. Every long-running loop reads it.
extern std::atomic<uint32_t> shutting_down;
// Set at shutdown once every event the daemon read has been routed; the disk logger files
// what it holds and ends after it.
extern std::atomic<uint32_t> intake_finished;

// Waits up to 40 x 250 ms for the event thread; true when it is ready and not shutting down.
bool wait_for_startup();
