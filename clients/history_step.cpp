// The history step: waits for the intake to route what the kernel queued before the request,
// replays a volume's log files from the client's since-when id on, lets the disk logger catch
// up, reads the last file while the writer is kept out, and replays the pending names from
// memory. Runs on the client's delivery thread before live delivery.
//
// Lock order: a dls's lock (read) before its fname_lock (read); the lock is never held across
// a wake-up of the disk logger or a wait for it.
#include "clients/history_step.h"

#include "clients/client_info.h"
#include "clients/replay.h"
#include "clients/wakeup.h"
#include "common/limits.h"
#include "common/log.h"
#include "common/log_throttle.h"
#include "common/monotonic_clock.h"
#include "common/poll_until.h"
#include "history/dls.h"
#include "history/pending_names.h"
#include "intake/event_ids.h"
#include "intake/events.h"
#include "intake/producer.h"
#include "platform/thread_identity.h"
#include "volumes/dev_info.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

namespace {

bool going_away(const client_info* fci) {
    return fci->flags.load(std::memory_order_acquire) & CLIENT_GOING_AWAY;
}

uint32_t history_stamp(const dls* state) {
    return (uint32_t)state->generation | ((uint32_t)state->purged << 16);
}

// Whether a purge or a removal of every file changed the file list since stamp was taken.
bool history_moved(dls* state, uint32_t stamp) {
    pthread_rwlock_rdlock(&state->lock);
    bool moved = history_stamp(state) != stamp;
    pthread_rwlock_unlock(&state->lock);
    return moved;
}

// The disk logger's record of the volume, or null once the logger is gone. Read racily on
// purpose: it is set once at start and cleared only at shutdown.
client_info* logger_of(const dls* state) {
    return state->fci.load(std::memory_order_acquire);
}

bool mount_point_gone(const dev_info* v) {
    struct stat st;
    return stat(v->mount_point, &st) != 0 || (uint32_t)st.st_dev != v->dev;
}

void replay_pending_names(dev_info* v, client_info* fci, uint8_t* page, uint32_t length) {
    replay_take_identity(fci, "scan_for_old_events");
    uint32_t consumed = 0;
    if (process_disk_event_buf(v, fci, page, length, 0, fci->since_when, &consumed, nullptr) != 0) {
        log_critical("scan_for_old_events: error processing in-memory disk bound event buffer");
    }
    if (fci->uid != 0) {
        thread_restore_credentials();
    }
}

// Waits until the disk logger has handed every event routed so far to its callback (filed it
// in a table of pending names, or written it): a cycle of its that began after now ended.
// False when that took over HISTORY_CATCH_UP_MS.
bool logger_filed_everything_routed() {
    client_info* logger = histories.global_dls ? logger_of(histories.global_dls) : nullptr;
    if (!logger) {
        return true;  // no logger, nothing to wait for (and nothing to replay from memory)
    }
    uint64_t begun = logger->cycles_begun.load(std::memory_order_acquire);
    client_wakeup(logger);
    return poll_until(
        [&] {
            client_info* now = logger_of(histories.global_dls);
            return !now || now->cycles_ended.load(std::memory_order_acquire) > begun;
        },
        HISTORY_CATCH_UP_MS, HISTORY_FILED_POLL_US);
}

// Where the replay of a volume's files stands.
struct file_walk {
    uint64_t from;            // the id the walk started at
    int32_t next;             // index of the next file to read
    int32_t files_at_start;   // files listed when the last file was last looked at
    uint32_t stamp;           // history_stamp when the walk started
    bool read_any;
    uint64_t after_last_read;  // the id naming the file after the last one read
};

void start_walk(dls* state, file_walk* w) {
    pthread_rwlock_rdlock(&state->lock);
    w->next = state->num_files > 0 ? history_start_file(state->file_ids, state->num_files, w->from)
                                   : 0;
    w->files_at_start = state->num_files;
    w->stamp = history_stamp(state);
    pthread_rwlock_unlock(&state->lock);
    w->read_any = false;
    w->after_last_read = 0;
}

enum closed_files_outcome : uint8_t {
    CLOSED_FILES_DONE,          // only the last file is left (or the client is going away)
    CLOSED_FILES_RESTART,       // a purge moved the list: start_walk again from w->from
    CLOSED_FILES_VOLUME_GONE,   // its mount point went away under the replay
};

// Replays every file from w->next but the last: the disk logger appends only to the last one.
closed_files_outcome replay_closed_files(dev_info* v, client_info* fci, dls* state, file_walk* w,
                                         char* path) {
    while (!going_away(fci)) {
        pthread_rwlock_rdlock(&state->lock);
        uint32_t now = history_stamp(state);
        if ((now & 0xFFFF) != (w->stamp & 0xFFFF)) {
            // Every file was removed: what is listed now is a new history.
            w->stamp = now;
            w->next = 0;
            w->files_at_start = 0;
            pthread_rwlock_unlock(&state->lock);
            return CLOSED_FILES_DONE;
        }
        if (now != w->stamp) {
            // A purge moved the list; start again after the last file read.
            pthread_rwlock_unlock(&state->lock);
            if (w->read_any) {
                w->from = w->after_last_read;
            }
            return CLOSED_FILES_RESTART;
        }
        if (w->next >= state->num_files - 1) {
            pthread_rwlock_unlock(&state->lock);
            return CLOSED_FILES_DONE;
        }
        if (state->flushing.load()) {
            // A flush may have closed this file with part of its names, still pending too.
            pthread_rwlock_unlock(&state->lock);
            usleep(HISTORY_CATCH_UP_POLL_US);
            continue;
        }
        bool fits = dls_log_file_path(state, state->file_ids[w->next], path);
        w->after_last_read = state->file_ids[w->next + 1];
        pthread_rwlock_unlock(&state->lock);
        w->next++;
        w->read_any = true;
        int err = fits ? read_disk_log(v, fci, path, fci->since_when) : 0;
        if (err != 0 && mount_point_gone(v)) {
            log_critical("scan_for_old_events_callback: mount point %s appears to be gone!",
                         v->mount_point);
            return CLOSED_FILES_VOLUME_GONE;
        }
        if (err != 0 && !history_moved(state, w->stamp)) {
            // Not removed by a purge, yet unreadable: its part of the history is lost.
            replay_lost_file(v, fci, path, strerror(err), fci->since_when);
        }
    }
    return CLOSED_FILES_DONE;
}

// Lets the disk logger file what its backlog holds, so that the last file and the pending names
// are as recent as can be; at most HISTORY_CATCH_UP_POLLS polls per volume in all.
void let_logger_catch_up(dls* state, int* polls) {
    client_info* logger = logger_of(state);
    if (logger) {
        client_wakeup(logger);
    }
    while ((logger = logger_of(state)) && client_num_pending(logger) != 0 &&
           *polls < HISTORY_CATCH_UP_POLLS) {
        usleep(HISTORY_CATCH_UP_POLL_US);
        (*polls)++;
    }
}

// Called holding state->lock for reading (the writer kept out of the last file) and the reader
// slot in last; releases both. The last file and the pending names are taken together while
// the writer is kept out, so that no name is in neither; they are replayed after the lock is
// released, so that a client slow to take them cannot hold up the disk logger, and after the
// reader slot went back (load_disk_log), so that it cannot hold up other clients' replays.
void replay_last_file(dev_info* v, client_info* fci, dls* state, int32_t next,
                      disk_log_image* last, char* path) {
    if (!logger_of(state) || going_away(fci)) {
        pthread_rwlock_unlock(&state->lock);
        free_disk_log_image(last);
        return;
    }
    bool want_last = state->num_files > 0 && next <= state->num_files - 1 &&
                     dls_log_file_path(state, state->file_ids[state->num_files - 1], path);
    int err = want_last ? load_disk_log(path, last) : 0;
    uint8_t* page = nullptr;
    uint32_t length = 0;
    int copied = copy_pending_names(state, &page, &length);
    pthread_rwlock_unlock(&state->lock);
    if (want_last && logger_of(state)) {
        // Read under the lock: no purge can have removed it.
        if (err == 0) {
            replay_disk_log_image(v, fci, last, path, fci->since_when);
        } else {
            replay_lost_file(v, fci, path, strerror(err), fci->since_when);
        }
    }
    free_disk_log_image(last);
    if (page && logger_of(state)) {
        replay_pending_names(v, fci, page, length);
    }
    free(page);
    if (copied != 0 && logger_of(state)) {
        // Pending names the copy could not take: the current id is at or above every one.
        replay_dropped_notice(v, fci, current_event_id(), fci->since_when);
    }
}

}  // namespace

