// The soak: a real daemon on its real (fanotify) event source, a storm of changes in a scratch
// tree, and some 100 clients in several worker processes that come and go, stall and are killed,
// for a given time. Afterwards every client session that kept up must have received every
// change under its paths, and the daemon must be back where it started: the same descriptors,
// no client left but its own, no event record held, its memory within a tolerance, its log
// free of internal-inconsistency messages, and a clean exit on SIGTERM.
//
//     soak --daemon PATH [--seconds N] [--clients N] [--workers N] [--rate OPS] [--seed N]
//          [--kill-every S] [--session-max S] [--stall-max S] [--rss-slack-mib N]
//
// --rss-slack-mib: how much the daemon's resident memory may grow (default 32 MiB; -1: not
// checked, for sanitizer builds, whose allocators keep freed memory in quarantine).
//
// Runs inside the private root bench/soak/run.sh builds (which see). Exit status 0 when every
// check held, 1 when one failed (each failure is printed), 2 on a usage error.
#include "bench/soak/soak.h"

#include "vantles/stream.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <condition_variable>
#include <deque>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <thread>
#include <utility>

namespace {

constexpr const char* SOAK_RUN_DIR = "/tmp/soak";
constexpr const char* SOAK_SOCKET = "/tmp/soak/vantlesd.sock";
constexpr const char* SOAK_LOG = "/tmp/soak/vantlesd.log";
constexpr int64_t SOAK_SECOND_US = 1000000;
constexpr int64_t SOAK_START_TIMEOUT_US = 30 * SOAK_SECOND_US;
constexpr int64_t SOAK_DUMP_TIMEOUT_US = 10 * SOAK_SECOND_US;
constexpr int64_t SOAK_SETTLE_TIMEOUT_US = 60 * SOAK_SECOND_US;
constexpr int64_t SOAK_WORKER_EXIT_TIMEOUT_US = 120 * SOAK_SECOND_US;
constexpr int64_t SOAK_STOP_TIMEOUT_US = 30 * SOAK_SECOND_US;
// Changes older than this are dropped from the storm's record: far beyond the longest
// session (its active time and stall, the sentinel's wait, the report).
constexpr int64_t SOAK_LOG_HORIZON_US = 600 * SOAK_SECOND_US;
constexpr size_t SOAK_FAILURES_SHOWN = 40;

// Messages the daemon logs only when its own records disagree with each other.
constexpr const char* SOAK_LOG_MARKERS[] = {"did not have my bit",
                                            "encountered a NULL entry",
                                            "bogus refcount",
                                            "bad ref count",
                                            "DANGER",
                                            "screwed up",
                                            "inconsistent",
                                            "failed assertion",
                                            "grown too large",
                                            "did not find prefix header",
                                            "client_list is",
                                            "events lost from id",
                                            "can not allocate"};

struct options {
    std::string daemon;
    double seconds = 60;
    int clients = 100;
    int workers = 5;
    double rate = 200;
    uint64_t seed = 0;
    double kill_every_s = 15;
    double session_max_s = 40;
    double stall_max_s = 25;
    long rss_slack_mib = 32;
};

// The figures of the daemon the soak compares before and after.
struct daemon_figures {
    int fds = -1;
    long rss_kib = -1;
    int num_clients = -1;
    int pending_events = -1;
};

struct worker_proc {
    int index = 0;
    int incarnation = 0;
    pid_t pid = -1;
    int control = -1;        // write end: closed when the worker is to finish
    bool killed = false;     // by the soak
    int64_t respawn_us = 0;  // 0: none due
};

// One worker pipe as the reader thread sees it.
struct report_pipe {
    int worker = 0;
    int fd = -1;
    std::string buffer;
    soak_session_parser parser;
    std::set<std::pair<int, uint32_t>> open_sessions;  // (slot, number)
};

struct stats {
    uint64_t started = 0;
    uint64_t reported = 0;
    uint64_t killed = 0;  // sessions open in a worker when it was killed
    uint64_t worker_kills = 0;
    uint64_t stalled = 0;
    uint64_t user_dropped = 0;
    uint64_t kernel_dropped = 0;
    uint64_t released = 0;
    uint64_t file_level = 0;
    uint64_t raw = 0;
    uint64_t verified = 0;
    uint64_t expected = 0;
    uint64_t missing = 0;
    uint64_t events = 0;
    uint64_t notices = 0;
    uint64_t out_of_order = 0;
    uint64_t stalled_kept_up = 0;
};

struct soak {
    options o;
    int64_t start_us = 0;
    pid_t daemon = -1;
    soak_change_log log;
    std::mutex lock;  // stats, failures, pipes
    stats st;
    std::vector<std::string> failures;
    std::deque<report_pipe> pipes;  // a deque: entries stay put while it grows
    std::atomic<bool> reader_done{false};
};

void fail(soak* k, const std::string& text) {
    std::lock_guard<std::mutex> guard(k->lock);
    k->failures.push_back(text);
}

void sleep_us(int64_t us) {
    std::this_thread::sleep_for(std::chrono::microseconds(us));
}

std::string read_from(const char* path, off_t from) {
    std::string out;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return out;
    char buf[65536];
    ssize_t n;
    while ((n = pread(fd, buf, sizeof buf, from)) > 0) {
        out.append(buf, size_t(n));
        from += n;
    }
    close(fd);
    return out;
}

off_t file_size(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 ? st.st_size : 0;
}

int fd_count(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(path.c_str());
    if (!dir)
        return -1;
    int count = 0;
    while (dirent* e = readdir(dir))
        count += e->d_name[0] != '.';
    closedir(dir);
    return count;
}

std::string fd_list(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    std::string out;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return out;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        char target[512];
        ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        target[n > 0 ? n : 0] = '\0';
        out += std::string("  ") + e->d_name + " -> " + target + "\n";
    }
    closedir(d);
    return out;
}

