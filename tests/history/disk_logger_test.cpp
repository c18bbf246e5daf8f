// The disk logger and its pending-name table: filing event batches into the right volume's
// table in stored path form, the flush at 5000 names and what it leaves on disk (sorted
// records, buffers split at the right place, files ended at their credit), merging of repeated
// events, the id-wrap restart, table growth, the shutdown flush, and the choice of the log file
// a history replay starts from.
#include "history/disk_logger.h"

#include "clients/history_step.h"
#include "common/buckets.h"
#include "common/crc.h"
#include "common/log.h"
#include "history/dls.h"
#include "history/fname_table.h"
#include "history/log_buffer.h"
#include "intake/event_ids.h"
#include "intake/event_thread.h"
#include "intake/events.h"
#include "tests/history/scratch_checks.h"
#include "volumes/dev_info.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ctime>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using scratch_checks::child_checks;
using scratch_checks::device_of;
using scratch_checks::exists;
using scratch_checks::gzip_members;
using scratch_checks::read_file;
using scratch_checks::run_scenario;

// Device numbers of the hand-made records; no scratch file system has them.
constexpr uint32_t NOT_LOGGED_DEV = 0x7ff00001;
constexpr uint32_t DISABLED_DEV = 0x7ff00002;
constexpr uint32_t UNKNOWN_DEV = 0x7ff00003;

// ---- The volume table of a scenario ----

