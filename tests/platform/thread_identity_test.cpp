// Per-thread identity: read checks under another user's file-system ids and groups, isolation
// of those ids and of the working directory from other threads, a refused switch that leaves
// the earlier identity in force, and the idle I/O class. Cases that make files run as root in
// scratch roots (skipped otherwise), on a root-owned tree under /tmp/t.
#include "platform/thread_identity.h"
#include "tests/support/scratch_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/ioprio.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
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

// Runs body on a thread of its own and returns its result (0, or 1 from a SCRATCH_CHECK).
int in_thread(const std::function<int()>& body) {
    int result = -1;
    std::thread t([&] { result = body(); });
    t.join();
    return result;
}

// Passing -1 changes nothing and returns the current value.
uint32_t current_fsuid() {
    return static_cast<uint32_t>(syscall(SYS_setfsuid, -1));
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

std::string cwd() {
    char buf[PATH_MAX];
    return getcwd(buf, sizeof buf) != nullptr ? buf : "";
}

bool make_file(const char* path, mode_t mode, gid_t group = 0) {
    int fd = open(path, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool written = write(fd, "x", 1) == 1;
    close(fd);
    return written && chown(path, 0, group) == 0 && chmod(path, mode) == 0;
}

// Gives path an access ACL that denies "nobody" what the mode bits give everyone:
// user::rw- user:nobody:--- group::r-- mask::r-- other::r--. errno EOPNOTSUPP when the file
// system keeps no ACLs.
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

// secret (0600), open (0644), closed/ (0700) holding inner (0644), link (a symbolic link to
// secret), group_other (0040, group OTHER_GID), group_root (0040, group 0), fifo_secret
// (0600), fifo_open (0644); all owned by root.
int make_tree() {
    SCRATCH_CHECK(mkdir("/tmp/t", 0755) == 0);
    SCRATCH_CHECK(make_file("/tmp/t/secret", 0600));
    SCRATCH_CHECK(make_file("/tmp/t/open", 0644));
    SCRATCH_CHECK(make_file("/tmp/t/group_other", 0040, OTHER_GID));
    SCRATCH_CHECK(make_file("/tmp/t/group_root", 0040));
    SCRATCH_CHECK(mkdir("/tmp/t/closed", 0700) == 0);
    SCRATCH_CHECK(make_file("/tmp/t/closed/inner", 0644));
    SCRATCH_CHECK(symlink("/tmp/t/secret", "/tmp/t/link") == 0);
    SCRATCH_CHECK(mkfifo("/tmp/t/fifo_secret", 0600) == 0);
    SCRATCH_CHECK(mkfifo("/tmp/t/fifo_open", 0644) == 0);
    SCRATCH_CHECK(chmod("/tmp/t/fifo_open", 0644) == 0);  // past the umask
    return 0;
}

// Runs body in a scratch root that holds the tree.
int run_with_tree(const std::function<int()>& body) {
    return run_in_scratch_root({}, [&] {
        int made = make_tree();
        return made != 0 ? made : body();
    });
}

TEST(ThreadIdentity, ReadChecksFollowTheThreadsIdentity) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    int result = run_with_tree([] {
        return in_thread([] {
            SCRATCH_CHECK(thread_set_credentials(NOBODY, NOBODY, nullptr) == 0);
            SCRATCH_CHECK(current_fsuid() == NOBODY && current_fsgid() == NOBODY);
            SCRATCH_CHECK(thread_groups() == std::vector<gid_t>{NOBODY});
            SCRATCH_CHECK(thread_may_read("/tmp/t/secret") == EACCES);
            SCRATCH_CHECK(thread_may_read("/tmp/t/closed/inner") == EACCES);
            SCRATCH_CHECK(thread_may_read("/tmp/t/closed") == EACCES);
            SCRATCH_CHECK(thread_may_read("/tmp/t/group_root") == EACCES);
            SCRATCH_CHECK(thread_may_read("/tmp/t/open") == 0);
            SCRATCH_CHECK(thread_may_read("/tmp/t/link") == 0);  // the link itself
            SCRATCH_CHECK(thread_may_read("/tmp/t/missing") == ENOENT);

            // Without AT_EACCESS the kernel checks the real ids (root) instead.
            SCRATCH_CHECK(
                syscall(SYS_faccessat2, AT_FDCWD, "/tmp/t/secret", R_OK, AT_SYMLINK_NOFOLLOW) == 0);

            // Switching again without a restore; the new gid is in force.
            SCRATCH_CHECK(thread_set_credentials(NOBODY, OTHER_GID, nullptr) == 0);
            SCRATCH_CHECK(thread_may_read("/tmp/t/group_other") == 0);
            SCRATCH_CHECK(thread_may_read("/tmp/t/secret") == EACCES);

            SCRATCH_CHECK(thread_restore_credentials() == 0);
            SCRATCH_CHECK(current_fsuid() == 0 && current_fsgid() == 0);
            SCRATCH_CHECK(thread_may_read("/tmp/t/secret") == 0);
            SCRATCH_CHECK(thread_may_read("/tmp/t/closed/inner") == 0);
            SCRATCH_CHECK(thread_may_read("/tmp/t/group_root") == 0);
            SCRATCH_CHECK(thread_restore_credentials() == 0);  // nothing to undo
            return 0;
        });
    });
    EXPECT_EQ(result, 0);
}

TEST(ThreadIdentity, SupplementaryGroupsComeFromTheUserName) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    int result = run_with_tree([] {
        // A group list of our own over the scratch root's /etc/group.
        const char* groups = "root:x:0:\nnogroup:x:65534:\nmembers:x:4242:daemon,nobody\n";
        int fd = open("/tmp/group", O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        SCRATCH_CHECK(fd >= 0);
        SCRATCH_CHECK(write(fd, groups, strlen(groups)) == static_cast<ssize_t>(strlen(groups)));
        close(fd);
        SCRATCH_CHECK(mount("/tmp/group", "/etc/group", nullptr, MS_BIND, nullptr) == 0);
        SCRATCH_CHECK(make_file("/tmp/t/by_member", 0040, MEMBER_GID));
        const std::vector<gid_t> before = thread_groups();

        return in_thread([&] {
            SCRATCH_CHECK(thread_set_credentials(NOBODY, NOBODY, nullptr) == 0);
            SCRATCH_CHECK(thread_may_read("/tmp/t/by_member") == EACCES);
            SCRATCH_CHECK(thread_set_credentials(NOBODY, NOBODY, "nobody") == 0);
            SCRATCH_CHECK(thread_groups() == (std::vector<gid_t>{MEMBER_GID, NOBODY}));
            SCRATCH_CHECK(thread_may_read("/tmp/t/by_member") == 0);
            // A name nobody knows brings only the gid given.
            SCRATCH_CHECK(thread_set_credentials(NOBODY, NOBODY, "vantles-unknown") == 0);
            SCRATCH_CHECK(thread_may_read("/tmp/t/by_member") == EACCES);
            SCRATCH_CHECK(thread_restore_credentials() == 0);
            SCRATCH_CHECK(thread_groups() == before);
            return 0;
        });
    });
    EXPECT_EQ(result, 0);
}

TEST(ThreadIdentity, CredentialsStayWithTheirThread) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    int result = run_with_tree([] {
        const std::vector<gid_t> groups_before = thread_groups();
        std::latch switched(1), checked(1);
        int client_result = -1;
        std::thread client([&] {
            client_result = thread_set_credentials(NOBODY, NOBODY, nullptr);
            switched.count_down();
            checked.wait();
            // Still in force after other threads ran checks of their own.
            if (client_result == 0 && thread_may_read("/tmp/t/secret") != EACCES)
                client_result = -2;
        });
        switched.wait();
        bool process_unchanged = current_fsuid() == 0 && current_fsgid() == 0 &&
                                 thread_groups() == groups_before &&
                                 thread_may_read("/tmp/t/secret") == 0;
        int other_thread = in_thread([] {
            SCRATCH_CHECK(current_fsuid() == 0);
            SCRATCH_CHECK(thread_may_read("/tmp/t/closed/inner") == 0);
            return 0;
        });
        checked.count_down();
        client.join();
        SCRATCH_CHECK(client_result == 0);
        SCRATCH_CHECK(process_unchanged);
        SCRATCH_CHECK(other_thread == 0);
        // The process's own ids never moved.
        SCRATCH_CHECK(geteuid() == 0 && getegid() == 0 && current_fsuid() == 0);
        return 0;
    });
    EXPECT_EQ(result, 0);
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
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    int result = run_with_tree([] {
        const std::vector<gid_t> daemon_groups = thread_groups();
        return in_thread([&] {
            // fsuid 0 matches the effective uid, so this needs no CAP_SETUID.
            SCRATCH_CHECK(thread_set_credentials(0, OTHER_GID, nullptr) == 0);
            const std::vector<gid_t> earlier{OTHER_GID};
            SCRATCH_CHECK(thread_groups() == earlier);

            // Groups and gid would change, the uid is refused: all must be undone.
            SCRATCH_CHECK(drop_capability(CAP_SETUID) == 0);
            SCRATCH_CHECK(thread_set_credentials(NOBODY, NOBODY, nullptr) == EPERM);
            SCRATCH_CHECK(current_fsuid() == 0 && current_fsgid() == OTHER_GID);
            SCRATCH_CHECK(thread_groups() == earlier);

            // Refused at the first step.
            SCRATCH_CHECK(drop_capability(CAP_SETGID) == 0);
            SCRATCH_CHECK(thread_set_credentials(NOBODY, NOBODY, nullptr) == EPERM);
            SCRATCH_CHECK(current_fsuid() == 0 && current_fsgid() == OTHER_GID);
            SCRATCH_CHECK(thread_groups() == earlier);
            return 0;
        });
    });
    EXPECT_EQ(result, 0);
}

