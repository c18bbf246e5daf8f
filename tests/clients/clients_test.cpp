// Client records, routing, delivery and replay, driven directly with the real router and a
// callback that records every batch. Volumes: the root (dev 1) and /srv/data (dev 5).
#include "clients/client_info.h"
#include "clients/client_loop.h"
#include "clients/client_tables.h"
#include "clients/event_table.h"
#include "clients/prefix_table.h"
#include "clients/read_check.h"
#include "clients/replay.h"
#include "clients/route.h"
#include "clients/wakeup.h"
#include "common/log.h"
#include "common/thread_role.h"
#include "tests/history/log_buffer_util.h"
#include "volumes/dev_info.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace {

using namespace history_test;
using strings = std::vector<std::string>;

template <typename F>
bool wait_until(F cond, int timeout_ms = 20000) {  // polls every millisecond
    for (int ms = 0; !cond(); ms++, std::this_thread::sleep_for(std::chrono::milliseconds(1)))
        if (ms == timeout_ms)
            return false;
    return true;
}

struct recording_sink {
    std::mutex lock;
    strings events;  // "path:id"
    std::vector<uint32_t> flags, batch_sizes;
    int32_t result = 0;                             // what the callback answers
    void (*hook)(const uint32_t* flags) = nullptr;  // sees each batch first, unlocked

    bool received(size_t n) {  // exactly n events, once n have come
        auto count = [&] { return std::lock_guard<std::mutex>(lock), events.size(); };
        return wait_until([&] { return count() >= n; }) && count() == n;
    }
    strings take() {
        std::lock_guard<std::mutex> guard(lock);
        batch_sizes.clear(), flags.clear();
        return std::exchange(events, {});
    }
};

int32_t record_batch(void* ctx, int32_t count, const int32_t*, const char* const* paths,
                     const uint32_t* flags, const uint32_t*, const uint64_t* ids) {
    auto* sink = static_cast<recording_sink*>(ctx);
    if (sink->hook)
        sink->hook(flags);
    std::lock_guard<std::mutex> guard(sink->lock);
    sink->batch_sizes.push_back(count);
    for (int32_t i = 0; i < count; i++) {
        sink->events.push_back(std::string(paths[i]) + ":" + std::to_string(ids[i]));
        sink->flags.push_back(flags[i]);
    }
    return sink->result;
}

class Clients : public ::testing::Test {
public:
    event_table table{};
    recording_sink sink;
    std::vector<client_info*> made;
    dev_info root{}, data{};
    dev_info* known[2] = {&root, &data};
    dev_table_t devs{known, 2};

    void SetUp() override {
        static bool once = vantle_rwlock_init(&volumes.dev_lock) == 0;
        ASSERT_TRUE(once);
        log_open("clients_tests", LOG_PERROR);
        ASSERT_EQ(event_table_init(&table, EVENT_TABLE_INITIAL_BUCKETS), 0);
        clear_client_tables();
        root.dev = 1, root.mount_point = const_cast<char*>("/"), root.depth = 1;
        data.dev = 5, data.mount_point = const_cast<char*>("/srv/data"), data.depth = 3;
        volumes.dev_table.store(&devs);
    }
    void TearDown() override {
        while (!made.empty())
            forget(made.back());
        if (prefix_table* old = publish_prefix_table(nullptr)) {
            EXPECT_EQ(old->count, 0);  // no header outlives its clients
            free(old->entries);
            free(old);
        }
        event_table_free(&table);
    }

