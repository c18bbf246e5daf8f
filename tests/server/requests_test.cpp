// Requests built in memory as the transport leaves them: the stubs' checks that requests over the
// wire cannot reach (the transport writes the trailer), argument forms and limits.
#include "common/limits.h"
#include "common/log.h"
#include "intake/event_flags.h"
#include "platform/messages.h"
#include "platform/port.h"
#include "server/registry.h"
#include "server/server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <syslog.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using strings = std::vector<std::string>;

// The message, then the audit trailer at mach_msg_round(msgh_size); regions are heap copies.
struct message_buffer {
    alignas(8) uint8_t bytes[VANTLES_MAX_REQUEST_SIZE + sizeof(mach_msg_audit_trailer_t)] = {};
    mach_msg_header_t* head() { return reinterpret_cast<mach_msg_header_t*>(bytes); }
    register_request_t* reg() { return reinterpret_cast<register_request_t*>(bytes); }
    mach_msg_audit_trailer_t* trailer() {
        return reinterpret_cast<mach_msg_audit_trailer_t*>(bytes +
                                                           mach_msg_round(head()->msgh_size));
    }
    void sign() {  // sent by user 501, group 20, pid 4242
        mach_msg_audit_trailer_t t = {MACH_MSG_TRAILER_FORMAT_0, sizeof t, 0, {{501, 20}}, {}};
        t.msgh_audit = {{501, 501, 20, 501, 20, 4242, 0, 0}};
        *trailer() = t;
    }
};

// The strings NUL-terminated one after another in a heap region, their offsets in another.
uint32_t set_strings(mach_msg_ool_descriptor_t* offsets_region, mach_msg_ool_descriptor_t* region,
                     const strings& list) {
    std::string blob, offsets;
    for (const std::string& s : list) {
        uint32_t at = (uint32_t)blob.size();
        offsets.append(reinterpret_cast<const char*>(&at), 4);
        blob.append(s).push_back('\0');
    }
    for (auto [d, bytes] : {std::pair{offsets_region, &offsets}, {region, &blob}}) {
        d->address = bytes->empty()
                         ? 0
                         : (uint64_t)memcpy(malloc(bytes->size()), bytes->data(), bytes->size());
        d->size = (uint32_t)bytes->size();
        d->type = MACH_MSG_OOL_DESCRIPTOR;
    }
    return (uint32_t)blob.size();
}

// A register request from user 501 that passes every stub check, with a fresh callback right
// (an eventfd standing in for it).
void build_register(message_buffer* msg, const strings& paths, const strings& excludes) {
    memset(msg->bytes, 0, sizeof msg->bytes);
    register_request_t* r = msg->reg();
    r->head = {MACH_MSGH_BITS_COMPLEX | 0x1513, sizeof *r, 0x77, 0x55, 0, VANTLES_MSG_REGISTER};
    r->body.msgh_descriptor_count = 5;
    r->callback = {(mach_port_t)eventfd(0, EFD_CLOEXEC), 0, 0, MACH_MSG_TYPE_MOVE_SEND,
                   MACH_MSG_PORT_DESCRIPTOR};
    r->NDR = NDR_record;
    r->num_paths = r->path_offset_count = (uint32_t)paths.size();
    r->paths_blob_size = set_strings(&r->path_offsets, &r->paths, paths);
    r->num_excludes = r->exclude_offset_count = (uint32_t)excludes.size();
    r->exclude_blob_size = set_strings(&r->exclude_offsets, &r->excludes, excludes);
    r->since_when = VANTLES_SINCE_NOW;
    msg->sign();
}

bool descriptor_open(mach_port_t name) {
    return fcntl((int)name, F_GETFD) != -1;
}
auto open_descriptors() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

class requests : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(mach_port_allocate(MACH_PORT_RIGHT_PORT_SET, &server.server_port_set), 0);
    }
    void TearDown() override {
        mach_port_mod_refs(server.server_port_set, MACH_PORT_RIGHT_PORT_SET, -1);
        lifecycle.event_thread_ready = lifecycle.shutting_down = 0;
    }
    message_buffer request, reply;
};

