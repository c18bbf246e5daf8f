// The event table: a chained hash table of pending events keyed by path_hash.
//
// The router takes a record with add_event (one reference), queues it into client backlogs
// (take_event_ref, one reference per backlog) and drops its own reference; each delivery thread
// drops its reference when it takes the record off its backlog. A record at count 0 is released
// but stays linked: the next event for its path revives it; otherwise the first add_event
// that walks past it in its chain frees it, or sweep_event_table does, 64 buckets per
// consumer step, so freeing never costs the event thread a whole pass. Only the event thread
// frees or revives records, so a record seen at 0 there cannot be taken by anyone else
// meanwhile. The table doubles when three quarters of its buckets are in use, up to 262,144
// buckets.
#include "clients/client_tables.h"
#include "clients/event_table.h"

#include "common/buckets.h"
#include "common/crc.h"
#include "common/log.h"
#include "common/thread_role.h"
#include "common/vantle_assert.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Reference counts that only a defect can produce stop the daemon at once, after the
// messages that describe the record.
[[noreturn]] __attribute__((noinline)) void event_table_fault() {
    __builtin_trap();
}

// Removes doubled slashes in place and cuts at EVENT_TABLE_PATH_MAX; returns the length.
uint32_t normalise_path(char* path) {
    uint32_t out = 0;
    char previous = 0;
    for (const char* in = path; *in != '\0' && out < EVENT_TABLE_PATH_MAX; in++) {
        char c = *in;
        if (!(c == '/' && previous == '/'))
            path[out++] = c;
        previous = c;
    }
    path[out] = '\0';
    return out;
}

void link_front(event_record** head, event_record* record) {
    record->next = *head;
    if (*head)
        (*head)->pprev = &record->next;
    record->pprev = head;
    *head = record;
}

void unlink_record(event_record* record) {
    *record->pprev = record->next;
    if (record->next)
        record->next->pprev = record->pprev;
}

void check_filled(const event_table* table) {
    if (table->filled > table->mask) {
        log_critical("event table is screwed up! filled buckets %u / table_mask %u)", table->filled,
                     table->mask);
        vantle_assert_fail(__func__, "filled <= mask");
    }
}

// Frees the released records of one bucket. event_table_lock held.
void sweep_bucket(event_table* table, uint32_t b) {
    event_record** head = &table->buckets[b];
    if (!*head)
        return;
    for (event_record *record = *head, *next; record; record = next) {
        next = record->next;
        if (record->refcount.load(std::memory_order_acquire) == 0) {
            unlink_record(record);
            free(record);
        }
    }
    if (!*head) {
        table->filled--;
        check_filled(table);
    }
}

// Under a stream of new paths most records are released by the time the table fills up, and
// the sweep, 64 buckets a step, trails far behind: the table would double for records that
// are already garbage, and keep both the records and the buckets for good. So before growing,
// every released record is freed, and the table grows only while that leaves at least half of
// its buckets in use. The whole pass comes at most once per quarter of the buckets filled
// since the last one.
bool reclaim_before_growth(event_table* table) {
    if (table->too_large)
        return false;
    std::lock_guard<std::mutex> guard(clients.event_table_lock);
    for (uint32_t b = 0; b <= table->mask; b++)
        sweep_bucket(table, b);
    return table->filled * 2 >= table->mask + 1;
}

void grow(event_table* table) {
    uint32_t count = 2 * (table->mask + 1);
    if (count >= EVENT_TABLE_MAX_REQUEST) {
        if (!table->too_large) {
            log_critical("event table has grown too large. (filled %d / mask 0x%x)",
                         (int)table->filled, table->mask);
            table->too_large = 1;
        }
        return;
    }
    uint32_t new_mask;
    auto* buckets = reinterpret_cast<event_record**>(alloc_buckets(count, &new_mask));
    if (!buckets) {
        log_critical("failed to resize the hash table.");
        return;
    }
    event_record** old = table->buckets;
    uint32_t old_mask = table->mask;
    {
        std::lock_guard<std::mutex> guard(clients.event_table_lock);
        table->filled = 0;
        table->cursor = 0;
        table->buckets = buckets;
        table->mask = new_mask;
        for (uint32_t b = 0; b <= old_mask; b++) {
            event_record* record = old[b];
            while (record) {
                event_record* next = record->next;
                event_record** head = &buckets[path_hash(record->path) & new_mask];
                if (!*head) {
                    table->filled++;
                    check_filled(table);
                }
                link_front(head, record);
                record = next;
            }
        }
    }
    free(old);
}

}  // namespace

int event_table_init(event_table* table, uint32_t buckets) {
    *table = event_table{};
    clients.event_records_referenced.store(0, std::memory_order_relaxed);
    auto* array = reinterpret_cast<event_record**>(alloc_buckets(buckets, &table->mask));
    if (!array)
        return ENOMEM;
    table->buckets = array;
    return 0;
}

void event_table_free(event_table* table) {
    if (table->buckets) {
        for (uint32_t b = 0; b <= table->mask; b++) {
            event_record* record = table->buckets[b];
            while (record) {
                event_record* next = record->next;
                free(record);
                record = next;
            }
        }
        free(table->buckets);
    }
    *table = event_table{};
}

