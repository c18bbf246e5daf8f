// The producer thread and the list of raw kernel record buffers it shares with the event
// thread (the consumer).
//
// Lock order: buffer_lock is a leaf; nothing else is taken while it is held.
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

// Guards the list links, the producer's choice of a buffer and its resets. buffer_cond (with
// buffer_lock) is signalled by the producer after each read and when it stops.
extern pthread_mutex_t buffer_lock;
extern pthread_cond_t buffer_cond;

// Head of the buffer list. Set once by the event thread before the producer starts; the list
// only grows at its tail and its buffers live as long as the process.
extern event_buffer* event_buffers;

// Handle of the cloned kernel event stream, -1 while there is none. Always set to -1 before
// the handle is closed, so that whoever swaps it out closes it exactly once.
extern std::atomic<int32_t> kernel_fd;

// Makes up to count buffers of size bytes, each linked in front of the previous one, and
// returns the newest (the chain's head), or nullptr. Stops early when memory runs out and
// returns the chain made so far.
event_buffer* alloc_event_buffers(int count, int32_t size);

// Releases a chain made by alloc_event_buffers. The daemon never does; tests and tools do.
void free_event_buffers(event_buffer* head);

// Thread body of the producer: reads kernel_fd into the buffers until the handle is closed
// or shutting_down is set. Returns nullptr.
void* vantle_producer(void* arg);

// How the producer reads kernel_fd: kernel_device_read, unless a test puts a fake in front.
typedef ssize_t (*producer_read_fn)(int fd, void* buf, size_t size);
extern producer_read_fn producer_read;

// Consumer side, event thread only.
// Under buffer_lock, while looking for work: the buffer holds data for the consumer.
bool buffer_has_data(const event_buffer* buf);
// Without the lock, after a step: the buffer still holds data not decoded.
bool buffer_has_undecoded(const event_buffer* buf);
// One step on buf without buffer_lock: takes the producer's data up to filled, decodes it
// with table and sink (nothing when shutting_down is set) and advances consumed past it.
void consumer_step(event_buffer* buf, event_table* table, event_sink sink);
