// Live delivery under record streams: the real daemon, fed raw kernel records through a FIFO
// (VANTLESD_DEVICE), delivering to clients of the client library's stream API. Every record is
// a content change of its own path, so that every record is exactly one event for a file-level
// client and the counts compare one to one. Three benchmarks, each on a fresh daemon per run:
//
//   throughput  one client on "/" (file level, latency 0.1 s); records at a paced rate for a
//               few seconds per rate. Per rate: sent, received, events-dropped notices, the
//               daemon's CPU and busiest threads. Reports the highest rate with every event
//               received and no notice (target >= 300,000 events/s).
//   burst       1,000,000 records written as fast as the FIFO takes them, one client on "/":
//               it receives what its backlog holds and events-dropped notices; checks that the
//               first notice carries the id of the first event it did not receive and that
//               every notice names a lost event, then times how long until the daemon's state
//               dump reports no pending events.
//   fanout      100 clients on 100 different prefixes plus 10 on "/" (file level, latency
//               0.1 s), received on one epoll thread; records spread evenly over the prefixes.
//               Per rate: whether every client received all its events, and the daemon's peak
//               memory (VmHWM). Reports the highest such rate.
//
// After every run (the daemon stopped with SIGTERM, so its disk logger made its last flush) a
// "history:" line tells whether the disk logger kept up with the stream: the number of
// "the history has a gap" messages in the daemon's log (its ring of 8192 overflowed), the
// records in "/.vantlesd" against the distinct paths sent, and the bytes of the log files.
//
// Needs to run inside the scratch root of bench/live_delivery.sh (the daemon writes at the
// root of its root volume). Run: sudo bench/live_delivery.sh throughput|burst|fanout [options]
// Options: --daemon PATH (default /bin/vantlesd), --rates R1,R2,.. (records/s), --seconds S
// (per rate, default 3), --records N (burst, default 1000000), --latency-ms L (default 100),
// --client-nice N (nice value of the receiving threads, for analysis; default: left alone),
// --daemon-nice N (nice value given to the daemon's threads that run at the default priority,
// its delivery threads among them, once the clients are registered; for analysis),
// --show-log (prints the daemon's log after each run), --slice-us U (the writer's pacing step,
// default 1000: about what the fanotify source reads at once under a storm), --repeat N (runs
// per rate; the summary gives the highest rate clean in at least one and in all runs).
// The writer runs real-time while it writes (a steady stream whatever else the machine does);
// the daemon's threads and the receiving threads are scheduled as usual.
//
// Reading the figures: a client with a latency is woken once 234 events are pending, and its
// backlog holds 4 MiB of events (some 28,000 of these paths), so a hold-up of its delivery
// thread or of the event thread costs events only past some 90 ms at 300,000 events/s.
// stall_ms shows the hold-ups the machine itself caused during the run; on a shared machine,
// run with --repeat.
#include "bench/bench_clock.h"
#include "bench/history_files.h"
#include "bench/live_harness.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* LIVE_SOCKET = "/tmp/vantlesd.sock";
constexpr const char* LIVE_FIFO = "/tmp/vantlesd.records";
constexpr const char* LIVE_LOG = "/tmp/vantlesd.err";
constexpr const char* LIVE_LOG_DIR = "/.vantlesd";  // the root volume's history
constexpr int LIVE_PIPE_BYTES = 1 << 20;  // the FIFO holds about what a kernel queue would
constexpr int LIVE_FIFO_OPEN_TIMEOUT_MS = 10000;
constexpr double LIVE_QUIET_SECONDS = 2.0;  // no new event for this long: delivery is over
constexpr double LIVE_DRAIN_CAP_SECONDS = 30.0;
constexpr int LIVE_PREFIXES = 100;
constexpr int LIVE_ROOT_CLIENTS = 10;
constexpr int LIVE_DIRS = 1000;

