// A service manager for one daemon, as far as bench/compare needs one to restart vantlesd the
// way a service manager would: it takes the daemon's notices on a notify socket, keeps the
// descriptor the daemon stores there (its kernel event queue), and hands that descriptor to the
// next daemon it starts, so that changes made while no daemon runs wait in the kernel's queue.
//
//   compare_service NOTIFY_SOCKET STATUS_FILE DAEMON [ARGS...]
//
// Starts DAEMON at once. SIGUSR1 stops it (SIGTERM, then waits), SIGUSR2 starts it again with
// the stored descriptor, SIGTERM or SIGINT stops it and ends this program. Every step is
// appended to STATUS_FILE as one line: "started PID", "ready PID", "stored", "stopped STATUS".
// The daemon inherits standard output and error.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int SVC_STOP_TIMEOUT_MS = 20000;

FILE* status_out = nullptr;
pid_t daemon_pid = -1;
int stored_fd = -1;

void status(const char* fmt, long value) {
    fprintf(status_out, fmt, value);
    fputc('\n', status_out);
    fflush(status_out);
}

int start_daemon(char** argv, const sigset_t& blocked) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return errno;
    if (pid == 0) {
        sigprocmask(SIG_UNBLOCK, &blocked, nullptr);
        if (stored_fd >= 0) {
            // The passed descriptors start at 3 and must survive exec.
            if (stored_fd != 3 && dup2(stored_fd, 3) < 0)
                _exit(126);
            setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
            setenv("LISTEN_FDS", "1", 1);
            setenv("LISTEN_FDNAMES", "fanotify", 1);
        }
        execv(argv[0], argv);
        _exit(127);
    }
    daemon_pid = pid;
    status("started %ld", long(pid));
    return 0;
}

void receive_notice(int sock);

// Returns the wait status once the daemon is gone (-1 when none ran). Notices are taken
// meanwhile: a stopping daemon still reports, and must not block on a full notify socket.
int stop_daemon(int sock) {
    if (daemon_pid < 0)
        return -1;
    kill(daemon_pid, SIGTERM);
    int st = 0;
    for (int waited = 0; waitpid(daemon_pid, &st, WNOHANG) != daemon_pid; waited += 10) {
        if (waited == SVC_STOP_TIMEOUT_MS)
            kill(daemon_pid, SIGKILL);
        pollfd p = {sock, POLLIN, 0};
        if (poll(&p, 1, 10) == 1)
            receive_notice(sock);
    }
    daemon_pid = -1;
    status("stopped %ld", long(st));
    return st;
}

void receive_notice(int sock) {
    char data[4096];
    alignas(cmsghdr) char control[CMSG_SPACE(16 * sizeof(int))];
    iovec iov = {data, sizeof data - 1};
    msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
    if (n < 0)
        return;
    data[n] = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        const int* fds = reinterpret_cast<const int*>(CMSG_DATA(c));
        for (size_t i = 0; i < count; i++) {
            // Only the event queue is stored; a newer copy replaces the one held.
            if (i == 0 && strstr(data, "FDSTORE=1")) {
                if (stored_fd >= 0)
                    close(stored_fd);
                stored_fd = fds[i];
                status("stored", 0);
            } else {
                close(fds[i]);
            }
        }
    }
    if (strstr(data, "READY=1"))
        status("ready %ld", long(daemon_pid));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: compare_service NOTIFY_SOCKET STATUS_FILE DAEMON [ARGS...]\n");
        return 2;
    }
    status_out = fopen(argv[2], "ae");
    int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", argv[1]);
    unlink(argv[1]);
    if (!status_out || sock < 0 ||
        bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        fprintf(stderr, "compare_service: %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    setenv("NOTIFY_SOCKET", argv[1], 1);

    sigset_t blocked;
    sigemptyset(&blocked);
    for (int s : {SIGUSR1, SIGUSR2, SIGTERM, SIGINT, SIGCHLD})
        sigaddset(&blocked, s);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    int sfd = signalfd(-1, &blocked, SFD_CLOEXEC);
    if (sfd < 0 || start_daemon(argv + 3, blocked) != 0) {
        fprintf(stderr, "compare_service: cannot start %s: %s\n", argv[3], strerror(errno));
        return 1;
    }
    for (;;) {
        pollfd p[2] = {{sock, POLLIN, 0}, {sfd, POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR)
            break;
        if (p[0].revents & POLLIN)
            receive_notice(sock);
        if (!(p[1].revents & POLLIN))
            continue;
        signalfd_siginfo si;
        if (read(sfd, &si, sizeof si) != sizeof si)
            continue;
        if (si.ssi_signo == SIGUSR1) {
            stop_daemon(sock);
        } else if (si.ssi_signo == SIGUSR2) {
            if (daemon_pid < 0 && start_daemon(argv + 3, blocked) != 0)
                status("start failed %ld", long(errno));
        } else if (si.ssi_signo == SIGCHLD) {
            int st;
            if (daemon_pid >= 0 && waitpid(daemon_pid, &st, WNOHANG) == daemon_pid) {
                daemon_pid = -1;
                status("stopped %ld", long(st));
            }
        } else {
            break;
        }
    }
    stop_daemon(sock);
    return 0;
}
