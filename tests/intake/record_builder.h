// Helpers of the intake tests: kernel record streams built byte by byte, a sink of every event.
#pragma once

#include "intake/event_thread.h"
#include "platform/kernel_records.h"

#include <string>
#include <vector>

struct record_builder {
    std::vector<uint8_t> bytes;

    void put(const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        bytes.insert(bytes.end(), b, b + n);
    }
    template <typename T>
    record_builder& arg(uint16_t type, const T& value) {
        return arg(type, &value, sizeof value);
    }
    record_builder& arg(uint16_t type, const void* data, uint16_t len) {
        put(&type, 2), put(&len, 2), put(data, len);
        return *this;
    }
    template <typename T>
    record_builder& raw(T value) {
        put(&value, sizeof value);
        return *this;
    }
    record_builder& header(uint32_t type, int32_t pid = 42) { return raw(type).raw(pid); }
    record_builder& path(const std::string& p) {
        return arg(KREC_ARG_PATH, p.c_str(), static_cast<uint16_t>(p.size() + 1));
    }
    record_builder& file_info(uint32_t dev, uint32_t mode) {
        krec_file_info info{};
        info.inode = 7, info.dev = dev, info.mode = mode;
        return arg(KREC_ARG_FILE_INFO, info);
    }
    record_builder& dev(uint32_t d) { return arg(KREC_ARG_DEV, d); }
    record_builder& mode(uint32_t m) { return arg(KREC_ARG_MODE, m); }
    record_builder& inode32(uint32_t i) { return arg(KREC_ARG_INODE, i); }
    record_builder& inode64(uint64_t i) { return arg(KREC_ARG_INODE, i); }
    record_builder& int64(int64_t v) { return arg(KREC_ARG_INT64, v); }
    record_builder& done() { return raw(uint16_t{KREC_ARG_DONE}); }
};

struct sunk_event {
    std::string path;
    int32_t pid;
    uint32_t dev, path_length, dir_length, flags;
    uint64_t id;
};

// Filled by record_sink; tests clear it before each decode.
inline std::vector<sunk_event> sunk;

inline void record_sink(event_table*, int32_t pid, uint32_t dev, char* path, uint32_t path_length,
                        uint32_t dir_length, uint32_t flags, uint64_t id) {
    sunk.push_back({path, pid, dev, path_length, dir_length, flags, id});
}
