// The disk logger and its pending-name table: events filed into the right volume's table in
// stored form, the flush at 5000 names into one sorted file, buffers cut where the next record
// would not fit, the id-wrap restart, the shutdown flush, and the table's growth.
#include "history/disk_logger.h"

#include "clients/history_step.h"
#include "common/buckets.h"
#include "common/crc.h"
#include "common/log.h"
#include "history/dls.h"
#include "history/fname_table.h"
#include "intake/event_ids.h"
#include "intake/event_thread.h"
#include "intake/events.h"
#include "tests/history/scratch_checks.h"
#include "volumes/dev_info.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <map>

namespace {

using scratch_checks::child_checks;
using scratch_checks::device_of;
using scratch_checks::exists;
using scratch_checks::gzip_members;
using scratch_checks::read_file;
using scratch_checks::run_scenario;

// Device numbers of hand-made records that no scratch file system has.
constexpr uint32_t NOT_LOGGED_DEV = 0x7ff00001;
constexpr uint32_t DISABLED_DEV = 0x7ff00002;
constexpr uint32_t UNKNOWN_DEV = 0x7ff00003;

// The root volume and "/mnt/v" with histories, "/n" without one and "/d" with logging disabled.
struct volumes {
    dev_info *root, *vol;
    std::vector<dev_info*> entries;
    dev_table_t table{};
};

dev_info* volume_record(const char* mount_point, uint32_t dev, uint32_t depth, uint32_t flags) {
    auto* di = new dev_info();
    di->dev = dev;
    di->mount_point = strdup(mount_point);
    di->depth = depth;
    di->flags = DEV_MOUNTED | flags;
    return di;
}

void run_with_volumes(const std::function<void(child_checks&, volumes&)>& body) {
    run_scenario({{"/mnt/v"}}, [&body] {
        child_checks c;
        crc_table_init();
        event_ids[0] = event_ids[1] = 0;
        event_id_index = 0;
        vantle_rwlock_init(&dev_lock);
        root_dev = device_of("/");
        volumes v;
        v.root = volume_record("/", root_dev, 1, DEV_IS_ROOT | DEV_LOGGED);
        create_dls(v.root);
        v.vol = volume_record("/mnt/v", device_of("/mnt/v"), 3, DEV_LOGGED);
        create_dls(v.vol);
        v.entries = {v.root, v.vol, volume_record("/n", NOT_LOGGED_DEV, 2, DEV_NOT_LOGGED),
                     volume_record("/d", DISABLED_DEV, 2, DEV_NOT_LOGGED | DEV_LOG_DISABLED)};
        v.table = dev_table_t{v.entries.data(), static_cast<int32_t>(v.entries.size())};
        dev_table.store(&v.table);
        if (CHILD_EXPECT(c, v.root->dls == global_dls && v.vol->dls && v.vol->dls != global_dls)) {
            c.clear_log();
            body(c, v);
        }
        return c.result();
    });
}

struct event {
    std::string path;
    uint32_t device;
    uint64_t id;
    uint32_t flags;
    int32_t length = -1;  // -1: the path's size with its NUL
};

// Hands the events to add_fname in batches of at most 32, as a delivery thread does.
void deliver(const std::vector<event>& events) {
    std::vector<int32_t> lengths;
    std::vector<const char*> paths;
    std::vector<uint32_t> flags, devices;
    std::vector<uint64_t> ids;
    for (const event& e : events) {
        lengths.push_back(e.length >= 0 ? e.length : static_cast<int32_t>(e.path.size() + 1));
        paths.push_back(e.path.c_str());
        flags.push_back(e.flags);
        devices.push_back(e.device);
        ids.push_back(e.id);
    }
    for (size_t at = 0; at < events.size(); at += 32)
        add_fname(nullptr, int32_t(std::min<size_t>(32, events.size() - at)), &lengths[at],
                  &paths[at], &flags[at], &devices[at], &ids[at]);
}

// A record as "path id flags", for pending names and records read back alike.
std::string rec(const std::string& path, uint64_t id, uint32_t flags) {
    return path + " " + std::to_string(id) + " " + std::to_string(flags);
}

// The pending names in the order iterate_fnames_sorted gives them.
std::vector<std::string> pending(dls* state) {
    std::vector<std::string> out;
    iterate_fnames_sorted(
        state,
        [](fname_entry* e, void* arg) {
            static_cast<std::vector<std::string>*>(arg)->push_back(
                rec(e->name, e->event_id, e->flags));
            return 0;
        },
        &out);
    return out;
}

std::vector<uint64_t> file_ids(const dls* state) {
    return std::vector<uint64_t>(state->file_ids, state->file_ids + state->num_files);
}

// A log file read back: its buffers (one per gzip member) and all their records (the
// writer's own checks are in log_writer_test).
struct log_file {
    std::vector<std::string> buffers;
    std::vector<std::string> records;
};

log_file read_log(const dls* state, uint64_t id) {
    log_file f;
    char path[PATH_BUFFER_SIZE];
    dls_log_file_path(state, id, path);
    f.buffers = gzip_members(path);
    for (const std::string& b : f.buffers) {
        log_record_walk w = log_record_walk_start(reinterpret_cast<const uint8_t*>(b.data()),
                                                  static_cast<uint32_t>(b.size()));
        log_record r;
        while (log_record_next(&w, &r) == 0)
            f.records.push_back(rec(std::string(r.path, r.path_length), r.id, r.flags));
    }
    return f;
}

// Only distinct names of the volume itself count towards 5000; repeats keep the last id and
// every flag; the file is named one above the last id and holds the names sorted.
TEST(add_fname, the_5000th_distinct_name_flushes_the_table_into_one_sorted_file) {
    run_with_volumes([](child_checks& c, volumes& v) {
        std::vector<event> events;
        std::map<std::string, std::string> expected;  // ordered as strcmp orders the names
        uint64_t id = 0x5a0000;
        for (uint32_t i = 0; i < 5000; ++i) {
            std::string name = "d" + std::to_string(i % 37) + "/" + std::to_string(i * 7919 % 5000);
            events.push_back({"/mnt/v/" + name, v.vol->dev, ++id, 1u << (i % 13)});
            expected[name] = rec(name, id, 1u << (i % 13));
            if (i % 97 == 0) {  // a repeat, and a root volume event
                events.push_back({"/mnt/v/" + name, v.vol->dev, ++id, EVENT_CHOWN});
                expected[name] = rec(name, id, (1u << (i % 13)) | EVENT_CHOWN);
                events.push_back({"/r" + std::to_string(i), root_dev, ++id, EVENT_DELETE});
            }
        }
        deliver(std::vector<event>(events.begin(), events.end() - 1));
        CHILD_EXPECT(c, v.vol->dls->fname_count == 4999 && v.vol->dls->num_files == 0);
        deliver({events.back()});
        std::vector<std::string> want;
        for (const auto& [name, r] : expected)
            want.push_back(r);
        CHILD_EXPECT(c, file_ids(v.vol->dls) == std::vector<uint64_t>{id + 1});
        log_file f = read_log(v.vol->dls, id + 1);
        CHILD_EXPECT(c, f.buffers.size() == 1 && f.records == want);
        CHILD_EXPECT(c, v.vol->dls->fname_count == 0 && global_dls->fname_count == 52);
    });
}

TEST(add_fname, files_each_event_in_its_volumes_table_in_stored_form) {
    run_with_volumes([](child_checks& c, volumes& v) {
        deliver({
            {"/a/b", root_dev, 10, EVENT_CREATE_FILE},
            {"/.docid/12/34", root_dev, 11, EVENT_DOCID_CREATED},
            {"/mnt/v/db/x", v.vol->dev, 12, EVENT_CONTENT_MODIFIED},
            {"/mnt/v/.docid/5/6", v.vol->dev, 13, EVENT_DOCID_CHANGED},
            {"/mnt/v/db/y", UNKNOWN_DEV, 14, EVENT_DELETE},    // root table, path as given
            {"/n/x", NOT_LOGGED_DEV, 15, EVENT_RENAME},        // root table, path as given
            {"/d/gone", DISABLED_DEV, 16, EVENT_CREATE_FILE},  // dropped
            // A length that leaves out the NUL is put right.
            {"/mnt/v/short", v.vol->dev, 17, EVENT_STAT_CHANGED, int32_t(strlen("/mnt/v/short"))},
            {"/mnt/v/short", v.vol->dev, 18, EVENT_CHOWN},
        });
        CHILD_EXPECT(c, (pending(global_dls) ==
                         std::vector<std::string>{rec(".docid/12/34", 11, EVENT_DOCID_CREATED),
                                                  rec("/mnt/v/db/y", 14, EVENT_DELETE),
                                                  rec("/n/x", 15, EVENT_RENAME),
                                                  rec("a/b", 10, EVENT_CREATE_FILE)}));
        CHILD_EXPECT(
            c, (pending(v.vol->dls) ==
                std::vector<std::string>{rec(".docid/5/6", 13, EVENT_DOCID_CHANGED),
                                         rec("db/x", 12, EVENT_CONTENT_MODIFIED),
                                         rec("short", 18, EVENT_STAT_CHANGED | EVENT_CHOWN)}));
        CHILD_EXPECT(c, global_dls->last_event_id == 15 && v.vol->dls->last_event_id == 18);
        CHILD_EXPECT(c, c.logged("add_fname: path <<short>> has len 5 but should be +1!"));
    });
}

// Events of a volume without a history fill the root table but never flush it themselves.
TEST(add_fname, only_the_root_volumes_own_events_flush_the_root_table) {
    run_with_volumes([](child_checks& c, volumes&) {
        std::vector<event> events;
        for (int i = 0; i < 5001; ++i)
            events.push_back(
                {"/n/" + std::to_string(i), i ? NOT_LOGGED_DEV : root_dev, 100u + i, 1});
        deliver(events);
        CHILD_EXPECT(c, global_dls->fname_count == 5001 && global_dls->num_files == 0);
        deliver({{"/z", root_dev, 6000, EVENT_CREATE_FILE}});
        CHILD_EXPECT(c, global_dls->fname_count == 0 && global_dls->num_files == 1);
    });
}

TEST(add_fname, a_wrapped_volume_drops_its_names_and_files_and_starts_over) {
    run_with_volumes([](child_checks& c, volumes& v) {
        dls* state = v.vol->dls;
        deliver({{"/mnt/v/old1", v.vol->dev, 0x9000, EVENT_CREATE_FILE}});
        flush_fname_table(v.vol);
        deliver({{"/mnt/v/old2", v.vol->dev, 0x9100, EVENT_CREATE_FILE},
                 {"/a", root_dev, 0x9101, EVENT_CREATE_FILE}});
        std::string old_uuid = read_file("/mnt/v/.vantlesd/vantlesd-uuid");

        mark_volume_wrapped(v.vol, nullptr);
        mark_volume_wrapped(v.root, nullptr);
        deliver({{"/mnt/v/new", v.vol->dev, 5, EVENT_DELETE}});
        CHILD_EXPECT(c, c.logged("event id's wrapped for volume /mnt/v"));
        CHILD_EXPECT(c, !(v.vol->flags & DEV_IDS_WRAPPED));
        CHILD_EXPECT(c, pending(state) == std::vector<std::string>{rec("new", 5, EVENT_DELETE)});
        CHILD_EXPECT(c, state->num_files == 0 && !exists("/mnt/v/.vantlesd/0000000000009001"));
        std::string new_uuid = read_file("/mnt/v/.vantlesd/vantlesd-uuid");
        CHILD_EXPECT(c, new_uuid == v.vol->uuid_text && new_uuid != old_uuid);
        // Another volume restarts only with its own next event.
        CHILD_EXPECT(c, (v.root->flags & DEV_IDS_WRAPPED) && global_dls->fname_count == 1);
        // The next file is named after the new ids.
        flush_fname_table(v.vol);
        CHILD_EXPECT(c, file_ids(state) == std::vector<uint64_t>{6});
    });
}

// Records of 923 bytes: 284 after the header would fill the area to its last byte, which a
// buffer never does, so each full buffer holds 283.
TEST(flush_fname_table, starts_a_new_buffer_where_the_next_record_would_reach_the_area_end) {
    run_with_volumes([](child_checks& c, volumes& v) {
        std::vector<event> events;
        std::vector<std::string> want;
        for (uint32_t i = 0; i < 600; ++i) {
            char number[16];
            snprintf(number, sizeof number, "%04u", i);
            std::string name = number + std::string(906, 'q');
            events.push_back({"/mnt/v/" + name, v.vol->dev, 0x2000 + i, EVENT_DELETE});
            want.push_back(rec(name, 0x2000 + i, EVENT_DELETE));
        }
        deliver(events);
        flush_fname_table(v.vol);
        log_file f = read_log(v.vol->dls, 0x2000 + 600);
        CHILD_EXPECT(c, f.records == want && f.buffers.size() == 3);
        for (size_t b = 0; b < f.buffers.size(); ++b)
            CHILD_EXPECT(c, f.buffers[b].size() == DISK_LOG_HEADER_SIZE + (b < 2 ? 283 : 34) * 923);
    });
}

time_t mtime_of(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0 ? st.st_mtime : 0;
}

TEST(cleanup_dls, writes_the_pending_names_and_stamps_the_uuid_file) {
    run_with_volumes([](child_checks& c, volumes& v) {
        dls* state = v.vol->dls;
        const char* uuid_file = "/mnt/v/.vantlesd/vantlesd-uuid";
        const char* root_uuid_file = "/.vantlesd/vantlesd-uuid";
        const struct timeval long_ago[2] = {{1000000000, 0}, {1000000000, 0}};
        CHILD_EXPECT(c, utimes(uuid_file, long_ago) == 0 && utimes(root_uuid_file, long_ago) == 0);
        deliver({{"/mnt/v/b", v.vol->dev, 40, EVENT_CREATE_FILE},
                 {"/mnt/v/a", v.vol->dev, 41, EVENT_DELETE},
                 {"/r", root_dev, 42, EVENT_CREATE_DIR}});

        time_t before = time(nullptr);
        CHILD_EXPECT(c, cleanup_dls(v.vol, nullptr) == 0);
        CHILD_EXPECT(c, (read_log(state, 42).records ==
                         std::vector<std::string>{rec("a", 41, EVENT_DELETE),
                                                  rec("b", 40, EVENT_CREATE_FILE)}));
        CHILD_EXPECT(c, mtime_of(uuid_file) >= before);

        // The root history is closed only once the daemon shuts down.
        CHILD_EXPECT(c, cleanup_dls(v.root, nullptr) == 0);
        CHILD_EXPECT(c, global_dls->fname_count == 1 && mtime_of(root_uuid_file) == 1000000000);
        shutting_down = 1;
        CHILD_EXPECT(c, cleanup_dls(v.root, nullptr) == 0);
        CHILD_EXPECT(c, read_log(global_dls, 43).records ==
                            std::vector<std::string>{rec("r", 42, EVENT_CREATE_DIR)});
        CHILD_EXPECT(c, mtime_of(root_uuid_file) >= before);

        // A history that cannot be trusted after this run goes, directory and all.
        v.vol->flags |= DEV_LOG_DIR_UNTRUSTED;
        deliver({{"/mnt/v/c", v.vol->dev, 50, EVENT_CREATE_FILE}});
        CHILD_EXPECT(c, cleanup_dls(v.vol, nullptr) == 0);
        CHILD_EXPECT(c, !exists("/mnt/v/.vantlesd"));
    });
}

struct table_state {
    dls* state = static_cast<dls*>(calloc(1, sizeof(dls)));
    table_state() {
        crc_table_init();
        pthread_rwlock_init(&state->fname_lock, nullptr);
        state->fname_buckets =
            reinterpret_cast<fname_entry**>(alloc_buckets(4096, &state->fname_mask));
    }
    ~table_state() {
        clear_fname_table(state);
        free(state->fname_buckets);
        free(state);
    }
    bool add(const std::string& name, uint64_t id, uint32_t flags) {
        return fname_record(state, name.c_str(), uint32_t(name.size() + 1), id, flags);
    }
};

// Entries move between buckets at every doubling: each must still be found (recording it
// again adds none) and listed once, in strcmp order; growth stops below the largest size.
TEST(fname_table, grows_to_its_largest_size_keeping_every_entry_exactly_once) {
    table_state t;
    log_open("history_tests", LOG_OPTIONS_STDERR);
    testing::internal::CaptureStderr();
    const uint32_t count = 450000;
    std::vector<std::string> want;
    for (uint32_t i = 0; i < count; ++i) {
        std::string name = "n" + std::to_string(i) + std::string(i % 7, '/');
        ASSERT_TRUE(t.add(name, i, 1));
        want.push_back(i % 3 ? rec(name, i, 1) : rec(name, i + count, 3));
    }
    for (uint32_t i = 0; i < count; i += 3)
        ASSERT_TRUE(t.add(want[i].substr(0, want[i].find(' ')), i + count, 2));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(t.state->fname_mask, FNAME_MAX_BUCKETS / 2 - 1);
    EXPECT_EQ(t.state->fname_count, count);
    size_t first = log.find("fname table has grown too large.");
    EXPECT_NE(first, std::string::npos);
    EXPECT_EQ(log.find("fname table has grown too large.", first + 1), std::string::npos);
    std::sort(want.begin(), want.end());  // the space sorts below every name byte
    EXPECT_TRUE(pending(t.state) == want);
    clear_fname_table(t.state);
    ASSERT_TRUE(t.add("again", 1, 2));
    EXPECT_EQ(pending(t.state), std::vector<std::string>{rec("again", 1, 2)});
}

TEST(history_start_file, picks_the_file_named_by_the_id_or_the_last_one_below_it) {
    const uint64_t ids[] = {0x10, 0x20, 0x30};
    const std::pair<uint64_t, int32_t> cases[] = {{0, 0},    {0x10, 0}, {0x1f, 0}, {0x20, 1},
                                                  {0x2f, 1}, {0x30, 2}, {0x31, 2}, {UINT64_MAX, 2}};
    for (auto [id, index] : cases)
        EXPECT_EQ(history_start_file(ids, 3, id), index) << id;
    EXPECT_EQ(history_start_file(ids, 1, 0x50), 0);
}

}  // namespace
