// A client's backlog in segments (see backlog.h): queueing on the event thread, reading and
// taking off on the delivery thread, and the segments' allocation and release.
#include "clients/backlog.h"

#include <cerrno>
#include <cstdlib>
#include <new>

namespace {

backlog_segment* new_segment(uint32_t base) {
    auto* s = static_cast<backlog_segment*>(malloc(sizeof(backlog_segment)));
    if (s) {
        new (&s->next) std::atomic<backlog_segment*>(nullptr);
        s->base = base;
    }
    return s;
}

}  // namespace

int backlog_init(client_backlog* b, backlog_limits limits) {
    b->limits = limits;
    b->head = b->tail = new_segment(0);
    b->wr.store(0, std::memory_order_relaxed);
    b->rd.store(0, std::memory_order_relaxed);
    b->bytes_in.store(0, std::memory_order_relaxed);
    b->bytes_out.store(0, std::memory_order_relaxed);
    b->peak_bytes.store(0, std::memory_order_relaxed);
    return b->head ? 0 : ENOMEM;
}

void backlog_free(client_backlog* b) {
    for (backlog_segment* s = b->head; s;) {
        backlog_segment* next = s->next.load(std::memory_order_acquire);
        free(s);
        s = next;
    }
    b->head = b->tail = nullptr;
}

bool backlog_has_room(const client_backlog* b, const event_record* e) {
    uint64_t charge = backlog_charge(e);
    uint64_t own = backlog_bytes(b) + charge;
    if (backlog_events(b) >= b->limits.events || own > b->limits.bytes) {
        return false;
    }
    const backlog_pool* pool = b->limits.pool;
    return !pool || own <= pool->floor ||
           pool->held.load(std::memory_order_relaxed) + charge <= pool->bytes;
}

int backlog_push(client_backlog* b, event_record* e) {
    uint32_t wr = b->wr.load(std::memory_order_relaxed);
    if (wr - b->tail->base == BACKLOG_SEGMENT_SLOTS) {
        backlog_segment* s = new_segment(wr);
        if (!s) {
            return ENOMEM;
        }
        b->tail->next.store(s, std::memory_order_release);
        b->tail = s;
    }
    b->tail->slots[wr - b->tail->base] = e;
    if (b->limits.pool) {
        b->limits.pool->held.fetch_add(backlog_charge(e), std::memory_order_relaxed);
    }
    uint64_t in = b->bytes_in.load(std::memory_order_relaxed) + backlog_charge(e);
    b->bytes_in.store(in, std::memory_order_release);
    b->wr.store(wr + 1, std::memory_order_release);
    uint64_t held = in - b->bytes_out.load(std::memory_order_acquire);
    if (held > b->peak_bytes.load(std::memory_order_relaxed)) {
        b->peak_bytes.store(held, std::memory_order_relaxed);
    }
    return 0;
}

backlog_cursor backlog_front(const client_backlog* b) {
    return {b->head, b->rd.load(std::memory_order_relaxed)};
}

event_record** backlog_next(backlog_cursor* cursor) {
    while (cursor->pos - cursor->segment->base >= BACKLOG_SEGMENT_SLOTS) {
        cursor->segment = cursor->segment->next.load(std::memory_order_acquire);
    }
    return &cursor->segment->slots[cursor->pos++ - cursor->segment->base];
}

void backlog_pop(client_backlog* b, uint32_t n, uint64_t bytes) {
    if (b->limits.pool) {
        b->limits.pool->held.fetch_sub(bytes, std::memory_order_relaxed);
    }
    b->bytes_out.store(b->bytes_out.load(std::memory_order_relaxed) + bytes,
                       std::memory_order_release);
    uint32_t rd = b->rd.load(std::memory_order_relaxed) + n;
    b->rd.store(rd, std::memory_order_release);
    while (rd - b->head->base >= BACKLOG_SEGMENT_SLOTS) {
        backlog_segment* next = b->head->next.load(std::memory_order_acquire);
        if (!next) {
            break;  // still the event thread's tail
        }
        free(b->head);
        b->head = next;
    }
}