    struct client_options {
        strings paths{"/a/b"};
        strings excluded{};
        uint32_t flags = CLIENT_FILE_EVENTS, device = 0;
        backlog_limits backlog = client_backlog_registered();
        uint32_t pid = 100, uid = 0;
        uint64_t since_when = EVENT_ID_WRAP, latency = 1000000;
    };
    client_info* make(const client_options& o, std::optional<int> expected = 0) {
        std::vector<const char*> paths, excluded;
        for (auto& p : o.paths)
            paths.push_back(p.c_str());
        for (auto& e : o.excluded)
            excluded.push_back(e.c_str());
        client_info* fci = nullptr;
        int err =
            create_client_info(o.pid, o.device, paths.data(), (int32_t)paths.size(),
                               excluded.data(), (int32_t)excluded.size(), o.latency, o.backlog,
                               o.since_when, o.flags, record_batch, &sink, o.uid, o.uid, &fci);
        EXPECT_EQ(err, expected.value_or(err));
        if (fci)
            made.push_back(fci);
        return fci;
    }
    // A client as its creator leaves it for start_client_thread: its thread frees it.
    client_info* owned(const client_options& o) {
        client_info* fci = make(o);
        std::erase(made, fci);
        clients.num_clients.fetch_add(1);
        return fci;
    }
    void stop(client_info* fci) {
        pthread_mutex_lock(&fci->lock);
        fci->flags.fetch_or(CLIENT_GOING_AWAY);
        pthread_mutex_unlock(&fci->lock);
        client_wakeup(fci);
        EXPECT_TRUE(wait_until([&] { return clients.num_clients.load() == 0; }));
    }
    // What a delivery thread's teardown does, without the thread.
    void forget(client_info* fci) {
        std::erase(made, fci);
        fci->flags.fetch_or(CLIENT_GOING_AWAY);
        pthread_mutex_lock(&clients.clients_lock);
        drain_client_backlog(fci);
        EXPECT_EQ(remove_paths(fci), 0);
        release_client_slot(fci);
        pthread_mutex_unlock(&clients.clients_lock);
        free_client_info(fci);
    }
    void route(const std::string& path, uint64_t id, uint32_t flags = EVENT_CONTENT_MODIFIED,
               uint32_t dev = 0, int32_t pid = 7) {
        std::string buffer = path;  // the router may normalise it in place
        route_event(&table, pid, dev, buffer.data(), (uint32_t)buffer.size() + 1,
                    (uint32_t)path.rfind('/') + 2, flags, id);
    }
    static strings backlog_of(const client_info* fci) {  // oldest first, "path:id"
        strings out;
        backlog_cursor at = backlog_front(&fci->backlog);
        for (uint32_t i = 0; i < client_num_pending(fci); i++) {
            const event_record* e = *backlog_next(&at);
            out.push_back(std::string(e->path) + ":" + std::to_string(e->id));
        }
        return out;
    }
    int replay(dev_info* v, client_info* c, bytes b, uint64_t since = 0) {  // consumed whole
        uint32_t consumed = 0;
        int r = process_disk_event_buf(v, c, b.data(), (uint32_t)b.size(), 1, since, &consumed,
                                       nullptr);
        EXPECT_EQ(consumed, b.size());
        return r;
    }
};

// Past the per-pid or the table's limit a new client is refused, leaving no pid entry behind; a
// removed client gives back its own slot only.
TEST_F(Clients, ClientLimits) {
    for (int i = 0; i < CLIENT_MAX_PER_PID; i++)
        ASSERT_NE(make({}), nullptr);
    EXPECT_EQ(make({}, ENOSPC), nullptr);
    EXPECT_EQ(make({.pid = 200}, ENOSPC), nullptr);
    EXPECT_TRUE(std::none_of(std::begin(clients.pid_table), std::end(clients.pid_table),
                             [](const pid_entry& e) { return e.pid == 200u; }));
    forget(made.front());
    EXPECT_NE(make({.pid = 200}), nullptr);  // the one slot given back
    EXPECT_EQ(make({.pid = 201}, ENOSPC), nullptr);
}

// Users registering until refused, one after another: the first gets its whole limit, every
// later one at least its floor however many came before, and the shares shrink as the table
// fills, until the user slots are gone; root's clients then still get the slots kept for them.
TEST_F(Clients, UsersShareTheTable) {
    auto take_all = [&](uint32_t uid) {  // the clients uid gets
        uint32_t got = 0;
        while (make({.pid = uid, .uid = uid}, std::nullopt))
            got++;
        return got;
    };
    std::vector<uint32_t> got;
    for (uint32_t uid = 1000; made.size() < CLIENT_USER_SLOTS; uid++) {
        const size_t free = CLIENT_USER_SLOTS - made.size();
        got.push_back(take_all(uid));
        ASSERT_GE(got.back(), std::min<size_t>(CLIENT_USER_FLOOR, free)) << "user " << got.size();
    }
    ASSERT_GT(got.size(), 33u);
    EXPECT_EQ(got[0], clients.client_max_per_user.load());
    EXPECT_TRUE(std::is_sorted(got.rbegin(), got.rend()));
    EXPECT_EQ(take_all(5000), 0u);
    for (uint32_t i = 0; i < CLIENT_ROOT_RESERVED; i++)
        ASSERT_NE(make({.pid = 1}), nullptr);
    EXPECT_EQ(make({.pid = 1}, ENOSPC), nullptr);
}

struct watch {
    std::string path;
    bool file_level = true;
    uint32_t device = 0;
};
struct routed {
    std::string path;
    uint32_t flags = EVENT_CONTENT_MODIFIED, dev = 0;
};
const std::string LONG = "/" + std::string(EVENT_TABLE_PATH_MAX - 1, 'a');  // kept whole
constexpr uint32_t DROPPED = EVENT_KERNEL_DROPPED, CHANGED = EVENT_CONTENT_MODIFIED;

