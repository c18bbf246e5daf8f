// The log file writer of a volume's history: appends one log buffer at a time to the volume's
// current log file, starts new files and records them in the file list, and recovers from an
// unusable log directory (writes go to "/dev/null") and from a full disk (the whole history is
// thrown away and restarted under a new uuid). Runs on the disk logger's thread, and on the
// event thread for the last flush once that thread has ended.
#pragma once

#include <zlib.h>

#include <cstdint>

struct dev_info;
struct dls;

// Log files are appended with the fastest compression: a flush runs on the disk logger's
// thread, which must keep up with the intake, and level 1 still packs sorted paths well.
constexpr const char* LOG_WRITER_GZIP_MODE = "ab1";

// One log buffer on its way to a volume's history. The writer fills in the buffer's header
// (magic, checksum, length = fill) and, after a finished file or a full disk, resets it to an
// empty buffer (checksum 0, length 12); fill is the caller's.
struct log_write_ctx {
    dev_info* di;
    struct dls* dls;
    uint8_t* buffer;
    uint32_t capacity;  // DISK_LOG_BUFFER_SIZE
    uint32_t fill;      // bytes used, header included
};

// Writes ctx's buffer as the next buffer of the volume's history. force = 1 (the last buffer
// of a flush) ends the current log file after it; force = 0 (a buffer that filled up) lets
// the file take more, up to DISK_LOG_FILE_CREDIT credited bytes. Failures are logged and
// leave state->active at 0 when the history must start over.
void write_log_buffer(dev_info* di, dls* state, log_write_ctx* ctx, int force);

// Opens the file the next buffer goes into: cur_file again while appending, else a new file
// named above last_event_id (the next free name of at most 101 tried), which is recorded in
// file_ids. Writes go to "/dev/null" when the log directory is unusable. take_lock = 1 takes
// state->lock for the file list update; 0 when the caller holds it for writing. Returns the
// gzip handle (mode "ab"), or null with state->active at 0.
gzFile open_log_file(dls* state, int take_lock);
