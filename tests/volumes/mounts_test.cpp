// The platform calls the volume table and the history stand on: mountinfo lines parsed with
// their escapes, optional fields and flags; the mount holding a path; the shutdown stamp that
// stands only while the volume's counters are unchanged; an ext4 volume's mount time.
#include "platform/mounts.h"
#include "platform/volume_times.h"
#include "tests/support/scratch_root.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <string>
#include <unistd.h>

namespace {

void expect_in_scratch_root(const std::vector<scratch_volume>& volumes,
                            const std::function<int()>& body) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    EXPECT_EQ(run_in_scratch_root(volumes, body), 0);
}

TEST(MountList, ParsesFieldsEscapesAndFlags) {
    const std::string text =
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw,errors=remount-ro\n"
        "23 22 0:5 / /mnt/with\\040space rw master:3 shared:4 - tmpfs my\\134src rw\n"
        "24 22 0:44 / /srv/nfs rw - nfs4 server:/export rw,vers=4.2\n"
        "25 22 7:256 /sub /ro-mount ro,noatime - ext4 /dev/loop256 rw\n"
        "26 22 0:50 / /super-ro rw,nosuid - tmpfs tmpfs ro\n"
        "garbage line\n"
        "28 22 x:1 / /bad-dev rw - tmpfs t rw\n"
        "29 22 0:52 / /no-separator rw tmpfs t rw\n"
        "30 22 0:53 / /trailing\\04 rw,ro-ish - tmpfs  rw";  // empty source, no newline
    mount_entry* list = nullptr;
    int count = 0;
    ASSERT_EQ(mount_list_parse(text.data(), text.size(), &list, &count), 0);
    ASSERT_EQ(count, 6);
    struct {
        const char *mount_point, *from, *type;
        uint32_t dev, flags;
    } want[] = {
        {"/", "/dev/sda1", "ext4", 0x801, MOUNT_LOCAL | MOUNT_ROOTFS},
        {"/mnt/with space", "my\\src", "tmpfs", 0x5, MOUNT_LOCAL},
        {"/srv/nfs", "server:/export", "nfs4", 0x2c, 0},
        // Minor numbers above 255 move to the top bits; "ro" of the mount itself counts.
        {"/ro-mount", "/dev/loop256", "ext4", 0x100700, MOUNT_RDONLY | MOUNT_LOCAL},
        // A read-only file system under a writable mount is not read-only for us.
        {"/super-ro", "tmpfs", "tmpfs", 0x32, MOUNT_LOCAL},
        {"/trailing\\04", "", "tmpfs", 0x35, MOUNT_LOCAL},
    };
    for (int i = 0; i < count; i++) {
        EXPECT_STREQ(list[i].mount_point, want[i].mount_point);
        EXPECT_STREQ(list[i].mounted_from, want[i].from);
        EXPECT_STREQ(list[i].fs_type, want[i].type);
        EXPECT_EQ(list[i].dev, want[i].dev) << i;
        EXPECT_EQ(list[i].flags, want[i].flags) << i;
    }
    mount_list_free(list, count);
    ASSERT_EQ(mount_list_parse("", 0, &list, &count), 0);
    EXPECT_EQ(count, 0);
}

// The mount point of the mount holding path, "?" when there is none.
std::string holder_of(const char* path) {
    mount_entry* holder = nullptr;
    if (mount_status(path, &holder) != 0)
        return "?";
    std::string where =
        std::string(holder->mount_point) + (strcmp(holder->mounted_from, "top") ? "" : "#top");
    mount_list_free(holder, 1);
    return where;
}

