// The stubs' checks that requests over the wire cannot reach (the transport writes the trailer)
// and their order: a refused request gets the code of its first failed check in the 36-byte error
// reply, its handler never runs, and it keeps its rights and regions for the server loop to
// destroy; the rest of the catalogue is checked over the wire by tests/blackbox. Then the
// start-up wait.
#include "request_builder.h"

#include "server/queries.h"

#include <thread>
#include <unistd.h>

namespace server_test {
namespace {

using subsystem = server_fixture;

void expect_error_reply(message_buffer& reply, mach_msg_id_t request_id, kern_return_t code) {
    const auto* r = reply.as<error_reply_t>();
    EXPECT_EQ(r->head.msgh_size, sizeof(error_reply_t));
    EXPECT_EQ(r->head.msgh_id, request_id + 100);
    EXPECT_EQ(r->head.msgh_bits, 0x13u);  // the request's remote disposition only
    EXPECT_EQ(r->head.msgh_remote_port, 0x77u);
    EXPECT_EQ(r->ret_code, code);
}

struct register_fault {
    const char* what;
    void (*damage)(register_request_t* r, mach_msg_audit_trailer_t* t);
    kern_return_t code;
};

const register_fault REGISTER_FAULTS[] = {
    {"trailer 28", [](auto*, auto* t) { t->msgh_trailer_size = 28; }, MIG_TRAILER_ERROR},
    {"trailer format", [](auto*, auto* t) { t->msgh_trailer_type = 1; }, MIG_TRAILER_ERROR},
    {"callback type", [](auto* r, auto*) { r->callback.type = 1; }, MIG_TYPE_ERROR},
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
        r->head.msgh_size = sizeof *r;  // the layout back, then released as the server loop does
        r->callback.type = MACH_MSG_PORT_DESCRIPTOR;
        mach_msg_destroy(request.head());
    }
}

// Purge: the size before the trailer; 8 bytes of trailer name the sender, and user 501 is refused
// before any start-up wait.
TEST_F(subsystem, purge_needs_its_size_then_a_trailer_then_root) {
    build_simple(&request, VANTLES_MSG_PURGE_EVENTS);
    request.trailer()->msgh_trailer_size = 4;
    subsystem_demux(request.head(), reply.head());
    expect_error_reply(reply, VANTLES_MSG_PURGE_EVENTS, MIG_TRAILER_ERROR);
    request.head()->msgh_size = 40;
    subsystem_demux(request.head(), reply.head());
    expect_error_reply(reply, VANTLES_MSG_PURGE_EVENTS, MIG_BAD_ARGUMENTS);

    build_simple(&request, VANTLES_MSG_PURGE_EVENTS);
    write_trailer(&request, 501, 20);
    request.trailer()->msgh_trailer_size = 8;
    subsystem_demux(request.head(), reply.head());
    expect_error_reply(reply, VANTLES_MSG_PURGE_EVENTS, KERN_FAILURE);
}

TEST_F(subsystem, wait_for_startup_follows_ready_and_shutting_down) {
    event_thread_ready = 1;
    EXPECT_TRUE(wait_for_startup());
    shutting_down = 1;
    EXPECT_FALSE(wait_for_startup());
    event_thread_ready = 0;
    EXPECT_FALSE(wait_for_startup());  // gives up at once instead of waiting 10 s
    shutting_down = 0;                 // readiness arriving during the wait ends it
    std::thread starter([] { usleep(300000), event_thread_ready = 1; });
    EXPECT_TRUE(wait_for_startup());
    starter.join();
}

}  // namespace
}  // namespace server_test
