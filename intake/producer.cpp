// The producer thread and the raw record buffers it fills for the event thread.
//
// The producer reads the cloned kernel stream, straight into a ring of fixed-size buffers, so
// that the kernel's queue drains even while the event thread is busy decoding and routing.
// The one exception: a read after a quiet spell, while the event thread waits, is decoded and
// routed on the producer (consume_on_producer), which saves that event a wake-up. It never
// waits for the consumer: when the next buffer is still in use it inserts a new one, so a
// burst leaves the ring at its largest size (buffers are never freed). It lives from start-up
// until shutdown, when shutdown_handler closes kernel_fd and the blocked read fails with EBADF.
//
// The two sides share three offsets per buffer. Only the producer moves filled and only the
// consumer moves consumed and limit, except for the reset to 0, which the producer makes under
// buffer_lock when all three are equal (the consumer has nothing left there). The consumer
// reads them without the lock, so both the reset and consumer_step order their accesses
// (below) so that a step that overlaps a reset never takes stale bytes for new ones.
#include "intake/producer.h"

#include "common/log.h"
#include "common/monotonic_clock.h"
#include "common/poll_until.h"
#include "common/thread_role.h"
#include "intake/decode.h"
#include "intake/event_flags.h"
#include "intake/event_thread.h"
#include "intake/intake_state.h"
#include "platform/kernel_device.h"
#include "platform/thread_priority.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>

namespace {

// The producer runs just above the event thread: a slow producer loses events in the kernel,
// a slow consumer only grows the ring.
constexpr int PRODUCER_PRECEDENCE = 19;
constexpr unsigned PRODUCER_NO_MEMORY_SLEEP = 2;  // seconds
constexpr unsigned INTAKE_SYNC_POLL_US = 100;
constexpr uint64_t INTAKE_MARKER_TRIAL_MS = 5000;
// A read this long after the one before it ends a quiet spell: the producer routes it itself
// when it can (consume_on_producer). Shorter than the gaps between changes a person makes,
// longer than the pauses between reads in a storm.
constexpr uint64_t PRODUCER_QUIET_US = 5000;

event_buffer* successor(event_buffer* b) {
    event_buffer* next = b->next.load();
    return next ? next : intake.event_buffers;
}

bool drained(const event_buffer* b) {
    int32_t filled = b->filled.load();
    return b->consumed.load() == filled && b->limit.load() == filled;
}

// buffer_lock held. Resets in the order filled, limit, consumed: a consumer that sees the
// new filled sees the whole reset, and one that sees consumed at 0 sees limit at 0.
void reset_if_drained(event_buffer* b) {
    int32_t filled = b->filled.load();
    if (b->consumed.load() != filled || b->limit.load() != filled)
        return;
    b->filled.store(0);
    b->limit.store(0);
    b->consumed.store(0);
}

// The buffer for the next read, buffer_lock held. The producer stays on its buffer while it
// has EVENT_BUFFER_MIN_ROOM left (or is fully decoded and starts over), then moves to the
// successor if the consumer has drained it and is not on it, and otherwise inserts a new
// buffer right behind its own. Records thus enter the ring in the kernel's order, and the
// consumer, following the same direction, decodes them in that order however far it lags.
event_buffer* choose_buffer() {
    event_buffer* b = intake.producer_buffer.load();
    reset_if_drained(b);
    if (b->size - b->filled.load() >= EVENT_BUFFER_MIN_ROOM)
        return b;
    event_buffer* next = successor(b);
    if (next != b && next != intake.consumer_buffer.load() && drained(next)) {
        reset_if_drained(next);
        intake.producer_buffer.store(next);
        return next;
    }
    event_buffer* fresh = alloc_event_buffers(1, EVENT_BUFFER_SIZE);
    if (!fresh)
        return nullptr;
    fresh->next.store(b->next.load());
    b->next.store(fresh);
    intake.producer_buffer.store(fresh);
    return fresh;
}

// The lock is taken and released before the signal, not held across it: a consumer between
// its look for work and its wait holds the lock, so it is waiting by the time the signal goes
// out, and a woken consumer does not find the lock still held and sleep again on it.
void signal_consumer() {
    pthread_mutex_lock(&intake.buffer_lock);
    pthread_mutex_unlock(&intake.buffer_lock);
    pthread_cond_signal(&intake.buffer_cond);
}

}  // namespace

