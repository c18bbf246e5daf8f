// The mount list and volume status from /proc/self/mountinfo, with the flags the volume table
// decides by, and the 32-bit device number encoding used everywhere in the daemon.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

constexpr uint32_t MOUNT_RDONLY = 0x1;           // the mount (not only its file system) is "ro"
constexpr uint32_t MOUNT_UNION = 0x20;           // never set on Linux
constexpr uint32_t MOUNT_LOCAL = 0x1000;         // not a network file system
constexpr uint32_t MOUNT_ROOTFS = 0x4000;        // mount point "/"
constexpr uint32_t MOUNT_DONTBROWSE = 0x100000;  // never set on Linux

struct mount_entry {
    uint32_t mount_id;   // the mount's unique id while it is mounted (reused afterwards)
    uint32_t dev;        // 32-bit device number of the file system
    uint32_t flags;      // MOUNT_*
    char* mount_point;   // unescaped (\040 and friends decoded)
    char* mounted_from;  // mount source, unescaped
    char* fs_type;
    char* super_options;  // the file system's own options ("rw,lowerdir=...,upperdir=..."), unescaped
};

// (major << 8) | (minor & 0xff) | ((minor & ~0xff) << 12) of a stat st_dev.
uint32_t device_number_32(dev_t st_dev);

// The mounts in mountinfo order (*out owned by the caller: mount_list_free). 0 or errno.
int mount_list_read(mount_entry** out, int* count);
void mount_list_free(mount_entry* list, int count);

// Parses mountinfo text (len bytes, need not be NUL-terminated). Malformed lines are skipped.
// 0 or ENOMEM; *out owned by the caller as for mount_list_read (null when *count is 0).
int mount_list_parse(const char* text, size_t len, mount_entry** out, int* count);

// The device of the mount whose mount point is the longest path prefix of path (absolute,
// taken as it is: nothing of it is looked up, so a hung network or FUSE mount cannot block the
// caller); 0 when the mount list cannot be read.
uint32_t mount_device_of(const char* path);

// The mount that holds path: among the entries whose mount point is a path prefix of the
// resolved path, the longest, the last one of equal length, and preferring those whose device
// matches stat(path) (a btrfs subvolume reports a device of its own; then the longest prefix
// alone decides). 0 or errno; *out is owned by the caller (mount_list_free(out, 1)).
int mount_status(const char* path, mount_entry** out);