TEST(ThreadIdentity, FallbackAgreesWithTheKernelCheck) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    int result = run_with_tree([] {
        std::vector<std::string> names = {"secret",       "open",      "closed",
                                          "closed/inner", "link",      "group_root",
                                          "fifo_secret",  "fifo_open", "missing"};
        auto agree = [&names] {
            for (const std::string& name : names) {
                std::string path = "/tmp/t/" + name;
                int kernel = thread_may_read(path.c_str());
                int fallback = thread_may_read_by_open(path.c_str());
                if (kernel != fallback) {
                    fprintf(stderr, "%s: kernel %d, fallback %d\n", path.c_str(), kernel, fallback);
                    return false;
                }
            }
            return true;
        };
        SCRATCH_CHECK(agree());  // as root

        // Mode bits that allow what an ACL denies; special files are never opened.
        SCRATCH_CHECK(make_file("/tmp/t/acl_file", 0644));
        SCRATCH_CHECK(mkfifo("/tmp/t/acl_fifo", 0644) == 0);
        bool acls = deny_nobody_by_acl("/tmp/t/acl_file") && deny_nobody_by_acl("/tmp/t/acl_fifo");
        SCRATCH_CHECK(acls || errno == EOPNOTSUPP);
        if (acls)
            names.insert(names.end(), {"acl_file", "acl_fifo"});

        return in_thread([&] {
            SCRATCH_CHECK(thread_set_credentials(NOBODY, NOBODY, nullptr) == 0);
            SCRATCH_CHECK(agree());
            // Both agreeing on a wrong answer would still fail here.
            SCRATCH_CHECK(thread_may_read_by_open("/tmp/t/fifo_secret") == EACCES);
            SCRATCH_CHECK(thread_may_read_by_open("/tmp/t/fifo_open") == 0);
            SCRATCH_CHECK(thread_may_read_by_open("/tmp/t/closed/inner") == EACCES);
            SCRATCH_CHECK(!acls || thread_may_read_by_open("/tmp/t/acl_file") == EACCES);
            SCRATCH_CHECK(!acls || thread_may_read_by_open("/tmp/t/acl_fifo") == EACCES);
            return 0;
        });
    });
    EXPECT_EQ(result, 0);
}