// Each row: the clients, the events (ids 1, 2, ...) and each client's ring as "path:id".
// clang-format off
const struct {
    const char* what;
    std::vector<watch> clients;
    std::vector<routed> events;
    std::vector<strings> rings;
} ROUTING[] = {
    {"device-relative clients; doubled slashes; one directory record for two changes",
     {{"Docs", true, 5}, {"Docs", false, 5}, {"/", true, 5}, {"/any/.docid", true, 5}, {"/srv/data/Docs"}},
     {{"/srv/data/Docs/f", CHANGED, 5}, {"/srv/data/Docs/g", CHANGED, 8}, {"/srv//data/Docs//h", CHANGED, 5},
      {"/.docid/5/x", EVENT_DOCID_CREATED, 5}, {"/srv/data/.vantlesd/0000000000000001", CHANGED, 5}},
     {{"Docs/f:1", "Docs/h:3"}, {"Docs/:3"}, {"Docs/f:1", "Docs/h:3", ".docid/5/x:4"}, {".docid/5/x:4"},
      {"/srv/data/Docs/f:1", "/srv/data/Docs/g:2", "/srv/data/Docs/h:3"}}},
    {"volume notices reach that volume's clients; unknown volumes count as the root's",
     {{"/"}, {"/etc"}, {"/srv/data/Docs"}, {"/srv"}, {"Docs", true, 5}},
     {{"/srv/data", DROPPED, 5}, {"/", DROPPED, 1}, {"/mnt/new", DROPPED, 77}},
     {{"/srv/data:1", "/:2", "/mnt/new:3"}, {"/:2"}, {"/srv/data:1"}, {"/srv/data:1", "/:2"},
      {"/srv/data:1"}}},
    {"a prefix ends at a slash ('-' and '.' sort between a path and its children)",
     {{"/a"}, {"/a-b"}, {"/a.b"}, {"/a/"}, {"/ab"}}, {{"/a/b/f"}, {"/a-b/f"}, {"/a"}},
     {{"/a/b/f:1", "/a:3"}, {"/a-b/f:2"}, {}, {"/a/b/f:1", "/a:3"}, {}}},
    {"headers are not shared across devices", {{"/Docs", true, 5}, {"/Docs"}}, {{"/Docs/f"}},
     {{}, {"/Docs/f:1"}}},
    {"long paths are cut before any header is matched", {{LONG}},
     {{LONG + "b/f"}, {"/" + LONG + "c/f"}}, {{LONG + ":2"}}},
};
// clang-format on

TEST_F(Clients, Routing) {
    for (const auto& c : ROUTING) {
        SCOPED_TRACE(c.what);
        std::vector<client_info*> clients;
        for (const watch& w : c.clients) {
            clients.push_back(make({.paths = {w.path},
                                    .flags = w.file_level ? CLIENT_FILE_EVENTS : 0u,
                                    .device = w.device}));
        }
        for (uint64_t id = 1; id <= c.events.size(); id++)
            route(c.events[id - 1].path, id, c.events[id - 1].flags, c.events[id - 1].dev);
        for (size_t i = 0; i < clients.size(); i++) {
            EXPECT_EQ(backlog_of(clients[i]), c.rings[i]) << "client " << i;
            forget(clients[i]);
        }
    }
}

// Past a few dozen prefixes the router narrows by binary search, component by component:
// each client still gets exactly the events under its path.
TEST_F(Clients, RoutingThroughManyPrefixes) {
    std::map<std::string, client_info*> by_path;
    strings paths = {"/m", "/m/1/x", "/m/1/xy"};
    for (int i = 0; i < 150; i++)
        paths.push_back("/m/" + std::to_string(i));
    for (const std::string& p : paths)
        by_path[p] = make({.paths = {p}});
    const strings events = {"/m/7/f", "/m/70/f", "/m/149/g/h", "/m/1/x/y", "/m/1/xz", "/m/150/f"};
    for (uint64_t id = 1; id <= events.size(); id++)
        route(events[id - 1], id);
    for (const auto& [path, fci] : by_path) {
        strings want;
        for (uint64_t id = 1; id <= events.size(); id++)
            if ((events[id - 1] + "/").starts_with(path + "/"))
                want.push_back(events[id - 1] + ":" + std::to_string(id));
        EXPECT_EQ(backlog_of(fci), want) << path;
    }
}