struct options {
    std::string mode;
    std::string daemon = "/bin/vantlesd";
    std::vector<double> rates;
    double seconds = 3;
    size_t records = 1000000;
    uint64_t latency_us = 100000;
    int client_nice = 0;     // nice value of the receiving thread(s); 0: left alone
    int daemon_nice = 0;     // nice value for the daemon's default-priority threads; 0: left alone
    bool show_log = false;   // print the daemon's log after each run
    double slice_s = 0.001;  // the writer's pacing step
    int repeat = 1;          // runs per rate
};

// Clean runs per rate, for the summary lines.
struct rate_tally {
    std::vector<double> rates;
    std::vector<int> clean;
    int runs = 0;

    void add(double rate, bool ok) {
        for (size_t i = 0; i < rates.size(); i++) {
            if (rates[i] == rate) {
                clean[i] += ok;
                return;
            }
        }
        rates.push_back(rate);
        clean.push_back(ok);
    }
    // The highest rate clean in at least `need` runs; 0 when none.
    double best(int need) const {
        double b = 0;
        for (size_t i = 0; i < rates.size(); i++) {
            if (clean[i] >= need)
                b = std::max(b, rates[i]);
        }
        return b;
    }
};

// Each rate `repeat` times in a row.
std::vector<double> schedule(const std::vector<double>& rates, int repeat) {
    std::vector<double> out;
    for (double r : rates) {
        for (int i = 0; i < repeat; i++)
            out.push_back(r);
    }
    return out;
}

bool parse_options(int argc, char** argv, options* o) {
    if (argc < 2)
        return false;
    o->mode = argv[1];
    for (int i = 2; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--show-log") {
            o->show_log = true;
            continue;
        }
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!v)
            return false;
        if (a == "--daemon") {
            o->daemon = v;
        } else if (a == "--rates") {
            o->rates.clear();
            for (const char* p = v; *p;) {
                char* end;
                double r = strtod(p, &end);
                if (end == p || r <= 0)
                    return false;
                o->rates.push_back(r);
                p = *end == ',' ? end + 1 : end;
            }
        } else if (a == "--seconds") {
            o->seconds = atof(v);
        } else if (a == "--records") {
            o->records = strtoull(v, nullptr, 10);
        } else if (a == "--repeat") {
            o->repeat = std::max(1, atoi(v));
        } else if (a == "--slice-us") {
            o->slice_s = atof(v) * 1e-6;
        } else if (a == "--client-nice") {
            o->client_nice = atoi(v);
        } else if (a == "--daemon-nice") {
            o->daemon_nice = atoi(v);
        } else if (a == "--latency-ms") {
            o->latency_us = uint64_t(atof(v) * 1000);
        } else {
            return false;
        }
        i++;
    }
    return o->mode == "throughput" || o->mode == "burst" || o->mode == "fanout";
}

// Record k of a stream: the content change of ".../m<k % 1000>/f<k>" under prefix.
void build_stream(record_stream* s, size_t count, uint32_t dev, bool spread_prefixes) {
    s->bytes.clear();
    s->ends.clear();
    s->bytes.reserve(count * 80);
    s->ends.reserve(count);
    char path[256];
    for (size_t k = 0; k < count; k++) {
        if (spread_prefixes)
            snprintf(path, sizeof path, "/p%02zu/src/project/m%03zu/f%zu", k % LIVE_PREFIXES,
                     k % LIVE_DIRS, k);
        else
            snprintf(path, sizeof path, "/home/user/src/project/m%03zu/f%zu", k % LIVE_DIRS, k);
        append_modified_record(s, path, dev, 1000 + k);
    }
}

// A daemon on the record FIFO. False with the reason printed.
bool start_daemon(const options& o, live_daemon* d) {
    d->binary = o.daemon;
    d->socket = LIVE_SOCKET;
    d->log = LIVE_LOG;
    d->fifo = LIVE_FIFO;
    remove_log_dir(LIVE_LOG_DIR);
    if (make_fifo(LIVE_FIFO) != 0) {
        perror("mkfifo");
        return false;
    }
    return live_daemon_start(d) == 0;
}

