// The producer thread and the list of raw kernel record buffers it shares with the event
// thread (the consumer).
//
// Their state, and the lock order, are in intake_state.h.
#pragma once

#include "intake/events.h"

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>

// Bytes in the data area of every buffer the daemon makes.
constexpr int32_t EVENT_BUFFER_SIZE = 65536;
// A partly filled buffer takes further reads only while it has this much room left.
constexpr int32_t EVENT_BUFFER_MIN_ROOM = 32768;
// Buffers made at start-up, before the producer runs.
constexpr int EVENT_BUFFER_INITIAL_COUNT = 2;

// One buffer of raw kernel records. Quiet-state invariant: consumed <= limit <= filled <= size,
// and [consumed, filled) holds whole records not yet decoded. The producer writes data and
// filled without the lock and resets the three offsets under buffer_lock, only when they are
// all equal; the consumer writes consumed and limit without the lock. The offsets are atomic
// because each side reads the other's without the lock; filled is published (release) after
// the bytes it covers.
struct event_buffer {
    int32_t size;                   // bytes in data
    std::atomic<int32_t> consumed;  // first byte not decoded yet
    std::atomic<int32_t> limit;     // consumer's snapshot of filled: end of the stretch taken
    std::atomic<int32_t> filled;    // first byte not written by the producer yet
    uint8_t* data;
    // Written under buffer_lock, once, when a buffer is appended; the consumer follows it
    // without the lock.
    std::atomic<event_buffer*> next;
};

// Waits until every event the kernel queued before the call is in the clients' backlogs: the
// device has found nothing more to hand out, and the consumer has decoded what was read by
// then. At most timeout_ms for each; a storm may keep either from ever finishing. 0,
// ETIMEDOUT, or EBADF when there is no device.
int intake_sync(int timeout_ms);

// Watches the directory at path on volume dev, and those below it, one by one (for a volume the
// kernel device cannot watch as a whole), or drops one such request (add false). 0 or ENOTSUP
// (a record stream, no device yet).
int intake_watch_directory(const char* path, uint32_t dev, bool add);

// Installs a chain made by alloc_event_buffers as the list, both sides on its head.
void event_buffers_init(event_buffer* head);

// Makes up to count buffers of size bytes, each linked in front of the previous one, and
// returns the newest (the chain's head), or nullptr. Stops early when memory runs out and
// returns the chain made so far.
event_buffer* alloc_event_buffers(int count, int32_t size);

// Releases a chain made by alloc_event_buffers. The daemon never does; tests and tools do.
void free_event_buffers(event_buffer* head);

// Thread body of the producer: reads kernel_fd into the buffers until the handle is closed
// or shutting_down is set. Returns nullptr.
void* vantle_producer(void* arg);

// How the producer reads kernel_fd (intake.producer_read): kernel_device_read, unless a test
// puts a fake in front.
typedef ssize_t (*producer_read_fn)(int fd, void* buf, size_t size);

// Consumer side, event thread only.
// The buffer holds records not decoded yet (or the producer restarted it since the last step).
bool buffer_has_data(const event_buffer* buf);
// With buffer_lock held: the consumer's buffer if it holds data, after moving past buffers
// that are drained and left by the producer; null when there is nothing to decode.
event_buffer* consumer_find_work();
// After a step: a stretch fixed by an earlier step is still undecoded there, or the producer
// restarted the buffer below what was decoded. Bytes the producer added since are not counted:
// they are found under the lock, so that a storm costs one step per look and not a spin.
bool buffer_has_undecoded(const event_buffer* buf);
// After a step on buf, without the lock: buf again while it has undecoded bytes, else its
// successor once buf is drained and left by the producer and the successor has undecoded
// bytes; null otherwise (the caller looks for work under the lock again, from buf on).
event_buffer* consumer_next_work(event_buffer* buf);
// One step on buf without buffer_lock: takes the producer's data up to filled, decodes it
// with table and sink and advances consumed past it; also once shutting_down is set, so that
// what was read is filed before the daemon ends.
void consumer_step(event_buffer* buf, event_table* table, event_sink sink);
