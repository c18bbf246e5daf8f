// The measuring side of bench/publish_bench.sh: makes changes in a directory a running
// `vantles publish` watches and times them into NATS. A subscriber on the events subject
// takes every message; the stream's state tells what was acknowledged (stored).
//
//   publish_probe URL SUBJECT STREAM DIR PUBLISHER_PID COUNT RATE WRITERS SAMPLES
//
// Latency: SAMPLES single changes, each 5 ms after the last one arrived, from the change to its
// message at the subscriber. Live throughput: COUNT new files made by WRITERS threads at RATE a
// second in all (0: as fast as they can), from the first change to the stream holding a
// message for each, then checked at the subscriber: every file's path, no id twice, no rescan.
// Backlog: as many files made while the publisher is stopped (SIGSTOP), from SIGCONT to the
// stream holding them all. The publisher's CPU time and peak resident memory come from /proc.
#include "bench/bench_clock.h"

#include <fcntl.h>
#include <nats/nats.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

struct arrivals {
    std::mutex lock;
    std::condition_variable changed;
    std::string awaited;          // the latency phase's path
    double awaited_at = 0;        // when it came
    std::set<std::string> storm;  // storm paths seen
    std::set<uint64_t> ids;
    uint64_t messages = 0, repeated_ids = 0, rescans = 0;
};

std::string field(const char* json, int length, const char* key) {
    std::string s(json, length), k = std::string("\"") + key + "\":";
    size_t at = s.find(k);
    if (at == std::string::npos)
        return "";
    at += k.size();
    if (s[at] != '"')
        return s.substr(at, s.find_first_of(",}", at) - at);
    return s.substr(at + 1, s.find('"', at + 1) - at - 1);  // the probe's names need no escapes
}

void on_message(natsConnection*, natsSubscription*, natsMsg* m, void* closure) {
    auto* a = static_cast<arrivals*>(closure);
    double now = now_seconds();
    const char* data = natsMsg_GetData(m);
    int length = natsMsg_GetDataLength(m);
    std::string path = field(data, length, "path"), flags = field(data, length, "flags");
    uint64_t id = strtoull(field(data, length, "id").c_str(), nullptr, 10);
    {
        std::lock_guard<std::mutex> hold(a->lock);
        a->messages++;
        if (flags.find("rescan") != std::string::npos)
            a->rescans++;
        else if (!a->ids.insert(id).second)
            a->repeated_ids++;
        if (path == a->awaited)
            a->awaited_at = now;
        if (path.find("/s") != std::string::npos || path.find("/b") != std::string::npos)
            a->storm.insert(path);
    }
    a->changed.notify_all();
    natsMsg_Destroy(m);
}

bool touch(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd >= 0 && close(fd) == 0;
}

uint64_t stream_messages(jsCtx* js, const char* stream) {
    jsStreamInfo* info = nullptr;
    uint64_t n =
        js_GetStreamInfo(&info, js, stream, nullptr, nullptr) == NATS_OK ? info->State.Msgs : 0;
    jsStreamInfo_Destroy(info);
    return n;
}

