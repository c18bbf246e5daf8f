// The programs as the package installs them: the unpacked package's daemon, run with the
// capability bounding set its service unit names (and no new privileges) as the only process of
// a scratch root, serving the package's `vantles watch --count 1 /tmp` run as root and as an
// unprivileged user. The package tree comes from the package.build_and_install test.
#include "client/raw.h"
#include "tests/support/scratch_root.h"
#include "tests/support/test_daemon.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int PKG_TIMEOUT_MS = 30000;
constexpr uid_t PKG_NOBODY = 65534;

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The value of the first "key=" line of a unit file (empty when absent).
std::string unit_value(const std::string& unit, const std::string& key) {
    std::istringstream in(unit);
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(key + "="))
            return line.substr(key.size() + 1);
    return "";
}

// Capability numbers of the names a unit may list; a name missing here fails the test.
const std::map<std::string, int> PKG_CAPS = {{"CAP_CHOWN", CAP_CHOWN},
                                             {"CAP_DAC_OVERRIDE", CAP_DAC_OVERRIDE},
                                             {"CAP_DAC_READ_SEARCH", CAP_DAC_READ_SEARCH},
                                             {"CAP_FOWNER", CAP_FOWNER},
                                             {"CAP_KILL", CAP_KILL},
                                             {"CAP_SETGID", CAP_SETGID},
                                             {"CAP_SETUID", CAP_SETUID},
                                             {"CAP_SYS_PTRACE", CAP_SYS_PTRACE},
                                             {"CAP_SYS_ADMIN", CAP_SYS_ADMIN},
                                             {"CAP_SYS_NICE", CAP_SYS_NICE},
                                             {"CAP_SYS_RESOURCE", CAP_SYS_RESOURCE}};

// A child with standard output and error in out_path, or in a pipe when out_path is empty;
// killed and reaped if still running.
struct pkg_process {
    pid_t pid = -1;
    int status = -1;
    std::string out_path;
    unique_fd pipe_out;
    std::string piped;
    ~pkg_process() { stop(); }
    void stop() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
    bool exited() {
        if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid)
            pid = -1;
        return pid < 0;
    }
    std::string text() {
        if (!pipe_out.valid())
            return read_text(out_path);
        char buf[4096];
        for (ssize_t n; (n = read(pipe_out.get(), buf, sizeof buf)) > 0;)
            piped.append(buf, static_cast<size_t>(n));
        return piped;
    }
};

std::vector<char*> c_strings(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Forks a child with its output in out_path (or a pipe) that runs exec (which must not return).
void spawn(pkg_process* p, const std::string& out_path, const std::function<int()>& exec) {
    p->out_path = out_path;
    p->piped.clear();
    int out = -1;
    if (out_path.empty()) {
        int fds[2];
        ASSERT_EQ(0, pipe2(fds, O_CLOEXEC));
        p->pipe_out.reset(fds[0]);
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        out = fds[1];
    } else {
        p->pipe_out.reset();
        out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    }
    ASSERT_GE(out, 0);
    fflush(nullptr);
    p->pid = fork();
    ASSERT_GE(p->pid, 0);
    if (p->pid == 0) {
        dup2(out, 1);
        dup2(out, 2);
        close_range(3, ~0u, 0);
        _exit(exec());
    }
    close(out);
}

class InstalledPackageTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!scratch_root_available())
            GTEST_SKIP() << "needs root and mount namespaces";
        unit_ = read_text(root_ + VANTLES_PACKAGE_UNITDIR "/vantlesd.service");
        ASSERT_FALSE(unit_.empty()) << "no unpacked package at " << root_;
        char dir_template[] = "/tmp/vantles-pkg.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir_template));
        dir_ = dir_template;
        ASSERT_EQ(0, chmod(dir_.c_str(), 0755));  // the unprivileged client reaches the socket
        socket_ = dir_ + "/vantlesd.sock";
    }
    void TearDown() override {
        daemon_.stop();
        std::error_code ignored;
        if (!dir_.empty()) {
            std::filesystem::remove_all(dir_, ignored);
            std::filesystem::remove(dir_ + ".log", ignored);
        }
    }

    // Starts `tool watch --count 1 /tmp` as uid (root or nobody). Its output goes to a pipe: a
    // file under the watched /tmp would be a change the other watch could report first.
    void spawn_watch(pkg_process* p, uid_t uid) {
        std::string tool = root_ + VANTLES_PACKAGE_BINDIR "/vantles";
        spawn(p, "", [=, this] {
            std::vector<std::string> argv = {tool, "watch", "--count", "1", "/tmp"};
            std::vector<std::string> env = {"VANTLESD_SOCKET=" + socket_, "PATH=/usr/bin:/bin"};
            if (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0))
                return 126;
            execve(argv[0].c_str(), c_strings(argv).data(), c_strings(env).data());
            return 127;
        });
    }

    std::string root_ = VANTLES_PACKAGE_ROOT, unit_, dir_, socket_;
    pkg_process daemon_;
};