int32_t history_start_file(const uint64_t* ids, int32_t count, uint64_t id) {
    int32_t lo = 0;
    int32_t hi = count - 1;
    while (lo <= hi) {
        int32_t mid = lo + (hi - lo) / 2;
        if (ids[mid] == id) {
            return mid;
        }
        if (ids[mid] < id) {
            lo = mid + 1;
        } else {
            hi = mid - 1;
        }
    }
    // hi is now the last file named below id, -1 when id precedes them all.
    return hi < 0 ? 0 : hi;
}

int scan_for_old_events_callback(dev_info* v, void* arg) {
    auto* fci = static_cast<client_info*>(arg);
    if (fci->device != 0 && fci->device != v->dev) {
        return 0;
    }
    dls* state = v->dls;
    if (!state || !logger_of(state)) {
        log_critical("scan_old: bailing out because device mounted @ %s has dls %p and dls->fci %p",
                     v->mount_point, static_cast<void*>(state), nullptr);
        return 0;
    }

    file_walk walk;
    walk.from = fci->since_when;
    int catch_up_polls = 0;
    char path[PATH_BUFFER_SIZE];
    disk_log_image last;
    last.uid = fci->uid;
    start_walk(state, &walk);
    for (;;) {
        closed_files_outcome outcome = replay_closed_files(v, fci, state, &walk, path);
        if (outcome == CLOSED_FILES_VOLUME_GONE) {
            return 0;
        }
        if (outcome == CLOSED_FILES_RESTART) {
            start_walk(state, &walk);
            continue;
        }
        let_logger_catch_up(state, &catch_up_polls);

        // The slot for the last file is taken before the lock: waiting for one under the lock
        // would keep the writer out for as long as other replays take.
        take_reader_slot(&last);
        pthread_rwlock_rdlock(&state->lock);
        bool flushing = state->flushing.load();
        if ((state->num_files > walk.files_at_start || flushing) && !going_away(fci)) {
            // New files to replay first, or a flush half done: its names are in the last file
            // and still pending, so that taking both now would replay them twice.
            walk.files_at_start = state->num_files;
            pthread_rwlock_unlock(&state->lock);
            free_disk_log_image(&last);  // never two slots at once
            if (flushing)
                usleep(HISTORY_CATCH_UP_POLL_US);
            continue;
        }
        break;  // keeping the lock: the writer stays out of the last file
    }
    replay_last_file(v, fci, state, walk.next, &last, path);
    return 0;
}

