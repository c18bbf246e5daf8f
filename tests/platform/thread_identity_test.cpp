// Per-thread identity: read checks under another user's file-system ids, isolation of those
// ids and of the working directory from other threads, and the idle I/O class.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <linux/ioprio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <latch>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/thread_identity.h"

// The fallback read check, linked from thread_identity.cpp.
int thread_may_read_by_open(const char* path);

namespace {

constexpr uint32_t NOBODY = 65534;
constexpr uint32_t OTHER_GID = 65533;

template <class F>
void in_thread(F body) {
    std::thread t(body);
    t.join();
}

uint32_t current_fsuid() {
    return static_cast<uint32_t>(syscall(SYS_setfsuid, -1));
}

std::vector<gid_t> thread_groups() {
    std::vector<gid_t> groups(static_cast<size_t>(syscall(SYS_getgroups, 0, nullptr)));
    groups.resize(static_cast<size_t>(syscall(SYS_getgroups, groups.size(), groups.data())));
    return groups;
}

std::string cwd() {
    char buf[PATH_MAX];
    return getcwd(buf, sizeof buf) != nullptr ? buf : "";
}

// A root-owned tree: secret (0600), open (0644), closed/ (0700) holding inner (0644), link
// (a symbolic link to secret), group_other (0040, group OTHER_GID), group_root (0040, group
// 0) and two fifos, 0600 and 0644.
struct identity_fixture : ::testing::Test {
    std::string dir;

    std::string at(const char* name) const { return dir + "/" + name; }

    void make_file(const char* name, mode_t mode, gid_t group = 0) {
        int fd = open(at(name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0) << name;
        ASSERT_EQ(write(fd, "x", 1), 1);
        close(fd);
        ASSERT_EQ(chown(at(name).c_str(), 0, group), 0);
        ASSERT_EQ(chmod(at(name).c_str(), mode), 0);
    }

    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root";
        char tmpl[] = "/tmp/vantles-ident-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
        make_file("secret", 0600);
        make_file("open", 0644);
        make_file("group_other", 0040, OTHER_GID);
        make_file("group_root", 0040, 0);
        ASSERT_EQ(mkdir(at("closed").c_str(), 0700), 0);
        make_file("closed/inner", 0644);
        ASSERT_EQ(symlink(at("secret").c_str(), at("link").c_str()), 0);
        ASSERT_EQ(mkfifo(at("fifo_secret").c_str(), 0600), 0);
        ASSERT_EQ(mkfifo(at("fifo_open").c_str(), 0644), 0);
        ASSERT_EQ(chmod(at("fifo_open").c_str(), 0644), 0);  // past the umask
    }

