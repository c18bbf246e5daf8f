// The server loop on a thread with a small handler: replies on the right connection,
// no-senders notices, ports dropped while in use, destroyed requests and replies, and
// descriptor hygiene over many connections, and who may hold connections for how long.
#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <condition_variable>
#include <mutex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/port.h"
#include "platform/port_wire.h"
#include "port_test_util.h"

namespace {

constexpr mach_msg_id_t ECHO = 100;       // replies with the value and the request's local port
constexpr mach_msg_id_t OPEN = 101;       // makes a private port and replies with a send right
constexpr mach_msg_id_t REFUSE = 102;     // replies with code 5
constexpr mach_msg_id_t HOLD_ECHO = 103;  // ECHO after the test releases the handler
constexpr mach_msg_id_t HOLD_OPEN = 104;  // OPEN after the test releases the handler

#pragma pack(push, 4)
struct echo_request {
    mach_msg_header_t head;
    NDR_record_t ndr;
    uint32_t value;
};
struct echo_reply {
    mach_msg_header_t head;
    NDR_record_t ndr;
    int32_t retcode;
    uint32_t value;
    mach_port_t local;
};
struct open_reply {
    mach_msg_header_t head;
    mach_msg_body_t body;
    mach_msg_port_descriptor_t port;
};
struct port_request {
    mach_msg_header_t head;
    mach_msg_body_t body;
    mach_msg_port_descriptor_t port;
};
#pragma pack(pop)

struct logged {
    mach_msg_id_t id;
    mach_port_t local;
    mach_port_t remote;
    mach_msg_size_t size;
    uint32_t trailer_size;
};

// What the handler saw, shared with the test thread.
struct handler_state {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<logged> log;
    std::vector<mach_port_t> private_ports;
    mach_port_t set = 0;
    bool held = false;  // a HOLD_ request is waiting in the handler
    bool release = false;
};
handler_state g_handler;

bool test_demux(mach_msg_header_t* request, mach_msg_header_t* reply) {
    const auto* trailer = reinterpret_cast<const mach_msg_audit_trailer_t*>(
        reinterpret_cast<uint8_t*>(request) + mach_msg_round(request->msgh_size));
    {
        std::lock_guard<std::mutex> lock(g_handler.mu);
        g_handler.log.push_back({request->msgh_id, request->msgh_local_port,
                                 request->msgh_remote_port, request->msgh_size,
                                 trailer->msgh_trailer_size});
    }
    g_handler.cv.notify_all();

    auto* out = reinterpret_cast<echo_reply*>(reply);
    out->head = {request->msgh_bits & MACH_MSGH_BITS_REMOTE_MASK,
                 36,
                 request->msgh_remote_port,
                 0,
                 0,
                 request->msgh_id + 100};
    out->ndr = NDR_record;
    mach_msg_id_t id = request->msgh_id;

    if (id == MACH_NOTIFY_NO_SENDERS) {
        mach_port_mod_refs(request->msgh_local_port, MACH_PORT_RIGHT_RECEIVE, -1);
        reply->msgh_remote_port = MACH_PORT_NULL;
        return true;
    }
    if (id == HOLD_ECHO || id == HOLD_OPEN) {
        std::unique_lock<std::mutex> lock(g_handler.mu);
        g_handler.held = true;
        g_handler.cv.notify_all();
        g_handler.cv.wait(lock, [] { return g_handler.release; });
        g_handler.held = false;
        g_handler.release = false;
        id = id == HOLD_ECHO ? ECHO : OPEN;
    }
    if (id == ECHO && request->msgh_size == sizeof(echo_request)) {
        out->head.msgh_size = sizeof(echo_reply);
        out->retcode = 0;
        out->value = reinterpret_cast<echo_request*>(request)->value;
        out->local = request->msgh_local_port;
        return true;
    }
    if (id == OPEN) {
        mach_port_t port = 0;
        if (mach_port_allocate(MACH_PORT_RIGHT_RECEIVE, &port) != 0 ||
            mach_port_request_notification_no_senders(port) != 0 ||
            mach_port_move_member(port, g_handler.set) != 0) {
            out->retcode = KERN_FAILURE;
            return true;
        }
        {
            std::lock_guard<std::mutex> lock(g_handler.mu);
            g_handler.private_ports.push_back(port);
        }
        auto* open = reinterpret_cast<open_reply*>(reply);
        open->head.msgh_bits |= MACH_MSGH_BITS_COMPLEX;
        open->head.msgh_size = sizeof(open_reply);
        open->body.msgh_descriptor_count = 1;
        open->port = {port, 0, 0, MACH_MSG_TYPE_MAKE_SEND, MACH_MSG_PORT_DESCRIPTOR};
        return true;
    }
    out->retcode = id == REFUSE ? 5 : MIG_BAD_ID;
    return id == REFUSE;
}

kern_return_t echo(mach_port_t port, uint32_t value, echo_reply* out, mach_msg_id_t id = ECHO) {
    echo_request req = {{0x13, sizeof req, port, 0, 0, id}, NDR_record, value};
    receive_buffer buf;
    kern_return_t kr = mach_msg_rpc(&req.head, buf.head(), sizeof buf.bytes, 5000);
    if (kr == 0) {
        std::memcpy(out, buf.bytes, sizeof *out);
    }
    return kr;
}

struct PortServer : ::testing::Test {
    scratch_dir dir;
    std::string path;
    mach_port_t service = 0, set = 0;
    std::thread loop;
    kern_return_t loop_result = 0;

