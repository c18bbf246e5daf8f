// The start-up wait of the request side and the backends of the volume and history queries.
//
// The queries answer from the volume table that the event thread builds at start-up, and from
// each logged volume's log state. They hold dev_lock for reading for their whole work, and
// take a volume's log-state lock after it (reading for the time query, writing for purge), the
// same order as the disk logger. Before the table exists every query answers as a daemon
// without volumes.
#include "server/queries.h"

#include "common/limits.h"
#include "common/log.h"
#include "common/log_throttle.h"
#include "common/monotonic_clock.h"
#include "history/dls.h"
#include "history/last_event_id.h"
#include "history/log_format.h"
#include "intake/event_ids.h"
#include "intake/event_thread.h"
#include "server/server.h"
#include "volumes/dev_info.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint64_t PURGE_NO_BOUND = ~0ull;

const char* const UUID_TEXT_NO_DEV_INFO = "NO-UUID-NO-DEV-INFO";
const char* const UUID_TEXT_IGNORED = "NO-UUID-VOLUME-IS-IGNORED";
const char* const UUID_TEXT_UNKNOWN_DEVICE = "NO-UUID-UNKNOWN-DEVICE";

// The table is published after dev_lock is initialised, so a table means a usable lock.
bool volume_table_exists() {
    return volumes.dev_table.load() != nullptr;
}

// The history of the volume dev belongs to, or null when it keeps none. Under dev_lock.
dls* history_of(uint32_t dev) {
    dev_info* di = find_dev_info(dev);
    if (di == nullptr || (di->flags & DEV_NOT_LOGGED) != 0) {
        return nullptr;
    }
    return di->dls;
}

}  // namespace

namespace {

// The answer to a uuid question about device: the uuid of its own volume's history, or (keeper)
// of the history that keeps its events, which for a volume without one is the root volume's.
const char* uuid_answer(uint32_t device, bool keeper) {
    const dev_info* di = find_dev_info(device);
    if (di == nullptr) {
        return UUID_TEXT_NO_DEV_INFO;
    }
    if ((di->flags & DEV_NOT_LOGGED) != 0) {
        // Filed in the root volume's history, unless the daemon files nothing of it.
        const dev_info* root = find_dev_info(volumes.root_dev);
        bool filed = !(di->flags & DEV_LOG_DISABLED) && root && !(root->flags & DEV_NOT_LOGGED);
        if (!keeper || !filed || !root->dls) {
            return UUID_TEXT_IGNORED;
        }
        return root->uuid_text;
    }
    if (di->dev != device && !keeper) {
        return UUID_TEXT_UNKNOWN_DEVICE;  // the lookup fell back to the root volume
    }
    return keeper && !di->dls ? UUID_TEXT_NO_DEV_INFO : di->uuid_text;
}

void answer_uuid(uint32_t device, bool keeper, char* text) {
    if (!wait_for_startup() || !volume_table_exists()) {
        path_copy(text, UUID_TEXT_NO_DEV_INFO, VOLUME_UUID_TEXT_BUFFER);
        return;
    }
    vantle_rwlock_rdlock(&volumes.dev_lock);
    path_copy(text, uuid_answer(device, keeper), VOLUME_UUID_TEXT_BUFFER);
    vantle_rwlock_unlock(&volumes.dev_lock);
}

}  // namespace

void get_volume_uuid(uint32_t device, char* text) {
    answer_uuid(device, false, text);
}

void get_history_uuid(uint32_t device, char* text) {
    answer_uuid(device, true, text);
}

bool get_current_event_id(uint64_t* id) {
    if (!wait_for_startup()) {
        return false;
    }
    *id = current_event_id();
    return true;
}

