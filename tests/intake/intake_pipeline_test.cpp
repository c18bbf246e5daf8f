// The whole intake over fanotify in scratch roots (tmpfs, ext4; root only): each change gives its
// events with the right paths, flags, device and pid, ids rising, renamed directories followed;
// a queue overflow gives a kernel-dropped event and the intake goes on.
#include "common/log.h"
#include "intake/decode.h"
#include "intake/event_ids.h"
#include "platform/mounts.h"
#include "record_builder.h"
#include "tests/support/scratch_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <thread>

namespace {

struct seen_event {
    std::string path;
    int32_t pid;
    uint32_t dev;
    uint32_t flags;
    uint64_t id;
};

std::mutex seen_lock;
std::vector<seen_event> seen;

void pipeline_sink(event_table*, int32_t pid, uint32_t dev, char* path, uint32_t, uint32_t,
                   uint32_t flags, uint64_t id) {
    std::lock_guard<std::mutex> hold(seen_lock);
    seen.push_back({path, pid, dev, flags, id});
}

// The fanotify device, the producer and a consumer thread walking the buffers until stopped.
struct pipeline {
    pthread_t producer{};
    std::thread consumer;
    std::atomic<bool> stop{false};
    bool running = false;

    // Clones the device into kernel_fd; until start(), events queue in the kernel.
    int open_device() {
        log_open("intake_pipeline", LOG_PERROR);
        publish_event_id(1000);
        shutting_down = 0;
        producer_read = kernel_device_read;
        event_buffers_init(alloc_event_buffers(EVENT_BUFFER_INITIAL_COUNT, EVENT_BUFFER_SIZE));
        int32_t clone = clone_source(nullptr);
        if (!event_buffers || clone < 0 ||
            kernel_device_ioctl(clone, KREC_IOC_EXTENDED_INFO, nullptr) != 0)
            return 1;
        kernel_extended_info = 1;
        kernel_fd = clone;
        return 0;
    }

    int start() {
        if (pthread_create(&producer, nullptr, vantle_producer, nullptr) != 0)
            return 1;
        running = true;
        consumer = std::thread([this] {
            while (!stop)
                consume_once(pipeline_sink, 50000);
        });
        return 0;
    }

    void shut_down() {
        stop = true;
        if (consumer.joinable())
            consumer.join();
        if (running)
            stop_producer(producer);
        running = false;
    }

