// Registration and the registry: a refused registration leaves nothing behind and its callback
// right is released once (by the request's destruction); records release what they own on their
// last reference only. Removal by flush, unregister and a client's exit is checked over the wire
// by tests/blackbox.
#include "common/limits.h"
#include "common/log.h"
#include "request_builder.h"

namespace server_test {
namespace {

using registration = server_fixture;

// Runs a register request through the stub; the refusal leaves no record, no descriptor, the
// regions released by the stub, and the callback right for the server loop's destruction.
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

// Argument forms the over-the-wire cases do not reach, and the limits themselves, which pass
// the argument checks and meet the start-up wait (failing at once: shutting down).
TEST_F(registration, bad_arguments_are_refused_without_leftovers) {
    using strings = std::vector<std::string>;
    using offsets = std::vector<uint32_t>;
    const std::string longest = "/" + std::string(PATH_MAX_LENGTH - 1, 'p');
    // clang-format off
    const struct {
        const char* what;
        strings paths, excludes;
        void (*tweak)(std::string* blob, offsets* o, std::string* xblob, offsets* xo);
        kern_return_t code = VANTLES_REGISTER_BAD_ARGS;
    } cases[] = {
        {"offset at blob end", {"/a"}, {}, [](auto*, auto* o, auto*, auto*) { (*o)[0] = 3; }},
        {"unterminated path", {"/a", "/b"}, {},
         [](auto* b, auto*, auto*, auto*) { b->pop_back(); }},
        {"no paths", {}, {}, nullptr},
        {"unterminated exclusion", {"/a"}, {"/x"},
         [](auto*, auto*, auto* xb, auto*) { xb->pop_back(); }},
        {"exclusion past blob", {"/a"}, {"/x"},
         [](auto*, auto*, auto*, auto* xo) { (*xo)[0] = 9; }},
        {"4097 paths", strings(4097, "/a"), {}, nullptr},
        {"path over the length limit", {longest + "p"}, {}, nullptr},
        {"at the limits", strings(4096, longest), strings(8, "/x"), nullptr,
         VANTLES_REGISTER_NO_CLIENT},
    };
    // clang-format on
    shutting_down = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string blob, xblob;
        offsets o, xo;
        pack_strings(c.paths, &blob, &o);
        pack_strings(c.excludes, &xblob, &xo);
        if (c.tweak != nullptr) {
            c.tweak(&blob, &o, &xblob, &xo);
        }
        build_register(&request, blob, o, xblob, xo);
        expect_refused(&request, &reply, c.code);
    }
}

// A registration refused on the delivery side is undone, down to the mark-self pid.
TEST_F(registration, refused_delivery_side_is_undone) {
    std::string blob, xblob;
    std::vector<uint32_t> offsets, xoffsets;
    pack_strings({"/tmp/watched", "/var/other"}, &blob, &offsets);
    pack_strings({"/tmp/watched/skip"}, &xblob, &xoffsets);
    shutting_down = 1;
    build_register(&request, blob, offsets, xblob, xoffsets);
    expect_refused(&request, &reply, VANTLES_REGISTER_NO_CLIENT);

    // Several device-relative paths from an unprivileged user: no client record.
    shutting_down = 0;
    event_thread_ready = 1;
    build_register(&request, blob, offsets, xblob, xoffsets);
    request.as<register_request_t>()->device = 5;
    request.as<register_request_t>()->create_flags = VANTLES_CREATE_MARK_SELF;
    capture_log();
    expect_refused(&request, &reply, VANTLES_REGISTER_NO_CLIENT);
    std::string log = captured_log();
    EXPECT_TRUE(log_has(log, "implementation_added_client() => 22")) << log;
    EXPECT_FALSE(is_marked_pid(4242));
    EXPECT_EQ(num_clients.load(), 0);
}

// Exclusions are kept up to 1023 characters; a refused set leaves none, not even earlier ones.
TEST_F(registration, exclusions_are_checked_whole_and_cut_to_1023_characters) {
    clientp* client = alloc_client(0, 0, 0, 0, nullptr, 0, "", 0, 0, 0, 1, 0, 0);
    std::vector<std::string> excludes;
    for (char c = 'a'; c < 'a' + 8; ++c) {
        excludes.push_back(std::string(1024, c));
    }
    std::string blob;
    std::vector<uint32_t> offsets;
    pack_strings(excludes, &blob, &offsets);
    ASSERT_EQ(set_client_excludes(client, 8, offsets.data(), blob.size(), blob.data()), 0);
    EXPECT_EQ(std::string(client->excludes[7]), excludes[7].substr(0, 1023));
    offsets.push_back(0);
    EXPECT_EQ(set_client_excludes(client, 9, offsets.data(), blob.size(), blob.data()), ENOSPC);
    EXPECT_EQ(client->num_excludes, 0u);
    EXPECT_EQ(client->excludes[0], nullptr);
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
}

}  // namespace
}  // namespace server_test
