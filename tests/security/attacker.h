// The security suite's attacker: a child process that enters the test daemon's mount namespace,
// drops root for good (no groups, an unprivileged uid and gid) and runs a body that reports
// what it got as lines over a pipe; and the fixture running a daemon whose socket it reaches.
#pragma once

#include "client/raw.h"
#include "tests/support/live_client.h"
#include "tests/support/scratch_root.h"
#include "tests/support/test_daemon.h"
#include "vantles/client.h"
#include "vantles/stream.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

constexpr uid_t SECURITY_NOBODY = 65534;
// Bound of waits that only a fault runs into.
constexpr int SECURITY_WAIT_MS = 30000;
// A file only root may read, beside the socket: the child proves it lost root's rights on it.
constexpr const char* SECURITY_PROBE = "root-only";

struct attacker_out {
    int fd = -1;
};

struct attacker_options {
    const test_daemon* daemon = nullptr;  // whose mount namespace to enter
    rlim_t descriptors = 0;               // RLIMIT_NOFILE set while still root (0: unchanged)
    uid_t uid = SECURITY_NOBODY;          // and gid
};

// The child; killed and reaped whatever way the test ends.
struct attacker {
    pid_t pid = -1;
    int from_child = -1;
    std::string pending;
    attacker() = default;
    attacker(const attacker&) = delete;
    attacker& operator=(const attacker&) = delete;
    ~attacker() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (from_child >= 0)
            close(from_child);
    }
};

// One stream of a watching attacker, ending at the event of `until` (the history-done notice
// when empty).
struct watch_plan {
    std::string label;
    vantles_stream_options options;
    std::string until;
};

// In the child: enter the daemon's namespace, set the descriptor limit, drop root and check
// that it is gone. Empty, or why it failed.
inline std::string become_user(const attacker_options& o) {
    std::string ns = "/proc/" + std::to_string(o.daemon->pid) + "/ns/mnt";
    int fd = open(ns.c_str(), O_RDONLY | O_CLOEXEC);
    // A sanitizer's thread may share the file-system context, which setns refuses to move.
    if (fd < 0 || unshare(CLONE_FS) != 0 || setns(fd, CLONE_NEWNS) != 0)
        return "cannot enter the daemon's mount namespace: " + std::string(strerror(errno));
    close(fd);
    rlimit limit = {o.descriptors, o.descriptors};
    if (o.descriptors != 0 && setrlimit(RLIMIT_NOFILE, &limit) != 0)
        return "cannot set the descriptor limit";
    if (o.uid == 0 || setgroups(0, nullptr) != 0 || setgid(o.uid) != 0 || setuid(o.uid) != 0)
        return "cannot drop root";
    gid_t groups[4];
    if (geteuid() != o.uid || getegid() != o.uid || getgroups(4, groups) != 0 || setuid(0) == 0)
        return "still privileged";
    std::string probe =
        std::filesystem::path(o.daemon->socket_path).parent_path().string() + "/" + SECURITY_PROBE;
    if (open(probe.c_str(), O_RDONLY | O_CLOEXEC) >= 0 || errno != EACCES)
        return "can read a file of root's";
    return "";
}

