// The tool's signal self-pipe (see signal_pipe.h).
#include "tools/signal_pipe.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

// Write end of the pipe; the handlers only write one byte to it.
std::atomic<int> signal_pipe_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

void on_signal(int sig) {
    int saved = errno;
    char byte = static_cast<char>(sig);
    ssize_t written = write(signal_pipe_fd.load(), &byte, 1);
    (void)written;  // a full pipe already wakes the loop
    errno = saved;
}

}  // namespace

int tool_signal_pipe_install(std::initializer_list<int> signals, unique_fd* read_end,
                             unique_fd* write_end) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return errno;
    }
    read_end->reset(fds[0]);
    write_end->reset(fds[1]);
    signal_pipe_fd.store(fds[1]);
    for (int sig : signals) {
        struct sigaction action = {};
        action.sa_handler = on_signal;
        action.sa_flags = sig == SIGCHLD ? SA_RESTART | SA_NOCLDSTOP : SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        if (sigaction(sig, &action, nullptr) != 0) {
            return errno;
        }
    }
    return 0;
}

void tool_signal_pipe_detach() {
    signal_pipe_fd.store(-1);
}

int tool_signal_pipe_read(int read_end, int* signals, int size) {
    unsigned char bytes[64];
    int count = 0;
    for (;;) {
        ssize_t n = read(read_end, bytes, sizeof bytes);
        if (n <= 0) {
            return count;
        }
        for (ssize_t i = 0; i < n && count < size; i++) {
            signals[count++] = bytes[i];
        }
    }
}