using R = register_request_t*;
using T = mach_msg_audit_trailer_t*;
const std::string LONGEST = "/" + std::string(PATH_MAX_LENGTH - 1, 'p');

// One refused request: its kind, the paths and exclusions of a register request, a change made
// to it, whether the event machinery is up (else shutting down: no wait), the reply's code.
// clang-format off
const struct {
    const char* what;
    mach_msg_id_t id;
    strings paths, excludes;
    void (*change)(R r, T t);
    bool ready;
    kern_return_t code;
} REFUSALS[] = {
    // Stub checks, in order (purge: before the start-up wait).
    {"trailer of 28 bytes", VANTLES_MSG_REGISTER, {"/tmp"}, {}, [](R, T t) { t->msgh_trailer_size = 28; }, false, MIG_TRAILER_ERROR},
    {"trailer format", VANTLES_MSG_REGISTER, {"/tmp"}, {}, [](R, T t) { t->msgh_trailer_type = 1; }, false, MIG_TRAILER_ERROR},
    {"callback type", VANTLES_MSG_REGISTER, {"/tmp"}, {}, [](R r, T) { r->callback.type = 1; }, false, MIG_TYPE_ERROR},
    {"size, then copy-send", VANTLES_MSG_REGISTER, {"/tmp"}, {}, [](R r, T) { r->head.msgh_size = 164, r->callback.disposition = 19; }, false, MIG_BAD_ARGUMENTS},
    {"copy-send, then trailer", VANTLES_MSG_REGISTER, {"/tmp"}, {}, [](R r, T t) { r->callback.disposition = 19, t->msgh_trailer_size = 0; }, false, MIG_TYPE_ERROR},
    {"purge: trailer of 4 bytes", VANTLES_MSG_PURGE_EVENTS, {}, {}, [](R, T t) { t->msgh_trailer_size = 4; }, false, MIG_TRAILER_ERROR},
    {"purge: size, then trailer", VANTLES_MSG_PURGE_EVENTS, {}, {}, [](R r, T t) { r->head.msgh_size = 40, t->msgh_trailer_size = 4; }, false, MIG_BAD_ARGUMENTS},
    {"purge: 8 trailer bytes name the sender, who is not root", VANTLES_MSG_PURGE_EVENTS, {}, {}, [](R, T t) { t->msgh_trailer_size = 8; }, false, KERN_FAILURE},
    // Arguments: refused before the start-up wait.
    {"offset at the blob's end", VANTLES_MSG_REGISTER, {"/a"}, {}, [](R r, T) { *(uint32_t*)r->path_offsets.address = 3; }, false, VANTLES_REGISTER_BAD_ARGS},
    {"unterminated path", VANTLES_MSG_REGISTER, {"/a", "/b"}, {}, [](R r, T) { r->paths.size = --r->paths_blob_size; }, false, VANTLES_REGISTER_BAD_ARGS},
    {"no paths", VANTLES_MSG_REGISTER, {}, {}, nullptr, false, VANTLES_REGISTER_BAD_ARGS},
    {"unterminated exclusion", VANTLES_MSG_REGISTER, {"/a"}, {"/x"}, [](R r, T) { r->excludes.size = --r->exclude_blob_size; }, false, VANTLES_REGISTER_BAD_ARGS},
    {"path over the length limit", VANTLES_MSG_REGISTER, {LONGEST + "p"}, {}, nullptr, false, VANTLES_REGISTER_BAD_ARGS},
    {"exclusion over its limit", VANTLES_MSG_REGISTER, {"/a"}, {LONGEST + "pp"}, nullptr, false, VANTLES_REGISTER_BAD_ARGS},
    {"within every limit: the start-up wait refuses it at once while shutting down", VANTLES_MSG_REGISTER, strings(4096, LONGEST), strings(8, "/x"), nullptr, false, VANTLES_REGISTER_NO_CLIENT},
    // Refused on the delivery side (device-relative paths from a user): undone, mark-self too.
    {"refused by the delivery side", VANTLES_MSG_REGISTER, {"/tmp/a", "/var/b"}, {"/tmp/a/x"},
     [](R r, T) { r->device = 5, r->create_flags = VANTLES_CREATE_MARK_SELF; }, true, VANTLES_REGISTER_NO_CLIENT},
    {"refused again", VANTLES_MSG_REGISTER, {"/tmp/a", "/var/b"}, {},
     [](R r, T) { r->device = 5; }, true, VANTLES_REGISTER_NO_CLIENT},
    // Flushes on a port that is no registration's find nothing to flush.
    {"flush on a stray port", VANTLES_MSG_FLUSH, {}, {}, nullptr, true, KERN_SUCCESS},
    {"flush on a stray port again", VANTLES_MSG_FLUSH, {}, {}, nullptr, true, KERN_SUCCESS},
    // Well-formed queries pass the stub checks and get their routine's answer.
    {"the current id", VANTLES_MSG_GET_CURRENT_EVENT_ID, {}, {}, nullptr, true, KERN_SUCCESS},
    {"the id before a time", VANTLES_MSG_GET_EVENT_ID_FOR_TIME, {}, {}, nullptr, true, KERN_SUCCESS},
    {"a volume's uuid", VANTLES_MSG_GET_VOLUME_UUID, {}, {}, nullptr, true, KERN_SUCCESS},
    {"how a volume is watched", VANTLES_MSG_GET_VOLUME_WATCH, {}, {}, nullptr, true, KERN_SUCCESS},
    {"unregister a stray port", VANTLES_MSG_UNREGISTER, {}, {}, nullptr, true, KERN_SUCCESS},
    {"sync without a reply port to hold", VANTLES_MSG_SYNC_VOLUME, {}, {}, nullptr, true, VANTLES_SYNC_BUSY},
};
// clang-format on

