// The log file writer: one gzip member per buffer, each flushed with Z_SYNC_FLUSH and closed
// at once, so a crash loses at most the buffer being written and no file stays open between
// buffers. A file takes the buffers of one flush, or up to DISK_LOG_FILE_CREDIT credited bytes.
//
// Lock order: the caller may hold dev_lock, never fname_lock; state->lock is taken here.
#include "history/log_writer.h"

#include "common/crc.h"
#include "common/limits.h"
#include "common/log.h"
#include "history/dls.h"
#include "history/log_format.h"
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
constexpr const char* LOG_WRITER_DEV_NULL = "/dev/null";

void store_header(uint8_t* buffer, uint32_t magic, uint32_t checksum, uint32_t length) {
    disk_log_header h{magic, checksum, length};
    memcpy(buffer, &h, sizeof h);
}

// An empty buffer: what the next flush builds on after a finished file or a full disk.
void reset_header(uint8_t* buffer) {
    store_header(buffer, DISK_LOG_MAGIC, 0, DISK_LOG_HEADER_SIZE);
}

// The stand-in for an unusable log file. -1 (after logging) when even that fails.
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

}  // namespace

gzFile open_log_file(dls* state, int take_lock) {
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
    if (!fd.valid()) {
        log_error("disk logger: failed to open output file %s (%s). mount point %s",
                  state->cur_file, strerror(errno), state->log_dir);
        fd.reset(open_dev_null(state));
        if (!fd.valid()) {
            return nullptr;
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
            log_error("disk logger: my log dir moved! (should be: %s but is: %s).", state->log_dir,
                      real_path);
        }
        fd.reset(open_dev_null(state));
        if (!fd.valid()) {
            return nullptr;
        }
    }

    gzFile gz = gzdopen(fd.get(), LOG_WRITER_GZIP_MODE);
    if (gz == nullptr) {
        state->active = 0;
        return nullptr;
    }
    fd.release();  // closed by gzclose from here on

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
    return gz;
}

void write_log_buffer(dev_info* di, dls* state, log_write_ctx* ctx, int force) {
    gzFile gz = nullptr;
    if (state->active == 0) {
        // The history was lost: start a new one under a new uuid.
        remove_old_logs(state, 1);
        create_uuid_file(di, state);
        state->appending = 0;
        gz = open_log_file(state, 1);
        if (gz == nullptr) {
            return;
        }
        state->active = 1;
    }
    if (force == 0 && ctx->fill <= DISK_LOG_HEADER_SIZE) {
        return;  // only a flush writes an empty buffer
    }

    store_header(ctx->buffer, DISK_LOG_MAGIC, 0, ctx->fill);
    store_header(ctx->buffer, DISK_LOG_MAGIC, log_checksum(ctx->buffer, ctx->fill), ctx->fill);

    pthread_rwlock_wrlock(&state->lock);
    if (gz == nullptr) {
        gz = open_log_file(state, 0);
        if (gz == nullptr) {
            state->active = 0;
            pthread_rwlock_unlock(&state->lock);
            return;
        }
    }
    state->active = 1;

    int written = gzwrite(gz, ctx->buffer, ctx->fill);
    int flushed = gzflush(gz, Z_SYNC_FLUSH);
    if (flushed != Z_OK) {
        log_critical("gzflush(%s) returned %d", state->cur_file, flushed);
    }
    if (written < static_cast<int>(ctx->fill)) {
        int err = errno;
        log_critical("disk logger: failed to write %d bytes to log file %s (err: %s).",
                     static_cast<int>(DISK_LOG_BUFFER_SIZE), state->cur_file, strerror(err));
        gzclose(gz);
        if (err == ENOSPC) {
            state->active = 0;
            reset_header(ctx->buffer);
            log_critical("disk logger: removing all old log files in %s", state->log_dir);
            remove_old_logs(state, 0);
            create_uuid_file(di, state);
        }
        pthread_rwlock_unlock(&state->lock);
        return;
    }

    state->bytes_in_file += DISK_LOG_BUFFER_SIZE;
    int closed = gzclose(gz);
    if (force == 0 && state->bytes_in_file < DISK_LOG_FILE_CREDIT) {
        state->appending = 1;
        pthread_rwlock_unlock(&state->lock);
        return;
    }

    // The file is complete. A close that failed may have lost its tail: the history can no
    // longer be trusted to be whole.
    if (closed != Z_OK) {
        int err = errno;
        if (err == ENOSPC) {
            state->active = 0;
        }
        log_critical("disk logger: gzclose() failed (%d/%d) removing all old log files in %s",
                     closed, err, state->log_dir);
        remove_old_logs(state, 0);
        create_uuid_file(di, state);
    }
    reset_header(ctx->buffer);
    state->bytes_in_file = 0;
    state->appending = 0;
    pthread_rwlock_unlock(&state->lock);
}
