// Registration and the registry: a refused registration leaves nothing behind and the
// callback right is released exactly once (by the request's destruction); records release
// what they own on their last reference only; removals find the registration by its port.
#include "common/log.h"
#include "request_builder.h"

namespace server_test {
namespace {

using registration = server_fixture;

// Runs a register request through the stub and checks what the refusal left: no record, no
// private port, the regions released by the stub, and the callback right still the
// request's, closed by the destruction the server loop performs.
void expect_refused(message_buffer* request, message_buffer* reply, kern_return_t code) {
    auto* r = request->as<register_request_t>();
    int descriptors = open_descriptors();
    EXPECT_TRUE(subsystem_demux(request->head(), reply->head()));
    EXPECT_EQ(reply->as<error_reply_t>()->ret_code, code);
    EXPECT_EQ(client_registry, nullptr);
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_EQ(r->paths.address | r->path_offsets.size | r->excludes.address, 0u);
    mach_port_t callback = r->callback.name;
    EXPECT_TRUE(descriptor_open(callback));
    mach_msg_destroy(request->head());
    EXPECT_FALSE(descriptor_open(callback));
}

struct register_case {
    const char* what;
    std::vector<std::string> paths, excludes;
    void (*tweak)(std::string* blob, std::vector<uint32_t>* offsets, std::string* xblob,
                  std::vector<uint32_t>* xoffsets);
};

TEST_F(registration, bad_arguments_are_refused_without_leftovers) {
    const register_case cases[] = {
        {"4097 paths", {"/a"}, {}, [](auto*, auto* o, auto*, auto*) { o->assign(4097, 0); }},
        {"offset past blob", {"/a"}, {}, [](auto*, auto* o, auto*, auto*) { (*o)[0] = 4; }},
        {"offset at blob end", {"/a"}, {}, [](auto*, auto* o, auto*, auto*) { (*o)[0] = 3; }},
        {"unterminated path",
         {"/a", "/b"},
         {},
         [](auto* b, auto*, auto*, auto*) { b->pop_back(); }},
        {"no paths", {}, {}, nullptr},
        {"unterminated exclusion",
         {"/a"},
         {"/x"},
         [](auto*, auto*, auto* xb, auto*) { xb->pop_back(); }},
        {"exclusion past blob",
         {"/a"},
         {"/x"},
         [](auto*, auto*, auto*, auto* xo) { (*xo)[0] = 9; }},
        {"nine exclusions",
         {"/a"},
         {"/1", "/2", "/3", "/4", "/5", "/6", "/7", "/8", "/9"},
         nullptr},
        {"exclusion of 1025", {"/a"}, {"/x", std::string(1025, 'x')}, nullptr},
    };
    for (const register_case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string blob, xblob;
        std::vector<uint32_t> offsets, xoffsets;
        pack_strings(c.paths, &blob, &offsets);
        pack_strings(c.excludes, &xblob, &xoffsets);
        if (c.tweak != nullptr) {
            c.tweak(&blob, &offsets, &xblob, &xoffsets);
        }
        build_register(&request, blob, offsets, xblob, xoffsets);
        expect_refused(&request, &reply, VANTLES_REGISTER_BAD_ARGS);
    }
    // The path count must also agree with the offsets sent.
    build_register(&request, std::string("/a", 3), {0});
    request.as<register_request_t>()->num_paths = 2;
    expect_refused(&request, &reply, VANTLES_REGISTER_BAD_ARGS);
}

TEST_F(registration, refused_delivery_side_is_undone) {
    std::string blob, xblob;
    std::vector<uint32_t> offsets, xoffsets;
    pack_strings({"/tmp/watched", "/var/other"}, &blob, &offsets);
    pack_strings({"/tmp/watched/skip"}, &xblob, &xoffsets);

    shutting_down = 1;  // the start-up wait fails at once
    build_register(&request, blob, offsets, xblob, xoffsets);
    expect_refused(&request, &reply, VANTLES_REGISTER_NO_CLIENT);

    // Several device-relative paths from an unprivileged user: the client record is refused,
    // and the mark-self pid entered before it is taken out again.
    shutting_down = 0;
    event_thread_ready = 1;
    build_register(&request, blob, offsets, xblob, xoffsets);
    request.as<register_request_t>()->device = 5;
    request.as<register_request_t>()->create_flags = VANTLES_CREATE_MARK_SELF;
    capture_log();
    expect_refused(&request, &reply, VANTLES_REGISTER_NO_CLIENT);
    std::string log = captured_log();
    EXPECT_TRUE(log_has(log,
                        "implementation_added_client : failed to add client for path "
                        "/tmp/watched\n"))
        << log;
    EXPECT_TRUE(log_has(log, "implementation_register_rpc: implementation_added_client() => 22"))
        << log;
    EXPECT_FALSE(is_marked_pid(4242));
    EXPECT_EQ(num_clients.load(), 0);
}

TEST_F(registration, excludes_are_checked_whole_and_truncated_to_1023_characters) {
    clientp* client = alloc_client(0, 0, 0, 0, nullptr, 0, "", 0, 0, 0, 1, 0, 0);
    std::vector<std::string> excludes;
    for (char c = 'a'; c < 'a' + 8; ++c) {
        excludes.push_back(std::string(1024, c));
    }
    std::string blob;
    std::vector<uint32_t> offsets;
    pack_strings(excludes, &blob, &offsets);
    ASSERT_EQ(set_client_excludes(client, 8, offsets.data(), blob.size(), blob.data()), 0);
    EXPECT_EQ(client->num_excludes, 8u);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(std::string(client->excludes[i]), excludes[i].substr(0, 1023));
    }
    // A refusal leaves no exclusions at all, not even those stored before.
    offsets.push_back(0);
    EXPECT_EQ(set_client_excludes(client, 9, offsets.data(), blob.size(), blob.data()), ENOSPC);
    EXPECT_EQ(client->num_excludes, 0u);
    EXPECT_EQ(client->excludes[0], nullptr);

