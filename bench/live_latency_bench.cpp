// Latency of live delivery from a real file change: the real daemon on its fanotify source,
// one client (file level, latency 0, VANTLES_FLAG_NO_DEFER) watching DIR/daemon, and for
// comparison in the same run a bare inotify reader (inotify_init1, inotify_add_watch on
// DIR/inotify, blocking read) as the kernel-direct baseline. Each sample is one write of a byte
// to an already open file: the time from just before the write to the moment the receiving
// thread holds the event (the stream's batch callback, or the return of read). Samples
// alternate between the two, spaced out, so that both see the same background. Prints
// median, 95th percentile and more per reader and directory (targets for the daemon: median
// < 0.5 ms, p95 < 2 ms).
//
// Needs to run inside the scratch root of bench/live_delivery.sh, which shows the daemon only
// its own tmpfs root and a scratch ext4 volume. Run: sudo bench/live_delivery.sh latency
// Options: --daemon PATH (default /bin/vantlesd), --dir DIR (repeatable; default /tmp/lat),
// --samples N (default 100), --spacing-ms MS (default 20, between any two writes).
#include "bench/bench_clock.h"
#include "bench/live_harness.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* LAT_SOCKET = "/tmp/vantlesd.sock";
constexpr const char* LAT_LOG = "/tmp/vantlesd.err";
constexpr double LAT_SAMPLE_TIMEOUT_S = 1.0;
constexpr double LAT_SETTLE_S = 0.5;  // after set-up, before the first sample

// The receipt of one sample, stamped by the receiving thread and waited for by the writer.
struct receipt {
    std::mutex m;
    std::condition_variable cv;
    double at = 0;     // 0: not yet
    std::string want;  // path the event must name (daemon side)

    void reset() {
        std::lock_guard<std::mutex> g(m);
        at = 0;
    }
    void stamp(double t) {
        std::lock_guard<std::mutex> g(m);
        if (at == 0)
            at = t;
        cv.notify_one();
    }
    double wait(double timeout_s) {
        std::unique_lock<std::mutex> g(m);
        cv.wait_for(g, std::chrono::duration<double>(timeout_s), [this] { return at != 0; });
        return at;
    }
};

void on_batch(void* ctx, std::span<const vantles_event> events) {
    double t = now_seconds();
    auto* r = static_cast<receipt*>(ctx);
    for (const vantles_event& e : events) {
        if ((e.flags & VANTLES_EVENT_MODIFIED) && r->want == e.path)
            r->stamp(t);
    }
}

