// The stubs' checks: a refused request gets the code of its first failed check in the 36-byte
// error reply, and its handler never runs (the request keeps its rights and regions for the
// server loop to destroy).
#include "request_builder.h"

#include <climits>

namespace server_test {
namespace {

void expect_error_reply(message_buffer& reply, mach_msg_id_t request_id, kern_return_t code) {
    const auto* r = reply.as<error_reply_t>();
    EXPECT_EQ(r->head.msgh_size, sizeof(error_reply_t));
    EXPECT_EQ(static_cast<uint32_t>(r->head.msgh_id), static_cast<uint32_t>(request_id) + 100);
    EXPECT_EQ(r->head.msgh_bits, 0x13u);  // the request's remote disposition only
    EXPECT_EQ(r->head.msgh_remote_port, 0x77u);
    EXPECT_EQ(r->head.msgh_local_port, 0u);
    EXPECT_EQ(memcmp(&r->NDR, &NDR_record, sizeof NDR_record), 0);
    EXPECT_EQ(r->ret_code, code);
}

using subsystem = server_fixture;

TEST_F(subsystem, ids_outside_the_subsystem_get_bad_id) {
    for (mach_msg_id_t id : {VANTLES_MSG_END, VANTLES_MSG_FIRST - 1, 0, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(id);
        build_simple(&request, VANTLES_MSG_FLUSH);
        request.head()->msgh_id = id;
        EXPECT_FALSE(server_demux(request.head(), reply.head()));
        expect_error_reply(reply, id, MIG_BAD_ID);
    }
}

struct register_fault {
    const char* what;
    void (*damage)(register_request_t* r, mach_msg_audit_trailer_t* t);
    kern_return_t code;
};

const register_fault REGISTER_FAULTS[] = {
    {"size 164", [](auto* r, auto*) { r->head.msgh_size = 164; }, MIG_BAD_ARGUMENTS},
    {"4 descriptors", [](auto* r, auto*) { r->body.msgh_descriptor_count = 4; }, MIG_BAD_ARGUMENTS},
    {"simple", [](auto* r, auto*) { r->head.msgh_bits &= ~MACH_MSGH_BITS_COMPLEX; },
     MIG_BAD_ARGUMENTS},
    {"offset count short", [](auto* r, auto*) { r->path_offset_count -= 1; }, MIG_TYPE_ERROR},
    {"copy-send", [](auto* r, auto*) { r->callback.disposition = 19; }, MIG_TYPE_ERROR},
    {"callback type", [](auto* r, auto*) { r->callback.type = 1; }, MIG_TYPE_ERROR},
    {"region type", [](auto* r, auto*) { r->exclude_offsets.type = 0; }, MIG_TYPE_ERROR},
    {"paths size", [](auto* r, auto*) { r->paths_blob_size += 1; }, MIG_TYPE_ERROR},
    {"excludes size", [](auto* r, auto*) { r->exclude_blob_size += 1; }, MIG_TYPE_ERROR},
    {"trailer 28", [](auto*, auto* t) { t->msgh_trailer_size = 28; }, MIG_TRAILER_ERROR},
    {"trailer format", [](auto*, auto* t) { t->msgh_trailer_type = 1; }, MIG_TRAILER_ERROR},
    // Several faults at once: the earliest check decides.
    {"size, copy-send",
     [](auto* r, auto*) { r->head.msgh_size = 164, r->callback.disposition = 19; },
     MIG_BAD_ARGUMENTS},
    {"copy-send, trailer",
     [](auto* r, auto* t) { r->callback.disposition = 19, t->msgh_trailer_size = 0; },
     MIG_TYPE_ERROR},
};

TEST_F(subsystem, register_checks_refuse_in_order_and_leave_the_request_whole) {
    std::string blob;
    std::vector<uint32_t> offsets;
    pack_strings({"/tmp"}, &blob, &offsets);
    for (const register_fault& fault : REGISTER_FAULTS) {
        SCOPED_TRACE(fault.what);
        build_register(&request, blob, offsets);
        auto* r = request.as<register_request_t>();
        fault.damage(r, request.trailer());
        EXPECT_TRUE(subsystem_demux(request.head(), reply.head()));
        expect_error_reply(reply, VANTLES_MSG_REGISTER, fault.code);
        EXPECT_EQ(client_registry, nullptr);
        EXPECT_NE(r->paths.address, 0u);
        EXPECT_TRUE(descriptor_open(r->callback.name));
        // Undo the damage to the layout, then release as the server loop does.
        r->head.msgh_bits |= MACH_MSGH_BITS_COMPLEX;
        r->head.msgh_size = sizeof *r;
        r->body.msgh_descriptor_count = 5;
        r->callback.type = MACH_MSG_PORT_DESCRIPTOR;
        r->exclude_offsets.type = MACH_MSG_OOL_DESCRIPTOR;
        mach_msg_destroy(request.head());
    }
}

TEST_F(subsystem, simple_requests_need_their_exact_size_and_no_complex_bit) {
    for (mach_msg_id_t id = VANTLES_MSG_FLUSH; id <= VANTLES_MSG_UNREGISTER; ++id) {
        SCOPED_TRACE(id);
        build_simple(&request, id);
        request.head()->msgh_size += 4;
        EXPECT_TRUE(subsystem_demux(request.head(), reply.head()));
        expect_error_reply(reply, id, MIG_BAD_ARGUMENTS);

        build_simple(&request, id);
        request.head()->msgh_bits |= MACH_MSGH_BITS_COMPLEX;
        EXPECT_TRUE(subsystem_demux(request.head(), reply.head()));
        expect_error_reply(reply, id, MIG_BAD_ARGUMENTS);
    }
}

TEST_F(subsystem, purge_needs_a_trailer_then_root) {
    build_simple(&request, VANTLES_MSG_PURGE_EVENTS);
    request.trailer()->msgh_trailer_size = 4;
    subsystem_demux(request.head(), reply.head());
    expect_error_reply(reply, VANTLES_MSG_PURGE_EVENTS, MIG_TRAILER_ERROR);

    request.head()->msgh_size = 40;  // the size is checked before the trailer
    subsystem_demux(request.head(), reply.head());
    expect_error_reply(reply, VANTLES_MSG_PURGE_EVENTS, MIG_BAD_ARGUMENTS);

    // 8 bytes of trailer name the sender; user 501 is refused before any start-up wait.
    build_simple(&request, VANTLES_MSG_PURGE_EVENTS);
    write_trailer(&request, 501, 20);
    request.trailer()->msgh_trailer_size = 8;
    subsystem_demux(request.head(), reply.head());
    expect_error_reply(reply, VANTLES_MSG_PURGE_EVENTS, KERN_FAILURE);
}

}  // namespace
}  // namespace server_test
