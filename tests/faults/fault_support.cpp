// The storm writer, namespace operations, replay checks and descriptor inspection of the fault
// suite (see fault_support.h).
#include "tests/faults/fault_support.h"

#include "vantles/client.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <set>
#include <sstream>
#include <thread>

namespace {

// Files the storm keeps before it removes the oldest.
constexpr unsigned FAULT_STORM_WINDOW = 64;
// Changes between two pauses of a slowed storm.
constexpr unsigned FAULT_STORM_BURST = 64;

// "<prefix><n>" into out (at least 24 bytes), without the C library: the storm's child runs in a
// copy of a threaded process, where only system calls are safe.
void serial_name(char prefix, unsigned long n, char* out) {
    char digits[24];
    int k = 0;
    do {
        digits[k++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n > 0);
    int i = 0;
    out[i++] = prefix;
    while (k > 0)
        out[i++] = digits[--k];
    out[i] = '\0';
}

// Enters the mount namespace open at ns_fd; false when that fails. A thread that a
// sanitizer's runtime may start in the child shares the file-system context, which setns
// refuses to move: the child takes a context of its own first.
bool enter_namespace(int ns_fd) {
    return ns_fd >= 0 && unshare(CLONE_FS) == 0 && setns(ns_fd, CLONE_NEWNS) == 0;
}

[[noreturn]] void storm_loop(int ns_fd, const char* dir, int pause_us,
                             std::atomic<uint64_t>* made) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (!enter_namespace(ns_fd) || chdir(dir) != 0)
        _exit(126);
    timespec pause = {0, static_cast<long>(pause_us) * 1000};
    char name[24], old_name[24], renamed[24];
    for (unsigned long i = 0;; i++) {
        serial_name('n', i, name);
        int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            (void)!write(fd, "x", 1);
            close(fd);
            made->fetch_add(1, std::memory_order_relaxed);
        }
        if (i >= 1 && i % 3 == 0) {
            serial_name('n', i - 1, old_name);
            serial_name('r', i - 1, renamed);
            rename(old_name, renamed);
        }
        if (i >= 2 && i % 5 == 0) {
            serial_name('n', i - 2, old_name);
            chmod(old_name, 0600);
        }
        if (i >= FAULT_STORM_WINDOW) {
            serial_name('n', i - FAULT_STORM_WINDOW, old_name);
            serial_name('r', i - FAULT_STORM_WINDOW, renamed);
            if (unlink(old_name) != 0)
                unlink(renamed);
        }
        if (pause_us > 0 && i % FAULT_STORM_BURST == 0)
            nanosleep(&pause, nullptr);
    }
}

std::string namespace_path(const test_daemon& d) {
    return "/proc/" + std::to_string(d.pid) + "/ns/mnt";
}

int wait_child(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return errno;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : ECHILD;
}

}  // namespace

storm_writer::~storm_writer() {
    storm_stop(this);
    if (made)
        munmap(made, sizeof *made);
}

int storm_start(storm_writer* w, const test_daemon& d, const std::string& dir, int pause_us) {
    unique_fd ns(open(namespace_path(d).c_str(), O_RDONLY | O_CLOEXEC));
    if (!ns.valid())
        return errno;
    if (!w->made) {
        void* shared = mmap(nullptr, sizeof *w->made, PROT_READ | PROT_WRITE,
                            MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (shared == MAP_FAILED)
            return errno;
        w->made = new (shared) std::atomic<uint64_t>(0);
    }
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return errno;
    if (pid == 0)
        storm_loop(ns.get(), dir.c_str(), pause_us, w->made);
    w->pid = pid;
    return 0;
}

void storm_stop(storm_writer* w) {
    if (w->pid >= 0) {
        kill(w->pid, SIGKILL);
        waitpid(w->pid, nullptr, 0);
        w->pid = -1;
    }
}

int storm_pause(storm_writer* w) {
    if (w->pid < 0)
        return ESRCH;
    if (kill(w->pid, SIGSTOP) != 0)
        return errno;
    int status = 0;
    while (waitpid(w->pid, &status, WUNTRACED) < 0) {
        if (errno != EINTR)
            return errno;
    }
    return WIFSTOPPED(status) ? 0 : ECHILD;
}

int storm_resume(storm_writer* w) {
    if (w->pid < 0)
        return ESRCH;
    return kill(w->pid, SIGCONT) == 0 ? 0 : errno;
}

uint64_t storm_made(const storm_writer& w) {
    return w.made ? w.made->load(std::memory_order_relaxed) : 0;
}

bool storm_wait_made(const storm_writer& w, uint64_t count, int timeout_ms) {
    return wait_until([&] { return storm_made(w) >= count; }, timeout_ms);
}

bool storm_path(const std::string& dir, const std::string& path) {
    if (path.size() < dir.size() + 3 || path.compare(0, dir.size(), dir) != 0 ||
        path[dir.size()] != '/')
        return false;
    char kind = path[dir.size() + 1];
    std::string digits = path.substr(dir.size() + 2);
    return (kind == 'n' || kind == 'r') &&
           digits.find_first_not_of("0123456789") == std::string::npos;
}

int in_daemon_namespace(const test_daemon& d, const std::function<int()>& op) {
    unique_fd ns(open(namespace_path(d).c_str(), O_RDONLY | O_CLOEXEC));
    if (!ns.valid())
        return errno;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return errno;
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (!enter_namespace(ns.get()))
            _exit(126);
        _exit(op() & 0xff);
    }
    return wait_child(pid);
}

