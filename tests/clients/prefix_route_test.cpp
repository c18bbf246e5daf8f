// Client records, the prefix table and the router: stored path forms, the client limits,
// shared and separate headers, table order and growth, and which client is told what for
// file-level and directory-level watchers, "/" watchers, ignored directories, kernel drops
// and full rings.
#include "clients_fixture.h"

#include <chrono>
#include <thread>
#include "volumes/dev_info.h"

#include <algorithm>
#include <cerrno>
#include <random>
#include <tuple>

namespace {

using Clients = ClientsTest;

TEST_F(Clients, StoredPathsAndExclusions) {
    client_options o;
    o.device = 5;
    o.paths = {"/"};
    o.excluded = {"/tmp/x", "/tmp/y/", std::string(2000, 'z')};
    client_info* root = make(o);
    ASSERT_NE(root, nullptr);
    EXPECT_STREQ(root->paths[0], "");
    EXPECT_STREQ(root->excluded[0], "/tmp/x/");
    EXPECT_STREQ(root->excluded[1], "/tmp/y/");
    EXPECT_EQ(strlen(root->excluded[2]), 1024u);  // 1023 bytes, then the slash
    EXPECT_EQ(root->excluded[3], nullptr);

    o.paths = {"/x/.docid"};
    o.excluded = {};
    client_info* docid = make(o);
    ASSERT_NE(docid, nullptr);
    EXPECT_STREQ(docid->paths[0], ".docid");

    // Absolute paths are kept as given, each once.
    o.device = 0;
    o.paths = {"/", "/b", "/", "/"};
    client_info* abs = make(o);
    ASSERT_NE(abs, nullptr);
    ASSERT_EQ(abs->num_paths, 2);
    EXPECT_STREQ(abs->paths[0], "/");
    EXPECT_STREQ(abs->paths[1], "/b");

    // Several device-relative paths only for root.
    o.device = 5;
    o.paths = {"/a", "/b"};
    o.uid = 501;
    client_info* refused = nullptr;
    EXPECT_EQ(make(o, &refused), EINVAL);
    EXPECT_EQ(refused, nullptr);
    o.uid = 0;
    EXPECT_NE(make(o), nullptr);
}

TEST_F(Clients, SharedHeadersOrderAndRemoval) {
    client_info* f1 = make({});
    client_info* f2 = make({});
    client_options dir;
    dir.flags = 0;
    client_info* d = make(dir);
    client_options shorter;
    shorter.paths = {"/a"};
    client_info* a = make(shorter);
    ASSERT_TRUE(f1 && f2 && d && a);
    EXPECT_NE(f1->index, f2->index);

    // /a/b file-level (shared by two), /a/b directory-level, /a: descending byte order.
    ASSERT_EQ(table_count(), 3);
    EXPECT_STREQ(header_at(0)->path, "/a/b");
    EXPECT_STREQ(header_at(1)->path, "/a/b");
    EXPECT_STREQ(header_at(2)->path, "/a");
    for (int i = 0; i < 2; i++) {
        prefix_header* h = header_at(i);
        int n = 0;
        for (client_node* node = h->client_list.load(); node; node = node->next.load()) {
            n++;
        }
        EXPECT_EQ(h->refcount, n);
        EXPECT_EQ(h->refcount, h->file_events ? 2 : 1);
    }

    forget(f1);
    EXPECT_EQ(table_count(), 3);
    forget(d);
    ASSERT_EQ(table_count(), 2);
    EXPECT_EQ(header_at(0)->file_events, 1);
    EXPECT_EQ(header_at(0)->refcount, 1);
    EXPECT_EQ(header_at(0)->client_list.load()->fci, f2);
}

TEST_F(Clients, TableGrowth) {
    ASSERT_NE(make({}), nullptr);
    EXPECT_EQ(current_prefix_table.load()->capacity, 128);

    client_options many;
    for (int i = 0; i < 99; i++) {
        many.paths.push_back("/m/" + std::to_string(i));
    }
    ASSERT_NE(make(many), nullptr);
    EXPECT_EQ(table_count(), 100);
    EXPECT_EQ(current_prefix_table.load()->capacity, 128);

    many.paths.clear();
    for (int i = 0; i < 200; i++) {
        many.paths.push_back("/n/" + std::to_string(i));
    }
    ASSERT_NE(make(many), nullptr);
    EXPECT_EQ(table_count(), 300);
    EXPECT_EQ(current_prefix_table.load()->capacity, 128 + 224);
}

TEST_F(Clients, ClientLimits) {
    client_info* fci = nullptr;
    client_options o;
    for (int i = 0; i < CLIENT_MAX_PER_PID; i++) {
        ASSERT_NE(make(o), nullptr);
    }
    EXPECT_EQ(make(o, &fci), ENOSPC);  // the pid's limit
    EXPECT_EQ(fci, nullptr);

    // The table is full: a new process's client is refused and its pid entry freed again.
    o.pid = 200;
    EXPECT_EQ(make(o, &fci), ENOSPC);
    for (const pid_entry& entry : pid_table) {
        EXPECT_NE(entry.pid, 200u);
    }
    forget(made.back());
    EXPECT_NE(make(o), nullptr);
}

// Each user but root gets its share of the table; the last slots are root's.
TEST_F(Clients, UsersShareTheTableAndRootKeepsItsSlots) {
    client_options o;
    client_info* refused = nullptr;
    o.uid = 1000;
    for (uint32_t i = 0; i < CLIENT_PER_USER_DEFAULT; i++) {
        ASSERT_NE(make(o), nullptr);
    }
    EXPECT_EQ(make(o, &refused), ENOSPC);
    const uint32_t open_to_users = CLIENT_TABLE_SLOTS - CLIENT_ROOT_RESERVED;
    while (made.size() < open_to_users) {
        o.uid = 1001 + static_cast<uint32_t>(made.size() / CLIENT_PER_USER_DEFAULT);
        ASSERT_NE(make(o), nullptr) << made.size();
    }
    o.uid = 5000;
    EXPECT_EQ(make(o, &refused), ENOSPC);
    o.uid = 0;
    EXPECT_NE(make(o), nullptr);
}

TEST_F(Clients, FileAndDirectoryLevelPaths) {
    client_info* file = make({});
    client_options dir;
    dir.flags = 0;
    client_info* d = make(dir);
    client_options bc;
    bc.flags = 0;
    bc.paths = {"/a/bc"};
    client_info* dbc = make(bc);
    client_options slash;
    slash.paths = {"/a/b/"};
    client_info* trailing = make(slash);
    ASSERT_TRUE(file && d && dbc && trailing);

    uint32_t flags = EVENT_CONTENT_MODIFIED | EVENT_IS_FILE | EVENT_DOCID_CREATED;
    route("/a/b/c", 1, flags);
    route("/a/bc", 2, flags);
    route("/a/b", 3, flags);
    route("/a/b/c/d", 4, flags);

    auto f = ring_of(file);
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0].path, "/a/b/c");
    EXPECT_EQ(f[0].flags, flags);
    EXPECT_EQ(f[1].path, "/a/b");
    EXPECT_EQ(f[2].path, "/a/b/c/d");
    EXPECT_EQ(ring_of(trailing).size(), 3u);

    auto dv = ring_of(d);
    ASSERT_EQ(dv.size(), 3u);
    EXPECT_EQ(dv[0].path, "/a/b/");
    EXPECT_EQ(dv[0].flags, flags & DIRECTORY_EVENT_MASK);
    EXPECT_EQ(dv[1].path, "/a/");
    EXPECT_EQ(dv[2].path, "/a/b/c/");
    // A directory-level client of /a/bc is not told of a change to /a/bc itself.
    EXPECT_TRUE(ring_of(dbc).empty());
}