    void SetUp() override {
        signal(SIGPIPE, SIG_DFL);
        path = dir.path + "/vantlesd.sock";
        setenv("VANTLESD_SOCKET", path.c_str(), 1);
        ASSERT_EQ(bootstrap_check_in(VANTLESD_SERVICE_NAME, &service), KERN_SUCCESS);
        ASSERT_EQ(mach_port_allocate(MACH_PORT_RIGHT_PORT_SET, &set), KERN_SUCCESS);
        ASSERT_EQ(mach_port_move_member(service, set), KERN_SUCCESS);
        {
            std::lock_guard<std::mutex> lock(g_handler.mu);
            g_handler.log.clear();
            g_handler.private_ports.clear();
            g_handler.set = set;
            g_handler.held = g_handler.release = false;
        }
        loop = std::thread([this] {
            loop_result = mach_msg_server(test_demux, 4096, set, MACH_RCV_TRAILER_AUDIT_OPTIONS);
        });
    }

    void TearDown() override {
        EXPECT_EQ(mach_port_mod_refs(set, MACH_PORT_RIGHT_PORT_SET, -1), KERN_SUCCESS);
        loop.join();
        EXPECT_EQ(loop_result, MACH_RCV_PORT_DIED);
        EXPECT_EQ(mach_port_mod_refs(service, MACH_PORT_RIGHT_RECEIVE, -1), KERN_SUCCESS);
        for (mach_port_t port : g_handler.private_ports) {
            mach_port_mod_refs(port, MACH_PORT_RIGHT_RECEIVE, -1);  // those still alive
        }
        unsetenv("VANTLESD_SOCKET");
    }

    mach_port_t connect_client() {
        mach_port_t port = 0;
        EXPECT_EQ(port_connect(nullptr, &port), 0);
        return port;
    }

    // The send right of a new private port, and the port's name on the server side.
    mach_port_t open_private(mach_port_t conn, mach_port_t* server_name) {
        echo_request req = {{0x13, sizeof req, conn, 0, 0, OPEN}, NDR_record, 0};
        receive_buffer buf;
        EXPECT_EQ(mach_msg_rpc(&req.head, buf.head(), sizeof buf.bytes, 5000), KERN_SUCCESS);
        auto* reply = reinterpret_cast<open_reply*>(buf.bytes);
        EXPECT_EQ(reply->head.msgh_id, OPEN + 100);
        std::lock_guard<std::mutex> lock(g_handler.mu);
        *server_name = g_handler.private_ports.back();
        return reply->port.name;
    }

    // The no-senders notices the handler saw for port.
    std::vector<logged> notices(mach_port_t port) {
        std::lock_guard<std::mutex> lock(g_handler.mu);
        std::vector<logged> found;
        for (const logged& l : g_handler.log) {
            if (l.id == MACH_NOTIFY_NO_SENDERS && l.local == port)
                found.push_back(l);
        }
        return found;
    }

    void wait_until_held() {
        std::unique_lock<std::mutex> lock(g_handler.mu);
        ASSERT_TRUE(
            g_handler.cv.wait_for(lock, std::chrono::seconds(5), [] { return g_handler.held; }));
    }