intake_state intake{.producer_read = kernel_device_read};

event_buffer* alloc_event_buffers(int count, int32_t size) {
    event_buffer* head = nullptr;
    for (int i = 0; i < count; i++) {
        auto* b = new (std::nothrow) event_buffer;
        if (!b)
            break;
        b->data = static_cast<uint8_t*>(malloc(static_cast<size_t>(size)));
        if (!b->data) {
            delete b;
            break;
        }
        b->size = size;
        b->consumed = 0;
        b->limit = 0;
        b->filled = 0;
        b->next = head;
        head = b;
    }
    // No separate barrier: the chain reaches the producer through the atomic next link it is
    // appended with, or through the thread start, and either orders these writes before it.
    return head;
}

void event_buffers_init(event_buffer* head) {
    intake.event_buffers = head;
    intake.producer_buffer.store(head);
    intake.consumer_buffer.store(head);
}

void free_event_buffers(event_buffer* head) {
    while (head) {
        event_buffer* next = head->next;
        free(head->data);
        delete head;
        head = next;
    }
}

void* vantle_producer(void*) {
    thread_role_set(THREAD_ROLE_PRODUCER);
    // Failure (no privilege) leaves the default priority. There is no way out of time-sharing
    // short of a real-time policy, which a thread looping on a device must not have.
    thread_set_precedence(PRODUCER_PRECEDENCE);

    // The clone is read until it reports itself closed: after a termination signal it still
    // hands out what its source had taken from the kernel, so that none of it is lost.
    const int fd = intake.kernel_fd.load();
    int read_error = 0;
    uint64_t last_read = 0;
    for (;;) {
        pthread_mutex_lock(&intake.buffer_lock);
        event_buffer* b = choose_buffer();
        if (!b) {
            pthread_cond_signal(&intake.buffer_cond);
            pthread_mutex_unlock(&intake.buffer_lock);
            log_critical("vantle producer: no memory for buffers!");
            sleep(PRODUCER_NO_MEMORY_SLEEP);
            continue;
        }
        reset_if_drained(b);
        int32_t filled = b->filled.load();
        int32_t room = b->size - filled;
        pthread_mutex_unlock(&intake.buffer_lock);

        ssize_t n = intake.producer_read(fd, b->data + filled, static_cast<size_t>(room));
        if (n < 0) {
            read_error = errno;
            if (read_error == EBADF || lifecycle.shutting_down.load())
                break;
            continue;
        }
        read_error = 0;
        if (n == 0) {
            if (lifecycle.shutting_down.load())
                break;
            continue;
        }
        if (n > room) {
            log_error("vantle_producer: ************* DANGER : read %d bytes but buffer is only %u",
                      static_cast<int>(n), static_cast<unsigned>(room));
            continue;
        }
        b->filled.store(filled + static_cast<int32_t>(n));
        intake.intake_bytes_read.fetch_add(static_cast<uint64_t>(n));
        uint64_t now = monotonic_us();
        bool after_quiet = now - last_read >= PRODUCER_QUIET_US;
        last_read = now;
        bool (*consume)() = intake.producer_consume.load();
        if (!(after_quiet && consume && consume()))
            signal_consumer();
    }

    // Closed by shutdown_handler (EBADF): nothing left to close. Otherwise give up the stream.
    if (read_error != EBADF) {
        int open_fd = intake.kernel_fd.exchange(-1);
        if (open_fd >= 0)
            kernel_device_close(open_fd);
    }
    intake.producer_finished.store(1);
    signal_consumer();
    return nullptr;
}

bool buffer_has_data(const event_buffer* buf) {
    int32_t consumed = buf->consumed.load();
    return consumed != buf->filled.load() || buf->limit.load() > consumed;
}

