// The mount list: mountinfo lines parsed with their escapes, optional fields and flags, device
// numbers that agree with stat, and the lookup of the mount holding a path.
#include "platform/mounts.h"
#include "tests/support/scratch_root.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

TEST(MountList, ParsesFieldsEscapesAndFlags) {
    const std::string text =
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw,errors=remount-ro\n"
        "23 22 0:5 / /mnt/with\\040space rw master:3 shared:4 - tmpfs my\\134src rw\n"
        "24 22 0:44 / /srv/nfs rw - nfs4 server:/export rw,vers=4.2\n"
        "25 22 7:256 /sub /ro-mount ro,noatime - ext4 /dev/loop256 rw\n"
        "26 22 0:50 / /super-ro rw,nosuid - tmpfs tmpfs ro\n"
        "27 22 0:51 / /tab\\011nl\\012 rw - fuse.sshfs u@h: rw\n"
        "garbage line\n"
        "28 22 x:1 / /bad-dev rw - tmpfs t rw\n"
        "29 22 0:52 / /no-separator rw tmpfs t rw\n"
        "30 22 0:53 / /trailing\\04 rw,ro-ish - tmpfs  rw";  // empty source, no newline
    mount_entry* list = nullptr;
    int count = 0;
    ASSERT_EQ(mount_list_parse(text.data(), text.size(), &list, &count), 0);
    ASSERT_EQ(count, 7);

    EXPECT_STREQ(list[0].mount_point, "/");
    EXPECT_STREQ(list[0].mounted_from, "/dev/sda1");
    EXPECT_STREQ(list[0].fs_type, "ext4");
    EXPECT_EQ(list[0].dev, 0x801u);
    EXPECT_EQ(list[0].flags, MOUNT_LOCAL | MOUNT_ROOTFS);

    EXPECT_STREQ(list[1].mount_point, "/mnt/with space");
    EXPECT_STREQ(list[1].mounted_from, "my\\src");
    EXPECT_EQ(list[1].dev, 0x5u);
    EXPECT_EQ(list[1].flags, MOUNT_LOCAL);

    EXPECT_STREQ(list[2].fs_type, "nfs4");
    EXPECT_EQ(list[2].flags, 0u);

    // Minor numbers above 255 move to the top bits; "ro" of the mount itself counts.
    EXPECT_EQ(list[3].dev, 0x100700u);
    EXPECT_EQ(list[3].flags, MOUNT_RDONLY | MOUNT_LOCAL);

    // A read-only file system under a writable mount is not read-only for us.
    EXPECT_EQ(list[4].flags, MOUNT_LOCAL);

    EXPECT_STREQ(list[5].mount_point, "/tab\tnl\n");
    EXPECT_EQ(list[5].flags, 0u);

    EXPECT_STREQ(list[6].mount_point, "/trailing\\04");
    EXPECT_STREQ(list[6].mounted_from, "");
    EXPECT_EQ(list[6].flags, MOUNT_LOCAL);
    mount_list_free(list, count);

    ASSERT_EQ(mount_list_parse("", 0, &list, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(list, nullptr);
}

TEST(MountList, RootDeviceAgreesWithStat) {
    mount_entry* list = nullptr;
    int count = 0;
    ASSERT_EQ(mount_list_read(&list, &count), 0);
    uint32_t root = 0;
    for (int i = 0; i < count; i++) {
        if (list[i].flags & MOUNT_ROOTFS)
            root = list[i].dev;
    }
    mount_list_free(list, count);
    struct stat st;
    ASSERT_EQ(stat("/", &st), 0);
    EXPECT_EQ(root, device_number_32(st.st_dev));
}

// The mount point of the mount holding path, "?" when there is none.
std::string holder_of(const char* path) {
    mount_entry* holder = nullptr;
    if (mount_status(path, &holder) != 0)
        return "?";
    std::string where = holder->mount_point;
    mount_list_free(holder, 1);
    return where;
}

TEST(MountStatus, FindsTheVisibleMountHoldingAPath) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    int result = run_in_scratch_root({{"/mnt/with space"}}, [] {
        // The escaped mount point comes back decoded, with the device stat reports.
        mount_entry* list = nullptr;
        int count = 0;
        SCRATCH_CHECK(mount_list_read(&list, &count) == 0);
        const mount_entry* spaced = nullptr;
        for (int i = 0; i < count; i++) {
            if (strcmp(list[i].mount_point, "/mnt/with space") == 0)
                spaced = &list[i];
        }
        SCRATCH_CHECK(spaced != nullptr);
        struct stat st;
        SCRATCH_CHECK(stat("/mnt/with space", &st) == 0);
        SCRATCH_CHECK(spaced->dev == device_number_32(st.st_dev));
        SCRATCH_CHECK(strcmp(spaced->mounted_from, "scratch-volume") == 0);
        mount_list_free(list, count);

        int fd = open("/mnt/with space/file", O_CREAT | O_WRONLY, 0600);
        SCRATCH_CHECK(fd >= 0);
        close(fd);
        SCRATCH_CHECK(holder_of("/mnt/with space/file") == "/mnt/with space");
        SCRATCH_CHECK(mkdir("/mnt/with", 0755) == 0);
        SCRATCH_CHECK(holder_of("/mnt/with") == "/");  // a name prefix is not a path prefix
        SCRATCH_CHECK(symlink("/mnt/with space", "/link") == 0);
        SCRATCH_CHECK(holder_of("/link/file") == "/mnt/with space");
        SCRATCH_CHECK(holder_of("/missing") == "?");

        // A mount hidden under a mount on a parent directory does not hold the path, whether
        // it was listed before the parent's mount or after it (mounted through a descriptor
        // kept from before).
        SCRATCH_CHECK(mkdir("/mnt/a", 0755) == 0 && mkdir("/mnt/a/b", 0755) == 0);
        SCRATCH_CHECK(mkdir("/mnt/a/c", 0755) == 0);
        SCRATCH_CHECK(mount("inner", "/mnt/a/b", "tmpfs", 0, nullptr) == 0);
        SCRATCH_CHECK(holder_of("/mnt/a/b") == "/mnt/a/b");
        int hidden = open("/mnt/a/c", O_PATH | O_DIRECTORY);
        SCRATCH_CHECK(hidden >= 0);
        SCRATCH_CHECK(mount("outer", "/mnt/a", "tmpfs", 0, nullptr) == 0);
        std::string hidden_path = "/proc/self/fd/" + std::to_string(hidden);
        SCRATCH_CHECK(mount("late", hidden_path.c_str(), "tmpfs", 0, nullptr) == 0);
        close(hidden);
        SCRATCH_CHECK(mkdir("/mnt/a/b", 0755) == 0 && mkdir("/mnt/a/c", 0755) == 0);
        SCRATCH_CHECK(holder_of("/mnt/a/b") == "/mnt/a");
        SCRATCH_CHECK(holder_of("/mnt/a/c") == "/mnt/a");
        // Of two mounts on one point, the later is the one in view.
        SCRATCH_CHECK(mount("top", "/mnt/a", "tmpfs", 0, nullptr) == 0);
        mount_entry* holder = nullptr;
        SCRATCH_CHECK(mount_status("/mnt/a", &holder) == 0);
        SCRATCH_CHECK(strcmp(holder->mounted_from, "top") == 0);
        mount_list_free(holder, 1);
        return 0;
    });
    EXPECT_EQ(result, 0);
}

}  // namespace