TEST_F(Clients, RootWatchersIgnoredNamesAndKernelDrops) {
    client_options root;
    root.paths = {"/"};
    client_info* everything = make(root);
    client_info* other = make({});
    ASSERT_TRUE(everything && other);

    route("/x/y", 1);
    route("/", 2);
    route("/x/.qsd/y", 3);
    EXPECT_TRUE(is_ignored_directory(".vantlesd/0000000000000001"));
    EXPECT_TRUE(is_ignored_directory(".Glimmer-V100/x"));
    EXPECT_TRUE(is_ignored_directory("Vaults.vaultdb"));
    EXPECT_FALSE(is_ignored_directory("x/.vantlesd"));
    EXPECT_FALSE(is_ignored_directory("/x/.qsdy/z"));

    auto all = ring_of(everything);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].path, "/x/y");
    EXPECT_EQ(all[1].path, "/");
    EXPECT_TRUE(ring_of(other).empty());

    // A kernel drop reaches every live client once, whatever it watches.
    route("/elsewhere", 4, EVENT_KERNEL_DROPPED);
    EXPECT_EQ(ring_of(everything).size(), 3u);
    auto o = ring_of(other);
    ASSERT_EQ(o.size(), 1u);
    EXPECT_EQ(o[0].flags, EVENT_KERNEL_DROPPED);
    EXPECT_EQ(o[0].id, 4u);
}