// Limits in events alone, woken at half of them.
constexpr backlog_limits events_only(uint32_t n) {
    return {n, UINT64_MAX, n / 2, nullptr};
}

// A full backlog drops, keeping the first lost id, whether its count or its bytes (a record
// counts its path) are used up; a pending path merges without a slot; passing the wake-up mark
// wakes the client; ignore-self skips own events, but a full backlog loses those too.
TEST_F(Clients, BacklogLimits) {
    client_info* small = make({.backlog = events_only(3)});
    client_info* eight = make({.backlog = events_only(8)});
    const uint64_t charge = BACKLOG_RECORD_BYTES + sizeof("/a/b/f1");
    client_info* bytes = make({.backlog = {100, 3 * charge - 1, 100, nullptr}});
    for (uint64_t id = 1; id <= 5; id++) {
        route("/a/b/f" + std::to_string(id), id);
        EXPECT_EQ(eight->wake_pending, id == 5 ? 1u : 0u) << id;
    }
    EXPECT_EQ(small->dropped_id.load(), 4u);
    EXPECT_EQ(bytes->dropped_id.load(), 3u);
    EXPECT_EQ(backlog_bytes(&bytes->backlog), 2 * charge);
    EXPECT_FALSE(eight->flags.load() & CLIENT_EVENTS_DROPPED);
    route("/a/b/f1", 6);
    EXPECT_EQ(backlog_of(eight),
              (strings{"/a/b/f1:6", "/a/b/f2:2", "/a/b/f3:3", "/a/b/f4:4", "/a/b/f5:5"}));

    client_info* self = make(
        {.flags = CLIENT_FILE_EVENTS | CLIENT_IGNORE_SELF, .backlog = events_only(1), .pid = 42});
    route("/a/b/own", 7, CHANGED, 0, 42);
    route("/a/b/theirs", 8, CHANGED, 0, 43);
    EXPECT_EQ(backlog_of(self), (strings{"/a/b/theirs:8"}));
    EXPECT_FALSE(self->flags.load() & CLIENT_EVENTS_DROPPED);
    route("/a/b/own", 9, CHANGED, 0, 42);
    EXPECT_EQ(self->dropped_id.load(), 9u);
}

// Backlogs sharing a pool: past its floor a backlog grows only while the pool has room, a
// backlog within its floor always does, and what a client takes off goes back to the pool.
TEST_F(Clients, BacklogPoolKeepsEachClientsFloor) {
    const uint64_t charge = BACKLOG_RECORD_BYTES + sizeof("/a/b/f1");
    backlog_pool pool{3 * charge, charge};
    client_info* first = make({.paths = {"/a/b"}, .backlog = {100, UINT64_MAX, 100, &pool}});
    client_info* second = make({.paths = {"/a/c"}, .backlog = {100, UINT64_MAX, 100, &pool}});
    for (uint64_t id = 1; id <= 3; id++)
        route("/a/b/f" + std::to_string(id), id);
    route("/a/c/g1", 4);
    route("/a/c/g2", 5);
    EXPECT_EQ(client_num_pending(first), 3u);
    EXPECT_FALSE(first->flags.load() & CLIENT_EVENTS_DROPPED);
    EXPECT_EQ(backlog_of(second), strings{"/a/c/g1:4"});
    EXPECT_EQ(second->dropped_id.load(), 5u);
    EXPECT_EQ(pool.held.load(), 4 * charge);
    EXPECT_EQ(client_process_events(first), 0);
    EXPECT_EQ(pool.held.load(), charge);
    route("/a/c/g3", 6);
    EXPECT_EQ(client_num_pending(second), 2u);
    EXPECT_EQ(pool.held.load(), 2 * charge);
    forget(first);  // before the pool goes
    forget(second);
    EXPECT_EQ(pool.held.load(), 0u);
}

