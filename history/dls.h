// The per-volume log state (`dls`) of a logged volume: its log directory, the list of its log
// files, the writer's position and the table of names pending for the next flush.
//
// Lock order: dev_lock (volumes/dev_info.h), then lock, then fname_lock.
#pragma once

#include "common/limits.h"

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>

struct client_info;
struct dev_info;
struct fname_entry;

constexpr uint32_t DLS_DAMAGE_REMEMBERED = 16;

struct dls {
    uint64_t bytes_in_file;      // bytes credited to the current log file; 0: none open
    uint64_t last_event_id;      // highest id handed to this log; names new log files
    std::atomic<client_info*> fci;  // the disk logger's client record (same in every dls)
    uint32_t logger_queue_size;  // 8192 at creation
    uint32_t active;             // 0 after a failure that requires the history to restart
    int32_t num_files;           // used entries of file_ids
    int32_t max_files;           // allocated entries of file_ids
    uint64_t* file_ids;          // ids (names) of the log files, ascending
    pthread_rwlock_t lock;       // file_ids, num_files, buffer writes, appending, bytes_in_file
    uint16_t generation;         // raised by every removal of all log files
    uint16_t purged;             // 1 after a full removal, raised by a partial purge
    uint32_t appending;          // 1: the next buffer is appended to cur_file
    char log_dir[PATH_BUFFER_SIZE];
    dev_t log_dir_dev;  // the device log_dir was found on at start-up
    char cur_file[PATH_BUFFER_SIZE];
    pthread_rwlock_t fname_lock;  // the fname table
    fname_entry** fname_buckets;
    uint32_t fname_mask;
    uint32_t fname_too_large;
    uint32_t fname_filled;
    uint32_t fname_count;
    uint64_t fname_bytes;
    // Set by the disk logger while a flush of the table is under way: its names are then in
    // the files written so far and still in the table, and a replay that took both would give
    // them twice. Written before the flush's first buffer and after the table is emptied, so a
    // reader holding lock sees it whenever a file holds part of a flush.
    std::atomic<uint32_t> flushing;
    // The history was kept across a start that did not take over the previous daemon's kernel
    // queue: changes made while no daemon ran are unknown. The disk logger files a dropped
    // record for the volume before any new event, so replays across the restart say so.
    uint32_t gap_at_start;
    // Write failures of the log file writer: when one was last logged (monotonic ms; 0 never)
    // and how many came since without a line of their own. The writer's thread only.
    uint64_t failure_logged_ms;
    uint32_t failures_unlogged;
    // The last damaged or unreadable log files reported in the log (their ids), so that each
    // is logged once however many replays meet it. Any thread; slots are reused in turn.
    std::atomic<uint64_t> damage_reported[DLS_DAMAGE_REMEMBERED];
    std::atomic<uint32_t> damage_reported_next;
};

// Whether the damaged log file id of state is to be reported now: not among those reported
// lately. Two replays meeting it at once may both report it.
inline bool dls_first_damage_report(dls* state, uint64_t id) {
    for (const auto& slot : state->damage_reported) {
        if (slot.load(std::memory_order_relaxed) == id) {
            return false;
        }
    }
    uint32_t i = state->damage_reported_next.fetch_add(1, std::memory_order_relaxed);
    state->damage_reported[i % DLS_DAMAGE_REMEMBERED].store(id, std::memory_order_relaxed);
    return true;
}

// The histories' process-wide state. One instance, `histories`.
struct history_state {
    // The root volume's log state; also takes the events of volumes without a history. Set by
    // start-up before any client runs.
    dls* global_dls = nullptr;
    // 1 once the disk logger's thread exists; the history step waits for it.
    std::atomic<uint32_t> disk_logger_started{0};
    // Events filed since the histories were last stamped; disk logger thread only.
    uint64_t filed_since_stamp = 0;
    // The current event id when the id ceilings were last stored (the ceiling is this plus
    // DISK_LOGGER_ID_HEADROOM); the disk logger's thread only, once it runs.
    uint64_t ceiling_base = 0;
};
extern history_state histories;

// Name of the uuid file inside a log directory.
constexpr const char* DLS_UUID_FILE = "vantlesd-uuid";
// Name of the id ceiling file inside a log directory: an event id, as 16 hex digits and a
// newline, that no id handed out by the daemon that wrote it exceeds. A daemon killed with
// events numbered but not yet written leaves no trace of their ids in the log files; the next
// one resumes above this ceiling as well, so that ids never go back.
constexpr const char* DLS_IDS_FILE = "vantlesd-ids";

// "<log_dir>/<%.16llx id>" and "<log_dir>/vantlesd-uuid" into PATH_BUFFER_SIZE bytes; false
// (out truncated) when the path does not fit.
bool dls_log_file_path(const dls* state, uint64_t id, char* out);
bool dls_uuid_path(const dls* state, char* out);
bool dls_ids_path(const dls* state, char* out);

// Whether log_dir still leads to the device it was found on at start-up: 0, the errno of a
// failed look-up, or EXDEV. A volume unmounted under the daemon leaves its mount point showing
// what lies beneath (or another volume): a history is never written there.
int dls_log_dir_in_place(const dls* state);

// The id ceiling file of a history: stored in place (created on first use), and read back.
// store: 0 or errno. load: 0, ENOENT (no file) or EINVAL (unreadable, malformed).
int store_id_ceiling(const dls* state, uint64_t id);
int load_id_ceiling(const dls* state, uint64_t* id);

int create_dls(dev_info* di, void* arg = nullptr);  // iterate_devices callback; always 0
void check_vol_last_mod_time(dev_info* di, dls* state);

// A history is out of step with its volume when the volume changed DLS_SKEW_LIMIT seconds or
// more after the uuid file was last stamped, or when the volume was mounted that long ago and
// the stamp is not fresh (DLS_FRESH_STAMP). Times in seconds since the epoch.
constexpr int64_t DLS_SKEW_LIMIT = 120;
constexpr int64_t DLS_FRESH_STAMP = 6;
bool history_out_of_step(int64_t last_mod_time, int64_t mount_time, int64_t uuid_ctime,
                         int64_t now);

void remove_old_logs(dls* state, int take_lock);
// Empties the file list as a removal of every log file does (new generation, purged 1).
// Caller holds lock for writing or runs alone.
void dls_forget_all_files(dls* state);
void create_uuid_file(dev_info* di, dls* state);
int load_uuid_file(dev_info* di, dls* state);  // 0, 2 (no file) or 22 (bad file)

// Lists the directory open on dir_fd (consumed: closed in every case) through filter.
int get_dirlist(int dir_fd, int32_t* count, int32_t* capacity, uint64_t** ids,
                bool (*filter)(const char* name), uint64_t* smallest, uint64_t* largest);
bool is_hex_name(const char* name);
int compare_event_ids(const void* a, const void* b);  // for qsort: ascending u64
