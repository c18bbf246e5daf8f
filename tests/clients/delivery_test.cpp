// Delivery: the cycle's order, batches and filters, failed batches, the latency pass, and
// delivery threads that send the owed notices, deliver, and tear their client down, giving back
// the client count and every event reference.
#include "clients/client_loop.h"
#include "clients/wakeup.h"
#include "clients_fixture.h"
#include "common/thread_role.h"
#include "platform/mach_msg.h"

namespace {

using Delivery = ClientsTest;

// Queued in reverse id order, delivered in id order in batches of at most 32, less the excluded
// path, own events marked; every reference and client_map bit given back.
TEST_F(Delivery, OrderBatchesExclusionsAndOwnEvents) {
    client_options o;
    o.paths = {"/t"};
    o.excluded = {"/t/x"};
    o.flags = CLIENT_FILE_EVENTS | CLIENT_MARK_SELF;
    o.pid = 7;
    client_info* fci = make(o);
    for (uint64_t id = 40; id >= 1; id--) {
        std::string path = id == 10 ? "/t/x/f" : "/t/f" + std::to_string(id);
        route(path, id, EVENT_CONTENT_MODIFIED, 0, id == 20 ? 7 : 8);
    }
    std::vector<event_record*> held(fci->ring, fci->ring + client_num_pending(fci));
    EXPECT_EQ(client_process_events(fci), 0);
    ASSERT_EQ(sink.batches.size(), 2u);
    EXPECT_EQ(sink.batches[0].size(), 31u);  // the first 32, less the excluded one
    auto all = sink.all();
    ASSERT_EQ(all.size(), 39u);
    for (size_t i = 0; i < all.size(); i++) {
        EXPECT_EQ(all[i].id, i + (i < 9 ? 1 : 2));
        EXPECT_EQ(all[i].flags, EVENT_CONTENT_MODIFIED | (all[i].id == 20 ? EVENT_OWN_EVENT : 0));
    }
    for (event_record* e : held) {
        EXPECT_EQ(e->refcount.load(), 0);
        EXPECT_FALSE(client_map_test(e, fci->index));
    }
}

// A timed-out batch is lost (first lost id kept) and the rest stays; a dead port ends the
// client before the next chunk.
TEST_F(Delivery, FailedBatches) {
    client_info* fci = make({});
    for (uint64_t id = 1; id <= 40; id++) {
        route("/a/b/f" + std::to_string(id), id);
    }
    sink.result = MACH_SEND_TIMED_OUT;
    EXPECT_EQ(client_process_events(fci), 0);
    EXPECT_EQ(client_num_pending(fci), 8u);
    EXPECT_EQ(fci->dropped_id.load(), 1u);

    sink.result = MACH_SEND_INVALID_DEST;
    EXPECT_EQ(client_process_events(fci), MACH_SEND_INVALID_DEST);
    EXPECT_TRUE(fci->flags.load() & CLIENT_GOING_AWAY);
    EXPECT_EQ(fci->dropped_id.load(), 1u);
}

// The pass answers the time until the next client is due (0: nobody), opening a client's window
// on its first pass and restarting it when it wakes an overdue client.
TEST_F(Delivery, LatencyPass) {
    timeval now{1000, 0};
    EXPECT_EQ(latency_pass(&now), 0u);
    client_info* fci = make({});        // latency 1 s
    EXPECT_EQ(latency_pass(&now), 0u);  // nothing pending
    EXPECT_EQ(fci->last_wake, 1000000000u);

    route("/a/b/c", 1);
    now = {1000, 400000};
    EXPECT_EQ(latency_pass(&now), 600000u);
    EXPECT_EQ(fci->last_wake, 1000000000u);
    now = {1001, 100000};
    EXPECT_EQ(latency_pass(&now), 0u);
    EXPECT_EQ(fci->last_wake, 1001100000u);

    // Without latency a client is due at once, which is not "nobody": 1.
    forget(fci);
    client_options o;
    o.latency = 0;
    client_info* eager = make(o);
    route("/a/b/c", 2);
    now = {3000, 0};
    EXPECT_EQ(latency_pass(&now), 1u);
    now = {3000, 1};
    EXPECT_EQ(latency_pass(&now), 0u);
    EXPECT_EQ(eager->last_wake, 3000000001u);
}

class DeliveryThread : public Delivery {
protected:
    std::atomic<int32_t> registration{2};  // dropped to 1 by the thread's teardown
    int32_t clients_before = 0;