TEST_F(Clients, FullRingDropsWithFirstLostId) {
    client_options o;
    o.ring_size = 4;
    client_info* small = make(o);
    client_info* big = make({});
    ASSERT_TRUE(small && big);
    for (uint64_t id = 1; id <= 5; id++) {
        route("/a/b/f" + std::to_string(id), id);
    }
    EXPECT_EQ(ring_of(small).size(), 3u);
    EXPECT_TRUE(small->flags.load() & CLIENT_EVENTS_DROPPED);
    EXPECT_EQ(small->dropped_id.load(), 4u);  // the first refused event, not the last
    EXPECT_EQ(ring_of(big).size(), 5u);
    EXPECT_FALSE(big->flags.load() & CLIENT_EVENTS_DROPPED);

    // The same pending path merges into the record already queued: no new slot.
    route("/a/b/f1", 6);
    EXPECT_EQ(ring_of(big).size(), 5u);
    EXPECT_EQ(ring_of(big)[0].id, 6u);
}

// A full ring whose client is draining gets a short while to make room before anything is
// dropped; once a client is behind (owes a dropped notice) its events are dropped at once.
TEST_F(Clients, FullRingWaitsForADrainingClient) {
    client_options o;
    o.ring_size = 4;
    client_info* fci = make(o);
    ASSERT_TRUE(fci);
    for (uint64_t id = 1; id <= 3; id++) {
        route("/a/b/f" + std::to_string(id), id);
    }
    pthread_mutex_lock(&fci->lock);
    fci->wake_pending = 0;  // the half-full wake of the routes above
    pthread_mutex_unlock(&fci->lock);
    // Drains one slot once the router, finding the ring full, has woken the client.
    std::thread drainer([fci] {
        bool woken = false;
        auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!woken && std::chrono::steady_clock::now() < give_up) {
            std::this_thread::sleep_for(std::chrono::microseconds(20));
            pthread_mutex_lock(&fci->lock);
            woken = fci->wake_pending != 0;
            pthread_mutex_unlock(&fci->lock);
        }
        if (!woken) {
            return;
        }
        uint32_t rd = fci->rd.load();
        event_record* e = fci->ring[rd];
        client_map_clear(e, fci->index);
        remove_event_ref(e);
        fci->ring[rd] = nullptr;
        fci->rd.store((rd + 1) % fci->ring_size);
    });
    route("/a/b/f4", 4);
    drainer.join();
    EXPECT_FALSE(fci->flags.load() & CLIENT_EVENTS_DROPPED);
    ASSERT_EQ(ring_of(fci).size(), 3u);
    EXPECT_EQ(ring_of(fci).back().id, 4u);

    route("/a/b/f5", 5);  // nobody drains: dropped after the wait
    EXPECT_TRUE(fci->flags.load() & CLIENT_EVENTS_DROPPED);
    EXPECT_EQ(fci->dropped_id.load(), 5u);
    route("/a/b/f6", 6);
    EXPECT_EQ(fci->dropped_id.load(), 5u);
    EXPECT_EQ(ring_of(fci).size(), 3u);
}