TEST(MountStatus, FindsTheVisibleMountHoldingAPath) {
    expect_in_scratch_root({{"/mnt/with space"}}, [] {
        close(open("/mnt/with space/file", O_CREAT | O_WRONLY, 0600));
        SCRATCH_CHECK(holder_of("/mnt/with space/file") == "/mnt/with space");
        SCRATCH_CHECK(mkdir("/mnt/with", 0755) == 0);
        SCRATCH_CHECK(holder_of("/mnt/with") == "/");  // a name prefix is not a path prefix
        SCRATCH_CHECK(symlink("/mnt/with space", "/link") == 0);
        SCRATCH_CHECK(holder_of("/link/file") == "/mnt/with space");
        SCRATCH_CHECK(holder_of("/missing") == "?");

        // A mount hidden under a mount on a parent directory does not hold the path, whether
        // it was listed before the parent's mount or after it (mounted through a descriptor
        // kept from before).
        SCRATCH_CHECK(system("mkdir -p /mnt/a/b /mnt/a/c") == 0);
        SCRATCH_CHECK(mount("inner", "/mnt/a/b", "tmpfs", 0, nullptr) == 0);
        SCRATCH_CHECK(holder_of("/mnt/a/b") == "/mnt/a/b");
        int hidden = open("/mnt/a/c", O_PATH | O_DIRECTORY);
        SCRATCH_CHECK(mount("outer", "/mnt/a", "tmpfs", 0, nullptr) == 0);
        std::string hidden_path = "/proc/self/fd/" + std::to_string(hidden);
        SCRATCH_CHECK(mount("late", hidden_path.c_str(), "tmpfs", 0, nullptr) == 0);
        close(hidden);
        SCRATCH_CHECK(mkdir("/mnt/a/b", 0755) == 0 && mkdir("/mnt/a/c", 0755) == 0);
        SCRATCH_CHECK(holder_of("/mnt/a/b") == "/mnt/a");
        SCRATCH_CHECK(holder_of("/mnt/a/c") == "/mnt/a");
        // Of two mounts on one point, the later is the one in view.
        SCRATCH_CHECK(mount("top", "/mnt/a", "tmpfs", 0, nullptr) == 0);
        SCRATCH_CHECK(holder_of("/mnt/a") == "/mnt/a#top");
        return 0;
    });
}

bool make_file(const char* path, size_t bytes) {
    int fd = open(path, O_CREAT | O_WRONLY | O_TRUNC, 0600);
    std::string block(bytes, 'x');
    bool ok = fd >= 0 && write(fd, block.data(), bytes) == static_cast<ssize_t>(bytes);
    close(fd);
    return ok;
}

TEST(VolumeTimes, StampStandsUntilTheVolumeChanges) {
    expect_in_scratch_root({{"/var"}}, [] {
        const char* uuid = "/var/uuid";
        SCRATCH_CHECK(make_file(uuid, 0));
        uint32_t start = static_cast<uint32_t>(time(nullptr));
        uint32_t changed = 0;
        // No stamp: changed as late as now.
        SCRATCH_CHECK(volume_last_mod_time(uuid, &changed) == 0 && changed >= start);
        SCRATCH_CHECK(volume_stamp_at(uuid, 1000) == 0);
        SCRATCH_CHECK(volume_last_mod_time(uuid, &changed) == 0 && changed == 1000);
        SCRATCH_CHECK(make_file("/var/written", 8192));
        SCRATCH_CHECK(volume_last_mod_time(uuid, &changed) == 0 && changed >= start);
        // An empty new file is a change too.
        SCRATCH_CHECK(volume_stamp_at(uuid, 2000) == 0);
        SCRATCH_CHECK(make_file("/var/empty", 0));
        SCRATCH_CHECK(volume_last_mod_time(uuid, &changed) == 0 && changed >= start);
        // A stamp that is not ours is no stamp.
        SCRATCH_CHECK(volume_stamp_at(uuid, 2000) == 0);
        SCRATCH_CHECK(setxattr(uuid, VOLUME_STAMP_XATTR, "abc", 3, 0) == 0);
        SCRATCH_CHECK(volume_last_mod_time(uuid, &changed) == 0 && changed >= start);
        // The uuid file is never followed through a link, and must exist.
        SCRATCH_CHECK(symlink(uuid, "/var/link") == 0);
        SCRATCH_CHECK(volume_stamp("/var/link") == ELOOP);
        SCRATCH_CHECK(volume_last_mod_time("/var/link", &changed) == ELOOP);
        SCRATCH_CHECK(volume_last_mod_time("/var/missing", &changed) == ENOENT);
        return 0;
    });
}

TEST(VolumeTimes, Ext4MountTimeIsItsLastMount) {
    if (!scratch_ext4_available())
        GTEST_SKIP() << "needs root, mount namespaces, mkfs.ext4 and loop devices";
    uint32_t before_mount = static_cast<uint32_t>(time(nullptr));
    expect_in_scratch_root({{"/var"}, {"/mnt/ext", "ext4"}}, [before_mount] {
        SCRATCH_CHECK(make_file("/mnt/ext/uuid", 0) && make_file("/var/uuid", 0));
        uint32_t ext_mounted = 0, tmpfs_mounted = 0;
        SCRATCH_CHECK(volume_mount_time("/mnt/ext/uuid", &ext_mounted) == 0);
        SCRATCH_CHECK(volume_mount_time("/var/uuid", &tmpfs_mounted) == 0);
        SCRATCH_CHECK(ext_mounted >= before_mount && ext_mounted <= time(nullptr));
        // Without a superblock to read, the boot time (long before this test) stands.
        SCRATCH_CHECK(tmpfs_mounted < before_mount);
        return 0;
    });
}

}  // namespace
