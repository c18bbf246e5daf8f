// The programs as the package installs them: the unpacked package's daemon, run with the
// capability bounding set its service unit names (and no new privileges) as the only process of
// a scratch root, serving the package's `vantles watch --count 1 /tmp` run as root and as an
// unprivileged user. The package tree comes from the package.build_and_install test.
#include "client/raw.h"
#include "tests/support/scratch_root.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr int PKG_TIMEOUT_MS = 30000;
constexpr uid_t PKG_NOBODY = 65534;

int64_t pkg_now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The value of the first "key=" line of a unit file (empty when absent).
std::string unit_value(const std::string& unit, const std::string& key) {
    std::istringstream in(unit);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + "=", 0) == 0)
            return line.substr(key.size() + 1);
    }
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

// A child process with its standard output (and, unless err_path is set, standard error)
// collected through a pipe; killed and reaped when still running at the end.
struct pkg_process {
    pid_t pid = -1;
    int status = -1;
    int out = -1;
    std::string text;
    ~pkg_process() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0)
            close(out);
    }
};

// Reads what the pipe holds until text appears or the process exits (reaped), up to timeout.
bool pkg_wait_exit(pkg_process* p, int timeout_ms) {
    int64_t deadline = pkg_now_ms() + timeout_ms;
    while (pkg_now_ms() < deadline) {
        pollfd fd = {p->out, POLLIN, 0};
        if (p->out >= 0 && poll(&fd, 1, 50) > 0) {
            char buffer[4096];
            ssize_t n = read(p->out, buffer, sizeof buffer);
            if (n > 0) {
                p->text.append(buffer, static_cast<size_t>(n));
                continue;
            }
            close(p->out);
            p->out = -1;
        } else if (p->out < 0) {
            usleep(50000);
        }
        if (waitpid(p->pid, &p->status, WNOHANG) == p->pid) {
            p->pid = -1;
            // The rest of its output, up to the end of the pipe.
            char buffer[4096];
            ssize_t n;
            while (p->out >= 0 && (n = read(p->out, buffer, sizeof buffer)) > 0)
                p->text.append(buffer, static_cast<size_t>(n));
            if (p->out >= 0)
                close(p->out);
            p->out = -1;
            return true;
        }
    }
    return false;
}

