// The event thread's process-wide state as seen by the rest of the daemon, and its entry point.
#pragma once

#include "intake/event_flags.h"

#include <cstdint>

// Kernel event types the daemon asks the device for, all reported.
constexpr int32_t EVENT_THREAD_NUM_TYPES = 13;
// Events the device may hold for the daemon's clone.
constexpr int32_t EVENT_THREAD_QUEUE_DEPTH = 8192;
// Precedence of the event thread: just below the producer.
constexpr int EVENT_THREAD_PRECEDENCE = 18;
// Consumer steps in a row before the loop goes back to its top.
constexpr int MAX_CONSUMER_STEPS = 101;
// First wait of the consumer, and the longest (a result of 0 from the latency pass, which
// means no client has anything queued, also waits this long), in microseconds.
constexpr uint64_t EVENT_THREAD_FIRST_WAIT_US = 9999;
constexpr uint64_t EVENT_THREAD_MAX_WAIT_US = 30000000;

// Runs the event thread: start-up, then the consumer loop until a termination signal, when it
// ends the process with status 0. Returns only when start-up fails: ENOMEM (no event
// buffers) or EINVAL (the kernel event device cannot be cloned).
int event_thread();

// pthread entry of the event thread: logs a failed start-up and ends the thread.
void* implementation_event_thread(void* arg);

// Opens the kernel event device and clones it into kernel_fd (open = 1), or closes the clone
// (open = 0). actions holds one action per event type. 0, or a negative value (open failed,
// errno set) or the clone request's error.
int clone_kernel_device(int open, const int8_t* actions, int32_t num_types, int32_t queue_depth);

// Handler of SIGINT, SIGQUIT, SIGTERM and SIGHUP: sets shutting_down and closes kernel_fd,
// which ends the producer's blocked read. Async-signal-safe.
void shutdown_handler(int signo);