// A registered client holds a burst of thousands of events while its thread is away (it is
// woken once CLIENT_BACKLOG_WAKE are pending), across segments, then gets all of them in id
// order, in batches of at most 32, and keeps one segment; its bytes and their peak are accounted.
TEST_F(Clients, RegisteredBacklogHoldsABurstInSegments) {
    client_info* fci = make({});
    constexpr uint64_t BURST = 3 * BACKLOG_SEGMENT_SLOTS + 100;
    strings expected;
    uint64_t bytes = 0;
    for (uint64_t id = BURST; id >= 1; id--) {
        std::string path = "/a/b/f" + std::to_string(id);
        route(path, id);
        EXPECT_EQ(fci->wake_pending, id <= BURST - CLIENT_BACKLOG_WAKE ? 1u : 0u) << id;
        expected.insert(expected.begin(), path + ":" + std::to_string(id));
        bytes += BACKLOG_RECORD_BYTES + path.size() + 1;
    }
    EXPECT_FALSE(fci->flags.load() & CLIENT_EVENTS_DROPPED);
    EXPECT_EQ(backlog_bytes(&fci->backlog), bytes);
    EXPECT_EQ(client_process_events(fci), 0);
    std::vector<uint32_t> batches(BURST / 32, 32);
    batches.push_back(BURST % 32);
    EXPECT_EQ(sink.batch_sizes, batches);
    EXPECT_EQ(sink.take(), expected);
    EXPECT_EQ(backlog_bytes(&fci->backlog), 0u);
    EXPECT_EQ(fci->backlog.peak_bytes.load(), bytes);
    EXPECT_EQ(fci->backlog.head, fci->backlog.tail);
}

// Positions run on across the wrap of 2^32: a backlog whose positions start just below it keeps
// its events in order, in as many segments as they take, and frees each one once taken.
TEST(Backlog, SegmentsAcrossThePositionWrap) {
    client_backlog b;
    ASSERT_EQ(backlog_init(&b, {UINT32_MAX, UINT64_MAX, 0, nullptr}), 0);
    const uint32_t start = UINT32_MAX - BACKLOG_SEGMENT_SLOTS / 2;
    b.wr = b.rd = b.head->base = start;
    std::vector<event_record> records(2 * BACKLOG_SEGMENT_SLOTS + 1);
    auto segments = [&] {
        size_t n = 0;
        for (backlog_segment* s = b.head; s; s = s->next.load())
            n++;
        return n;
    };
    for (event_record& r : records) {
        r.path_length = 1;
        ASSERT_EQ(backlog_push(&b, &r), 0);
    }
    EXPECT_EQ(backlog_events(&b), records.size());
    EXPECT_EQ(segments(), 3u);
    backlog_cursor at = backlog_front(&b);
    for (event_record& r : records)
        ASSERT_EQ(*backlog_next(&at), &r);
    backlog_pop(&b, BACKLOG_SEGMENT_SLOTS, BACKLOG_SEGMENT_SLOTS * (BACKLOG_RECORD_BYTES + 1));
    EXPECT_EQ(segments(), 2u);
    EXPECT_EQ(*backlog_next(&(at = backlog_front(&b))), &records[BACKLOG_SEGMENT_SLOTS]);
    backlog_pop(&b, BACKLOG_SEGMENT_SLOTS + 1,
                (BACKLOG_SEGMENT_SLOTS + 1) * (BACKLOG_RECORD_BYTES + 1));
    EXPECT_EQ(backlog_events(&b), 0u);
    EXPECT_EQ(backlog_bytes(&b), 0u);
    EXPECT_EQ(segments(), 1u);
    backlog_free(&b);
}

// A prefix table replaced while the router is inside the old one stays whole until it leaves.
TEST_F(Clients, ReplacedTableStaysWholeWhileTheRouterIsInside) {
    make({});
    prefix_table* old = clients.current_prefix_table.load();
    clients.prefix_table_readers.fetch_add(1);  // the router inside old, as for a scan
    clients.prefix_table_in_use.store(old);
    std::atomic<bool> added{false};
    std::thread adder([&] { make({.paths = {"/c"}}), added = true; });
    EXPECT_TRUE(wait_until([&] { return clients.current_prefix_table.load() != old; }));
    EXPECT_FALSE(wait_until([&] { return added.load(); }, 100));  // the old one is not freed yet
    EXPECT_EQ(old->count, 1);
    clients.prefix_table_in_use.store(nullptr);
    clients.prefix_table_readers.fetch_sub(1);
    adder.join();
}

// Own events are marked for a client that asks, by its pid, and for no other.
TEST_F(Clients, OwnEventsAreMarkedOnlyWhenAsked) {
    for (uint32_t mark : {0u, CLIENT_MARK_SELF}) {
        client_info* fci = make({.flags = CLIENT_FILE_EVENTS | mark, .pid = 100});
        route("/a/b/mine", 1, CHANGED, 0, 100);
        route("/a/b/theirs", 2, CHANGED, 0, 101);
        EXPECT_EQ(client_process_events(fci), 0);
        EXPECT_EQ(sink.flags, (std::vector<uint32_t>{mark ? CHANGED | EVENT_OWN_EVENT : CHANGED,
                                                     CHANGED}));
        sink.take();
        forget(fci);
    }
}

