// The event thread: start-up of the intake side, the consumer loop and the shutdown.
//
// Start-up order matters: the tables the router and the request side read are ready before
// the kernel device is cloned, and event_thread_ready is published only once the producer
// runs, so a request that waited for start-up finds the whole machinery in place. The
// consumer never holds buffer_lock while decoding; it waits on buffer_cond with a deadline
// from the clients' latencies, so a client whose latency has run out is woken even when no
// new records arrive.
#include "intake/event_thread.h"

#include "common/crc.h"
#include "common/deadline.h"
#include "common/log.h"
#include "common/monotonic_clock.h"
#include "common/thread_role.h"
#include "intake/decode.h"
#include "intake/event_ids.h"
#include "intake/event_table.h"
#include "intake/producer.h"
#include "platform/kernel_device.h"
#include "platform/kernel_records.h"
#include "platform/service_manager.h"
#include "platform/thread_priority.h"
#include "volumes/dev_info.h"

#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

event_thread_ops event_thread_upcalls{};

namespace {

constexpr unsigned EVENT_THREAD_PARK_SECONDS = 86400;
constexpr useconds_t EVENT_THREAD_SHUTDOWN_POLL_US = 50000;
// How often the service manager hears the current event id and the number of clients.
constexpr int64_t EVENT_THREAD_STATUS_SECONDS = 5;

pthread_t producer_thread;

// The consumer's role: decoding, the event table, routing and the latency pass belong to the
// thread that holds it. The event thread holds it except while it waits for records; the
// producer takes it, without waiting, for a read that comes after a quiet spell
// (consume_on_producer), so that such an event is routed without a wake-up of the event
// thread: on a machine whose other processors sleep, that wake-up costs tens of microseconds.
// Taken before buffer_lock, never while holding it.
pthread_mutex_t consumer_role = PTHREAD_MUTEX_INITIALIZER;

// Set when the producer has decoded in the event thread's stead: the event thread's wait then
// needs a latency pass of its own.
std::atomic<bool> consumed_on_producer{false};
// When the event thread's wait ends at the latest (monotonic µs), written before it lets go of
// consumer_role: a pass the producer finds due no sooner needs no wake-up of the event thread,
// which would compete for a processor with the client just woken.
std::atomic<uint64_t> consumer_wakes_at{0};

// Lets clients whose latency ran out have their events and drops released ones from the
// table. Returns the next wait.
uint64_t after_step() {
    timeval now;
    gettimeofday(&now, nullptr);
    static int64_t status_sent = 0;
    if (now.tv_sec - status_sent >= EVENT_THREAD_STATUS_SECONDS) {
        status_sent = now.tv_sec;
        service_notify_status(current_event_id(), event_thread_upcalls.count_clients());
    }
    uint64_t timeout = event_thread_upcalls.latency_pass(&now);
    sweep_event_table(&intake_event_table);
    return timeout;
}

[[noreturn]] void shutdown_sequence() {
    service_notify_stopping();
    pthread_join(producer_thread, nullptr);
    // Every event read has been routed: the disk logger files what it holds and ends.
    intake_finished.store(1);
    event_thread_upcalls.wake_internal_clients();
    while (event_thread_upcalls.count_internal_clients() != 0)
        usleep(EVENT_THREAD_SHUTDOWN_POLL_US);
    event_thread_upcalls.close_histories();
    exit(0);
}

// Decodes from buf on, with a latency pass after each step, until nothing is left to decode or
// MAX_CONSUMER_STEPS steps were made. Returns the last pass's wait (timeout when no step was
// made) and leaves in *left the buffer that still holds records, if any.
uint64_t run_steps(event_buffer* buf, uint64_t timeout, event_buffer** left) {
    for (int steps = 0; buf; steps++) {
        if (steps == MAX_CONSUMER_STEPS) {
            log_critical("vantle consumer: spinning too much?!\n");
            break;
        }
        consumer_step(buf, &intake_event_table, event_thread_upcalls.sink);
        timeout = after_step();
        buf = consumer_next_work(buf);
    }
    *left = buf;
    return timeout;
}

// On the producer, after a read that came after a quiet spell: if the event thread is waiting
// (consumer_role free), decodes and routes what was read right here. False when it did not,
// or when the event thread still has to hear of it (a client's events are not due yet, or
// records are left): the producer then signals buffer_cond as after any read.
bool consume_on_producer() {
    if (shutting_down.load())
        return false;
    if (pthread_mutex_trylock(&consumer_role) != 0)
        return false;
    thread_role_set(THREAD_ROLE_EVENT);
    pthread_mutex_lock(&buffer_lock);
    event_buffer* buf = consumer_find_work();
    pthread_mutex_unlock(&buffer_lock);
    uint64_t due = run_steps(buf, 0, &buf);
    bool settled = !buf && (due == 0 || monotonic_us() + due >= consumer_wakes_at.load());
    if (!settled)
        consumed_on_producer.store(true);
    thread_role_set(THREAD_ROLE_PRODUCER);
    pthread_mutex_unlock(&consumer_role);
    return settled;
}

[[noreturn]] void consumer_loop() {
    uint64_t timeout = EVENT_THREAD_FIRST_WAIT_US;
    pthread_mutex_lock(&consumer_role);
    producer_consume.store(consume_on_producer);
    for (;;) {
        pthread_mutex_lock(&buffer_lock);
        event_buffer* buf = consumer_find_work();
        while (!buf) {
            // After a termination signal the producer still hands over what the device had
            // taken from the kernel; the process ends once all of it is decoded.
            if (shutting_down.load() && producer_finished.load()) {
                pthread_mutex_unlock(&buffer_lock);
                shutdown_sequence();
            }
            uint64_t wait_us = shutting_down.load() ? 1000 : timeout;
            if (wait_us == 0 || wait_us > EVENT_THREAD_MAX_WAIT_US)
                wait_us = EVENT_THREAD_MAX_WAIT_US;
            timespec deadline = deadline_after_us(wait_us);
            consumer_wakes_at.store(monotonic_us() + wait_us);
            pthread_mutex_unlock(&consumer_role);
            int rc = pthread_cond_timedwait(&buffer_cond, &buffer_lock, &deadline);
            pthread_mutex_unlock(&buffer_lock);
            pthread_mutex_lock(&consumer_role);
            if (rc == ETIMEDOUT || consumed_on_producer.exchange(false))
                timeout = after_step();
            pthread_mutex_lock(&buffer_lock);
            buf = consumer_find_work();
        }
        pthread_mutex_unlock(&buffer_lock);
        timeout = run_steps(buf, timeout, &buf);
    }
}

}  // namespace

