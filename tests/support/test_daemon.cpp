// The vantlesd child process and the helpers of the suites that drive it (see test_daemon.h).
#include "tests/support/test_daemon.h"

#include "tests/support/scratch_root.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

extern char** environ;

namespace {

int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

void sleep_ms(int ms) {
    timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// The environment of the child: ours, with the daemon's variables replaced.
std::vector<std::string> child_environment(const std::string& socket_path,
                                           const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; e++) {
        std::string entry = *e;
        if (entry.rfind("VANTLESD_SOCKET=", 0) != 0 && entry.rfind("VANTLESD_DEVICE=", 0) != 0)
            env.push_back(entry);
    }
    env.push_back("VANTLESD_SOCKET=" + socket_path);
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::string parent_dir(const std::string& path) {
    return std::filesystem::path(path).parent_path().string();
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace

test_daemon::~test_daemon() {
    test_daemon_stop(this);
    std::error_code ignored;
    if (!dir.empty())
        std::filesystem::remove_all(dir, ignored);
    if (!log_path.empty())
        std::filesystem::remove_all(std::filesystem::path(log_path).parent_path(), ignored);
}

namespace {

// Starts the daemon's process: in the mount namespace mount_ns when that is a descriptor (an
// earlier daemon's scratch root), else in a fresh scratch root (as root) or this namespace.
int spawn_daemon(test_daemon* d, const std::vector<std::string>& args, int mount_ns, bool append) {
    unique_fd log(open(d->log_path.c_str(),
                       O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644));
    unique_fd null(open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!log.valid() || !null.valid())
        return errno;
    std::vector<std::string> argv_strings = {VANTLESD_PATH};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<std::string> env_strings = child_environment(d->socket_path, d->env);
    // The pid is written into its place in the child, which may not allocate.
    constexpr size_t PID_DIGITS = 10;
    size_t pid_entry = env_strings.size();
    if (d->pass_fd >= 0) {
        env_strings.push_back("LISTEN_PID=" + std::string(PID_DIGITS, '0'));
        env_strings.push_back("LISTEN_FDS=1");
        env_strings.push_back("LISTEN_FDNAMES=" + d->pass_fd_name);
    }
    std::vector<char*> argv = pointers(argv_strings);
    std::vector<char*> envp = pointers(env_strings);

    bool scratch = mount_ns < 0 && scratch_root_available();
    std::vector<scratch_bind> binds = {{d->dir, false}, {parent_dir(VANTLESD_PATH), true}};
    if (parent_dir(d->socket_path) != d->dir)
        binds.push_back({parent_dir(d->socket_path), false});
    binds.insert(binds.end(), d->binds.begin(), d->binds.end());

    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return errno;
    if (pid == 0) {
        // setns refuses while another thread shares the file-system context: unshare it.
        if (mount_ns >= 0 && (unshare(CLONE_FS) != 0 || setns(mount_ns, CLONE_NEWNS) != 0))
            _exit(126);
        dup2(null.get(), 0);
        dup2(null.get(), 1);
        dup2(log.get(), 2);
        unsigned first_closed = 3;
        if (d->pass_fd >= 0) {
            char* digits = envp[pid_entry] + strlen("LISTEN_PID=");
            char reversed[PID_DIGITS];
            size_t n = 0;
            for (long v = getpid(); v > 0 && n < PID_DIGITS; v /= 10)
                reversed[n++] = static_cast<char>('0' + v % 10);
            for (size_t i = 0; i < n; i++)
                digits[i] = reversed[n - 1 - i];
            digits[n] = '\0';
            if (d->pass_fd == 3 ? fcntl(3, F_SETFD, 0) != 0 : dup2(d->pass_fd, 3) != 3)
                _exit(126);
            first_closed = 4;
        }
        close_range(first_closed, ~0u, 0);
        if (scratch)
            _exit(scratch_root_exec(d->volumes, binds, argv.data(), envp.data()));
        execve(VANTLESD_PATH, argv.data(), envp.data());
        _exit(127);
    }
    d->pid = pid;
    return 0;
}

// Waits for the socket to accept connections, then for the daemon's descriptors to settle.
int wait_daemon_ready(test_daemon* d) {
    int64_t deadline = now_ms() + 20000;
    unique_fd probe;
    while (raw_connect(d->socket_path.c_str(), &probe) != 0) {
        if (!test_daemon_running(d))
            return ECHILD;
        if (now_ms() >= deadline)
            return ETIMEDOUT;
        sleep_ms(10);
    }
    raw_datagram reply;
    int err = raw_rpc(probe.get(), raw_simple_request(BLACKBOX_PROBE_ID, 24, BLACKBOX_BITS),
                      BLACKBOX_REPLY_TIMEOUT_MS, &reply);
    if (err != 0)
        return err;
    if (!d->settle)
        return 0;
    int connected = proc_fd_count(d->pid);
    probe.reset();
    // Other threads' start-up work may still open descriptors: wait for a count that holds
    // still for a while, below the one with the probe connected.
    int last = -1;
    int64_t steady_since = 0;
    wait_until(
        [&] {
            int count = proc_fd_count(d->pid);
            if (count != last) {
                last = count;
                steady_since = now_ms();
            }
            return count < connected && now_ms() - steady_since >= 300;
        },
        BLACKBOX_SETTLE_TIMEOUT_MS);
    return 0;
}

}  // namespace

int test_daemon_start(test_daemon* d, const std::vector<std::string>& args,
                      const std::string& socket_path, bool wait_ready) {
    char dir_template[] = "/tmp/vantles-blackbox.XXXXXX";
    if (mkdtemp(dir_template) == nullptr)
        return errno;
    d->dir = dir_template;
    d->socket_path = socket_path.empty() ? d->dir + "/vantlesd.sock" : socket_path;
    // The log lies outside what the daemon sees, or its own writes there would be changes.
    char log_template[] = "/tmp/vantles-blackbox-log.XXXXXX";
    if (mkdtemp(log_template) == nullptr)
        return errno;
    d->log_path = std::string(log_template) + "/stderr.log";
    int err = spawn_daemon(d, args, -1, false);
    if (err != 0 || !wait_ready)
        return err;
    return wait_daemon_ready(d);
}

int test_daemon_restart(test_daemon* d, const std::vector<std::string>& args, int timeout_ms,
                        int signal) {
    if (!test_daemon_running(d))
        return ESRCH;
    // The namespace (the scratch root) outlives its only process while this refers to it.
    unique_fd mount_ns;
    if (scratch_root_available()) {
        std::string ns = "/proc/" + std::to_string(d->pid) + "/ns/mnt";
        mount_ns.reset(open(ns.c_str(), O_RDONLY | O_CLOEXEC));
        if (!mount_ns.valid())
            return errno;
    }
    if (kill(d->pid, signal) != 0)
        return errno;
    if (!test_daemon_wait_exit(d, timeout_ms))
        return ETIMEDOUT;
    int err = spawn_daemon(d, args, mount_ns.valid() ? mount_ns.get() : -1, true);
    if (err != 0)
        return err;
    return wait_daemon_ready(d);
}

bool test_daemon_running(test_daemon* d) {
    if (d->pid < 0)
        return false;
    int status = 0;
    if (waitpid(d->pid, &status, WNOHANG) == 0)
        return true;
    d->pid = -1;
    d->status = status;
    return false;
}

bool test_daemon_wait_exit(test_daemon* d, int timeout_ms) {
    return wait_until([d] { return !test_daemon_running(d); }, timeout_ms);
}

void test_daemon_stop(test_daemon* d) {
    if (d->pid < 0)
        return;
    kill(d->pid, SIGKILL);
    waitpid(d->pid, &d->status, 0);
    d->pid = -1;
}

std::string test_daemon_log(const test_daemon& d) {
    std::ifstream in(d.log_path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void test_daemon_print_log_tail(const test_daemon& d) {
    std::string log = test_daemon_log(d);
    size_t from = log.size() - std::min<size_t>(log.size(), 6000);
    printf("---- daemon log ----\n%s\n", log.substr(from).c_str());
}

bool wait_until(const std::function<bool()>& cond, int timeout_ms) {
    int64_t deadline = now_ms() + timeout_ms;
    for (;;) {
        if (cond())
            return true;
        if (now_ms() >= deadline)
            return false;
        sleep_ms(10);
    }
}

bool test_daemon_wait_log(const test_daemon& d, const std::string& text, int timeout_ms) {
    return wait_until([&] { return test_daemon_log(d).find(text) != std::string::npos; },
                      timeout_ms);
}

int proc_fd_count(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            count++;
    closedir(dir);
    return count;
}

long proc_rss_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

int proc_resting_fd_count(pid_t pid) {
    int fewest = proc_fd_count(pid);
    for (int64_t end = now_ms() + 500; now_ms() < end; sleep_ms(5)) {
        int count = proc_fd_count(pid);
        if (count >= 0 && (fewest < 0 || count < fewest))
            fewest = count;
    }
    return fewest;
}

std::string proc_fd_list(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    std::string out;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        std::error_code link_ec;
        out += entry.path().filename().string() + " -> " +
               std::filesystem::read_symlink(entry.path(), link_ec).string() + "\n";
    }
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
    int64_t deadline = now_ms() + timeout_ms;
    for (;;) {
        pollfd p = {fd, 0, 0};
        int left = static_cast<int>(std::max<int64_t>(deadline - now_ms(), 0));
        if (poll(&p, 1, left) > 0 && (p.revents & POLLHUP) != 0)
            return true;
        if (now_ms() >= deadline)
            return false;
    }
}

::testing::AssertionResult is_reply(const raw_datagram& reply, mach_msg_id_t request_id,
                                    uint32_t size, uint32_t request_bits, int32_t code) {
    auto head = field_at<mach_msg_header_t>(reply, 0);
    auto ndr = field_at<NDR_record_t>(reply, sizeof head);
    mach_msg_id_t want_id =
        static_cast<mach_msg_id_t>(static_cast<uint32_t>(request_id) + VANTLES_MSG_REPLY_OFFSET);
    int32_t got_code = field_at<int32_t>(reply, 32);
    if (reply.bytes.size() != size || head.msgh_size != size)
        return ::testing::AssertionFailure()
               << "reply of " << reply.bytes.size() << " bytes, msgh_size " << head.msgh_size
               << ", want " << size << " (code " << got_code << ", id " << head.msgh_id << ")";
    if (head.msgh_id != want_id)
        return ::testing::AssertionFailure() << "reply id " << head.msgh_id << ", want " << want_id;
    if (head.msgh_bits != (request_bits & MACH_MSGH_BITS_REMOTE_MASK))
        return ::testing::AssertionFailure() << "reply bits 0x" << std::hex << head.msgh_bits;
    if (head.msgh_local_port != 0 || head.msgh_voucher_port != 0)
        return ::testing::AssertionFailure() << "reply local/voucher ports " << head.msgh_local_port
                                             << "/" << head.msgh_voucher_port;
    if (memcmp(&ndr, &NDR_record, sizeof ndr) != 0)
        return ::testing::AssertionFailure() << "reply without the NDR record";
    if (got_code != code)
        return ::testing::AssertionFailure() << "reply code " << got_code << ", want " << code;
    if (!reply.fds.empty())
        return ::testing::AssertionFailure() << "simple reply carried descriptors";
    return ::testing::AssertionSuccess();
}

void DaemonTest::SetUp() {
    daemon_.env = {BLACKBOX_NO_EVENT_SOURCE};
    ASSERT_EQ(0, test_daemon_start(&daemon_, {"-d"})) << test_daemon_log(daemon_);
}

void DaemonTest::TearDown() {
    EXPECT_TRUE(test_daemon_running(&daemon_))
        << "the daemon died during the test, wait status 0x" << std::hex << daemon_.status;
    if (HasFailure()) {
        std::string log = test_daemon_log(daemon_);
        if (log.size() > 4000)
            log = "...\n" + log.substr(log.size() - 4000);
        printf("---- daemon log ----\n%s---- end of log ----\n", log.c_str());
    }
}

unique_fd DaemonTest::connect_raw() {
    unique_fd fd;
    int err = raw_connect(daemon_.socket_path.c_str(), &fd);
    EXPECT_EQ(0, err) << "connect: " << strerror(err);
    if (err != 0)
        return fd;
    raw_datagram reply = rpc(fd.get(), raw_simple_request(BLACKBOX_PROBE_ID, 24, BLACKBOX_BITS));
    EXPECT_TRUE(is_reply(reply, BLACKBOX_PROBE_ID, 36, BLACKBOX_BITS, MIG_BAD_ID));
    return fd;
}

raw_datagram DaemonTest::rpc(int fd, const std::vector<uint8_t>& request, int timeout_ms) {
    raw_datagram reply;
    int err = raw_rpc(fd, request, timeout_ms, &reply);
    EXPECT_EQ(0, err) << "no reply: " << strerror(err);
    return reply;
}

refusal_outcome DaemonTest::send_refused(int fd, const std::vector<uint8_t>& bytes,
                                         std::vector<int> fds) {
    refusal_outcome out;
    std::vector<uint8_t> probe = raw_simple_request(BLACKBOX_PROBE_ID, 24, BLACKBOX_BITS);
    int err = raw_send(fd, bytes.data(), bytes.size(), fds, BLACKBOX_SETTLE_TIMEOUT_MS);
    if (err == 0)
        err = raw_send(fd, probe.data(), probe.size(), {}, BLACKBOX_SETTLE_TIMEOUT_MS);
    if (err == EPIPE || err == ECONNRESET) {
        out.kind = refusal::closed;
        return out;
    }
    EXPECT_EQ(0, err) << "send: " << strerror(err);
    raw_datagram first;
    err = raw_receive(fd, BLACKBOX_REPLY_TIMEOUT_MS, &first);
    if (err == ECONNRESET) {
        out.kind = refusal::closed;
        return out;
    }
    EXPECT_EQ(0, err) << "neither the probe nor the request was answered: " << strerror(err);
    if (field_at<mach_msg_header_t>(first, 0).msgh_id ==
        BLACKBOX_PROBE_ID + VANTLES_MSG_REPLY_OFFSET) {
        EXPECT_TRUE(is_reply(first, BLACKBOX_PROBE_ID, 36, BLACKBOX_BITS, MIG_BAD_ID));
        out.kind = refusal::dropped;
        return out;
    }
    out.kind = refusal::answered;
    out.reply = std::move(first);
    raw_datagram probe_reply;
    err = raw_receive(fd, BLACKBOX_REPLY_TIMEOUT_MS, &probe_reply);
    if (err != ECONNRESET) {
        EXPECT_EQ(0, err) << "probe after an answered request: " << strerror(err);
        EXPECT_TRUE(is_reply(probe_reply, BLACKBOX_PROBE_ID, 36, BLACKBOX_BITS, MIG_BAD_ID));
    }
    return out;
}

::testing::AssertionResult DaemonTest::answers_probe() {
    unique_fd fd;
    int err = raw_connect(daemon_.socket_path.c_str(), &fd);
    if (err != 0)
        return ::testing::AssertionFailure() << "connect: " << strerror(err);
    raw_datagram reply;
    err = raw_rpc(fd.get(), raw_simple_request(BLACKBOX_PROBE_ID, 24, BLACKBOX_BITS),
                  BLACKBOX_REPLY_TIMEOUT_MS, &reply);
    if (err != 0)
        return ::testing::AssertionFailure() << "probe: " << strerror(err);
    return is_reply(reply, BLACKBOX_PROBE_ID, 36, BLACKBOX_BITS, MIG_BAD_ID);
}
