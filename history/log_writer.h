// The log file writer of a volume's history: appends one log buffer at a time to the volume's
// current log file, starts new files and records them in the file list, and reports every
// buffer it could not keep (a full or read-only volume, an I/O error, an unusable log
// directory whose writes go to "/dev/null") so that the disk logger records the gap. Runs on
// the disk logger's thread, and on the event thread for the last flush once that thread has
// ended.
#pragma once

#include "history/log_buffer.h"
#include "platform/unique_fd.h"

#include <cstdint>

struct dev_info;
struct dls;

// One log buffer on its way to a volume's history, built by the caller (capacity
// DISK_LOG_BUFFER_SIZE). The writer seals it (log_buffer_finish) and, after a finished file,
// starts it over empty (log_buffer_start).
struct log_write_ctx {
    dev_info* di;
    struct dls* dls;
    log_buffer_builder buffer;
};

// Writes ctx's buffer as the next buffer of the volume's history. force = 1 (the last buffer
// of a flush) ends the current log file after it; force = 0 (a buffer that filled up) lets
// the file take more, up to DISK_LOG_FILE_CREDIT credited bytes. Returns 0 when the buffer is
// in the history, else the errno that lost its names (ENOSPC or EDQUOT on a full volume, EIO,
// EROFS, EXDEV when the log directory is not in place, ...): the history is then as it was
// before the call, and the caller records the gap. Failures are logged, the first of a spell
// at once and then once a minute.
int write_log_buffer(dev_info* di, dls* state, log_write_ctx* ctx, int force);

// Opens the file the next buffer goes into: cur_file again while appending, else a new file
// named above last_event_id (the next free name of at most 101 tried), which is recorded in
// file_ids (its id in *id). take_lock = 1 takes state->lock for the file list update; 0 when
// the caller holds it for writing. Returns 0 with *fd open on the file; or the errno that made
// the writes go to "/dev/null" instead (*fd open on that, the id still recorded so that the
// history keeps its shape), with *fd closed and state->active at 0 when not even that opened.
int open_log_file(dls* state, int take_lock, unique_fd* fd, uint64_t* id);