// Stops the daemon (SIGTERM: its disk logger files what it holds and flushes), printing its
// log first when asked to, then the history the run left in the root volume's log directory:
// whether the disk logger kept up (no gap message, a record for every distinct path sent) and
// its size. The directory is removed, so that every run's daemon starts a history of its own.
void stop_daemon(const options& o, live_daemon* d, size_t sent) {
    live_daemon_stop(d);
    std::string log = live_daemon_log(*d);
    if (o.show_log)
        printf("---- daemon log ----\n%s---- end of log ----\n", log.c_str());
    history_figures h;
    if (read_history(LIVE_LOG_DIR, &h) != 0) {
        printf("  history: no log directory %s\n", LIVE_LOG_DIR);
        return;
    }
    printf(
        "  history: gap messages %zu; %llu records for %zu distinct paths sent; %d log files, "
        "%llu bytes (%.2f per record)%s\n",
        count_occurrences(log, HISTORY_GAP_MESSAGE), (unsigned long long)h.records, sent, h.files,
        (unsigned long long)h.log_bytes, h.records ? double(h.log_bytes) / double(h.records) : 0,
        h.bad_buffers ? " BAD BUFFERS" : "");
    fflush(stdout);
    remove_log_dir(LIVE_LOG_DIR);
}

// Waits until counted() reaches expected, or nothing new came for LIVE_QUIET_SECONDS past the
// latency, or the cap. Returns the monotonic time of the last receipt (0: none).
template <typename Counted, typename Last>
double wait_delivered(uint64_t expected, double latency_s, Counted counted, Last last) {
    double start = now_seconds();
    uint64_t seen = counted();
    double progress = start;
    while (seen < expected) {
        sleep_seconds(0.01);
        uint64_t now_seen = counted();
        double now = now_seconds();
        if (now_seen != seen) {
            seen = now_seen;
            progress = now;
        }
        if (now - progress > LIVE_QUIET_SECONDS + latency_s || now - start > LIVE_DRAIN_CAP_SECONDS)
            break;
    }
    return last();
}

struct cpu_snapshot {
    double daemon;
    double self;
    std::vector<thread_cpu> threads;
    double at;
};

cpu_snapshot snapshot(pid_t daemon) {
    return {proc_cpu_seconds(daemon), proc_cpu_seconds(getpid()), proc_thread_cpu(daemon),
            now_seconds()};
}

