// The security suite's attacker: a child in the daemon's mount namespace that drops root for
// good (no groups, an unprivileged uid and gid) and reports what it got as lines over a pipe.
#pragma once

#include "client/raw.h"
#include "tests/support/scratch_daemon.h"
#include "vantles/stream.h"

#include <grp.h>
#include <poll.h>
#include <sys/resource.h>

#include <algorithm>

constexpr uid_t SECURITY_NOBODY = 65534;
constexpr uint32_t FILES = VANTLES_FLAG_FILE_EVENTS;

// The child, killed and reaped whatever way the test ends.
struct attacker {
    pid_t pid = -1;
    unique_fd from_child;
    std::string pending;
    ~attacker() {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
    }
};

inline void attacker_say(int out, const std::string& line) {
    std::string text = line + "\n";
    if (write(out, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        _exit(5);
}

// Forks the attacker as uid (unless 0, with root's groups dropped), its descriptors limited to
// `descriptors` (0: unchanged); it says "X why" when that fails, and exits with body's result.
inline int attacker_start(attacker* a, const test_daemon& d, uid_t uid, rlim_t descriptors,
                          const std::function<int(int)>& body) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return errno;
    a->pid = fork_in_namespace(d);
    if (a->pid == 0) {
        rlimit limit = {descriptors, descriptors};
        if ((descriptors != 0 && setrlimit(RLIMIT_NOFILE, &limit) != 0) ||
            (uid != 0 && (setgroups(0, nullptr) || setgid(uid) || setuid(uid) || !setuid(0)))) {
            attacker_say(fds[1], "X cannot become uid " + std::to_string(uid));
            _exit(1);
        }
        _exit(body(fds[1]) & 0xff);
    }
    close(fds[1]);
    a->from_child.reset(fds[0]);
    return a->pid < 0 ? ECHILD : 0;
}

// Reads the lines reported from now on (into *lines) up to the first that begins with `until`
// or "X ", the end of the report or the deadline: the last ("(nothing)" when none).
inline std::string attacker_next(attacker* a, const std::string& until,
                                 std::vector<std::string>* lines = nullptr) {
    std::vector<std::string> read_lines;
    lines = lines ? lines : &read_lines;
    const int64_t deadline = live_now_ms() + SCRATCH_WAIT_MS;
    for (;;) {
        for (size_t nl; (nl = a->pending.find('\n')) != std::string::npos;) {
            lines->push_back(a->pending.substr(0, nl));
            a->pending.erase(0, nl + 1);
            if (lines->back().starts_with(until) || lines->back().starts_with("X "))
                return lines->back();
        }
        pollfd p = {a->from_child.get(), POLLIN, 0};
        char buf[8192];
        ssize_t n = 0;
        int left = static_cast<int>(std::max<int64_t>(deadline - live_now_ms(), 0));
        if (left == 0 || poll(&p, 1, left) != 1 || (n = read(p.fd, buf, sizeof buf)) <= 0)
            return lines->empty() ? "(nothing)" : lines->back();
        a->pending.append(buf, static_cast<size_t>(n));
    }
}

class SecurityTest : public ScratchDaemonTest {
protected:
    // Root's changes in the scratch root (paths as the daemon sees them).
    void make_dir(const std::string& path, mode_t mode, uid_t owner = 0) {
        std::string h = host(path);
        ASSERT_FALSE(mkdir(h.c_str(), mode) || chmod(h.c_str(), mode) ||
                     chown(h.c_str(), owner, owner))
            << h;
    }
    void make_file(const std::string& path, mode_t mode) {  // new, or truncated
        int fd = open(host(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
        ASSERT_FALSE(fchmod(fd, mode) || close(fd)) << path;
    }
};
