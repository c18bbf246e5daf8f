// The volume table and the platform calls it stands on: mountinfo lines parsed with their
// escapes, optional fields and flags; the mount holding a path; the shutdown stamp that stands
// only while the volume is unchanged; which volumes keep a history.
#include "common/log.h"
#include "history/dls.h"
#include "platform/mounts.h"
#include "platform/volume_times.h"
#include "tests/support/scratch_root.h"
#include "volumes/dev_info.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <tuple>

namespace {

TEST(MountList, ParsesFieldsEscapesAndFlags) {
    const std::string text =
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw,errors=remount-ro\n"
        "23 22 0:5 / /mnt/with\\040space rw master:3 shared:4 - tmpfs my\\134src rw\n"
        "24 22 0:44 / /srv/nfs rw - nfs4 server:/export rw,vers=4.2\n"
        "25 22 7:256 /sub /ro-mount ro,noatime - ext4 /dev/loop256 rw\n"
        "26 22 0:50 / /super-ro rw,nosuid - tmpfs tmpfs ro\n"
        "garbage line\n28 22 x:1 / /bad-dev rw - tmpfs t rw\n29 22 0:52 / /no-sep rw tmpfs t rw\n"
        "30 22 0:53 / /trailing\\04 rw,ro-ish - tmpfs  rw";  // empty source, no newline
    mount_entry* list = nullptr;
    int count = 0;
    ASSERT_EQ(mount_list_parse(text.data(), text.size(), &list, &count), 0);
    // Minor numbers above 255 move to the top bits; only the mount's own "ro" counts.
    const std::tuple<std::string, std::string, std::string, uint32_t, uint32_t> want[] = {
        {"/", "/dev/sda1", "ext4", 0x801, MOUNT_LOCAL | MOUNT_ROOTFS},
        {"/mnt/with space", "my\\src", "tmpfs", 0x5, MOUNT_LOCAL},
        {"/srv/nfs", "server:/export", "nfs4", 0x2c, 0},
        {"/ro-mount", "/dev/loop256", "ext4", 0x100700, MOUNT_RDONLY | MOUNT_LOCAL},
        {"/super-ro", "tmpfs", "tmpfs", 0x32, MOUNT_LOCAL},
        {"/trailing\\04", "", "tmpfs", 0x35, MOUNT_LOCAL},
    };
    ASSERT_EQ(count, 6);
    for (int i = 0; i < count; i++) {
        const mount_entry& m = list[i];
        EXPECT_EQ(std::tie(m.mount_point, m.mounted_from, m.fs_type, m.dev, m.flags), want[i]);
    }
    mount_list_free(list, count);
}

void in_scratch_root(const std::vector<scratch_volume>& volumes, const std::function<int()>& body) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    EXPECT_EQ(run_in_scratch_root(volumes, body), 0);
}

// "mount point source" of the mount holding path, "?" for none.
std::string holder_of(const char* path) {
    mount_entry* m = nullptr;
    if (mount_status(path, &m) != 0)
        return "?";
    std::string holder = m->mount_point + (" " + std::string(m->mounted_from));
    mount_list_free(m, 1);
    return holder;
}