int run_throughput(const options& o) {
    std::vector<double> rates = o.rates;
    if (rates.empty())
        rates = {100000, 200000, 300000, 400000, 600000, 800000};
    uint32_t dev = volume_dev32("/");
    printf(
        "throughput: one client on \"/\", file level, latency %.0f ms; %.1f s per rate; "
        "distinct paths; a fresh daemon per rate\n",
        double(o.latency_us) / 1000, o.seconds);
    printf(
        "lost: sent - received; notices: events-dropped notices; lag_ms: last receipt after "
        "the writing ended; stall_ms: longest late wake-up of the real-time writer (the "
        "machine kept it off the CPU); dmn_cpu, own_cpu: CPU of the daemon and of this "
        "program (writer and client), 100%% = one core; hwm: the daemon's VmHWM\n");
    printf("%9s %9s %9s %9s %8s %7s %9s %8s %7s %7s %8s  %-30s %s\n", "rate/s", "sent", "sent/s",
           "received", "lost", "notices", "lag_ms", "stall_ms", "dmn_cpu", "own_cpu", "hwm_kib",
           "daemon threads", "load");
    rate_tally tally;
    for (double rate : schedule(rates, o.repeat)) {
        record_stream s;
        build_stream(&s, size_t(rate * o.seconds), dev, false);
        size_t n = s.ends.size();

        live_daemon d;
        if (!start_daemon(o, &d))
            return 1;
        stream_counter c;
        vantles_stream* st =
            open_stream(d, {"/"}, o.latency_us, VANTLES_FLAG_FILE_EVENTS, count_batch, &c);
        int fd = st ? open_fifo_writer(LIVE_FIFO, LIVE_PIPE_BYTES, LIVE_FIFO_OPEN_TIMEOUT_MS) : -1;
        if (!st || fd < 0 || vantles_stream_start_thread(st) != 0) {
            vantles_stream_destroy(st);
            live_daemon_stop(&d);
            return 1;
        }
        if (o.daemon_nice != 0)
            renice_default_threads(d.pid, o.daemon_nice);
        cpu_snapshot before = snapshot(d.pid);
        double stall = 0;
        double written = write_paced(fd, s, rate, o.slice_s, &stall);
        double write_end = now_seconds();
        double last = wait_delivered(
            n, double(o.latency_us) * 1e-6, [&] { return c.events.load(); },
            [&] { return c.last_receive.load(); });
        cpu_snapshot after = snapshot(d.pid);
        // CPU shares over the writing and the delivery, not the quiet wait after it.
        double span = std::max(write_end, last) - before.at;
        uint64_t got = c.events.load();
        bool clean = got == n && c.user_dropped.load() == 0 && c.kernel_dropped.load() == 0 &&
                     c.out_of_order.load() == 0;
        tally.add(rate, clean && written > 0 && double(n) / written >= rate * 0.98);
        printf("%9.0f %9zu %9.0f %9llu %8lld %7llu %9.1f %8.2f %6.0f%% %6.0f%% %8ld  %-30s %s%s\n",
               rate, n, written > 0 ? double(n) / written : 0, (unsigned long long)got,
               (long long)(n - got), (unsigned long long)c.user_dropped.load(),
               last > 0 ? (last - write_end) * 1000 : -1, stall * 1000,
               100 * (after.daemon - before.daemon) / span, 100 * (after.self - before.self) / span,
               proc_status_kib(d.pid, "VmHWM"),
               busiest_threads(d.pid, before.threads, after.threads, span).c_str(),
               load_average().c_str(), c.out_of_order.load() ? " OUT-OF-ORDER" : "");
        fflush(stdout);
        vantles_stream_destroy(st);
        close(fd);
        stop_daemon(o, &d, n);
    }
    printf(
        "throughput_best_clean_rate %.0f events/s in at least one run, %.0f in all %d runs "
        "(target >= 300000)\n",
        tally.best(1), tally.best(o.repeat), o.repeat);
    return 0;
}