    void release_handler() {
        std::lock_guard<std::mutex> lock(g_handler.mu);
        g_handler.release = true;
        g_handler.cv.notify_all();
    }
};

TEST_F(PortServer, RepliesGoBackOnTheConnectionOfTheRequest) {
    constexpr int CLIENTS = 8, ROUNDS = 50;
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < CLIENTS; ++c) {
        clients.emplace_back([&, c] {
            mach_port_t conn = connect_client();
            for (int i = 0; i < ROUNDS; ++i) {
                echo_reply reply = {};
                uint32_t value = static_cast<uint32_t>(c * 1000 + i);
                if (echo(conn, value, &reply) != 0 || reply.head.msgh_id != ECHO + 100 ||
                    reply.value != value || reply.local != service) {
                    failures++;
                }
            }
            close(static_cast<int>(conn));
        });
    }
    for (auto& t : clients)
        t.join();
    EXPECT_EQ(failures.load(), 0);

    std::lock_guard<std::mutex> lock(g_handler.mu);
    for (const logged& l : g_handler.log) {
        EXPECT_NE(l.remote, 0u);
        EXPECT_EQ(l.trailer_size, MACH_MSG_TRAILER_AUDIT_SIZE);
    }
}

TEST_F(PortServer, ClosingTheSendRightYieldsOneNoSendersNotice) {
    mach_port_t conn = connect_client();
    mach_port_t server_port = 0;
    mach_port_t right = open_private(conn, &server_port);
    ASSERT_NE(right, 0u);

    echo_reply reply = {};
    ASSERT_EQ(echo(right, 5, &reply), KERN_SUCCESS);
    EXPECT_EQ(reply.local, server_port);  // requests on the private port arrive on it
    EXPECT_TRUE(notices(server_port).empty());

    close(static_cast<int>(right));
    ASSERT_TRUE(eventually([&] { return !notices(server_port).empty(); }));
    // Let the loop go round once more before counting.
    ASSERT_EQ(echo(conn, 1, &reply), KERN_SUCCESS);
    auto seen = notices(server_port);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].remote, 0u);
    EXPECT_EQ(seen[0].size, sizeof(mach_no_senders_notification_t));
    close(static_cast<int>(conn));
}

