// Client records, the prefix table and the router: stored path forms, the client limits, which
// client is told what ("/", volumes, kernel drops, long paths; the plain forms are checked over
// the wire by tests/blackbox), full rings, and the prefix table under concurrent and random use.
#include "clients_fixture.h"
#include "volumes/dev_info.h"

#include <cerrno>
#include <random>
#include <thread>
#include <tuple>

namespace {

using Clients = ClientsTest;

// Exclusions end in one slash and are cut to 1023 bytes; absolute paths are kept once each.
TEST_F(Clients, StoredPathForms) {
    client_options o;
    o.paths = {"/", "/b", "/", "/"};
    o.excluded = {"/tmp/x", "/tmp/y/", std::string(2000, 'z')};
    client_info* c = make(o);
    ASSERT_EQ(c->num_paths, 2);
    EXPECT_STREQ(c->paths[0], "/");
    EXPECT_STREQ(c->paths[1], "/b");
    EXPECT_STREQ(c->excluded[0], "/tmp/x/");
    EXPECT_STREQ(c->excluded[1], "/tmp/y/");
    EXPECT_EQ(strlen(c->excluded[2]), 1024u);
    EXPECT_EQ(c->excluded[3], nullptr);
}

// The per-pid limit; a new process refused for a full table leaves no pid entry behind.
TEST_F(Clients, ClientLimits) {
    client_info* refused = nullptr;
    client_options o;
    for (int i = 0; i < CLIENT_MAX_PER_PID; i++) {
        ASSERT_NE(make(o), nullptr);
    }
    EXPECT_EQ(make(o, &refused), ENOSPC);
    o.pid = 200;
    EXPECT_EQ(make(o, &refused), ENOSPC);
    EXPECT_EQ(refused, nullptr);
    for (const pid_entry& entry : pid_table) {
        EXPECT_NE(entry.pid, 200u);
    }
}

// Two volumes, published while the object lives: the root (dev 1) and /Data/X (dev 9).
struct two_volumes {
    dev_info root{}, data{};
    dev_info* entries[2] = {&root, &data};
    dev_table_t devs{entries, 2};