int run_burst(const options& o) {
    uint32_t dev = volume_dev32("/");
    record_stream s;
    build_stream(&s, o.records, dev, false);
    size_t n = s.ends.size();

    live_daemon d;
    if (!start_daemon(o, &d))
        return 1;
    std::vector<uint8_t> received(n, 0);
    std::vector<uint64_t> ids(n, 0);
    stream_counter c;
    c.thread_nice = o.client_nice;
    c.received = &received;
    c.ids = &ids;
    vantles_stream* st =
        open_stream(d, {"/"}, o.latency_us, VANTLES_FLAG_FILE_EVENTS, count_batch, &c);
    int fd = st ? open_fifo_writer(LIVE_FIFO, LIVE_PIPE_BYTES, LIVE_FIFO_OPEN_TIMEOUT_MS) : -1;
    if (!st || fd < 0 || vantles_stream_start_thread(st) != 0) {
        vantles_stream_destroy(st);
        live_daemon_stop(&d);
        return 1;
    }
    printf(
        "burst: %zu records (%zu bytes) written as fast as the FIFO takes them; one client "
        "on \"/\", file level, latency %.0f ms; load %s\n",
        n, s.bytes.size(), double(o.latency_us) / 1000, load_average().c_str());
    if (o.daemon_nice != 0)
        renice_default_threads(d.pid, o.daemon_nice);
    uint64_t first_id = live_current_event_id(d);
    cpu_snapshot before = snapshot(d.pid);
    double written = write_paced(fd, s, 0);
    double write_end = now_seconds();

    // Every record decoded: the current id has moved past the last record's two ids.
    double decoded_at = -1;
    while (now_seconds() - write_end < LIVE_DRAIN_CAP_SECONDS) {
        if (live_current_event_id(d) >= first_id + 2 * n) {
            decoded_at = now_seconds();
            break;
        }
        sleep_seconds(0.005);
    }
    // Then the table drains once the client has taken everything off its backlog.
    double drained_at = -1;
    long first_pending = -1;
    while (decoded_at > 0) {
        long pending = live_daemon_pending_events(d, 2000);
        if (first_pending < 0)
            first_pending = pending;
        if (pending == 0) {
            drained_at = now_seconds();
            break;
        }
        if (now_seconds() - write_end > LIVE_DRAIN_CAP_SECONDS)
            break;
        sleep_seconds(0.005);
    }
    double last = wait_delivered(
        n, double(o.latency_us) * 1e-6, [&] { return c.events.load(); },
        [&] { return c.last_receive.load(); });
    cpu_snapshot after = snapshot(d.pid);
    vantles_stream_stop(st);  // joins the receiving thread: its vectors are ours now

    // Ids: record k's event has the id base + 2k (one id per argument, the event at the
    // second). Learnt from the first event received, checked on all.
    size_t first_received = 0;
    while (first_received < n && !received[first_received])
        first_received++;
    uint64_t base = first_received < n ? ids[first_received] - 2 * first_received : 0;
    size_t id_mismatches = 0, first_missing = n;
    uint64_t got = 0;
    for (size_t k = 0; k < n; k++) {
        if (received[k]) {
            got++;
            id_mismatches += ids[k] != base + 2 * k;
        } else if (first_missing == n) {
            first_missing = k;
        }
    }
    size_t notices_on_lost = 0;
    for (uint64_t id : c.dropped_ids) {
        uint64_t k = (id - base) / 2;
        notices_on_lost += id >= base && (id - base) % 2 == 0 && k < n && !received[k];
    }
    uint64_t expected_first = first_missing < n ? base + 2 * first_missing : 0;
    // Never a silent loss: either every event arrived and no notice came, or the first notice
    // names the first event that did not arrive.
    bool first_ok = first_missing == n
                        ? c.dropped_ids.empty()
                        : !c.dropped_ids.empty() && c.dropped_ids[0] == expected_first;

    printf("burst_write_seconds %.3f (%.0f records/s into the FIFO)\n", written,
           double(n) / written);
    printf("burst_received %llu of %zu (first missing record %zu)\n", (unsigned long long)got, n,
           first_missing);
    printf("burst_notices %zu (kernel-dropped %llu, out of order %llu)\n", c.dropped_ids.size(),
           (unsigned long long)c.kernel_dropped.load(), (unsigned long long)c.out_of_order.load());
    printf("burst_first_notice_id %llu; first id not received %llu: %s\n",
           (unsigned long long)(c.dropped_ids.empty() ? 0 : c.dropped_ids[0]),
           (unsigned long long)expected_first,
           first_missing == n ? (first_ok ? "none lost, none owed" : "NOTICE WITHOUT LOSS")
                              : (first_ok ? "match" : "MISMATCH"));
    printf("burst_notices_naming_a_lost_event %zu of %zu%s\n", notices_on_lost,
           c.dropped_ids.size(), notices_on_lost == c.dropped_ids.size() ? "" : " (MISMATCH)");
    printf("burst_event_ids_off_pattern %zu\n", id_mismatches);
    printf("burst_last_event_after_write_ms %.1f\n", last > 0 ? (last - write_end) * 1000 : -1);
    printf("burst_all_decoded_after_ms %.1f (from the end of the write)\n",
           decoded_at > 0 ? (decoded_at - write_end) * 1000 : -1);
    printf("burst_pending_events_first_dump %ld\n", first_pending);
    if (drained_at > 0)
        printf("burst_pending_events_zero_after_ms %.1f (from the end of the write)\n",
               (drained_at - write_end) * 1000);
    else
        printf("burst_pending_events_zero_after_ms NEVER (within %.0f s)\n",
               LIVE_DRAIN_CAP_SECONDS);
    double span = after.at - before.at;
    printf("burst_daemon_cpu_seconds %.2f over %.2f s (%s)\n", after.daemon - before.daemon, span,
           busiest_threads(d.pid, before.threads, after.threads, span).c_str());
    printf("burst_daemon_vmhwm_kib %ld; vmrss_kib %ld\n", proc_status_kib(d.pid, "VmHWM"),
           proc_status_kib(d.pid, "VmRSS"));
    printf("burst_load %s\n", load_average().c_str());
    bool ok =
        first_ok && notices_on_lost == c.dropped_ids.size() && id_mismatches == 0 && drained_at > 0;
    printf("burst_result %s\n", ok ? "PASS" : "FAIL");
    vantles_stream_destroy(st);
    close(fd);
    stop_daemon(o, &d, n);
    return ok ? 0 : 1;
}

