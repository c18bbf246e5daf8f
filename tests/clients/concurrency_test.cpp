// The client tables under concurrent use: a table replaced while the router is inside the old
// one stays whole (removed headers readable and marked) until the router leaves, and delivery
// threads that come and go while events are routed, swept and woken leave every event
// reference and client_map bit released.
#include "clients/client_loop.h"
#include "clients/wakeup.h"
#include "clients_fixture.h"

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

class Concurrency : public ClientsTest {
protected:
    // Announces a reader inside table, as the router does for each scan.
    static void enter(prefix_table* table) {
        prefix_table_readers.fetch_add(1);
        prefix_table_in_use.store(table);
    }
    static void leave() {
        prefix_table_in_use.store(nullptr);
        prefix_table_readers.fetch_sub(1);
    }
};

TEST_F(Concurrency, ReplacedTableStaysWholeWhileTheRouterIsInside) {
    client_info* first = make({});
    ASSERT_NE(first, nullptr);
    prefix_table* old = current_prefix_table.load();
    enter(old);

    std::atomic<bool> added{false};
    client_info* second = nullptr;
    std::thread adder([&] {
        client_options o;
        o.paths = {"/c"};
        EXPECT_EQ(make(o, &second), 0);
        added = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(added.load());  // publishing waits for the reader
    EXPECT_NE(current_prefix_table.load(), old);
    ASSERT_EQ(old->count, 1);
    EXPECT_STREQ(old->entries[0]->path, "/a/b");
    leave();
    adder.join();
    ASSERT_TRUE(added.load());
    made.push_back(second);
    EXPECT_EQ(table_count(), 2);

    // Removing the last client of a path: the header leaves the new table at once, and in the
    // old one it stays readable, marked removed, until the reader has left.
    old = current_prefix_table.load();
    prefix_header* dead = header_at(0);  // "/c" sorts first
    ASSERT_STREQ(dead->path, "/c");
    enter(old);
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        forget(second);
        removed = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(removed.load());
    pthread_mutex_lock(&prefix_lock);  // as the router reads headers
    EXPECT_EQ(dead->device, PREFIX_HEADER_REMOVED);
    EXPECT_STREQ(dead->path, "/c");
    pthread_mutex_unlock(&prefix_lock);
    EXPECT_EQ(table_count(), 1);
    leave();
    remover.join();
    EXPECT_TRUE(removed.load());
}

TEST_F(Concurrency, DeliveryThreadsComeAndGoWhileEventsAreRouted) {
    std::atomic<int32_t> registration{0};
    registration.store(1);
    int32_t clients_before = num_clients.load();
    std::atomic<bool> stop_router{false};

    // The event thread's work: route, sweep and run the latency pass, with a kernel drop now
    // and then, which walks client_table. Every path is new, so no pending record is merged
    // into while a delivery thread reads it.
    std::thread router([&] {
        uint64_t id = 1;
        timeval now{5000, 0};
        while (!stop_router.load()) {
            std::string path = "/s/" + std::to_string(id % 40) + "/f" + std::to_string(id);
            route(path, id, id % 97 == 0 ? EVENT_KERNEL_DROPPED : EVENT_CONTENT_MODIFIED);
            id++;
            sweep_event_table(&table);
            now.tv_usec += 500;
            if (now.tv_usec >= 1000000) {
                now = {now.tv_sec + 1, 0};
            }
            latency_pass(&now);
            std::this_thread::sleep_for(100us);
        }
    });

    for (int round = 0; round < 12; round++) {
        std::vector<client_info*> live;
        for (int k = 0; k < 3; k++) {
            client_options o;
            o.paths = {k == 0 ? "/s" : "/s/" + std::to_string(round + k)};
            o.flags = CLIENT_FILE_EVENTS | (k == 1 ? CLIENT_NO_DEFER : 0);
            o.latency = k == 2 ? 2000 : 0;
            o.ring_size = 8;  // small enough to fill now and then
            o.ctx = &registration;
            client_info* fci = nullptr;
            ASSERT_EQ(make(o, &fci), 0);
            registration.fetch_add(1);
            num_clients.fetch_add(1);
            fci->release = release_count;
            ASSERT_EQ(start_client_thread(fci), 0);
            live.push_back(fci);
        }
        std::this_thread::sleep_for(20ms);
        for (client_info* fci : live) {
            pthread_mutex_lock(&fci->lock);
            fci->flags.fetch_or(CLIENT_GOING_AWAY);
            pthread_mutex_unlock(&fci->lock);
            client_wakeup(fci);
        }
        ASSERT_TRUE([&] {
            for (int i = 0; i < 1000 && num_clients.load() != clients_before; i++) {
                std::this_thread::sleep_for(10ms);
            }
            return num_clients.load() == clients_before;
        }());
    }
    stop_router = true;
    router.join();

    EXPECT_EQ(registration.load(), 1);
    EXPECT_EQ(table_count(), 0);
    EXPECT_FALSE(sink.all().empty());
    // Every record left in the event table is released and in nobody's ring.
    for (uint32_t b = 0; b <= table.mask; b++) {
        for (event_record* e = table.buckets[b]; e; e = e->next) {
            EXPECT_EQ(e->refcount.load(), 0) << e->path;
            for (auto& byte : e->client_map) {
                EXPECT_EQ(byte.load(), 0) << e->path;
            }
        }
    }
}

}  // namespace
