// The event thread's process-wide state as seen by the rest of the daemon, and its entry point.
#pragma once

#include <atomic>
#include <cstdint>

// Set once the event machinery has started; the request side waits for it.
extern std::atomic<uint32_t> event_thread_ready;
// Set by a termination signal; never cleared. Every long-running loop reads it.
extern std::atomic<uint32_t> shutting_down;

// Runs the event thread; returns a non-zero errno value only when start-up fails.
int event_thread();

// pthread entry of the event thread: logs a failed start-up and ends the thread.
void* implementation_event_thread(void* arg);