long rss_kib(pid_t pid) {
    std::string text = read_from(("/proc/" + std::to_string(pid) + "/status").c_str(), 0);
    size_t at = text.find("\nVmRSS:");
    return at == std::string::npos ? -1 : strtol(text.c_str() + at + 7, nullptr, 10);
}

bool daemon_running(soak* k, int* status) {
    if (k->daemon < 0)
        return false;
    if (waitpid(k->daemon, status, WNOHANG) == 0)
        return true;
    k->daemon = -1;
    return false;
}

int start_daemon(soak* k) {
    mkdir(SOAK_RUN_DIR, 0755);
    unlink(SOAK_SOCKET);
    int log = open(SOAK_LOG, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (log < 0 || null < 0)
        return errno;
    std::vector<std::string> env;
    for (char** e = environ; *e; e++) {
        if (strncmp(*e, "VANTLESD_", 9) != 0)
            env.emplace_back(*e);
    }
    env.push_back(std::string("VANTLESD_SOCKET=") + SOAK_SOCKET);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string arg0 = k->o.daemon, arg1 = "-d";
    char* argv[] = {arg0.data(), arg1.data(), nullptr};
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return errno;
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(null, 0);
        dup2(null, 1);
        dup2(log, 2);
        execve(argv[0], argv, envp.data());
        _exit(127);
    }
    close(log);
    close(null);
    k->daemon = pid;
    int64_t deadline = soak_now_us() + SOAK_START_TIMEOUT_US;
    for (;;) {
        int status;
        if (!daemon_running(k, &status)) {
            fprintf(stderr, "soak: the daemon exited at start-up (status 0x%x):\n%s\n", status,
                    read_from(SOAK_LOG, 0).c_str());
            return ECHILD;
        }
        vantles_connection conn;
        if (vantles_connect(SOAK_SOCKET, &conn) == 0) {
            uint64_t id;
            int err = vantles_get_current_event_id(&conn, &id);
            if (err == 0)
                return 0;
            fprintf(stderr, "soak: the daemon does not answer: %d\n", err);
            return ETIMEDOUT;
        }
        if (soak_now_us() > deadline) {
            fprintf(stderr, "soak: the daemon's socket never came up\n");
            return ETIMEDOUT;
        }
        sleep_us(10000);
    }
}

