// The fault suite's helpers: a storm writer in the daemon's scratch root, operations run in the
// daemon's mount namespace, the promises a replay keeps, and the fixture: a daemon (fanotify
// source) on volumes in a scratch root, its socket where any user reaches it.
#pragma once

#include "tests/support/live_client.h"
#include "tests/support/test_daemon.h"
#include "vantles/client.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <new>
#include <set>
#include <string>
#include <vector>

constexpr int FAULT_WAIT_MS = 30000;

// Forks a child that enters the daemon's mount namespace (taking a file-system context of its
// own first: a sanitizer's thread may share it, and setns refuses to move a shared one).
inline pid_t fork_in_namespace(const test_daemon& d) {
    int fd = open(("/proc/" + std::to_string(d.pid) + "/ns/mnt").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (unshare(CLONE_FS) != 0 || setns(fd, CLONE_NEWNS) != 0)
            _exit(126);
    }
    close(fd);
    return pid;
}

// Runs op (system calls only) in a child in the daemon's mount namespace: op's result, ECHILD
// when the child died, or an errno value.
inline int in_daemon_namespace(const test_daemon& d, const std::function<int()>& op) {
    pid_t pid = fork_in_namespace(d);
    if (pid == 0)
        _exit(op() & 0xff);
    if (pid < 0)
        return errno;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return errno;
    return WIFEXITED(status) ? WEXITSTATUS(status) : ECHILD;
}

// "<prefix><n>" in out[24] without the C library: the storm's child copies a threaded process.
inline const char* serial_name(char prefix, unsigned long n, char* out) {
    char* p = out + 23;
    *p = '\0';
    do
        *--p = static_cast<char>('0' + n % 10);
    while ((n /= 10) > 0);
    *--p = prefix;
    return p;
}

// A process in the daemon's namespace that creates and writes "n<i>", renames every third to
// "r<i>", changes the mode of every fifth and removes those 64 behind, in dir, as fast as it
// can (pausing pause_us after every 64). Killed by stop() and the destructor.
struct storm_writer {
    static constexpr unsigned WINDOW = 64;
    pid_t pid = -1;
    std::atomic<uint64_t>* made =
        new (mmap(nullptr, sizeof *made, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0))
            std::atomic<uint64_t>(0);  // files created, shared with the writer

    ~storm_writer() {
        stop();
        munmap(made, sizeof *made);
    }
    int start(const test_daemon& d, const std::string& dir, int pause_us) {
        made->store(0);
        if ((pid = fork_in_namespace(d)) != 0)
            return pid < 0 ? errno : 0;
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        timespec pause = {0, static_cast<long>(pause_us) * 1000};
        char a[24], b[24];
        for (unsigned long i = 0;; i++) {
            int fd = open(serial_name('n', i, a), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0 && write(fd, "x", 1) == 1 && close(fd) == 0)
                made->fetch_add(1);
            if (i >= 1 && i % 3 == 0)
                rename(serial_name('n', i - 1, a), serial_name('r', i - 1, b));
            if (i >= 2 && i % 5 == 0)
                chmod(serial_name('n', i - 2, a), 0600);
            if (i >= WINDOW && unlink(serial_name('n', i - WINDOW, a)) != 0)
                unlink(serial_name('r', i - WINDOW, b));
            if (pause_us > 0 && i % WINDOW == 0)
                nanosleep(&pause, nullptr);
        }
    }
    void stop() {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
        pid = -1;
    }
    static bool path_of(const std::string& dir, const std::string& path) {
        return path.size() > dir.size() + 2 && path.starts_with(dir + "/") &&
               (path[dir.size() + 1] == 'n' || path[dir.size() + 1] == 'r') &&
               path.find_first_not_of("0123456789", dir.size() + 2) == std::string::npos;
    }
};

// Empty files dir/<prefix><i> (dir as this process reaches it). 0 or an errno value.
inline int make_files(const std::string& dir, const std::string& prefix, int count) {
    for (int i = 0; i < count; i++) {
        int fd = open((dir + "/" + prefix + std::to_string(i)).c_str(),
                      O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || close(fd) != 0)
            return errno;
    }
    return 0;
}

