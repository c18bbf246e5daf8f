// Builds kernel record streams byte by byte for the decoder tests, and a sink that records
// every event it receives.
#pragma once

#include "intake/events.h"
#include "platform/kernel_records.h"

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
