// The unprivileged child process of the security suite, its reports and the suite's fixture
// (see attacker.h).
#include "attacker.h"

#include "tests/support/scratch_root.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace {

// A file only root may read, made by the fixture: the child proves it lost root's rights on it.
constexpr const char* SECURITY_PROBE = "root-only";

void sleep_ms(int ms) {
    timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// In the child, before anything else: enter the daemon's namespace, raise the descriptor
// limit, drop root and check that it is gone. An empty result, or why it failed.
std::string become_user(const attacker_options& options, const std::string& probe) {
    if (options.daemon) {
        std::string ns = "/proc/" + std::to_string(options.daemon->pid) + "/ns/mnt";
        int fd = open(ns.c_str(), O_RDONLY | O_CLOEXEC);
        // A sanitizer's thread may share the file-system context, which setns refuses to move.
        if (fd < 0 || unshare(CLONE_FS) != 0 || setns(fd, CLONE_NEWNS) != 0)
            return "cannot enter the daemon's mount namespace: " + std::string(strerror(errno));
        close(fd);
    }
    if (options.descriptors != 0) {
        rlimit limit = {options.descriptors, options.descriptors};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            return "cannot raise the descriptor limit: " + std::string(strerror(errno));
    }
    if (options.uid == 0 || options.gid == 0)
        return "asked to stay root";
    if (setgroups(0, nullptr) != 0 || setgid(options.gid) != 0 || setuid(options.uid) != 0)
        return "cannot drop root: " + std::string(strerror(errno));
    gid_t groups[4];
    if (getuid() != options.uid || geteuid() != options.uid || getegid() != options.gid ||
        getgroups(4, groups) != 0 || setuid(0) == 0)
        return "still privileged";
    int fd = open(probe.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 || errno != EACCES)
        return "can read a file of root's: " + probe;
    return "";
}

bool is_history_done(const live_event& e) {
    return (e.flags & VANTLES_EVENT_HISTORY_DONE) != 0;
}

}  // namespace

void attacker_say(attacker_out out, const std::string& line) {
    std::string text = line + "\n";
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(out.fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            _exit(5);
        done += static_cast<size_t>(n);
    }
}

attacker::~attacker() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (from_child >= 0)
        close(from_child);
}

int attacker_start(attacker* a, const attacker_options& options,
                   const std::function<int(attacker_out)>& body) {
    // The probe lies beside the socket, in a directory the child reaches inside and outside
    // the daemon's namespace alike.
    std::string probe;
    if (options.daemon)
        probe = std::filesystem::path(options.daemon->socket_path).parent_path().string() + "/" +
                SECURITY_PROBE;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return errno;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        int err = errno;
        close(fds[0]);
        close(fds[1]);
        return err;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(fds[0]);
        attacker_out out{fds[1]};
        std::string why = become_user(options, probe.empty() ? "/proc/1/environ" : probe);
        if (!why.empty()) {
            attacker_say(out, "X " + why);
            _exit(1);
        }
        _exit(body(out) & 0xff);
    }
    close(fds[1]);
    a->pid = pid;
    a->from_child = fds[0];
    return 0;
}

std::vector<std::string> attacker_read(attacker* a, const std::string& until, int timeout_ms) {
    std::vector<std::string> lines;
    int64_t deadline = live_now_ms() + timeout_ms;
    for (;;) {
        size_t nl;
        while ((nl = a->pending.find('\n')) != std::string::npos) {
            lines.push_back(a->pending.substr(0, nl));
            a->pending.erase(0, nl + 1);
            if (lines.back().rfind(until, 0) == 0 || lines.back().rfind("X ", 0) == 0)
                return lines;
        }
        int left = static_cast<int>(std::max<int64_t>(deadline - live_now_ms(), 0));
        pollfd p = {a->from_child, POLLIN, 0};
        if (left == 0 || poll(&p, 1, left) != 1)
            return lines;
        char buf[8192];
        ssize_t n = read(a->from_child, buf, sizeof buf);
        if (n <= 0)
            return lines;
        a->pending.append(buf, static_cast<size_t>(n));
    }
}

