// The whole intake path on real file systems: the fanotify device, the producer thread, the
// consumer's walk over the buffers and the decoder, into a sink that keeps what it is given.
// Runs in scratch roots (tmpfs, and a loop-mounted ext4 volume where one can be made). Every
// change the test makes comes out as its events with the right path, flags, device and pid,
// ids rise strictly from event to event, and a queue overflow ends in a dropped-events event
// after which the pipeline goes on. Root only; skipped otherwise.
#include "intake/decode.h"
#include "intake/event_ids.h"
#include "intake/event_thread.h"
#include "intake/producer.h"
#include "platform/kernel_device.h"
#include "platform/mounts.h"
#include "tests/support/scratch_root.h"

#include "common/log.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>

namespace {

constexpr uint64_t PIPELINE_START_ID = 70000;
constexpr int PIPELINE_WAIT_SECONDS = 20;
constexpr int PIPELINE_BURST_FILES = 300;

constexpr uint32_t DIR_FLAGS = EVENT_IS_DIR | EVENT_DIR_LEVEL;  // extended info is asked for

struct seen_event {
    std::string path;
    int32_t pid;
    uint32_t dev;
    uint32_t flags;
    uint64_t id;
};

// What the sink saw. The scratch root binds the machine's own directories, whose file systems
// are watched too: only events under seen_prefix and dropped-events ones are kept, but the ids
// of all of them are checked.
std::mutex seen_lock;
std::condition_variable seen_cond;
std::vector<seen_event> seen;
std::string seen_prefix;
uint64_t seen_last_id;
size_t seen_total;
bool seen_ids_rising;

void pipeline_sink(event_table*, int32_t pid, uint32_t dev, char* path, uint32_t, uint32_t,
                   uint32_t flags, uint64_t id) {
    std::lock_guard<std::mutex> hold(seen_lock);
    if (seen_total++ > 0 && id <= seen_last_id)
        seen_ids_rising = false;
    seen_last_id = id;
    if ((flags & EVENT_KERNEL_DROPPED) ||
        strncmp(path, seen_prefix.c_str(), seen_prefix.size()) == 0) {
        seen.push_back({path, pid, dev, flags, id});
        seen_cond.notify_all();
    }
}

timespec deadline_after_ms(int ms) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000;
    ts.tv_sec += ms / 1000 + ts.tv_nsec / 1000000000;
    ts.tv_nsec %= 1000000000;
    return ts;
}

// The event thread's walk over the buffers, as the consumer loop runs it, until stop is set.
void consume_until(const std::atomic<bool>* stop) {
    while (!stop->load()) {
        pthread_mutex_lock(&buffer_lock);
        event_buffer* b = consumer_find_work();
        if (!b) {
            timespec ts = deadline_after_ms(100);
            pthread_cond_timedwait(&buffer_cond, &buffer_lock, &ts);
            pthread_mutex_unlock(&buffer_lock);
            continue;
        }
        pthread_mutex_unlock(&buffer_lock);
        // A step after shutting_down decodes nothing, so the walk ends there, as the event
        // thread's does.
        for (; b && !shutting_down.load(); b = consumer_next_work(b))
            consumer_step(b, nullptr, pipeline_sink);
    }
}

// The device cloned into kernel_fd (open), then the producer and a consumer running (run),
// until finish: shut down as shutdown_handler does, both threads joined, buffers released.
struct intake_pipeline {
    pthread_t producer{};
    bool producing = false;
    std::thread consumer;
    std::atomic<bool> stop{false};

    int open(const std::string& prefix) {
        shutting_down = 0;
        publish_event_id(PIPELINE_START_ID);
        {
            std::lock_guard<std::mutex> hold(seen_lock);
            seen.clear();
            seen_prefix = prefix;
            seen_total = 0;
            seen_ids_rising = true;
        }
        event_buffers_init(alloc_event_buffers(EVENT_BUFFER_INITIAL_COUNT, EVENT_BUFFER_SIZE));
        if (!event_buffers)
            return ENOMEM;
        int dev = -1;
        int32_t clone = -1;
        int8_t actions[KREC_NUM_TYPES];
        memset(actions, KREC_ACTION_REPORT, sizeof actions);
        krec_clone_args args = {actions, KREC_NUM_TYPES, KREC_DEFAULT_QUEUE_DEPTH, &clone};
        int err = kernel_device_open_source(nullptr, &dev);
        if (err)
            return err;
        err = kernel_device_ioctl(dev, KREC_IOC_CLONE, &args);
        kernel_device_close(dev);
        if (err)
            return err;
        kernel_fd = clone;
        kernel_extended_info = kernel_device_ioctl(clone, KREC_IOC_EXTENDED_INFO, nullptr) == 0;
        return kernel_extended_info ? 0 : EINVAL;
    }

