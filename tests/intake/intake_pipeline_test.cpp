// The whole intake on real file systems: the fanotify device, the producer thread, a consumer
// loop and the decoder, in scratch roots with tmpfs and ext4 volumes. Each change comes out as
// its events with the right paths, flags, device and pid, ids rising; directory renames are
// followed by the paths of later changes; a queue overflow comes out as a kernel-dropped event
// and the intake goes on. Root only (skipped otherwise).
#include "common/deadline.h"
#include "common/log.h"
#include "intake/decode.h"
#include "intake/event_ids.h"
#include "intake/event_thread.h"
#include "intake/producer.h"
#include "platform/kernel_device.h"
#include "platform/mounts.h"
#include "tests/support/scratch_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>

namespace {

struct seen_event {
    std::string path;
    int32_t pid;
    uint32_t dev;
    uint32_t flags;
    uint64_t id;
};

// Filled by the consumer thread, read by the body under seen_lock.
std::mutex seen_lock;
std::vector<seen_event> seen;

void pipeline_sink(event_table*, int32_t pid, uint32_t dev, char* path, uint32_t, uint32_t,
                   uint32_t flags, uint64_t id) {
    std::lock_guard<std::mutex> hold(seen_lock);
    seen.push_back({path, pid, dev, flags, id});
}

// The fanotify device, the producer and a consumer thread running the event thread's walk
// over the buffers until stopped.
struct pipeline {
    pthread_t producer{};
    std::thread consumer;
    std::atomic<bool> stop{false};
    bool running = false;

    // Opens and clones the device into kernel_fd; the producer is not started yet, so events
    // queue in the kernel.
    int open_device() {
        log_open("intake_pipeline", LOG_PERROR);
        publish_event_id(1000);
        shutting_down = 0;
        producer_read = kernel_device_read;
        event_buffers_init(alloc_event_buffers(EVENT_BUFFER_INITIAL_COUNT, EVENT_BUFFER_SIZE));
        int dev = -1;
        int8_t actions[KREC_NUM_TYPES];
        memset(actions, KREC_ACTION_REPORT, sizeof actions);
        int32_t clone = -1;
        krec_clone_args args = {actions, KREC_NUM_TYPES, KREC_DEFAULT_QUEUE_DEPTH, &clone};
        if (!event_buffers || kernel_device_open_source(nullptr, &dev) != 0)
            return 1;
        int err = kernel_device_ioctl(dev, KREC_IOC_CLONE, &args);
        kernel_device_close(dev);
        if (err || kernel_device_ioctl(clone, KREC_IOC_EXTENDED_INFO, nullptr) != 0)
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
            while (!stop) {
                pthread_mutex_lock(&buffer_lock);
                event_buffer* b = consumer_find_work();
                if (!b) {
                    timespec ts = deadline_after_us(50000);
                    pthread_cond_timedwait(&buffer_cond, &buffer_lock, &ts);
                    pthread_mutex_unlock(&buffer_lock);
                    continue;
                }
                pthread_mutex_unlock(&buffer_lock);
                for (; b; b = consumer_next_work(b))
                    consumer_step(b, nullptr, pipeline_sink);
            }
        });
        return 0;
    }

    // What the daemon's shutdown does: the flag, then the handle swapped out and closed once.
    void shut_down() {
        stop = true;
        if (consumer.joinable())
            consumer.join();
        shutting_down = 1;
        int fd = kernel_fd.exchange(-1);
        if (fd >= 0)
            kernel_device_close(fd);
        if (running)
            pthread_join(producer, nullptr);
        running = false;
    }

    ~pipeline() { shut_down(); }
};

// Waits up to ten seconds for done() over the events seen so far.
bool wait_for(const std::function<bool(const std::vector<seen_event>&)>& done) {
    for (int i = 0; i < 1000; i++) {
        {
            std::lock_guard<std::mutex> hold(seen_lock);
            if (done(seen))
                return true;
        }
        usleep(10 * 1000);
    }
    return false;
}

struct expected_event {
    uint32_t flags;  // type, item kind and directory level
    std::string path;
};

constexpr uint32_t CHECKED_FLAGS =
    EVENT_TYPE_FLAGS | EVENT_IS_FILE | EVENT_IS_DIR | EVENT_IS_SYMLINK | EVENT_DIR_LEVEL;
constexpr uint32_t FILE_EVENT = EVENT_IS_FILE;
constexpr uint32_t DIR_EVENT = EVENT_IS_DIR | EVENT_DIR_LEVEL;

// A rename record gives the old path at its first file information, the new path as soon as it
// is read (the device being known by then) and once more at its second file information.
std::vector<expected_event> renamed(uint32_t kind, const std::string& from, const std::string& to) {
    uint32_t f = EVENT_RENAME | kind;
    return {{f, from}, {f, to}, {f, to}};
}

int write_byte(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    bool ok = fd >= 0 && write(fd, "x", 1) == 1;
    if (fd >= 0)
        close(fd);
    return ok ? 0 : -1;
}

