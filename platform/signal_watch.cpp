// The signal watcher thread: a signalfd read in a loop. Its nice level is raised so that a
// dump requested by an operator never competes with event intake.
#include "platform/signal_watch.h"

#include "platform/unique_fd.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <new>

namespace {

// Nice level of the watcher thread.
constexpr int SIGNAL_WATCH_NICE = 10;

struct signal_watch {
    unique_fd fd;
    int signo;
    void (*handler)(int);
};

void* signal_watch_loop(void* arg) {
    auto* w = static_cast<signal_watch*>(arg);
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), SIGNAL_WATCH_NICE);
    signalfd_siginfo info[8];
    for (;;) {
        ssize_t n = read(w->fd.get(), info, sizeof info);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        w->handler(w->signo);
    }
    delete w;
    return nullptr;
}

}  // namespace

int signal_block(int signo) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    return pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int signal_watch_start(int signo, void (*handler)(int)) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    auto* w = new (std::nothrow) signal_watch;
    if (!w)
        return ENOMEM;
    w->fd.reset(signalfd(-1, &set, SFD_CLOEXEC));
    if (!w->fd.valid()) {
        int err = errno;
        delete w;
        return err;
    }
    w->signo = signo;
    w->handler = handler;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    int err = pthread_create(&tid, &attr, signal_watch_loop, w);
    pthread_attr_destroy(&attr);
    if (err)
        delete w;
    return err;
}
