// The disk logger: its internal client, the filing of event batches into the pending-name
// tables (stored path forms, the id-wrap restart, the flush at DISK_LOGGER_FLUSH_NAMES
// names), the flush itself, and the per-volume shutdown.
//
// Everything here but start_disk_logger runs on the disk logger's delivery thread, or on the
// event thread after that thread has ended (cleanup_dls).
#include "history/disk_logger.h"

#include "common/log.h"
#include "common/thread_role.h"
#include "history/dls.h"
#include "history/fname_table.h"
#include "history/log_buffer.h"
#include "history/log_writer.h"
#include "intake/event_flags.h"
#include "intake/event_ids.h"
#include "intake/event_thread.h"
#include "intake/events.h"
#include "platform/volume_times.h"
#include "volumes/dev_info.h"
#include "volumes/vantle_rwlock.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

// Stores the ceiling in the history of di, if it keeps one. An iterate_devices callback.
int store_ceiling_of(dev_info* di, void* arg) {
    dls* state = di->dls;
    if (state && !(di->flags.load(std::memory_order_relaxed) & DEV_NOT_LOGGED)) {
        uint64_t ceiling = *static_cast<const uint64_t*>(arg);
        int err = store_id_ceiling(state, ceiling);
        if (err != 0 && err != EROFS) {
            log_critical("disk logger: failed to store the id ceiling in %s (%s)", state->log_dir,
                         strerror(err));
        }
    }
    return 0;
}

// Moves the ceilings on once the counter has used DISK_LOGGER_ID_STEP of the headroom (or went
// round: the unsigned distance is then huge). Holding dev_lock, the caller passes true and the
// volume table is walked directly.
void keep_id_ceiling(bool dev_lock_held) {
    uint64_t now = current_event_id();
    if (now - histories.ceiling_base < DISK_LOGGER_ID_STEP) {
        return;
    }
    histories.ceiling_base = now;
    uint64_t ceiling = now + DISK_LOGGER_ID_HEADROOM;
    if (!dev_lock_held) {
        iterate_devices(store_ceiling_of, &ceiling);
        return;
    }
    dev_table_t* table = volumes.dev_table.load(std::memory_order_acquire);
    for (int32_t i = 0; table && i < table->count; i++) {
        store_ceiling_of(table->entries[i], &ceiling);
    }
}

// Sets the times of the volume's uuid file to now and records its counters: the next start
// trusts a history whose stamp is fresh (a quick restart, even after a crash) and whose volume
// has not changed since.
void stamp_history(const dls* state) {
    char uuid_path[PATH_BUFFER_SIZE];
    if (dls_uuid_path(state, uuid_path) && dls_log_dir_in_place(state) == 0) {
        volume_stamp(uuid_path);
    }
}

void stamp_every_history() {
    iterate_devices(
        [](dev_info* di, void*) {
            if (di->dls) {
                stamp_history(di->dls);
            }
            return 0;
        },
        nullptr);
}

// While changes come in, the stamps are kept fresh (at most DISK_LOGGER_STAMP_SECONDS old);
// an idle history keeps its last stamp.
void stamp_histories_when_due(bool idle) {
    static std::chrono::steady_clock::time_point last_stamp;
    auto now = std::chrono::steady_clock::now();
    if (now - last_stamp < std::chrono::seconds(DISK_LOGGER_STAMP_SECONDS) ||
        (histories.filed_since_stamp == 0 && idle)) {
        return;
    }
    last_stamp = now;
    histories.filed_since_stamp = 0;
    stamp_every_history();
}

}  // namespace

void disk_logger_tick(bool idle) {
    VANTLE_ASSERT_THREAD(THREAD_ROLE_DISK_LOGGER);
    keep_id_ceiling(false);
    stamp_histories_when_due(idle);
}