int attacker_wait(attacker* a, int timeout_ms) {
    if (a->pid <= 0)
        return -1;
    int64_t deadline = live_now_ms() + timeout_ms;
    int status = 0;
    for (;;) {
        pid_t got = waitpid(a->pid, &status, WNOHANG);
        if (got == a->pid)
            break;
        if (live_now_ms() >= deadline) {
            kill(a->pid, SIGKILL);
            waitpid(a->pid, nullptr, 0);
            a->pid = -1;
            return -1;
        }
        sleep_ms(10);
    }
    a->pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<seen_event> parse_seen(const std::vector<std::string>& lines) {
    std::vector<seen_event> out;
    for (const std::string& line : lines) {
        char label[64];
        unsigned long long id = 0;
        unsigned flags = 0;
        int used = 0;
        if (sscanf(line.c_str(), "E %63s %llu %u %n", label, &id, &flags, &used) < 3 || used == 0)
            continue;
        out.push_back({label, id, flags, line.substr(static_cast<size_t>(used))});
    }
    return out;
}

std::vector<seen_event> seen_by(const std::vector<seen_event>& all, const std::string& label) {
    std::vector<seen_event> out;
    for (const seen_event& e : all)
        if (e.label == label)
            out.push_back(e);
    return out;
}

std::string describe_seen(const std::vector<seen_event>& events) {
    std::string out;
    for (const seen_event& e : events) {
        char names[512];
        vantles_format_flags(e.flags, "|", names, sizeof names);
        out += e.label + " " + std::to_string(e.id) + " " + names + " " + e.path + "\n";
    }
    return out.empty() ? "(no events)\n" : out;
}

int attacker_watch(attacker_out out, const std::vector<watch_plan>& plans) {
    std::vector<std::unique_ptr<live_stream>> streams;
    for (const watch_plan& plan : plans) {
        streams.push_back(std::make_unique<live_stream>());
        if (int err = live_stream_start(streams.back().get(), plan.options); err != 0) {
            attacker_say(out,
                         "X registration of " + plan.label + " failed: " + std::to_string(err));
            return 1;
        }
    }
    attacker_say(out, "R");
    for (size_t i = 0; i < plans.size(); i++) {
        live_match end =
            plans[i].until.empty() ? live_match(is_history_done) : live_path_is(plans[i].until);
        if (!live_wait_event(&streams[i]->sink, end, SECURITY_WAIT_MS)) {
            attacker_say(out,
                         "X " + plans[i].label + " never received " +
                             (plans[i].until.empty() ? "its history-done notice" : plans[i].until));
            return 1;
        }
    }
    for (size_t i = 0; i < plans.size(); i++)
        for (const live_event& e : live_sink_events(&streams[i]->sink))
            attacker_say(out, "E " + plans[i].label + " " + std::to_string(e.id) + " " +
                                  std::to_string(e.flags) + " " + e.path);
    attacker_say(out, "END");
    return 0;
}

void SecurityTest::SetUp() {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    char tmpl[] = "/tmp/vantles-security.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl)) << strerror(errno);
    socket_dir_ = tmpl;
    ASSERT_EQ(0, chmod(tmpl, 0755));
    int fd =
        open((socket_dir_ + "/" + SECURITY_PROBE).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << strerror(errno);
    close(fd);
}

void SecurityTest::TearDown() {
    if (!IsSkipped() && !daemon_.dir.empty()) {
        EXPECT_TRUE(test_daemon_running(&daemon_))
            << "the daemon died during the test, wait status 0x" << std::hex << daemon_.status;
        if (HasFailure()) {
            std::string log = test_daemon_log(daemon_);
            if (log.size() > 6000)
                log = "...\n" + log.substr(log.size() - 6000);
            printf("---- daemon log ----\n%s---- end of log ----\n", log.c_str());
        }
    }
    test_daemon_stop(&daemon_);
    if (!socket_dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(socket_dir_, ignored);
    }
}

void SecurityTest::start_daemon() {
    ASSERT_EQ(0, test_daemon_start(&daemon_, {"-d"}, socket_dir_ + "/vantlesd.sock"))
        << test_daemon_log(daemon_);
}

void SecurityTest::make_dir(const std::string& path, mode_t mode) {
    std::string h = host(path);
    ASSERT_EQ(0, mkdir(h.c_str(), mode)) << h << ": " << strerror(errno);
    ASSERT_EQ(0, chmod(h.c_str(), mode)) << h << ": " << strerror(errno);
}

void SecurityTest::make_file(const std::string& path, mode_t mode) {
    std::string h = host(path);
    int fd = open(h.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    ASSERT_GE(fd, 0) << h << ": " << strerror(errno);
    close(fd);
    ASSERT_EQ(0, chmod(h.c_str(), mode)) << h << ": " << strerror(errno);
}

void SecurityTest::append(const std::string& path, const char* text) {
    std::string h = host(path);
    int fd = open(h.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(fd, 0) << h << ": " << strerror(errno);
    ASSERT_EQ(static_cast<ssize_t>(strlen(text)), write(fd, text, strlen(text)));
    close(fd);
}

watch_plan SecurityTest::watch(const std::string& label, std::vector<std::string> paths,
                               uint32_t flags, const std::string& until, uint64_t since) const {
    watch_plan plan{label, live_options(daemon_, std::move(paths), flags), until};
    plan.options.since_when = since;
    return plan;
}

void SecurityTest::start_watching(attacker* a, const std::vector<watch_plan>& plans) {
    attacker_options options;
    options.daemon = &daemon_;
    ASSERT_EQ(0, attacker_start(a, options,
                                [&](attacker_out out) { return attacker_watch(out, plans); }));
    std::vector<std::string> lines = attacker_read(a, "R", SECURITY_WAIT_MS);
    ASSERT_FALSE(lines.empty()) << "the attacker said nothing";
    ASSERT_EQ("R", lines.back());
}

std::vector<seen_event> SecurityTest::finish_watching(attacker* a) {
    std::vector<std::string> lines = attacker_read(a, "END", SECURITY_WAIT_MS);
    std::string last = lines.empty() ? "(nothing)" : lines.back();
    EXPECT_EQ("END", last) << "the attacker did not finish";
    EXPECT_EQ(0, attacker_wait(a, SECURITY_WAIT_MS));
    return parse_seen(lines);
}

std::vector<std::string> paths_under(const std::vector<seen_event>& events,
                                     const std::string& dir) {
    std::vector<std::string> out;
    for (const seen_event& e : events)
        if (e.path.rfind(dir + "/", 0) == 0)
            out.push_back(e.label + " " + e.path);
    return out;
}

bool has_path(const std::vector<seen_event>& events, const std::string& path) {
    return std::any_of(events.begin(), events.end(),
                       [&](const seen_event& e) { return e.path == path; });
}
