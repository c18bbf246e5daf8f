// The fixture of the suites that act on a daemon from outside (other users, mount changes,
// kills): the daemon in a scratch root, its socket open to all users, children in its namespace.
#pragma once

#include "tests/support/live_client.h"
#include "tests/support/test_daemon.h"
#include "vantles/client.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

constexpr int SCRATCH_WAIT_MS = 30000;  // bounds the waits that only a fault runs into
constexpr char SCRATCH_TOOL[] = "/opt/vantles-tool/vantles";  // the tool, after show_tool()

// Forks a child in the mount namespace mount_ns (0 in it; -1 on failure). The child takes a
// file-system context of its own first: setns refuses to move one a sanitizer's thread shares.
inline pid_t fork_in_namespace(int mount_ns) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (unshare(CLONE_FS) != 0 || setns(mount_ns, CLONE_NEWNS) != 0)
            _exit(126);
    }
    return pid;
}

// The daemon's mount namespace (a descriptor that keeps it, and so its scratch root, after the
// daemon exits); forks a child in it.
inline int open_namespace(const test_daemon& d) {
    return open(("/proc/" + std::to_string(d.pid) + "/ns/mnt").c_str(), O_RDONLY | O_CLOEXEC);
}
inline pid_t fork_in_namespace(const test_daemon& d) {
    unique_fd ns(open_namespace(d));
    return ns.valid() ? fork_in_namespace(ns.get()) : -1;
}

// Runs body in a child in the daemon's namespace: the status it exited with (-1: none).
inline int run_child(const test_daemon& d, const std::function<int()>& body) {
    pid_t pid = fork_in_namespace(d);
    if (pid == 0)
        _exit(body());
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status)
                                                                              : -1;
}

// A child running body (in the mount namespace mount_ns, unless -1), its standard output and
// error in the files out and err (emptied at each start) of a directory no scratch root shows.
// Killed and reaped at the end.
struct child_process {
    pid_t pid = -1;
    int status = -1;  // the wait status, once reaped
    std::string out, err;

    ~child_process() {
        stop(SIGKILL, 0);
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(out).parent_path(), ignored);
    }
    int start(const std::function<int()>& body, int mount_ns = -1) {
        char dir[] = "/tmp/vantles-child.XXXXXX";
        if (out.empty() && mkdtemp(dir) != nullptr)
            out = dir + std::string("/out"), err = dir + std::string("/err");
        unique_fd o(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        unique_fd e(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!o.valid() || !e.valid())
            return errno;
        if ((pid = mount_ns >= 0 ? fork_in_namespace(mount_ns) : (fflush(nullptr), fork())) == 0) {
            if (prctl(PR_SET_PDEATHSIG, SIGKILL) || dup2(o.get(), 1) < 0 || dup2(e.get(), 2) < 0)
                _exit(126);
            close_range(3, ~0u, 0);
            _exit(body());
        }
        return pid < 0 ? ECHILD : 0;
    }
    std::string output() const { return read_text(out); }
    std::string errors() const { return read_text(err); }
    bool wait_exit(int timeout_ms) {  // true (status set) once it has exited
        if (pid > 0 &&
            !wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms))
            return false;
        pid = -1;
        return true;
    }
    // Sends sig and waits as long for the exit, then kills it: the wait status (-1: killed).
    int stop(int sig = SIGTERM, int timeout_ms = SCRATCH_WAIT_MS) {
        if (pid > 0 && (kill(pid, sig) != 0 || !wait_exit(timeout_ms))) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1, status = -1;
        }
        return status;
    }
};