void get_event_id_for_time(uint32_t device, int64_t time, uint64_t* id, uint32_t uid) {
    if (!wait_for_startup()) {
        return;
    }
    *id = 0;
    if (!volume_table_exists()) {
        return;
    }
    vantle_rwlock_rdlock(&volumes.dev_lock);
    dls* state = history_of(device);
    if (state == nullptr) {
        vantle_rwlock_unlock(&volumes.dev_lock);
        return;
    }
    // The disk logger grows file_ids under this lock; read it only while holding it.
    pthread_rwlock_rdlock(&state->lock);
    if (state->num_files == 0) {
        pthread_rwlock_unlock(&state->lock);
        vantle_rwlock_unlock(&volumes.dev_lock);
        return;
    }
    int32_t found = -1;
    for (int32_t i = state->num_files - 1; i >= 0; --i) {
        char path[PATH_BUFFER_SIZE];
        struct stat st;
        if (dls_log_file_path(state, state->file_ids[i], path) && lstat(path, &st) == 0 &&
            static_cast<uint64_t>(st.st_ctime) <= static_cast<uint64_t>(time) &&
            S_ISREG(st.st_mode) && st.st_size > 0) {
            found = i;
            break;
        }
    }
    const uint64_t now_ms = monotonic_ms();
    if (found <= 0) {
        // The oldest file is never used: what came before it is unknown.
        if (log_throttle_due(&server.early_time_logs, uid, now_ms)) {
            log_critical(
                "requested timestamp is prior to the earliest log file.  setting event-id to "
                "zero (uid %u)\n",
                uid);
        }
    } else {
        uint64_t last = 0;
        int err = get_last_event_id(state, state->file_ids[found], &last);
        if (err == 0) {
            *id = last;
        } else {
            *id = state->file_ids[found - 1];
            if (log_throttle_due(&server.unreadable_log_logs, uid, now_ms)) {
                log_critical(
                    "failed to get last id from log file %d so using last id == 0x%llx (ret "
                    "%d; %.16llx)\n",
                    found, static_cast<unsigned long long>(*id), err,
                    static_cast<unsigned long long>(state->file_ids[found]));
            }
        }
    }
    pthread_rwlock_unlock(&state->lock);
    vantle_rwlock_unlock(&volumes.dev_lock);
}

int32_t purge_events(uint32_t device, uint64_t bound) {
    if (!wait_for_startup() || !volume_table_exists()) {
        return -1;
    }
    vantle_rwlock_rdlock(&volumes.dev_lock);
    dev_info* di = find_dev_info(device);
    dls* state = history_of(device);
    if (state == nullptr) {
        vantle_rwlock_unlock(&volumes.dev_lock);
        return -1;
    }
    pthread_rwlock_wrlock(&state->lock);
    if (state->num_files == 0) {
        pthread_rwlock_unlock(&state->lock);
        vantle_rwlock_unlock(&volumes.dev_lock);
        return -1;
    }

    int32_t below = 0;  // entries below the bound, deleted or already gone
    int32_t deleted = 0;
    for (; below < state->num_files; ++below) {
        uint64_t id = state->file_ids[below];
        if (bound != PURGE_NO_BOUND && id >= bound) {
            break;
        }
        char path[PATH_BUFFER_SIZE];
        struct stat st;
        if (dls_log_file_path(state, id, path) && lstat(path, &st) == 0 && S_ISREG(st.st_mode)) {
            log_critical("    purge_events: deleting: %s", path);
            if (unlink(path) == 0) {
                ++deleted;
            }
        }
    }

    if (deleted > 0) {
        // The history lost events: give it a new identity.
        char uuid_file[PATH_BUFFER_SIZE];
        if (dls_uuid_path(state, uuid_file)) {
            unlink(uuid_file);
        }
        create_uuid_file(di, state);
    }

    // Every entry below the bound leaves the list, also those whose file was already missing.
    if (below >= state->num_files) {
        dls_forget_all_files(state);
    } else {
        int32_t remaining = state->num_files - below;
        memmove(state->file_ids, state->file_ids + below, remaining * sizeof(uint64_t));
        memset(state->file_ids + remaining, 0, (state->max_files - remaining) * sizeof(uint64_t));
        state->num_files = remaining;
        state->purged++;
    }
    pthread_rwlock_unlock(&state->lock);
    vantle_rwlock_unlock(&volumes.dev_lock);
    return 0;
}
