// Building, writing, checking and converting log buffers (layout in log_format.h): the one
// builder every writer of buffers uses (the disk logger's flush, the pending-name copy of a
// replay, the dropped notices of replays) and the one set of checks every reader applies.
//
// A reader takes each buffer through the checks in this order, and stops using it at the
// first that fails: log_buffer_check_header (magic and length), completeness (its own reads
// until length bytes are held), log_buffer_check_checksum, swap_log_buffer for a buffer in the
// other byte order, then log_record_next over the records. Each check reads only the bytes it
// is given; none reads past length or the limit, whatever the bytes hold. The readers log
// their own messages: the pieces here only report what they found.
#pragma once

#include "history/log_format.h"

#include <cstdint>
#include <string_view>

// ---- Building (the writer) ----

// A buffer being built in the caller's area.
struct log_buffer_builder {
    uint8_t* area;
    uint32_t capacity;  // bytes of area; DISK_LOG_BUFFER_SIZE for a buffer meant for a file
    uint32_t fill;      // bytes used, from DISK_LOG_HEADER_SIZE
};

// Starts an empty buffer in area: magic, checksum 0, length 12, fill 12. Also the way to
// start over after a buffer was written.
void log_buffer_start(log_buffer_builder* b, uint8_t* area,
                      uint32_t capacity = DISK_LOG_BUFFER_SIZE);

// Appends one record (path, its NUL, id, flags; native byte order) when fill + path length
// with NUL + 12 stays below the capacity. Returns 0; ENOSPC when the buffer must be written
// first (nothing appended); EINVAL for a path of PATH_BUFFER_SIZE bytes or more or one that
// holds a NUL.
int log_buffer_append(log_buffer_builder* b, std::string_view path, uint64_t id, uint32_t flags);

// log_buffer_append for a name already taken in: length bytes, none of them a NUL, of any
// length (the pending-name tables keep names as the intake delivered them). Returns 0 or
// ENOSPC.
int log_buffer_append_name(log_buffer_builder* b, const char* name, uint32_t length, uint64_t id,
                           uint32_t flags);

// Sets length = fill and leaves the checksum 0: for a buffer that is read in memory without
// verification, where computing a checksum would only prolong the copy. Returns the length.
uint32_t log_buffer_finish_unsealed(log_buffer_builder* b);

// Sets length = fill and stores log_checksum of the buffer (taken with the field at 0): a
// buffer for a log file. Returns the length to write.
uint32_t log_buffer_finish(log_buffer_builder* b);

// Log files are written with the fastest compression: a flush runs on the disk logger's
// thread, which must keep up with the intake, and level 1 still packs sorted paths well.
constexpr int LOG_BUFFER_GZIP_LEVEL = 1;

// Writes length bytes as one complete gzip member at the end of the file open on fd (opened
// for appending; fd stays open), compressed in memory first so that the write's own errno is
// what a failure reports. A failed write leaves the file as it was (cut back to its old size).
// Returns 0 or an errno value (ENOMEM, EIO for a zlib failure).
int log_buffer_write_member(int fd, const void* buffer, uint32_t length);

// ---- Checking (the readers) ----

enum log_buffer_order : uint8_t {
    LOG_ORDER_NATIVE,   // magic DISK_LOG_MAGIC
    LOG_ORDER_SWAPPED,  // magic DISK_LOG_MAGIC_SWAPPED: written in the other byte order
    LOG_ORDER_FOREIGN,  // any other magic: taken as native when its length is plausible
};

struct log_buffer_header {
    uint32_t magic;   // as stored
    uint32_t length;  // in native order (byte-swapped for LOG_ORDER_SWAPPED)
    log_buffer_order order;
};

// Reads the 12 header bytes at buffer. Returns
// - 0: the buffer may be complete once length bytes are held;
// - EINVAL: the header itself is unusable (the "magic is wrong" case): a foreign magic with a
//   length above DISK_LOG_BUFFER_SIZE, or any length below DISK_LOG_HEADER_SIZE, which could
//   not even hold the header and would stall a reader that steps by length;
// - EFBIG: a known magic with a length above DISK_LOG_BUFFER_SIZE: the buffer can never be
//   complete, so a reader treats it as the cut-off end of the file.
// *out is filled in every case.
int log_buffer_check_header(const uint8_t* buffer, log_buffer_header* out);

struct log_buffer_checksum {
    uint32_t stored;      // the checksum field as found
    uint32_t calculated;  // the last value computed: log_checksum_alt when the regular one failed
    bool alternate;       // accepted by log_checksum_alt; a reader then drops the rest of its area
};

// Checks a complete buffer of length bytes (at least 12, as log_buffer_check_header
// guarantees). Zeroes the checksum field and leaves it at 0, then compares log_checksum
// (byte-swapped when swapped) and, failing that, log_checksum_alt (unswapped) with the stored
// value. Returns 0 when one matched, EINVAL when neither did.
int log_buffer_check_checksum(uint8_t* buffer, uint32_t length, bool swapped,
                              log_buffer_checksum* out);

// Converts a byte-swapped buffer to native order in place: the three header words, then, when
// the new length is at least 13, at most 262144 and at most limit (the bytes of the buffer
// valid in memory), the id and flags of every record lying wholly below length. Paths are
// never touched; nothing at or past length is read or written.
void swap_log_buffer(void* buffer, uint32_t limit);

// ---- Records ----

// Position in the records of a checked, native-order buffer.
struct log_record_walk {
    const uint8_t* buffer;
    uint32_t length;  // from the header; records lie in [12, length)
    uint32_t pos;     // offset of the next record; where the walk stopped once it has ended
    bool ended;
};

struct log_record {
    const char* path;      // into the buffer; NUL-terminated only for a record returned with 0
    uint32_t path_length;  // bytes before the NUL, or before length when there is no NUL
    uint32_t id_offset;    // where the id starts (or would start: length + 1 without a NUL)
    uint64_t id;
    uint32_t flags;
};

inline log_record_walk log_record_walk_start(const uint8_t* buffer, uint32_t length) {
    return {buffer, length, DISK_LOG_HEADER_SIZE, false};
}

// Takes the next record. Returns 0 with *r filled; ENOENT when no record starts below length;
// ERANGE when the record at pos has no NUL before length or its id and flags do not lie
// wholly below length: then only r->path, r->path_length and r->id_offset are set. After
// ENOENT or ERANGE the walk has ended (every later call returns ENOENT) and pos stays where
// it stopped: the end of the last record, or the bad record's id offset.
int log_record_next(log_record_walk* w, log_record* r);
