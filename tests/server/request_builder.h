// Received requests built in memory as the transport leaves them (the message, the audit
// trailer at mach_msg_round(msgh_size), regions as heap copies), a fixture that resets the
// daemon's globals, and probes for open descriptors.
#pragma once

#include "clients/client_info.h"
#include "intake/event_thread.h"
#include "platform/messages.h"
#include "platform/port.h"
#include "server/registry.h"
#include "server/server.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/eventfd.h>
#include <syslog.h>
#include <vector>

namespace server_test {

struct message_buffer {
    alignas(8) uint8_t bytes[VANTLES_MAX_REQUEST_SIZE + sizeof(mach_msg_audit_trailer_t)] = {};

    mach_msg_header_t* head() { return reinterpret_cast<mach_msg_header_t*>(bytes); }
    template <typename T>
    T* as() {
        return reinterpret_cast<T*>(bytes);
    }
    mach_msg_audit_trailer_t* trailer() {
        return reinterpret_cast<mach_msg_audit_trailer_t*>(bytes +
                                                           mach_msg_round(head()->msgh_size));
    }
};

inline void write_trailer(message_buffer* msg, uint32_t uid = 0, uint32_t gid = 0) {
    *msg->trailer() = {MACH_MSG_TRAILER_FORMAT_0,
                       sizeof(mach_msg_audit_trailer_t),
                       0,
                       {{uid, gid}},
                       {{uid, uid, gid, uid, gid, 4242, 0, 0}}};
}

// Remote disposition 0x13, reply token 0x77: the error reply must echo both.
inline void build_simple(message_buffer* msg, mach_msg_id_t id, mach_port_t local = 0x55) {
    memset(msg->bytes, 0, sizeof msg->bytes);
    *msg->head() = {0x1513, VANTLES_SIMPLE_REQUEST_SIZES[id - VANTLES_MSG_FLUSH], 0x77, local, 0,
                    id};
    write_trailer(msg);
}

inline void set_region(mach_msg_ool_descriptor_t* d, const void* bytes, size_t size) {
    d->address = size != 0 ? reinterpret_cast<uint64_t>(memcpy(malloc(size), bytes, size)) : 0;
    d->size = static_cast<uint32_t>(size);
    d->type = MACH_MSG_OOL_DESCRIPTOR;
}

inline void pack_strings(const std::vector<std::string>& strings, std::string* blob,
                         std::vector<uint32_t>* offsets) {
    for (const std::string& s : strings) {
        offsets->push_back(static_cast<uint32_t>(blob->size()));
        blob->append(s);
        blob->push_back('\0');
    }
}

// A register request that passes every stub check, carrying a fresh callback descriptor.
inline void build_register(message_buffer* msg, const std::string& paths_blob,
                           const std::vector<uint32_t>& path_offsets,
                           const std::string& exclude_blob = {},
                           const std::vector<uint32_t>& exclude_offsets = {}) {
    memset(msg->bytes, 0, sizeof msg->bytes);
    auto* r = msg->as<register_request_t>();
    r->head = {MACH_MSGH_BITS_COMPLEX | 0x1513, sizeof *r, 0x77, 0x55, 0, VANTLES_MSG_REGISTER};
    r->body.msgh_descriptor_count = 5;
    r->callback = {static_cast<mach_port_t>(eventfd(0, EFD_CLOEXEC)), 0, 0, MACH_MSG_TYPE_MOVE_SEND,
                   MACH_MSG_PORT_DESCRIPTOR};
    set_region(&r->path_offsets, path_offsets.data(), path_offsets.size() * 4);
    set_region(&r->paths, paths_blob.data(), paths_blob.size());
    set_region(&r->exclude_offsets, exclude_offsets.data(), exclude_offsets.size() * 4);
    set_region(&r->excludes, exclude_blob.data(), exclude_blob.size());
    r->NDR = NDR_record;
    r->num_paths = r->path_offset_count = static_cast<uint32_t>(path_offsets.size());
    r->paths_blob_size = static_cast<uint32_t>(paths_blob.size());
    r->num_excludes = r->exclude_offset_count = static_cast<uint32_t>(exclude_offsets.size());
    r->exclude_blob_size = static_cast<uint32_t>(exclude_blob.size());
    r->since_when = VANTLES_SINCE_NOW;
    write_trailer(msg, 501, 20);
}

inline bool descriptor_open(mach_port_t name) {
    return fcntl(static_cast<int>(name), F_GETFD) != -1;
}

inline int open_descriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir)) {
        count += entry->d_name[0] != '.';
    }
    closedir(dir);
    return count;
}

class server_fixture : public ::testing::Test {
protected:
    void SetUp() override {
        openlog("server_tests", LOG_PID | LOG_PERROR, LOG_DAEMON);
        event_thread_ready = 0;
        shutting_down = 0;
        ASSERT_EQ(mach_port_allocate(MACH_PORT_RIGHT_PORT_SET, &server_port_set), 0);
    }
    void TearDown() override {
        while (client_registry != nullptr) {
            unlink_and_release_client(client_registry);
        }
        mach_port_mod_refs(server_port_set, MACH_PORT_RIGHT_PORT_SET, -1);
        server_port_set = 0;
        event_thread_ready = 0;
        shutting_down = 0;
    }

    static void capture_log() { ::testing::internal::CaptureStderr(); }
    static std::string captured_log() { return ::testing::internal::GetCapturedStderr(); }
    static bool log_has(const std::string& log, const std::string& text) {
        return log.find(text) != std::string::npos;
    }

    message_buffer request;
    message_buffer reply;
};

}  // namespace server_test