    two_volumes() {
        static bool lock_ready = vantle_rwlock_init(&dev_lock) == 0;
        EXPECT_TRUE(lock_ready);
        root.dev = 1;
        root.depth = 1;
        root.mount_point = const_cast<char*>("/");
        data.dev = 9;
        data.depth = 3;
        data.mount_point = const_cast<char*>("/Data/X");
        dev_table.store(&devs);
    }
    ~two_volumes() { dev_table.store(nullptr); }
};

struct watch {
    std::string path;
    bool file_level = true;
    uint32_t device = 0;
};
struct routed {
    std::string path;
    uint32_t flags = EVENT_CONTENT_MODIFIED;
    uint32_t dev = 0;
};
const std::string LONG = "/" + std::string(EVENT_TABLE_PATH_MAX - 1, 'a');  // kept whole

// Each row: the clients, the events (ids 1, 2, ...) and what each client's ring holds, as
// "path:id" of each record, oldest first.
struct routing_case {
    const char* what;
    std::vector<watch> clients;
    std::vector<routed> events;
    std::vector<strings> rings;
};

const routing_case ROUTING[] = {
    {"root watcher, ignored directories, kernel drops",
     {{"/"}, {"/a/b"}},
     {{"/x/y"}, {"/"}, {"/x/.qsd/y"}, {"/elsewhere", EVENT_KERNEL_DROPPED}},
     {{"/x/y:1", "/:2", "/elsewhere:4"}, {"/elsewhere:4"}}},
    {"device-relative clients",
     {{"Docs", true, 9},
      {"Docs", false, 9},
      {"/", true, 9},
      {"/any/.docid", true, 9},
      {"/Data/X/Docs"}},
     {{"/Data/X/Docs/f", EVENT_CONTENT_MODIFIED, 9},
      {"/Data/X/Docs/g", EVENT_CONTENT_MODIFIED, 8},  // another volume: absolute clients only
      {"/Data//X/Docs//h", EVENT_CONTENT_MODIFIED, 9},
      {"/.docid/5/x", EVENT_DOCID_CREATED, 9},
      {"/Data/X/.vantlesd/0000000000000001", EVENT_CONTENT_MODIFIED, 9}},
     {{"Docs/f:1", "Docs/h:3"},
      {"Docs/:3"},  // one record for both changes
      {"Docs/f:1", "Docs/h:3", ".docid/5/x:4"},
      {".docid/5/x:4"},
      {"/Data/X/Docs/f:1", "/Data/X/Docs/g:2", "/Data/X/Docs/h:3"}}},
    {"volume notices reach the clients of that volume; unknown volumes count as the root's",
     {{"/"}, {"/etc"}, {"/Data/X/Docs"}, {"/Data"}, {"Docs", true, 9}},
     {{"/Data/X", EVENT_KERNEL_DROPPED, 9},
      {"/", EVENT_KERNEL_DROPPED, 1},
      {"/mnt/new", EVENT_KERNEL_DROPPED, 77}},
     {{"/Data/X:1", "/:2", "/mnt/new:3"},
      {"/:2"},
      {"/Data/X:1"},
      {"/Data/X:1", "/:2"},
      {"/Data/X:1"}}},
    {"headers are not shared across devices",
     {{"/Docs", true, 9}, {"/Docs"}},
     {{"/Docs/f"}},
     {{}, {"/Docs/f:1"}}},
    {"long paths are cut before any header is matched",
     {{LONG}},
     {{LONG + "b/f"}, {"/" + LONG + "c/f"}},
     {{LONG + ":2"}}},
};

TEST_F(Clients, Routing) {
    two_volumes volumes;
    for (const routing_case& c : ROUTING) {
        SCOPED_TRACE(c.what);
        std::vector<client_info*> clients;
        for (const watch& w : c.clients) {
            client_options o;
            o.paths = {w.path};
            o.flags = w.file_level ? CLIENT_FILE_EVENTS : 0;
            o.device = w.device;
            clients.push_back(make(o));
            ASSERT_NE(clients.back(), nullptr);
        }
        uint64_t id = 1;
        for (const routed& e : c.events) {
            route(e.path, id++, e.flags, e.dev);
        }
        for (size_t i = 0; i < clients.size(); i++) {
            EXPECT_EQ(ring_of(clients[i]), c.rings[i]) << "client " << i;
        }
        for (client_info* fci : clients) {
            forget(fci);
        }
    }
    EXPECT_TRUE(is_ignored_directory(".vantlesd/0000000000000001"));
    EXPECT_TRUE(is_ignored_directory(".Glimmer-V100/x"));
    EXPECT_TRUE(is_ignored_directory("Vaults.vaultdb"));
    EXPECT_FALSE(is_ignored_directory("x/.vantlesd"));
    EXPECT_FALSE(is_ignored_directory("/x/.qsdy/z"));
}

// A full ring drops and remembers the first lost id; a pending path merges without a slot;
// the event that takes a ring past half full wakes its client; ignore-self skips own events
// unless the ring is full, when they are lost too.
TEST_F(Clients, RingLimits) {
    client_options o;
    o.ring_size = 4;
    client_info* small = make(o);
    o.ring_size = 8;
    client_info* eight = make(o);
    for (uint64_t id = 1; id <= 5; id++) {
        route("/a/b/f" + std::to_string(id), id);
        EXPECT_EQ(eight->wake_pending, id == 5 ? 1u : 0u) << id;
    }
    EXPECT_EQ(ring_of(small).size(), 3u);
    EXPECT_TRUE(small->flags.load() & CLIENT_EVENTS_DROPPED);
    EXPECT_EQ(small->dropped_id.load(), 4u);
    EXPECT_FALSE(eight->flags.load() & CLIENT_EVENTS_DROPPED);
    route("/a/b/f1", 6);
    EXPECT_EQ(ring_of(eight),
              (strings{"/a/b/f1:6", "/a/b/f2:2", "/a/b/f3:3", "/a/b/f4:4", "/a/b/f5:5"}));
    forget(small);
    forget(eight);

    o.flags = CLIENT_FILE_EVENTS | CLIENT_IGNORE_SELF;
    o.pid = 42;
    o.ring_size = 2;
    client_info* self = make(o);
    route("/a/b/own", 1, EVENT_CONTENT_MODIFIED, 0, 42);
    route("/a/b/theirs", 2, EVENT_CONTENT_MODIFIED, 0, 43);
    EXPECT_EQ(ring_of(self), (strings{"/a/b/theirs:2"}));
    EXPECT_FALSE(self->flags.load() & CLIENT_EVENTS_DROPPED);
    route("/a/b/own", 3, EVENT_CONTENT_MODIFIED, 0, 42);
    EXPECT_EQ(self->dropped_id.load(), 3u);
}

// A full ring whose client is draining gets a short while to make room; once a client owes a
// dropped notice its events are dropped at once.
TEST_F(Clients, FullRingWaitsForADrainingClient) {
    // The router's waits share a budget per 100 ms window, which other tests may have spent.
    std::this_thread::sleep_for(std::chrono::milliseconds(110));
    client_options o;
    o.ring_size = 4;
    client_info* fci = make(o);
    for (uint64_t id = 1; id <= 3; id++) {
        route("/a/b/f" + std::to_string(id), id);
    }
    pthread_mutex_lock(&fci->lock);
    fci->wake_pending = 0;
    pthread_mutex_unlock(&fci->lock);
    std::thread drainer([fci] {  // drains one slot once the router has woken the client
        bool woken = wait_until(
            [fci] {
                pthread_mutex_lock(&fci->lock);
                bool pending = fci->wake_pending != 0;
                pthread_mutex_unlock(&fci->lock);
                return pending;
            },
            5000, 20);
        if (!woken) {
            return;
        }
        uint32_t rd = fci->rd.load();
        client_map_clear(fci->ring[rd], fci->index);
        remove_event_ref(fci->ring[rd]);
        fci->ring[rd] = nullptr;
        fci->rd.store((rd + 1) % fci->ring_size);
    });
    route("/a/b/f4", 4);
    drainer.join();
    EXPECT_FALSE(fci->flags.load() & CLIENT_EVENTS_DROPPED);
    EXPECT_EQ(ring_of(fci), (strings{"/a/b/f2:2", "/a/b/f3:3", "/a/b/f4:4"}));

    route("/a/b/f5", 5);  // nobody drains
    route("/a/b/f6", 6);
    EXPECT_EQ(fci->dropped_id.load(), 5u);
    EXPECT_EQ(ring_of(fci).size(), 3u);
}

// A prefix table replaced while the router is inside the old one stays whole until it leaves.
class Concurrency : public ClientsTest {
protected:
    // A reader inside table, as the router announces itself for each scan.
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
    ASSERT_NE(make({}), nullptr);
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
    // The new table is published, but freeing the old one waits for the reader.
    ASSERT_TRUE(wait_until([&] { return current_prefix_table.load() != old; }));
    EXPECT_FALSE(added.load());
    ASSERT_EQ(old->count, 1);
    EXPECT_STREQ(old->entries[0]->path, "/a/b");
    leave();
    adder.join();
    made.push_back(second);

