// Per-thread identity: read checks under another user's file-system ids and groups kept to
// their thread, a refused switch that leaves the earlier identity in force, and the fallback
// check. Run as root in scratch roots (skipped otherwise), on a tree under /tmp/t.
#include "platform/thread_identity.h"
#include "tests/support/scratch_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <latch>
#include <string>
#include <thread>
#include <vector>

// The fallback read check, linked from thread_identity.cpp.
int thread_may_read_by_open(const char* path);

namespace {

constexpr uint32_t NOBODY = 65534;
constexpr uint32_t OTHER_GID = 65533;
constexpr gid_t MEMBER_GID = 4242;  // a group that lists "nobody" as a member

int in_thread(const std::function<int()>& body) {
    int result = -1;
    std::thread t([&] { result = body(); });
    t.join();
    return result;
}

uint32_t current_fsuid() {
    return static_cast<uint32_t>(syscall(SYS_setfsuid, -1));  // -1 changes nothing
}
uint32_t current_fsgid() {
    return static_cast<uint32_t>(syscall(SYS_setfsgid, -1));
}

std::vector<gid_t> thread_groups() {
    std::vector<gid_t> groups(static_cast<size_t>(syscall(SYS_getgroups, 0, nullptr)));
    groups.resize(static_cast<size_t>(syscall(SYS_getgroups, groups.size(), groups.data())));
    std::sort(groups.begin(), groups.end());
    return groups;
}

bool make_file(const char* path, mode_t mode, gid_t group = 0) {
    int fd = open(path, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    bool written = fd >= 0 && write(fd, "x", 1) == 1;
    close(fd);
    return written && chown(path, 0, group) == 0 && chmod(path, mode) == 0;
}

// An access ACL that denies "nobody" what the mode bits give everyone:
// user::rw- user:nobody:--- group::r-- mask::r-- other::r--. errno EOPNOTSUPP without ACLs.
bool deny_nobody_by_acl(const char* path) {
    struct entry {
        uint16_t tag, perm;
        uint32_t id;
    };
    const entry entries[] = {{0x01, 6, UINT32_MAX},
                             {0x02, 0, NOBODY},
                             {0x04, 4, UINT32_MAX},
                             {0x10, 4, UINT32_MAX},
                             {0x20, 4, UINT32_MAX}};
    const uint32_t version = 2;
    char blob[sizeof version + sizeof entries];
    memcpy(blob, &version, sizeof version);
    memcpy(blob + sizeof version, entries, sizeof entries);
    return setxattr(path, "system.posix_acl_access", blob, sizeof blob, 0) == 0;
}

// Runs body in a scratch root holding, all owned by root: secret (0600), open (0644),
// closed/ (0700) with inner (0644), link (symbolic, to secret), group_other (0040, group
// OTHER_GID), group_root (0040), by_member (0040, group MEMBER_GID), fifo_secret (0600),
// fifo_open (0644); /etc/group lists nobody in MEMBER_GID.
int run_with_tree(const std::function<int()>& body) {
    return run_in_scratch_root({}, [&] {
        SCRATCH_CHECK(mkdir("/tmp/t", 0755) == 0 && mkdir("/tmp/t/closed", 0700) == 0);
        SCRATCH_CHECK(make_file("/tmp/t/secret", 0600) && make_file("/tmp/t/open", 0644));
        SCRATCH_CHECK(make_file("/tmp/t/group_other", 0040, OTHER_GID));
        SCRATCH_CHECK(make_file("/tmp/t/group_root", 0040));
        SCRATCH_CHECK(make_file("/tmp/t/by_member", 0040, MEMBER_GID));
        SCRATCH_CHECK(make_file("/tmp/t/closed/inner", 0644));
        SCRATCH_CHECK(symlink("/tmp/t/secret", "/tmp/t/link") == 0);
        SCRATCH_CHECK(mkfifo("/tmp/t/fifo_secret", 0600) == 0 &&
                      mkfifo("/tmp/t/fifo_open", 0) == 0);
        SCRATCH_CHECK(chmod("/tmp/t/fifo_open", 0644) == 0);
        const char* groups = "root:x:0:\nnogroup:x:65534:\nmembers:x:4242:daemon,nobody\n";
        int fd = open("/tmp/group", O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        SCRATCH_CHECK(fd >= 0 && write(fd, groups, strlen(groups)) == (ssize_t)strlen(groups));
        close(fd);
        SCRATCH_CHECK(mount("/tmp/group", "/etc/group", nullptr, MS_BIND, nullptr) == 0);
        return body();
    });
}

#define NEEDS_SCRATCH_ROOT()       \
    if (!scratch_root_available()) \
    GTEST_SKIP() << "needs root and mount namespaces"

// Ids and groups switched on one thread (raw system calls, never glibc's process-wide
// wrappers) decide that thread's read checks and leave the process and other threads as they
// were; supplementary groups come from the user name; a restore brings the daemon's back.
TEST(ThreadIdentity, ReadChecksFollowTheThreadsOwnIdentity) {
    NEEDS_SCRATCH_ROOT();
    EXPECT_EQ(
        0, run_with_tree([] {
            const std::vector<gid_t> before = thread_groups();
            std::latch switched(1), checked(1);
            int client = -1;
            std::thread t([&] {
                client = [&] {
                    SCRATCH_CHECK(thread_set_credentials(NOBODY, NOBODY, nullptr) == 0);
                    SCRATCH_CHECK(current_fsuid() == NOBODY && current_fsgid() == NOBODY);
                    SCRATCH_CHECK(thread_groups() == std::vector<gid_t>{NOBODY});
                    for (const char* denied :
                         {"/tmp/t/secret", "/tmp/t/closed/inner", "/tmp/t/closed",
                          "/tmp/t/group_root", "/tmp/t/by_member"})
                        SCRATCH_CHECK(thread_may_read(denied) == EACCES);
                    SCRATCH_CHECK(thread_may_read("/tmp/t/open") == 0);
                    SCRATCH_CHECK(thread_may_read("/tmp/t/link") == 0);  // the link itself
                    SCRATCH_CHECK(thread_may_read("/tmp/t/missing") == ENOENT);
                    // Switching again without a restore; the new gid is in force.
                    SCRATCH_CHECK(thread_set_credentials(NOBODY, OTHER_GID, nullptr) == 0);
                    SCRATCH_CHECK(thread_may_read("/tmp/t/group_other") == 0);
                    SCRATCH_CHECK(thread_set_credentials(NOBODY, NOBODY, "vantles-unknown") == 0);
                    SCRATCH_CHECK(thread_may_read("/tmp/t/by_member") == EACCES);
                    SCRATCH_CHECK(thread_set_credentials(NOBODY, NOBODY, "nobody") == 0);
                    SCRATCH_CHECK(thread_groups() == (std::vector<gid_t>{MEMBER_GID, NOBODY}));
                    SCRATCH_CHECK(thread_may_read("/tmp/t/by_member") == 0);
                    return 0;
                }();
                switched.count_down();
                checked.wait();  // still in force after the other thread's checks
                if (client == 0 && thread_may_read("/tmp/t/secret") != EACCES)
                    client = 1;
                if (client == 0 &&
                    (thread_restore_credentials() != 0 || current_fsuid() != 0 ||
                     thread_groups() != before || thread_may_read("/tmp/t/secret") != 0 ||
                     thread_restore_credentials() != 0))
                    client = 2;
            });
            switched.wait();
            bool unchanged = current_fsuid() == 0 && current_fsgid() == 0 &&
                             thread_groups() == before && thread_may_read("/tmp/t/secret") == 0 &&
                             geteuid() == 0 && getegid() == 0;
            checked.count_down();
            t.join();
            SCRATCH_CHECK(client == 0 && unchanged);
            return 0;
        }));
}

// Takes cap out of the calling thread's effective set (capset applies to one thread).
int drop_capability(int cap) {
    __user_cap_header_struct head = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &head, data) != 0)
        return errno;
    data[cap / 32].effective &= ~(1u << (cap % 32));
    return syscall(SYS_capset, &head, data) == 0 ? 0 : errno;
}

TEST(ThreadIdentity, RefusedSwitchKeepsTheEarlierIdentity) {
    NEEDS_SCRATCH_ROOT();
    EXPECT_EQ(0, run_with_tree([] {
                  return in_thread([&] {
                      // fsuid 0 matches the effective uid, so this needs no CAP_SETUID.
                      SCRATCH_CHECK(thread_set_credentials(0, OTHER_GID, nullptr) == 0);
                      const std::vector<gid_t> earlier{OTHER_GID};
                      // Refused at the uid (groups and gid already changed), then at the first
                      // step.
                      for (int cap : {CAP_SETUID, CAP_SETGID}) {
                          SCRATCH_CHECK(drop_capability(cap) == 0);
                          SCRATCH_CHECK(thread_set_credentials(NOBODY, NOBODY, nullptr) == EPERM);
                          SCRATCH_CHECK(current_fsuid() == 0 && current_fsgid() == OTHER_GID);
                          SCRATCH_CHECK(thread_groups() == earlier);
                      }
                      return 0;
                  });
              }));
}

// The open-based check used where the kernel lacks faccessat2 gives the same answers, and
// never opens special files; ACLs count.
TEST(ThreadIdentity, FallbackAgreesWithTheKernelCheck) {
    NEEDS_SCRATCH_ROOT();
    EXPECT_EQ(
        0, run_with_tree([] {
            std::vector<std::string> names = {"secret",       "open",      "closed",
                                              "closed/inner", "link",      "group_root",
                                              "fifo_secret",  "fifo_open", "missing"};
            auto agree = [&names] {
                for (const std::string& name : names) {
                    std::string path = "/tmp/t/" + name;
                    int kernel = thread_may_read(path.c_str());
                    if (kernel != thread_may_read_by_open(path.c_str())) {
                        fprintf(stderr, "%s: kernel %d, fallback differs\n", path.c_str(), kernel);
                        return false;
                    }
                }
                return true;
            };
            SCRATCH_CHECK(agree());  // as root (an ACL on a special file makes the fallback refuse)
            SCRATCH_CHECK(make_file("/tmp/t/acl_file", 0644));
            SCRATCH_CHECK(mkfifo("/tmp/t/acl_fifo", 0644) == 0);
            bool acls =
                deny_nobody_by_acl("/tmp/t/acl_file") && deny_nobody_by_acl("/tmp/t/acl_fifo");
            SCRATCH_CHECK(acls || errno == EOPNOTSUPP);
            if (acls)
                names.insert(names.end(), {"acl_file", "acl_fifo"});
            return in_thread([&] {
                SCRATCH_CHECK(thread_set_credentials(NOBODY, NOBODY, nullptr) == 0);
                SCRATCH_CHECK(agree());
                // Both agreeing on a wrong answer would still fail here.
                SCRATCH_CHECK(thread_may_read_by_open("/tmp/t/fifo_secret") == EACCES);
                SCRATCH_CHECK(thread_may_read_by_open("/tmp/t/fifo_open") == 0);
                SCRATCH_CHECK(!acls || thread_may_read_by_open("/tmp/t/acl_fifo") == EACCES);
                return 0;
            });
        }));
}

}  // namespace
