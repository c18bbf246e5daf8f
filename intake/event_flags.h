// The daemon's start-up and shutdown flags, and the wait for start-up. A header of their own,
// low in the tree, so that every layer can read them without the event machinery.
#pragma once

#include <atomic>
#include <cstdint>

// Written once each, read by every long-running loop of every thread.
struct lifecycle_flags {
    // Set once the event machinery has started; the request side waits for it.
    std::atomic<uint32_t> event_thread_ready{0};
    // Set by a termination signal; never cleared.
    std::atomic<uint32_t> shutting_down{0};
    // Set at shutdown once every event the daemon read has been routed; the disk logger files
    // what it holds and ends after it.
    std::atomic<uint32_t> intake_finished{0};
};
extern lifecycle_flags lifecycle;

// Waits up to 40 x 250 ms for the event thread; true when it is ready and not shutting down.
bool wait_for_startup();
