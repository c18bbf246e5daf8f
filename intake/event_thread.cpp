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
#include "intake/event_flags.h"
#include "intake/event_ids.h"
#include "intake/intake_state.h"
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

namespace {

constexpr unsigned EVENT_THREAD_PARK_SECONDS = 86400;
constexpr useconds_t EVENT_THREAD_SHUTDOWN_POLL_US = 50000;
// How often the service manager hears the current event id and the number of clients.
constexpr int64_t EVENT_THREAD_STATUS_SECONDS = 5;

// Lets clients whose latency ran out have their events and drops released ones from the
// table. Returns the next wait.
uint64_t after_step() {
    timeval now;
    gettimeofday(&now, nullptr);
    static int64_t status_sent = 0;
    if (now.tv_sec - status_sent >= EVENT_THREAD_STATUS_SECONDS) {
        status_sent = now.tv_sec;
        service_notify_status(current_event_id(), intake.event_thread_upcalls.count_clients());
    }
    uint64_t timeout = intake.event_thread_upcalls.latency_pass(&now);
    intake.event_thread_upcalls.sweep(intake.event_thread_upcalls.table);
    return timeout;
}

[[noreturn]] void shutdown_sequence() {
    service_notify_stopping();
    pthread_join(intake.producer_thread, nullptr);
    // Every event read has been routed: the disk logger files what it holds and ends.
    lifecycle.intake_finished.store(1);
    intake.event_thread_upcalls.wake_internal_clients();
    while (intake.event_thread_upcalls.count_internal_clients() != 0)
        usleep(EVENT_THREAD_SHUTDOWN_POLL_US);
    intake.event_thread_upcalls.close_histories();
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
        consumer_step(buf, intake.event_thread_upcalls.table, intake.event_thread_upcalls.sink);
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
    if (lifecycle.shutting_down.load())
        return false;
    if (pthread_mutex_trylock(&intake.consumer_role) != 0)
        return false;
    thread_role_set(THREAD_ROLE_EVENT);
    pthread_mutex_lock(&intake.buffer_lock);
    event_buffer* buf = consumer_find_work();
    pthread_mutex_unlock(&intake.buffer_lock);
    uint64_t due = run_steps(buf, 0, &buf);
    bool settled = !buf && (due == 0 || monotonic_us() + due >= intake.consumer_wakes_at.load());
    if (!settled)
        intake.consumed_on_producer.store(true);
    thread_role_set(THREAD_ROLE_PRODUCER);
    pthread_mutex_unlock(&intake.consumer_role);
    return settled;
}

[[noreturn]] void consumer_loop() {
    uint64_t timeout = EVENT_THREAD_FIRST_WAIT_US;
    pthread_mutex_lock(&intake.consumer_role);
    intake.producer_consume.store(consume_on_producer);
    for (;;) {
        pthread_mutex_lock(&intake.buffer_lock);
        event_buffer* buf = consumer_find_work();
        while (!buf) {
            // After a termination signal the producer still hands over what the device had
            // taken from the kernel; the process ends once all of it is decoded.
            if (lifecycle.shutting_down.load() && intake.producer_finished.load()) {
                pthread_mutex_unlock(&intake.buffer_lock);
                shutdown_sequence();
            }
            uint64_t wait_us = lifecycle.shutting_down.load() ? 1000 : timeout;
            if (wait_us == 0 || wait_us > EVENT_THREAD_MAX_WAIT_US)
                wait_us = EVENT_THREAD_MAX_WAIT_US;
            timespec deadline = deadline_after_us(wait_us);
            intake.consumer_wakes_at.store(monotonic_us() + wait_us);
            pthread_mutex_unlock(&intake.consumer_role);
            int rc = pthread_cond_timedwait(&intake.buffer_cond, &intake.buffer_lock, &deadline);
            pthread_mutex_unlock(&intake.buffer_lock);
            pthread_mutex_lock(&intake.consumer_role);
            if (rc == ETIMEDOUT || intake.consumed_on_producer.exchange(false))
                timeout = after_step();
            pthread_mutex_lock(&intake.buffer_lock);
            buf = consumer_find_work();
        }
        pthread_mutex_unlock(&intake.buffer_lock);
        timeout = run_steps(buf, timeout, &buf);
    }
}

}  // namespace

int clone_kernel_device(int open, const int8_t* actions, int32_t num_types, int32_t queue_depth) {
    if (!open) {
        int fd = intake.kernel_fd.exchange(-1);
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
    intake.kernel_fd.store(clone_fd);
    kernel_device_close(dev_fd);
    return 0;
}

void shutdown_handler(int) {
    // Sequentially consistent store: the flag is visible before the descriptor goes.
    lifecycle.shutting_down.store(1);
    int fd = intake.kernel_fd.exchange(-1);
    if (fd >= 0)
        kernel_device_close(fd);
}

int event_thread() {
    thread_role_set(THREAD_ROLE_EVENT);
    // SIGUSR1 is blocked in every thread (main blocks it before starting any); the dump
    // runs on a watcher thread of its own.
    for (int signo : {SIGINT, SIGQUIT, SIGTERM, SIGHUP})
        signal(signo, shutdown_handler);
    intake.event_thread_upcalls.start_state_dump();

    event_buffer* head = alloc_event_buffers(EVENT_BUFFER_INITIAL_COUNT, EVENT_BUFFER_SIZE);
    if (!head) {
        log_critical("failed to initialize vantle buffers.");
        return ENOMEM;
    }
    event_buffers_init(head);

    intake.event_thread_upcalls.reset_clients();

    init_dev_info(intake.event_thread_upcalls.on_logged_volume);
    if (!intake.event_thread_upcalls.history_ready()) {
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
    kernel_device_ioctl(intake.kernel_fd.load(), KREC_IOC_COMPACT, nullptr);
    if (kernel_device_ioctl(intake.kernel_fd.load(), KREC_IOC_EXTENDED_INFO, nullptr) == 0)
        intake.kernel_extended_info.store(1);

    int err = pthread_create(&intake.producer_thread, nullptr, vantle_producer, nullptr);
    if (err) {
        // Without a producer nothing is ever read; as good as no device.
        log_critical("Could not access /dev/vantles. (%s)", strerror(err));
        clone_kernel_device(0, nullptr, 0, 0);
        return EINVAL;
    }
    if (intake.event_thread_upcalls.start_internal_clients() != 0)
        log_critical("Failed to create the disk logger thread!");

    // Sequentially consistent: everything set up above is visible to a thread that sees it.
    lifecycle.event_thread_ready.store(1);
    service_notify_ready();
    thread_set_precedence(EVENT_THREAD_PRECEDENCE);

    if (lifecycle.shutting_down.load()) {
        // The signal came before the device was cloned: close it now, so the producer ends.
        int fd = intake.kernel_fd.exchange(-1);
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