    void TearDown() override {
        if (dir.empty())
            return;
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        EXPECT_FALSE(ec) << ec.message();
    }
};

TEST_F(identity_fixture, ReadChecksFollowTheThreadsIdentity) {
    in_thread([&] {
        ASSERT_EQ(thread_set_credentials(NOBODY, NOBODY, nullptr), 0);
        EXPECT_EQ(current_fsuid(), NOBODY);
        EXPECT_EQ(thread_may_read(at("secret").c_str()), EACCES);
        EXPECT_EQ(thread_may_read(at("closed/inner").c_str()), EACCES);  // no search on closed/
        EXPECT_EQ(thread_may_read(at("closed").c_str()), EACCES);
        EXPECT_EQ(thread_may_read(at("group_root").c_str()), EACCES);  // groups were replaced
        EXPECT_EQ(thread_may_read(at("open").c_str()), 0);
        EXPECT_EQ(thread_may_read(at("link").c_str()), 0);  // the link, not its target
        EXPECT_EQ(thread_may_read(at("missing").c_str()), ENOENT);

        // Why the check passes AT_EACCESS: without it the kernel checks the real ids (root).
        EXPECT_EQ(
            syscall(SYS_faccessat2, AT_FDCWD, at("secret").c_str(), R_OK, AT_SYMLINK_NOFOLLOW), 0);
        EXPECT_NE(syscall(SYS_faccessat2, AT_FDCWD, at("secret").c_str(), R_OK,
                          AT_EACCESS | AT_SYMLINK_NOFOLLOW),
                  0);

        // The gid given is in force; switching again without a restore is allowed.
        ASSERT_EQ(thread_set_credentials(NOBODY, OTHER_GID, nullptr), 0);
        EXPECT_EQ(thread_may_read(at("group_other").c_str()), 0);
        EXPECT_EQ(thread_may_read(at("secret").c_str()), EACCES);

        ASSERT_EQ(thread_restore_credentials(), 0);
        EXPECT_EQ(current_fsuid(), 0u);
        EXPECT_EQ(thread_may_read(at("secret").c_str()), 0);
        EXPECT_EQ(thread_may_read(at("closed/inner").c_str()), 0);
        EXPECT_EQ(thread_may_read(at("group_root").c_str()), 0);
        EXPECT_EQ(thread_restore_credentials(), 0);  // nothing left to undo
    });
}

TEST_F(identity_fixture, SupplementaryGroupsComeFromTheUserName) {
    // Any user listed as a member of a group will do; make a file only that group may read.
    std::string member;
    gid_t group = 0;
    setgrent();
    while (struct group* g = getgrent()) {
        if (g->gr_mem != nullptr && g->gr_mem[0] != nullptr && g->gr_gid != NOBODY) {
            member = g->gr_mem[0];
            group = g->gr_gid;
            break;
        }
    }
    endgrent();
    if (member.empty())
        GTEST_SKIP() << "no group with members";
    make_file("by_member", 0040, group);
    in_thread([&] {
        ASSERT_EQ(thread_set_credentials(NOBODY, NOBODY, nullptr), 0);
        EXPECT_EQ(thread_may_read(at("by_member").c_str()), EACCES);
        ASSERT_EQ(thread_set_credentials(NOBODY, NOBODY, member.c_str()), 0);
        EXPECT_EQ(thread_may_read(at("by_member").c_str()), 0);
        EXPECT_EQ(thread_restore_credentials(), 0);
    });
}

TEST_F(identity_fixture, CredentialsStayWithTheirThread) {
    const std::vector<gid_t> groups_before = thread_groups();
    std::latch switched(1), checked(1);
    std::thread client([&] {
        ASSERT_EQ(thread_set_credentials(NOBODY, NOBODY, nullptr), 0);
        switched.count_down();
        checked.wait();
        // Still in force after other threads have run checks of their own.
        EXPECT_EQ(thread_may_read(at("secret").c_str()), EACCES);
    });
    switched.wait();
    EXPECT_EQ(current_fsuid(), 0u);
    EXPECT_EQ(thread_groups(), groups_before);
    EXPECT_EQ(thread_may_read(at("secret").c_str()), 0);
    in_thread([&] { EXPECT_EQ(thread_may_read(at("closed/inner").c_str()), 0); });
    checked.count_down();
    client.join();
    // The process's own ids never moved.
    EXPECT_EQ(geteuid(), 0u);
    EXPECT_EQ(getegid(), 0u);
    EXPECT_EQ(current_fsuid(), 0u);
}

TEST_F(identity_fixture, FallbackAgreesWithTheKernelCheck) {
    const char* names[] = {"secret",     "open",        "closed",    "closed/inner", "link",
                           "group_root", "fifo_secret", "fifo_open", "missing"};
    auto compare = [&] {
        for (const char* name : names) {
            std::string p = at(name);
            EXPECT_EQ(thread_may_read_by_open(p.c_str()), thread_may_read(p.c_str())) << name;
        }
    };
    compare();  // as root
    in_thread([&] {
        ASSERT_EQ(thread_set_credentials(NOBODY, NOBODY, nullptr), 0);
        compare();
        // Spot checks, so that both agreeing on a wrong answer would still fail.
        EXPECT_EQ(thread_may_read_by_open(at("fifo_secret").c_str()), EACCES);
        EXPECT_EQ(thread_may_read_by_open(at("fifo_open").c_str()), 0);
        EXPECT_EQ(thread_may_read_by_open(at("closed/inner").c_str()), EACCES);
    });
}

TEST_F(identity_fixture, WorkingDirectoryIsPerThread) {
    const std::string before = cwd();
    in_thread([&] {
        ASSERT_EQ(thread_chdir(dir.c_str()), 0);
        EXPECT_EQ(cwd(), dir);
        EXPECT_EQ(thread_may_read("open"), 0);  // relative paths resolve from the new place
        ASSERT_EQ(thread_chdir("closed"), 0);   // later calls move the same private directory
        EXPECT_EQ(cwd(), at("closed"));
        EXPECT_EQ(thread_chdir("/nonexistent-vantles-dir"), ENOENT);
        EXPECT_EQ(cwd(), at("closed"));
    });
    EXPECT_EQ(cwd(), before);
}

TEST(thread_io, IdleClassIsPerThread) {
    auto io_class = [] {
        long prio = syscall(SYS_ioprio_get, IOPRIO_WHO_PROCESS, gettid());
        return prio < 0 ? -1L : static_cast<long>(IOPRIO_PRIO_CLASS(prio));
    };
    in_thread([&] {
        ASSERT_EQ(thread_set_io_idle(), 0);
        EXPECT_EQ(io_class(), IOPRIO_CLASS_IDLE);
    });
    EXPECT_NE(io_class(), IOPRIO_CLASS_IDLE);
}

}  // namespace
