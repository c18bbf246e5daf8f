// The intake's state in one place: the ring of raw kernel record buffers between the producer
// and the event thread, and the event ids. One instance, `intake`, lives as long as the process;
// the daemon's start-up fills what is not set here before the producer runs.
//
// Threads: the producer reads into the ring; the event thread (or the producer in its stead,
// holding consumer_role) decodes and hands the events to the router. Everything else reads
// counters.
//
// Lock order: consumer_role before buffer_lock; buffer_lock is a leaf.
#pragma once

#include "intake/event_thread.h"
#include "intake/producer.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <mutex>

struct intake_state {
    // --- The ring (see event_buffer for each side's offsets) ---
    // Guards the list links, the producer's choice of a buffer and its resets. buffer_cond
    // (with buffer_lock) is signalled by the producer after each read and when it stops.
    pthread_mutex_t buffer_lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t buffer_cond = PTHREAD_COND_INITIALIZER;
    // Head of the list. Set once (event_buffers_init) before the producer starts; the list only
    // grows, by insertion behind the producer's buffer, and its buffers live as long as the
    // process. Taken in list order with a wrap from the last buffer to the head, the buffers
    // form a ring that the producer fills and the consumer drains in the same direction.
    event_buffer* event_buffers = nullptr;
    // The buffer the producer reads into, and the one the consumer decodes. The consumer is
    // never ahead of the producer: the buffers from consumer_buffer up to producer_buffer hold
    // the undecoded records in the kernel's order, and every other buffer is drained. The
    // producer moves its pointer under buffer_lock; the consumer moves its own, without it.
    std::atomic<event_buffer*> producer_buffer{nullptr};
    std::atomic<event_buffer*> consumer_buffer{nullptr};

    // --- The producer ---
    // Handle of the cloned kernel event stream, -1 while there is none. Always set to -1
    // before the handle is closed, so that whoever swaps it out closes it exactly once.
    std::atomic<int32_t> kernel_fd{-1};
    // Set by the producer as it ends (its device closed, or given up).
    std::atomic<uint32_t> producer_finished{0};
    // How the producer reads kernel_fd: kernel_device_read, unless a test puts a fake in front.
    producer_read_fn producer_read = nullptr;
    // Set by the event thread once it consumes (consume_on_producer): after a read that ends a
    // quiet spell the producer calls it, and signals buffer_cond only when it returns false.
    std::atomic<bool (*)()> producer_consume{nullptr};
    pthread_t producer_thread{};  // event thread only: started and joined there
    // Bytes of records the producer has stored in the buffers, and bytes the consumer has
    // decoded (and so routed to the clients' backlogs), since start.
    std::atomic<uint64_t> intake_bytes_read{0};
    std::atomic<uint64_t> intake_bytes_decoded{0};

    // --- The consumer ---
    // Decoding, the event table, routing and the latency pass belong to the thread that holds
    // it. The event thread holds it except while it waits for records; the producer takes it,
    // without waiting, for a read that comes after a quiet spell, so that such an event is
    // routed without a wake-up of the event thread: on a machine whose other processors sleep,
    // that wake-up costs tens of microseconds.
    pthread_mutex_t consumer_role = PTHREAD_MUTEX_INITIALIZER;
    // Set when the producer has decoded in the event thread's stead: the event thread's wait
    // then needs a latency pass of its own.
    std::atomic<bool> consumed_on_producer{false};
    // When the event thread's wait ends at the latest (monotonic µs), written before it lets go
    // of consumer_role: a pass the producer finds due no sooner needs no wake-up of the event
    // thread, which would compete for a processor with the client just woken.
    std::atomic<uint64_t> consumer_wakes_at{0};
    // 1 once the kernel accepted the extended-information request; only then does record flag
    // 0x2000 mark a directory-level event. Set by the event thread before decoding starts.
    std::atomic<uint8_t> kernel_extended_info{0};
    // The number of the last sync marker decoded: every event read before it has been decoded
    // and routed. Written by the consumer.
    std::atomic<uint32_t> intake_sync_marker{0};
    // What the event thread calls in the layers above it, filled by start-up before it runs.
    event_thread_ops event_thread_upcalls{};

    // --- Event ids (see event_ids.h): two slots, event_id_index naming the current one ---
    std::atomic<uint64_t> event_ids[2]{};
    std::atomic<uint32_t> event_id_index{0};
};

extern intake_state intake;