TEST_F(PortServer, NoSendersWaitsForEveryHolderOfTheRight) {
    mach_port_t conn = connect_client();
    mach_port_t server_port = 0;
    const int right = static_cast<int>(open_private(conn, &server_port));
    int go[2];
    ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only raw system calls here: the parent's threads may hold locks we inherited.
        char c;
        if (read(go[0], &c, 1) != 1)
            _exit(2);
        echo_request req = {{0x13, sizeof req, 0, 0, 0, ECHO}, NDR_record, 31};
        if (write(right, &req, sizeof req) != sizeof req)
            _exit(3);
        echo_reply reply;
        if (read(right, &reply, sizeof reply) != sizeof reply || reply.head.msgh_id != ECHO + 100)
            _exit(4);
        _exit(0);
    }
    close(right);  // the child's copy keeps the port alive
    ASSERT_EQ(write(go[1], "g", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's request failed: the port died early";

    ASSERT_TRUE(eventually([&] { return !notices(server_port).empty(); }));
    std::lock_guard<std::mutex> lock(g_handler.mu);
    bool echo_seen = false;
    for (const logged& l : g_handler.log) {
        if (l.local == server_port && l.id == ECHO)
            echo_seen = true;
        if (l.local == server_port && l.id == MACH_NOTIFY_NO_SENDERS) {
            EXPECT_TRUE(echo_seen) << "notice before the child's request";
        }
    }
    close(go[0]);
    close(go[1]);
    close(static_cast<int>(conn));
}

TEST_F(PortServer, PortDroppedDuringItsRequestStillAnswers) {
    mach_port_t conn = connect_client();
    mach_port_t server_port = 0;
    mach_port_t right = open_private(conn, &server_port);
    echo_request req = {{0x13, sizeof req, right, 0, 0, HOLD_ECHO}, NDR_record, 17};
    ASSERT_EQ(mach_msg_send(&req.head, 1000), KERN_SUCCESS);
    wait_until_held();

    EXPECT_EQ(mach_port_mod_refs(server_port, MACH_PORT_RIGHT_RECEIVE, -1), KERN_SUCCESS);
    release_handler();

    receive_buffer buf;
    ASSERT_EQ(mach_msg_receive(right, buf.head(), sizeof buf.bytes, 5000), KERN_SUCCESS);
    EXPECT_EQ(buf.head()->msgh_id, HOLD_ECHO + 100);
    EXPECT_EQ(reinterpret_cast<echo_reply*>(buf.bytes)->value, 17u);
    // Once the loop lets go of it, the dropped port closes.
    EXPECT_EQ(mach_msg_receive(right, buf.head(), sizeof buf.bytes, 5000), MACH_RCV_PORT_DIED);
    close(static_cast<int>(right));
    close(static_cast<int>(conn));
}

TEST_F(PortServer, PortsDroppedFromAnotherThreadWhileClientsSend) {
    constexpr int CLIENTS = 4;
    mach_port_t conns[CLIENTS], rights[CLIENTS], server_ports[CLIENTS];
    for (int c = 0; c < CLIENTS; ++c) {
        conns[c] = connect_client();
        rights[c] = open_private(conns[c], &server_ports[c]);
    }
    std::atomic<int> successes[CLIENTS] = {};
    kern_return_t last[CLIENTS] = {};
    std::vector<std::thread> clients;
    for (int c = 0; c < CLIENTS; ++c) {
        clients.emplace_back([&, c] {
            echo_reply reply;
            for (int i = 0; i < 1000000; ++i) {
                last[c] = echo(rights[c], static_cast<uint32_t>(i), &reply);
                if (last[c] != 0)
                    return;
                successes[c]++;
            }
        });
    }
    for (int c = 0; c < CLIENTS; ++c) {
        ASSERT_TRUE(eventually([&] { return successes[c].load() >= 20; }));
        EXPECT_EQ(mach_port_mod_refs(server_ports[c], MACH_PORT_RIGHT_RECEIVE, -1), KERN_SUCCESS);
    }
    for (auto& t : clients)
        t.join();
    for (int c = 0; c < CLIENTS; ++c) {
        EXPECT_TRUE(last[c] == MACH_SEND_INVALID_DEST || last[c] == MACH_RCV_PORT_DIED)
            << mach_error_string(last[c]);
        close(static_cast<int>(rights[c]));
    }
    // The server keeps serving.
    echo_reply reply;
    EXPECT_EQ(echo(conns[0], 3, &reply), KERN_SUCCESS);
    for (mach_port_t conn : conns)
        close(static_cast<int>(conn));
}

TEST_F(PortServer, RefusedRequestLosesWhatItCarried) {
    mach_port_t conn = connect_client();
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
    port_request req = {};
    req.head = {MACH_MSGH_BITS_COMPLEX | 0x13, sizeof req, conn, 0, 0, REFUSE};
    req.body.msgh_descriptor_count = 1;
    req.port = {static_cast<mach_port_t>(sv[0]), 0, 0, MACH_MSG_TYPE_COPY_SEND,
                MACH_MSG_PORT_DESCRIPTOR};
    receive_buffer buf;
    ASSERT_EQ(mach_msg_rpc(&req.head, buf.head(), sizeof buf.bytes, 5000), KERN_SUCCESS);
    EXPECT_EQ(reinterpret_cast<echo_reply*>(buf.bytes)->retcode, 5);

    close(sv[0]);
    EXPECT_TRUE(peer_closed(sv[1])) << "the server kept the refused request's right";
    close(sv[1]);
    close(static_cast<int>(conn));
}

TEST_F(PortServer, UndeliverableReplyReleasesTheRightItMade) {
    mach_port_t conn = connect_client();
    echo_request req = {{0x13, sizeof req, conn, 0, 0, HOLD_OPEN}, NDR_record, 0};
    ASSERT_EQ(mach_msg_send(&req.head, 1000), KERN_SUCCESS);
    wait_until_held();
    close(static_cast<int>(conn));  // the reply can not be delivered
    release_handler();

    mach_port_t server_port = 0;
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(g_handler.mu);
        if (g_handler.private_ports.empty())
            return false;
        server_port = g_handler.private_ports.back();
        return true;
    }));
    // The made send right died with the reply, so the port has no senders.
    EXPECT_TRUE(eventually([&] { return !notices(server_port).empty(); }));
}