struct summary {
    std::vector<double> ms;
    int lost = 0;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    size_t i = size_t(p * double(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

void print_summary(const char* who, const std::string& dir, const summary& s) {
    printf("%-8s %-10s %4zu %4d %8.3f %8.3f %8.3f %8.3f %8.3f %8.3f\n", who, dir.c_str(),
           s.ms.size(), s.lost, percentile(s.ms, 0), percentile(s.ms, 0.5), percentile(s.ms, 0.9),
           percentile(s.ms, 0.95), percentile(s.ms, 0.99), percentile(s.ms, 1));
}

bool make_dir(const std::string& path) {
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

// One pwrite of a byte and the wait for its receipt; the latency in ms, or -1 when lost.
double sample(int fd, receipt* r) {
    r->reset();
    double t0 = now_seconds();
    if (pwrite(fd, "x", 1, 0) != 1)
        return -1;
    double at = r->wait(LAT_SAMPLE_TIMEOUT_S);
    return at > 0 ? (at - t0) * 1000 : -1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string daemon = "/bin/vantlesd";
    std::vector<std::string> dirs;
    int samples = 100;
    double spacing = 0.020;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (i + 1 >= argc) {
            fprintf(stderr,
                    "usage: %s [--daemon PATH] [--dir DIR].. [--samples N] "
                    "[--spacing-ms MS]\n",
                    argv[0]);
            return 2;
        }
        const char* v = argv[++i];
        if (a == "--daemon")
            daemon = v;
        else if (a == "--dir")
            dirs.push_back(v);
        else if (a == "--samples")
            samples = atoi(v);
        else if (a == "--spacing-ms")
            spacing = atof(v) / 1000;
        else {
            fprintf(stderr, "%s: unknown option %s\n", argv[0], a.c_str());
            return 2;
        }
    }
    if (dirs.empty())
        dirs.push_back("/tmp/lat");
    setvbuf(stdout, nullptr, _IOLBF, 0);

    live_daemon d;
    d.binary = daemon;
    d.socket = LAT_SOCKET;
    d.log = LAT_LOG;
    if (live_daemon_start(&d) != 0)
        return 1;

    printf(
        "latency: %d samples per reader and directory, one write of a byte each, %.0f ms "
        "apart, alternating daemon and inotify; load before: %s\n",
        samples, spacing * 1000, load_average().c_str());
    printf("%-8s %-10s %4s %4s %8s %8s %8s %8s %8s %8s   (ms)\n", "reader", "dir", "n", "lost",
           "min", "median", "p90", "p95", "p99", "max");
    int status = 0;
    for (const std::string& dir : dirs) {
        std::string ddir = dir + "/daemon", idir = dir + "/inotify";
        std::string dfile = ddir + "/f", ifile = idir + "/f";
        if (!make_dir(dir) || !make_dir(ddir) || !make_dir(idir)) {
            fprintf(stderr, "mkdir under %s: %s\n", dir.c_str(), strerror(errno));
            status = 1;
            break;
        }
        int dfd = open(dfile.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        int ifd = open(ifile.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (dfd < 0 || ifd < 0) {
            fprintf(stderr, "open under %s: %s\n", dir.c_str(), strerror(errno));
            status = 1;
            break;
        }

        receipt dr;
        dr.want = dfile;
        vantles_stream* st = open_stream(
            d, {ddir}, 0, VANTLES_FLAG_NO_DEFER | VANTLES_FLAG_FILE_EVENTS, on_batch, &dr);
        if (!st || vantles_stream_start_thread(st) != 0) {
            vantles_stream_destroy(st);
            status = 1;
            break;
        }

        receipt ir;
        std::atomic<bool> stop{false};
        int in = inotify_init1(IN_CLOEXEC);
        if (in < 0 || inotify_add_watch(in, idir.c_str(), IN_MODIFY) < 0) {
            perror("inotify");
            vantles_stream_destroy(st);
            status = 1;
            break;
        }
        std::thread reader([&] {
            alignas(inotify_event) char buf[4096];
            while (!stop.load()) {
                ssize_t n = read(in, buf, sizeof buf);
                if (n > 0)
                    ir.stamp(now_seconds());
                else if (n < 0 && errno != EINTR)
                    break;
            }
        });

        sleep_seconds(LAT_SETTLE_S);
        summary ds, is;
        for (int i = 0; i < samples; i++) {
            double ms = sample(dfd, &dr);
            if (ms < 0)
                ds.lost++;
            else
                ds.ms.push_back(ms);
            sleep_seconds(spacing);
            ms = sample(ifd, &ir);
            if (ms < 0)
                is.lost++;
            else
                is.ms.push_back(ms);
            sleep_seconds(spacing);
        }
        stop = true;
        if (pwrite(ifd, "x", 1, 0) != 1)  // wakes the reader's blocked read
            perror("pwrite");
        reader.join();
        close(in);
        vantles_stream_destroy(st);
        close(dfd);
        close(ifd);

        print_summary("vantlesd", dir, ds);
        print_summary("inotify", dir, is);
        double median = percentile(ds.ms, 0.5), p95 = percentile(ds.ms, 0.95);
        printf(
            "latency_%s median %.3f ms (target < 0.5), p95 %.3f ms (target < 2): %s; "
            "inotify median %.3f ms\n",
            dir.c_str(), median, p95, ds.lost == 0 && median < 0.5 && p95 < 2 ? "met" : "MISSED",
            percentile(is.ms, 0.5));
    }
    printf("load after: %s\n", load_average().c_str());
    live_daemon_stop(&d);
    return status;
}
