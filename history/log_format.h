// On-disk format of a volume's event history: log file names, the log buffer header and its
// records, and the limits every writer and reader shares. Constants and structs only.
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
constexpr uint32_t DISK_LOG_HEADER_SIZE = 12;
constexpr uint32_t DISK_LOG_RECORD_TAIL = 12;  // id (8) and flags (4) after the path
// A log file takes the buffers of one flush, or is ended once credited this many bytes
// (every buffer credits DISK_LOG_BUFFER_SIZE), so at most 16 buffers.
constexpr uint64_t DISK_LOG_FILE_CREDIT = 0x400000;

// Name of a log file inside its log directory, and the full path form.
#define DISK_LOG_NAME_FORMAT "%.16llx"
#define DISK_LOG_PATH_FORMAT "%s/%.16llx"

#pragma pack(push, 4)
struct disk_log_header {
    uint32_t magic;
    uint32_t checksum;
    uint32_t length;  // header included; 12 for a buffer without records
};
#pragma pack(pop)
static_assert(sizeof(disk_log_header) == DISK_LOG_HEADER_SIZE);
