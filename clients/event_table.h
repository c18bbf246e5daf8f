// The event table: every event still waiting in some client's backlog, keyed by path, so that
// later events for a pending path merge into one record instead of taking a backlog slot each.
//
// Structure (buckets, chains, mask, filled, cursor) changes only on the event thread, in
// add_event and sweep_event_table; event_table_lock is held by the sweep and by a rehash.
// Reference counts and client_map bits change atomically from any thread. Lock order:
// event_table_lock is taken after nothing else and holds no other lock; is_marked_pid takes
// marked_pids_lock briefly from add_event, outside event_table_lock.
#pragma once

#include "clients/marked_pids.h"
#include "intake/events.h"

#include <atomic>
#include <cstdint>
#include <mutex>

constexpr uint32_t EVENT_TABLE_INITIAL_BUCKETS = 4096;
// The table doubles while the doubled count stays below this: 262,144 buckets at most.
constexpr uint32_t EVENT_TABLE_MAX_REQUEST = 0x80000;
// Buckets visited per sweep: a full pass over 4096 buckets takes 64 sweeps.
constexpr uint32_t EVENT_TABLE_SWEEP_BUCKETS = 64;
// Stored paths are cut to this many characters.
constexpr uint32_t EVENT_TABLE_PATH_MAX = 1023;

struct event_table {
    event_record** buckets;  // power-of-two array of chain heads
    uint32_t mask;           // buckets - 1
    uint32_t too_large;      // set once growth was refused, so that it is logged once
    uint32_t filled;         // non-empty buckets
    uint32_t cursor;         // sweep position; wraps modulo 2^32 (bucket = cursor & mask)
};

// Resets the table and gives it buckets (rounded down to a power of two) empty buckets.
// 0 or ENOMEM (the table is then left without buckets).
int event_table_init(event_table* table, uint32_t buckets);

// Frees every record and the bucket array, whatever the counts; for tests and tools, never
// while backlogs may still hold records.
void event_table_free(event_table* table);

// Creates or merges the record for path and returns it with one reference for the caller,
// or null when memory is short. path is normalised in place ("//" becomes "/", cut to 1023
// characters). A record matches on its path and pid class: a marked pid merges only with its
// own records, an unmarked one with any unmarked record. A merge ORs flags in (clearing the
// old ones first when the record had been released), takes pid and id, and keeps dev.
// Released records of other paths met on the chain are freed. Event thread only.
event_record* add_event(event_table* table, int32_t pid, uint32_t dev, char* path, uint32_t flags,
                        uint64_t id);

// Takes one reference for a backlog the record is being queued into. A count found below -1 is
// logged and stops the daemon.
void take_event_ref(event_record* record);

// Drops one reference; returns the new count. The record stays in the table at 0 until the
// sweep frees it or add_event revives it, so a caller must not touch it afterwards. A count
// found at 0 or below is logged and stops the daemon.
int32_t remove_event_ref(event_record* record);

// client_map bit of a client slot (0..511). set returns whether the bit was already set.
bool client_map_set(event_record* record, uint32_t slot);
void client_map_clear(event_record* record, uint32_t slot);
bool client_map_test(const event_record* record, uint32_t slot);

// Frees the released records of the next EVENT_TABLE_SWEEP_BUCKETS buckets. Event thread only.
void sweep_event_table(event_table* table);