// One line of the attacker's report.
inline void attacker_say(attacker_out out, const std::string& line) {
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

// Forks the attacker; the child proves root is gone (else it reports "X reason") and exits
// with body's result. 0 or an errno value.
inline int attacker_start(attacker* a, const attacker_options& options,
                          const std::function<int(attacker_out)>& body) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return errno;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return errno;
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        attacker_out out{fds[1]};
        if (std::string why = become_user(options); !why.empty()) {
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

// Lines reported from now on, up to the first that begins with `until` or "X ", the end of
// the report or the deadline.
inline std::vector<std::string> attacker_read(attacker* a, const std::string& until,
                                              int timeout_ms = SECURITY_WAIT_MS) {
    std::vector<std::string> lines;
    int64_t deadline = live_now_ms() + timeout_ms;
    for (;;) {
        for (size_t nl; (nl = a->pending.find('\n')) != std::string::npos;) {
            lines.push_back(a->pending.substr(0, nl));
            a->pending.erase(0, nl + 1);
            if (lines.back().starts_with(until) || lines.back().starts_with("X "))
                return lines;
        }
        pollfd p = {a->from_child, POLLIN, 0};
        char buf[8192];
        ssize_t n = 0;
        int left = static_cast<int>(std::max<int64_t>(deadline - live_now_ms(), 0));
        if (left == 0 || poll(&p, 1, left) != 1 || (n = read(a->from_child, buf, sizeof buf)) <= 0)
            return lines;
        a->pending.append(buf, static_cast<size_t>(n));
    }
}

// The child's exit status, or -1 when it was killed or did not exit in time (it is then killed).
inline int attacker_wait(attacker* a, int timeout_ms = SECURITY_WAIT_MS) {
    int status = 0;
    bool exited =
        a->pid > 0 &&
        wait_until([&] { return waitpid(a->pid, &status, WNOHANG) == a->pid; }, timeout_ms);
    if (!exited && a->pid > 0) {
        kill(a->pid, SIGKILL);
        waitpid(a->pid, nullptr, 0);
    }
    a->pid = -1;
    return exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What became of a raw request just sent on fd, learnt from a probe sent after it: "code N"
// (0 for a complex reply, whose first descriptor goes to *port), "dropped", "closed", "error E".
inline std::string raw_outcome(int fd, unique_fd* port = nullptr) {
    std::vector<uint8_t> probe = raw_simple_request(BLACKBOX_PROBE_ID, 24, BLACKBOX_BITS);
    if (int err = raw_send(fd, probe.data(), probe.size(), {}, SECURITY_WAIT_MS))
        return err == EPIPE || err == ECONNRESET ? "closed" : "error " + std::to_string(err);
    raw_datagram reply;
    if (int err = raw_receive(fd, SECURITY_WAIT_MS, &reply))
        return err == ECONNRESET ? "closed" : "error " + std::to_string(err);
    auto head = field_at<mach_msg_header_t>(reply, 0);
    if (head.msgh_id == BLACKBOX_PROBE_ID + VANTLES_MSG_REPLY_OFFSET)
        return "dropped";
    bool complex = (head.msgh_bits & MACH_MSGH_BITS_COMPLEX) != 0;
    if (complex && port && !reply.fds.empty())
        *port = std::move(reply.fds[0]);
    std::string out = "code " + std::to_string(complex ? 0 : field_at<int32_t>(reply, 32));
    raw_receive(fd, SECURITY_WAIT_MS, &reply);  // the probe's answer
    return out;
}

// Body: registers every plan, says "R", waits for each end, reports each event as
// "E label path" and then "END".
inline int attacker_watch(attacker_out out, const std::vector<watch_plan>& plans) {
    std::vector<std::unique_ptr<live_stream>> streams;
    for (const watch_plan& plan : plans) {
        streams.push_back(std::make_unique<live_stream>());
        if (int err = live_stream_start(streams.back().get(), plan.options)) {
            attacker_say(out, "X registration of " + plan.label + ": " + std::to_string(err));
            return 1;
        }
    }
    attacker_say(out, "R");
    for (size_t i = 0; i < plans.size(); i++) {
        live_match end = [&](const live_event& e) {
            return plans[i].until.empty() ? (e.flags & VANTLES_EVENT_HISTORY_DONE) != 0
                                          : e.path == plans[i].until;
        };
        if (!live_wait_event(&streams[i]->sink, end, SECURITY_WAIT_MS)) {
            attacker_say(out, "X " + plans[i].label + " never got to its end");
            return 1;
        }
    }
    for (size_t i = 0; i < plans.size(); i++)
        for (const live_event& e : live_sink_events(&streams[i]->sink))
            attacker_say(out, "E " + plans[i].label + " " + e.path);
    attacker_say(out, "END");
    return 0;
}

// Each case runs its own daemon in a scratch root with its socket where any user reaches it.
class SecurityTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!scratch_root_available())
            GTEST_SKIP() << "needs root and mount namespaces";
        char tmpl[] = "/tmp/vantles-security.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        socket_dir_ = tmpl;
        ASSERT_EQ(0, chmod(tmpl, 0755));
        int fd = open((socket_dir_ + "/" + SECURITY_PROBE).c_str(), O_CREAT | O_CLOEXEC, 0600);
        ASSERT_EQ(0, close(fd));
    }

    void TearDown() override {
        if (!IsSkipped() && !daemon_.dir.empty()) {
            EXPECT_TRUE(test_daemon_running(&daemon_)) << "the daemon died: " << daemon_.status;
            if (HasFailure())
                test_daemon_print_log_tail(daemon_);
        }
        test_daemon_stop(&daemon_);
        std::error_code ignored;
        std::filesystem::remove_all(socket_dir_, ignored);
    }

    void start_daemon() {
        ASSERT_EQ(0, test_daemon_start(&daemon_, {"-d"}, socket_dir_ + "/vantlesd.sock"))
            << test_daemon_log(daemon_);
    }

    std::string host(const std::string& path) const { return live_root_path(daemon_, path); }

    // Root's changes in the scratch root (paths as the daemon sees them).
    void make_dir(const std::string& path, mode_t mode, uid_t owner = 0) {
        std::string h = host(path);
        ASSERT_EQ(0, mkdir(h.c_str(), mode)) << h;
        ASSERT_EQ(0, chmod(h.c_str(), mode) | chown(h.c_str(), owner, owner)) << h;
    }
    void make_file(const std::string& path, mode_t mode) {  // new, or truncated
        int fd = open(host(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
        ASSERT_GE(fd, 0) << path;
        ASSERT_EQ(0, fchmod(fd, mode) | close(fd)) << path;
    }
    void append(const std::string& path) {
        int fd = open(host(path).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        ASSERT_EQ(1, write(fd, "x", 1)) << path;
        close(fd);
    }
    void rename_to(const std::string& from, const std::string& to) {
        ASSERT_EQ(0, rename(host(from).c_str(), host(to).c_str())) << from << " -> " << to;
    }

    watch_plan watch(const std::string& label, std::vector<std::string> paths, uint32_t flags,
                     const std::string& until, uint64_t since = VANTLES_EVENT_ID_NOW) const {
        watch_plan plan{label, live_options(daemon_, std::move(paths), flags), until};
        plan.options.since_when = since;
        return plan;
    }

    // Starts an attacker running body and returns its lines up to `until` (which must come).
    std::vector<std::string> run_attacker(attacker* a, const std::function<int(attacker_out)>& body,
                                          const std::string& until) {
        EXPECT_EQ(0, attacker_start(a, attacker_options{&daemon_}, body));
        std::vector<std::string> lines = attacker_read(a, until);
        EXPECT_EQ(until, lines.empty() ? "(nothing)" : lines.back());
        return lines;
    }
    // Reads a watching attacker's report: its events as "label path".
    std::vector<std::string> finish_watching(attacker* a) {
        std::vector<std::string> lines = attacker_read(a, "END"), seen;
        EXPECT_EQ("END", lines.empty() ? "(nothing)" : lines.back());
        EXPECT_EQ(0, attacker_wait(a));
        for (const std::string& line : lines)
            if (line.starts_with("E "))
                seen.push_back(line.substr(2));
        return seen;
    }

    std::string socket_dir_;
    test_daemon daemon_;
};

// Whether the stream `label` saw path.
inline bool saw(const std::vector<std::string>& seen, const std::string& label,
                const std::string& path) {
    return std::find(seen.begin(), seen.end(), label + " " + path) != seen.end();
}

// The events of any stream at path or inside it (path + "/...").
inline std::vector<std::string> seen_at(const std::vector<std::string>& seen,
                                        const std::string& path) {
    std::vector<std::string> out;
    for (const std::string& e : seen) {
        std::string p = e.substr(e.find(' ') + 1);
        if (p == path || p.starts_with(path + "/"))
            out.push_back(e);
    }
    return out;
}