// The read checks walk up from a path by its parent directory.
TEST(ReadCheck, ParentDirectory) {
    for (auto [path, parent] : {std::pair{"/a/b", "/a"}, {"/a/b//", "/a"}, {"/a//b", "/a"},
                                {"/a", "/"}, {"//a", "/"}, {"/", "/"}, {"a/b", "a"}, {"a", "."}}) {
        char* got = dirname_alloc(path);
        EXPECT_STREQ(got, parent) << path;
        free(got);
    }
}

// The pass answers the time until the next client is due (0: nobody, else at least 1), opens a
// window on the first pass and after two quiet latencies, restarts a due client's idle thread.
TEST_F(Clients, LatencyPassOpensWindowsAndWakesDueClients) {
    client_info* fci = owned({.since_when = 1});  // latency 1 s
    fci->flags.fetch_or(CLIENT_STARTED | CLIENT_THREAD_EXITED);
    route("/a/b/c", 5);
    const std::pair<timeval, uint64_t> passes[] = {
        {{1000, 0}, 1000000}, {{1002, 0}, 1000000}, {{1002, 400000}, 600000}, {{1003, 0}, 0}};
    for (auto [now, due] : passes)
        EXPECT_EQ(latency_pass(&now), due) << now.tv_sec;
    ASSERT_TRUE(sink.received(1));
    EXPECT_EQ(sink.take(), strings{"/a/b/c:5"});
    stop(fci);
    make({.latency = 0});
    route("/a/b/c", 6);
    timeval now{3000, 0};
    EXPECT_EQ(latency_pass(&now), 1u);
}

// A due client of root that asked for no delay gets its events from the pass itself when its
// socket takes them at once, without a thread; a send that finds no room leaves them all to it.
TEST_F(Clients, PassDeliversUndelayedEventsItselfOrLeavesThemWhole) {
    client_info* fci = owned({.flags = CLIENT_FILE_EVENTS | CLIENT_NO_DEFER, .since_when = 1});
    fci->flags.fetch_or(CLIENT_STARTED | CLIENT_THREAD_EXITED);
    static int32_t answer;
    fci->callback_now = [](void* ctx, int32_t n, const int32_t* lengths, const char* const* paths,
                           const uint32_t* flags, const uint32_t* devices, const uint64_t* ids) {
        return answer ? answer : record_batch(ctx, n, lengths, paths, flags, devices, ids);
    };
    answer = 0;
    route("/a/b/c", 5);
    timeval now{1000, 0};
    latency_pass(&now);
    EXPECT_EQ(sink.take(), strings{"/a/b/c:5"});
    EXPECT_EQ(client_num_pending(fci), 0u);
    answer = ENOBUFS;
    route("/a/b/d", 6);
    now.tv_sec++;
    latency_pass(&now);
    ASSERT_TRUE(sink.received(1));
    EXPECT_EQ(sink.take(), strings{"/a/b/d:6"});
    stop(fci);
}

// The owed notices come first without a wake-up (history done with the since-when, then the
// dropped notice with the first lost id), then the ring; a loss during that notice owes another.
TEST_F(Clients, ThreadSendsNoticesThenEvents) {
    client_info* fci = owned({.backlog = events_only(3), .since_when = 3});
    for (uint64_t id = 5; id <= 8; id++)
        route("/a/b/f" + std::to_string(id), id);
    static Clients* self;
    static bool routed;
    self = this, routed = false;
    sink.hook = [](const uint32_t* flags) {  // the event thread finds the ring still full
        if (flags[0] == EVENT_USER_DROPPED && !std::exchange(routed, true)) {
            thread_role_set(THREAD_ROLE_EVENT);
            self->route("/a/b/f9", 9);
            thread_role_set(THREAD_ROLE_DELIVERY);
        }
    };
    ASSERT_EQ(start_client_thread(fci), 0);
    ASSERT_TRUE(sink.received(6));
    EXPECT_EQ((std::vector{sink.flags[0], sink.flags[1], sink.flags[5]}),
              (std::vector<uint32_t>{HISTORY_DONE, EVENT_USER_DROPPED, EVENT_USER_DROPPED}));
    EXPECT_EQ(sink.take(),
              (strings{"/a/b:3", "/a/b:8", "/a/b/f5:5", "/a/b/f6:6", "/a/b/f7:7", "/a/b:9"}));
    stop(fci);
}

