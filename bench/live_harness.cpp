// The shared pieces of the live-delivery benchmarks (see live_harness.h): the daemon child,
// /proc figures, record streams, the paced FIFO writer and the stream counters.
#include "bench/live_harness.h"

#include "bench/bench_clock.h"
#include "platform/kernel_records.h"
#include "platform/mounts.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

extern char** environ;

namespace {

constexpr int LIVE_START_TIMEOUT_MS = 30000;
constexpr int LIVE_STOP_TIMEOUT_MS = 5000;
constexpr size_t LIVE_BURST_WRITE = 1 << 20;
constexpr uint32_t LIVE_FILE_MODE = 0x81a4;  // regular file, 0644
constexpr int32_t LIVE_RECORD_PID = 4242;
constexpr int LIVE_WRITER_RT_PRIORITY = 1;

bool read_file(const std::string& path, std::string* out, off_t from = 0) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    out->clear();
    char buf[65536];
    ssize_t n;
    off_t at = from;
    while ((n = pread(fd, buf, sizeof buf, at)) > 0) {
        out->append(buf, size_t(n));
        at += n;
    }
    close(fd);
    return n == 0;
}

off_t file_size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

bool write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= size_t(w);
    }
    return true;
}

}  // namespace

void sleep_seconds(double seconds) {
    timespec ts;
    ts.tv_sec = time_t(seconds);
    ts.tv_nsec = long((seconds - double(ts.tv_sec)) * 1e9);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int live_daemon_start(live_daemon* d) {
    std::vector<std::string> env;
    for (char** e = environ; *e; e++) {
        if (strncmp(*e, "VANTLESD_", 9) != 0)
            env.emplace_back(*e);
    }
    env.push_back("VANTLESD_SOCKET=" + d->socket);
    if (!d->fifo.empty())
        env.push_back("VANTLESD_DEVICE=" + d->fifo);
    std::vector<char*> envp;
    for (auto& s : env)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string arg0 = d->binary, arg1 = "-d";
    char* argv[] = {arg0.data(), arg1.data(), nullptr};

    unlink(d->socket.c_str());
    int log = open(d->log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (log < 0 || null < 0) {
        fprintf(stderr, "live: cannot open %s or /dev/null: %s\n", d->log.c_str(), strerror(errno));
        return errno;
    }
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return errno;
    if (pid == 0) {
        // The daemon must not outlive the benchmark: its scratch root could not be unmounted.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(null, 0);
        dup2(null, 1);
        dup2(log, 2);
        execve(argv[0], argv, envp.data());
        _exit(127);
    }
    close(log);
    close(null);
    d->pid = pid;

    double deadline = now_seconds() + LIVE_START_TIMEOUT_MS / 1000.0;
    for (;;) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            d->pid = -1;
            std::string text;
            read_file(d->log, &text);
            fprintf(stderr, "live: the daemon exited at start-up (status 0x%x):\n%s\n", status,
                    text.c_str());
            return ECHILD;
        }
        vantles_connection conn;
        if (vantles_connect(d->socket.c_str(), &conn) == 0) {
            conn.timeout_ms = LIVE_START_TIMEOUT_MS;
            uint64_t id = 0;
            int err = vantles_get_current_event_id(&conn, &id);
            if (err == 0)
                return 0;
            fprintf(stderr, "live: the daemon did not answer: %d\n", err);
            live_daemon_stop(d);
            return ETIMEDOUT;
        }
        if (now_seconds() > deadline) {
            fprintf(stderr, "live: the daemon's socket %s never came up\n", d->socket.c_str());
            live_daemon_stop(d);
            return ETIMEDOUT;
        }
        sleep_seconds(0.01);
    }
}

void live_daemon_stop(live_daemon* d) {
    if (d->pid < 0)
        return;
    kill(d->pid, SIGTERM);
    double deadline = now_seconds() + LIVE_STOP_TIMEOUT_MS / 1000.0;
    int status;
    while (waitpid(d->pid, &status, WNOHANG) != d->pid) {
        if (now_seconds() > deadline) {
            kill(d->pid, SIGKILL);
            waitpid(d->pid, &status, 0);
            break;
        }
        sleep_seconds(0.01);
    }
    d->pid = -1;
}

