// The volume table: one dev_info record per volume mounted at start-up, with the decision
// whether it keeps an event history. Built once by the event thread (init_dev_info) and never
// rebuilt; readers hold dev_lock for reading. Record flags are atomic words whose bits each have
// one writer; refcount (pins held by iterate_devices walks) changes only atomically.
#pragma once

#include "volumes/vantle_rwlock.h"

#include <atomic>
#include <cstdint>

struct dls;

constexpr uint32_t DEV_IS_ROOT = 0x1;
constexpr uint32_t DEV_IDS_WRAPPED = 0x2;
constexpr uint32_t DEV_MOUNTED = 0x4;
constexpr uint32_t DEV_NOT_LOGGED = 0x40;
constexpr uint32_t DEV_LOGGED = 0x100;
constexpr uint32_t DEV_LOG_DIR_UNTRUSTED = 0x200;
constexpr uint32_t DEV_LOG_DISABLED = 0x1000;

constexpr int DEV_UUID_TEXT_SIZE = 64;

struct dev_info {
    uint32_t dev;                    // 32-bit device number (platform/mounts.h encoding)
    char* mount_point;               // owned copy
    uint32_t depth;                  // '/' count of the mount point, +1 unless it is "/"
    std::atomic<uint32_t> flags;     // DEV_*; relaxed: each bit has one writer
    std::atomic<uint32_t> refcount;  // pins of iterate_devices walks
    uint8_t uuid[16];
    char uuid_text[DEV_UUID_TEXT_SIZE];
    struct dls* dls;  // null until create_dls succeeds
};

struct dev_table_t {
    dev_info** entries;  // in mount-list order
    int32_t count;       // at least 1 once published
};

// The volumes the daemon knows. One instance, `volumes`. The table is made by the event
// thread's start-up and replaced when the mounts change, under dev_lock (written); readers
// take dev_lock (read) or pin entries through iterate_devices.
struct volume_table {
    std::atomic<dev_table_t*> dev_table{nullptr};  // null until published
    uint32_t root_dev = 0;                         // the volume mounted at "/"; set with the table
    vantle_rwlock dev_lock;
};
extern volume_table volumes;

// Scans the mounts, publishes dev_table, then calls on_logged_volume (when given; the
// history's create_dls in the daemon) on every volume that keeps a history, as iterate_devices
// does. 0, or an errno value: that of reading the mount list, ENOENT for an empty one,
// ENOMEM.
int init_dev_info(int (*on_logged_volume)(dev_info* di, void* arg));

// Calls callback on every volume without DEV_NOT_LOGGED, last entry first, without dev_lock
// held and with each record pinned; stops at the first nonzero result and returns it.
// 0 when all returned 0 or there is no table; 12 when the snapshot cannot be allocated.
int iterate_devices(int (*callback)(dev_info* di, void* arg), void* arg);

// The record an event on dev belongs to (root volume fallback). Caller holds dev_lock.
dev_info* find_dev_info(uint32_t dev);

// Sets DEV_IDS_WRAPPED; an iterate_devices callback. Returns 0.
int mark_volume_wrapped(dev_info* di, void* arg);
