// The table of names pending for a volume's next history flush: one entry per distinct path in
// stored form, with the latest event id and the OR of the flags seen since the last flush.
// Buckets are chains keyed by the log checksum of the name; the table doubles at three-quarter
// load up to FNAME_MAX_BUCKETS / 2 buckets.
//
// The disk logger's thread is the only writer (insert, grow, clear, under fname_lock for
// writing); the copy for a replay (history/pending_names.h) reads through iterate_fnames_sorted
// under fname_lock for reading.
#pragma once

#include <cstddef>
#include <cstdint>

struct dls;

struct fname_entry {
    fname_entry* next;
    fname_entry** prev_link;  // the bucket slot or the previous entry's next
    uint64_t event_id;        // latest event for this path
    uint32_t flags;           // OR of every event's flags since the entry was made
    char name[];              // stored form, NUL-terminated
};

// Growth stops once doubling would reach this many buckets.
constexpr uint32_t FNAME_MAX_BUCKETS = 0x80000;

// Records one event for name (len bytes with its NUL) in state's table, growing it first when
// three quarters of the buckets are in use. False when no entry could be allocated.
bool fname_record(dls* state, const char* name, uint32_t len, uint64_t id, uint32_t flags);

// Calls cb on the entries in ascending strcmp order of their names until it returns non-zero.
// cb runs with fname_lock held for reading.
void iterate_fnames_sorted(dls* state, int (*cb)(fname_entry* e, void* arg), void* arg);

// The same for the table's only writer (the disk logger's thread), without fname_lock held
// during the callbacks: no other thread changes or frees an entry, and a callback may then take
// the log state's lock (which readers of the table take before fname_lock).
void iterate_own_fnames_sorted(dls* state, int (*cb)(fname_entry* e, void* arg), void* arg);

// Frees every entry; the bucket array keeps its size.
void clear_fname_table(dls* state);