event_record* add_event(event_table* table, int32_t pid, uint32_t dev, char* path, uint32_t flags,
                        uint64_t id) {
    VANTLE_ASSERT_THREAD(THREAD_ROLE_EVENT);
    uint32_t n = normalise_path(path) + 1;

    // Three quarters of the buckets in use (unsigned 32-bit, as the counts are).
    if (table->filled * 4 >= table->mask * 3 + 3 && reclaim_before_growth(table))
        grow(table);

    event_record** head = &table->buckets[path_hash(path) & table->mask];
    bool was_empty = *head == nullptr;
    bool marked = is_marked_pid(pid);
    for (event_record *record = *head, *next; record; record = next) {
        next = record->next;
        bool same_path = record->path_length == n && memcmp(record->path, path, n) == 0;
        if (!same_path) {
            // A released record of another path is freed on the way, as the sweep would free
            // it later: under a stream of new paths the sweep reaches a bucket only every few
            // seconds, and the chains it leaves meanwhile would be walked by every add.
            if (record->refcount.load(std::memory_order_acquire) == 0) {
                unlink_record(record);
                free(record);
            }
            continue;
        }
        uint32_t holder = event_pid(record);
        if (marked ? holder != (uint32_t)pid : is_marked_pid((int32_t)holder))
            continue;
        int32_t before = record->refcount.fetch_add(1, std::memory_order_acq_rel);
        if (before < -1) {
            log_critical("consumer thread: bad ref count %d on entry %p", before + 1,
                         (void*)record);
            event_table_fault();
        }
        std::atomic_ref<uint32_t> merged(record->flags);
        if (before + 1 == 1) {
            merged.store(0, std::memory_order_relaxed);  // revived: every holder released it
            clients.event_records_referenced.fetch_add(1, std::memory_order_relaxed);
        }
        merged.fetch_or(flags, std::memory_order_relaxed);
        std::atomic_ref<uint32_t>(record->pid).store((uint32_t)pid, std::memory_order_relaxed);
        std::atomic_ref<uint64_t>(record->id).store(id, std::memory_order_relaxed);
        return record;
    }

    auto* record = static_cast<event_record*>(malloc(offsetof(event_record, path) + n));
    if (!record) {
        if (!was_empty && !*head)  // emptied by the walk
            table->filled--;
        return nullptr;
    }
    new (&record->refcount) std::atomic<int32_t>(1);
    for (auto& byte : record->client_map)
        new (&byte) std::atomic<uint8_t>(0);
    record->flags = flags;
    record->pid = (uint32_t)pid;
    record->dev = (int32_t)dev;
    record->id = id;
    record->path_length = (uint16_t)n;
    memcpy(record->path, path, n);
    if (was_empty)  // the walk may have emptied a bucket that counts as in use
        table->filled++;
    link_front(head, record);
    clients.event_records_referenced.fetch_add(1, std::memory_order_relaxed);
    return record;
}

void take_event_ref(event_record* record) {
    int32_t before = record->refcount.fetch_add(1, std::memory_order_acq_rel);
    if (before < -1) {
        log_critical("add_event_ref: event @ %p had bogus refcount %d", (void*)record, before + 1);
        event_table_fault();
    }
}

int32_t remove_event_ref(event_record* record) {
    int32_t before = record->refcount.fetch_sub(1, std::memory_order_acq_rel);
    if (before <= 0) {
        log_critical("remove_event_ref: event @ %p had bogus refcount %d", (void*)record,
                     before - 1);
        log_critical("remove_event_ref: path: %s", record->path);
        log_critical("remove_event_ref: mask 0x%x dev %d client_map 0x%x 0x%x", record->flags,
                     record->dev, record->client_map[0].load(), record->client_map[1].load());
        event_table_fault();
    }
    if (before == 1)
        clients.event_records_referenced.fetch_sub(1, std::memory_order_relaxed);
    return before - 1;
}

bool client_map_set(event_record* record, uint32_t slot) {
    uint8_t bit = (uint8_t)(0x80u >> (slot % 8));
    return record->client_map[slot / 8].fetch_or(bit, std::memory_order_acq_rel) & bit;
}

void client_map_clear(event_record* record, uint32_t slot) {
    uint8_t bit = (uint8_t)(0x80u >> (slot % 8));
    record->client_map[slot / 8].fetch_and((uint8_t)~bit, std::memory_order_acq_rel);
}

bool client_map_test(const event_record* record, uint32_t slot) {
    uint8_t bit = (uint8_t)(0x80u >> (slot % 8));
    return record->client_map[slot / 8].load(std::memory_order_acquire) & bit;
}

void sweep_event_table(event_table* table) {
    VANTLE_ASSERT_THREAD(THREAD_ROLE_EVENT);
    std::lock_guard<std::mutex> guard(clients.event_table_lock);
    // The cursor wraps modulo 2^32, which the bucket count divides, so the walk goes on
    // seamlessly however many sweeps the daemon makes without a resize.
    for (uint32_t i = 0; i < EVENT_TABLE_SWEEP_BUCKETS; i++, table->cursor++)
        sweep_bucket(table, table->cursor & table->mask);
}