    void SetUp() override {
        Delivery::SetUp();
        clients_before = num_clients.load();
    }
    // A client as its creator leaves it for start_client_thread.
    client_info* make_owned(client_options o) {
        o.ctx = &registration;
        client_info* fci = nullptr;
        EXPECT_EQ(make(o, &fci), 0);
        num_clients.fetch_add(1);
        fci->release = release_count;
        return fci;
    }
    void stop(client_info* fci) {
        pthread_mutex_lock(&fci->lock);
        fci->flags.fetch_or(CLIENT_GOING_AWAY);
        pthread_mutex_unlock(&fci->lock);
        client_wakeup(fci);
        EXPECT_TRUE(wait_until([&] { return num_clients.load() == clients_before; }));
        EXPECT_EQ(registration.load(), 1);
        EXPECT_EQ(table_count(), 0);
    }
    bool delivered(size_t n) {
        return wait_until([&] { return sink.all().size() >= n; }) && sink.all().size() == n;
    }
};

// The owed notices come first without a wake-up (history done with the since-when, then the
// dropped notice with the first lost id), then the ring; the teardown releases what is queued.
TEST_F(DeliveryThread, NoticesThenEventsThenTeardown) {
    client_options o;
    o.ring_size = 4;
    o.since_when = 3;
    client_info* fci = make_owned(o);
    for (uint64_t id = 5; id <= 8; id++) {
        route("/a/b/f" + std::to_string(id), id);
    }
    std::vector<event_record*> held(fci->ring, fci->ring + client_num_pending(fci));
    ASSERT_EQ(start_client_thread(fci), 0);
    ASSERT_TRUE(delivered(5));
    auto all = sink.all();
    EXPECT_EQ(all[0].flags, HISTORY_DONE);
    EXPECT_EQ(all[0].id, 3u);
    EXPECT_EQ(all[0].path, "/a/b");
    EXPECT_EQ(all[1].flags, EVENT_USER_DROPPED);
    EXPECT_EQ(all[1].id, 8u);
    EXPECT_EQ(all[2].id, 5u);
    EXPECT_EQ(all[4].id, 7u);
    ASSERT_TRUE(wait_until([&] { return client_num_pending(fci) == 0; }));

    route("/a/b/late", 9);
    held.push_back(fci->ring[fci->rd.load()]);
    stop(fci);
    for (event_record* e : held) {
        EXPECT_EQ(e->refcount.load(), 0);
    }
}

// A client whose thread ended idle is restarted by the latency pass, without a second history
// notice.
TEST_F(DeliveryThread, OverdueClientRestartsAfterIdleExit) {
    client_options o;
    o.since_when = 1;
    client_info* fci = make_owned(o);
    fci->flags.fetch_or(CLIENT_STARTED | CLIENT_THREAD_EXITED);
    timeval now{2000, 0};
    latency_pass(&now);
    route("/a/b/c", 5);
    now = {2001, 0};
    EXPECT_EQ(latency_pass(&now), 0u);
    ASSERT_TRUE(delivered(1));
    EXPECT_EQ(sink.all()[0].id, 5u);
    EXPECT_FALSE(fci->flags.load() & CLIENT_THREAD_EXITED);
    stop(fci);
}

// A loss noted while the dropped notice is being sent owes a notice of its own.
TEST_F(DeliveryThread, LossDuringTheDroppedNoticeIsReportedAgain) {
    client_options o;
    o.ring_size = 2;
    client_info* fci = make_owned(o);
    route("/a/b/f1", 1);
    route("/a/b/f2", 2);  // lost
    static decltype(this) self;
    static bool routed;
    self = this;
    routed = false;
    sink_hook.store([](int32_t, const uint32_t* flags, const uint64_t*) {
        if (flags[0] == EVENT_USER_DROPPED && !routed) {
            routed = true;  // the event thread finds the ring still full meanwhile
            thread_role_set(THREAD_ROLE_EVENT);
            self->route("/a/b/f3", 3);
            thread_role_set(THREAD_ROLE_DELIVERY);
        }
    });
    ASSERT_EQ(start_client_thread(fci), 0);
    ASSERT_TRUE(delivered(3));
    sink_hook.store(nullptr);
    auto all = sink.all();
    EXPECT_EQ(all[0].flags, EVENT_USER_DROPPED);
    EXPECT_EQ(all[0].id, 2u);
    EXPECT_EQ(all[1].id, 1u);
    EXPECT_EQ(all[2].flags, EVENT_USER_DROPPED);
    EXPECT_EQ(all[2].id, 3u);
    stop(fci);
}

// A thread that cannot take on its client's identity judges nothing with the daemon's: it sends
// the notices but no event.
TEST_F(DeliveryThread, ClientWhoseIdentityCannotBeTakenOnGetsNoEvents) {
    client_options o;
    o.uid = 0xFFFFFFFF;  // refused by the identity layer
    o.since_when = 1;
    o.paths = {"/"};
    client_info* fci = make_owned(o);
    route("/", 5);  // readable by the daemon itself
    capture_log();
    ASSERT_EQ(start_client_thread(fci), 0);
    ASSERT_TRUE(delivered(1));
    EXPECT_EQ(sink.all()[0].flags, HISTORY_DONE);
    client_wakeup(fci);
    EXPECT_TRUE(wait_until([&] { return client_num_pending(fci) == 0; }));
    stop(fci);
    std::string log = captured_log();
    EXPECT_EQ(sink.all().size(), 1u);
    EXPECT_NE(log.find("client_loop: initgroups failed for user  uid -1 gid -1"), std::string::npos)
        << log;
}

}  // namespace

TEST(ThreadRoles, EventThreadWorkOnAnotherThreadStops) {
#if VANTLES_CHECK_THREAD_ROLES
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            thread_role_set(THREAD_ROLE_DELIVERY);
            timeval now{};
            latency_pass(&now);
        },
        "");
#else
    GTEST_SKIP() << "built without the thread checks";
#endif
}