// Another user's client gets what that user may read: a file it can read by name; for a file
// gone with its directory, only that the nearest readable directory changed; nothing from a
// directory closed to it. A thread that cannot take on its client's identity (no such user)
// judges nothing with the daemon's: it sends the notices but no event.
TEST_F(Clients, AnotherUsersClientGetsWhatItMayRead) {
    const std::string d = "/tmp/clients_test." + std::to_string(getpid());
    std::filesystem::remove_all(d);
    ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((d + "/closed").c_str(), 0700), 0);
    for (const std::string& f : {d + "/f", d + "/closed/s"})
        ASSERT_EQ(close(open(f.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644)), 0);
    for (uint32_t uid : {65534u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(uid);
        client_info* fci = owned({.paths = {d}, .uid = uid, .since_when = 1});
        route(d + "/f", 5);
        route(d + "/closed/s", 6);
        route(d + "/gone/x", 7);
        ASSERT_EQ(start_client_thread(fci), 0);
        ASSERT_TRUE(sink.received(1));  // the end of the history
        client_wakeup(fci);             // as the latency pass does
        EXPECT_TRUE(wait_until([&] { return client_num_pending(fci) == 0; }));
        stop(fci);
        const bool nobody = uid == 65534;
        EXPECT_TRUE(!nobody || (sink.flags.size() == 3 && sink.flags[2] == READ_ANCESTOR_FLAGS));
        EXPECT_EQ(sink.take(),
                  (nobody ? strings{d + ":1", d + "/f:5", d + "/:7"} : strings{d + ":1"}));
    }
    std::filesystem::remove_all(d);
}

constexpr uint32_t F1 = 0x0800, F2 = 0x1000;  // kept by the directory mask
constexpr uint32_t F_FILE_ONLY = 0x0100;      // dropped by the directory mask
const std::vector<record> DATA = {{"db/x", 3, F1},    {"dbx/y", 4, F1}, {"other/z", 5, F1},
                                  {"/db/abs", 6, F1}, {"db", 7, F1},    {"", 8, F1}};
constexpr uint32_t FILES = CLIENT_FILE_EVENTS;

// clang-format off
const struct {
    const char* what;
    bool on_data;  // the /srv/data volume, else the root volume
    strings paths;
    uint32_t flags, device;
    strings excluded;
    std::vector<record> records;
    uint64_t since;
    strings expected;          // "path:id"
    uint32_t first_flags = 0;  // checked when not 0
} REPLAYS[] = {
    {"since (left out), absolute stored paths, document ids (the volume's device now)", false,
     {"/"}, FILES, 0, {}, {{"a/b", 10, F1}, {"a/c", 11, F2}, {".docid/7/55", 12, F1}, {"/abs/x", 14, F1}},
     10, {"/a/c:11", "/.docid/1/55:12", "/abs/x:14"}, F2},
    {"device-relative: stored form, never absolute stored paths", true, {"db"}, FILES, 5, {}, DATA,
     0, {"db/x:3", "db:7"}},
    {"\"/\" covers every record of another volume", true, {"/"}, FILES, 0, {}, DATA, 0,
     {"/srv/data/db/x:3", "/srv/data/dbx/y:4", "/srv/data/other/z:5", "/db/abs:6",
      "/srv/data/db:7", "/srv/data/:8"}},
    {"directory level: consecutive records of one directory merge, the mask applies", true, {"a"},
     0, 5, {}, {{"a/b/c", 20, F1 | F_FILE_ONLY}, {"a/b/d", 21, F2}, {"a/e", 22, F1},
     {"a/b/f", 23, F2}}, 0, {"a/b/:21", "a/:22", "a/b/:23"}, (F1 | F2) & DIRECTORY_EVENT_MASK},
    {"directory level, absolute: /a stays /a", false, {"/"}, 0, 0, {},
     {{"a", 1, F1}, {"a/b/c", 2, F1}}, 0, {"/a:1", "/a/b/:2"}},
    {"a path sharing only the mount point's bytes is not on the volume", true, {"/srv/database"},
     FILES, 0, {}, {{"base/f", 1, F1}, {"/srv/database/g", 2, F1}}, 0, {"/srv/database/g:2"}},
    {"exclusion on stored paths", true, {"tmp"}, FILES, 5, {"tmp/x/"}, {{"tmp/x/y", 1, F1}, {"tmp/xy", 2, F1}, {"tmp/x", 3, F1}}, 0,
     {"tmp/xy:2", "tmp/x:3"}},
};
// clang-format on

TEST_F(Clients, ReplayPathFormsAndFilters) {
    for (const auto& r : REPLAYS) {
        SCOPED_TRACE(r.what);
        client_info* c =
            make({.paths = r.paths, .excluded = r.excluded, .flags = r.flags, .device = r.device});
        EXPECT_EQ(replay(r.on_data ? &data : &root, c, build_buffer(r.records), r.since), 0);
        EXPECT_TRUE(r.first_flags == 0 || (!sink.flags.empty() && sink.flags[0] == r.first_flags));
        EXPECT_EQ(sink.take(), r.expected);
        forget(c);
    }
}