// A datagram with a whole header that is no message is answered with -304 and the connection
// lives on; one shorter than a header ends its socket as a hang-up does.
TEST_F(PortServer, MalformedRequestsAreAnsweredOrEndTheirSocket) {
    mach_port_t conn = connect_client();
    uint8_t garbage[30] = {1, 2, 3};  // msgh_size 0, id 0
    std::vector<uint8_t> too_big(5000, 0);
    port_store_u32(too_big.data() + 4, 5000);  // over the loop's 4096-byte limit
    receive_buffer buf;
    for (const std::vector<uint8_t>& bytes :
         {std::vector<uint8_t>(garbage, garbage + 30), too_big}) {
        ASSERT_EQ(raw_send(static_cast<int>(conn), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
        ASSERT_EQ(mach_msg_receive(conn, buf.head(), sizeof buf.bytes, 5000), KERN_SUCCESS);
        auto* refusal = reinterpret_cast<echo_reply*>(buf.bytes);
        EXPECT_EQ(refusal->head.msgh_bits, bytes[0] & MACH_MSGH_BITS_REMOTE_MASK);
        EXPECT_EQ(refusal->head.msgh_id, 100);
        EXPECT_EQ(refusal->retcode, MIG_BAD_ARGUMENTS);
    }
    echo_reply reply = {};
    ASSERT_EQ(echo(conn, 8, &reply), KERN_SUCCESS);
    EXPECT_EQ(reply.value, 8u);
    {
        std::lock_guard<std::mutex> lock(g_handler.mu);
        EXPECT_EQ(g_handler.log.size(), 1u);  // only the echo reached the handler
    }
    mach_port_t server_port = 0;
    mach_port_t right = open_private(conn, &server_port);
    ASSERT_EQ(raw_send(static_cast<int>(right), garbage, 3), 3);
    EXPECT_TRUE(eventually([&] { return !notices(server_port).empty(); }));
    ASSERT_EQ(raw_send(static_cast<int>(conn), garbage, 0), 0);  // from a live peer
    EXPECT_EQ(mach_msg_receive(conn, buf.head(), sizeof buf.bytes, 5000), MACH_RCV_PORT_DIED);
    close(static_cast<int>(right));
    close(static_cast<int>(conn));
}

TEST_F(PortServer, DescriptorCountStaysFlatOverManyConnections) {
    // A connection kept open throughout: once it is answered the loop is fully set up, and the
    // baseline holds no connection whose hang-up is still pending.
    echo_reply reply;
    mach_port_t warm = connect_client();
    ASSERT_EQ(echo(warm, 0, &reply), KERN_SUCCESS);
    const int baseline = count_open_fds();

    for (int i = 0; i < 1000; ++i) {
        mach_port_t conn = connect_client();
        ASSERT_EQ(echo(conn, static_cast<uint32_t>(i), &reply), KERN_SUCCESS);
        close(static_cast<int>(conn));
    }
    // Hang-ups are handled asynchronously; the count must come back to where it was.
    EXPECT_TRUE(eventually([&] { return count_open_fds() == baseline; }))
        << count_open_fds() << " open, " << baseline << " before";
    close(static_cast<int>(warm));
}

// A connection made under another effective uid (the peer credentials are taken at connect).
mach_port_t connect_as(uid_t uid) {
    mach_port_t port = 0;
    EXPECT_EQ(seteuid(uid), 0);
    EXPECT_EQ(port_connect(nullptr, &port), 0);
    EXPECT_EQ(seteuid(0), 0);
    return port;
}

TEST_F(PortServer, ConnectionsAreSharedPerUserAndIdleOnesClosed) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to connect as other users";
    }
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    port_set_connection_limits({2, 3, 400});
    echo_reply reply;
    mach_port_t mine[3] = {connect_as(65534), connect_as(65534), connect_as(65534)};
    mach_port_t other = connect_as(65533);
    mach_port_t over_all = connect_as(65532);
    mach_port_t root = connect_client();
    EXPECT_EQ(echo(root, 1, &reply), KERN_SUCCESS);  // the loop has seen every connection
    // Each user's share, then the unprivileged users' together; root is never refused.
    EXPECT_EQ(echo(mine[0], 1, &reply), KERN_SUCCESS);
    EXPECT_EQ(echo(mine[1], 1, &reply), KERN_SUCCESS);
    EXPECT_TRUE(peer_closed(static_cast<int>(mine[2])));
    EXPECT_EQ(echo(other, 1, &reply), KERN_SUCCESS);
    EXPECT_TRUE(peer_closed(static_cast<int>(over_all)));

    // Only connections without requests are closed, and their users may connect again.
    EXPECT_TRUE(eventually([&] {
        return echo(root, 2, &reply) == KERN_SUCCESS && peer_closed(static_cast<int>(mine[0])) &&
               peer_closed(static_cast<int>(other));
    }));
    EXPECT_FALSE(peer_closed(static_cast<int>(root)));
    mach_port_t again = connect_as(65534);
    EXPECT_EQ(echo(again, 3, &reply), KERN_SUCCESS);
    EXPECT_TRUE(eventually([&] { return peer_closed(static_cast<int>(root)); }));

    port_set_connection_limits({PORT_CONNECTIONS_PER_USER_DEFAULT, UINT32_MAX,
                                PORT_IDLE_TIMEOUT_MS_DEFAULT});
    for (mach_port_t port : {mine[0], mine[1], mine[2], other, over_all, root, again}) {
        close(static_cast<int>(port));
    }
}

}  // namespace