// One thread receives every stream: epoll on their descriptors, dispatch when readable.
struct fan_receiver {
    std::vector<vantles_stream*> streams;
    std::atomic<bool> stop{false};
    std::thread thread;

    int nice = 0;

    int start() {
        int ep = epoll_create1(EPOLL_CLOEXEC);
        if (ep < 0)
            return errno;
        for (vantles_stream* s : streams) {
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.ptr = s;
            if (epoll_ctl(ep, EPOLL_CTL_ADD, vantles_stream_fd(s), &ev) != 0) {
                close(ep);
                return errno;
            }
        }
        thread = std::thread([this, ep] {
            if (nice != 0)
                set_thread_nice(nice);
            epoll_event ready[64];
            while (!stop.load()) {
                int k = epoll_wait(ep, ready, 64, 100);
                for (int i = 0; i < k; i++)
                    vantles_stream_dispatch(static_cast<vantles_stream*>(ready[i].data.ptr), 0);
            }
            close(ep);
        });
        return 0;
    }
    void finish() {
        stop = true;
        if (thread.joinable())
            thread.join();
    }
};

int run_fanout(const options& o) {
    std::vector<double> rates = o.rates;
    if (rates.empty())
        rates = {10000, 20000, 50000, 100000, 150000, 200000};
    uint32_t dev = volume_dev32("/");
    printf(
        "fanout: %d clients on \"/pNN\" plus %d on \"/\", file level, latency %.0f ms, one "
        "receiving thread; %.1f s per rate; a fresh daemon per rate; deliveries = %d x "
        "records\n",
        LIVE_PREFIXES, LIVE_ROOT_CLIENTS, double(o.latency_us) / 1000, o.seconds,
        1 + LIVE_ROOT_CLIENTS);
    printf(
        "expected, delivered: events over all clients; complete: clients that received all "
        "theirs; stall_ms: longest late wake-up of the real-time writer (the machine kept it "
        "off the CPU); dmn_cpu, own_cpu: CPU of the daemon and of this program, 100%% = one "
        "core; hwm: the daemon's VmHWM\n");
    printf("%9s %9s %9s %10s %10s %9s %7s %8s %7s %7s %8s  %-30s %s\n", "rate/s", "sent", "sent/s",
           "expected", "delivered", "complete", "notices", "stall_ms", "dmn_cpu", "own_cpu",
           "hwm_kib", "daemon threads", "load");
    rate_tally tally;
    long peak_hwm = 0;
    for (double rate : schedule(rates, o.repeat)) {
        record_stream s;
        build_stream(&s, size_t(rate * o.seconds), dev, true);
        size_t n = s.ends.size();

        live_daemon d;
        if (!start_daemon(o, &d))
            return 1;
        int clients = LIVE_PREFIXES + LIVE_ROOT_CLIENTS;
        std::vector<std::unique_ptr<stream_counter>> counters;
        std::vector<uint64_t> expected;
        fan_receiver rx;
        rx.nice = o.client_nice;
        bool ok = true;
        for (int i = 0; i < clients && ok; i++) {
            counters.push_back(std::make_unique<stream_counter>());
            char prefix[16];
            snprintf(prefix, sizeof prefix, "/p%02d", i);
            std::string path = i < LIVE_PREFIXES ? prefix : "/";
            expected.push_back(i < LIVE_PREFIXES ? (n + LIVE_PREFIXES - 1 - i) / LIVE_PREFIXES : n);
            vantles_stream* st = open_stream(d, {path}, o.latency_us, VANTLES_FLAG_FILE_EVENTS,
                                             count_batch, counters.back().get());
            ok = st != nullptr;
            if (st)
                rx.streams.push_back(st);
        }
        int fd = ok ? open_fifo_writer(LIVE_FIFO, LIVE_PIPE_BYTES, LIVE_FIFO_OPEN_TIMEOUT_MS) : -1;
        if (!ok || fd < 0 || rx.start() != 0) {
            for (vantles_stream* st : rx.streams)
                vantles_stream_destroy(st);
            live_daemon_stop(&d);
            return 1;
        }
        uint64_t total_expected = 0;
        for (uint64_t e : expected)
            total_expected += e;
        auto delivered = [&] {
            uint64_t sum = 0;
            for (auto& c : counters)
                sum += c->events.load();
            return sum;
        };
        auto last = [&] {
            double t = 0;
            for (auto& c : counters)
                t = std::max(t, c->last_receive.load());
            return t;
        };
        if (o.daemon_nice != 0)
            renice_default_threads(d.pid, o.daemon_nice);
        cpu_snapshot before = snapshot(d.pid);
        double stall = 0;
        double written = write_paced(fd, s, rate, o.slice_s, &stall);
        double write_end = now_seconds();
        double last_receipt =
            wait_delivered(total_expected, double(o.latency_us) * 1e-6, delivered, last);
        cpu_snapshot after = snapshot(d.pid);
        long hwm = proc_status_kib(d.pid, "VmHWM");
        rx.finish();
        int complete = 0;
        uint64_t notices = 0, disorder = 0;
        for (int i = 0; i < clients; i++) {
            complete += counters[i]->events.load() == expected[i];
            notices += counters[i]->user_dropped.load() + counters[i]->kernel_dropped.load();
            disorder += counters[i]->out_of_order.load();
        }
        double span = std::max(write_end, last_receipt) - before.at;
        bool clean = complete == clients && notices == 0 && disorder == 0;
        tally.add(rate, clean && written > 0 && double(n) / written >= rate * 0.98);
        peak_hwm = std::max(peak_hwm, hwm);
        printf(
            "%9.0f %9zu %9.0f %10llu %10llu %5d/%-3d %7llu %8.2f %6.0f%% %6.0f%% %8ld  %-30s "
            "%s%s\n",
            rate, n, written > 0 ? double(n) / written : 0, (unsigned long long)total_expected,
            (unsigned long long)delivered(), complete, clients, (unsigned long long)notices,
            stall * 1000, 100 * (after.daemon - before.daemon) / span,
            100 * (after.self - before.self) / span, hwm,
            busiest_threads(d.pid, before.threads, after.threads, span).c_str(),
            load_average().c_str(), disorder ? " OUT-OF-ORDER" : "");
        fflush(stdout);
        for (vantles_stream* st : rx.streams)
            vantles_stream_destroy(st);
        close(fd);
        stop_daemon(o, &d, n);
    }
    printf(
        "fanout_best_clean_rate %.0f records/s (%.0f deliveries/s) in at least one run, "
        "%.0f records/s in all %d runs; daemon VmHWM at most %ld KiB\n",
        tally.best(1), tally.best(1) * (1 + LIVE_ROOT_CLIENTS), tally.best(o.repeat), o.repeat,
        peak_hwm);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    options o;
    if (!parse_options(argc, argv, &o)) {
        fprintf(stderr,
                "usage: %s throughput|burst|fanout [--daemon PATH] [--rates R1,R2,..] "
                "[--seconds S] [--records N] [--latency-ms L] [--client-nice N] [--daemon-nice N] "
                "[--show-log]\n",
                argv[0]);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (o.mode == "throughput")
        return run_throughput(o);
    if (o.mode == "burst")
        return run_burst(o);
    return run_fanout(o);
}
