// The watched-path prefix table: one sorted array of distinct watched paths (per kind and
// device), each with the list of clients watching it. The router reads it for every event
// without copying it; writers build a new array beside the old one, publish it and wait until
// the router has left the old one before freeing it.
//
// Lock order: clients_lock before prefix_lock. Adding runs under clients_lock only and pushes
// fully built nodes at list heads behind a barrier; removing unlinks under prefix_lock, which
// the router holds for each whole scan.
#pragma once

#include "common/limits.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>

struct client_info;

struct client_node {
    client_info* fci;
    std::atomic<client_node*> next;
};

// device value of a header that has been removed; the router skips it.
constexpr uint32_t PREFIX_HEADER_REMOVED = 0xFFFFFFFF;

struct prefix_header {
    char* path;                    // the watched path as stored in the client records
    uint32_t device;               // device of the clients sharing it; REMOVED once removed
    uint16_t len;                  // bytes of path without the NUL
    uint16_t file_events;          // 1 for CLIENT_FILE_EVENTS clients
    int32_t refcount;              // == length of client_list; under clients_lock
    std::atomic<client_node*> client_list;
};

struct prefix_table {
    prefix_header** entries;  // capacity slots; the first count sorted by path, descending
    int32_t count;
    int32_t capacity;
};

// Candidate blocks per event of the router's lookup: per compared string (the path, and the
// volume-relative part) at most the empty path, two per component boundary and one block left
// to scan. Should a path be longer, the lookup ends in a scan of the block reached so far,
// which is still exact.
constexpr int32_t ROUTE_MAX_BLOCKS = 4 * (int32_t)PATH_BUFFER_SIZE + 16;

// Entries [lo, hi) of a table.
struct route_block {
    int32_t lo;
    int32_t hi;
};

// Growth step of the entries array.
constexpr int32_t PREFIX_TABLE_GROWTH = 128;

// Under clients_lock. 0 or ENOMEM (logged; the table is unchanged and no reference is left).
int add_paths_to_prefix_table(client_info* fci);
// Under clients_lock. 0 or ENOMEM.
int remove_paths(client_info* fci);
// Makes table current and returns the previous one once the router has left it; the caller
// frees its entries array and header (not the shared headers).
prefix_table* publish_prefix_table(prefix_table* table);
