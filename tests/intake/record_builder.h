// Helpers of the intake tests: kernel record streams built byte by byte, a sink that records
// every event it receives, and the producer and consumer side of the event thread's buffers.
#pragma once

#include "common/deadline.h"
#include "intake/event_thread.h"
#include "intake/events.h"
#include "intake/producer.h"
#include "platform/kernel_device.h"
#include "platform/kernel_records.h"

#include <pthread.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

struct record_builder {
    std::vector<uint8_t> bytes;

    void put(const void* p, size_t n) {
        auto* b = static_cast<const uint8_t*>(p);
        bytes.insert(bytes.end(), b, b + n);
    }
    void u16(uint16_t v) { put(&v, sizeof v); }
    void u32(uint32_t v) { put(&v, sizeof v); }
    void u64(uint64_t v) { put(&v, sizeof v); }

    record_builder& header(uint32_t type, int32_t pid = 42) {
        u32(type);
        u32(static_cast<uint32_t>(pid));
        return *this;
    }
    record_builder& arg(uint16_t type, const void* data, uint16_t len) {
        u16(type);
        u16(len);
        put(data, len);
        return *this;
    }
    record_builder& path(const std::string& p) {
        return arg(KREC_ARG_PATH, p.c_str(), static_cast<uint16_t>(p.size() + 1));
    }
    record_builder& file_info(uint32_t dev, uint32_t mode) {
        krec_file_info info{};
        info.inode = 7;
        info.dev = dev;
        info.mode = mode;
        return arg(KREC_ARG_FILE_INFO, &info, sizeof info);
    }
    record_builder& dev(uint32_t d) { return arg(KREC_ARG_DEV, &d, sizeof d); }
    record_builder& mode(uint32_t m) { return arg(KREC_ARG_MODE, &m, sizeof m); }
    record_builder& inode32(uint32_t i) { return arg(KREC_ARG_INODE, &i, sizeof i); }
    record_builder& inode64(uint64_t i) { return arg(KREC_ARG_INODE, &i, sizeof i); }
    record_builder& int64(int64_t v) { return arg(KREC_ARG_INT64, &v, sizeof v); }
    record_builder& done() {
        u16(KREC_ARG_DONE);
        return *this;
    }
    record_builder& dropped() { return header(KREC_TYPE_DROPPED, -1).done(); }
};

struct sunk_event {
    std::string path;
    int32_t pid;
    uint32_t dev;
    uint32_t path_length;
    uint32_t dir_length;
    uint32_t flags;
    uint64_t id;
};

// Filled by record_sink; tests clear it before each decode.
inline std::vector<sunk_event> sunk;

inline void record_sink(event_table*, int32_t pid, uint32_t dev, char* path, uint32_t path_length,
                        uint32_t dir_length, uint32_t flags, uint64_t id) {
    sunk.push_back({path, pid, dev, path_length, dir_length, flags, id});
}

// Opens the record source at path (nullptr: fanotify) and clones it with every record type
// reported; the clone's handle, or -1.
inline int32_t clone_source(const char* path) {
    int dev = -1;
    int32_t clone = -1;
    int8_t actions[KREC_NUM_TYPES];
    memset(actions, KREC_ACTION_REPORT, sizeof actions);
    krec_clone_args args = {actions, KREC_NUM_TYPES, KREC_DEFAULT_QUEUE_DEPTH, &clone};
    if (kernel_device_open_source(path, &dev) != 0)
        return -1;
    int err = kernel_device_ioctl(dev, KREC_IOC_CLONE, &args);
    kernel_device_close(dev);
    return err ? -1 : clone;
}

// One pass of the event thread's walk: waits up to wait_us for a buffer with work, then decodes
// everything there is into sink. False when there was nothing.
inline bool consume_once(event_sink sink, uint64_t wait_us) {
    pthread_mutex_lock(&buffer_lock);
    event_buffer* b = consumer_find_work();
    if (!b) {
        timespec ts = deadline_after_us(wait_us);
        pthread_cond_timedwait(&buffer_cond, &buffer_lock, &ts);
        b = consumer_find_work();
    }
    pthread_mutex_unlock(&buffer_lock);
    bool worked = b != nullptr;
    for (; b; b = consumer_next_work(b))
        consumer_step(b, nullptr, sink);
    return worked;
}

// What shutdown_handler does (the flag, the handle swapped out and closed once), then the join.
inline void stop_producer(pthread_t producer) {
    shutting_down = 1;
    int fd = kernel_fd.exchange(-1);
    if (fd >= 0)
        kernel_device_close(fd);
    pthread_join(producer, nullptr);
}
