// The unpacked package's daemon, under its unit's capability bounding set and no new privileges,
// serves the package's `vantles watch` as root and as an unprivileged user.
#include "tests/support/scratch_daemon.h"

#include <grp.h>
#include <linux/capability.h>

#include <algorithm>
#include <sstream>

namespace {

// The value of the first "key=" line of a unit file (empty when absent).
std::string unit_value(const std::string& unit, const std::string& key) {
    std::istringstream in(unit);
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(key + "="))
            return line.substr(key.size() + 1);
    return "";
}

// Capability names, each after as many spaces as its number.
const std::string PKG_CAPS =
    " CHOWN DAC_OVERRIDE DAC_READ_SEARCH FOWNER FSETID KILL SETGID SETUID SETPCAP LINUX_IMMUTABLE"
    " NET_BIND_SERVICE NET_BROADCAST NET_ADMIN NET_RAW IPC_LOCK IPC_OWNER SYS_MODULE SYS_RAWIO"
    " SYS_CHROOT SYS_PTRACE SYS_PACCT SYS_ADMIN SYS_BOOT SYS_NICE SYS_RESOURCE ";

class InstalledPackageTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!scratch_root_available())
            GTEST_SKIP() << "needs root and mount namespaces";
        unit_ = read_text(root_ + VANTLES_PACKAGE_UNITDIR "/vantlesd.service");
        ASSERT_FALSE(unit_.empty()) << "no unpacked package at " << root_;
        char dir_template[] = "/tmp/vantles-pkg.XXXXXX";
        // The unprivileged client must reach the socket.
        ASSERT_TRUE(mkdtemp(dir_template) && chmod(dir_template, 0755) == 0);
        dir_ = dir_template;
        socket_ = dir_ + "/vantlesd.sock";
    }
    void TearDown() override {
        daemon_.stop(SIGKILL, 0);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // Starts `tool watch --count 1 /tmp` as uid (root or nobody).
    void spawn_watch(child_process* p, uid_t uid) {
        std::string tool = root_ + VANTLES_PACKAGE_BINDIR "/vantles";
        ASSERT_EQ(0, p->start([=, this] {
            std::vector<std::string> argv = {tool, "watch", "--count", "1", "/tmp"};
            std::vector<std::string> env = {"VANTLESD_SOCKET=" + socket_, "PATH=/usr/bin:/bin"};
            if (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0))
                return 126;
            execve(argv[0].c_str(), c_strings(argv).data(), c_strings(env).data());
            return 127;
        }));
    }

    std::string root_ = VANTLES_PACKAGE_ROOT, unit_, dir_, socket_;
    child_process daemon_;
};

// The unit's capabilities are enough for fanotify, the history at the root, and the identity
// under which an unprivileged client's read permission is checked (CAP_SETUID, CAP_SETGID).
TEST_F(InstalledPackageTest, InstalledDaemonServesInstalledToolUnderUnitCapabilities) {
    std::istringstream names(unit_value(unit_, "CapabilityBoundingSet"));
    std::string caps = "-all";
    uint64_t want_bounding = 0;
    for (std::string name; names >> name;) {
        size_t at = PKG_CAPS.find(" " + name.substr(4) + " ");
        ASSERT_NE(std::string::npos, at) << "capability " << name << " unknown to this test";
        want_bounding |= uint64_t{1} << std::count(PKG_CAPS.begin(), PKG_CAPS.begin() + at, ' ');
        caps += ",+";
        for (char c : name.substr(4))
            caps += static_cast<char>(tolower(c));
    }
    ASSERT_NE(0u, want_bounding & (uint64_t{1} << CAP_SYS_ADMIN));
    const std::string exec = unit_value(unit_, "ExecStart");
    ASSERT_EQ('/', exec.c_str()[0]) << exec;

    // ExecStart= in the package tree as the service manager starts it: the unit's bounding set.
    ASSERT_EQ(0, daemon_.start([&] {
        std::vector<std::string> argv = {"/usr/bin/setpriv", "--bounding-set=" + caps,
                                         "--inh-caps=-all",  "--ambient-caps=-all",
                                         "--no-new-privs",   "--",
                                         root_ + exec,       "-d"};
        std::vector<std::string> env = {"VANTLESD_SOCKET=" + socket_,
                                        "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
        return scratch_root_exec({}, {{root_, true}, {dir_, false}}, c_strings(argv).data(),
                                 c_strings(env).data());
    }));
    unique_fd probe;
    ASSERT_TRUE(wait_until(
        [&] { return daemon_.wait_exit(0) || raw_connect(socket_.c_str(), &probe) == 0; },
        SCRATCH_WAIT_MS));
    ASSERT_FALSE(daemon_.wait_exit(0)) << "daemon not listening\n" << daemon_.errors();

    // The daemon really runs with exactly that set (setpriv executed it in place).
    std::string status = read_text("/proc/" + std::to_string(daemon_.pid) + "/status");
    size_t at = status.find("CapBnd:\t");
    EXPECT_EQ(want_bounding,
              at == std::string::npos ? 0 : strtoull(status.c_str() + at + 8, nullptr, 16));
    EXPECT_NE(std::string::npos, status.find("NoNewPrivs:\t1"));

    // Written again until both watches end (their registration is not visible from here); one
    // that ended on a kernel queue overflow (a busy machine) restarts.
    child_process watches[2];
    const uid_t users[2] = {0, 65534};
    for (int i = 0; i < 2; i++)
        ASSERT_NO_FATAL_FAILURE(spawn_watch(&watches[i], users[i]));
    const std::string in_daemon_view =
        "/proc/" + std::to_string(daemon_.pid) + "/root/tmp/installed-" + std::to_string(getpid());
    int restarts = 0;
    bool written = true;
    wait_until(
        [&] {
            int fd = open(in_daemon_view.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            written = fd >= 0 && write(fd, "x", 1) == 1;
            close(fd);
            for (int i = 0; i < 2; i++)
                if (watches[i].wait_exit(0) && restarts < 10 &&
                    watches[i].output().find(" kernel-dropped ") != std::string::npos && ++restarts)
                    spawn_watch(&watches[i], users[i]);
            return !written || (watches[0].wait_exit(0) && watches[1].wait_exit(0));
        },
        SCRATCH_WAIT_MS);
    ASSERT_TRUE(written) << in_daemon_view << ": " << strerror(errno);
    for (int i = 0; i < 2; i++) {
        const std::string text = watches[i].output();
        ASSERT_TRUE(watches[i].wait_exit(0))
            << "uid " << users[i] << "'s watch: " << text << daemon_.errors();
        EXPECT_TRUE(WIFEXITED(watches[i].status) && WEXITSTATUS(watches[i].status) == 0)
            << "status 0x" << std::hex << watches[i].status << ": " << text;
        // Directory-level events: one line naming the changed directory.
        EXPECT_TRUE(text.size() > 7 && text.ends_with(" /tmp/\n") &&
                    text.find('\n') == text.size() - 1)
            << "uid " << users[i] << ": " << text;
    }
    EXPECT_EQ(0, access(("/proc/" + std::to_string(daemon_.pid) + "/root/.vantlesd").c_str(), F_OK))
        << "no history directory";
    EXPECT_EQ(std::string::npos, daemon_.errors().find("initgroups failed")) << daemon_.errors();

    int stopped = daemon_.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(stopped) && WEXITSTATUS(stopped) == 0)
        << "status 0x" << std::hex << stopped << "\n"
        << daemon_.errors();
}

}  // namespace