namespace {

// One flush of a volume's pending names: the buffer being filled, and what the flush lost.
struct flush_ctx {
    log_write_ctx write;
    uint64_t buffer_top;  // the highest id in the buffer being filled
    uint64_t lost_top;    // the highest id of a name lost by this flush; 0: none lost
    int lost;             // why the last buffer lost was lost
};

void start_buffer(flush_ctx* ctx, uint8_t* area) {
    log_buffer_start(&ctx->write.buffer, area);
    ctx->buffer_top = 0;
}

void write_buffer(flush_ctx* ctx, int force) {
    bool names = ctx->write.buffer.fill > DISK_LOG_HEADER_SIZE;
    int err = write_log_buffer(ctx->write.di, ctx->write.dls, &ctx->write, force);
    if (err != 0 && names) {
        ctx->lost = err;
        ctx->lost_top = std::max(ctx->lost_top, ctx->buffer_top);
    }
}

// Adds one record for e to the buffer, writing the buffer out first when it is full. 0.
int append_fname_to_buffer(fname_entry* e, void* arg) {
    auto* ctx = static_cast<flush_ctx*>(arg);
    log_buffer_builder* b = &ctx->write.buffer;
    uint32_t length = (uint32_t)strlen(e->name);
    if (log_buffer_append_name(b, e->name, length, e->event_id, e->flags) == ENOSPC) {
        write_buffer(ctx, 0);
        start_buffer(ctx, b->area);
        // An empty buffer takes any name: the intake's paths are far shorter than a buffer.
        log_buffer_append_name(b, e->name, length, e->event_id, e->flags);
    }
    ctx->buffer_top = std::max(ctx->buffer_top, e->event_id);
    return 0;
}

// Writes every pending name of state's table into the volume's history (the last buffer
// ends the log file) and empties the table. Names the history could not take leave a gap
// that says so: a dropped record for the volume, as high as the highest id lost, pending
// for the next flush (and replayed from memory until then), so that every replay from
// before the loss gets a dropped notice. Returns 0, the errno that lost names, or ENOMEM when
// no buffer area could be had (the names then stay for a later flush).
int flush_names(dev_info* di, dls* state) {
    auto* area = static_cast<uint8_t*>(malloc(DISK_LOG_BUFFER_SIZE));
    if (!area) {
        return ENOMEM;
    }
    flush_ctx ctx = {{di, state, {}}, 0, 0, 0};
    start_buffer(&ctx, area);
    state->flushing.store(1, std::memory_order_seq_cst);
    iterate_own_fnames_sorted(state, append_fname_to_buffer, &ctx);
    write_buffer(&ctx, 1);
    free(area);
    clear_fname_table(state);
    if (ctx.lost_top != 0) {
        fname_record(state, "", 1, ctx.lost_top, EVENT_USER_DROPPED);
    }
    state->flushing.store(0, std::memory_order_seq_cst);
    return ctx.lost_top != 0 ? ctx.lost : 0;
}

// The id counter went round: the volume's history no longer orders by id, so it starts over.
void restart_wrapped_history(dev_info* di, dls* state) {
    log_critical("event id's wrapped for volume %s", di->mount_point);
    clear_fname_table(state);
    remove_old_logs(state, 1);
    state->appending = 0;
    state->last_event_id = 0;
    create_uuid_file(di, state);
    di->flags.fetch_and(~DEV_IDS_WRAPPED, std::memory_order_relaxed);
}

// The stored form of a path of volume di: relative to the mount point ("/mnt/v/a/b" on a
// volume at "/mnt/v" is "a/b"), and document-id paths without their leading "/". Returns the
// number of leading bytes to drop.
size_t stored_form_cut(const dev_info* di, const char* path) {
    if (strncmp(path, "/.docid/", 8) == 0) {
        return 1;
    }
    size_t i = 0;
    for (uint32_t slashes = 0; path[i] != '\0' && slashes < di->depth; i++) {
        if (path[i] == '/') {
            slashes++;
        }
    }
    return i;
}

// The path length to record, with its NUL; a caller's length that missed the NUL is
// corrected and logged.
uint32_t checked_length(const char* path, int32_t given) {
    if (given <= 0) {
        return (uint32_t)strlen(path) + 1;
    }
    size_t len = (size_t)given;
    if (path[len - 1] == '\0') {
        return (uint32_t)len;
    }
    if (path[len] != '\0') {
        log_critical("add_fname: path <<%s>> has len %zd but no trailing nul char!", path,
                     (ssize_t)len);
        return (uint32_t)len;
    }
    log_critical("add_fname: path <<%s>> has len %zd but should be +1!", path, (ssize_t)len);
    return (uint32_t)len + 1;
}

void file_one_event(const char* path, int32_t length, uint32_t flags, uint32_t device,
                    uint64_t id) {
    dls* state = histories.global_dls;
    dev_info* di = find_dev_info(device);
    bool may_flush = false;
    if (di) {
        // The event thread may mark the volume wrapped at any time.
        uint32_t dev_flags = di->flags.load(std::memory_order_relaxed);
        if (dev_flags & DEV_LOG_DISABLED) {
            return;
        }
        if (!(dev_flags & DEV_NOT_LOGGED) && di->dls) {
            state = di->dls;
        }
        if (!(dev_flags & DEV_NOT_LOGGED)) {
            if (dev_flags & DEV_IDS_WRAPPED) {
                restart_wrapped_history(di, state);
            }
            if (device == di->dev) {
                size_t cut = stored_form_cut(di, path);
                path += cut;
                length -= (int32_t)cut;
            }
            may_flush = true;
        }
    }
    if (!state) {
        return;
    }
    if (id > state->last_event_id) {
        state->last_event_id = id;
    }
    uint32_t len = checked_length(path, length);
    fname_record(state, path, len, id, flags);
    if (state->fname_count < DISK_LOGGER_FLUSH_NAMES) {
        return;
    }
    // The names of volumes that keep no history wait in the root volume's table. They flush
    // it too once it is full, into the root volume's history: otherwise a storm of new names
    // on such a volume (a tmpfs, say) would grow the table without bound until the next
    // change on the root volume.
    dev_info* flush_di = may_flush ? di : find_dev_info(volumes.root_dev);
    if (!flush_di || flush_di->dls != state) {
        return;
    }
    if (flush_names(flush_di, state) == ENOMEM) {
        log_critical("could not allocate buffer for logging file names!\n");
    }
}

}  // namespace