// Starts `tool watch --count 1 /tmp` on socket, as user uid (root or nobody).
void spawn_watch(pkg_process* p, const std::string& tool, const std::string& socket, uid_t uid) {
    std::vector<std::string> env_strings = {"VANTLESD_SOCKET=" + socket, "PATH=/usr/bin:/bin"};
    std::vector<std::string> argv_strings = {tool, "watch", "--count", "1", "/tmp"};
    std::vector<char*> argv, envp;
    for (std::string& s : argv_strings)
        argv.push_back(s.data());
    for (std::string& s : env_strings)
        envp.push_back(s.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    int pipe_fds[2];
    ASSERT_EQ(0, pipe2(pipe_fds, O_CLOEXEC));
    fflush(nullptr);
    p->pid = fork();
    ASSERT_GE(p->pid, 0);
    if (p->pid == 0) {
        dup2(pipe_fds[1], 1);
        dup2(pipe_fds[1], 2);
        if (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0))
            _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    p->out = pipe_fds[0];
}

class InstalledPackageTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!scratch_root_available())
            GTEST_SKIP() << "needs root and mount namespaces";
        root_ = VANTLES_PACKAGE_ROOT;
        unit_ = read_text(root_ + VANTLES_PACKAGE_UNITDIR "/vantlesd.service");
        ASSERT_FALSE(unit_.empty()) << "no unpacked package at " << root_;
        char dir_template[] = "/tmp/vantles-pkg.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir_template));
        dir_ = dir_template;
        // The unprivileged client reaches the socket through this directory.
        ASSERT_EQ(0, chmod(dir_.c_str(), 0755));
        socket_ = dir_ + "/vantlesd.sock";
        log_ = dir_ + ".log";
    }
    void TearDown() override {
        if (daemon_ > 0) {
            kill(daemon_, SIGKILL);
            waitpid(daemon_, nullptr, 0);
        }
        std::error_code ignored;
        if (!dir_.empty()) {
            std::filesystem::remove_all(dir_, ignored);
            std::filesystem::remove(log_, ignored);
        }
    }

    // Starts the installed daemon (ExecStart= of the unit, inside the package tree) under the
    // unit's bounding set, with no inheritable or ambient capabilities and no new privileges:
    // what the service manager gives it. Returns once the socket answers.
    void start_daemon(const std::vector<std::string>& cap_names) {
        std::string caps = "-all";
        for (const std::string& name : cap_names) {
            std::string lower = name.substr(4);
            for (char& c : lower)
                c = static_cast<char>(tolower(c));
            caps += ",+" + lower;
        }
        std::string exec = unit_value(unit_, "ExecStart");
        ASSERT_EQ('/', exec.c_str()[0]) << exec;
        std::vector<std::string> argv_strings = {"/usr/bin/setpriv", "--bounding-set=" + caps,
                                                 "--inh-caps=-all",  "--ambient-caps=-all",
                                                 "--no-new-privs",   "--",
                                                 root_ + exec,       "-d"};
        std::vector<std::string> env_strings = {"VANTLESD_SOCKET=" + socket_,
                                                "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
        std::vector<char*> argv, envp;
        for (std::string& s : argv_strings)
            argv.push_back(s.data());
        for (std::string& s : env_strings)
            envp.push_back(s.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        int log = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(log, 0);
        std::vector<scratch_bind> binds = {{root_, true}, {dir_, false}};
        fflush(nullptr);
        daemon_ = fork();
        ASSERT_GE(daemon_, 0);
        if (daemon_ == 0) {
            dup2(log, 1);
            dup2(log, 2);
            close_range(3, ~0u, 0);
            _exit(scratch_root_exec({}, binds, argv.data(), envp.data()));
        }
        close(log);
        int64_t deadline = pkg_now_ms() + PKG_TIMEOUT_MS;
        unique_fd probe;
        while (raw_connect(socket_.c_str(), &probe) != 0) {
            ASSERT_EQ(0, waitpid(daemon_, nullptr, WNOHANG)) << read_text(log_);
            ASSERT_LT(pkg_now_ms(), deadline) << "daemon not listening\n" << read_text(log_);
            usleep(20000);
        }
    }

    std::string root_, unit_, dir_, socket_, log_;
    pid_t daemon_ = -1;
};

// The unit's capabilities are enough for the whole path: fanotify on every file system, the
// history at the root, and the per-client identity under which an unprivileged client's read
// permission is checked (without CAP_SETUID/CAP_SETGID that client would hear nothing).
TEST_F(InstalledPackageTest, InstalledDaemonServesInstalledToolUnderUnitCapabilities) {
    std::istringstream names(unit_value(unit_, "CapabilityBoundingSet"));
    std::vector<std::string> cap_names;
    uint64_t want_bounding = 0;
    for (std::string name; names >> name;) {
        auto it = PKG_CAPS.find(name);
        ASSERT_NE(PKG_CAPS.end(), it) << "capability " << name << " unknown to this test";
        cap_names.push_back(name);
        want_bounding |= uint64_t{1} << it->second;
    }
    ASSERT_NE(0u, want_bounding & (uint64_t{1} << CAP_SYS_ADMIN));
    ASSERT_NO_FATAL_FAILURE(start_daemon(cap_names));

    // The daemon really runs with exactly that set (setpriv executed it in place).
    std::string status = read_text("/proc/" + std::to_string(daemon_) + "/status");
    size_t at = status.find("CapBnd:\t");
    ASSERT_NE(std::string::npos, at);
    EXPECT_EQ(want_bounding, std::stoull(status.substr(at + 8, 16), nullptr, 16));
    EXPECT_NE(std::string::npos, status.find("NoNewPrivs:\t1"));

    std::string tool = root_ + VANTLES_PACKAGE_BINDIR "/vantles";
    pkg_process watches[2];
    const uid_t users[2] = {0, PKG_NOBODY};
    bool done[2] = {false, false};
    int restarts = 0;
    for (int i = 0; i < 2; i++)
        ASSERT_NO_FATAL_FAILURE(spawn_watch(&watches[i], tool, socket_, users[i]));
    // Both must be registered before the change, which is not visible from here: the file is
    // written again until both watches end. The daemon watches whole file systems, the
    // machine's own too (its /usr is shown in the scratch root), so a busy machine may overflow
    // the kernel's queue: a watch that ended on that report instead is started again.
    std::string name = "/tmp/installed-" + std::to_string(getpid());
    std::string in_daemon_view = "/proc/" + std::to_string(daemon_) + "/root" + name;
    int64_t deadline = pkg_now_ms() + PKG_TIMEOUT_MS;
    while (!(done[0] && done[1]) && pkg_now_ms() < deadline) {
        int fd = open(in_daemon_view.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << strerror(errno);
        ASSERT_EQ(1, write(fd, "x", 1));
        close(fd);
        for (int i = 0; i < 2; i++) {
            if (done[i] || !pkg_wait_exit(&watches[i], 250))
                continue;
            done[i] = true;
            if (watches[i].text.find(" kernel-dropped ") != std::string::npos && restarts < 10) {
                restarts++;
                done[i] = false;
                watches[i].text.clear();
                ASSERT_NO_FATAL_FAILURE(spawn_watch(&watches[i], tool, socket_, users[i]));
            }
        }
    }
    pkg_process& as_root = watches[0];
    pkg_process& as_nobody = watches[1];
    ASSERT_TRUE(done[0]) << "root's watch did not end: " << as_root.text << read_text(log_);
    ASSERT_TRUE(done[1]) << "nobody's watch did not end: " << as_nobody.text << read_text(log_);
    for (const pkg_process* p : {&as_root, &as_nobody}) {
        EXPECT_TRUE(WIFEXITED(p->status) && WEXITSTATUS(p->status) == 0)
            << "status 0x" << std::hex << p->status << ": " << p->text;
        // Directory-level events: one line naming the changed directory.
        EXPECT_TRUE(p->text.size() > 7 && p->text.ends_with(" /tmp/\n") &&
                    p->text.find('\n') == p->text.size() - 1)
            << p->text;
    }
    struct stat st;
    EXPECT_EQ(0, stat(("/proc/" + std::to_string(daemon_) + "/root/.vantlesd").c_str(), &st))
        << "no history directory";
    EXPECT_EQ(std::string::npos, read_text(log_).find("initgroups failed")) << read_text(log_);

    ASSERT_EQ(0, kill(daemon_, SIGTERM));
    int wait_status = 0;
    ASSERT_EQ(daemon_, waitpid(daemon_, &wait_status, 0));
    daemon_ = -1;
    EXPECT_TRUE(WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0)
        << "status 0x" << std::hex << wait_status << "\n"
        << read_text(log_);
}

}  // namespace