// Each refusal answers its code, records no client and keeps no descriptor; the callback right
// is left to the server loop's destruction of the request, which closes it. Refusals the user
// repeats are logged once a minute.
TEST_F(requests, refusals_answer_their_code_and_leave_nothing_behind) {
    log_open("server_tests", LOG_PERROR);
    ::testing::internal::CaptureStderr();
    for (const auto& c : REFUSALS) {
        SCOPED_TRACE(c.what);
        lifecycle.event_thread_ready = c.ready;
        lifecycle.shutting_down = !c.ready;
        auto descriptors = open_descriptors();
        build_register(&request, c.paths, c.excludes);
        mach_port_t callback = request.reg()->callback.name;
        if (c.id != VANTLES_MSG_REGISTER) {
            close((int)callback);
            memset(request.bytes, 0, sizeof request.bytes);
            mach_msg_size_t size = VANTLES_SIMPLE_REQUEST_SIZES[c.id - VANTLES_MSG_FLUSH];
            *request.head() = {0x1513, size, 0x77, 0x55, 0, c.id};
            request.sign();
        }
        if (c.change != nullptr)
            c.change(request.reg(), request.trailer());
        EXPECT_TRUE(subsystem_demux(request.head(), reply.head()));
        EXPECT_EQ(reinterpret_cast<error_reply_t*>(reply.bytes)->ret_code, c.code);
        EXPECT_EQ(server.client_registry, nullptr);
        EXPECT_FALSE(is_marked_pid(4242));
        if (c.id == VANTLES_MSG_REGISTER) {
            EXPECT_TRUE(descriptor_open(callback));
            request.reg()->head.msgh_size = sizeof(register_request_t);
            request.reg()->callback.type = MACH_MSG_PORT_DESCRIPTOR;
            mach_msg_destroy(request.head());
            EXPECT_FALSE(descriptor_open(callback));
        }
        EXPECT_EQ(open_descriptors(), descriptors);
    }
    const std::string logged = ::testing::internal::GetCapturedStderr();
    for (const std::string line : {"failed to add client for uid 501", "=> NULL (uid 501)"}) {
        auto at = logged.find(line);
        EXPECT_TRUE(at != std::string::npos && logged.find(line, at + 1) == std::string::npos)
            << line << " in:\n"
            << logged;
    }
}

}  // namespace
