// Our side of the storm benchmark: the kernel event intake in one process, as the event thread
// runs it. The device is cloned as the daemon clones it (fanotify on every mounted file
// system, or the record stream named by VANTLESD_DEVICE), the producer thread reads it into
// the event buffers, and this thread walks the buffers, decodes into the event table through a
// sink that stands for one client watching everything (a ring reference per new record, taken
// off again 4096 events later), and sweeps the table after every step. SIGTERM or SIGINT stops
// it as shutdown_handler stops the daemon; it then prints its figures, one per line. The CPU
// time (both threads) is counted from the moment it prints "ready".
// Usage: intake_bench
#include "clients/client_tables.h"
#include "clients/event_table.h"
#include "common/crc.h"
#include "common/deadline.h"
#include "common/log.h"
#include "intake/decode.h"
#include "intake/event_flags.h"
#include "intake/event_ids.h"
#include "intake/event_thread.h"
#include "intake/intake_state.h"
#include "intake/producer.h"
#include "platform/kernel_device.h"

#include <signal.h>
#include <sys/resource.h>
#include <syslog.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

constexpr size_t BENCH_RING = 4096;
constexpr int BENCH_MAX_STEPS = 101;  // as the event thread: then back to looking for work
constexpr int BENCH_IDLE_WAIT_MS = 1000;

std::vector<event_record*> bench_ring(BENCH_RING);
size_t bench_ring_next;
uint64_t bench_events;
uint64_t bench_dropped;
std::atomic<uint64_t> bench_reads{0};
std::atomic<uint64_t> bench_bytes{0};

void bench_sink(event_table* table, int32_t pid, uint32_t dev, char* path, uint32_t, uint32_t,
                uint32_t flags, uint64_t id) {
    bench_events++;
    bench_dropped += (flags & EVENT_KERNEL_DROPPED) != 0;
    event_record* record = add_event(table, pid, dev, path, flags, id);
    if (!record)
        return;
    if (!client_map_set(record, 0)) {
        take_event_ref(record);
        event_record*& slot = bench_ring[bench_ring_next++ % BENCH_RING];
        if (slot) {
            client_map_clear(slot, 0);
            remove_event_ref(slot);
        }
        slot = record;
    }
    remove_event_ref(record);
}

ssize_t counting_read(int fd, void* buf, size_t size) {
    ssize_t n = kernel_device_read(fd, buf, size);
    if (n > 0) {
        bench_reads.fetch_add(1, std::memory_order_relaxed);
        bench_bytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    }
    return n;
}

// What shutdown_handler does.
void on_stop(int) {
    lifecycle.shutting_down = 1;
    int fd = intake.kernel_fd.exchange(-1);
    if (fd >= 0)
        kernel_device_close(fd);
}

int clone_device() {
    int dev = -1;
    int err = kernel_device_open(&dev);
    if (err)
        return err;
    int8_t actions[KREC_NUM_TYPES];
    memset(actions, KREC_ACTION_REPORT, sizeof actions);
    int32_t clone = -1;
    krec_clone_args args = {actions, KREC_NUM_TYPES, KREC_DEFAULT_QUEUE_DEPTH, &clone};
    err = kernel_device_ioctl(dev, KREC_IOC_CLONE, &args);
    kernel_device_close(dev);
    if (err)
        return err;
    kernel_device_ioctl(clone, KREC_IOC_COMPACT, nullptr);
    intake.kernel_extended_info = kernel_device_ioctl(clone, KREC_IOC_EXTENDED_INFO, nullptr) == 0;
    intake.kernel_fd = clone;
    return 0;
}

// The consumer loop of the event thread, with the bench sink, until shutting_down.
void consume() {
    pthread_mutex_lock(&intake.buffer_lock);
    while (!lifecycle.shutting_down.load()) {
        event_buffer* b = consumer_find_work();
        if (!b) {
            timespec ts = deadline_after_us(uint64_t(BENCH_IDLE_WAIT_MS) * 1000);
            if (pthread_cond_timedwait(&intake.buffer_cond, &intake.buffer_lock, &ts) == ETIMEDOUT)
                sweep_event_table(&clients.intake_event_table);
            continue;
        }
        pthread_mutex_unlock(&intake.buffer_lock);
        for (int steps = 0; b && steps < BENCH_MAX_STEPS && !lifecycle.shutting_down.load(); steps++) {
            consumer_step(b, &clients.intake_event_table, bench_sink);
            sweep_event_table(&clients.intake_event_table);
            b = consumer_next_work(b);
        }
        pthread_mutex_lock(&intake.buffer_lock);
    }
    pthread_mutex_unlock(&intake.buffer_lock);
}

double cpu_seconds(const rusage& ru) {
    auto tv = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
    return tv(ru.ru_utime) + tv(ru.ru_stime);
}

}  // namespace

int main() {
    log_open("intake_bench", LOG_PERROR);
    if (event_table_init(&clients.intake_event_table, EVENT_TABLE_INITIAL_BUCKETS) != 0)
        return 1;
    publish_event_id(1);
    event_buffers_init(alloc_event_buffers(EVENT_BUFFER_INITIAL_COUNT, EVENT_BUFFER_SIZE));
    if (!intake.event_buffers)
        return 1;
    int err = clone_device();
    if (err) {
        fprintf(stderr, "intake_bench: cannot clone the kernel event device: %s\n", strerror(err));
        return 1;
    }
    struct sigaction sa = {};
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    intake.producer_read = counting_read;
    pthread_t producer;
    if (pthread_create(&producer, nullptr, vantle_producer, nullptr) != 0)
        return 1;

    rusage start, end;
    getrusage(RUSAGE_SELF, &start);
    printf("ready\n");
    fflush(stdout);
    consume();
    pthread_join(producer, nullptr);
    getrusage(RUSAGE_SELF, &end);

    size_t buffers = 0;
    for (event_buffer* b = intake.event_buffers; b; b = b->next)
        buffers++;
    printf("intake_events %llu\n", (unsigned long long)bench_events);
    printf("intake_dropped %llu\n", (unsigned long long)bench_dropped);
    printf("intake_reads %llu\n", (unsigned long long)bench_reads.load());
    printf("intake_bytes %llu\n", (unsigned long long)bench_bytes.load());
    printf("intake_buffers %zu\n", buffers);
    printf("intake_cpu_seconds %.3f\n", cpu_seconds(end) - cpu_seconds(start));
    printf("intake_context_switches %ld\n",
           (end.ru_nvcsw + end.ru_nivcsw) - (start.ru_nvcsw + start.ru_nivcsw));
    return 0;
}