// SIGTERM, and the exit status within SOAK_STOP_TIMEOUT_US (SIGKILL after it): 0 when the
// daemon exited with status 0.
int stop_daemon(soak* k, int* status) {
    if (k->daemon < 0)
        return ESRCH;
    kill(k->daemon, SIGTERM);
    int64_t deadline = soak_now_us() + SOAK_STOP_TIMEOUT_US;
    while (waitpid(k->daemon, status, WNOHANG) == 0) {
        if (soak_now_us() > deadline) {
            kill(k->daemon, SIGKILL);
            waitpid(k->daemon, status, 0);
            k->daemon = -1;
            return ETIMEDOUT;
        }
        sleep_us(20000);
    }
    k->daemon = -1;
    return WIFEXITED(*status) && WEXITSTATUS(*status) == 0 ? 0 : ECHILD;
}

// Asks for a state dump and reads its client count and held events. 0 or ETIMEDOUT.
int read_dump(soak* k, daemon_figures* f) {
    static const char HEADER[] = "vantlesd internal state [num_clients: ";
    static const char PENDING[] = "\tpending events: ";
    off_t from = file_size(SOAK_LOG);
    if (kill(k->daemon, SIGUSR1) != 0)
        return errno;
    int64_t deadline = soak_now_us() + SOAK_DUMP_TIMEOUT_US;
    while (soak_now_us() < deadline) {
        std::string text = read_from(SOAK_LOG, from);
        size_t at = text.find(PENDING);
        if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
            size_t head = text.rfind(HEADER, at);
            if (head == std::string::npos)
                return EPROTO;
            f->num_clients = atoi(text.c_str() + head + sizeof HEADER - 1);
            f->pending_events = atoi(text.c_str() + at + sizeof PENDING - 1);
            return 0;
        }
        sleep_us(20000);
    }
    return ETIMEDOUT;
}

// Waits for one event matching want on a started stream's sink.
struct wait_sink {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<std::string, uint32_t>> events;
};

void wait_sink_batch(void* ctx, std::span<const vantles_event> events) {
    auto* sink = static_cast<wait_sink*>(ctx);
    std::lock_guard<std::mutex> guard(sink->lock);
    for (const vantles_event& e : events)
        sink->events.emplace_back(e.path, e.flags);
    sink->changed.notify_all();
}

bool wait_for(wait_sink* sink, const std::function<bool(const std::string&, uint32_t)>& want,
              int64_t timeout_us) {
    std::unique_lock<std::mutex> guard(sink->lock);
    return sink->changed.wait_for(guard, std::chrono::microseconds(timeout_us), [&] {
        for (const auto& [path, flags] : sink->events) {
            if (want(path, flags))
                return true;
        }
        return false;
    });
}

// Makes the disk logger take everything its ring holds: a client asking for history pushes
// it first. 0 or an error.
int nudge_disk_logger() {
    wait_sink sink;
    vantles_stream_options o;
    o.socket_path = SOAK_SOCKET;
    o.paths = {"/"};
    vantles_connection conn;
    int err = vantles_connect(SOAK_SOCKET, &conn);
    if (err == 0)
        err = vantles_get_current_event_id(&conn, &o.since_when);  // a replay of next to nothing
    vantles_stream* s = nullptr;
    if (err == 0)
        err = vantles_stream_create(o, wait_sink_batch, &sink, &s);
    if (err == 0)
        err = vantles_stream_start(s);
    if (err == 0)
        err = vantles_stream_start_thread(s);
    if (err == 0 && !wait_for(
                        &sink,
                        [](const std::string&, uint32_t flags) {
                            return (flags & VANTLES_EVENT_HISTORY_DONE) != 0;
                        },
                        SOAK_DUMP_TIMEOUT_US))
        err = ETIMEDOUT;
    vantles_stream_destroy(s);
    return err;
}

// The daemon reports changes of the scratch tree at all (fanotify works there).
int preflight() {
    wait_sink sink;
    vantles_stream_options o;
    o.socket_path = SOAK_SOCKET;
    o.paths = {SOAK_TREE};
    o.create_flags = VANTLES_FLAG_FILE_EVENTS;
    vantles_stream* s = nullptr;
    int err = vantles_stream_create(o, wait_sink_batch, &sink, &s);
    if (err == 0)
        err = vantles_stream_start(s);
    if (err == 0)
        err = vantles_stream_start_thread(s);
    std::string path = std::string(SOAK_TREE) + "/preflight";
    if (err == 0 && mkdir(path.c_str(), 0755) != 0)
        err = errno;
    if (err == 0 &&
        !wait_for(
            &sink, [&](const std::string& p, uint32_t) { return p == path; }, SOAK_DUMP_TIMEOUT_US))
        err = ETIMEDOUT;
    rmdir(path.c_str());
    vantles_stream_destroy(s);
    return err;
}

