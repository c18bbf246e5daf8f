// The delivery-side client record (`client_info`), its flags and limits, and the process-wide
// client tables: the 512-slot client_table whose slot numbers are the clients' client_map bits,
// and the per-process counts of pid_table.
//
// Lock order: clients_lock, then a record's lock; clients_lock also comes before prefix_lock.
// Fields that several threads touch without a common lock are atomic: flags (the event thread
// sets CLIENT_EVENTS_DROPPED, the delivery thread the notice bits, others test
// CLIENT_GOING_AWAY), the backlog's positions (one writer each) and the ids read by other
// threads.
#pragma once

#include "clients/backlog.h"
#include "intake/events.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>

struct client_info;
struct client_node;

// Delivery function of a client: (ctx, count, lengths with NUL, paths, flags, devices, ids).
// Returns 0 or an errno value: EPIPE when the client is gone (it gets nothing more), ETIMEDOUT
// when it left the batch unread too long, ENOBUFS when the system had no memory for it, others
// for any other failure; never EINVAL (see process_disk_event_buf). devices may be null for a
// notice sent without them.
typedef int32_t (*client_callback)(void* ctx, int32_t count, const int32_t* lengths,
                                   const char* const* paths, const uint32_t* flags,
                                   const uint32_t* devices, const uint64_t* ids);

// Client flags.
constexpr uint32_t CLIENT_EVENTS_DROPPED = 0x0001;        // events lost; a notice is owed
constexpr uint32_t CLIENT_GOING_AWAY = 0x0002;            // being torn down; gets nothing more
constexpr uint32_t CLIENT_NO_DEFER = 0x0004;              // wake at once after a quiet spell
constexpr uint32_t CLIENT_IS_INTERNAL = 0x0020;           // the disk logger
constexpr uint32_t CLIENT_IGNORE_SELF = 0x0080;           // own process's events not queued
constexpr uint32_t CLIENT_FILE_EVENTS = 0x0100;           // file level; else directory level
constexpr uint32_t CLIENT_HISTORY_DONE_PENDING = 0x0200;  // history-done notice still owed
constexpr uint32_t CLIENT_STARTED = 0x0400;               // the history step has run
constexpr uint32_t CLIENT_THREAD_EXITED = 0x0800;         // thread ended idle; wake restarts it
constexpr uint32_t CLIENT_MARK_SELF = 0x1000;             // own events get EVENT_OWN_EVENT
// Some of its paths lie on a volume watched directory by directory: its teardown gives them up.
constexpr uint32_t CLIENT_DIR_WATCHES = 0x2000;

// Limits.
constexpr uint32_t CLIENT_TABLE_SLOTS = EVENT_CLIENT_SLOTS;  // clients in all: 512
constexpr int32_t CLIENT_MAX_PER_PID = 512;
constexpr uint32_t CLIENT_PID_TABLE_SLOTS = 512;  // processes with clients
constexpr int CLIENT_EXCLUDED_MAX = 8;
// A registered client's backlog (see clients/backlog.h): 4 MiB, records counted in full. That
// is some 25,000 events of 50-byte paths, 36,000 at most (under 300 KiB of slots): a whole
// `rm -rf` of a 10,000-entry tree fits even while the client gets no processor at all.
constexpr uint64_t CLIENT_BACKLOG_BYTES = 4 << 20;
// More pending than this wakes a client at once rather than at the end of its latency, however
// much more its backlog may hold: under a millisecond of a storm of 300,000 events a second,
// so that a burst goes out in batches as it comes instead of piling up for the latency, while
// ordinary changes still wait for it.
constexpr uint32_t CLIENT_BACKLOG_WAKE = 234;
// What all registered clients' backlogs hold together, past a floor each keeps: 16 clients
// that stop reading fill the pool, and a reading client then still holds some 800 events (a
// few milliseconds of a storm). At most 64 + 512 x 0.125 = 128 MiB in all.
constexpr uint64_t CLIENT_BACKLOGS_BYTES = 64 << 20;
constexpr uint64_t CLIENT_BACKLOG_FLOOR_BYTES = 128 << 10;

// A registered client's limits, with the pool every registered client shares.
backlog_limits client_backlog_registered();
// Beyond the limits above, so that no set of users can take the daemon from the others (root's
// and internal clients are never limited). The last CLIENT_ROOT_RESERVED table slots are root's;
// the others, the user slots, are shared. With `free` user slots still free and `mine` clients
// held by a non-root uid, the uid may take one more slot when free >= 1, mine is below its own
// limit (client_max_per_user, changeable at start-up), and either
//   mine < CLIENT_USER_FLOOR: a floor every user keeps while any user slot is free, so that no
//     number of other users shuts it out; or
//   mine < (free - 1 - CLIENT_NEWCOMER_RESERVE) / CLIENT_SHARE_DIVISOR: above its floor a user
//     holds at most a quarter of what stays free outside a reserve kept for newcomers' floors.
// Greedy users arriving one after another (limit 64, empty table): the first three get 64
// each, the 9th 17, the 33rd still its floor with 13 slots left free, and 240 users all get
// their floors. Whatever its limit, a user alone holds at most 89 (a quarter of the rest).
constexpr uint32_t CLIENT_PER_USER_DEFAULT = 64;
constexpr uint32_t CLIENT_ROOT_RESERVED = 32;
constexpr uint32_t CLIENT_USER_SLOTS = CLIENT_TABLE_SLOTS - CLIENT_ROOT_RESERVED;
constexpr uint32_t CLIENT_USER_FLOOR = 2;
constexpr uint32_t CLIENT_NEWCOMER_RESERVE = 32;
constexpr uint32_t CLIENT_SHARE_DIVISOR = 4;