    blob.clear();
    offsets.clear();
    pack_strings({"/short", std::string(1025, 'z')}, &blob, &offsets);
    EXPECT_EQ(set_client_excludes(client, 2, offsets.data(), blob.size(), blob.data()), EINVAL);
    EXPECT_EQ(client->excludes[0], nullptr);
    EXPECT_EQ(set_client_excludes(client, 1, offsets.data(), 3, blob.data()), EINVAL);
    dealloc_client(client);
}

clientp* new_client(mach_port_t d2f, mach_port_t private_port) {
    const uint32_t offset = 0;
    return add_client(d2f, private_port, 0, 1, &offset, 3, "/a", 0, 0, VANTLES_SINCE_NOW, 4242, 501,
                      20);
}

mach_port_t new_receive_right() {
    mach_port_t port = 0;
    EXPECT_EQ(mach_port_allocate(MACH_PORT_RIGHT_RECEIVE, &port), 0);
    return port;
}

bool receive_right_exists(mach_port_t port) {
    return mach_port_mod_refs(port, MACH_PORT_RIGHT_RECEIVE, 0) == KERN_SUCCESS;
}

TEST_F(registration, dealloc_client_releases_on_the_last_reference_only) {
    mach_port_t d2f = static_cast<mach_port_t>(eventfd(0, EFD_CLOEXEC));
    mach_port_t private_port = new_receive_right();
    clientp* client = new_client(d2f, private_port);
    unlink_client(client);
    client->refcount.fetch_add(1);  // a delivery thread's reference

    dealloc_client(client);
    EXPECT_EQ(client->refcount.load(), 1);
    EXPECT_TRUE(descriptor_open(d2f));
    EXPECT_TRUE(receive_right_exists(private_port));

    // An unbalanced release is a defect: reported, and the daemon stops before a second free.
    client->refcount.store(0);
    EXPECT_DEATH(
        {
            log_open("server_tests", LOG_OPTIONS_STDERR);
            dealloc_client(client);
        },
        "dealloc_client: DANGER: clientp 0x.* has refcount -1");

    client->refcount.store(1);
    dealloc_client(client);
    EXPECT_FALSE(descriptor_open(d2f));
    EXPECT_FALSE(receive_right_exists(private_port));

    // Ports that cannot be released are logged.
    ASSERT_FALSE(descriptor_open(0x3ff0));
    client = alloc_client(0x3ff0, 0x3ff1, 0, 0, nullptr, 0, "", 0, 0, 0, 1, 0, 0);
    capture_log();
    dealloc_client(client);
    std::string log = captured_log();
    EXPECT_TRUE(log_has(log,
                        "dealloc_client: ERROR: mach_port_deallocate(clientp->d2f_port = "
                        "0x3ff0) => "))
        << log;
    EXPECT_TRUE(log_has(log,
                        "dealloc_client: ERROR: mach_port_mod_refs(clientp->f2d_private_port"
                        " = 0x3ff1, MACH_PORT_RIGHT_RECEIVE, -1) => "))
        << log;
}

TEST_F(registration, no_senders_notice_removes_its_registration_once) {
    event_thread_ready = 1;
    mach_port_t d2f_a = static_cast<mach_port_t>(eventfd(0, EFD_CLOEXEC));
    mach_port_t d2f_b = static_cast<mach_port_t>(eventfd(0, EFD_CLOEXEC));
    mach_port_t port_a = new_receive_right(), port_b = new_receive_right();
    clientp* b = new_client(d2f_b, port_b);
    new_client(d2f_a, port_a);

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        *request.head() = {
            MACH_MSG_TYPE_MOVE_SEND_ONCE, sizeof(mach_no_senders_notification_t), 0, port_a, 0,
            MACH_NOTIFY_NO_SENDERS};
        write_trailer(&request);
        capture_log();
        EXPECT_TRUE(server_demux(request.head(), reply.head()));
        std::string log = captured_log();
        EXPECT_EQ(reply.head()->msgh_bits, MACH_MSG_TYPE_MOVE_SEND_ONCE);
        EXPECT_EQ(reply.head()->msgh_remote_port, 0u);  // nothing is sent
        EXPECT_EQ(reply.head()->msgh_local_port, 0u);
        EXPECT_TRUE(client_registry == b && b->next == nullptr);
        EXPECT_FALSE(descriptor_open(d2f_a));
        EXPECT_FALSE(receive_right_exists(port_a));
        if (round == 1) {
            EXPECT_EQ(log, "");  // a repeated notice is ignored silently
        }
    }
    EXPECT_TRUE(descriptor_open(d2f_b));
    EXPECT_TRUE(receive_right_exists(port_b));
}

