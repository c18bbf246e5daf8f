// Volume times: the shutdown stamp stands only while the volume's counters are unchanged, and
// an ext4 volume's mount time is its superblock's last mount, not the boot. Also the file
// helpers the history relies on: the path behind a descriptor and the exclusive create.
#include "platform/files.h"
#include "platform/volume_times.h"
#include "tests/support/scratch_root.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool make_file(const char* path, size_t bytes) {
    int fd = open(path, O_CREAT | O_WRONLY | O_TRUNC, 0600);
    if (fd < 0)
        return false;
    char block[4096] = {};
    bool ok = true;
    for (size_t done = 0; ok && done < bytes; done += sizeof block)
        ok = write(fd, block, sizeof block) == static_cast<ssize_t>(sizeof block);
    close(fd);
    return ok;
}

TEST(VolumeTimes, StampStandsUntilTheVolumeChanges) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    int result = run_in_scratch_root({{"/var"}}, [] {
        const char* uuid = "/var/uuid";
        SCRATCH_CHECK(make_file(uuid, 0));
        uint32_t start = static_cast<uint32_t>(time(nullptr));
        uint32_t changed = 0;

        // No stamp yet: changed as late as now.
        SCRATCH_CHECK(volume_last_mod_time(uuid, &changed) == 0);
        SCRATCH_CHECK(changed >= start);

        SCRATCH_CHECK(volume_stamp_at(uuid, 1000) == 0);
        SCRATCH_CHECK(volume_last_mod_time(uuid, &changed) == 0 && changed == 1000);
        struct stat st;
        SCRATCH_CHECK(stat(uuid, &st) == 0 && st.st_mtime >= start && st.st_ctime >= start);

        SCRATCH_CHECK(make_file("/var/written", 8192));
        SCRATCH_CHECK(volume_last_mod_time(uuid, &changed) == 0 && changed >= start);

        // A new stamp counts again; an empty new file is a change too.
        SCRATCH_CHECK(volume_stamp_at(uuid, 2000) == 0);
        SCRATCH_CHECK(volume_last_mod_time(uuid, &changed) == 0 && changed == 2000);
        SCRATCH_CHECK(make_file("/var/empty", 0));
        SCRATCH_CHECK(volume_last_mod_time(uuid, &changed) == 0 && changed >= start);

        // A stamp that is not ours is no stamp.
        SCRATCH_CHECK(setxattr(uuid, VOLUME_STAMP_XATTR, "abc", 3, 0) == 0);
        SCRATCH_CHECK(volume_last_mod_time(uuid, &changed) == 0 && changed >= start);

        // The uuid file is never followed through a link, and must exist.
        SCRATCH_CHECK(symlink(uuid, "/var/link") == 0);
        SCRATCH_CHECK(volume_stamp("/var/link") == ELOOP);
        SCRATCH_CHECK(volume_last_mod_time("/var/link", &changed) == ELOOP);
        SCRATCH_CHECK(volume_last_mod_time("/var/missing", &changed) == ENOENT);
        return 0;
    });
    EXPECT_EQ(result, 0);
}

TEST(VolumeTimes, Ext4MountTimeIsItsLastMount) {
    if (!scratch_ext4_available())
        GTEST_SKIP() << "needs root, mount namespaces, mkfs.ext4 and loop devices";
    uint32_t before_mount = static_cast<uint32_t>(time(nullptr));
    int result = run_in_scratch_root({{"/var"}, {"/mnt/ext", "ext4"}}, [before_mount] {
        SCRATCH_CHECK(make_file("/mnt/ext/uuid", 0));
        SCRATCH_CHECK(make_file("/var/uuid", 0));
        uint32_t ext_mounted = 0;
        uint32_t tmpfs_mounted = 0;
        SCRATCH_CHECK(volume_mount_time("/mnt/ext/uuid", &ext_mounted) == 0);
        SCRATCH_CHECK(volume_mount_time("/var/uuid", &tmpfs_mounted) == 0);
        uint32_t now = static_cast<uint32_t>(time(nullptr));
        SCRATCH_CHECK(ext_mounted >= before_mount && ext_mounted <= now);
        // Without a superblock to read, the boot time (long before this test) stands.
        SCRATCH_CHECK(tmpfs_mounted < before_mount);
        return 0;
    });
    EXPECT_EQ(result, 0);
}

TEST(Files, DescriptorPathAndExclusiveCreate) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    int result = run_in_scratch_root({}, [] {
        SCRATCH_CHECK(mkdir("/tmp/dir", 0755) == 0);
        int fd = open_protected_create("/tmp/dir/created", O_RDWR | O_TRUNC);
        SCRATCH_CHECK(fd >= 0);
        struct stat st;
        SCRATCH_CHECK(fstat(fd, &st) == 0 && (st.st_mode & 07777) == 0600);

        char path[64];
        SCRATCH_CHECK(fd_get_path(fd, path, sizeof path) == 0);
        SCRATCH_CHECK(strcmp(path, "/tmp/dir/created") == 0);
        SCRATCH_CHECK(fd_get_path(fd, path, strlen("/tmp/dir/created")) == ENAMETOOLONG);
        SCRATCH_CHECK(fd_get_path(fd, path, strlen("/tmp/dir/created") + 1) == 0);
        close(fd);

        // Neither an existing file nor a link (even a dangling one) is ever opened.
        SCRATCH_CHECK(open_protected_create("/tmp/dir/created", O_RDWR) < 0 && errno == EEXIST);
        SCRATCH_CHECK(symlink("/tmp/dir/target", "/tmp/dir/link") == 0);
        SCRATCH_CHECK(open_protected_create("/tmp/dir/link", O_RDWR) < 0 && errno == EEXIST);
        SCRATCH_CHECK(access("/tmp/dir/target", F_OK) != 0);
        return 0;
    });
    EXPECT_EQ(result, 0);
}

}  // namespace