// Each change under base is waited for before the next, as events of a running daemon would
// be; it must give exactly the expected events under base, in order.
int check_changes_on(const std::string& base) {
    std::string t = base + "/t";
    struct stat st;
    SCRATCH_CHECK(mkdir(t.c_str(), 0755) == 0 && stat(t.c_str(), &st) == 0);
    uint32_t dev = device_number_32(st.st_dev);
    auto p = [&](const char* rel) { return t + rel; };
    struct step {
        std::function<int()> change;  // 0 on success
        std::vector<expected_event> events;
    } steps[] = {
        {[&] { return mkdir(p("/d").c_str(), 0755); }, {{EVENT_CREATE_DIR | DIR_EVENT, p("/d")}}},
        {[&] { return mknod(p("/d/f").c_str(), S_IFREG | 0644, 0); },
         {{EVENT_CREATE_FILE | FILE_EVENT, p("/d/f")}}},
        {[&] { return write_byte(p("/d/f")); }, {{EVENT_CONTENT_MODIFIED | FILE_EVENT, p("/d/f")}}},
        {[&] { return chmod(p("/d/f").c_str(), 0600); },
         {{EVENT_STAT_CHANGED | FILE_EVENT, p("/d/f")}}},
        {[&] { return rename(p("/d/f").c_str(), p("/d/g").c_str()); },
         renamed(FILE_EVENT, p("/d/f"), p("/d/g"))},
        {[&] { return mkdir(p("/e").c_str(), 0755); }, {{EVENT_CREATE_DIR | DIR_EVENT, p("/e")}}},
        {[&] { return rename(p("/d/g").c_str(), p("/e/h").c_str()); },
         renamed(FILE_EVENT, p("/d/g"), p("/e/h"))},
        {[&] { return unlink(p("/e/h").c_str()); }, {{EVENT_DELETE | FILE_EVENT, p("/e/h")}}},
        {[&] { return rmdir(p("/e").c_str()); }, {{EVENT_DELETE | DIR_EVENT, p("/e")}}},
        {[&] { return mknod(p("/d/y").c_str(), S_IFREG | 0644, 0); },
         {{EVENT_CREATE_FILE | FILE_EVENT, p("/d/y")}}},
        // A renamed directory: later changes inside it carry its new path.
        {[&] { return rename(p("/d").c_str(), p("/r").c_str()); },
         renamed(DIR_EVENT, p("/d"), p("/r"))},
        {[&] { return write_byte(p("/r/y")); }, {{EVENT_CONTENT_MODIFIED | FILE_EVENT, p("/r/y")}}},
        {[&] { return mknod(p("/r/x").c_str(), S_IFREG | 0644, 0); },
         {{EVENT_CREATE_FILE | FILE_EVENT, p("/r/x")}}},
        {[&] { return chmod(p("/r").c_str(), 0700); }, {{EVENT_STAT_CHANGED | DIR_EVENT, p("/r")}}},
        // A directory moved into another one, then changed inside.
        {[&] { return mkdir(p("/r/sub").c_str(), 0755); },
         {{EVENT_CREATE_DIR | DIR_EVENT, p("/r/sub")}}},
        {[&] { return mkdir(p("/q").c_str(), 0755); }, {{EVENT_CREATE_DIR | DIR_EVENT, p("/q")}}},
        {[&] { return rename(p("/r/sub").c_str(), p("/q/moved").c_str()); },
         renamed(DIR_EVENT, p("/r/sub"), p("/q/moved"))},
        {[&] { return mknod(p("/q/moved/z").c_str(), S_IFREG | 0644, 0); },
         {{EVENT_CREATE_FILE | FILE_EVENT, p("/q/moved/z")}}},
        {[&] { return unlink(p("/q/moved/z").c_str()); },
         {{EVENT_DELETE | FILE_EVENT, p("/q/moved/z")}}},
        {[&] { return rmdir(p("/q/moved").c_str()); }, {{EVENT_DELETE | DIR_EVENT, p("/q/moved")}}},
    };
    std::string prefix = t + "/";
    size_t from = 0;  // first event not yet matched to a step
    int n = 0;
    for (const step& s : steps) {
        n++;
        SCRATCH_CHECK(s.change() == 0);
        std::vector<seen_event> ours;
        bool arrived = wait_for([&](const std::vector<seen_event>& all) {
            ours.clear();
            for (size_t k = from; k < all.size(); k++) {
                if (all[k].path.compare(0, prefix.size(), prefix) == 0)
                    ours.push_back(all[k]);
            }
            // The last expected event arrived; extra ones would come in the same read.
            return ours.size() >= s.events.size() && ours.back().path == s.events.back().path &&
                   (ours.back().flags & CHECKED_FLAGS) == s.events.back().flags;
        });
        {
            std::lock_guard<std::mutex> hold(seen_lock);
            from = seen.size();
        }
        bool ok = arrived && ours.size() == s.events.size();
        for (size_t k = 0; ok && k < ours.size(); k++) {
            ok = ours[k].path == s.events[k].path &&
                 (ours[k].flags & CHECKED_FLAGS) == s.events[k].flags && ours[k].dev == dev &&
                 ours[k].pid == getpid();
        }
        if (!ok) {
            fprintf(stderr, "%s step %d: got", base.c_str(), n);
            for (const auto& e : ours)
                fprintf(stderr, " [%s 0x%x dev %u pid %d]", e.path.c_str(), e.flags, e.dev, e.pid);
            fprintf(stderr, " (device %u)\n", dev);
        }
        SCRATCH_CHECK(ok);
    }
    return 0;
}

// Ids rise strictly over everything the decoder emitted, ours or not.
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

// More changes than the kernel queues, made before the producer reads anything: a
// kernel-dropped event arrives, fewer creations than were made, and a later change still
// comes through.
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
    if (!dropped || created >= made)
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