    int run() {
        int err = pthread_create(&producer, nullptr, vantle_producer, nullptr);
        if (err)
            return err;
        producing = true;
        consumer = std::thread(consume_until, &stop);
        return 0;
    }

    ~intake_pipeline() {
        shutting_down = 1;
        int fd = kernel_fd.exchange(-1);
        if (fd >= 0)
            kernel_device_close(fd);
        if (producing)
            pthread_join(producer, nullptr);
        stop = true;
        if (consumer.joinable())
            consumer.join();
        free_event_buffers(event_buffers);
        event_buffers_init(nullptr);
    }
};

struct expected_event {
    std::string path;
    uint32_t flags;
};

// Waits until the events kept from index from on contain want in this order (others may come
// between them). Returns the index just past the last one matched, or 0 after the time limit
// (with what was seen on stderr).
size_t wait_for_events(size_t from, const std::vector<expected_event>& want) {
    std::unique_lock<std::mutex> hold(seen_lock);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(PIPELINE_WAIT_SECONDS);
    size_t next = 0;
    size_t at = from;
    for (;;) {
        for (; at < seen.size() && next < want.size(); at++) {
            if (seen[at].path == want[next].path && seen[at].flags == want[next].flags)
                next++;
        }
        if (next == want.size())
            return at;
        if (seen_cond.wait_until(hold, deadline) == std::cv_status::timeout)
            break;
    }
    fprintf(stderr, "missing %s (flags 0x%x); seen since:\n", want[next].path.c_str(),
            want[next].flags);
    for (size_t k = from; k < seen.size(); k++)
        fprintf(stderr, "  %s 0x%x\n", seen[k].path.c_str(), seen[k].flags);
    return 0;
}

size_t seen_count() {
    std::lock_guard<std::mutex> hold(seen_lock);
    return seen.size();
}

int make_file(const std::string& path, const char* data) {
    int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    size_t len = data ? strlen(data) : 0;
    bool ok = !data || write(fd, data, len) == static_cast<ssize_t>(len);
    return close(fd) == 0 && ok ? 0 : -1;
}

int append_to(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    bool ok = fd >= 0 && write(fd, "more", 4) == 4;
    return fd >= 0 && close(fd) == 0 && ok ? 0 : -1;
}

