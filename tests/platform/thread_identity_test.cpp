// Per-thread identity, as root in a scratch root (skipped otherwise): read checks under another
// user's ids and groups, kept to their thread; the open-based fallback check; a refused switch
// that leaves the earlier identity in force.
#include "platform/thread_identity.h"
#include "tests/support/scratch_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <latch>
#include <thread>

// The fallback read check, linked from thread_identity.cpp.
int thread_may_read_by_open(const char* path);

namespace {

constexpr uint32_t NOBODY = 65534, OTHER_GID = 65533, MEMBER_GID = 4242;  // nobody is a member

long fsid(long call) {
    return syscall(call, -1);  // -1 changes nothing
}

std::vector<gid_t> thread_groups() {
    std::vector<gid_t> groups(static_cast<size_t>(syscall(SYS_getgroups, 0, nullptr)));
    groups.resize(static_cast<size_t>(syscall(SYS_getgroups, groups.size(), groups.data())));
    std::sort(groups.begin(), groups.end());
    return groups;
}

// Items under /tmp/t owned by root (the mode's type bits say what to make; 0: none) and what
// nobody, in its own group only, may read of them.
// clang-format off
const struct {
    const char* name;
    mode_t mode;
    int nobody;
    gid_t gid = 0;
} TREE[] = {{"secret", 0600, EACCES}, {"open", 0644, 0}, {"closed", S_IFDIR | 0700, EACCES},
            {"closed/inner", 0644, EACCES}, {"group_root", 0040, EACCES},
            {"by_member", 0040, EACCES, MEMBER_GID}, {"group_other", 0040, EACCES, OTHER_GID},
            {"fifo_secret", S_IFIFO | 0600, EACCES}, {"fifo_open", S_IFIFO | 0644, 0},
            {"link", S_IFLNK, 0} /* the link itself */, {"missing", 0, ENOENT}};
// clang-format on

int check(const std::string& name, bool by_open = false) {
    std::string path = "/tmp/t/" + name;
    return by_open ? thread_may_read_by_open(path.c_str()) : thread_may_read(path.c_str());
}

int identity_scenario() {
    SCRATCH_CHECK(mkdir("/tmp/t", 0755) == 0);
    for (const auto& item : TREE) {
        std::string p = std::string("/tmp/t/") + item.name;
        int made = S_ISDIR(item.mode)    ? mkdir(p.c_str(), 0)
                   : S_ISFIFO(item.mode) ? mkfifo(p.c_str(), 0)
                   : S_ISLNK(item.mode)  ? symlink("/tmp/t/secret", p.c_str())
                   : item.mode           ? close(open(p.c_str(), O_CREAT | O_WRONLY, 0))
                                         : 0;
        SCRATCH_CHECK(made == 0 &&
                      (!item.mode || S_ISLNK(item.mode) ||
                       (!chown(p.c_str(), 0, item.gid) && !chmod(p.c_str(), item.mode & 07777))));
    }
    const std::string groups = "root:x:0:\nnogroup:x:65534:\nmembers:x:4242:daemon,nobody\n";
    int fd = open("/tmp/group", O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    SCRATCH_CHECK(write(fd, groups.data(), groups.size()) == ssize_t(groups.size()) && !close(fd));
    SCRATCH_CHECK(mount("/tmp/group", "/etc/group", nullptr, MS_BIND, nullptr) == 0);

    // Ids and groups switched on one thread (raw system calls, never glibc's process-wide
    // wrappers) decide that thread's checks only; supplementary groups come from the user name.
    const std::vector<gid_t> before = thread_groups();
    std::latch switched(1), checked(1);
    int client = -1;
    std::thread t([&] {
        client = [&] {
            SCRATCH_CHECK(thread_set_credentials(NOBODY, NOBODY, nullptr) == 0);
            SCRATCH_CHECK(fsid(SYS_setfsuid) == NOBODY && fsid(SYS_setfsgid) == NOBODY);
            SCRATCH_CHECK(thread_groups() == std::vector<gid_t>{NOBODY});
            for (const auto& item : TREE)  // the open-based check is for kernels without faccessat2
                SCRATCH_CHECK(check(item.name) == item.nobody &&
                              check(item.name, true) == item.nobody);
            // Switching again without a restore: the new gid, then the user's groups.
            SCRATCH_CHECK(thread_set_credentials(NOBODY, OTHER_GID, nullptr) == 0);
            SCRATCH_CHECK(check("group_other") == 0);
            SCRATCH_CHECK(thread_set_credentials(NOBODY, NOBODY, "nobody") == 0);
            SCRATCH_CHECK(thread_groups() == (std::vector<gid_t>{MEMBER_GID, NOBODY}));
            return check("by_member");
        }();
        switched.count_down();
        checked.wait();  // still in force after the other thread's checks; then restored
        if (client == 0 &&
            (check("secret") != EACCES || thread_restore_credentials() != 0 ||
             fsid(SYS_setfsuid) != 0 || thread_groups() != before || check("secret")))
            client = 2;
    });
    switched.wait();
    bool unchanged = fsid(SYS_setfsuid) == 0 && thread_groups() == before && check("secret") == 0 &&
                     geteuid() == 0 && getegid() == 0;
    checked.count_down();
    t.join();
    SCRATCH_CHECK(client == 0 && unchanged);

    // Refused at the uid (groups and gid already changed), then at the first step: the earlier
    // identity stays whole. fsuid 0 matches the effective uid, so it needs no CAP_SETUID.
    SCRATCH_CHECK(thread_set_credentials(0, OTHER_GID, nullptr) == 0);
    for (int cap : {CAP_SETUID, CAP_SETGID}) {  // out of this thread's effective set (capset)
        __user_cap_header_struct head = {_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2] = {};
        SCRATCH_CHECK(syscall(SYS_capget, &head, data) == 0);
        data[cap / 32].effective &= ~(1u << (cap % 32));
        SCRATCH_CHECK(syscall(SYS_capset, &head, data) == 0);
        SCRATCH_CHECK(thread_set_credentials(NOBODY, NOBODY, nullptr) == EPERM);
        SCRATCH_CHECK(fsid(SYS_setfsuid) == 0 && fsid(SYS_setfsgid) == OTHER_GID);
        SCRATCH_CHECK(thread_groups() == std::vector<gid_t>{OTHER_GID});
    }
    return 0;
}

TEST(ThreadIdentity, ReadChecksFollowOnlyTheSwitchingThread) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    EXPECT_EQ(0, run_in_scratch_root({}, identity_scenario));
}

}  // namespace