// The clients a non-root uid may hold and still take a slot while `free` user slots are free,
// its own limit aside: 0 when none is free, else at least CLIENT_USER_FLOOR.
uint32_t user_slot_share(uint32_t free);
// Whether a non-root uid holding `mine` clients may take one more slot (the rule above).
bool user_may_take_slot(uint32_t mine, uint32_t free, uint32_t limit);

struct client_info {
    pthread_mutex_t lock;  // flags hand-over and the delivery thread's start and end
    pthread_cond_t cond;   // the delivery thread sleeps here; wake-ups signal it
    // Held by whoever takes events off the backlog and sends them: the delivery thread, except
    // while it waits for a wake-up, or the event thread (client_deliver_now), which only ever
    // tries it. Never taken while holding lock.
    pthread_mutex_t cycle_lock;
    // Under lock: a wake-up arrived since the delivery thread last waited. Kept so that a
    // signal sent while the thread is busy is not lost.
    uint32_t wake_pending;
    uint32_t device;     // 0: absolute paths; else the volume the paths are relative to
    int32_t num_paths;   // at least 1
    char** paths;        // as stored: "/" of a volume is "", ".../.docid" is ".docid"
    uint64_t last_wake;  // µs since the epoch of the last wake decision; event thread only
    std::atomic<uint64_t> dropped_id;    // first id lost since the last dropped notice; 0 = none
    std::atomic<uint64_t> last_id_sent;  // highest id handed to callback (flush answers it)
    std::atomic<uint64_t> history_done_id;
    // Delivery cycles (client_process_events) begun and ended, numbered from 1: a cycle that
    // began after a moment takes every event queued before it, so another thread waiting for
    // cycles_ended to pass cycles_begun as it read it knows those are handed to the callback.
    std::atomic<uint64_t> cycles_begun;
    std::atomic<uint64_t> cycles_ended;
    uint64_t latency;     // µs
    int32_t send_errors;  // under cycle_lock
    std::atomic<uint32_t> flags;
    uint32_t index;           // slot in client_table and bit in every client_map
    client_node* path_nodes;  // one per path, linking this client into its prefix headers
    client_callback callback;
    // The same delivery without any wait (a send that finds no room fails at once), or null.
    // Set before the delivery thread starts.
    client_callback callback_now;
    void* callback_ctx;  // the registration record, or the root volume's log state
    // Called with callback_ctx once the delivery thread has taken the client out of every
    // table (the request side's release of the registration); null for internal clients.
    void (*release)(void* ctx);
    uint64_t since_when;  // all ones: from now on, no history
    // Queued by the event thread (add_event_ref), taken off by the delivery thread.
    client_backlog backlog;
    uint32_t pid;
    uint32_t uid;
    uint32_t gid;
    char* user_name;                      // login name of uid, looked up by the delivery thread
    char* excluded[CLIENT_EXCLUDED_MAX];  // each ends in "/"; list ends at the first null
};

inline uint32_t client_num_pending(const client_info* fci) {
    return backlog_events(&fci->backlog);
}

struct pid_entry {
    uint32_t pid;  // 0 = free
    int32_t count;
};

// Empties client_table and pid_table (event thread start-up, and tests between cases).
void clear_client_tables();

// Makes a complete client record, reachable through client_table and the prefix table when
// it returns 0. Errors: EINVAL (several device-relative paths from a non-root uid), ENOMEM,
// ENOSPC (a limit; logged). The caller then starts the delivery thread.
int create_client_info(uint32_t pid, uint32_t device, const char* const* paths, int32_t num_paths,
                       const char* const* excluded, int32_t num_excluded, uint64_t latency,
                       backlog_limits backlog, uint64_t since_when, uint32_t flags,
                       client_callback callback, void* callback_ctx, uint32_t uid, uint32_t gid,
                       client_info** fci);

// Frees a record's memory (nodes, paths, exclusions, user name, backlog, condition, lock,
// record). The record must already be out of the tables and its backlog drained.
void free_client_info(client_info* fci);

// Lets go of every pending event: clears the client's bit on each and drops its reference.
// Only while no other thread takes from the backlog or queues into it: the client's teardown,
// or a tool that routes on the same thread.
void drain_client_backlog(client_info* fci);

// Notes that the event with this id, and possibly later ones, never reached the client: keeps
// the lowest such id not yet reported in dropped_id, then sets CLIENT_EVENTS_DROPPED, so that
// whoever sees the flag finds the id. Any thread.
void client_note_dropped(client_info* fci, uint64_t id);

// Under clients_lock. reserve: 0 or ENOSPC (logged; a non-root uid's refusals at most once a
// minute); release undoes it.
int reserve_client_slot(client_info* fci);
void release_client_slot(client_info* fci);
