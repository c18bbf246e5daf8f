// The sources behind a cloned kernel event device (fanotify, record stream) and the record
// helpers they share. Internal to the device layer (kernel_device.cpp).
#pragma once

#include "platform/kernel_records.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Largest record a source hands out; longer stream records are replaced by a dropped record.
constexpr size_t KSRC_MAX_RECORD = 65536;

struct kernel_source;

struct kernel_source_ops {
    // Copies whole records (at most size bytes, size >= KREC_DROPPED_SIZE) into buf without
    // blocking. 0 with *produced > 0, EAGAIN when nothing is available yet, or errno.
    int (*fill)(kernel_source* src, char* buf, size_t size, size_t* produced);
    // After EAGAIN: blocks until more input may be there, wake_fd is readable, or a bounded
    // time has passed (the source's own). 0 or errno.
    int (*wait)(kernel_source* src, int wake_fd);
    void (*destroy)(kernel_source* src);
    // Optional (null: not offered): makes a change of the source's own in the file system, whose
    // event the source hands out in kernel order as a sync record (KREC_TYPE_SYNC) carrying
    // number. Any thread may call it: it uses only what the source fixed at its creation.
    // 0 or errno (ENOTSUP: markers cannot be made).
    int (*mark)(const kernel_source* src, uint32_t number);
    // Optional: adds (add true) or drops one client's interest in watching the directory at
    // path, on the volume dev, and every directory below it on that volume, one by one (for
    // a volume that cannot be watched as a whole). Any thread: the source takes the request
    // up at its next fill. 0 or errno (ENOTSUP).
    int (*watch_dir)(kernel_source* src, const char* path, uint32_t dev, bool add);
};

// Common head of every source.
struct kernel_source {
    const kernel_source_ops* ops;
    bool extended_info;  // directory events carry KREC_FLAG_DIR_LEVEL
    // Set once the clone is being closed: fill hands out what is already waiting (without
    // pausing to let more gather) until it has nothing more. Once drain_fills has passed
    // KSRC_DRAIN_READS, fill stops reading its descriptor and only empties what it holds, so
    // nothing taken from the kernel is lost and what the kernel still queues stays there.
    bool draining;
    int drain_fills;
};

// Fills of a closing clone that may still read the source's descriptor: bounds the drain
// under a storm.
constexpr int KSRC_DRAIN_READS = 256;

inline bool ksrc_may_read(const kernel_source* src) {
    return !src->draining || src->drain_fills <= KSRC_DRAIN_READS;
}

// types: bit t set for every event type t the clone asked to report.
int fanotify_source_create(uint32_t types, kernel_source** out);
int stream_source_create(const char* path, kernel_source** out);

// Size of the whole record at p: 0 when avail bytes do not hold all of it yet, -1 when it is
// not a record within KSRC_MAX_RECORD bytes.
ssize_t krec_record_size(const char* p, size_t avail);

// Writes a dropped-events record at out (KREC_DROPPED_SIZE bytes).
void krec_write_dropped(char* out);