int scan_for_old_events(client_info* fci) {
    if (fci->since_when == EVENT_ID_WRAP) {
        return 0;
    }
    int result = 0;
    bool started = histories.disk_logger_started.load() != 0;
    for (int i = 0; !started && i < HISTORY_LOGGER_START_POLLS; i++) {
        if (going_away(fci)) {
            started = true;  // cut short: the notice decides what happens
            break;
        }
        usleep(HISTORY_LOGGER_START_POLL_US);
        started = histories.disk_logger_started.load() != 0;
    }
    if (started) {
        // Changes made just before the request may still wait in the kernel's queue or in the
        // intake's buffers (a restart's backlog, say), or in the disk logger's backlog: they
        // belong in the replay. A replay that cannot be sure of them says so.
        intake_sync(HISTORY_INTAKE_SYNC_MS);
        if (!logger_filed_everything_routed() && fci->callback && !going_away(fci)) {
            log_critical("scan_for_old_events: the disk logger did not catch up in %d ms",
                         HISTORY_CATCH_UP_MS);
            uint32_t flags = EVENT_USER_DROPPED;
            uint64_t id = fci->since_when + 1;
            const char* first = fci->paths[0];
            int32_t length = (int32_t)strlen(first) + 1;
            fci->callback(fci->callback_ctx, 1, &length, &first, &flags, nullptr, &id);
        }
        result = iterate_devices(scan_for_old_events_callback, fci);
    } else {
        log_critical("scan_for_old_events: disk logger never started up!");
    }

    if (fci->callback && !going_away(fci)) {
        uint64_t none = 0;
        fci->history_done_id.compare_exchange_strong(none, fci->since_when);
        const char* first = fci->paths[0];
        int32_t length = (int32_t)strlen(first) + 1;
        uint32_t flags = HISTORY_DONE;
        uint64_t id = fci->history_done_id.load();
        int32_t r = fci->callback(fci->callback_ctx, 1, &length, &first, &flags, nullptr, &id);
        if (r != 0) {
            if (r == EPIPE) {
                pthread_mutex_lock(&fci->lock);
                fci->flags.fetch_or(CLIENT_GOING_AWAY, std::memory_order_acq_rel);
                pthread_mutex_unlock(&fci->lock);
            }
            static shared_log_throttle slow_uids;  // a client that never reads: a user's choice
            if (log_throttle_due(&slow_uids, fci->uid, monotonic_ms())) {
                log_critical("failed sending HISTORY_DONE (%d) to pid %d\n", r, (int)fci->pid);
            }
            fci->flags.fetch_or(CLIENT_HISTORY_DONE_PENDING, std::memory_order_acq_rel);
            result = r;
        }
    }
    return result;
}