// A name prefix is no path prefix; a mount hidden under a later mount on a parent, whether
// listed before or after it, holds nothing; of two mounts on one point the later is in view.
// The volume stamp stands until a file is made there, and only a stamp of ours counts.
TEST(MountStatus, FindsTheVisibleMountAndTheStampStandsUntilTheVolumeChanges) {
    in_scratch_root({{"/mnt/with space"}}, [] {
        SCRATCH_CHECK(mkdir("/mnt/with", 0755) == 0 && symlink("/mnt/with space", "/link") == 0);
        SCRATCH_CHECK(holder_of("/link").rfind("/mnt/with space ", 0) == 0);
        SCRATCH_CHECK(holder_of("/mnt/with").rfind("/ ", 0) == 0 && holder_of("/none") == "?");
        SCRATCH_CHECK(system("mkdir -p /mnt/a/b /mnt/a/c") == 0);
        SCRATCH_CHECK(mount("inner", "/mnt/a/b", "tmpfs", 0, nullptr) == 0);
        std::string hidden = "/proc/self/fd/" + std::to_string(open("/mnt/a/c", O_PATH));
        SCRATCH_CHECK(mount("outer", "/mnt/a", "tmpfs", 0, nullptr) == 0);
        SCRATCH_CHECK(mount("late", hidden.c_str(), "tmpfs", 0, nullptr) == 0);
        SCRATCH_CHECK(mkdir("/mnt/a/b", 0755) == 0 && mkdir("/mnt/a/c", 0755) == 0);
        SCRATCH_CHECK(holder_of("/mnt/a/b") == "/mnt/a outer" &&
                      holder_of("/mnt/a/c") == "/mnt/a outer");
        SCRATCH_CHECK(mount("top", "/mnt/a", "tmpfs", 0, nullptr) == 0);
        SCRATCH_CHECK(holder_of("/mnt/a") == "/mnt/a top");

        const char* uuid = "/mnt/with space/uuid";
        uint32_t start = time(nullptr), changed = 0;
        close(open(uuid, O_CREAT | O_WRONLY, 0600));
        SCRATCH_CHECK(volume_last_mod_time(uuid, &changed) == 0 && changed >= start);
        SCRATCH_CHECK(volume_stamp_at(uuid, 1000) == 0);
        SCRATCH_CHECK(volume_last_mod_time(uuid, &changed) == 0 && changed == 1000);
        SCRATCH_CHECK(close(open("/mnt/with space/e", O_CREAT, 0600)) == 0);  // a new empty file
        SCRATCH_CHECK(volume_last_mod_time(uuid, &changed) == 0 && changed >= start);
        SCRATCH_CHECK(volume_stamp_at(uuid, 2000) == 0);  // and a stamp not of ours
        SCRATCH_CHECK(setxattr(uuid, VOLUME_STAMP_XATTR, "abc", 3, 0) == 0);
        SCRATCH_CHECK(volume_last_mod_time(uuid, &changed) == 0 && changed >= start);
        SCRATCH_CHECK(symlink(uuid, "/mnt/with space/link") == 0);
        SCRATCH_CHECK(volume_last_mod_time("/mnt/with space/link", &changed) == ELOOP);
        return 0;
    });
}

// The root and the local, writable volume holding /var keep a history; nothing else does, and
// a no_log marker of any kind disables the /var volume but not the root.
TEST(InitDevInfo, LogsTheRootAndTheWritableVarVolumeOnly) {
    const uint32_t ROOT = DEV_IS_ROOT | DEV_MOUNTED | DEV_LOGGED;
    const uint32_t IDLE = DEV_MOUNTED | DEV_NOT_LOGGED;
    struct {
        std::vector<scratch_volume> volumes;
        std::string prepare;
        std::vector<std::tuple<std::string, uint32_t, uint32_t>> records;  // flags, depth
        int logged;
    } cases[] = {
        // clang-format off
        {{}, "", {{"/", ROOT, 1}, {"/proc", IDLE, 2}, {"/usr", IDLE, 2}}, 1},
        {{{"/var"}, {"/mnt/d"}}, "",
         {{"/var", DEV_MOUNTED | DEV_LOGGED, 2}, {"/mnt/d", IDLE, 3}}, 2},
        {{{"/var"}}, "mkdir -p /var/.vantlesd /.vantlesd/no_log && ln -s / /var/.vantlesd/no_log",
         {{"/", ROOT, 1}, {"/var", IDLE | DEV_LOG_DISABLED, 2}}, 1},
        {{{"/var", "tmpfs", true}}, "", {{"/var", IDLE, 2}}, 1},
        {{}, "rmdir /var && ln -s /dev /var", {{"/dev", IDLE, 2}}, 1},
        // clang-format on
    };
    for (const auto& k : cases) {
        in_scratch_root(k.volumes, [&k] {
            struct stat st;
            SCRATCH_CHECK(k.prepare.empty() || system(k.prepare.c_str()) == 0);
            log_open("volumes_tests", LOG_OPTIONS_STDERR);
            SCRATCH_CHECK(init_dev_info(create_dls) == 0 && stat("/", &st) == 0 &&
                          volumes.root_dev == device_number_32(st.st_dev));
            int logged = 0;
            for (int i = 0; i < volumes.dev_table.load()->count; i++) {
                const dev_info* di = volumes.dev_table.load()->entries[i];
                logged += (di->flags & DEV_LOGGED) != 0;
                SCRATCH_CHECK((di->dls != nullptr) == ((di->flags & DEV_LOGGED) != 0));
                for (const auto& [at, flags, depth] : k.records)
                    SCRATCH_CHECK(at != di->mount_point ||
                                  (di->flags == flags && di->depth == depth));
            }
            SCRATCH_CHECK(logged == k.logged);
            return 0;
        });
    }
}

}  // namespace
