// A volume's history on disk: the rule that trusts an old history, create_dls in every way a
// volume's directory can be found and the ids resumed above its history, and the disk logger
// filing events in stored form, flushing at 5000 names into full buffers, or to /dev/null.
#include "history/disk_logger.h"
#include "intake/intake_state.h"

#include "history/dls.h"
#include "intake/events.h"
#include "intake/event_ids.h"
#include "tests/history/scratch_checks.h"
#include "volumes/dev_info.h"

#include <zlib.h>

#include <algorithm>
#include <set>

namespace {

using namespace scratch_checks;

// A volume's record, its history state made; dev 0: the device of mount_point.
dev_info* volume_record(const char* mount_point, uint32_t flags, uint32_t dev = 0,
                        uint32_t depth = 0) {
    volumes.root_dev = device_of("/");
    auto* di = new dev_info();
    di->dev = dev ? dev : device_of(mount_point);
    di->mount_point = strdup(mount_point);
    di->depth = depth;
    di->flags = DEV_MOUNTED | flags;
    create_dls(di);
    return di;
}

// Trusted across a restart: a stamp under 6 s old, a volume changed under 2 min after it.
TEST(history_out_of_step, keeps_a_history_only_while_the_volume_matches_its_stamp) {
    const int64_t t = 1700000000;
    EXPECT_FALSE(history_out_of_step(t - 5, t - 3600, t - 5, t));
    EXPECT_TRUE(history_out_of_step(t - 6, t - 3600, t - 6, t));
    EXPECT_TRUE(history_out_of_step(t, t - 10, t - 120, t - 1));
}

// KEPT: the old files and uuid stand. NEW: old files gone, a new lower-case uuid written.
// NO_UUID: old files gone, no uuid file could be written.
enum outcome { NO_HISTORY, KEPT, NEW, NO_UUID };

// One volume per row; a history is made in "<volume>/.vantlesd" before the row's preparation.
TEST(create_dls, finds_or_makes_a_directory_of_the_volumes_own_and_trusts_only_a_sound_history) {
    std::vector<scratch_volume> volumes = {{"/o"}, {"/o/.vantlesd"}};
    for (int i = 1; i <= 7; ++i)
        volumes.push_back({"/v" + std::to_string(i)});
    run_scenario(volumes, [] {
        child_checks c;
        struct {
            const char* mount_point;
            bool history;
            std::string prepare;
            outcome result;
            const char* after;  // a shell test that must pass afterwards
        } cases[] = {
            // clang-format off
            {"/v1", false, "", NEW,
             "[ $(stat -c %a /v1/.vantlesd)$(stat -c %a /v1/.vantlesd/vantlesd-uuid) = 700600 ]"},
            // A directory of that name on another volume is not this volume's.
            {"/o", false, "echo x > /o/.vantlesd/0000000000000010", NO_HISTORY,
             "[ -e /o/.vantlesd/0000000000000010 ] && [ ! -e /o/.vantlesd/vantlesd-uuid ]"},
            // A link in its place is replaced; its target is not touched.
            {"/v2", false, "mkdir /v2/e && : > /v2/e/0000000000000010 && ln -s e /v2/.vantlesd",
             NEW, "[ ! -L /v2/.vantlesd ] && [ -e /v2/e/0000000000000010 ]"},
            // The alternative directory reached through a link does not match its own path.
            {"/v3", false, "mkdir -p /v3/p2/var/db/vantlesd && ln -s p2 /v3/private", NO_HISTORY,
             "[ -d /v3/p2/var/db/vantlesd ] && [ ! -e /v3/.vantlesd ]"},
            {"/v4", true, "", KEPT, "true"},
            {"/v5", true, "printf %080d 0 > /v5/.vantlesd/vantlesd-uuid", NEW, "true"},
            {"/v6", true, "rm /v6/.vantlesd/vantlesd-uuid && mkdir /v6/.vantlesd/vantlesd-uuid",
             NO_UUID, "[ -d /v6/.vantlesd/vantlesd-uuid ]"},
            {"/v7", true, "echo x > /v7/t && ln -sf /v7/t /v7/.vantlesd/vantlesd-uuid", NEW,
             "[ $(cat /v7/t) = x ]"},
            // clang-format on
        };
        for (const auto& k : cases) {
            std::string dir = std::string(k.mount_point) + "/.vantlesd";
            if (k.history)  // a trusted history: log files 0x10 and 0x20, a good uuid file
                CHILD_EXPECT(c, write_history(dir, 0x10) && write_history(dir, 0x20));
#define ROW_EXPECT(condition) c.expect((condition), k.mount_point, __LINE__)
            ROW_EXPECT(k.prepare.empty() || system(k.prepare.c_str()) == 0);
            dev_info* di = volume_record(k.mount_point, DEV_LOGGED);
            ROW_EXPECT(system(k.after) == 0 && (k.result == NO_HISTORY) == !di->dls);
            if (!di->dls)
                continue;
            bool old = exists(log_file(dir, 0x10).c_str()) && exists(log_file(dir, 0x20).c_str());
            std::string uuid = read_file((dir + "/vantlesd-uuid").c_str());
            ROW_EXPECT(dir == di->dls->log_dir && std::none_of(uuid.begin(), uuid.end(), isupper));
            ROW_EXPECT(k.result != KEPT || (old && di->dls->num_files == 2 && uuid == KNOWN_UUID));
            ROW_EXPECT(k.result == NO_UUID ? c.logged("failed to create the uuid file " + dir)
                                           : uuid.size() == 36 && uuid == di->uuid_text);
            ROW_EXPECT(!k.history || k.result == KEPT || (!old && di->dls->num_files == 0));
#undef ROW_EXPECT
        }
        return c.result();
    });
}

// The counter resumes above the newest readable log file and above the id ceiling a killed
// daemon left, but only a well-formed ceiling of the daemon's own; it never goes back.
TEST(create_dls, resumes_the_event_ids_above_the_history_and_its_id_ceiling) {
    run_scenario({{"/var"}}, [] {
        child_checks c;
        const std::string dir = "/var/.vantlesd", ids = dir + "/vantlesd-ids";
        CHILD_EXPECT(c, write_history(dir, 0x10));  // the uuid file; the log files made anew
        CHILD_EXPECT(c, write_log_file(log_file(dir, 0x10).c_str(), {{"a", 0x11}, {"b", 0x15}}));
        CHILD_EXPECT(c, write_log_file(log_file(dir, 0x20).c_str(), {{"a", 0x2a}, {"z", 0x21}}));
        for (const char* name : {"/0000000000000000", "/ffffffffffffffff", "/000000000000001g"})
            CHILD_EXPECT(c, write_file((dir + name).c_str(), "x"));
        auto resumed = [&](uint64_t from = 0) {
            intake.event_ids[0] = from;
            intake.event_ids[1] = intake.event_id_index = 0;
            dev_info* di = volume_record("/var", DEV_LOGGED);
            CHILD_EXPECT(c, di->dls && di->dls->num_files == 2 && di->dls->file_ids[0] == 0x10 &&
                                di->dls->file_ids[1] == 0x20);
            return current_event_id();
        };
        CHILD_EXPECT(c, resumed() == 0x2b && resumed(0x1000) == 0x1000);
        CHILD_EXPECT(c, write_file(log_file(dir, 0x20).c_str(), "not a log file"));
        CHILD_EXPECT(c, resumed() == 0x16);  // the next older file says where to go on

        CHILD_EXPECT(c, write_file(ids.c_str(), "0000000000001000\n") && resumed() == 0x1000);
        CHILD_EXPECT(c, resumed(0x2000) == 0x2000);
        for (const char* text : {"1000", "000000000000zzzz\n", "00000000000010000", ""}) {
            CHILD_EXPECT(c, unlink(ids.c_str()) == 0 && write_file(ids.c_str(), text));
            c.expect(resumed() == 0x16, text, __LINE__);
        }
        CHILD_EXPECT(c, write_file(ids.c_str(), "0000000000001000\n") &&
                            chown(ids.c_str(), 65534, 65534) == 0 && resumed() == 0x16);
        return c.result();
    });
}

constexpr uint32_t NOT_LOGGED_DEV = 0x7ff00001, DISABLED_DEV = 0x7ff00002;  // no scratch device
dev_info *root, *vol;  // "/" and "/mnt/v", with histories

// The volume table also holds "/n" without a history and "/d" with logging disabled.
void run_with_volumes(const std::function<void(child_checks&)>& body) {
    run_scenario({{"/mnt/v"}}, [&body] {
        child_checks c;
        vantle_rwlock_init(&volumes.dev_lock);
        root = volume_record("/", DEV_IS_ROOT | DEV_LOGGED, 0, 1);
        vol = volume_record("/mnt/v", DEV_LOGGED, device_of("/mnt/v"), 3);
        static dev_info* entries[] = {
            root, vol, volume_record("/n", DEV_NOT_LOGGED, NOT_LOGGED_DEV, 2),
            volume_record("/d", DEV_NOT_LOGGED | DEV_LOG_DISABLED, DISABLED_DEV, 2)};
        static dev_table_t table{entries, 4};
        volumes.dev_table.store(&table);
        if (CHILD_EXPECT(c, root->dls == histories.global_dls && vol->dls &&
                                vol->dls != histories.global_dls))
            body(c);
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

// Hands each event to add_fname with a second record past the count, which must not be filed.
void deliver(const std::vector<event>& events) {
    for (const event& e : events) {
        int32_t lengths[] = {e.length >= 0 ? e.length : int32_t(e.path.size() + 1), 8};
        const char* paths[] = {e.path.c_str(), "/beyond"};
        uint32_t flags[] = {e.flags, 1}, devices[] = {e.device, volumes.root_dev};
        uint64_t ids[] = {e.id, 1};
        add_fname(nullptr, 1, lengths, paths, flags, devices, ids);
    }
}

std::string rec(const std::string& path, uint64_t id, uint32_t flags) {
    return path + " " + std::to_string(id) + " " + std::to_string(flags);
}
using recs = std::vector<std::string>;

// The records of a log file, buffer by buffer.
std::vector<recs> read_log(const dls* state, uint64_t id) {
    std::string all;
    char chunk[65536];
    gzFile gz = gzopen(log_file(state->log_dir, id).c_str(), "rb");
    for (int n; gz && (n = gzread(gz, chunk, sizeof chunk)) > 0;)
        all.append(chunk, n);
    gzclose(gz);
    std::vector<recs> buffers;
    for (uint32_t at = 0, length; at + DISK_LOG_HEADER_SIZE <= all.size(); at += length) {
        memcpy(&length, all.data() + at + 8, sizeof length);
        length = std::clamp<uint32_t>(length, DISK_LOG_HEADER_SIZE, all.size() - at);
        log_record_walk w =
            log_record_walk_start(reinterpret_cast<const uint8_t*>(all.data()) + at, length);
        buffers.emplace_back();
        for (log_record r; log_record_next(&w, &r) == 0;)
            buffers.back().push_back(rec(std::string(r.path, r.path_length), r.id, r.flags));
    }
    return buffers;
}

TEST(add_fname, files_each_event_in_its_volumes_table_in_stored_form) {
    run_with_volumes([](child_checks& c) {
        deliver({
            {"/a/b", volumes.root_dev, 10, EVENT_CREATE_FILE},
            {"/.docid/12/34", volumes.root_dev, 11, EVENT_DOCID_CREATED},
            {"/mnt/v/db/x", vol->dev, 12, EVENT_CONTENT_MODIFIED},
            {"/mnt/v/.docid/5/6", vol->dev, 13, EVENT_DOCID_CHANGED},
            {"/mnt/v/db/y", 0x7ff00003, 14, EVENT_DELETE},     // unknown: root table, as given
            {"/n/x", NOT_LOGGED_DEV, 15, EVENT_RENAME},        // root table, path as given
            {"/d/gone", DISABLED_DEV, 16, EVENT_CREATE_FILE},  // dropped
            // A length without the NUL is put right; a repeat keeps every flag.
            {"/mnt/v/short", vol->dev, 17, EVENT_STAT_CHANGED, 12},
            {"/mnt/v/short", vol->dev, 18, EVENT_CHOWN},
        });
        flush_fname_table(root);
        flush_fname_table(vol);
        CHILD_EXPECT(c, (read_log(histories.global_dls, 16) ==
                         std::vector<recs>{{rec(".docid/12/34", 11, EVENT_DOCID_CREATED),
                                            rec("/mnt/v/db/y", 14, EVENT_DELETE),
                                            rec("/n/x", 15, EVENT_RENAME),
                                            rec("a/b", 10, EVENT_CREATE_FILE)}}));
        CHILD_EXPECT(c, (read_log(vol->dls, 19) ==
                         std::vector<recs>{{rec(".docid/5/6", 13, EVENT_DOCID_CHANGED),
                                            rec("db/x", 12, EVENT_CONTENT_MODIFIED),
                                            rec("short", 18, EVENT_STAT_CHANGED | EVENT_CHOWN)}}));
    });
}

// Only distinct names of the volume itself count. Records of 923 bytes fill a buffer to 283
// (284 would reach the area's last byte, which a buffer never does), a file takes 16 buffers,
// and the first is named one above the last id. Names of volumes without a history fill the
// root table and flush it at 5000 as well, into the root's history.
TEST(add_fname, the_5000th_distinct_name_flushes_the_table_into_files_of_full_buffers) {
    run_with_volumes([](child_checks& c) {
        std::vector<event> events, others;
        for (uint32_t i = 0; i < 5000; ++i) {
            std::string name = std::to_string(10000 + i * 7919 % 5000) + std::string(905, 'q');
            events.push_back({"/mnt/v/" + name, vol->dev, 100 + i, 1});
            if (i % 97 == 0)
                events.push_back({events.back().path, vol->dev, 100 + i, 2});
        }
        for (uint32_t i = 0; i < 8000; ++i)
            others.push_back(
                {"/n/" + std::to_string(i), i ? NOT_LOGGED_DEV : volumes.root_dev, 1 + i, 1});
        deliver(std::vector<event>(events.begin(), events.end() - 1));
        CHILD_EXPECT(c, vol->dls->fname_count == 4999 && vol->dls->num_files == 0);
        deliver({events.back()});
        std::vector<recs> buffers = read_log(vol->dls, 5100), second = read_log(vol->dls, 5101);
        CHILD_EXPECT(c, buffers.size() == 16 && second.size() == 2 && second[0].size() == 283);
        buffers.insert(buffers.end(), second.begin(), second.end());
        recs got;
        for (const recs& b : buffers)
            got.insert(got.end(), b.begin(), b.end());
        CHILD_EXPECT(c, got.size() == 5000 && std::is_sorted(got.begin(), got.end()) &&
                            got[0] == rec("10000" + std::string(905, 'q'), 100, 3));
        deliver(others);
        CHILD_EXPECT(
            c, histories.global_dls->fname_count == 3000 && histories.global_dls->num_files == 1);
        recs all = read_log(histories.global_dls, 5001).at(0);
        CHILD_EXPECT(c, std::set<std::string>(all.begin(), all.end()).size() == 5000);
    });
}

// A log directory replaced by a link gets nothing: the buffer goes to /dev/null and its id
// stays taken. An untrusted history goes at cleanup, directory and all.
TEST(disk_logger, a_moved_log_directory_gets_nothing_and_an_untrusted_one_goes) {
    run_with_volumes([](child_checks& c) {
        const std::string dir = vol->dls->log_dir;
        deliver({{"/mnt/v/x", vol->dev, 0x20, 1}});
        CHILD_EXPECT(c, rename(dir.c_str(), "/mnt/v/e") == 0 && symlink("e", dir.c_str()) == 0);
        flush_fname_table(vol);
        CHILD_EXPECT(c, vol->dls->num_files == 1 && vol->dls->file_ids[0] == 0x21 &&
                            read_file("/mnt/v/e/0000000000000021").empty());
        CHILD_EXPECT(c, unlink(dir.c_str()) == 0 && rename("/mnt/v/e", dir.c_str()) == 0);
        vol->flags |= DEV_LOG_DIR_UNTRUSTED;
        CHILD_EXPECT(c, cleanup_dls(vol, nullptr) == 0 && !exists(dir.c_str()));
    });
}

}  // namespace