// The root volume and "/mnt/v" with histories made by create_dls, a volume without a history
// ("/n") and one whose logging is disabled ("/d"), published as the volume table.
struct volumes {
    dev_info* root = nullptr;
    dev_info* vol = nullptr;
    dev_info* not_logged = nullptr;
    dev_info* disabled = nullptr;
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

// Builds the table in a scratch root that has a volume at "/mnt/v". False when a history
// could not be made.
bool make_volumes(child_checks& c, volumes* v) {
    crc_table_init();
    event_ids[0] = 0;
    event_ids[1] = 0;
    event_id_index = 0;
    CHILD_EXPECT(c, vantle_rwlock_init(&dev_lock) == 0);
    root_dev = device_of("/");
    v->root = volume_record("/", root_dev, 1, DEV_IS_ROOT | DEV_LOGGED);
    create_dls(v->root);
    v->vol = volume_record("/mnt/v", device_of("/mnt/v"), 3, DEV_LOGGED);
    create_dls(v->vol);
    v->not_logged = volume_record("/n", NOT_LOGGED_DEV, 2, DEV_NOT_LOGGED);
    v->disabled = volume_record("/d", DISABLED_DEV, 2, DEV_NOT_LOGGED | DEV_LOG_DISABLED);
    v->entries = {v->root, v->vol, v->not_logged, v->disabled};
    v->table = dev_table_t{v->entries.data(), static_cast<int32_t>(v->entries.size())};
    dev_table.store(&v->table);
    bool ready = CHILD_EXPECT(c, v->root->dls != nullptr && global_dls == v->root->dls) &&
                 CHILD_EXPECT(c, v->vol->dls != nullptr && v->vol->dls != global_dls) &&
                 CHILD_EXPECT(c, v->vol->dev != root_dev) &&
                 CHILD_EXPECT(c, !(v->vol->flags & DEV_LOG_DIR_UNTRUSTED));
    c.clear_log();
    return ready;
}

// Runs body in a scratch root with the volume table of make_volumes; the scenario's result is
// that of the checks body made.
void run_with_volumes(const std::function<void(child_checks&, volumes&)>& body) {
    run_scenario({{"/mnt/v"}}, [&body] {
        child_checks c;
        volumes v;
        if (make_volumes(c, &v)) {
            body(c, v);
        }
        return c.result();
    });
}

// ---- Delivering events ----

struct event {
    std::string path;
    uint32_t device;
    uint64_t id;
    uint32_t flags;
    int32_t length = -1;  // -1: the path's size with its NUL
};

// Hands the events to add_fname in batches of at most 32, as a delivery thread does.
void deliver(const std::vector<event>& events) {
    for (size_t at = 0; at < events.size(); at += 32) {
        size_t n = std::min<size_t>(32, events.size() - at);
        std::vector<int32_t> lengths;
        std::vector<const char*> paths;
        std::vector<uint32_t> flags, devices;
        std::vector<uint64_t> ids;
        for (size_t i = at; i < at + n; ++i) {
            const event& e = events[i];
            lengths.push_back(e.length >= 0 ? e.length : static_cast<int32_t>(e.path.size() + 1));
            paths.push_back(e.path.c_str());
            flags.push_back(e.flags);
            devices.push_back(e.device);
            ids.push_back(e.id);
        }
        add_fname(nullptr, static_cast<int32_t>(n), lengths.data(), paths.data(), flags.data(),
                  devices.data(), ids.data());
    }
}

// ---- Reading a history back ----

struct record {
    std::string path;
    uint64_t id;
    uint32_t flags;
    bool operator==(const record&) const = default;
};

struct pending {
    std::string name;
    uint64_t id;
    uint32_t flags;
};

// The table's entries in the order iterate_fnames_sorted gives them.
std::vector<pending> pending_names(dls* state) {
    std::vector<pending> out;
    iterate_fnames_sorted(
        state,
        [](fname_entry* e, void* arg) {
            static_cast<std::vector<pending>*>(arg)->push_back({e->name, e->event_id, e->flags});
            return 0;
        },
        &out);
    return out;
}

std::string hex_name(uint64_t id) {
    char name[32];
    snprintf(name, sizeof name, "%.16llx", static_cast<unsigned long long>(id));
    return name;
}

// Names in dir other than "." and "..", sorted.
std::vector<std::string> dir_names(const char* dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir);
    if (d == nullptr) {
        return names;
    }
    while (dirent* entry = readdir(d)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
            names.push_back(entry->d_name);
        }
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// The log files of a directory (every name but the uuid file's).
std::vector<std::string> log_files(const dls* state) {
    std::vector<std::string> names = dir_names(state->log_dir);
    std::erase(names, std::string(DLS_UUID_FILE));
    return names;
}

std::vector<uint64_t> file_ids(const dls* state) {
    return std::vector<uint64_t>(state->file_ids, state->file_ids + state->num_files);
}

// The records of one buffer read back; false when the buffer fails a reader's checks (header,
// length, checksum) or a record is cut off.
bool buffer_records(const std::string& bytes, std::vector<record>* out) {
    std::string copy = bytes;
    auto* p = reinterpret_cast<uint8_t*>(copy.data());
    log_buffer_header h;
    log_buffer_checksum sum;
    if (copy.size() < DISK_LOG_HEADER_SIZE || log_buffer_check_header(p, &h) != 0 ||
        h.order != LOG_ORDER_NATIVE || h.length != copy.size() ||
        log_buffer_check_checksum(p, h.length, false, &sum) != 0 || sum.alternate) {
        return false;
    }
    log_record_walk w = log_record_walk_start(p, h.length);
    log_record r;
    int rc;
    while ((rc = log_record_next(&w, &r)) == 0) {
        out->push_back({std::string(r.path, r.path_length), r.id, r.flags});
    }
    return rc == ENOENT && w.pos == h.length;
}

// A log file read back: its buffers (one per gzip member) and all their records in order.
struct log_file {
    std::vector<std::string> buffers;
    std::vector<record> records;
    bool valid = true;
};

log_file read_log(const dls* state, uint64_t id) {
    log_file f;
    f.buffers = gzip_members(std::string(state->log_dir) + "/" + hex_name(id));
    f.valid = !f.buffers.empty();
    for (const std::string& b : f.buffers) {
        f.valid = buffer_records(b, &f.records) && f.valid;
    }
    return f;
}

std::vector<record> sorted(std::vector<record> records) {
    std::sort(records.begin(), records.end(), [](const record& a, const record& b) {
        return strcmp(a.path.c_str(), b.path.c_str()) < 0;
    });
    return records;
}

uint32_t flags_for(uint32_t i) {
    return (1u << (i % 13)) | (i % 2 ? EVENT_IS_FILE : EVENT_IS_DIR);
}

bool table_empty(const dls* state) {
    return state->fname_count == 0 && state->fname_bytes == 0 && state->fname_filled == 0;
}

// ---- Flushing at 5000 names ----

TEST(add_fname, the_5000th_distinct_name_of_a_volume_flushes_its_table_into_one_sorted_file) {
    run_with_volumes([](child_checks& c, volumes& v) {
        dls* state = v.vol->dls;
        const uint64_t first_id = 0x5a0000;

        // Names in an order unrelated to their ids, some of them repeated, and events of the
        // root volume in between: only distinct names of this volume count.
        std::vector<std::string> names;
        for (int i = 0; i < 5000; ++i) {
            char name[64];
            snprintf(name, sizeof name, "dir%02d/%s%d", i % 37, i % 3 ? "file" : "F-", i * 7919);
            names.push_back(name);
        }
        std::shuffle(names.begin(), names.end(), std::mt19937(7));
        std::vector<event> events;
        std::map<std::string, record> expected;
        uint64_t id = first_id;
        for (uint32_t i = 0; i < 4999; ++i) {
            ++id;
            events.push_back({"/mnt/v/" + names[i], v.vol->dev, id, flags_for(i)});
            expected[names[i]] = {names[i], id, flags_for(i)};
            if (i % 97 == 0) {
                const std::string& again = names[i / 2];
                ++id;
                events.push_back({"/mnt/v/" + again, v.vol->dev, id, EVENT_CHOWN});
                expected[again].id = id;
                expected[again].flags |= EVENT_CHOWN;
                events.push_back({"/r" + std::to_string(i), root_dev, ++id, EVENT_DELETE});
            }
        }
        deliver(events);
        CHILD_EXPECT(c, state->fname_count == 4999);
        CHILD_EXPECT(c, log_files(state).empty() && state->num_files == 0);
        CHILD_EXPECT(c, global_dls->fname_count == 52);
        CHILD_EXPECT(c, state->last_event_id == id);

        ++id;
        deliver({{"/mnt/v/" + names[4999], v.vol->dev, id, flags_for(4999)}});
        expected[names[4999]] = {names[4999], id, flags_for(4999)};

        std::vector<record> want;
        for (const auto& [name, r] : expected) {
            want.push_back(r);
        }
        want = sorted(want);
        CHILD_EXPECT(c, table_empty(state));
        CHILD_EXPECT(c, log_files(state) == std::vector<std::string>{hex_name(id + 1)});
        CHILD_EXPECT(c, file_ids(state) == std::vector<uint64_t>{id + 1});
        log_file f = read_log(state, id + 1);
        CHILD_EXPECT(c, f.valid && f.buffers.size() == 1);
        CHILD_EXPECT(c, f.records.size() == 5000 && f.records == want);
        // The root volume's names are still pending; nothing was written for them.
        CHILD_EXPECT(c, global_dls->fname_count == 52 && log_files(global_dls).empty());
        CHILD_EXPECT(c, c.log_text().empty());
    });
}

TEST(add_fname, repeated_events_on_a_path_make_one_record_with_the_last_id_and_all_flags) {
    run_with_volumes([](child_checks& c, volumes& v) {
        dls* state = v.vol->dls;
        std::vector<event> events;
        uint32_t all_flags = 0;
        for (uint32_t i = 0; i < 100; ++i) {
            uint32_t flags = i % 13 == 12 ? EVENT_XATTR_MODIFIED : (1u << (i % 11));
            if (i == 99) {
                flags = EVENT_LAST_HARDLINK;
            }
            all_flags |= flags;
            events.push_back({"/mnt/v/same/file", v.vol->dev, 1000 + 3 * i, flags});
            if (i % 10 == 0) {  // another path in between keeps its own record
                events.push_back({"/mnt/v/other", v.vol->dev, 1001 + 3 * i, EVENT_DELETE});
            }
        }
        deliver(events);
        std::vector<pending> now = pending_names(state);
        CHILD_EXPECT(c, state->fname_count == 2 && now.size() == 2);
        CHILD_EXPECT(c, state->fname_bytes == sizeof "other" + sizeof "same/file");

        flush_fname_table(v.vol);
        CHILD_EXPECT(c, table_empty(state));
        const uint64_t last = 1000 + 3 * 99;
        CHILD_EXPECT(c, file_ids(state) == std::vector<uint64_t>{last + 1});
        log_file f = read_log(state, last + 1);
        CHILD_EXPECT(c, f.valid);
        CHILD_EXPECT(c, (f.records == std::vector<record>{{"other", 1001 + 3 * 90, EVENT_DELETE},
                                                          {"same/file", last, all_flags}}));

        // After the flush the path starts a fresh record: the old flags are not carried over.
        deliver({{"/mnt/v/same/file", v.vol->dev, last + 10, EVENT_CREATE_FILE}});
        now = pending_names(state);
        CHILD_EXPECT(c, now.size() == 1 && now[0].name == "same/file" && now[0].id == last + 10 &&
                            now[0].flags == EVENT_CREATE_FILE);
    });
}

// ---- Which table, and in which form ----

TEST(add_fname, files_each_event_in_its_volumes_table_in_stored_form) {
    run_with_volumes([](child_checks& c, volumes& v) {
        dls* root = global_dls;
        dls* vol = v.vol->dls;
        deliver({
            {"/a/b", root_dev, 10, EVENT_CREATE_FILE},
            {"/.docid/12/34", root_dev, 11, EVENT_DOCID_CREATED},
            {"/mnt/v/db/x", v.vol->dev, 12, EVENT_CONTENT_MODIFIED},
            {"/mnt/v/.docid/5/6", v.vol->dev, 13, EVENT_DOCID_CHANGED},
            // A device without a record of its own lands on the root volume, path as given.
            {"/mnt/v/db/y", UNKNOWN_DEV, 14, EVENT_DELETE},
            // A volume without a history: the root table, absolute path.
            {"/n/x", NOT_LOGGED_DEV, 15, EVENT_RENAME},
            // Logging disabled: dropped.
            {"/d/gone", DISABLED_DEV, 16, EVENT_CREATE_FILE},
            // A length that leaves out the NUL is put right.
            {"/mnt/v/short", v.vol->dev, 17, EVENT_STAT_CHANGED,
             static_cast<int32_t>(strlen("/mnt/v/short"))},
        });
        std::vector<pending> in_root = pending_names(root);
        std::vector<pending> in_vol = pending_names(vol);
        auto names = [](const std::vector<pending>& p) {
            std::vector<std::string> out;
            for (const pending& e : p) {
                out.push_back(e.name + "@" + std::to_string(e.id));
            }
            return out;
        };
        CHILD_EXPECT(
            c, (names(in_root) == std::vector<std::string>{".docid/12/34@11", "/mnt/v/db/y@14",
                                                           "/n/x@15", "a/b@10"}));
        CHILD_EXPECT(
            c, (names(in_vol) == std::vector<std::string>{".docid/5/6@13", "db/x@12", "short@17"}));
        CHILD_EXPECT(c, vol->fname_bytes == sizeof ".docid/5/6" + sizeof "db/x" + sizeof "short");
        CHILD_EXPECT(c, root->last_event_id == 15 && vol->last_event_id == 17);
        CHILD_EXPECT(c, c.logged("add_fname: path <<short>> has len 5 but should be +1!"));

        // The entry made from the short length is the same as a correct one's.
        deliver({{"/mnt/v/short", v.vol->dev, 18, EVENT_CHOWN}});
        in_vol = pending_names(vol);
        CHILD_EXPECT(c, vol->fname_count == 3 && in_vol[2].name == "short" && in_vol[2].id == 18 &&
                            in_vol[2].flags == (EVENT_STAT_CHANGED | EVENT_CHOWN));
    });
}

TEST(add_fname, events_of_volumes_without_a_history_never_flush_the_root_table_themselves) {
    run_with_volumes([](child_checks& c, volumes&) {
        std::vector<event> events;
        std::vector<record> want;
        uint64_t id = 100;
        for (int i = 0; i < 4999; ++i) {
            std::string name = "r/" + std::to_string(i);
            events.push_back({"/" + name, root_dev, ++id, EVENT_CREATE_FILE});
            want.push_back({name, id, EVENT_CREATE_FILE});
        }
        // 5000, then 5002 names: the volume without a history does not flush.
        for (int i = 0; i < 3; ++i) {
            std::string path = "/n/" + std::to_string(i);
            events.push_back({path, NOT_LOGGED_DEV, ++id, EVENT_DELETE});
            want.push_back({path, id, EVENT_DELETE});
        }
        deliver(events);
        CHILD_EXPECT(c, global_dls->fname_count == 5002);
        CHILD_EXPECT(c, log_files(global_dls).empty());

        // The disabled volume adds nothing and flushes nothing either.
        deliver({{"/d/x", DISABLED_DEV, ++id, EVENT_CREATE_FILE}});
        CHILD_EXPECT(c, global_dls->fname_count == 5002 && log_files(global_dls).empty());

        // The next root event does, and takes the others along.
        deliver({{"/z", root_dev, ++id, EVENT_CREATE_FILE}});
        want.push_back({"z", id, EVENT_CREATE_FILE});
        CHILD_EXPECT(c, table_empty(global_dls));
        CHILD_EXPECT(c, file_ids(global_dls) == std::vector<uint64_t>{id + 1});
        log_file f = read_log(global_dls, id + 1);
        CHILD_EXPECT(c, f.valid && f.records == sorted(want));
    });
}

// ---- The id-wrap restart ----

TEST(add_fname, a_wrapped_volume_drops_its_pending_names_and_files_and_starts_over) {
    run_with_volumes([](child_checks& c, volumes& v) {
        dls* state = v.vol->dls;
        deliver({{"/mnt/v/old1", v.vol->dev, 0x9000, EVENT_CREATE_FILE}});
        flush_fname_table(v.vol);
        deliver({{"/mnt/v/old2", v.vol->dev, 0x9100, EVENT_CREATE_FILE},
                 {"/a", root_dev, 0x9101, EVENT_CREATE_FILE}});
        CHILD_EXPECT(c, log_files(state) == std::vector<std::string>{hex_name(0x9001)});
        std::string old_uuid = read_file("/mnt/v/.vantlesd/vantlesd-uuid");
        uint16_t generation = state->generation;

        mark_volume_wrapped(v.vol, nullptr);
        mark_volume_wrapped(v.root, nullptr);
        deliver({{"/mnt/v/new", v.vol->dev, 5, EVENT_DELETE}});
        CHILD_EXPECT(c, c.logged("event id's wrapped for volume /mnt/v"));
        CHILD_EXPECT(c, !(v.vol->flags & DEV_IDS_WRAPPED));
        std::vector<pending> now = pending_names(state);
        CHILD_EXPECT(c, now.size() == 1 && now[0].name == "new" && state->fname_count == 1);
        CHILD_EXPECT(c, log_files(state).empty() && state->num_files == 0);
        CHILD_EXPECT(c, state->generation == generation + 1 && state->purged == 1);
        CHILD_EXPECT(c, state->last_event_id == 5 && state->appending == 0);
        std::string new_uuid = read_file("/mnt/v/.vantlesd/vantlesd-uuid");
        CHILD_EXPECT(c, new_uuid == v.vol->uuid_text && new_uuid != old_uuid);
        // Another volume is restarted only by its own next event.
        CHILD_EXPECT(c, (v.root->flags & DEV_IDS_WRAPPED) && global_dls->fname_count == 1);

        // The next file is named after the new ids.
        flush_fname_table(v.vol);
        CHILD_EXPECT(c, file_ids(state) == std::vector<uint64_t>{6});
        log_file f = read_log(state, 6);
        CHILD_EXPECT(c, f.valid && (f.records == std::vector<record>{{"new", 5, EVENT_DELETE}}));
    });
}

// ---- Flushes of many buffers ----

TEST(flush_fname_table, writes_every_name_across_full_buffers_and_ends_a_file_at_its_credit) {
    run_with_volumes([](child_checks& c, volumes& v) {
        dls* state = v.vol->dls;
        // 4999 names of 850 to 950 bytes: about 4.5 MiB, 18 buffers, more than one file takes.
        std::vector<event> events;
        std::vector<record> want;
        std::mt19937 gen(3);
        for (uint32_t i = 0; i < 4999; ++i) {
            std::string name = std::to_string(gen()) + "/" + std::string(850 + gen() % 100, 'p');
            name += std::to_string(i);
            events.push_back({"/mnt/v/" + name, v.vol->dev, 0x100 + i, flags_for(i)});
            want.push_back({name, 0x100 + i, flags_for(i)});
        }
        deliver(events);
        CHILD_EXPECT(c, state->fname_count == 4999 && log_files(state).empty());
        flush_fname_table(v.vol);
        CHILD_EXPECT(c, table_empty(state));

        const uint64_t last = 0x100 + 4998;
        CHILD_EXPECT(c, (file_ids(state) == std::vector<uint64_t>{last + 1, last + 2}));
        CHILD_EXPECT(c, (log_files(state) ==
                         std::vector<std::string>{hex_name(last + 1), hex_name(last + 2)}));
        log_file first = read_log(state, last + 1);
        log_file second = read_log(state, last + 2);
        CHILD_EXPECT(c, first.valid && second.valid);
        CHILD_EXPECT(c, first.buffers.size() == 16 && second.buffers.size() >= 1);
        std::vector<record> back = first.records;
        back.insert(back.end(), second.records.begin(), second.records.end());
        CHILD_EXPECT(c, back == sorted(want));

        // Every buffer but the last is as full as it can be: the next record would not have fit.
        std::vector<std::string> buffers = first.buffers;
        buffers.insert(buffers.end(), second.buffers.begin(), second.buffers.end());
        size_t at = 0;
        for (size_t b = 0; b < buffers.size(); ++b) {
            std::vector<record> in_buffer;
            buffer_records(buffers[b], &in_buffer);
            CHILD_EXPECT(c, !in_buffer.empty() && buffers[b].size() < DISK_LOG_BUFFER_SIZE);
            at += in_buffer.size();
            if (b + 1 < buffers.size() && at < back.size()) {
                size_t next = back[at].path.size() + 1 + DISK_LOG_RECORD_TAIL;
                CHILD_EXPECT(c, buffers[b].size() + next >= DISK_LOG_BUFFER_SIZE);
            }
        }
        CHILD_EXPECT(c, state->appending == 0 && state->bytes_in_file == 0);

        // Records of 923 bytes: 284 of them after the header would fill the area to its last
        // byte, which a buffer never does, so each full buffer holds 283.
        events.clear();
        want.clear();
        for (uint32_t i = 0; i < 600; ++i) {
            char number[16];
            snprintf(number, sizeof number, "%04u", i);
            std::string name = number + std::string(910 - 4, 'q');
            events.push_back({"/mnt/v/" + name, v.vol->dev, 0x2000 + i, EVENT_DELETE});
            want.push_back({name, 0x2000 + i, EVENT_DELETE});
        }
        deliver(events);
        flush_fname_table(v.vol);
        log_file exact = read_log(state, 0x2000 + 600);
        CHILD_EXPECT(c, exact.valid && exact.records == want);
        CHILD_EXPECT(c, exact.buffers.size() == 3);
        if (exact.buffers.size() == 3) {
            CHILD_EXPECT(c, exact.buffers[0].size() == DISK_LOG_HEADER_SIZE + 283 * 923);
            CHILD_EXPECT(c, exact.buffers[1].size() == DISK_LOG_HEADER_SIZE + 283 * 923);
            CHILD_EXPECT(c, exact.buffers[2].size() == DISK_LOG_HEADER_SIZE + 34 * 923);
        }
    });
}

// ---- Shutdown ----

time_t mtime_of(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0 ? st.st_mtime : 0;
}

TEST(cleanup_dls, writes_the_pending_names_and_stamps_the_uuid_file) {
    run_with_volumes([](child_checks& c, volumes& v) {
        dls* state = v.vol->dls;
        const char* uuid_file = "/mnt/v/.vantlesd/vantlesd-uuid";
        const struct timeval long_ago[2] = {{1000000000, 0}, {1000000000, 0}};
        CHILD_EXPECT(c, utimes(uuid_file, long_ago) == 0);
        deliver({{"/mnt/v/b", v.vol->dev, 40, EVENT_CREATE_FILE},
                 {"/mnt/v/a", v.vol->dev, 41, EVENT_DELETE},
                 {"/r", root_dev, 42, EVENT_CREATE_DIR}});

        time_t before = time(nullptr);
        CHILD_EXPECT(c, cleanup_dls(v.vol, nullptr) == 0);
        CHILD_EXPECT(c, table_empty(state));
        log_file f = read_log(state, 42);
        CHILD_EXPECT(c,
                     f.valid && (f.records == std::vector<record>{{"a", 41, EVENT_DELETE},
                                                                  {"b", 40, EVENT_CREATE_FILE}}));
        CHILD_EXPECT(c, mtime_of(uuid_file) >= before);

        // Nothing pending: an empty buffer still ends a file of its own.
        CHILD_EXPECT(c, cleanup_dls(v.vol, nullptr) == 0);
        CHILD_EXPECT(c, (file_ids(state) == std::vector<uint64_t>{42, 43}));
        log_file empty = read_log(state, 43);
        CHILD_EXPECT(c, empty.valid && empty.records.empty());
        CHILD_EXPECT(c,
                     empty.buffers.size() == 1 && empty.buffers[0].size() == DISK_LOG_HEADER_SIZE);

        // The root history is closed only once the daemon shuts down.
        CHILD_EXPECT(c, utimes("/.vantlesd/vantlesd-uuid", long_ago) == 0);
        CHILD_EXPECT(c, cleanup_dls(v.root, nullptr) == 0);
        CHILD_EXPECT(c, global_dls->fname_count == 1 && log_files(global_dls).empty());
        CHILD_EXPECT(c, mtime_of("/.vantlesd/vantlesd-uuid") == 1000000000);
        shutting_down = 1;
        CHILD_EXPECT(c, cleanup_dls(v.root, nullptr) == 0);
        CHILD_EXPECT(c, table_empty(global_dls));
        log_file root = read_log(global_dls, 43);
        CHILD_EXPECT(
            c, root.valid && (root.records == std::vector<record>{{"r", 42, EVENT_CREATE_DIR}}));
        CHILD_EXPECT(c, mtime_of("/.vantlesd/vantlesd-uuid") >= before);

        // A history that cannot be trusted after this run goes, directory and all.
        v.vol->flags |= DEV_LOG_DIR_UNTRUSTED;
        deliver({{"/mnt/v/c", v.vol->dev, 50, EVENT_CREATE_FILE}});
        CHILD_EXPECT(c, cleanup_dls(v.vol, nullptr) == 0);
        CHILD_EXPECT(c, !exists("/mnt/v/.vantlesd") && state->num_files == 0);
    });
}

// ---- The pending-name table ----

dls* new_table_state() {
    auto* state = static_cast<dls*>(calloc(1, sizeof(dls)));
    pthread_rwlock_init(&state->fname_lock, nullptr);
    state->fname_buckets = reinterpret_cast<fname_entry**>(alloc_buckets(4096, &state->fname_mask));
    return state;
}

void free_table_state(dls* state) {
    clear_fname_table(state);
    free(state->fname_buckets);
    pthread_rwlock_destroy(&state->fname_lock);
    free(state);
}

bool record_name(dls* state, const std::string& name, uint64_t id, uint32_t flags) {
    return fname_record(state, name.c_str(), static_cast<uint32_t>(name.size() + 1), id, flags);
}

// Names of many lengths, so that chains mix short and long names.
std::string table_name(uint32_t i) {
    std::string name = "n" + std::to_string(i);
    return i % 5 == 0 ? name : name + std::string(i % 23, '/') + "x";
}

TEST(fname_table, doubles_as_it_fills_and_keeps_every_entry_exactly_once) {
    crc_table_init();
    dls* state = new_table_state();
    ASSERT_EQ(state->fname_mask, 4095u);

    // About 1.6 names per bucket make three quarters of the buckets non-empty.
    const uint32_t count = 100000;
    uint64_t bytes = 0;
    uint32_t last_mask = state->fname_mask;
    int doublings = 0;
    for (uint32_t i = 0; i < count; ++i) {
        std::string name = table_name(i);
        ASSERT_TRUE(record_name(state, name, i + 1, 1u << (i % 13)));
        bytes += name.size() + 1;
        if (state->fname_mask != last_mask) {
            EXPECT_EQ(state->fname_mask, 2 * last_mask + 1);
            last_mask = state->fname_mask;
            ++doublings;
        }
        // Growth comes before an insertion: at most one bucket above three quarters.
        ASSERT_LT(uint64_t{state->fname_filled - 1} * 4, uint64_t{state->fname_mask} * 3 + 3);
    }
    EXPECT_GE(doublings, 4);
    EXPECT_EQ(state->fname_count, count);
    EXPECT_EQ(state->fname_bytes, bytes);
    uint32_t filled = 0;
    for (uint32_t b = 0; b <= state->fname_mask; ++b) {
        filled += state->fname_buckets[b] != nullptr;
    }
    EXPECT_EQ(state->fname_filled, filled);

    // Each name once, in strcmp order, with what was recorded for it.
    std::vector<pending> all = pending_names(state);
    ASSERT_EQ(all.size(), count);
    std::vector<std::string> names;
    for (uint32_t i = 0; i < count; ++i) {
        names.push_back(table_name(i));
    }
    std::vector<std::string> in_order = names;
    std::sort(in_order.begin(), in_order.end(), [](const std::string& a, const std::string& b) {
        return strcmp(a.c_str(), b.c_str()) < 0;
    });
    bool same_order = true;
    bool right_records = true;
    for (uint32_t i = 0; i < count; ++i) {
        same_order = same_order && all[i].name == in_order[i];
        uint32_t n = static_cast<uint32_t>(strtoul(all[i].name.c_str() + 1, nullptr, 10));
        right_records = right_records && all[i].id == n + 1u && all[i].flags == 1u << (n % 13);
    }
    EXPECT_TRUE(same_order);
    EXPECT_TRUE(right_records);

    // Every name is found again after the moves: recording it adds no entry.
    for (uint32_t i = 0; i < count; i += 7) {
        ASSERT_TRUE(record_name(state, names[i], count + 1 + i, 1u << 20));
    }
    EXPECT_EQ(state->fname_count, count);
    EXPECT_EQ(state->fname_bytes, bytes);
    all = pending_names(state);
    uint32_t updated = 0;
    for (const pending& e : all) {
        updated += e.id > count && (e.flags & (1u << 20)) != 0;
    }
    EXPECT_EQ(updated, (count + 6) / 7);

    // Clearing keeps the size and leaves a working table.
    uint32_t mask = state->fname_mask;
    clear_fname_table(state);
    EXPECT_EQ(state->fname_mask, mask);
    EXPECT_TRUE(table_empty(state));
    EXPECT_TRUE(pending_names(state).empty());
    ASSERT_TRUE(record_name(state, "again", 1, 2));
    all = pending_names(state);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].name, "again");
    free_table_state(state);
}