int32_t add_fname(void*, int32_t count, const int32_t* lengths, const char* const* paths,
                  const uint32_t* flags, const uint32_t* devices, const uint64_t* ids) {
    VANTLE_ASSERT_THREAD(THREAD_ROLE_DISK_LOGGER);
    if (count <= 0) {
        return 0;
    }
    histories.filed_since_stamp += (uint64_t)count;
    vantle_rwlock_rdlock(&volumes.dev_lock);
    keep_id_ceiling(true);
    for (int32_t i = 0; i < count; i++) {
        if (flags[i] & EVENT_USER_DROPPED) {
            // Its backlog overflowed: the history misses changes, and says so with this record.
            log_critical("disk logger: events lost from id 0x%llx on; the history has a gap",
                         (unsigned long long)ids[i]);
        }
        file_one_event(paths[i], lengths[i], flags[i], devices ? devices[i] : 0, ids[i]);
    }
    vantle_rwlock_unlock(&volumes.dev_lock);
    // Between batches too, not only between cycles: one cycle of a storm on a slow machine can
    // outlast the stamp's freshness, and a daemon killed in it would lose its history.
    stamp_histories_when_due(false);
    return 0;
}

int flush_fname_table(dev_info* di) {
    return di->dls ? flush_names(di, di->dls) : 0;
}