std::string live_daemon_log(const live_daemon& d) {
    std::string text;
    read_file(d.log, &text);
    return text;
}

long live_daemon_pending_events(const live_daemon& d, int timeout_ms) {
    static const char KEY[] = "\tpending events: ";
    off_t from = file_size(d.log);
    if (kill(d.pid, SIGUSR1) != 0)
        return -1;
    double deadline = now_seconds() + timeout_ms / 1000.0;
    std::string text;
    do {
        if (read_file(d.log, &text, from)) {
            size_t at = text.rfind(KEY);
            if (at != std::string::npos && text.find('\n', at) != std::string::npos)
                return strtol(text.c_str() + at + sizeof KEY - 1, nullptr, 10);
        }
        sleep_seconds(0.005);
    } while (now_seconds() < deadline);
    return -1;
}

uint64_t live_current_event_id(const live_daemon& d) {
    vantles_connection conn;
    uint64_t id = 0;
    if (vantles_connect(d.socket.c_str(), &conn) != 0 || vantles_get_current_event_id(&conn, &id))
        return 0;
    return id;
}

namespace {

// utime + stime of a stat file (/proc/PID/stat or /proc/PID/task/TID/stat), in seconds.
double stat_cpu_seconds(const std::string& path) {
    std::string text;
    if (!read_file(path, &text))
        return -1;
    size_t paren = text.rfind(')');
    if (paren == std::string::npos)
        return -1;
    // Fields after the name: state is field 3; utime and stime are fields 14 and 15.
    const char* p = text.c_str() + paren + 2;
    unsigned long long utime = 0, stime = 0;
    for (int field = 3; field <= 15 && *p; field++) {
        if (field == 14)
            utime = strtoull(p, nullptr, 10);
        if (field == 15)
            stime = strtoull(p, nullptr, 10);
        p = strchr(p, ' ');
        if (!p)
            break;
        p++;
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

}  // namespace

double proc_cpu_seconds(pid_t pid) {
    return stat_cpu_seconds("/proc/" + std::to_string(pid) + "/stat");
}

long proc_status_kib(pid_t pid, const char* field) {
    std::string text;
    if (!read_file("/proc/" + std::to_string(pid) + "/status", &text))
        return -1;
    std::string key = std::string("\n") + field + ":";
    size_t at = text.find(key);
    if (at == std::string::npos)
        return -1;
    return strtol(text.c_str() + at + key.size(), nullptr, 10);
}

std::vector<thread_cpu> proc_thread_cpu(pid_t pid) {
    std::vector<thread_cpu> out;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (!d)
        return out;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        pid_t tid = pid_t(atoi(e->d_name));
        double s = stat_cpu_seconds(dir + "/" + e->d_name + "/stat");
        if (s >= 0)
            out.push_back({tid, s});
    }
    closedir(d);
    return out;
}

std::string busiest_threads(pid_t pid, const std::vector<thread_cpu>& before,
                            const std::vector<thread_cpu>& after, double seconds) {
    std::vector<thread_cpu> used;
    for (const thread_cpu& a : after) {
        double start = 0;
        for (const thread_cpu& b : before) {
            if (b.tid == a.tid)
                start = b.seconds;
        }
        used.push_back({a.tid, a.seconds - start});
    }
    std::sort(used.begin(), used.end(),
              [](const thread_cpu& x, const thread_cpu& y) { return x.seconds > y.seconds; });
    std::string out;
    char part[64];
    double rest = 0;
    int others = 0;
    for (size_t i = 0; i < used.size(); i++) {
        double pct = seconds > 0 ? 100.0 * used[i].seconds / seconds : 0;
        if (i < 3) {
            int offset = int(used[i].tid - pid);
            const char* sep = out.empty() ? "" : ", ";
            if (offset == 0)
                snprintf(part, sizeof part, "%smain %.0f%%", sep, pct);
            else if (offset > 0)
                snprintf(part, sizeof part, "%st+%d %.0f%%", sep, offset, pct);
            else  // thread ids wrapped
                snprintf(part, sizeof part, "%stid %d %.0f%%", sep, int(used[i].tid), pct);
            out += part;
        } else {
            rest += pct;
            others++;
        }
    }
    if (others > 0) {
        snprintf(part, sizeof part, ", %d others %.0f%%", others, rest);
        out += part;
    }
    return out;
}

int renice_default_threads(pid_t pid, int nice) {
    int changed = 0;
    for (const thread_cpu& t : proc_thread_cpu(pid)) {
        errno = 0;
        int now = getpriority(PRIO_PROCESS, id_t(t.tid));
        if (errno == 0 && now == 0 && setpriority(PRIO_PROCESS, id_t(t.tid), nice) == 0)
            changed++;
    }
    return changed;
}

std::string load_average() {
    std::string text;
    if (!read_file("/proc/loadavg", &text))
        return "?";
    size_t end = 0;
    for (int spaces = 0; end < text.size() && spaces < 3; end++) {
        if (text[end] == ' ')
            spaces++;
    }
    return text.substr(0, end > 0 ? end - 1 : 0);
}

void append_modified_record(record_stream* s, const char* path, uint32_t dev, uint64_t inode) {
    auto put = [s](const void* p, size_t n) {
        auto* b = static_cast<const char*>(p);
        s->bytes.insert(s->bytes.end(), b, b + n);
    };
    krec_header h{KREC_TYPE_CONTENT_MODIFIED, LIVE_RECORD_PID};
    put(&h, sizeof h);
    size_t len = strlen(path) + 1;
    krec_arg_header a{KREC_ARG_PATH, uint16_t(len)};
    put(&a, sizeof a);
    put(path, len);
    krec_arg_header info_header{KREC_ARG_FILE_INFO, KREC_FILE_INFO_SIZE};
    krec_file_info info{inode, dev, LIVE_FILE_MODE, 0, 0};
    put(&info_header, sizeof info_header);
    put(&info, sizeof info);
    uint16_t done = KREC_ARG_DONE;
    put(&done, sizeof done);
    s->ends.push_back(s->bytes.size());
}

uint32_t volume_dev32(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 ? device_number_32(st.st_dev) : 0;
}

int make_fifo(const char* path) {
    unlink(path);
    return mkfifo(path, 0600) == 0 ? 0 : errno;
}

int open_fifo_writer(const char* path, int pipe_bytes, int timeout_ms) {
    double deadline = now_seconds() + timeout_ms / 1000.0;
    int fd;
    // Non-blocking open fails with ENXIO until a reader has the FIFO open.
    while ((fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0) {
        if (errno != ENXIO || now_seconds() > deadline) {
            fprintf(stderr, "live: cannot open %s for writing: %s\n", path, strerror(errno));
            return -1;
        }
        sleep_seconds(0.005);
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (pipe_bytes > 0 && fcntl(fd, F_SETPIPE_SZ, pipe_bytes) < 0)
        fprintf(stderr, "live: F_SETPIPE_SZ %d: %s\n", pipe_bytes, strerror(errno));
    return fd;
}

double write_paced(int fd, const record_stream& s, double rate, double slice_seconds,
                   double* oversleep) {
    size_t count = s.ends.size();
    // Real-time while it writes, so that other load on the machine cannot stall the writer
    // and turn a steady stream into catch-up bursts. Without the privilege it stays as it is.
    sched_param rt{};
    rt.sched_priority = LIVE_WRITER_RT_PRIORITY;
    int old_policy = SCHED_OTHER;
    sched_param old_param{};
    pthread_getschedparam(pthread_self(), &old_policy, &old_param);
    bool boosted = pthread_setschedparam(pthread_self(), SCHED_FIFO, &rt) == 0;
    struct restore {
        bool on;
        int policy;
        sched_param param;
        ~restore() {
            if (on)
                pthread_setschedparam(pthread_self(), policy, &param);
        }
    } restore_policy{boosted, old_policy, old_param};
    double start = now_seconds();
    if (rate <= 0) {
        const char* p = s.bytes.data();
        size_t left = s.bytes.size();
        while (left > 0) {
            size_t n = std::min(left, LIVE_BURST_WRITE);
            if (!write_all(fd, p, n))
                return -1;
            p += n;
            left -= n;
        }
        return now_seconds() - start;
    }
    timespec tick;
    clock_gettime(CLOCK_MONOTONIC, &tick);
    size_t sent = 0;
    double worst = 0;
    while (sent < count) {
        tick.tv_nsec += long(slice_seconds * 1e9);
        if (tick.tv_nsec >= 1000000000L) {
            tick.tv_nsec -= 1000000000L;
            tick.tv_sec++;
        }
        // Late from the later of the tick and the end of the last write (a write that blocked
        // on a full FIFO is the reader's delay, not the writer's).
        double wake = std::max(double(tick.tv_sec) + double(tick.tv_nsec) * 1e-9, now_seconds());
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &tick, nullptr);
        worst = std::max(worst, now_seconds() - wake);
        if (oversleep)
            *oversleep = worst;
        // Due by now: one slice's worth ahead, so the first slice goes out at once.
        size_t due = std::min(count, size_t(rate * (now_seconds() - start + slice_seconds)));
        if (due <= sent)
            continue;
        size_t from = sent == 0 ? 0 : s.ends[sent - 1];
        if (!write_all(fd, s.bytes.data() + from, s.ends[due - 1] - from))
            return -1;
        sent = due;
    }
    return now_seconds() - start;
}

void set_thread_nice(int nice) {
    if (setpriority(PRIO_PROCESS, id_t(gettid()), nice) != 0)
        perror("setpriority");
}

void count_batch(void* ctx, std::span<const vantles_event> events) {
    auto* c = static_cast<stream_counter*>(ctx);
    if (c->thread_nice != 0 && !c->niced) {
        set_thread_nice(c->thread_nice);
        c->niced = true;
    }
    uint64_t changes = 0;
    for (const vantles_event& e : events) {
        if (e.flags & VANTLES_EVENT_USER_DROPPED) {
            c->user_dropped.fetch_add(1, std::memory_order_relaxed);
            uint64_t none = 0;
            c->first_dropped_id.compare_exchange_strong(none, e.id);
            if (c->received)
                c->dropped_ids.push_back(e.id);
            continue;
        }
        if (e.flags & VANTLES_EVENT_KERNEL_DROPPED) {
            c->kernel_dropped.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        if (e.flags & (VANTLES_EVENT_HISTORY_DONE | VANTLES_EVENT_IDS_WRAPPED))
            continue;
        if (e.id <= c->last_id)
            c->out_of_order.fetch_add(1, std::memory_order_relaxed);
        c->last_id = e.id;
        changes++;
        if (c->received) {
            const char* f = strrchr(e.path, '/');
            if (f && f[1] == 'f') {
                size_t k = strtoull(f + 2, nullptr, 10);
                if (k < c->received->size()) {
                    (*c->received)[k] = 1;
                    if (c->ids)
                        (*c->ids)[k] = e.id;
                }
            }
        }
    }
    c->events.fetch_add(changes, std::memory_order_relaxed);
    c->last_receive.store(now_seconds(), std::memory_order_relaxed);
}

vantles_stream* open_stream(const live_daemon& d, const std::vector<std::string>& paths,
                            uint64_t latency_us, uint32_t flags, vantles_batch_callback callback,
                            void* ctx) {
    vantles_stream_options o;
    o.socket_path = d.socket.c_str();
    o.paths = paths;
    o.latency_us = latency_us;
    o.create_flags = flags;
    vantles_stream* s = nullptr;
    int err = vantles_stream_create(o, callback, ctx, &s);
    if (err == 0)
        err = vantles_stream_start(s);
    if (err != 0) {
        fprintf(stderr, "live: stream on %s: error %d\n", paths[0].c_str(), err);
        vantles_stream_destroy(s);
        return nullptr;
    }
    return s;
}