event_buffer* consumer_find_work() {
    event_buffer* c = intake.consumer_buffer.load();
    // A buffer the producer has left holds its final bytes: they were stored before the
    // producer took buffer_lock to move on.
    while (!buffer_has_data(c) && c != intake.producer_buffer.load()) {
        c = successor(c);
        intake.consumer_buffer.store(c);
    }
    return buffer_has_data(c) ? c : nullptr;
}

bool buffer_has_undecoded(const event_buffer* buf) {
    int32_t consumed = buf->consumed.load();
    return consumed != buf->limit.load() || consumed > buf->filled.load();
}

event_buffer* consumer_next_work(event_buffer* buf) {
    // Producer position first: once it has left buf, buf's bytes are final, and the look under
    // the lock that follows a null answer finds a last read into it.
    event_buffer* producing = intake.producer_buffer.load();
    if (buffer_has_undecoded(buf))
        return buf;
    if (producing == buf || buffer_has_data(buf))
        return nullptr;  // bytes added since the step are found under the lock, from buf on
    event_buffer* next = successor(buf);
    intake.consumer_buffer.store(next);
    return buffer_has_undecoded(next) ? next : nullptr;
}

void consumer_step(event_buffer* buf, event_table* table, event_sink sink) {
    VANTLE_ASSERT_THREAD(THREAD_ROLE_EVENT);
    // Load order filled, consumed, limit matches the reset's store order (see reset_if_drained).
    int32_t filled = buf->filled.load();
    int32_t consumed = buf->consumed.load();
    int32_t limit = buf->limit.load();
    if (limit < filled) {
        limit = filled;
        buf->limit.store(limit);
    } else if (limit > filled && consumed == limit) {
        // The producer restarted the buffer since our last snapshot.
        consumed = 0;
        limit = filled;
        buf->consumed.store(consumed);
        buf->limit.store(limit);
    }
    // Also after a termination signal: what was read is decoded before the daemon ends.
    int32_t length = limit - consumed;
    if (length <= 0)
        return;
    decode_kernel_records(buf->data + consumed, static_cast<uint32_t>(length), table, sink);
    buf->consumed.store(consumed + length);
    intake.intake_bytes_decoded.fetch_add(static_cast<uint64_t>(length));
}

int intake_sync(int timeout_ms) {
    // A marker of the device's own comes after everything queued before it: once it is
    // decoded, so is all of that, storm or not. Without markers (a record stream, a socket
    // directory on a volume fanotify cannot mark), the kernel's queue must run dry instead.
    // Markers work once one was decoded; none in INTAKE_MARKER_TRIAL_MS after the first was
    // made means they never will (their directory lies on a volume fanotify cannot mark).
    static std::atomic<uint64_t> first_marker_ms{0};
    uint64_t now = monotonic_ms(), first = first_marker_ms.load();
    bool usable = intake.intake_sync_marker.load() != 0 || first == 0 || now - first < INTAKE_MARKER_TRIAL_MS;
    uint32_t marker = 0;
    if (usable && kernel_device_mark(intake.kernel_fd.load(), &marker) == 0) {
        if (first == 0) {
            first_marker_ms.compare_exchange_strong(first, now);
        }
        bool decoded = poll_until(
            [marker] {
                return (int32_t)(intake.intake_sync_marker.load(std::memory_order_acquire) - marker) >= 0;
            },
            timeout_ms, INTAKE_SYNC_POLL_US);
        return decoded ? 0 : ETIMEDOUT;
    }
    int err = kernel_device_sync(intake.kernel_fd.load(), timeout_ms);
    if (err != 0)
        return err;
    uint64_t read = intake.intake_bytes_read.load();
    bool routed = poll_until([read] { return intake.intake_bytes_decoded.load() >= read; }, timeout_ms,
                             INTAKE_SYNC_POLL_US);
    return routed ? 0 : ETIMEDOUT;
}

int intake_watch_directory(const char* path, uint32_t dev, bool add) {
    int err = kernel_device_watch_dir(intake.kernel_fd.load(), path, dev, add);
    return err == EBADF ? ENOTSUP : err;
}
