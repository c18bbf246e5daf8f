// Kernel records for the device tests: a builder of one-path records and a reader that splits
// a read into records and items (path with the device and mode of its file information).
#pragma once

#include "platform/kernel_records.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

struct parsed_item {
    std::string path;
    uint32_t dev = 0;
    uint32_t mode = 0;
};

struct parsed_record {
    uint32_t type = 0;  // without the record flags
    std::vector<parsed_item> items;
};

inline std::string make_record(uint32_t type, const std::string& path, uint32_t mode) {
    std::string rec;
    auto put = [&](const void* p, size_t n) { rec.append(static_cast<const char*>(p), n); };
    krec_header h = {type, 42};
    krec_arg_header arg = {KREC_ARG_PATH, static_cast<uint16_t>(path.size() + 1)};
    krec_file_info info = {};
    info.mode = mode;
    krec_arg_header info_arg = {KREC_ARG_FILE_INFO, KREC_FILE_INFO_SIZE};
    uint16_t done = KREC_ARG_DONE;
    put(&h, sizeof h), put(&arg, sizeof arg), put(path.c_str(), path.size() + 1);
    put(&info_arg, sizeof info_arg), put(&info, sizeof info), put(&done, sizeof done);
    return rec;
}

// Appends the records of buf to out. False unless buf is a whole number of well-formed
// records, each path followed by its file information.
inline bool parse_records(const char* buf, size_t len, std::vector<parsed_record>* out) {
    size_t off = 0;
    auto take = [&](void* to, size_t n) {
        if (len - off < n)
            return false;
        memcpy(to, buf + off, n), off += n;
        return true;
    };
    while (off < len) {
        krec_header h;
        parsed_record rec;
        if (!take(&h, sizeof h))
            return false;
        rec.type = h.type & KREC_TYPE_MASK;
        for (size_t infos = 0;;) {
            uint16_t type = 0, size = 0;
            if (!take(&type, sizeof type))
                return false;
            if (type == KREC_ARG_DONE) {
                if (infos != rec.items.size())
                    return false;
                break;
            }
            std::string data;
            if (!take(&size, sizeof size) || len - off < size)
                return false;
            data.assign(buf + off, size), off += size;
            if (type == KREC_ARG_PATH && infos == rec.items.size() && !data.empty() &&
                data.back() == 0) {
                rec.items.push_back({data.c_str()});
            } else if (type == KREC_ARG_FILE_INFO && infos + 1 == rec.items.size() &&
                       size == KREC_FILE_INFO_SIZE) {
                memcpy(&rec.items.back().dev, data.data() + KREC_FILE_INFO_DEV_OFFSET, 4);
                memcpy(&rec.items.back().mode, data.data() + KREC_FILE_INFO_MODE_OFFSET, 4);
                infos++;
            } else {
                return false;
            }
        }
        out->push_back(rec);
    }
    return true;
}
