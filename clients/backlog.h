// A client's backlog: the events queued for it and not yet handed to its callback, oldest
// first, with its bound and the memory it holds.
//
// Sized by memory, not by a count of slots. A client that reads every event as it comes still
// falls behind for as long as the machine keeps it (or its delivery thread) off a processor:
// `rm -rf` of a large tree brings some 35,000 events a second, so a tenth of a second on a
// loaded machine is 3,500 events. A registered client may hold CLIENT_BACKLOG_BYTES (see
// clients/client_info.h) of events, each charged as its slot plus its whole record (header and
// path, BACKLOG_RECORD_BYTES + path), counted in full even when other clients share it. Past
// its bound an event is dropped and the client owes a dropped notice, as before; a client that
// stops reading so holds at most its bound, whatever happens meanwhile.
//
// The registered clients' backlogs also share a pool (CLIENT_BACKLOGS_BYTES): past its floor,
// a backlog grows only while all of them together hold less than the pool's bytes. However
// many clients stop reading, the daemon holds at most the pool plus a floor for each client,
// and a client that reads keeps at least its floor, whatever the others hold.
//
// Slots come in segments of BACKLOG_SEGMENT_SLOTS (4 KiB of pointers): the event thread links
// a new one when the last is full, the delivery thread frees each once it has taken every
// event in it. An idle client keeps one segment, not what its largest burst took.
//
// One writer each, no lock. The event thread (backlog_push) owns wr, tail, the slots at wr
// and above and bytes_in; the client's delivery thread owns rd, head, the slots in [rd, wr)
// (it may reorder them) and bytes_out. Positions run on modulo 2^32, which the segment size
// divides, and pending = wr - rd. The event thread links a segment before it publishes a
// position in it (release on wr), so a reader that took wr (acquire) finds every segment up to
// it linked. A segment is freed only once every position in it is taken and its successor is
// linked: the event thread has then moved on and never touches it again.
#pragma once

#include "intake/events.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr uint32_t BACKLOG_SEGMENT_SLOTS = 512;
// What a record costs apart from its path: the header and the slot that points to it.
constexpr uint64_t BACKLOG_RECORD_BYTES = offsetof(event_record, path) + sizeof(event_record*);

struct backlog_segment {
    std::atomic<backlog_segment*> next;  // linked by the event thread
    uint32_t base;                       // position of slots[0]
    event_record* slots[BACKLOG_SEGMENT_SLOTS];
};

// Shared by backlogs: what they may hold together, and what each may hold regardless. held is
// raised by the event thread and lowered by the delivery threads.
struct backlog_pool {
    uint64_t bytes;
    uint64_t floor;
    std::atomic<uint64_t> held{0};
};

struct backlog_limits {
    uint32_t events;     // at most this many pending
    uint64_t bytes;      // and at most this many bytes of them (backlog_charge)
    uint32_t wake;       // the router wakes the client as soon as more than this many are pending
    backlog_pool* pool;  // shared with other backlogs, or null
};

struct client_backlog {
    backlog_limits limits;
    backlog_segment* tail;  // event thread: the segment holding position wr - 1 (or wr)
    backlog_segment* head;  // delivery thread: the segment holding position rd
    std::atomic<uint32_t> wr;
    std::atomic<uint32_t> rd;
    std::atomic<uint64_t> bytes_in;    // charges of every event queued so far
    std::atomic<uint64_t> bytes_out;   // charges of every event taken off so far
    std::atomic<uint64_t> peak_bytes;  // the most the backlog ever held (for the state dump)
};

// A reader's place in the backlog (delivery thread, or a thread that owns the client).
struct backlog_cursor {
    backlog_segment* segment;
    uint32_t pos;
};

// 0 or ENOMEM. Allocates the first segment.
int backlog_init(client_backlog* b, backlog_limits limits);
// Frees the segments; the records they point to must have been let go by then.
void backlog_free(client_backlog* b);

inline uint32_t backlog_events(const client_backlog* b) {
    return b->wr.load(std::memory_order_acquire) - b->rd.load(std::memory_order_acquire);
}
inline uint64_t backlog_bytes(const client_backlog* b) {
    return b->bytes_in.load(std::memory_order_acquire) -
           b->bytes_out.load(std::memory_order_acquire);
}
inline uint64_t backlog_charge(const event_record* e) {
    return BACKLOG_RECORD_BYTES + e->path_length;
}
// Whether e fits within the limits now. Event thread.
bool backlog_has_room(const client_backlog* b, const event_record* e);

// Queues e after the last event. 0, or ENOMEM when a new segment could not be had. Event
// thread; the caller checked backlog_has_room and holds a reference for the backlog.
int backlog_push(client_backlog* b, event_record* e);

// The first pending event's place, and the slot of the one `cursor` is at, moving on to the
// next. Only for positions below the wr the caller read.
backlog_cursor backlog_front(const client_backlog* b);
event_record** backlog_next(backlog_cursor* cursor);

// Takes the first n events off, whose charges add up to bytes, and frees the segments left
// behind. Delivery thread (or a thread that owns the client).
void backlog_pop(client_backlog* b, uint32_t n, uint64_t bytes);
