// The client side's shared tables in one place: the client table with its per-process and
// per-user bookkeeping, the prefix table the router looks paths up in, and the backlog pool.
// One instance, `clients`, lives as long as the process.
//
// Threads: the request side makes and ends clients (under clients_lock); the event thread
// routes through the prefix table and the client table without clients_lock, announcing
// itself (prefix_table_readers, client_map_walkers), and keeps the event table; each client's
// delivery thread drains its own backlog.
//
// Lock order: clients_lock, then prefix_lock; a client's own locks are never held while
// taking either. event_table_lock is taken after nothing else; marked_pids_lock is taken
// briefly from add_event, outside event_table_lock.
#pragma once

#include "clients/backlog.h"
#include "clients/client_info.h"
#include "clients/event_table.h"
#include "clients/marked_pids.h"
#include "clients/prefix_table.h"
#include "common/log_throttle.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <mutex>

struct client_tables {
    // Slots are written under clients_lock (index stored before the slot is published) and
    // read without it by the router, the latency pass and the wake-ups inside
    // client_map_walkers.
    std::atomic<client_info*> client_table[CLIENT_TABLE_SLOTS]{};
    pid_entry pid_table[CLIENT_PID_TABLE_SLOTS]{};  // under clients_lock
    pthread_mutex_t clients_lock = PTHREAD_MUTEX_INITIALIZER;
    // Live delivery-side clients, and those among them that are internal (disk logger threads).
    std::atomic<int32_t> num_clients{0};
    std::atomic<int32_t> num_internal_clients{0};
    // Threads walking client_table or a client_list without clients_lock that may queue into
    // a backlog or wake a client. A client being torn down waits for it to reach 0.
    std::atomic<uint32_t> client_map_walkers{0};
    // The most clients a non-root uid may hold (see user_may_take_slot); set at start-up.
    std::atomic<uint32_t> client_max_per_user{CLIENT_PER_USER_DEFAULT};
    // Uids whose refused registrations were logged lately; under clients_lock.
    log_throttle user_refusals{};
    // Every registered client's backlog draws on it until the client is freed.
    backlog_pool registered_backlogs{CLIENT_BACKLOGS_BYTES, CLIENT_BACKLOG_FLOOR_BYTES};

    // The current prefix table, null until the first client is made; the router's
    // announcement that it is inside a table; the table it is in. Replaced under prefix_lock.
    std::atomic<prefix_table*> current_prefix_table{nullptr};
    std::atomic<uint32_t> prefix_table_readers{0};
    std::atomic<prefix_table*> prefix_table_in_use{nullptr};
    pthread_mutex_t prefix_lock = PTHREAD_MUTEX_INITIALIZER;
    // The router's scratch space for its lookup (visit_matching_headers); under prefix_lock.
    route_block route_blocks[ROUTE_MAX_BLOCKS]{};

    // The event table: every event still pending for some client, the router's to fill and
    // sweep (event thread only; its structure under event_table_lock while swept or rehashed).
    event_table intake_event_table{};
    std::mutex event_table_lock{};
    // Records that some holder (router or backlog) still references: raised when add_event
    // creates or revives a record, lowered when remove_event_ref releases one. Reset by
    // event_table_init. Zero once every client has taken what it was given.
    std::atomic<int32_t> event_records_referenced{0};
    // Marked processes: clients registered to see their own events flagged.
    std::mutex marked_pids_lock{};
    int32_t marked_pids[MARKED_PIDS_MAX] = {};  // under marked_pids_lock; 0 = free slot

    // Send time-outs after which a registered client's callback paused; counted by that
    // callback and reported by the slow-down message.
    std::atomic<int32_t> num_usleeps{0};
    // An internal client's thread calls it (when set) after every wake-up and at least every
    // CLIENT_INTERNAL_TICK_SECONDS; set by start-up before the first internal client.
    void (*internal_client_tick)(client_info* fci) = nullptr;
};

extern client_tables clients;