TEST_F(registration, flush_and_unregister_find_the_registration_by_private_port) {
    for (mach_msg_id_t id : {VANTLES_MSG_FLUSH, VANTLES_MSG_UNREGISTER}) {
        build_simple(&request, id, 0x1234);  // e.g. the public port
        capture_log();
        EXPECT_TRUE(subsystem_demux(request.head(), reply.head()));
        std::string log = captured_log();
        EXPECT_TRUE(
            log_has(log, std::string(id == VANTLES_MSG_FLUSH ? "implementation_flush_rpc"
                                                             : "implementation_unregister_rpc") +
                             ": ERROR: get_client_with_matching_f2d_private_port(0x1234)"
                             " => NULL"))
            << log;
        EXPECT_EQ(reply.as<error_reply_t>()->ret_code, 0);
    }
    EXPECT_EQ(reply.head()->msgh_size, sizeof(error_reply_t));

    event_thread_ready = 1;
    mach_port_t d2f = static_cast<mach_port_t>(eventfd(0, EFD_CLOEXEC));
    mach_port_t private_port = new_receive_right();
    new_client(d2f, private_port);

    build_simple(&request, VANTLES_MSG_FLUSH, private_port);
    memset(reply.bytes, 0xAB, sizeof reply.bytes);
    EXPECT_TRUE(subsystem_demux(request.head(), reply.head()));
    EXPECT_EQ(reply.head()->msgh_size, sizeof(event_id_reply_t));
    uint64_t flushed_id = reply.as<event_id_reply_t>()->event_id;  // packed field: copy it
    EXPECT_EQ(flushed_id, 0u);
    EXPECT_NE(client_registry, nullptr);

    build_simple(&request, VANTLES_MSG_UNREGISTER, private_port);
    EXPECT_TRUE(subsystem_demux(request.head(), reply.head()));
    EXPECT_EQ(reply.as<error_reply_t>()->ret_code, 0);
    EXPECT_EQ(client_registry, nullptr);
    EXPECT_FALSE(descriptor_open(d2f));
    EXPECT_FALSE(receive_right_exists(private_port));
}

}  // namespace
}  // namespace server_test