TEST(fname_table, stops_growing_below_the_largest_size_and_keeps_taking_names) {
    crc_table_init();
    dls* state = new_table_state();
    log_open("history_tests", LOG_OPTIONS_STDERR);
    testing::internal::CaptureStderr();
    const uint32_t count = 450000;
    for (uint32_t i = 0; i < count; ++i) {
        ASSERT_TRUE(record_name(state, "m" + std::to_string(i), i, 1));
    }
    std::string log = testing::internal::GetCapturedStderr();
    log_open("history_tests", LOG_OPTIONS_DEFAULT);
    EXPECT_EQ(state->fname_mask, FNAME_MAX_BUCKETS / 2 - 1);
    EXPECT_EQ(state->fname_too_large, 1u);
    EXPECT_EQ(state->fname_count, count);
    size_t first = log.find("fname table has grown too large.");
    EXPECT_NE(first, std::string::npos);
    EXPECT_EQ(log.find("fname table has grown too large.", first + 1), std::string::npos);
    EXPECT_EQ(pending_names(state).size(), count);
    free_table_state(state);
}

// ---- The log file a replay starts from ----

TEST(history_start_file, picks_the_file_named_by_the_id_or_the_last_one_below_it) {
    const uint64_t ids[] = {0x10, 0x20, 0x30, 0x40, 0x50};
    EXPECT_EQ(history_start_file(ids, 5, 0x10), 0);
    EXPECT_EQ(history_start_file(ids, 5, 0x30), 2);
    EXPECT_EQ(history_start_file(ids, 5, 0x50), 4);
    EXPECT_EQ(history_start_file(ids, 5, 0x11), 0);
    EXPECT_EQ(history_start_file(ids, 5, 0x2f), 1);
    EXPECT_EQ(history_start_file(ids, 5, 0x41), 3);
    EXPECT_EQ(history_start_file(ids, 5, 0x1), 0);  // before every file
    EXPECT_EQ(history_start_file(ids, 5, 0), 0);
    EXPECT_EQ(history_start_file(ids, 5, 0x51), 4);  // after every file
    EXPECT_EQ(history_start_file(ids, 5, UINT64_MAX), 4);
    const uint64_t one[] = {0x100};
    EXPECT_EQ(history_start_file(one, 1, 0x50), 0);
    EXPECT_EQ(history_start_file(one, 1, 0x100), 0);
    EXPECT_EQ(history_start_file(one, 1, 0x200), 0);
    const uint64_t two[] = {0x100, 0x200};
    EXPECT_EQ(history_start_file(two, 2, 0x1ff), 0);
    EXPECT_EQ(history_start_file(two, 2, 0x200), 1);
    EXPECT_EQ(history_start_file(two, 2, UINT64_MAX), 1);
}

}  // namespace