    ~pipeline() { shut_down(); }
};

// Waits up to ten seconds for done() over the events seen so far.
bool wait_for(const std::function<bool(const std::vector<seen_event>&)>& done) {
    for (int i = 0; i < 1000; i++, usleep(10 * 1000)) {
        std::lock_guard<std::mutex> hold(seen_lock);
        if (done(seen))
            return true;
    }
    return false;
}

constexpr uint32_t CHECKED_FLAGS =
    EVENT_TYPE_FLAGS | EVENT_IS_FILE | EVENT_IS_DIR | EVENT_IS_SYMLINK | EVENT_DIR_LEVEL;

// One change: op on path a (and b), under the case's directory.
struct change {
    char op;  // d mkdir, f mknod, w write, m chmod, r rename, u unlink, x rmdir
    const char* a;
    const char* b = nullptr;
};

// clang-format off
const change CHANGES[] = {
    {'d', "/d"}, {'f', "/d/f"}, {'w', "/d/f"}, {'m', "/d/f"}, {'r', "/d/f", "/d/g"},
    {'d', "/e"}, {'r', "/d/g", "/e/h"}, {'u', "/e/h"}, {'x', "/e"}, {'f', "/d/y"},
    // A renamed directory, and one moved into another: later changes inside carry the new path.
    {'r', "/d", "/r"}, {'w', "/r/y"}, {'f', "/r/x"}, {'m', "/r"}, {'d', "/r/sub"}, {'d', "/q"},
    {'r', "/r/sub", "/q/moved"}, {'f', "/q/moved/z"}, {'u', "/q/moved/z"}, {'x', "/q/moved"},
};
// clang-format on

// Makes the change; its events as (flags, path) or an empty list on failure. A rename gives the
// old path, the new one when read (the device known by then) and the new one again.
std::vector<std::pair<uint32_t, std::string>> make_change(const std::string& t, const change& c) {
    std::string a = t + c.a, b = c.b ? t + c.b : "";
    struct stat st;
    bool dir = lstat(a.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    uint32_t kind = dir || c.op == 'd' ? EVENT_IS_DIR | EVENT_DIR_LEVEL : EVENT_IS_FILE;
    int fd = -1, rc = -1;
    uint32_t type = 0;
    switch (c.op) {
        case 'd':
            rc = mkdir(a.c_str(), 0755), type = EVENT_CREATE_DIR;
            break;
        case 'f':
            rc = mknod(a.c_str(), S_IFREG | 0644, 0), type = EVENT_CREATE_FILE;
            break;
        case 'w':
            fd = open(a.c_str(), O_WRONLY | O_CLOEXEC);
            rc = fd >= 0 && write(fd, "x", 1) == 1 && close(fd) == 0 ? 0 : -1;
            type = EVENT_CONTENT_MODIFIED;
            break;
        case 'm':
            rc = chmod(a.c_str(), 0700), type = EVENT_STAT_CHANGED;
            break;
        case 'r':
            rc = rename(a.c_str(), b.c_str()), type = EVENT_RENAME;
            break;
        case 'u':
            rc = unlink(a.c_str()), type = EVENT_DELETE;
            break;
        case 'x':
            rc = rmdir(a.c_str()), type = EVENT_DELETE;
            break;
    }
    if (rc != 0)
        return {};
    if (c.op == 'r')
        return {{type | kind, a}, {type | kind, b}, {type | kind, b}};
    return {{type | kind, a}};
}

// Each change under base, waited for before the next, gives exactly its events, in order.
int check_changes_on(const std::string& base) {
    std::string t = base + "/t", prefix = t + "/";
    struct stat st;
    SCRATCH_CHECK(mkdir(t.c_str(), 0755) == 0 && stat(t.c_str(), &st) == 0);
    uint32_t dev = device_number_32(st.st_dev);
    size_t from = 0;  // first event not yet matched to a change
    for (const change& c : CHANGES) {
        auto events = make_change(t, c);
        SCRATCH_CHECK(!events.empty());
        std::vector<seen_event> ours;
        bool arrived = wait_for([&](const std::vector<seen_event>& all) {
            ours.clear();
            for (size_t k = from; k < all.size(); k++) {
                if (all[k].path.starts_with(prefix))
                    ours.push_back(all[k]);
            }
            // Until the last expected event; extra ones would have come in the same read.
            return ours.size() >= events.size() && ours.back().path == events.back().second &&
                   (ours.back().flags & CHECKED_FLAGS) == events.back().first;
        });
        {
            std::lock_guard<std::mutex> hold(seen_lock);
            from = seen.size();
        }
        bool ok = arrived && ours.size() == events.size();
        for (size_t k = 0; ok && k < ours.size(); k++) {
            ok = ours[k].path == events[k].second &&
                 (ours[k].flags & CHECKED_FLAGS) == events[k].first && ours[k].dev == dev &&
                 ours[k].pid == getpid();
        }
        if (!ok) {
            fprintf(stderr, "%s %c %s: got", base.c_str(), c.op, c.a);
            for (const auto& e : ours)
                fprintf(stderr, " [%s 0x%x dev %u pid %d]", e.path.c_str(), e.flags, e.dev, e.pid);
            fprintf(stderr, " (device %u)\n", dev);
        }
        SCRATCH_CHECK(ok);
    }
    return 0;
}

int check_ids_rise() {
    std::lock_guard<std::mutex> hold(seen_lock);
    SCRATCH_CHECK(!seen.empty());
    for (size_t k = 1; k < seen.size(); k++)
        SCRATCH_CHECK(seen[k].id > seen[k - 1].id);
    return 0;
}

int run_changes(bool ext4) {
    pipeline pl;
    SCRATCH_CHECK(pl.open_device() == 0);
    SCRATCH_CHECK(pl.start() == 0);
    SCRATCH_CHECK(check_changes_on("/mnt/tmp") == 0);
    if (ext4)
        SCRATCH_CHECK(check_changes_on("/mnt/ext") == 0);
    pl.shut_down();
    SCRATCH_CHECK(kernel_fd.load() == -1);
    return check_ids_rise();
}

TEST(IntakePipeline, ChangesOnTmpfsAndExt4) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    bool ext4 = scratch_ext4_available();
    std::vector<scratch_volume> volumes = {{"/mnt/tmp"}};
    if (ext4)
        volumes.push_back({"/mnt/ext", "ext4"});
    EXPECT_EQ(run_in_scratch_root(volumes, [ext4] { return run_changes(ext4); }), 0);
}

// More changes than the kernel queues, made before the producer reads: a kernel-dropped event,
// fewer creations than were made, and a later change still comes through.
int run_overflow() {
    int max_queued = 16384;
    FILE* f = fopen("/proc/sys/fs/fanotify/max_queued_events", "re");
    SCRATCH_CHECK(!f || (fscanf(f, "%d", &max_queued) == 1 && fclose(f) == 0));
    SCRATCH_CHECK(max_queued <= 200000);  // else too many files to make here
    int made = max_queued + 1000;
    pipeline pl;
    SCRATCH_CHECK(pl.open_device() == 0);
    SCRATCH_CHECK(mkdir("/mnt/tmp/o", 0755) == 0);
    for (int i = 0; i < made; i++)
        SCRATCH_CHECK(mknod(("/mnt/tmp/o/" + std::to_string(i)).c_str(), S_IFREG | 0600, 0) == 0);
    SCRATCH_CHECK(pl.start() == 0);
    // Only once the full queue is read does a new change fit into it.
    SCRATCH_CHECK(wait_for([](const std::vector<seen_event>& all) {
        return std::any_of(all.begin(), all.end(),
                           [](const seen_event& e) { return e.flags == EVENT_KERNEL_DROPPED; });
    }));
    SCRATCH_CHECK(mknod("/mnt/tmp/end", S_IFREG | 0600, 0) == 0);
    SCRATCH_CHECK(wait_for([](const std::vector<seen_event>& all) {
        return std::any_of(all.begin(), all.end(),
                           [](const seen_event& e) { return e.path == "/mnt/tmp/end"; });
    }));
    pl.shut_down();
    int created = 0;
    bool dropped = false;
    {
        std::lock_guard<std::mutex> hold(seen_lock);
        for (const auto& e : seen) {
            created += e.path.starts_with("/mnt/tmp/o/") && (e.flags & EVENT_CREATE_FILE);
            dropped |=
                e.flags == EVENT_KERNEL_DROPPED && e.path == "/" && e.pid == EVENT_PID_DAEMON;
        }
    }
    if (!dropped || created <= max_queued / 2 || created > max_queued)
        fprintf(stderr, "overflow: %d of %d creations, dropped %d\n", created, made, dropped);
    SCRATCH_CHECK(dropped);
    // Changes elsewhere on the machine share the queue: not all of it need be ours.
    SCRATCH_CHECK(created > max_queued / 2 && created <= max_queued);
    return check_ids_rise();
}

TEST(IntakePipeline, QueueOverflowGivesAKernelDroppedEvent) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    EXPECT_EQ(run_in_scratch_root({{"/mnt/tmp", "tmpfs", false, "256m"}}, run_overflow), 0);
}

}  // namespace
