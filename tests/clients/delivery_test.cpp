// Delivery: the cycle's ordering, batching, exclusions and own-event marks; a failed batch;
// the latency pass; and whole delivery threads that send the owed notices, deliver, and
// tear their client down, giving back the client count and every event reference.
#include "clients/client_loop.h"
#include "clients/wakeup.h"
#include "common/thread_role.h"
#include "clients_fixture.h"
#include "platform/mach_msg.h"
#include "platform/thread_identity.h"
#include "tests/support/scratch_root.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fcntl.h>
#include <thread>

namespace {

using Delivery = ClientsTest;

// Waits up to five seconds for pred.
template <typename F>
bool eventually(F pred) {
    for (int i = 0; i < 500; i++) {
        if (pred()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

TEST_F(Delivery, OrderBatchesExclusionsAndOwnEvents) {
    client_options o;
    o.paths = {"/t"};
    o.excluded = {"/t/x"};
    o.flags = CLIENT_FILE_EVENTS | CLIENT_MARK_SELF;
    o.pid = 7;
    client_info* fci = make(o);
    ASSERT_NE(fci, nullptr);

    // 40 events queued in reverse id order, one of them excluded, one inside the exclusion's
    // name but not below it.
    for (uint64_t id = 40; id >= 1; id--) {
        std::string path = "/t/f" + std::to_string(id);
        if (id == 10) {
            path = "/t/x/f";
        } else if (id == 11) {
            path = "/t/x";
        }
        route(path, id, EVENT_CONTENT_MODIFIED, 0, id == 20 ? 7 : 8);
    }
    std::vector<event_record*> held;
    for (uint32_t i = 0; i < client_num_pending(fci); i++) {
        held.push_back(fci->ring[i]);
    }

    EXPECT_EQ(client_process_events(fci), 0);
    EXPECT_EQ(client_num_pending(fci), 0u);
    ASSERT_EQ(sink.batches.size(), 2u);
    EXPECT_EQ(sink.batches[0].size(), 31u);  // the first 32, less the excluded one
    EXPECT_EQ(sink.batches[1].size(), 8u);
    auto all = sink.all();
    for (size_t i = 1; i < all.size(); i++) {
        EXPECT_LT(all[i - 1].id, all[i].id);
    }
    for (const auto& e : all) {
        EXPECT_NE(e.path, "/t/x/f");
        EXPECT_EQ(e.flags,
                  e.id == 20 ? EVENT_CONTENT_MODIFIED | EVENT_OWN_EVENT : EVENT_CONTENT_MODIFIED);
    }
    EXPECT_EQ(fci->last_id_sent.load(), 40u);
    for (event_record* e : held) {
        EXPECT_EQ(e->refcount.load(), 0);
        EXPECT_FALSE(client_map_test(e, fci->index));
    }
}

TEST_F(Delivery, TimedOutBatchIsLostAndTheRestStays) {
    client_info* fci = make({});
    ASSERT_NE(fci, nullptr);
    for (uint64_t id = 1; id <= 40; id++) {
        route("/a/b/f" + std::to_string(id), id);
    }
    sink.result = MACH_SEND_TIMED_OUT;
    EXPECT_EQ(client_process_events(fci), 0);
    EXPECT_EQ(client_num_pending(fci), 8u);
    EXPECT_TRUE(fci->flags.load() & CLIENT_EVENTS_DROPPED);
    EXPECT_EQ(fci->dropped_id.load(), 1u);

    // A dead port ends the client: the cycle stops before the next chunk.
    sink.result = MACH_SEND_INVALID_DEST;
    EXPECT_EQ(client_process_events(fci), MACH_SEND_INVALID_DEST);
    EXPECT_TRUE(fci->flags.load() & CLIENT_GOING_AWAY);
    EXPECT_EQ(fci->dropped_id.load(), 1u);  // still the first lost id
}

TEST_F(Delivery, LatencyPass) {
    timeval now{1000, 0};
    EXPECT_EQ(latency_pass(&now), 0u);

    client_info* fci = make({});  // latency 1 s
    ASSERT_NE(fci, nullptr);
    EXPECT_EQ(latency_pass(&now), 0u);  // nothing pending: opens its window only
    EXPECT_EQ(fci->last_wake, 1000000000u);

    route("/a/b/c", 1);
    now = {1000, 400000};
    EXPECT_EQ(latency_pass(&now), 600000u);
    EXPECT_EQ(fci->last_wake, 1000000000u);

    // Overdue: woken (a signal with no thread waiting), window restarted, nothing due.
    now = {1001, 100000};
    EXPECT_EQ(latency_pass(&now), 0u);
    EXPECT_EQ(fci->last_wake, 1001100000u);
}

TEST_F(Delivery, LatencyPassWithoutLatency) {
    client_options o;
    o.latency = 0;
    client_info* fci = make(o);
    ASSERT_NE(fci, nullptr);
    route("/a/b/c", 1);
    // The first pass opens the window; the client is due at once, which is not "nobody".
    timeval now{3000, 0};
    EXPECT_EQ(latency_pass(&now), 1u);
    EXPECT_EQ(fci->last_wake, 3000000000u);
    // The next pass wakes it (a signal with no thread waiting): nothing is due any more.
    now = {3000, 1};
    EXPECT_EQ(latency_pass(&now), 0u);
    EXPECT_EQ(fci->last_wake, 3000000001u);
}

class DeliveryThread : public Delivery {
protected:
    // The registration record the delivery thread drops its reference to at teardown.
    std::atomic<int32_t> registration{0};
    int32_t clients_before = 0;

    void SetUp() override {
        Delivery::SetUp();
        registration.store(2);
        clients_before = num_clients.load();
    }

    // What a creator does after create_client_info.
    void start(client_info* fci) {
        std::erase(made, fci);
        num_clients.fetch_add(1);
        fci->release = release_count;
        ASSERT_EQ(start_client_thread(fci), 0);
    }
    void stop(client_info* fci) {
        pthread_mutex_lock(&fci->lock);
        fci->flags.fetch_or(CLIENT_GOING_AWAY);
        pthread_mutex_unlock(&fci->lock);
        client_wakeup(fci);
        EXPECT_TRUE(eventually([&] { return num_clients.load() == clients_before; }));
        EXPECT_EQ(registration.load(), 1);
        EXPECT_EQ(table_count(), 0);
    }
};

TEST_F(DeliveryThread, NoticesThenEventsThenTeardown) {
    client_options o;
    o.ring_size = 4;
    o.since_when = 3;
    o.ctx = &registration;
    client_info* fci = make(o);
    ASSERT_NE(fci, nullptr);
    for (uint64_t id = 5; id <= 8; id++) {
        route("/a/b/f" + std::to_string(id), id);
    }
    std::vector<event_record*> held;
    for (uint32_t i = 0; i < client_num_pending(fci); i++) {
        held.push_back(fci->ring[i]);
    }

    // The owed notices come first, without a wake-up: history done with the since-when,
    // then the dropped notice with the first lost id; then what the ring held.
    start(fci);
    ASSERT_TRUE(eventually([&] { return sink.all().size() == 5; }));
    auto all = sink.all();
    EXPECT_EQ(all[0].flags, HISTORY_DONE);
    EXPECT_EQ(all[0].id, 3u);
    EXPECT_EQ(all[0].path, "/a/b");
    EXPECT_EQ(all[1].flags, EVENT_USER_DROPPED);
    EXPECT_EQ(all[1].id, 8u);
    EXPECT_EQ(all[2].id, 5u);
    EXPECT_EQ(all[4].id, 7u);
    EXPECT_TRUE(eventually([&] { return client_num_pending(fci) == 0; }));

    // Queued but undelivered events are released by the teardown.
    route("/a/b/late", 9);
    ASSERT_EQ(client_num_pending(fci), 1u);
    held.push_back(fci->ring[fci->rd.load()]);
    stop(fci);
    for (event_record* e : held) {
        EXPECT_EQ(e->refcount.load(), 0);
    }
}

TEST_F(DeliveryThread, OverdueClientRestartsAfterIdleExit) {
    client_options o;
    o.ctx = &registration;
    o.since_when = 1;  // would owe a history notice on its first thread only
    client_info* fci = make(o);
    ASSERT_NE(fci, nullptr);
    // As left by a thread that ended idle: started before, no thread now.
    fci->flags.fetch_or(CLIENT_STARTED | CLIENT_THREAD_EXITED);
    fci->release = release_count;
    std::erase(made, fci);
    num_clients.fetch_add(1);

    timeval now{2000, 0};
    latency_pass(&now);  // opens the window
    route("/a/b/c", 5);
    now = {2001, 0};
    EXPECT_EQ(latency_pass(&now), 0u);
    ASSERT_TRUE(eventually([&] { return sink.all().size() == 1; }));
    EXPECT_EQ(sink.all()[0].id, 5u);  // no history notice from a restarted thread
    EXPECT_FALSE(fci->flags.load() & CLIENT_THREAD_EXITED);
    stop(fci);
}

// A loss noted while the dropped notice is being sent owes a notice of its own: it is not
// cleared with the one in flight.
TEST_F(DeliveryThread, LossDuringTheDroppedNoticeIsReportedAgain) {
    client_options o;
    o.ring_size = 2;
    o.ctx = &registration;
    client_info* fci = make(o);
    ASSERT_NE(fci, nullptr);
    route("/a/b/f1", 1);
    route("/a/b/f2", 2);  // the ring is full: lost
    ASSERT_EQ(fci->dropped_id.load(), 2u);

    // The callback plays the event thread: during the first dropped notice, one more event
    // finds the ring still full.
    static decltype(this) self;
    static bool routed;
    self = this;
    routed = false;
    sink_hook.store([](int32_t, const uint32_t* flags, const uint64_t*) {
        if (flags[0] == EVENT_USER_DROPPED && !routed) {
            routed = true;
            thread_role_set(THREAD_ROLE_EVENT);
            self->route("/a/b/f3", 3);
            thread_role_set(THREAD_ROLE_DELIVERY);
        }
    });
    start(fci);
    ASSERT_TRUE(eventually([&] { return sink.all().size() == 3; }));
    sink_hook.store(nullptr);
    // The first notice, the event that was queued, then the notice of the later loss.
    auto all = sink.all();
    EXPECT_EQ(all[0].flags, EVENT_USER_DROPPED);
    EXPECT_EQ(all[0].id, 2u);
    EXPECT_EQ(all[1].id, 1u);
    EXPECT_EQ(all[2].flags, EVENT_USER_DROPPED);
    EXPECT_EQ(all[2].id, 3u);
    EXPECT_FALSE(fci->flags.load() & CLIENT_EVENTS_DROPPED);
    stop(fci);
}

// A delivery thread that cannot take on its client's identity judges nothing with the
// daemon's own: it still sends notices but no event whose reading it would have to check.
TEST_F(DeliveryThread, ClientWhoseIdentityCannotBeTakenOnGetsNoEvents) {
    client_options o;
    o.uid = 0xFFFFFFFF;  // refused by the identity layer
    o.ctx = &registration;
    o.since_when = 1;
    o.paths = {"/"};
    client_info* fci = make(o);
    ASSERT_NE(fci, nullptr);
    route("/", 5);  // readable by the daemon itself
    capture_log();
    start(fci);
    ASSERT_TRUE(eventually([&] { return sink.all().size() == 1; }));
    EXPECT_EQ(sink.all()[0].flags, HISTORY_DONE);
    client_wakeup(fci);
    EXPECT_TRUE(eventually([&] { return client_num_pending(fci) == 0; }));
    stop(fci);
    std::string log = captured_log();
    EXPECT_EQ(sink.all().size(), 1u);
    EXPECT_NE(log.find("client_loop: initgroups failed for user  uid -1 gid -1"), std::string::npos)
        << log;
}

// What clients of other users are told, decided with their own credentials on the thread
// that delivers. Runs in a scratch root (root only): the files live on its own tmpfs.
TEST_F(Delivery, ReadPermissionOfTheClientsUser) {
    if (!scratch_root_available()) {
        GTEST_SKIP() << "needs root and mount namespaces";
    }
    auto body = [this]() -> int {
        SCRATCH_CHECK(make_permission_tree());

        client_options o;
        o.paths = {"/tmp/p", "/tmp/q"};
        o.uid = 1000;
        client_info* user = nullptr;
        SCRATCH_CHECK(make(o, &user) == 0);
        o.uid = 1001;
        client_info* other = nullptr;
        SCRATCH_CHECK(make(o, &other) == 0);
        uint64_t id = 1;
        for (const char* path : {"/tmp/p/open", "/tmp/p/secret", "/tmp/p/gone", "/tmp/p/locked/x",
                                 "/tmp/q/sub/gone"}) {
            route(path, id++, EVENT_DELETE);
        }

        // Each client's cycle on a thread of its own, as its delivery thread would run it.
        auto deliver = [](client_info* fci) {
            std::thread t([fci] {
                if (thread_set_credentials(fci->uid, fci->gid, nullptr) == 0) {
                    client_process_events(fci);
                    thread_restore_credentials();
                }
            });
            t.join();
            std::vector<std::string> out;
            for (auto& e : active_sink->all()) {
                out.push_back(e.path);
            }
            active_sink->batches.clear();
            return out;
        };
        using v = std::vector<std::string>;
        v seen = deliver(user);
        // Readable, gone from a readable directory, gone below its own watched directory.
        SCRATCH_CHECK((seen == v{"/tmp/p/open", "/tmp/p/gone", "/tmp/q/sub/gone"}));
        seen = deliver(other);
        SCRATCH_CHECK((seen == v{"/tmp/p/open", "/tmp/p/gone"}));
        return 0;
    };
    EXPECT_EQ(run_in_scratch_root({}, body), 0);
}

}  // namespace

// Work of the event thread asked for on another of the daemon's threads stops the process.
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