    // The last client of "/c" goes: its header leaves the new table at once, and stays readable
    // in the old one, marked removed, until the reader has left.
    old = current_prefix_table.load();
    prefix_header* dead = header_at(0);
    ASSERT_STREQ(dead->path, "/c");
    enter(old);
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        forget(second);
        removed = true;
    });
    ASSERT_TRUE(wait_until([&] { return table_count() == 1; }));
    EXPECT_FALSE(removed.load());
    pthread_mutex_lock(&prefix_lock);
    EXPECT_EQ(dead->device, PREFIX_HEADER_REMOVED);
    EXPECT_STREQ(dead->path, "/c");
    pthread_mutex_unlock(&prefix_lock);
    leave();
    remover.join();
}

// Thousands of paths added and removed in random order (shared, repeated within one client, of
// both kinds and two devices): the table stays sorted, one header per path, device and kind,
// every path's node on its header, refcounts are list lengths, no header outlives its clients.
TEST_F(Clients, ManyPathsKeepTheTableConsistent) {
    std::mt19937 rng(2);
    for (int i = 0; i < 6; i++) {
        client_options o;
        o.flags = i % 3 ? CLIENT_FILE_EVENTS : 0;
        o.device = i == 5 ? 9 : 0;
        o.paths.clear();
        for (int j = 0; j < 2000; j++) {
            o.paths.push_back("/p/" + std::to_string(rng() % 3000));
        }
        ASSERT_NE(make(o), nullptr);
    }
    auto check = [&] {
        prefix_table* t = current_prefix_table.load();
        int32_t nodes = 0, paths = 0;
        for (int32_t i = 0; i < t->count; i++) {
            prefix_header* h = t->entries[i];
            if (i > 0) {
                prefix_header* p = t->entries[i - 1];
                int order = strcmp(p->path, h->path);
                ASSERT_GE(order, 0);
                ASSERT_TRUE(order != 0 || p->device != h->device ||
                            p->file_events != h->file_events);
            }
            int32_t n = 0;
            for (client_node* node = h->client_list.load(); node; node = node->next.load(), n++) {
                client_info* fci = node->fci;
                ASSERT_STREQ(fci->paths[node - fci->path_nodes], h->path);
                ASSERT_EQ(fci->device, h->device);
                ASSERT_EQ(!!(fci->flags.load() & CLIENT_FILE_EVENTS), h->file_events);
            }
            ASSERT_GT(n, 0);
            ASSERT_EQ(h->refcount, n);
            nodes += n;
        }
        for (client_info* fci : made) {
            paths += fci->num_paths;
        }
        EXPECT_EQ(nodes, paths);
    };
    check();
    std::shuffle(made.begin(), made.end(), rng);
    for (int i = 0; i < 3; i++) {
        forget(made.back());
        check();
    }
}