int clone_kernel_device(int open, const int8_t* actions, int32_t num_types, int32_t queue_depth) {
    if (!open) {
        int fd = kernel_fd.exchange(-1);
        return fd >= 0 ? kernel_device_close(fd) : 0;
    }
    int dev_fd = -1;
    int err = kernel_device_open(&dev_fd);
    if (err) {
        errno = err;
        return err;
    }
    int32_t clone_fd = -1;
    krec_clone_args args = {actions, num_types, queue_depth, &clone_fd};
    err = kernel_device_ioctl(dev_fd, KREC_IOC_CLONE, &args);
    if (err) {
        log_critical("/dev/vantles clone failed! (%s)", strerror(err));
        kernel_device_close(dev_fd);
        errno = err;
        return err;
    }
    kernel_fd.store(clone_fd);
    kernel_device_close(dev_fd);
    return 0;
}

void shutdown_handler(int) {
    // Sequentially consistent store: the flag is visible before the descriptor goes.
    shutting_down.store(1);
    int fd = kernel_fd.exchange(-1);
    if (fd >= 0)
        kernel_device_close(fd);
}

int event_thread() {
    thread_role_set(THREAD_ROLE_EVENT);
    // SIGUSR1 is blocked in every thread (main blocks it before starting any); the dump
    // runs on a watcher thread of its own.
    for (int signo : {SIGINT, SIGQUIT, SIGTERM, SIGHUP})
        signal(signo, shutdown_handler);
    event_thread_upcalls.start_state_dump();

    crc_table_init();

    event_buffer* head = alloc_event_buffers(EVENT_BUFFER_INITIAL_COUNT, EVENT_BUFFER_SIZE);
    if (!head) {
        log_critical("failed to initialize vantle buffers.");
        return ENOMEM;
    }
    event_buffers_init(head);

    event_table_init(&intake_event_table, EVENT_TABLE_INITIAL_BUCKETS);
    event_thread_upcalls.reset_clients();

    init_dev_info(event_thread_upcalls.on_logged_volume);
    if (!event_thread_upcalls.history_ready()) {
        // Without the root volume's log state there is nowhere to send events; requests that
        // wait for start-up fail theirs.
        log_critical("No global disk logger state?!");
        for (;;)
            sleep(EVENT_THREAD_PARK_SECONDS);
    }

    int8_t actions[EVENT_THREAD_NUM_TYPES];
    memset(actions, KREC_ACTION_REPORT, sizeof actions);
    if (clone_kernel_device(1, actions, EVENT_THREAD_NUM_TYPES, EVENT_THREAD_QUEUE_DEPTH) != 0) {
        log_critical("Could not access /dev/vantles. (%s)", strerror(errno));
        return EINVAL;
    }
    kernel_device_ioctl(kernel_fd.load(), KREC_IOC_COMPACT, nullptr);
    if (kernel_device_ioctl(kernel_fd.load(), KREC_IOC_EXTENDED_INFO, nullptr) == 0)
        kernel_extended_info.store(1);

    int err = pthread_create(&producer_thread, nullptr, vantle_producer, nullptr);
    if (err) {
        // Without a producer nothing is ever read; as good as no device.
        log_critical("Could not access /dev/vantles. (%s)", strerror(err));
        clone_kernel_device(0, nullptr, 0, 0);
        return EINVAL;
    }
    if (event_thread_upcalls.start_internal_clients() != 0)
        log_critical("Failed to create the disk logger thread!");

    // Sequentially consistent: everything set up above is visible to a thread that sees it.
    event_thread_ready.store(1);
    service_notify_ready();
    thread_set_precedence(EVENT_THREAD_PRECEDENCE);

    if (shutting_down.load()) {
        // The signal came before the device was cloned: close it now, so the producer ends.
        int fd = kernel_fd.exchange(-1);
        if (fd >= 0)
            kernel_device_close(fd);
    }
    consumer_loop();
}

void* implementation_event_thread(void*) {
    if (event_thread() != 0) {
        log_critical("%s : failed to startup the vantles main loop.",
                     "implementation_event_thread");
    }
    return nullptr;
}
