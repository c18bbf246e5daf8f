// The two volume times the history trusts its log directory by: when the volume was mounted,
// and when it was last changed. Both are seconds since the epoch (32-bit, as the history
// compares them).
//
// Mount time: the later of the system's boot time and, for ext2/3/4, the superblock's
// last-mount time. Last change: the shutdown stamp (volume_stamp) records the volume's
// free-space and inode counters on the uuid file; when the counters are still those, the
// volume has not changed since the stamp and its last change is the stamp time; otherwise,
// or without a stamp, it changed as late as now.
#pragma once

#include <cstdint>

// path: a file on the volume (the uuid file). 0 or errno.
int volume_mount_time(const char* path, uint32_t* out);
int volume_last_mod_time(const char* path, uint32_t* out);

// Stamps path (the uuid file) at shutdown: its times set to now and the volume's counters
// recorded beside it (extended attribute VOLUME_STAMP_XATTR, so it needs CAP_SYS_ADMIN and a
// file system with trusted attributes). 0 or errno.
int volume_stamp(const char* path);
// As volume_stamp, recording when instead of now as the stamp time (tests).
int volume_stamp_at(const char* path, uint32_t when);

constexpr const char* VOLUME_STAMP_XATTR = "trusted.vantlesd.stamp";
