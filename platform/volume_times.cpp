// Volume mount and last-change times for the history's trust check.
//
// Linux keeps neither time for a volume, so both are derived. The mount time is the boot time
// (from /proc/stat), raised for ext2/3/4 to the superblock's last-mount time read from the
// mounted block device. The last-change time comes from a stamp the daemon leaves on the uuid
// file when it shuts a history down: the volume's block and inode counters at that moment, in
// an extended attribute. If the counters still match at the next start nothing was written
// meanwhile (as far as the counters tell) and the stamp time stands; any doubt answers "now",
// which makes the history look out of step rather than trusted.
#include "platform/volume_times.h"

#include "platform/mounts.h"
#include "platform/unique_fd.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr uint8_t STAMP_VERSION = 1;
constexpr int STAMP_WRITE_TRIES = 4;  // rewrites while storing the stamp moves the counters

// The stamp's attribute value, in host byte order (it never leaves the machine's disks).
struct __attribute__((packed)) stamp_record {
    uint8_t version;  // STAMP_VERSION
    uint32_t stamp_time;
    uint64_t blocks;
    uint64_t blocks_free;
    uint64_t files;
    uint64_t files_free;
};

// ext2/3/4 superblock: 1024 bytes at byte 1024 of the device, little-endian.
constexpr off_t EXT_SUPERBLOCK_OFFSET = 1024;
constexpr size_t EXT_SUPERBLOCK_SIZE = 1024;
constexpr size_t EXT_S_MTIME = 44;  // u32, last mount time
constexpr size_t EXT_S_MAGIC = 56;  // u16
constexpr uint16_t EXT_MAGIC = 0xEF53;

uint32_t now_seconds() {
    return static_cast<uint32_t>(time(nullptr));
}

// "btime" of /proc/stat. 0 or errno.
int boot_time(uint32_t* out) {
    FILE* stat_file = fopen("/proc/stat", "re");
    if (!stat_file)
        return errno;
    int err = ENOENT;
    char* line = nullptr;
    size_t capacity = 0;
    while (getline(&line, &capacity, stat_file) >= 0) {
        if (strncmp(line, "btime ", 6) == 0) {
            char* end;
            unsigned long long value = strtoull(line + 6, &end, 10);
            err = EINVAL;
            if (end != line + 6) {
                *out = static_cast<uint32_t>(value);
                err = 0;
            }
            break;
        }
    }
    free(line);
    fclose(stat_file);
    return err;
}

bool is_ext_type(const char* type) {
    return strcmp(type, "ext2") == 0 || strcmp(type, "ext3") == 0 || strcmp(type, "ext4") == 0;
}

// The superblock's last-mount time of the ext volume m, read from its source when that is the
// block device actually mounted. 0 or errno.
int ext_last_mount(const mount_entry& m, uint32_t* out) {
    if (!is_ext_type(m.fs_type))
        return ENOTSUP;
    unique_fd fd(open(m.mounted_from, O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return errno;
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        return errno;
    if (!S_ISBLK(st.st_mode) || device_number_32(st.st_rdev) != m.dev)
        return ENODEV;
    unsigned char sb[EXT_SUPERBLOCK_SIZE];
    ssize_t n = pread(fd.get(), sb, sizeof sb, EXT_SUPERBLOCK_OFFSET);
    if (n < 0)
        return errno;
    if (static_cast<size_t>(n) != sizeof sb)
        return EIO;
    uint16_t magic = static_cast<uint16_t>(sb[EXT_S_MAGIC] | (sb[EXT_S_MAGIC + 1] << 8));
    if (magic != EXT_MAGIC)
        return EINVAL;
    *out = uint32_t(sb[EXT_S_MTIME]) | uint32_t(sb[EXT_S_MTIME + 1]) << 8 |
           uint32_t(sb[EXT_S_MTIME + 2]) << 16 | uint32_t(sb[EXT_S_MTIME + 3]) << 24;
    return 0;
}

void fill_counters(const struct statvfs& vfs, stamp_record* record) {
    record->blocks = vfs.f_blocks;
    record->blocks_free = vfs.f_bfree;
    record->files = vfs.f_files;
    record->files_free = vfs.f_ffree;
}

bool same_counters(const stamp_record& a, const stamp_record& b) {
    return a.blocks == b.blocks && a.blocks_free == b.blocks_free && a.files == b.files &&
           a.files_free == b.files_free;
}

}  // namespace

int volume_mount_time(const char* path, uint32_t* out) {
    uint32_t mounted = 0;
    int err = boot_time(&mounted);
    if (err)
        return err;
    mount_entry* m = nullptr;
    err = mount_status(path, &m);
    if (err)
        return err;
    uint32_t last_mount = 0;
    if (ext_last_mount(*m, &last_mount) == 0 && last_mount > mounted)
        mounted = last_mount;
    mount_list_free(m, 1);
    *out = mounted;
    return 0;
}

int volume_last_mod_time(const char* path, uint32_t* out) {
    unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid())
        return errno;
    *out = now_seconds();
    stamp_record stamp;
    ssize_t n = fgetxattr(fd.get(), VOLUME_STAMP_XATTR, &stamp, sizeof stamp);
    if (n != static_cast<ssize_t>(sizeof stamp) || stamp.version != STAMP_VERSION)
        return 0;
    struct statvfs vfs;
    if (fstatvfs(fd.get(), &vfs) != 0)
        return 0;
    stamp_record current;
    fill_counters(vfs, &current);
    if (same_counters(stamp, current))
        *out = stamp.stamp_time;
    return 0;
}

int volume_stamp_at(const char* path, uint32_t when) {
    unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid())
        return errno;
    if (futimens(fd.get(), nullptr) != 0)
        return errno;
    stamp_record stamp = {};
    stamp.version = STAMP_VERSION;
    stamp.stamp_time = when;
    struct statvfs vfs;
    if (fstatvfs(fd.get(), &vfs) != 0)
        return errno;
    fill_counters(vfs, &stamp);
    // Storing the attribute may itself take space (an attribute block, a tmpfs inode budget);
    // what counts are the counters once it is stored, so store until they hold still.
    for (int i = 0; i < STAMP_WRITE_TRIES; i++) {
        if (fsetxattr(fd.get(), VOLUME_STAMP_XATTR, &stamp, sizeof stamp, 0) != 0)
            return errno;
        if (fstatvfs(fd.get(), &vfs) != 0)
            return errno;
        stamp_record after = stamp;
        fill_counters(vfs, &after);
        if (same_counters(stamp, after))
            return 0;
        stamp = after;
    }
    return EAGAIN;
}

int volume_stamp(const char* path) {
    return volume_stamp_at(path, now_seconds());
}