// The event that takes a ring past half full wakes its client at once (within the decode
// step, before any latency pass); the events before it do not.
TEST_F(Clients, RingPassingHalfFullWakesItsClient) {
    client_options o;
    o.ring_size = 8;
    client_info* fci = make(o);
    ASSERT_TRUE(fci);
    for (uint64_t id = 1; id <= 4; id++) {
        route("/a/b/f" + std::to_string(id), id);
    }
    EXPECT_EQ(fci->wake_pending, 0u);
    route("/a/b/f5", 5);
    EXPECT_EQ(fci->wake_pending, 1u);
    EXPECT_EQ(ring_of(fci).size(), 5u);
}

TEST_F(Clients, IgnoreSelf) {
    client_options o;
    o.flags = CLIENT_FILE_EVENTS | CLIENT_IGNORE_SELF;
    o.pid = 42;
    o.ring_size = 2;
    client_info* fci = make(o);
    ASSERT_NE(fci, nullptr);
    route("/a/b/own", 1, EVENT_CONTENT_MODIFIED, 0, 42);
    route("/a/b/theirs", 2, EVENT_CONTENT_MODIFIED, 0, 43);  // fills the ring
    auto r = ring_of(fci);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].path, "/a/b/theirs");
    EXPECT_FALSE(fci->flags.load() & CLIENT_EVENTS_DROPPED);
    // With the ring full, the client's own event is a lost one too.
    route("/a/b/own", 3, EVENT_CONTENT_MODIFIED, 0, 42);
    EXPECT_TRUE(fci->flags.load() & CLIENT_EVENTS_DROPPED);
    EXPECT_EQ(fci->dropped_id.load(), 3u);
}

// A volume table of two volumes, published while the object lives: the root (dev 1) and
// /Data/X (dev 9, depth 3).
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

TEST_F(Clients, DeviceRelativeClients) {
    two_volumes volumes;
    client_options o;
    o.device = 9;
    o.paths = {"Docs"};
    client_info* file = make(o);
    o.flags = 0;
    client_info* dir = make(o);
    o.flags = CLIENT_FILE_EVENTS;
    o.paths = {"/"};
    client_info* whole = make(o);
    o.paths = {"/any/.docid"};
    client_info* docid = make(o);
    client_options abs;
    abs.paths = {"/Data/X/Docs"};
    client_info* absolute = make(abs);
    ASSERT_TRUE(file && dir && whole && docid && absolute);

    EXPECT_STREQ(volume_relative_path(9, const_cast<char*>("/Data/X/Docs/f")), "Docs/f");
    EXPECT_STREQ(volume_relative_path(9, const_cast<char*>("/Data/X")), "");
    EXPECT_STREQ(volume_relative_path(9, const_cast<char*>("/.docid/5/x")), ".docid/5/x");
    EXPECT_STREQ(volume_relative_path(77, const_cast<char*>("/Data/X/a")), "/Data/X/a");

    route("/Data/X/Docs/f", 1, EVENT_CONTENT_MODIFIED, 9);
    // The same path on another volume reaches only the absolute client.
    route("/Data/X/Docs/g", 2, EVENT_CONTENT_MODIFIED, 8);
    // Doubled slashes: every client is told the path as if it had been written singly.
    route("/Data//X/Docs//h", 3, EVENT_CONTENT_MODIFIED, 9);
    route("/.docid/5/x", 4, EVENT_DOCID_CREATED, 9);
    route("/Data/X/.vantlesd/0000000000000001", 5, EVENT_CONTENT_MODIFIED, 9);

    auto paths = [](const client_info* fci) {
        std::vector<std::string> out;
        for (auto& e : ring_of(fci)) {
            out.push_back(e.path);
        }
        return out;
    };
    using v = std::vector<std::string>;
    EXPECT_EQ(paths(file), (v{"Docs/f", "Docs/h"}));
    EXPECT_EQ(paths(dir), (v{"Docs/"}));  // one record for both changes under Docs/
    EXPECT_EQ(ring_of(dir)[0].id, 3u);
    EXPECT_EQ(paths(whole), (v{"Docs/f", "Docs/h", ".docid/5/x"}));
    EXPECT_EQ(paths(docid), (v{".docid/5/x"}));
    EXPECT_EQ(paths(absolute), (v{"/Data/X/Docs/f", "/Data/X/Docs/g", "/Data/X/Docs/h"}));
}