// Waits until the daemon holds no client but its own and no event record beyond the
// baseline's, nudging the disk logger between dumps. Fills f with the last dump.
bool settle_clients(soak* k, const daemon_figures& base, daemon_figures* f) {
    int64_t deadline = soak_now_us() + SOAK_SETTLE_TIMEOUT_US;
    for (;;) {
        nudge_disk_logger();
        daemon_figures now;
        if (read_dump(k, &now) == 0) {
            f->num_clients = now.num_clients;
            f->pending_events = now.pending_events;
            if (now.num_clients == base.num_clients && now.pending_events <= base.pending_events)
                return true;
        }
        if (soak_now_us() > deadline)
            return false;
        sleep_us(500000);
    }
}

bool settle_fds(soak* k, int base, int* now) {
    int64_t deadline = soak_now_us() + SOAK_SETTLE_TIMEOUT_US;
    for (;;) {
        *now = fd_count(k->daemon);
        if (*now == base || soak_now_us() > deadline)
            return *now == base;
        sleep_us(100000);
    }
}

int make_tree() {
    for (const char* dir : {SOAK_TREE, SOAK_SYNC}) {
        if (mkdir(dir, 0755) != 0 && errno != EEXIST)
            return errno;
    }
    for (const std::string& dir : soak_tree_dirs()) {
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
            return errno;
    }
    return 0;
}