// Batches of at most 32; a time-out drops the batch (first lost id noted) and goes on; another
// error ends the buffer; a client gone (EPIPE) ends without a drop noted, and gets no more.
TEST_F(Clients, ReplayBatchesAndDeliveryFailures) {
    std::vector<record> seventy;
    for (uint64_t id = 100; id < 170; id++)
        seventy.push_back({"d/f" + std::to_string(id), id, F1});
    client_info* c = make({.paths = {"/d"}});
    const std::tuple<int32_t, std::vector<uint32_t>, uint64_t> runs[] = {
        {0, {32, 32, 6}, 0}, {ETIMEDOUT, {32, 32, 6}, 100}, {EIO, {32}, 100}, {EPIPE, {32}, 0}};
    for (auto [result, batches, dropped] : runs) {
        c->flags.fetch_and(~CLIENT_EVENTS_DROPPED);
        sink.result = result;
        EXPECT_EQ(replay(&root, c, build_buffer(seventy)), result == ETIMEDOUT ? 0 : result);
        EXPECT_EQ(sink.batch_sizes, batches) << result;
        EXPECT_EQ(c->flags.load() & CLIENT_EVENTS_DROPPED ? c->dropped_id.load() : 0, dropped);
        sink.take();
    }
    EXPECT_TRUE(c->flags.load() & CLIENT_GOING_AWAY);
    EXPECT_EQ(replay(&root, c, build_buffer(seventy)), 0);
    EXPECT_TRUE(sink.take().empty());
}

// Gzip members in either byte order; a corrupted buffer ends the file with a dropped notice; a
// missing file, a symbolic link, a directory and a FIFO (whose open must not block) are refused.
TEST_F(Clients, ReplayReadsLogFiles) {
    char templ[] = "/tmp/replay_test.XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    const std::string dir = templ, good = dir + "/1", damaged = dir + "/2";
    auto write_log = [](const std::string& path, std::initializer_list<bytes> buffers) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
        for (const bytes& b : buffers)
            EXPECT_EQ(log_buffer_write_member(fd, b.data(), (uint32_t)b.size()), 0);
        close(fd);
    };
    bytes bad = build_buffer({{"c", 4, F1}});
    bad[4] ^= 0xff;
    write_log(good, {build_buffer({{"a", 1, F1}}),
                     history_test::to_other_order(build_buffer({{"b", 2, F1}}))});
    write_log(damaged, {build_buffer({{"b", 3, F1}}), bad, build_buffer({{"d", 5, F1}})});
    std::vector<record> many;  // three buffers of some 200 KiB: more than one read area
    for (int i = 0; i < 30000; i++)
        many.push_back({"n" + std::to_string(i), uint64_t(i + 1), F1});
    write_log(dir + "/3", {build_buffer({many.begin(), many.begin() + 10000}),
                           build_buffer({many.begin() + 10000, many.begin() + 20000}),
                           build_buffer({many.begin() + 20000, many.end()})});
    ASSERT_EQ(symlink(good.c_str(), (dir + "/link").c_str()), 0);
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    client_info* c = make({.paths = {"/"}});
    EXPECT_EQ(read_disk_log(&root, c, good.c_str(), 0), 0);
    EXPECT_EQ(sink.take(), (strings{"/a:1", "/b:2"}));
    EXPECT_EQ(read_disk_log(&root, c, damaged.c_str(), 0), 0);
    EXPECT_EQ(sink.take(), (strings{"/b:3", "/:1"}));  // and a dropped notice in its place
    EXPECT_EQ(read_disk_log(&root, c, damaged.c_str(), 1), 0);
    EXPECT_EQ(sink.take(), (strings{"/b:3"}));  // none when asked from the file's last id on
    EXPECT_EQ(read_disk_log(&root, c, (dir + "/3").c_str(), 0), 0);
    EXPECT_EQ(sink.take().size(), many.size());
    EXPECT_EQ(read_disk_log(&root, c, (dir + "/missing").c_str(), 0), ENOENT);
    for (const std::string& p : {dir + "/link", dir, dir + "/fifo"})
        EXPECT_EQ(read_disk_log(&root, c, p.c_str(), 0), EINVAL) << p;
    EXPECT_TRUE(sink.take().empty());
    std::filesystem::remove_all(dir);
}

}  // namespace
