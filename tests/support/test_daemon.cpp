// The vantlesd child process and the helpers of the suites that drive it (see test_daemon.h).
#include "tests/support/test_daemon.h"

#include "tests/support/live_client.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

extern char** environ;

namespace {

constexpr const char* TEST_DAEMON_BIN_DIR = "/opt/vantles-under-test";

std::string parent_dir(const std::string& path) {
    return std::filesystem::path(path).parent_path().string();
}

// Starts the daemon's process: in the mount namespace mount_ns when that is a descriptor (an
// earlier daemon's scratch root), else in a fresh scratch root (as root) or this namespace.
int spawn_daemon(test_daemon* d, const std::vector<std::string>& args, int mount_ns, bool append) {
    unique_fd log(open(d->log_path.c_str(),
                       O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644));
    unique_fd null(open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!log.valid() || !null.valid())
        return errno;
    std::vector<std::string> argv_strings = {VANTLESD_PATH}, env_strings;
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    for (char** e = environ; *e != nullptr; e++)
        if (strncmp(*e, "VANTLESD_SOCKET=", 16) != 0 && strncmp(*e, "VANTLESD_DEVICE=", 16) != 0)
            env_strings.push_back(*e);
    env_strings.push_back("VANTLESD_SOCKET=" + d->socket_path);
    env_strings.insert(env_strings.end(), d->env.begin(), d->env.end());
    // The child writes its pid into this entry's zeros: it may not allocate.
    size_t pid_entry = env_strings.size();
    if (d->pass_fd >= 0) {
        env_strings.push_back("LISTEN_PID=0000000000");
        env_strings.push_back("LISTEN_FDS=1");
        env_strings.push_back("LISTEN_FDNAMES=" + d->pass_fd_name);
    }
    // As root every daemon runs in a scratch root (a fresh one, or mount_ns: an earlier one's),
    // where the daemon's build directory appears at a place of its own: at its own path it could
    // lie under a volume a test unmounts (a checkout under /var/tmp).
    bool in_root = scratch_root_available(), scratch = mount_ns < 0 && in_root;
    std::vector<scratch_bind> binds = {{d->dir, false},
                                       {parent_dir(VANTLESD_PATH), true, TEST_DAEMON_BIN_DIR}};
    if (in_root)
        argv_strings[0] = std::string(TEST_DAEMON_BIN_DIR) + "/" +
                          std::filesystem::path(VANTLESD_PATH).filename().string();
    std::vector<char*> argv = c_strings(argv_strings), envp = c_strings(env_strings);
    if (parent_dir(d->socket_path) != d->dir)
        binds.push_back({parent_dir(d->socket_path), false});
    binds.insert(binds.end(), d->binds.begin(), d->binds.end());

    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return errno;
    if (pid == 0) {
        // A test that dies (a crash, a failed assertion in a child) takes its daemon along.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        // setns refuses while another thread shares the file-system context: unshare it.
        if (mount_ns >= 0 && (unshare(CLONE_FS) != 0 || setns(mount_ns, CLONE_NEWNS) != 0))
            _exit(126);
        dup2(null.get(), 0);
        dup2(null.get(), 1);
        dup2(log.get(), 2);
        if (d->pass_fd >= 0) {
            char *digits = envp[pid_entry] + strlen("LISTEN_PID="), *p = digits + 10;
            for (long v = getpid(); v > 0; v /= 10)  // right-aligned, then moved to the front
                *--p = static_cast<char>('0' + v % 10);
            memmove(digits, p, digits + 11 - p);  // with the NUL
            if (d->pass_fd == 3 ? fcntl(3, F_SETFD, 0) != 0 : dup2(d->pass_fd, 3) != 3)
                _exit(126);
        }
        close_range(d->pass_fd >= 0 ? 4 : 3, ~0u, 0);
        if (scratch)
            _exit(scratch_root_exec(d->volumes, binds, argv.data(), envp.data()));
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    d->pid = pid;
    return 0;
}

// Waits for a probe's answer and for the end of start-up, then (settle) for the descriptor count
// to hold still below the one with the probe connected: other threads' start-up work may still
// open descriptors. The probe is answered before the volumes are watched; the current-id
// request waits until they are, so that a change the test makes next is the daemon's to see.
int wait_daemon_ready(test_daemon* d) {
    unique_fd probe;
    raw_datagram reply;
    wait_until(
        [&] { return !raw_connect(d->socket_path.c_str(), &probe) || !test_daemon_running(d); },
        20000);
    if (!probe.valid())
        return test_daemon_running(d) ? ETIMEDOUT : ECHILD;
    std::vector<uint8_t> request = raw_simple_request(BLACKBOX_PROBE_ID, 24, BLACKBOX_BITS);
    if (int err = raw_rpc(probe.get(), request, 30000, &reply); err != 0)
        return err;
    {
        vantles_connection conn;
        uint64_t id = 0;
        if (vantles_connect(d->socket_path.c_str(), &conn) == 0)
            vantles_get_current_event_id(&conn, &id);
    }
    if (!d->settle)
        return 0;
    int connected = proc_fd_count(d->pid), last = -1;
    probe.reset();
    for (int64_t steady_since = 0, end = live_now_ms() + 5000; live_now_ms() < end; usleep(10000)) {
        int count = proc_fd_count(d->pid);
        steady_since = count != last ? live_now_ms() : steady_since;
        last = count;
        if (count < connected && live_now_ms() - steady_since >= 300)
            break;
    }
    return 0;
}

}  // namespace

test_daemon::~test_daemon() {
    test_daemon_stop(this);
    std::error_code ignored;
    if (!dir.empty())
        std::filesystem::remove_all(dir, ignored);
    if (!log_path.empty())
        std::filesystem::remove_all(parent_dir(log_path), ignored);
}

int test_daemon_start(test_daemon* d, const std::vector<std::string>& args,
                      const std::string& socket_path, bool wait_ready) {
    // The log lies outside what the daemon sees, or its own writes there would be changes.
    char dir_template[] = "/tmp/vantles-blackbox.XXXXXX";
    char log_template[] = "/tmp/vantles-blackbox-log.XXXXXX";
    if (mkdtemp(dir_template) == nullptr || mkdtemp(log_template) == nullptr)
        return errno;
    d->dir = dir_template;
    d->socket_path = socket_path.empty() ? d->dir + "/vantlesd.sock" : socket_path;
    d->log_path = std::string(log_template) + "/stderr.log";
    int err = spawn_daemon(d, args, -1, false);
    return err != 0 || !wait_ready ? err : wait_daemon_ready(d);
}

int test_daemon_restart(test_daemon* d, const std::vector<std::string>& args, int timeout_ms,
                        int signal) {
    if (!test_daemon_running(d))
        return ESRCH;
    // The namespace (the scratch root) outlives its only process while this refers to it.
    std::string ns = "/proc/" + std::to_string(d->pid) + "/ns/mnt";
    unique_fd mount_ns(scratch_root_available() ? open(ns.c_str(), O_RDONLY | O_CLOEXEC) : -1);
    if (scratch_root_available() && !mount_ns.valid())
        return errno;
    if (kill(d->pid, signal) != 0)
        return errno;
    if (!test_daemon_wait_exit(d, timeout_ms))
        return ETIMEDOUT;
    int err = spawn_daemon(d, args, mount_ns.valid() ? mount_ns.get() : -1, true);
    return err != 0 ? err : wait_daemon_ready(d);
}

bool test_daemon_running(test_daemon* d) {
    if (d->pid < 0 || waitpid(d->pid, &d->status, WNOHANG) == 0)
        return d->pid >= 0;
    d->pid = -1;
    return false;
}

bool test_daemon_wait_exit(test_daemon* d, int timeout_ms) {
    return wait_until([d] { return !test_daemon_running(d); }, timeout_ms);
}

void test_daemon_stop(test_daemon* d) {
    if (d->pid > 0 && kill(d->pid, SIGKILL) == 0)
        waitpid(d->pid, &d->status, 0);
    d->pid = -1;
}

std::string test_daemon_log(const test_daemon& d) {
    return read_text(d.log_path);
}

void test_daemon_print_log_tail(const test_daemon& d) {
    std::string log = test_daemon_log(d);
    printf("---- daemon log ----\n%s\n",
           log.c_str() + log.size() - std::min<size_t>(log.size(), 6000));
}

std::vector<char*> c_strings(std::vector<std::string>& strings) {
    std::vector<char*> out(strings.size() + 1, nullptr);
    std::transform(strings.begin(), strings.end(), out.begin(),
                   [](std::string& s) { return s.data(); });
    return out;
}

bool wait_until(const std::function<bool()>& cond, int timeout_ms) {
    for (int64_t deadline = live_now_ms() + timeout_ms;; usleep(10000)) {
        if (cond())
            return true;
        if (live_now_ms() >= deadline)
            return false;
    }
}

bool test_daemon_wait_log(const test_daemon& d, const std::string& text, int timeout_ms) {
    return wait_until([&] { return test_daemon_log(d).find(text) != std::string::npos; },
                      timeout_ms);
}

int proc_fd_count(pid_t pid) {
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (dirent* entry = readdir(dir))
        count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

std::string proc_fd_list(pid_t pid) {
    std::string out;
    std::error_code ec, link_ec;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
        out += entry.path().filename().string() + " -> " +
               std::filesystem::read_symlink(entry.path(), link_ec).string() + "\n";
    return out;
}

::testing::AssertionResult fd_count_returns(pid_t pid, int expected, int timeout_ms) {
    int count = -1;
    if (wait_until([&] { return (count = proc_fd_count(pid)) == expected; }, timeout_ms))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "the daemon has " << count << " descriptors, expected " << expected << ":\n"
           << proc_fd_list(pid);
}

bool wait_hangup(int fd, int timeout_ms) {
    pollfd p = {fd, 0, 0};
    return wait_until([&] { return poll(&p, 1, 0) > 0 && (p.revents & POLLHUP) != 0; }, timeout_ms);
}