// Forks and runs this program as worker w->index with a report pipe (read end added to the
// reader's pipes) and a control pipe (write end kept in w->control).
int spawn_worker(soak* k, worker_proc* w) {
    int report[2], control[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return errno;
    if (pipe2(control, O_CLOEXEC) != 0) {
        close(report[0]);
        close(report[1]);
        return errno;
    }
    int slots = k->o.clients / k->o.workers + (w->index < k->o.clients % k->o.workers ? 1 : 0);
    uint64_t seed = k->o.seed * 1000003 + uint64_t(w->index) * 7919 + uint64_t(w->incarnation);
    std::vector<std::string> args = {"soak",
                                     "--worker",
                                     std::to_string(w->index),
                                     "--slots",
                                     std::to_string(slots),
                                     "--socket",
                                     SOAK_SOCKET,
                                     "--seed",
                                     std::to_string(seed),
                                     "--session-max",
                                     std::to_string(k->o.session_max_s),
                                     "--stall-max",
                                     std::to_string(k->o.stall_max_s)};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return errno;
    if (pid == 0) {
        // Out of the way of descriptors 3 and 4 first; dup2 then clears close-on-exec.
        int r = fcntl(report[1], F_DUPFD_CLOEXEC, 10);
        int c = fcntl(control[0], F_DUPFD_CLOEXEC, 10);
        if (r < 0 || c < 0 || dup2(r, 3) != 3 || dup2(c, 4) != 4)
            _exit(126);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        execv("/proc/self/exe", argv.data());
        _exit(127);
    }
    close(report[1]);
    close(control[0]);
    w->pid = pid;
    w->control = control[1];
    w->killed = false;
    std::lock_guard<std::mutex> guard(k->lock);
    report_pipe p;
    p.worker = w->index;
    p.fd = report[0];
    k->pipes.push_back(std::move(p));
    return 0;
}

void on_session(soak* k, const soak_session& s) {
    std::string who = "client w" + std::to_string(s.worker) + ".s" + std::to_string(s.slot) +
                      " session " + std::to_string(s.number) + " (" +
                      (s.file_level ? "file" : "dir") + " level, " + (s.raw ? "raw" : "stream") +
                      ", latency " + std::to_string(s.latency_us / 1000) + " ms, paths";
    for (const std::string& p : s.paths)
        who += " " + p;
    for (const std::string& x : s.excludes)
        who += " -" + x;
    who += ")";
    soak_check_result r;
    bool kept_up = soak_kept_up(s);
    if (kept_up)
        r = soak_check_session(s, &k->log, k->start_us);
    std::lock_guard<std::mutex> guard(k->lock);
    stats& st = k->st;
    st.reported++;
    st.stalled += s.stalled;
    st.user_dropped += s.user_dropped;
    st.kernel_dropped += s.kernel_dropped;
    st.released += s.end == SOAK_END_RELEASE;
    st.file_level += s.file_level;
    st.raw += s.raw;
    st.events += s.events;
    st.notices += s.notices;
    st.out_of_order += s.out_of_order;
    for (const std::string& p : s.problems)
        k->failures.push_back(who + ": " + p);
    if (!kept_up)
        return;
    if (r.beyond_log) {
        k->failures.push_back(who +
                              ": registered before the oldest change kept; raise the horizon");
        return;
    }
    st.verified++;
    st.stalled_kept_up += s.stalled;
    st.expected += r.expected;
    st.missing += r.missing;
    if (r.missing > 0) {
        std::string text = who + ": " + std::to_string(r.missing) + " of " +
                           std::to_string(r.expected) + " changes never arrived, e.g.";
        for (const std::string& m : r.messages)
            text += "\n      " + m;
        k->failures.push_back(text);
    }
}

// One complete line from a worker.
void on_line(soak* k, report_pipe* p, const std::string& line) {
    if (line.rfind("R ", 0) == 0) {
        int slot = 0;
        unsigned number = 0;
        if (sscanf(line.c_str() + 2, "%d %u", &slot, &number) == 2) {
            std::lock_guard<std::mutex> guard(k->lock);
            p->open_sessions.insert({slot, number});
            k->st.started++;
        }
        return;
    }
    if (line.rfind("F ", 0) == 0)
        return fail(k, line.substr(2));
    int r = p->parser.feed(line);
    if (r < 0)
        return fail(k, "worker " + std::to_string(p->worker) + " sent a malformed line: " + line);
    if (r == 1) {
        {
            std::lock_guard<std::mutex> guard(k->lock);
            p->open_sessions.erase({p->parser.session.slot, p->parser.session.number});
        }
        on_session(k, p->parser.session);
    }
}

// Reads every worker's reports until told to stop and every pipe has ended.
void reader(soak* k) {
    std::vector<pollfd> fds;
    std::vector<int> owners;
    char buf[65536];
    for (;;) {
        fds.clear();
        owners.clear();
        {
            std::lock_guard<std::mutex> guard(k->lock);
            for (size_t i = 0; i < k->pipes.size(); i++) {
                if (k->pipes[i].fd >= 0) {
                    fds.push_back({k->pipes[i].fd, POLLIN, 0});
                    owners.push_back(int(i));
                }
            }
        }
        if (fds.empty() && k->reader_done.load())
            return;
        if (poll(fds.data(), fds.size(), 100) <= 0)
            continue;
        for (size_t i = 0; i < fds.size(); i++) {
            if (fds[i].revents == 0)
                continue;
            report_pipe* p;
            {
                std::lock_guard<std::mutex> guard(k->lock);
                p = &k->pipes[size_t(owners[i])];
            }
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                p->buffer.append(buf, size_t(n));
                size_t eol;
                while ((eol = p->buffer.find('\n')) != std::string::npos) {
                    std::string line = p->buffer.substr(0, eol);
                    p->buffer.erase(0, eol + 1);
                    on_line(k, p, line);
                }
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            // End of the pipe: the worker exited or was killed. What it had open is lost.
            std::lock_guard<std::mutex> guard(k->lock);
            close(p->fd);
            p->fd = -1;
            k->st.killed += p->open_sessions.size();
            p->open_sessions.clear();
        }
    }
}

bool parse_options(int argc, char** argv, options* o) {
    for (int i = 1; i < argc; i++) {
        std::string key = argv[i];
        if (i + 1 >= argc)
            return false;
        const char* v = argv[++i];
        if (key == "--daemon")
            o->daemon = v;
        else if (key == "--seconds")
            o->seconds = atof(v);
        else if (key == "--clients")
            o->clients = atoi(v);
        else if (key == "--workers")
            o->workers = atoi(v);
        else if (key == "--rate")
            o->rate = atof(v);
        else if (key == "--seed")
            o->seed = strtoull(v, nullptr, 10);
        else if (key == "--kill-every")
            o->kill_every_s = atof(v);
        else if (key == "--session-max")
            o->session_max_s = atof(v);
        else if (key == "--stall-max")
            o->stall_max_s = atof(v);
        else if (key == "--rss-slack-mib")
            o->rss_slack_mib = atol(v);
        else
            return false;
    }
    return !o->daemon.empty() && o->seconds > 0 && o->workers > 0 && o->clients >= o->workers &&
           o->rate > 0 && o->session_max_s >= 2 && o->stall_max_s >= 1 && o->rss_slack_mib >= -1;
}

// "exit status N" or "signal N" of a wait status.
std::string how_ended(int status) {
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "signal " + std::to_string(WTERMSIG(status));
    return "wait status " + std::to_string(status);
}

std::string mib(long kib) {
    char text[32];
    snprintf(text, sizeof text, "%.1f MiB", double(kib) / 1024.0);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "--worker") == 0)
        return soak_worker_main(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    soak k;
    if (!parse_options(argc, argv, &k.o)) {
        fprintf(stderr,
                "usage: soak --daemon PATH [--seconds N] [--clients N] [--workers N] [--rate OPS]"
                " [--seed N] [--kill-every S] [--session-max S] [--stall-max S]"
                " [--rss-slack-mib N]\n");
        return 2;
    }
    options& o = k.o;
    if (o.seed == 0)
        o.seed = uint64_t(time(nullptr));
    printf("soak: %.0f s, seed %" PRIu64
           ", %d clients in %d worker processes, storm %.0f ops/s,"
           " a worker killed every %.0f s on average\n",
           o.seconds, o.seed, o.clients, o.workers, o.rate, o.kill_every_s);
    fflush(stdout);

    int err = make_tree();
    if (err != 0) {
        fprintf(stderr, "soak: cannot make the tree under %s: %s\n", SOAK_TREE, strerror(err));
        return 1;
    }
    if ((err = start_daemon(&k)) != 0)
        return 1;
    if ((err = preflight()) != 0) {
        fprintf(stderr, "soak: the daemon reports no change of %s (%s); log:\n%s\n", SOAK_TREE,
                strerror(err), read_from(SOAK_LOG, 0).c_str());
        int status;
        stop_daemon(&k, &status);
        return 1;
    }

    // The baseline: no client but the daemon's own, the disk logger's ring emptied.
    daemon_figures base;
    if (!settle_clients(&k, {1, -1, 1, 0}, &base)) {
        fprintf(stderr,
                "soak: the daemon does not settle before the start (num_clients %d,"
                " pending events %d)\n",
                base.num_clients, base.pending_events);
        int status;
        stop_daemon(&k, &status);
        return 1;
    }
    sleep_us(500000);
    base.fds = fd_count(k.daemon);
    base.rss_kib = rss_kib(k.daemon);
    daemon_figures peak = base;

    k.start_us = soak_now_us();
    std::atomic<bool> stop_storm{false};
    int storm_result = 0;
    soak_storm_options storm_options;
    storm_options.rate = o.rate;
    storm_options.seed = o.seed;
    std::thread storm([&] { storm_result = soak_storm_run(storm_options, &k.log, &stop_storm); });
    std::thread read_reports([&] { reader(&k); });

    std::mt19937_64 rng(o.seed ^ 0x5eed);
    std::vector<worker_proc> workers(size_t(o.workers));
    for (int i = 0; i < o.workers; i++) {
        workers[size_t(i)].index = i;
        if ((err = spawn_worker(&k, &workers[size_t(i)])) != 0)
            fail(&k, "cannot start worker " + std::to_string(i) + ": " + strerror(err));
    }
    auto next_gap = [&] {
        return int64_t(std::exponential_distribution<double>(1.0 / o.kill_every_s)(rng) * 1e6);
    };
    int64_t deadline = k.start_us + int64_t(o.seconds * 1e6);
    int64_t next_kill = o.kill_every_s > 0 ? k.start_us + next_gap() : INT64_MAX;
    int64_t next_sample = 0, next_prune = k.start_us + 10 * SOAK_SECOND_US;
    bool daemon_died = false;
    int status = 0;

    // Reaps the workers that exited: a worker the soak killed comes back after a pause; any
    // other exit is a fault unless the soak told it to finish (status 0 then).
    auto reap = [&](bool finishing) {
        for (worker_proc& w : workers) {
            int ws;
            if (w.pid < 0 || waitpid(w.pid, &ws, WNOHANG) != w.pid)
                continue;
            w.pid = -1;
            if (w.control >= 0)
                close(std::exchange(w.control, -1));
            if (w.killed) {
                if (!finishing)
                    w.respawn_us =
                        soak_now_us() +
                        int64_t(std::uniform_real_distribution<double>(0.5, 3)(rng) * 1e6);
                continue;
            }
            if (!finishing || !WIFEXITED(ws) || WEXITSTATUS(ws) != 0)
                fail(&k, "worker " + std::to_string(w.index) + " ended by itself with " +
                             how_ended(ws));
        }
    };

    while (soak_now_us() < deadline) {
        sleep_us(100000);
        int64_t now = soak_now_us();
        if (!daemon_running(&k, &status)) {
            daemon_died = true;
            fail(&k, "the daemon died during the soak with " + how_ended(status));
            break;
        }
        if (now >= next_sample) {
            next_sample = now + SOAK_SECOND_US;
            peak.fds = std::max(peak.fds, fd_count(k.daemon));
            peak.rss_kib = std::max(peak.rss_kib, rss_kib(k.daemon));
        }
        if (now >= next_prune) {
            next_prune = now + 10 * SOAK_SECOND_US;
            soak_prune(&k.log, now - SOAK_LOG_HORIZON_US);
        }
        reap(false);
        for (worker_proc& w : workers) {
            if (w.pid < 0 && w.respawn_us != 0 && now >= w.respawn_us) {
                w.respawn_us = 0;
                w.incarnation++;
                if ((err = spawn_worker(&k, &w)) != 0)
                    fail(&k,
                         "cannot restart worker " + std::to_string(w.index) + ": " + strerror(err));
            }
        }
        if (now >= next_kill) {
            next_kill = now + next_gap();
            std::vector<worker_proc*> alive;
            for (worker_proc& w : workers) {
                if (w.pid > 0 && !w.killed)
                    alive.push_back(&w);
            }
            if (!alive.empty()) {
                worker_proc* w =
                    alive[std::uniform_int_distribution<size_t>(0, alive.size() - 1)(rng)];
                w->killed = true;
                kill(w->pid, SIGKILL);
                std::lock_guard<std::mutex> guard(k.lock);
                k.st.worker_kills++;
            }
        }
    }

    // The end: every worker ends its sessions (checked) and exits; then the storm stops.
    int64_t run_end = soak_now_us();
    for (worker_proc& w : workers) {
        w.respawn_us = 0;
        if (w.control >= 0)
            close(std::exchange(w.control, -1));
    }
    int64_t exit_deadline = soak_now_us() + SOAK_WORKER_EXIT_TIMEOUT_US;
    for (;;) {
        reap(true);
        bool any = false;
        for (worker_proc& w : workers)
            any = any || w.pid > 0;
        if (!any)
            break;
        if (soak_now_us() > exit_deadline) {
            for (worker_proc& w : workers) {
                if (w.pid > 0) {
                    fail(&k, "worker " + std::to_string(w.index) + " did not finish in time");
                    w.killed = true;
                    kill(w.pid, SIGKILL);
                }
            }
        }
        sleep_us(50000);
    }
    stop_storm.store(true);
    storm.join();
    k.reader_done.store(true);
    read_reports.join();
    if (storm_result != 0)
        fail(&k, "the storm made no change at all");
    if (k.log.failed_ops > 0)
        fail(&k, std::to_string(k.log.failed_ops) + " operations of the storm failed");

    // The daemon back at its baseline.
    daemon_figures end;
    if (!daemon_died && daemon_running(&k, &status)) {
        if (!settle_clients(&k, base, &end))
            fail(&k, "the daemon still holds " + std::to_string(end.num_clients) + " clients and " +
                         std::to_string(end.pending_events) +
                         " event records a minute after the end (baseline " +
                         std::to_string(base.num_clients) + " and " +
                         std::to_string(base.pending_events) + ")");
        if (!settle_fds(&k, base.fds, &end.fds))
            fail(&k, "the daemon has " + std::to_string(end.fds) + " descriptors, " +
                         std::to_string(base.fds) + " at the start:\n" + fd_list(k.daemon));
        end.rss_kib = rss_kib(k.daemon);
        if (o.rss_slack_mib >= 0 && end.rss_kib > base.rss_kib + o.rss_slack_mib * 1024)
            fail(&k, "the daemon's memory grew from " + mib(base.rss_kib) + " to " +
                         mib(end.rss_kib) + " (tolerance " + std::to_string(o.rss_slack_mib) +
                         " MiB)");
        std::string log = read_from(SOAK_LOG, 0);
        size_t pos = 0;
        while (pos < log.size()) {
            size_t eol = log.find('\n', pos);
            std::string line = log.substr(pos, eol == std::string::npos ? eol : eol - pos);
            pos = eol == std::string::npos ? log.size() : eol + 1;
            for (const char* marker : SOAK_LOG_MARKERS) {
                if (line.find(marker) != std::string::npos) {
                    fail(&k, "daemon log: " + line);
                    break;
                }
            }
        }
        err = stop_daemon(&k, &status);
        daemon_died = err != 0;
        if (err != 0)
            fail(&k, err == ETIMEDOUT ? "the daemon did not exit within 30 s of SIGTERM"
                                      : "the daemon ended with " + how_ended(status) +
                                            " after SIGTERM (a sanitizer's report is in its log)");
    }

    // Summary.
    stats& st = k.st;
    printf("soak: ran %.1f s (and %.1f s to finish)\n", double(run_end - k.start_us) / 1e6,
           double(soak_now_us() - run_end) / 1e6);
    printf("clients: %" PRIu64 " sessions started, %" PRIu64 " reported (%" PRIu64
           " file level, %" PRIu64 " raw, %" PRIu64 " closed without unregistering), %" PRIu64
           " killed with their process (%" PRIu64 " SIGKILLs)\n",
           st.started, st.reported, st.file_level, st.raw, st.released, st.killed, st.worker_kills);
    printf("         %" PRIu64 " stalled, %" PRIu64 " got a user-dropped notice, %" PRIu64
           " a kernel-dropped one; %" PRIu64 " kept up and were checked (%" PRIu64
           " of them had stalled)\n",
           st.stalled, st.user_dropped, st.kernel_dropped, st.verified, st.stalled_kept_up);
    {
        std::lock_guard<std::mutex> guard(k.log.lock);
        printf("storm: %" PRIu64 " changes (", k.log.total);
        for (int i = 0; i < SOAK_KIND_COUNT; i++)
            printf("%s%s %" PRIu64, i ? ", " : "", soak_kind_name(soak_change_kind(i)),
                   k.log.by_kind[i]);
        printf("), %" PRIu64 " bursts, %zu distinct paths\n", k.log.bursts, k.log.paths.size());
    }
    printf("events: %" PRIu64 " received, %" PRIu64 " dropped notices, %" PRIu64
           " out of id order\n",
           st.events, st.notices, st.out_of_order);
    printf("checked: %" PRIu64 " (change, client) pairs, %" PRIu64 " missing\n", st.expected,
           st.missing);
    std::string tolerance = o.rss_slack_mib >= 0
                                ? "tolerance +" + std::to_string(o.rss_slack_mib) + " MiB"
                                : "not checked";
    printf(
        "daemon: descriptors %d -> %d (peak %d); RSS %s -> %s (peak %s, %s);"
        " num_clients %d -> %d; pending events %d -> %d\n",
        base.fds, end.fds, peak.fds, mib(base.rss_kib).c_str(), mib(end.rss_kib).c_str(),
        mib(peak.rss_kib).c_str(), tolerance.c_str(), base.num_clients, end.num_clients,
        base.pending_events, end.pending_events);
    if (st.verified == 0)
        k.failures.push_back("no client session kept up: nothing was checked");
    if (k.failures.empty()) {
        printf("soak: PASS\n");
        return 0;
    }
    for (size_t i = 0; i < k.failures.size() && i < SOAK_FAILURES_SHOWN; i++)
        printf("FAIL: %s\n", k.failures[i].c_str());
    if (k.failures.size() > SOAK_FAILURES_SHOWN)
        printf("FAIL: ... and %zu more\n", k.failures.size() - SOAK_FAILURES_SHOWN);
    if (daemon_died) {  // or did not end cleanly
        std::string log = read_from(SOAK_LOG, 0);
        if (log.size() > 6000)
            log = "...\n" + log.substr(log.size() - 6000);
        printf("---- daemon log (end) ----\n%s---- end of log ----\n", log.c_str());
    }
    printf("soak: FAIL (%zu failures)\n", k.failures.size());
    return 1;
}