// The unit's capabilities are enough for the whole path: fanotify on every file system, the
// history at the root, and the per-client identity under which an unprivileged client's read
// permission is checked (without CAP_SETUID/CAP_SETGID that client would hear nothing).
TEST_F(InstalledPackageTest, InstalledDaemonServesInstalledToolUnderUnitCapabilities) {
    std::istringstream names(unit_value(unit_, "CapabilityBoundingSet"));
    std::string caps = "-all";
    uint64_t want_bounding = 0;
    for (std::string name; names >> name;) {
        auto it = PKG_CAPS.find(name);
        ASSERT_NE(PKG_CAPS.end(), it) << "capability " << name << " unknown to this test";
        want_bounding |= uint64_t{1} << it->second;
        std::string lower = name.substr(4);
        for (char& c : lower)
            c = static_cast<char>(tolower(c));
        caps += ",+" + lower;
    }
    ASSERT_NE(0u, want_bounding & (uint64_t{1} << CAP_SYS_ADMIN));
    const std::string exec = unit_value(unit_, "ExecStart");
    ASSERT_EQ('/', exec.c_str()[0]) << exec;

    // ExecStart= inside the package tree, with what the service manager gives it: the unit's
    // bounding set, no inheritable or ambient capabilities, no new privileges.
    spawn(&daemon_, dir_ + ".log", [&] {
        std::vector<std::string> argv = {"/usr/bin/setpriv", "--bounding-set=" + caps,
                                         "--inh-caps=-all",  "--ambient-caps=-all",
                                         "--no-new-privs",   "--",
                                         root_ + exec,       "-d"};
        std::vector<std::string> env = {"VANTLESD_SOCKET=" + socket_,
                                        "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
        return scratch_root_exec({}, {{root_, true}, {dir_, false}}, c_strings(argv).data(),
                                 c_strings(env).data());
    });
    unique_fd probe;
    ASSERT_TRUE(
        wait_until([&] { return daemon_.exited() || raw_connect(socket_.c_str(), &probe) == 0; },
                   PKG_TIMEOUT_MS));
    ASSERT_FALSE(daemon_.exited()) << "daemon not listening\n" << daemon_.text();

    // The daemon really runs with exactly that set (setpriv executed it in place).
    std::string status = read_text("/proc/" + std::to_string(daemon_.pid) + "/status");
    size_t at = status.find("CapBnd:\t");
    ASSERT_NE(std::string::npos, at);
    EXPECT_EQ(want_bounding, std::stoull(status.substr(at + 8, 16), nullptr, 16));
    EXPECT_NE(std::string::npos, status.find("NoNewPrivs:\t1"));

    // Both watches must be registered before the change, which is not visible from here: the
    // file is written again until both end. The daemon watches the machine's file systems too,
    // so a busy machine may overflow the kernel's queue: a watch that ended on that report
    // instead is started again.
    pkg_process watches[2];
    const uid_t users[2] = {0, PKG_NOBODY};
    for (int i = 0; i < 2; i++)
        ASSERT_NO_FATAL_FAILURE(spawn_watch(&watches[i], users[i]));
    const std::string in_daemon_view = "/proc/" + std::to_string(daemon_.pid) + "/root/tmp/" +
                                       "installed-" + std::to_string(getpid());
    int restarts = 0;
    bool written = true;
    wait_until(
        [&] {
            int fd = open(in_daemon_view.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            written = fd >= 0 && write(fd, "x", 1) == 1;
            close(fd);
            for (int i = 0; i < 2; i++) {
                if (watches[i].exited() &&
                    watches[i].text().find(" kernel-dropped ") != std::string::npos &&
                    restarts++ < 10)
                    spawn_watch(&watches[i], users[i]);
            }
            return !written || (watches[0].exited() && watches[1].exited());
        },
        PKG_TIMEOUT_MS);
    ASSERT_TRUE(written) << in_daemon_view << ": " << strerror(errno);
    for (int i = 0; i < 2; i++) {
        ASSERT_TRUE(watches[i].exited())
            << "uid " << users[i] << "'s watch did not end: " << watches[i].text()
            << daemon_.text();
        const std::string text = watches[i].text();
        EXPECT_TRUE(WIFEXITED(watches[i].status) && WEXITSTATUS(watches[i].status) == 0)
            << "status 0x" << std::hex << watches[i].status << ": " << text;
        // Directory-level events: one line naming the changed directory.
        EXPECT_TRUE(text.size() > 7 && text.ends_with(" /tmp/\n") &&
                    text.find('\n') == text.size() - 1)
            << "uid " << users[i] << ": " << text;
    }
    struct stat st;
    EXPECT_EQ(0, stat(("/proc/" + std::to_string(daemon_.pid) + "/root/.vantlesd").c_str(), &st))
        << "no history directory";
    EXPECT_EQ(std::string::npos, daemon_.text().find("initgroups failed")) << daemon_.text();

    ASSERT_EQ(0, kill(daemon_.pid, SIGTERM));
    ASSERT_TRUE(wait_until([&] { return daemon_.exited(); }, PKG_TIMEOUT_MS));
    EXPECT_TRUE(WIFEXITED(daemon_.status) && WEXITSTATUS(daemon_.status) == 0)
        << "status 0x" << std::hex << daemon_.status << "\n"
        << daemon_.text();
}

}  // namespace