double cpu_seconds(const std::string& pid) {  // user + system time of the process
    std::ifstream in("/proc/" + pid + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    size_t at = text.rfind(')');
    if (at == std::string::npos)
        return 0;
    std::vector<std::string> f;
    for (size_t i = at + 2, j; i < text.size(); i = j + 1) {
        j = text.find(' ', i);
        f.push_back(text.substr(i, j - i));
        if (j == std::string::npos)
            break;
    }
    return f.size() > 12 ? (atof(f[11].c_str()) + atof(f[12].c_str())) / sysconf(_SC_CLK_TCK) : 0;
}

std::string status_line(const std::string& pid, const std::string& key) {
    std::ifstream in("/proc/" + pid + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key, 0) == 0)
            return line.substr(key.size() + 1);
    return "?";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 10) {
        fprintf(stderr,
                "usage: %s URL SUBJECT STREAM DIR PUBLISHER_PID COUNT RATE WRITERS SAMPLES\n",
                argv[0]);
        return 2;
    }
    const char *url = argv[1], *subject = argv[2], *stream = argv[3];
    std::string dir = argv[4], pid = argv[5];
    long count = atol(argv[6]), rate = atol(argv[7]), writers = atol(argv[8]),
         samples = atol(argv[9]);
    natsConnection* conn = nullptr;
    natsSubscription* sub = nullptr;
    jsCtx* js = nullptr;
    arrivals a;
    if (natsConnection_ConnectTo(&conn, url) != NATS_OK ||
        natsConnection_Subscribe(&sub, conn, subject, on_message, &a) != NATS_OK ||
        natsSubscription_SetPendingLimits(sub, -1, -1) != NATS_OK ||
        natsConnection_JetStream(&js, conn, nullptr) != NATS_OK) {
        fprintf(stderr, "publish_probe: cannot reach %s\n", url);
        return 1;
    }
    // Ready once a change reaches the subscriber: the publisher is registered and connected.
    bool ready = false;
    for (int i = 0; i < 300 && !ready; i++) {
        std::unique_lock<std::mutex> hold(a.lock);
        a.awaited = dir + "/ready" + std::to_string(i);
        a.awaited_at = 0;
        hold.unlock();
        touch(a.awaited);
        hold.lock();
        ready = a.changed.wait_for(hold, std::chrono::milliseconds(100),
                                   [&] { return a.awaited_at > 0; });
    }
    if (!ready) {
        fprintf(stderr, "publish_probe: no change reached the subscriber in 30 s\n");
        return 1;
    }

    std::vector<double> lat;
    for (long i = 0; i < samples; i++) {
        usleep(5000);
        std::unique_lock<std::mutex> hold(a.lock);
        a.awaited = dir + "/l" + std::to_string(i);
        a.awaited_at = 0;
        hold.unlock();
        double t0 = now_seconds();
        touch(a.awaited);
        hold.lock();
        if (a.changed.wait_for(hold, std::chrono::seconds(2), [&] { return a.awaited_at > 0; }))
            lat.push_back((a.awaited_at - t0) * 1000);
    }
    std::sort(lat.begin(), lat.end());
    auto pct = [&](double p) {
        return lat.empty() ? 0 : lat[std::min(lat.size() - 1, size_t(p * lat.size()))];
    };
    printf(
        "latency: %zu of %ld changes arrived; median %.2f ms, p90 %.2f ms, p99 %.2f ms, max %.2f "
        "ms\n",
        lat.size(), samples, pct(0.5), pct(0.9), pct(0.99), lat.empty() ? 0 : lat.back());

    // A storm by `writers` threads, each making every writers-th file, paced at its share of
    // the rate; then until the stream holds a message for each, and every path reached the
    // subscriber. Prints the figures under the name of the phase.
    auto storm = [&](const char* phase, const std::string& prefix, bool stopped) {
        uint64_t before = stream_messages(js, stream);
        double cpu0 = cpu_seconds(pid), t0 = now_seconds();
        std::atomic<long> failed = 0;
        std::vector<std::thread> threads;
        for (long w = 0; w < writers; w++)
            threads.emplace_back([&, w] {
                for (long i = w, n = 0; i < count; i += writers, n++) {
                    if (!touch(dir + "/" + prefix + std::to_string(i)))
                        failed++;
                    while (rate > 0 && now_seconds() - t0 < double(n) * writers / rate)
                        ;
                }
            });
        for (std::thread& t : threads)
            t.join();
        double made = now_seconds() - t0, acked = 0;
        if (stopped) {  // the backlog is made: from now on the publisher catches up
            t0 = now_seconds();
            cpu0 = cpu_seconds(pid);
            kill(atoi(pid.c_str()), SIGCONT);
        }
        while (acked == 0 && now_seconds() - t0 < 120) {
            if (stream_messages(js, stream) >= before + count)
                acked = now_seconds() - t0;
            usleep(2000);
        }
        double cpu = cpu_seconds(pid) - cpu0;
        std::unique_lock<std::mutex> hold(a.lock);
        a.changed.wait_for(hold, std::chrono::seconds(10),
                           [&] { return long(a.storm.size()) >= count; });
        printf("%s: %ld files made in %.3f s (%.0f/s) by %ld threads, %ld failed\n", phase, count,
               made, count / made, writers, failed.load());
        if (acked > 0)
            printf("%s: %ld changes acknowledged %.3f s after the %s: %.0f events/s\n", phase,
                   count, acked, stopped ? "publisher went on" : "first", count / acked);
        else
            printf("%s: the stream did not hold %ld more messages after 120 s\n", phase, count);
        printf(
            "%s: %zu of %ld paths at the subscriber; so far %lu messages, %lu ids repeated, "
            "%lu rescans\n",
            phase, a.storm.size(), count, (unsigned long)a.messages, (unsigned long)a.repeated_ids,
            (unsigned long)a.rescans);
        printf("%s: publisher %.2f s CPU (%.0f%% of one core), peak resident %s\n", phase, cpu,
               acked > 0 ? 100 * cpu / acked : 0.0, status_line(pid, "VmHWM:").c_str());
        for (long i = 0, shown = 0; i < count && shown < 5; i++)
            if (!a.storm.count(dir + "/" + prefix + std::to_string(i)) && ++shown)
                printf("%s: missing %s/%s%ld\n", phase, dir.c_str(), prefix.c_str(), i);
        a.storm.clear();
    };
    storm("live", "s", false);
    // The publisher stopped (SIGSTOP) while the changes are made: it falls behind the daemon,
    // and goes on through the history once continued.
    kill(atoi(pid.c_str()), SIGSTOP);
    storm("backlog", "b", true);
    natsSubscription_Destroy(sub);
    jsCtx_Destroy(js);
    natsConnection_Destroy(conn);
    nats_Close();
    return 0;
}