// The lookup reaches exactly the headers a scan with the match rule reaches, in table order,
// for random tables (device and removed headers, trailing slashes, "", "/", one-byte paths).
TEST(PrefixLookup, ReachesWhatTheScanReaches) {
    std::mt19937 rng(1);
    auto pick = [&](std::vector<std::string> from) { return from[rng() % from.size()]; };
    auto random_path = [&] {
        if (rng() % 8 == 0) {
            return pick({"", "/", "a", "a/", "/a/", "//", "-"});
        }
        std::string p = rng() % 3 ? "/" : "";
        for (int n = (int)(rng() % 5); n > 0; n--) {
            p += pick({"a", "b", "ab", "a-b", "a.b"}) + (n > 1 || rng() % 4 == 0 ? "/" : "");
        }
        return p;
    };
    using hit = std::tuple<const prefix_header*, const char*, uint32_t>;
    for (int round = 0; round < 300; round++) {
        int32_t size = (int32_t)(rng() % 400);
        std::vector<std::string> texts(size);
        std::vector<prefix_header> headers(size);
        std::vector<prefix_header*> entries;
        for (int32_t i = 0; i < size; i++) {
            texts[i] = random_path();
            headers[i].path = texts[i].data();
            headers[i].len = (uint16_t)texts[i].size();
            headers[i].device = rng() % 20 ? (uint32_t)(rng() % 3) * 5 : PREFIX_HEADER_REMOVED;
            entries.push_back(&headers[i]);
        }
        std::sort(entries.begin(), entries.end(),
                  [](auto* a, auto* b) { return strcmp(a->path, b->path) > 0; });
        prefix_table table{entries.data(), size, size};
        for (int e = 0; e < 50; e++) {
            std::string path = random_path();
            uint32_t dev = (uint32_t)(rng() % 3) * 5;
            char* rel = rng() % 3 ? path.data() : path.data() + rng() % (path.size() + 1);
            std::vector<hit> scan, lookup;
            for (prefix_header* h : entries) {
                uint32_t n = h->len - (h->len >= 2 && h->path[h->len - 1] == '/');
                const char* c = dev != 0 && h->device != 0 ? rel : path.data();
                if (h->device != PREFIX_HEADER_REMOVED && strncmp(h->path, c, n) == 0 &&
                    (n < 2 || c[n] == '/' || c[n] == '\0') &&
                    (h->device == 0 || h->device == dev)) {
                    scan.emplace_back(h, c, n);
                }
            }
            pthread_mutex_lock(&prefix_lock);
            visit_matching_headers(
                &table, dev, path.data(), rel,
                [](void* out, const prefix_header* h, char* c, uint32_t n) {
                    static_cast<std::vector<hit>*>(out)->emplace_back(h, c, n);
                },
                &lookup);
            pthread_mutex_unlock(&prefix_lock);
            ASSERT_EQ(lookup, scan) << "event " << path << " dev " << dev << " rel " << rel;
        }
    }
}

}  // namespace