TEST(ThreadIdentity, WorkingDirectoryIsPerThread) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    int result = run_with_tree([] {
        const std::string before = cwd();
        SCRATCH_CHECK(in_thread([] {
                          SCRATCH_CHECK(thread_chdir("/tmp/t") == 0);
                          SCRATCH_CHECK(cwd() == "/tmp/t");
                          // Relative paths resolve from the thread's directory.
                          SCRATCH_CHECK(thread_may_read("open") == 0);
                          SCRATCH_CHECK(thread_chdir("closed") == 0);
                          SCRATCH_CHECK(cwd() == "/tmp/t/closed");
                          SCRATCH_CHECK(thread_chdir("/nonexistent") == ENOENT);
                          SCRATCH_CHECK(cwd() == "/tmp/t/closed");
                          // The move is made under the thread's credentials.
                          SCRATCH_CHECK(thread_chdir("/tmp/t") == 0);
                          SCRATCH_CHECK(thread_set_credentials(NOBODY, NOBODY, nullptr) == 0);
                          SCRATCH_CHECK(thread_chdir("closed") == EACCES);
                          SCRATCH_CHECK(cwd() == "/tmp/t");
                          return 0;
                      }) == 0);
        SCRATCH_CHECK(cwd() == before);
        return 0;
    });
    EXPECT_EQ(result, 0);
}

TEST(ThreadIdentity, IdleIoClassIsPerThread) {
    auto io_class = [] {
        long prio = syscall(SYS_ioprio_get, IOPRIO_WHO_PROCESS, gettid());
        return prio < 0 ? -1L : static_cast<long>(IOPRIO_PRIO_CLASS(prio));
    };
    std::thread idle([&] {
        ASSERT_EQ(thread_set_io_idle(), 0);
        EXPECT_EQ(io_class(), IOPRIO_CLASS_IDLE);
    });
    idle.join();
    EXPECT_NE(io_class(), IOPRIO_CLASS_IDLE);
}

}  // namespace
