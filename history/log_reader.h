// Reading log files, the one way every reader does it: the hardened open, loading a whole file
// under one of the few reader slots, taking each buffer through its checks, walking its
// records, and reporting what had to be dropped through the reader's one callback.
//
// The pieces only report; each reader decides what a drop means for it (the last-id lookup
// gives up on the file, a replay ends it) and logs its own messages.
#pragma once

#include "history/log_buffer.h"
#include "platform/unique_fd.h"

#include <sys/types.h>

#include <cstdint>

// ---- Opening ----

// Opens path read-only: never through a symbolic link, never blocking (a FIFO put in a log
// directory can not hang a reader, which may hold one of the few reader slots), and regular
// files only. 0 with *fd open and *size the file's size; ELOOP for a symbolic link, EINVAL
// for anything but a regular file; otherwise the errno of open or fstat.
int log_file_open(const char* path, unique_fd* fd, off_t* size);

// ---- Checks and drop reports ----

enum log_drop_kind : uint8_t {
    LOG_DROP_HEADER,    // the header is unusable (log_buffer_check_header's EINVAL)
    LOG_DROP_CHECKSUM,  // neither checksum matches
    LOG_DROP_RECORD,    // a record runs past the buffer's length: the rest of the buffer
};

struct log_drop {
    log_drop_kind kind;
    const log_buffer_header* header;      // every kind
    const log_buffer_checksum* checksum;  // LOG_DROP_CHECKSUM only
    const log_record* record;             // LOG_DROP_RECORD only: path, path_length, id_offset
};

struct log_reader {
    void (*dropped)(void* ctx, const log_drop& drop);
    void* ctx;
};

// Takes the buffer at the start of available bytes through the header check, completeness
// and, when verify, the checksum; converts a buffer of the other byte order in place. Returns
// - 0: *header and *sum filled (sum->alternate false when not verified), records readable;
// - EAGAIN: fewer bytes held than the header or its length: read more or give up;
// - EFBIG: a known magic with a length above DISK_LOG_BUFFER_SIZE when verify (unverified
//   in-memory buffers are built to their own size): never complete, a cut-off end;
// - EINVAL: dropped, reported as LOG_DROP_HEADER or LOG_DROP_CHECKSUM.
int log_reader_take_buffer(const log_reader& reader, uint8_t* buffer, uint32_t available,
                           bool verify, log_buffer_header* header, log_buffer_checksum* sum);

// log_record_next over a buffer taken by log_reader_take_buffer, reporting a record that runs
// past the buffer as LOG_DROP_RECORD (header is the buffer's) before returning ERANGE.
int log_reader_next_record(const log_reader& reader, const log_buffer_header& header,
                           log_record_walk* walk, log_record* record);

// ---- Whole files under a reader slot ----

// Log files being read at once, in the whole daemon.
constexpr int REPLAY_MAX_READERS = 8;
// Of those, the most that one non-root uid holds at once.
constexpr int REPLAY_READERS_PER_USER = 2;
// The first read area of one log file, and the largest piece taken per read.
constexpr uint32_t REPLAY_AREA_SIZE = 262144;
constexpr uint32_t REPLAY_READ_SIZE = 65536;

// A log file read into memory whole (its buffers back to back). One of the REPLAY_MAX_READERS
// reader slots is held while the file is read, not while it is used: a replay goes at its
// client's pace. A file is at most 16 buffers; anything past REPLAY_IMAGE_MAX bytes is not read.
constexpr uint32_t REPLAY_IMAGE_MAX = 32 * REPLAY_AREA_SIZE;
// Compressed bytes read of one file at most (compression only shrinks a log file's content).
constexpr uint32_t REPLAY_RAW_MAX = REPLAY_IMAGE_MAX;
struct disk_log_image {
    uint8_t* data = nullptr;
    uint32_t size = 0;
    // Why the file's content ends early, or null: it is empty, cut short, or its compressed
    // data is damaged (what came before the damage is in data).
    const char* damage = nullptr;
    bool holds_slot = false;
    uint32_t uid = 0;  // for whom it is read: the share of reader slots it counts against
};

// Waits for a reader slot for image (within its uid's share) unless it holds one;
// give_back_reader_slot returns it.
void take_reader_slot(disk_log_image* image);
void give_back_reader_slot(disk_log_image* image);

// Takes a reader slot unless out holds one, reads and inflates the log file at path (out
// empty before) with the daemon's rights, and gives the slot back. 0 (image filled, its
// damage noted), EINVAL when it is not a regular file or is a symbolic link, the errno of a
// failed open or read, or ENOMEM. Logs nothing: the reader decides what a loss means. The
// image is freed in every case by free_disk_log_image.
int load_disk_log(const char* path, disk_log_image* out);
void free_disk_log_image(disk_log_image* image);
