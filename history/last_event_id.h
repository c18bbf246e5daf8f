// Reading a log file back to find the id that follows the highest event id stored in it.
#pragma once

#include <cstdint>

struct dls;

// Reads "<log_dir>/<%.16llx id>" from start to end; only state->log_dir is used. *out = 0
// first; returns 0 with *out = highest id + 1, or 22 (missing, not regular, empty, invalid
// buffer, no ids), the errno of a failed gzip open, or 12.
int get_last_event_id(const dls* state, uint64_t file_id, uint64_t* out);

// A source of a log file's uncompressed bytes: copies up to max bytes to dst and returns how
// many; 0 at the end of the data or on a read error.
using log_stream_read = uint32_t (*)(void* source, uint8_t* dst, uint32_t max);

// The scan of get_last_event_id over an opened stream, from its first read on. area is a
// zeroed DISK_LOG_BUFFER_SIZE-byte work area; path and file_id only name the file in
// messages. Same results as get_last_event_id, except the open failures.
int last_event_id_from_stream(log_stream_read read, void* source, const char* path,
                              uint64_t file_id, uint8_t* area, uint64_t* out);