// The descriptors and thread working directories of pid on device dev, one per line.
inline std::string held_on_device(pid_t pid, dev_t dev) {
    std::string out, proc = "/proc/" + std::to_string(pid);
    std::vector<std::filesystem::path> links;
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator(proc + "/fd", ec))
        links.push_back(fd.path());
    for (const auto& task : std::filesystem::directory_iterator(proc + "/task", ec))
        links.push_back(task.path() / "cwd");
    for (const auto& link : links) {
        struct stat st;
        if (stat(link.c_str(), &st) == 0 && st.st_dev == dev)
            out += link.string() + " -> " + std::filesystem::read_symlink(link, ec).string() + "\n";
    }
    return out;
}

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!scratch_root_available())
            GTEST_SKIP() << "needs root and mount namespaces";
    }
    void TearDown() override {
        if (HasFailure())
            test_daemon_print_log_tail(daemon_);
        test_daemon_stop(&daemon_);
        std::error_code ignored;
        std::filesystem::remove_all(socket_dir_, ignored);
    }

    ::testing::AssertionResult start(std::vector<scratch_volume> volumes) {
        daemon_.volumes = std::move(volumes);
        daemon_.settle = false;
        char dir[] = "/tmp/vantles-faults.XXXXXX";
        if (!mkdtemp(dir) || chmod(dir, 0755) != 0)
            return ::testing::AssertionFailure() << "socket directory: " << strerror(errno);
        socket_dir_ = dir;
        if (int err = test_daemon_start(&daemon_, {"-d"}, socket_dir_ + "/vantlesd.sock"))
            return ::testing::AssertionFailure() << "start: " << err << test_daemon_log(daemon_);
        return ::testing::AssertionSuccess();
    }

    // The descriptor count once start-up is over (a request that waits for it was answered)
    // and the count has held still for 300 ms.
    int resting_fd_count() {
        current_id();
        int last = proc_fd_count(daemon_.pid);
        int64_t steady_since = live_now_ms();
        wait_until(
            [&] {
                int count = proc_fd_count(daemon_.pid);
                if (count != last)
                    last = count, steady_since = live_now_ms();
                return live_now_ms() - steady_since >= 300;
            },
            5000);
        return last;
    }

    std::string host(const std::string& path) const { return live_root_path(daemon_, path); }

    uint64_t current_id() {
        vantles_connection conn;
        uint64_t id = 0;
        EXPECT_EQ(0, vantles_connect(daemon_.socket_path.c_str(), &conn) |
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

    // Replays paths since the id to its history-done notice and checks what a replay promises:
    // ids above since and not above the daemon's counter after it, none twice, a path again
    // only with a newer id, the notice carrying the highest id replayed (since when none), and
    // every path but a dropped notice's (which names the volume) passing path_ok.
    ::testing::AssertionResult replays_soundly(
        const std::vector<std::string>& paths, uint64_t since,
        const std::function<bool(const std::string&)>& path_ok,
        std::set<std::string>* names = nullptr) {
        live_stream s;
        vantles_stream_options options = live_options(daemon_, paths, VANTLES_FLAG_FILE_EVENTS);
        options.since_when = since;
        auto done = [](const live_event& e) { return e.flags & VANTLES_EVENT_HISTORY_DONE; };
        if (int err = live_stream_start(&s, options))
            return ::testing::AssertionFailure() << "registration since " << since << ": " << err;
        if (!live_wait_event(&s.sink, done, FAULT_WAIT_MS))
            return ::testing::AssertionFailure() << "no history-done notice";
        const uint64_t below = current_id() + 1;
        uint64_t highest = since;
        std::map<std::string, uint64_t> last_of_path;
        std::set<uint64_t> ids;
        for (const live_event& e : live_sink_events(&s.sink)) {
            auto fail = [&] {
                return ::testing::AssertionFailure() << "id " << e.id << ", " << e.path << ": ";
            };
            if (done(e))
                return e.id == highest ? ::testing::AssertionSuccess()
                                       : fail() << "the highest replayed id is " << highest;
            if (e.id <= since || e.id >= below)
                return fail() << "outside (" << since << ", " << below << ")";
            if (!ids.insert(e.id).second)
                return fail() << "the id was replayed before";
            auto [it, first] = last_of_path.emplace(e.path, e.id);
            if (!first && it->second >= e.id)
                return fail() << "the path came before with id " << it->second;
            it->second = e.id;
            bool gap = e.flags & (VANTLES_EVENT_USER_DROPPED | VANTLES_EVENT_KERNEL_DROPPED);
            if (!gap && !path_ok(e.path))
                return fail() << "a path nobody changed";
            highest = std::max(highest, e.id);
            if (names)
                names->insert(e.path);
        }
        return ::testing::AssertionFailure() << "unreachable";
    }

    test_daemon daemon_;
    std::string socket_dir_;
};
