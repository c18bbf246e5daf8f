// The event thread's process-wide state as seen by the rest of the daemon, and its entry point.
#pragma once

#include "intake/event_flags.h"
#include "intake/events.h"

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

struct dev_info;
struct timeval;

// What the event thread calls in the layers above it (the clients, the histories, the state
// dump), filled by the daemon's start-up before the thread starts, so that the intake includes
// none of them.
struct event_thread_ops {
    void (*start_state_dump)();  // the watcher that dumps the state on SIGUSR1
    void (*reset_clients)();     // empty client and event tables, before anything is routed
    // Makes a logged volume's history state, for init_dev_info; always 0.
    int (*on_logged_volume)(dev_info* di, void* arg);
    bool (*history_ready)();            // the root volume's history state exists
    int (*start_internal_clients)();    // the disk logger; 0 or an errno value
    event_sink sink;                    // where decoded events go: the router
    event_table* table;                 // the router's table, handed to the sink
    void (*sweep)(event_table* table);  // frees released records, a little after each pass
    uint64_t (*latency_pass)(const timeval* now);  // wakes due clients; the next wait in µs
    void (*wake_internal_clients)();
    int32_t (*count_clients)();           // live clients, the internal ones included
    int32_t (*count_internal_clients)();  // live disk logger clients
    void (*close_histories)();            // the last flush of every history, at shutdown
};

// Runs the event thread: start-up, then the consumer loop until a termination signal, when it
// ends the process with status 0. Returns only when start-up fails: ENOMEM (no event
// buffers) or EINVAL (the kernel event device cannot be cloned).
int event_thread();

// pthread entry of the event thread: logs a failed start-up and ends the thread.
void* implementation_event_thread(void* arg);

// Opens the kernel event device and clones it into kernel_fd (open = 1), or closes the clone
// (open = 0). actions holds one action per event type. 0, or the errno value of the failed
// open or clone request (errno is set to it too).
int clone_kernel_device(int open, const int8_t* actions, int32_t num_types, int32_t queue_depth);

// Handler of SIGINT, SIGQUIT, SIGTERM and SIGHUP: sets shutting_down and closes kernel_fd,
// which ends the producer's blocked read. Async-signal-safe.
void shutdown_handler(int signo);