int current_event_id_of(const test_daemon& d, uint64_t* id) {
    vantles_connection conn;
    int err = vantles_connect(d.socket_path.c_str(), &conn);
    if (err == 0)
        err = vantles_get_current_event_id(&conn, id);
    return err;
}

std::string volume_uuid_of(const test_daemon& d, uint32_t dev) {
    vantles_connection conn;
    char text[VANTLES_UUID_TEXT_LENGTH + 1] = {};
    if (vantles_connect(d.socket_path.c_str(), &conn) != 0 ||
        vantles_get_volume_uuid(&conn, dev, text) != 0)
        return "";
    return text;
}

::testing::AssertionResult replay_from(const test_daemon& d, live_stream* s,
                                       const std::vector<std::string>& paths, uint64_t since,
                                       replay_outcome* out) {
    vantles_stream_options options = live_options(d, paths, VANTLES_FLAG_FILE_EVENTS);
    options.since_when = since;
    if (int err = live_stream_start(s, options); err != 0)
        return ::testing::AssertionFailure() << "registration since " << since << ": " << err;
    auto is_done = [](const live_event& e) { return (e.flags & VANTLES_EVENT_HISTORY_DONE) != 0; };
    if (!live_wait_event(&s->sink, is_done, FAULT_WAIT_MS))
        return ::testing::AssertionFailure()
               << "no history-done notice after " << live_sink_events(&s->sink).size() << " events";
    *out = replay_outcome();
    for (const live_event& e : live_sink_events(&s->sink)) {
        if (is_done(e)) {
            out->done = true;
            out->done_id = e.id;
            break;
        }
        out->replayed.push_back(e);
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult replay_is_sound(const replay_outcome& r, uint64_t since, uint64_t below,
                                           const std::function<bool(const std::string&)>& path_ok) {
    if (!r.done)
        return ::testing::AssertionFailure() << "the replay never ended";
    std::set<uint64_t> ids;
    std::map<std::string, uint64_t> last_of_path;
    for (size_t i = 0; i < r.replayed.size(); i++) {
        const live_event& e = r.replayed[i];
        auto fail = [&]() {
            return ::testing::AssertionFailure() << "record " << i << " of " << r.replayed.size()
                                                 << " (id " << e.id << ", " << e.path << "): ";
        };
        if (e.id <= since || e.id >= below)
            return fail() << "id outside (" << since << ", " << below << ")";
        if (!ids.insert(e.id).second)
            return fail() << "the id was replayed before, for another change";
        auto [it, first] = last_of_path.emplace(e.path, e.id);
        if (!first && it->second >= e.id)
            return fail() << "the path came before with id " << it->second;
        it->second = e.id;
        // A dropped record names the volume: a restart without the kept kernel queue, or a
        // loss, leaves one in the history.
        bool gap = e.flags & (VANTLES_EVENT_USER_DROPPED | VANTLES_EVENT_KERNEL_DROPPED);
        if (!gap && !path_ok(e.path))
            return fail() << "a path nobody changed";
    }
    uint64_t want = r.replayed.empty() ? since : highest_id(r.replayed);
    if (r.done_id != want)
        return ::testing::AssertionFailure()
               << "history-done carries " << r.done_id << ", the highest replayed id is " << want;
    return ::testing::AssertionSuccess();
}

uint64_t highest_id(const std::vector<live_event>& events) {
    uint64_t id = 0;
    for (const live_event& e : events)
        id = std::max(id, e.id);
    return id;
}

int make_files(const std::string& dir, const std::string& prefix, int count) {
    for (int i = 0; i < count; i++) {
        std::string path = dir + "/" + prefix + std::to_string(i);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            return errno;
        close(fd);
    }
    return 0;
}

std::string held_on_device(pid_t pid, dev_t dev) {
    std::string out;
    std::string proc = "/proc/" + std::to_string(pid);
    auto check = [&](const std::filesystem::path& link) {
        struct stat st;
        if (stat(link.c_str(), &st) == 0 && st.st_dev == dev) {
            std::error_code ec;
            out += link.string() + " -> " + std::filesystem::read_symlink(link, ec).string() + "\n";
        }
    };
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator(proc + "/fd", ec))
        check(fd.path());
    for (const auto& task : std::filesystem::directory_iterator(proc + "/task", ec))
        check(task.path() / "cwd");
    return out;
}

int resting_fd_count(const test_daemon& d) {
    constexpr int64_t STEADY_MS = 300;
    constexpr int64_t SETTLE_MS = 5000;
    uint64_t id = 0;
    if (current_event_id_of(d, &id) != 0)
        return -1;
    int64_t deadline = live_now_ms() + SETTLE_MS;
    int last = proc_fd_count(d.pid);
    int64_t steady_since = live_now_ms();
    while (live_now_ms() - steady_since < STEADY_MS && live_now_ms() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        int count = proc_fd_count(d.pid);
        if (count != last) {
            last = count;
            steady_since = live_now_ms();
        }
    }
    return last;
}

std::string log_tail(const test_daemon& d, size_t bytes) {
    std::string log = test_daemon_log(d);
    return log.size() > bytes ? "...\n" + log.substr(log.size() - bytes) : log;
}
