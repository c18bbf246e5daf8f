// On-disk format of a volume's event history: log file names, the log buffer header and its
// records, and the limits every writer and reader shares. Constants only.
//
// A log file is a sequence of gzip members whose uncompressed bytes are log buffers back to
// back. A buffer is a 12-byte header (magic, checksum, length; the writer's byte order)
// followed by packed records: a NUL-terminated path, a 64-bit event id, 32-bit event flags,
// with no padding. The checksum is log_checksum over the whole buffer with the checksum field
// taken as 0.
#pragma once

#include <cstdint>

constexpr uint32_t DISK_LOG_MAGIC = 0x444C5331;          // "1SLD" in a little-endian file
constexpr uint32_t DISK_LOG_MAGIC_SWAPPED = 0x31534C44;  // written in the other byte order
constexpr uint32_t DISK_LOG_BUFFER_SIZE = 0x40000;       // 262144: the area a buffer is built in
// The header's 32-bit words: where each starts. These are the only statement of the layout;
// history/log_buffer.cpp builds and checks every header through them.
constexpr uint32_t DISK_LOG_MAGIC_OFFSET = 0;
constexpr uint32_t DISK_LOG_CHECKSUM_OFFSET = 4;
constexpr uint32_t DISK_LOG_LENGTH_OFFSET = 8;  // header included; 12 for a buffer without records
constexpr uint32_t DISK_LOG_HEADER_SIZE = 12;
static_assert(DISK_LOG_LENGTH_OFFSET + sizeof(uint32_t) == DISK_LOG_HEADER_SIZE);
constexpr uint32_t DISK_LOG_RECORD_TAIL = 12;  // id (8) and flags (4) after the path
// A log file takes the buffers of one flush, or is ended once credited this many bytes
// (every buffer credits DISK_LOG_BUFFER_SIZE), so at most 16 buffers.
constexpr uint64_t DISK_LOG_FILE_CREDIT = 0x400000;

// Name of a log file inside its log directory, and the full path form.
#define DISK_LOG_NAME_FORMAT "%.16llx"
#define DISK_LOG_PATH_FORMAT "%s/%.16llx"
