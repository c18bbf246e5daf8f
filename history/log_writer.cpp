// The log file writer: one complete gzip member per buffer, compressed in memory and written
// with one write, the file closed at once, so a crash loses at most the buffer being written
// and no file stays open between buffers. A file takes the buffers of one flush, or up to
// DISK_LOG_FILE_CREDIT credited bytes.
//
// A write that fails leaves the history as it was: a file appended to is cut back to its old
// size (a torn member would hide every later one from readers), a file made for the buffer is
// removed and forgotten. The caller learns why the buffer's names were lost and records the
// gap (history/disk_logger.cpp); the history before and after it stays good.
//
// Lock order: the caller may hold dev_lock, never fname_lock; state->lock is taken here.
#include "history/log_writer.h"

#include "common/limits.h"
#include "common/log.h"
#include "common/monotonic_clock.h"
#include "history/dls.h"
#include "history/log_buffer.h"
#include "intake/event_ids.h"
#include "platform/files.h"
#include "platform/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int LOG_WRITER_NAME_RETRIES = 100;  // so at most 101 names are tried
constexpr int32_t LOG_WRITER_FILE_IDS_STEP = 100;
// A failing volume is reported at once, then at most this often while it keeps failing.
constexpr uint64_t LOG_WRITER_REPORT_MS = 60000;
constexpr const char* LOG_WRITER_DEV_NULL = "/dev/null";

// The stand-in for an unusable log file: what is written to it is lost, and the caller is told.
// -1 (after logging) when even that fails.
int open_dev_null(dls* state) {
    int fd = open(LOG_WRITER_DEV_NULL, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        log_critical("disk logger: can't even open /dev/null? (%s)", strerror(errno));
        state->active = 0;
    }
    return fd;
}

// Opens cur_file (appending) or creates the next free name above last_event_id into cur_file.
// *id gets the id of the file. Returns the descriptor or -1 with errno set.
int open_output(dls* state, uint64_t* id) {
    for (int retries = 0;; ++retries) {
        int fd;
        if (state->appending == 1) {
            fd = open(state->cur_file, O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
        } else {
            *id = state->last_event_id + 1;
            if (!dls_log_file_path(state, *id, state->cur_file)) {
                errno = ENAMETOOLONG;
                return -1;
            }
            fd = open_protected_create(state->cur_file, O_RDWR | O_TRUNC, 0600);
        }
        if (fd >= 0 || errno != EEXIST || retries >= LOG_WRITER_NAME_RETRIES) {
            return fd;
        }
        state->last_event_id++;
    }
}

// Appends id to file_ids, growing the list by LOG_WRITER_FILE_IDS_STEP entries when full.
// Caller holds state->lock for writing. The id is lost when the list cannot grow.
void record_file(dls* state, uint64_t id) {
    if (state->num_files >= state->max_files) {
        int32_t grown = state->max_files + LOG_WRITER_FILE_IDS_STEP;
        auto* ids = static_cast<uint64_t*>(calloc(grown, sizeof(uint64_t)));
        if (ids == nullptr) {
            return;
        }
        if (state->num_files > 0) {
            memcpy(ids, state->file_ids, state->num_files * sizeof(uint64_t));
        }
        free(state->file_ids);
        state->file_ids = ids;
        state->max_files = grown;
    }
    state->file_ids[state->num_files++] = id;
}

// True when path names an entry directly or deeper inside dir.
bool inside_dir(const char* path, const char* dir) {
    size_t n = strlen(dir);
    return strncmp(path, dir, n) == 0 && path[n] == '/';
}

// Whether a write failure of state is to be logged now: the first of a spell at once, then
// one a minute, each saying how many failures went unreported in between.
bool failure_due(dls* state, uint32_t* unreported = nullptr) {
    uint64_t now = monotonic_ms();
    if (state->failure_logged_ms != 0 && now - state->failure_logged_ms < LOG_WRITER_REPORT_MS) {
        state->failures_unlogged++;
        return false;
    }
    if (unreported) {
        *unreported = state->failures_unlogged;
    }
    state->failure_logged_ms = now;
    state->failures_unlogged = 0;
    return true;
}

// What an errno of a failed write means for the history, for the log.
const char* failure_kind(int err) {
    switch (err) {
    case ENOSPC:
    case EDQUOT:
        return "the volume is full";
    case EROFS:
        return "the volume is read-only";
    case EIO:
        return "an I/O error";
    case EXDEV:
        return "the log directory is no longer in place";
    default:
        return "the log file could not be written";
    }
}

// Takes back the file made for a buffer whose write failed: it holds nothing (the write cut
// it back), and an empty file would read as a damaged one. Under state->lock for writing.
void forget_new_file(dls* state, uint64_t id) {
    unlink(state->cur_file);
    if (state->num_files > 0 && state->file_ids[state->num_files - 1] == id) {
        state->num_files--;
    }
}

}  // namespace