// Events lost on one volume reach only the clients watching something on it, under its mount
// point; a volume the table does not know counts as the root volume's for relative clients.
TEST_F(Clients, VolumeNoticesReachTheClientsOfThatVolume) {
    two_volumes volumes;
    client_options o;
    std::vector<client_info*> c;
    for (const char* path : {"/", "/etc", "/Data/X/Docs", "/Data"}) {
        o.paths = {path};
        c.push_back(make(o));
    }
    o.device = 9;
    o.paths = {"Docs"};
    c.push_back(make(o));
    route("/Data/X", 1, EVENT_KERNEL_DROPPED, 9);
    route("/", 2, EVENT_KERNEL_DROPPED, 1);
    route("/mnt/new", 3, EVENT_KERNEL_DROPPED, 77);
    using v = std::vector<uint64_t>;
    std::vector<v> expected = {{1, 2, 3}, {2}, {1}, {1, 2}, {1}};
    for (size_t i = 0; i < c.size(); i++) {
        v ids;
        for (auto& e : ring_of(c[i]))
            ids.push_back(e.id);
        EXPECT_EQ(ids, expected[i]) << "client " << i;
    }
    EXPECT_EQ(ring_of(c[2])[0].path, "/Data/X");
}

TEST_F(Clients, HeadersAreNotSharedAcrossDevices) {
    // A device-relative path kept as given, then an absolute client of the same text: the
    // absolute client must still be told of absolute events, whichever came first.
    client_options rel;
    rel.device = 9;
    rel.paths = {"/Docs"};
    client_info* relative = make(rel);
    client_options abs;
    abs.paths = {"/Docs"};
    client_info* absolute = make(abs);
    ASSERT_TRUE(relative && absolute);
    EXPECT_EQ(table_count(), 2);
    route("/Docs/f", 1);
    ASSERT_EQ(ring_of(absolute).size(), 1u);
    EXPECT_TRUE(ring_of(relative).empty());
    forget(absolute);
    EXPECT_EQ(table_count(), 1);
    EXPECT_EQ(header_at(0)->device, 9u);
}

// A path longer than the event table keeps is cut before any header is matched, with or
// without doubled slashes: headers see the path every record is made of, whatever was routed
// before them.
TEST_F(Clients, LongPathsAreCutBeforeMatching) {
    std::string kept = "/" + std::string(EVENT_TABLE_PATH_MAX - 1, 'a');
    client_options o;
    o.paths = {kept};
    client_info* fci = make(o);
    ASSERT_NE(fci, nullptr);
    route(kept + "b/f", 1);
    route("/" + kept + "c/f", 2);
    auto r = ring_of(fci);
    ASSERT_EQ(r.size(), 1u);  // one record of the cut path
    EXPECT_EQ(r[0].path, kept);
    EXPECT_EQ(r[0].id, 2u);
}

// Thousands of paths added and removed in random order (shared, equal within one client, of
// both kinds and two devices): the table stays sorted, every path's node is on a header of its
// path, device and kind, refcounts are list lengths, and no header outlives its clients.
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
            ASSERT_TRUE(i == 0 || strcmp(t->entries[i - 1]->path, h->path) >= 0);
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

// The lookup reaches exactly the headers that a scan of every header with the match rule
// reaches, in table order, for random tables (absolute, device and removed headers, trailing
// slashes, "", "/", one-byte paths, equal paths of other device) and random events.
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