// Runs argv (argv[0] a path inside the root) in the mount namespace mount_ns, in directory dir,
// with env ("NAME=VALUE") added to this process's environment; its standard output in *out.
// Its exit status, or -1 when it did not exit.
inline int run_in_namespace(int mount_ns, const std::string& dir, std::vector<std::string> argv,
                            const std::vector<std::string>& env, std::string* out) {
    std::vector<char*> args = c_strings(argv), envp;
    for (char** e = environ; *e; e++)
        envp.push_back(*e);
    for (const std::string& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    child_process p;
    auto exec = [&] {
        return chdir(dir.c_str()) ? 127 : (execve(args[0], args.data(), envp.data()), 127);
    };
    if (p.start(exec, mount_ns) != 0 || !p.wait_exit(SCRATCH_WAIT_MS))
        return -1;
    *out = p.output();
    return WIFEXITED(p.status) ? WEXITSTATUS(p.status) : -1;
}

// A process in the daemon's namespace making files "<prefix><i>" in dir as fast as it can,
// pausing pause_us after every 64, counting them in *made for the test; with no count, without
// end and churning: it also renames every third to "r<i>", changes the mode of every fifth and
// removes those 64 behind. Killed by stop() and the destructor.
struct file_storm {
    pid_t pid = -1;
    std::atomic<uint64_t>* made =
        new (mmap(nullptr, sizeof *made, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0))
            std::atomic<uint64_t>(0);

    ~file_storm() {
        stop();
        munmap(made, sizeof *made);
    }
    int start(const test_daemon& d, const std::string& dir, int pause_us, char prefix = 'n',
              uint64_t count = 0) {
        stop();
        made->store(0);
        if ((pid = fork_in_namespace(d)) != 0)
            return pid < 0 ? ECHILD : 0;
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        const bool churn = count == 0;
        timespec pause = {0, pause_us * 1000L};
        char a[24], b[24];
        for (uint64_t i = 0; churn || i < count; i++) {
            int fd = open(name(prefix, i, a), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0 && write(fd, "x", 1) == 1 && close(fd) == 0)
                made->fetch_add(1);
            if (churn && i >= 1 && i % 3 == 0)
                rename(name('n', i - 1, a), name('r', i - 1, b));
            if (churn && i >= 2 && i % 5 == 0)
                chmod(name('n', i - 2, a), 0600);
            if (churn && i >= 64 && unlink(name('n', i - 64, a)) != 0)
                unlink(name('r', i - 64, b));
            if (i % 64 == 63)
                nanosleep(&pause, nullptr);
        }
        _exit(0);
    }
    bool wait_made(uint64_t n) {
        return wait_until([&] { return made->load() >= n; }, SCRATCH_WAIT_MS);
    }
    void stop() {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
        pid = -1;
    }
    // "<prefix><n>" in out[24] without the C library: the child copies a threaded process.
    static const char* name(char prefix, uint64_t n, char* out) {
        char* p = out + 23;
        *p = '\0';
        do
            *--p = static_cast<char>('0' + n % 10);
        while ((n /= 10) > 0);
        *--p = prefix;
        return p;
    }
};

class ScratchDaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!scratch_root_available())
            GTEST_SKIP() << "needs root and mount namespaces";
        char dir[] = "/tmp/vantles-scratch.XXXXXX";
        ASSERT_TRUE(mkdtemp(dir) && chmod(dir, 0755) == 0) << strerror(errno);
        socket_dir_ = dir;
        prepare();
    }
    virtual void prepare() {}  // a fixture's own set-up, unless skipped
    void TearDown() override {
        EXPECT_TRUE(daemon_.pid <= 0 || test_daemon_running(&daemon_)) << "the daemon died";
        if (HasFailure())
            test_daemon_print_log_tail(daemon_);
        test_daemon_stop(&daemon_);
        std::error_code ignored;
        std::filesystem::remove_all(socket_dir_, ignored);
    }

    ::testing::AssertionResult start(std::vector<scratch_volume> volumes = {},
                                     std::vector<std::string> env = {}, bool settle = false) {
        daemon_.volumes = std::move(volumes);
        daemon_.env = std::move(env);
        daemon_.settle = settle;
        if (int err = test_daemon_start(&daemon_, {"-d"}, socket_dir_ + "/vantlesd.sock"))
            return ::testing::AssertionFailure() << "start: " << err << test_daemon_log(daemon_);
        return ::testing::AssertionSuccess();
    }

    // The built vantles tool inside the root, at SCRATCH_TOOL; before start().
    void show_tool() {
        daemon_.binds.push_back({std::filesystem::path(VANTLES_TOOL_PATH).parent_path().string(),
                                 true, std::filesystem::path(SCRATCH_TOOL).parent_path()});
    }

    // How this process reaches the daemon's path.
    std::string host(const std::string& path) const { return live_root_path(daemon_, path); }

    uint64_t current_id() {
        vantles_connection conn;
        uint64_t id = 0;
        EXPECT_FALSE(vantles_connect(daemon_.socket_path.c_str(), &conn) ||
                     vantles_get_current_event_id(&conn, &id));
        return id;
    }

    std::string uuid(uint32_t dev) {
        vantles_connection conn;
        char text[VANTLES_UUID_TEXT_LENGTH + 1] = {};
        if (vantles_connect(daemon_.socket_path.c_str(), &conn) != 0 ||
            vantles_get_volume_uuid(&conn, dev, text) != 0)
            return "";
        return text;
    }

    test_daemon daemon_;
    std::string socket_dir_;
};