// One change at a time, each waited for before the next (paths are resolved when the events
// are read, so a directory renamed before its earlier events are read would report them under
// its new name). Then a burst of changes read all together.
int check_changes_on(const std::string& volume) {
    std::string t = volume + "/t";
    SCRATCH_CHECK(mkdir(t.c_str(), 0755) == 0);
    struct stat st;
    SCRATCH_CHECK(stat(t.c_str(), &st) == 0);
    uint32_t dev = device_number_32(st.st_dev);
    intake_pipeline pipeline;
    SCRATCH_CHECK(pipeline.open(t + "/") == 0);
    SCRATCH_CHECK(pipeline.run() == 0);

    auto p = [&](const char* rel) { return t + rel; };
    constexpr uint32_t FILE = EVENT_IS_FILE;
    struct change {
        std::function<int()> act;  // 0 on success
        std::vector<expected_event> events;
    } changes[] = {
        {[&] { return mkdir(p("/d").c_str(), 0755); }, {{p("/d"), EVENT_CREATE_DIR | DIR_FLAGS}}},
        {[&] { return make_file(p("/d/f"), nullptr); }, {{p("/d/f"), EVENT_CREATE_FILE | FILE}}},
        {[&] { return append_to(p("/d/f")); }, {{p("/d/f"), EVENT_CONTENT_MODIFIED | FILE}}},
        {[&] { return chmod(p("/d/f").c_str(), 0600); }, {{p("/d/f"), EVENT_STAT_CHANGED | FILE}}},
        {[&] { return rename(p("/d/f").c_str(), p("/d/g").c_str()); },
         {{p("/d/f"), EVENT_RENAME | FILE}, {p("/d/g"), EVENT_RENAME | FILE}}},
        {[&] { return mkdir(p("/e").c_str(), 0755); }, {{p("/e"), EVENT_CREATE_DIR | DIR_FLAGS}}},
        // Across directories.
        {[&] { return rename(p("/d/g").c_str(), p("/e/h").c_str()); },
         {{p("/d/g"), EVENT_RENAME | FILE}, {p("/e/h"), EVENT_RENAME | FILE}}},
        // A directory renamed, then changes inside it under its new name.
        {[&] { return rename(p("/d").c_str(), p("/r").c_str()); },
         {{p("/d"), EVENT_RENAME | DIR_FLAGS}, {p("/r"), EVENT_RENAME | DIR_FLAGS}}},
        {[&] { return make_file(p("/r/x"), "x"); },
         {{p("/r/x"), EVENT_CREATE_FILE | FILE}, {p("/r/x"), EVENT_CONTENT_MODIFIED | FILE}}},
        {[&] { return chmod(p("/r").c_str(), 0700); }, {{p("/r"), EVENT_STAT_CHANGED | DIR_FLAGS}}},
        {[&] { return symlink("x", p("/r/l").c_str()); },
         {{p("/r/l"), EVENT_CREATE_FILE | EVENT_IS_SYMLINK}}},
        // Both names of a renamed item carry its kind, though the old one is gone.
        {[&] { return rename(p("/r/l").c_str(), p("/r/m").c_str()); },
         {{p("/r/l"), EVENT_RENAME | EVENT_IS_SYMLINK},
          {p("/r/m"), EVENT_RENAME | EVENT_IS_SYMLINK}}},
        {[&] { return link(p("/r/x").c_str(), p("/r/x2").c_str()); },
         {{p("/r/x2"), EVENT_CREATE_FILE | FILE | EVENT_HARDLINK}}},
        // The other link stays: the removed name is reported as a file, without link bits.
        {[&] { return unlink(p("/r/x2").c_str()); }, {{p("/r/x2"), EVENT_DELETE | FILE}}},
        {[&] { return unlink(p("/e/h").c_str()); }, {{p("/e/h"), EVENT_DELETE | FILE}}},
        {[&] { return rmdir(p("/e").c_str()); }, {{p("/e"), EVENT_DELETE | DIR_FLAGS}}},
        {[&] { return rename(p("/r").c_str(), p("/r2").c_str()); },
         {{p("/r"), EVENT_RENAME | DIR_FLAGS}, {p("/r2"), EVENT_RENAME | DIR_FLAGS}}},
        {[&] { return unlink(p("/r2/x").c_str()); }, {{p("/r2/x"), EVENT_DELETE | FILE}}},
    };
    for (size_t i = 0; i < sizeof changes / sizeof changes[0]; i++) {
        size_t mark = seen_count();
        int rc = changes[i].act();
        if (rc != 0)
            fprintf(stderr, "change %zu: %s\n", i, strerror(errno));
        SCRATCH_CHECK(rc == 0);
        SCRATCH_CHECK(wait_for_events(mark, changes[i].events) != 0);
    }

    // A burst: files made, written and removed without waiting; each file's events arrive in
    // that order (fanotify may merge a file's unread events, never reorder them).
    SCRATCH_CHECK(mkdir(p("/burst").c_str(), 0755) == 0);
    size_t mark = seen_count();
    for (int i = 0; i < PIPELINE_BURST_FILES; i++)
        SCRATCH_CHECK(make_file(p("/burst/") + std::to_string(i), "data") == 0);
    for (int i = 0; i < PIPELINE_BURST_FILES; i++)
        SCRATCH_CHECK(unlink((p("/burst/") + std::to_string(i)).c_str()) == 0);
    SCRATCH_CHECK(make_file(p("/end"), nullptr) == 0);
    SCRATCH_CHECK(wait_for_events(mark, {{p("/end"), EVENT_CREATE_FILE | FILE}}) != 0);
    for (int i = 0; i < PIPELINE_BURST_FILES; i++) {
        std::string f = p("/burst/") + std::to_string(i);
        SCRATCH_CHECK(wait_for_events(mark, {{f, EVENT_CREATE_FILE | FILE},
                                             {f, EVENT_CONTENT_MODIFIED | FILE},
                                             {f, EVENT_DELETE | FILE}}) != 0);
    }

    std::lock_guard<std::mutex> hold(seen_lock);
    SCRATCH_CHECK(seen_ids_rising);
    for (const seen_event& e : seen) {
        if (e.flags & EVENT_KERNEL_DROPPED) {
            SCRATCH_CHECK(e.flags == EVENT_KERNEL_DROPPED && e.path == "/" && e.dev == 0);
            continue;
        }
        SCRATCH_CHECK(e.pid == getpid());
        SCRATCH_CHECK(e.dev == dev);
        SCRATCH_CHECK(e.id > PIPELINE_START_ID);
    }
    return 0;
}