int open_log_file(dls* state, int take_lock, unique_fd* out, uint64_t* out_id) {
    if (state->last_event_id == 0) {
        state->last_event_id = current_event_id();
    }

    uint64_t id = 0;
    unique_fd fd;
    if (dls_log_dir_in_place(state) != EXDEV) {
        fd.reset(open_output(state, &id));
    } else {
        // The volume is gone from under its mount point: what shows there now is not the
        // history's to fill. The file is named as it would have been, so the id stays taken.
        if (state->appending != 1) {
            id = state->last_event_id + 1;
            dls_log_file_path(state, id, state->cur_file);
        }
        errno = EXDEV;
    }
    if (fd.valid()) {
        struct stat st;
        bool examined = fstat(fd.get(), &st) == 0;
        if (!examined || !S_ISREG(st.st_mode)) {
            int err = examined ? EINVAL : errno;
            fd.reset();
            errno = err;
        }
    }
    int lost = 0;
    if (!fd.valid()) {
        lost = errno ? errno : EIO;
        if (failure_due(state)) {
            log_error("disk logger: failed to open output file %s (%s). mount point %s",
                      state->cur_file, strerror(lost), state->log_dir);
        }
        fd.reset(open_dev_null(state));
        if (!fd.valid()) {
            return lost;
        }
    }

    // A log directory replaced (by a symbolic link, a rename) since it was checked would put
    // the history somewhere else: only a file inside log_dir, or /dev/null, is written.
    char real_path[PATH_BUFFER_SIZE];
    if (fd_get_path(fd.get(), real_path, sizeof real_path) != 0) {
        real_path[0] = '\0';
    }
    if (!inside_dir(real_path, state->log_dir)) {
        if (strcmp(real_path, LOG_WRITER_DEV_NULL) != 0) {
            if (failure_due(state)) {
                log_error("disk logger: my log dir moved! (should be: %s but is: %s).",
                          state->log_dir, real_path);
            }
            lost = EXDEV;
        }
        fd.reset(open_dev_null(state));
        if (!fd.valid()) {
            return lost;
        }
    }

    if (take_lock) {
        pthread_rwlock_wrlock(&state->lock);
    }
    // Recorded even for /dev/null: the history keeps its shape and the id stays taken.
    if (state->appending == 0) {
        record_file(state, id);
    }
    if (take_lock) {
        pthread_rwlock_unlock(&state->lock);
    }
    *out = std::move(fd);
    *out_id = id;
    return lost;
}

int write_log_buffer(dev_info* di, dls* state, log_write_ctx* ctx, int force) {
    unique_fd fd;
    uint64_t id = 0;
    int lost = 0;
    if (state->active == 0) {
        // The history could not be written at all (not even to /dev/null): start a new one
        // under a new uuid.
        remove_old_logs(state, 1);
        create_uuid_file(di, state);
        state->appending = 0;
        lost = open_log_file(state, 1, &fd, &id);
        if (!fd.valid()) {
            return lost;
        }
        state->active = 1;
    }
    log_buffer_builder* buffer = &ctx->buffer;
    if (force == 0 && buffer->fill <= DISK_LOG_HEADER_SIZE) {
        return 0;  // only a flush writes an empty buffer
    }
    uint32_t length = log_buffer_finish(buffer);

    pthread_rwlock_wrlock(&state->lock);
    if (!fd.valid()) {
        lost = open_log_file(state, 0, &fd, &id);
        if (!fd.valid()) {
            state->active = 0;
            pthread_rwlock_unlock(&state->lock);
            return lost;
        }
    }
    state->active = 1;

    int err = lost;
    if (err == 0) {
        err = log_buffer_write_member(fd.get(), buffer->area, length);
        if (err == 0 && close(fd.release()) != 0) {
            err = errno;  // the member may not have reached the disk
        }
    }
    if (err != 0 && lost == 0) {
        uint32_t unreported = 0;
        if (failure_due(state, &unreported)) {
            log_critical("disk logger: failed to write %d bytes to log file %s (err: %s).",
                         static_cast<int>(DISK_LOG_BUFFER_SIZE), state->cur_file, strerror(err));
            log_critical("disk logger: %s: %s; the names lost are a gap that replays across "
                         "it report (%u more failed writes since the last report)",
                         state->log_dir, failure_kind(err), unreported);
        }
        if (state->appending == 0) {
            forget_new_file(state, id);
        }
        pthread_rwlock_unlock(&state->lock);
        return err;
    }

    // Written, or gone to /dev/null (the history keeps its shape, the caller records the loss).
    state->bytes_in_file += DISK_LOG_BUFFER_SIZE;
    if (force == 0 && state->bytes_in_file < DISK_LOG_FILE_CREDIT) {
        state->appending = 1;
    } else {
        log_buffer_start(buffer, buffer->area, buffer->capacity);  // what the next flush builds on
        state->bytes_in_file = 0;
        state->appending = 0;
    }
    pthread_rwlock_unlock(&state->lock);
    return lost;
}