int cleanup_dls(dev_info* di, void*) {
    dls* state = di->dls;
    if (!state) {
        return 0;
    }
    if (!lifecycle.shutting_down.load() && state == histories.global_dls) {
        return 0;
    }
    if (!(di->flags & DEV_IS_ROOT) && state == histories.global_dls) {
        log_critical(
            "DANGER! trying to cleanup the global dls for something that is not the root fs!");
        return 0;
    }
    int lost = flush_fname_table(di);

    stamp_history(state);
    char uuid_path[PATH_BUFFER_SIZE];
    char ids_path[PATH_BUFFER_SIZE];
    if (lost != 0 && lost != ENOMEM && dls_uuid_path(state, uuid_path) &&
        dls_log_dir_in_place(state) == 0) {
        // The gap of the last flush is recorded in memory only. Without its uuid file the
        // history is given up at the next start rather than trusted whole.
        log_critical("disk logger: the last names for %s could not be written (%s); its history "
                     "starts anew at the next start",
                     state->log_dir, strerror(lost));
        unlink(uuid_path);
    }
    if (!(di->flags & DEV_LOG_DIR_UNTRUSTED)) {
        // Nothing is numbered any more: the next daemon may go on right after the last id.
        uint64_t last = current_event_id();
        store_ceiling_of(di, &last);
    } else if (dls_uuid_path(state, uuid_path) && dls_ids_path(state, ids_path)) {
        remove_old_logs(state, 1);
        unlink(uuid_path);
        unlink(ids_path);
        if (rmdir(state->log_dir) != 0) {
            log_critical("unmounting: failed to remove log dir %s (%s)", state->log_dir,
                         strerror(errno));
        }
    }
    return 0;
}

namespace {

// Before the disk logger takes any event: a dropped record, with the first id of this run, in
// every history kept across a start that could not see what changed while no daemon ran.
int file_start_gap(dev_info* di, void*) {
    dls* state = di->dls;
    if (!state || !state->gap_at_start) {
        return 0;
    }
    state->gap_at_start = 0;
    uint64_t id = next_event_id();
    log_error(
        "history of %s kept across the restart; changes made while no daemon ran are "
        "unknown (dropped record at id 0x%llx)",
        di->mount_point, (unsigned long long)id);
    vantle_rwlock_rdlock(&volumes.dev_lock);
    file_one_event(di->mount_point, 0, EVENT_USER_DROPPED, di->dev, id);
    vantle_rwlock_unlock(&volumes.dev_lock);
    return 0;
}

}  // namespace

int prepare_disk_logger() {
    if (!histories.global_dls) {
        log_critical("Failed to create disk logger client.");
        return EINVAL;
    }
    iterate_devices(file_start_gap, nullptr);
    // The kernel watch is in place and every gap is on record: from here on each history
    // accounts for its volume. Stamped now, a daemon that dies before its first busy tick (a
    // crash loop) leaves its successor a fresh stamp, not its predecessor's aging one.
    stamp_every_history();
    // Before the consumer numbers its first event (it starts after the logger does).
    histories.ceiling_base = current_event_id();
    uint64_t ceiling = histories.ceiling_base + DISK_LOGGER_ID_HEADROOM;
    iterate_devices(store_ceiling_of, &ceiling);
    return 0;
}

void attach_disk_logger(client_info* fci) {
    histories.global_dls->fci.store(fci, std::memory_order_release);
    iterate_devices(
        [](dev_info* di, void* arg) {
            if (di->dls && !di->dls->fci.load(std::memory_order_acquire)) {
                di->dls->fci.store(static_cast<client_info*>(arg), std::memory_order_release);
            }
            return 0;
        },
        fci);
}

void disk_logger_running() {
    // A sequentially consistent store is the full barrier here: everything set up before is
    // visible to whoever sees the flag (a separate fence does not build with ThreadSanitizer).
    histories.disk_logger_started.store(1, std::memory_order_seq_cst);
}