TEST(IntakePipeline, ChangesOnTmpfsAndExt4) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    log_open("intake_pipeline_tests", LOG_PERROR);
    bool ext4 = scratch_ext4_available();
    std::vector<scratch_volume> volumes = {{"/mnt/tmp"}};
    if (ext4)
        volumes.push_back({"/mnt/ext", "ext4"});
    EXPECT_EQ(run_in_scratch_root(volumes,
                                  [ext4] {
                                      int r = check_changes_on("/mnt/tmp");
                                      return r || !ext4 ? r : check_changes_on("/mnt/ext");
                                  }),
              0);
}

// More changes than fanotify queues, made before the producer starts reading: the events of
// the full queue, then one dropped-events event, and later changes arrive as usual.
int check_overflow() {
    int max_queued = 16384;
    FILE* f = fopen("/proc/sys/fs/fanotify/max_queued_events", "re");
    SCRATCH_CHECK(!f || (fscanf(f, "%d", &max_queued) == 1 && fclose(f) == 0));
    SCRATCH_CHECK(max_queued <= 200000);  // else too many files to make here
    intake_pipeline pipeline;
    SCRATCH_CHECK(pipeline.open("/mnt/tmp/") == 0);
    int files = max_queued + 1000;
    for (int i = 0; i < files; i++)
        SCRATCH_CHECK(mknod(("/mnt/tmp/" + std::to_string(i)).c_str(), S_IFREG | 0600, 0) == 0);
    SCRATCH_CHECK(pipeline.run() == 0);
    // Until the queue has room again, a change is lost with the rest: the end mark is made
    // once the dropped-events event of the full queue has come.
    std::string half = "/mnt/tmp/" + std::to_string(max_queued / 2);
    size_t dropped = wait_for_events(
        0, {{half, EVENT_CREATE_FILE | EVENT_IS_FILE}, {"/", EVENT_KERNEL_DROPPED}});
    SCRATCH_CHECK(dropped != 0);
    SCRATCH_CHECK(make_file("/mnt/tmp/end", nullptr) == 0);
    SCRATCH_CHECK(wait_for_events(dropped, {{"/mnt/tmp/end", EVENT_CREATE_FILE | EVENT_IS_FILE}}) !=
                  0);

    std::lock_guard<std::mutex> hold(seen_lock);
    SCRATCH_CHECK(seen_ids_rising);
    int created = 0;
    for (const seen_event& e : seen)
        created += e.path != "/mnt/tmp/end" && e.flags == (EVENT_CREATE_FILE | EVENT_IS_FILE);
    // Changes elsewhere on the machine share the queue, so not all of it is ours.
    SCRATCH_CHECK(created < files && created <= max_queued);
    return 0;
}

TEST(IntakePipeline, QueueOverflowEndsInADroppedEvent) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    log_open("intake_pipeline_tests", LOG_PERROR);
    EXPECT_EQ(run_in_scratch_root({{"/mnt/tmp", "tmpfs", false, "256m"}}, check_overflow), 0);
}

}  // namespace
