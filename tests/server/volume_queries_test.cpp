// The volume and history queries against a real volume table, built by init_dev_info in a
// scratch root of its own with histories prepared on its volumes.
#include "history/dls.h"
#include "intake/event_thread.h"
#include "platform/mounts.h"
#include "server/queries.h"
#include "tests/history/scratch_checks.h"
#include "tests/support/scratch_root.h"
#include "volumes/dev_info.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

namespace {

using scratch_checks::child_checks;
using scratch_checks::device_of;
using scratch_checks::exists;
using scratch_checks::read_file;
using scratch_checks::run_scenario;
using scratch_checks::write_file;
using scratch_checks::write_log_file;

constexpr const char* KNOWN_UUID = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
constexpr uint32_t UNKNOWN_DEVICE = 0x7ff00001;

std::string log_file(const std::string& dir, uint64_t id) {
    char name[32];
    snprintf(name, sizeof name, "/%.16llx", static_cast<unsigned long long>(id));
    return dir + name;
}

// Log file id holding the ids id + 1 to id + 0x50.
bool write_history_file(const std::string& dir, uint64_t id) {
    return write_log_file(log_file(dir, id).c_str(), {{"a", id + 0x50}, {"b", id + 1}});
}

void make_history(child_checks& c, const std::string& dir, const std::vector<uint64_t>& ids) {
    mkdir(dir.c_str(), 0700);
    for (uint64_t id : ids) {
        CHILD_EXPECT(c, write_history_file(dir, id));
    }
    CHILD_EXPECT(c, write_file((dir + "/vantlesd-uuid").c_str(), KNOWN_UUID));
}

// Builds the volume table and declares the event machinery ready.
void start_volumes(child_checks& c) {
    CHILD_EXPECT(c, init_dev_info(create_dls) == 0);
    event_thread_ready = 1;
}

std::string uuid_of(uint32_t dev) {
    char text[VOLUME_UUID_TEXT_BUFFER];
    get_volume_uuid(dev, text);
    return text;
}

uint64_t id_for_time(uint32_t dev, int64_t time) {
    uint64_t id = 0xdead;
    get_event_id_for_time(dev, time, &id);
    return id;
}

const dls* history_of(uint32_t dev) {
    vantle_rwlock_rdlock(&dev_lock);
    const dls* state = find_dev_info(dev)->dls;
    vantle_rwlock_unlock(&dev_lock);
    return state;
}

// The uuid names the history, or why there is none: the no_log marker, a read-only volume, an
// unknown device.
TEST(volume_queries, uuid_answers_name_the_history_or_why_there_is_none) {
    run_scenario({{"/var"}, {"/mnt/other"}}, [] {
        child_checks c;
        make_history(c, "/var/.vantlesd", {0x100});
        start_volumes(c);
        CHILD_EXPECT(c, uuid_of(device_of("/var")) == KNOWN_UUID);
        std::string root_uuid = read_file("/.vantlesd/vantlesd-uuid");
        CHILD_EXPECT(c, root_uuid.size() == 36 && uuid_of(device_of("/")) == root_uuid);
        CHILD_EXPECT(c, uuid_of(device_of("/mnt/other")) == "NO-UUID-VOLUME-IS-IGNORED");
        CHILD_EXPECT(c, uuid_of(UNKNOWN_DEVICE) == "NO-UUID-UNKNOWN-DEVICE");
        return c.result();
    });
    run_scenario({{"/var"}}, [] {
        child_checks c;
        mkdir("/var/.vantlesd", 0700);
        CHILD_EXPECT(c, write_history_file("/var/.vantlesd", 0x100));
        CHILD_EXPECT(c, write_file("/var/.vantlesd/no_log", ""));
        start_volumes(c);
        uint32_t var = device_of("/var");
        CHILD_EXPECT(c, uuid_of(var) == "NO-UUID-VOLUME-IS-IGNORED");
        CHILD_EXPECT(c, id_for_time(var, time(nullptr) + 100) == 0);
        CHILD_EXPECT(c, purge_events(var, ~0ull) == -1);
        CHILD_EXPECT(c, exists("/var/.vantlesd/0000000000000100"));
        CHILD_EXPECT(c, !exists("/var/.vantlesd/vantlesd-uuid"));
        return c.result();
    });
    run_scenario({{"/var", "tmpfs", true}}, [] {
        child_checks c;
        start_volumes(c);
        CHILD_EXPECT(c, uuid_of(device_of("/var")) == "NO-UUID-VOLUME-IS-IGNORED");
        CHILD_EXPECT(c, purge_events(device_of("/var"), ~0ull) == -1);
        return c.result();
    });
}

// The answer is the end of the last file made before the time, never the oldest file's.
TEST(volume_queries, time_query_answers_with_the_end_of_the_last_file_before_the_time) {
    run_scenario({{"/var"}}, [] {
        child_checks c;
        const std::string dir = "/var/.vantlesd";
        make_history(c, dir, {0x100, 0x200});
        struct stat middle;
        lstat(log_file(dir, 0x200).c_str(), &middle);
        while (time(nullptr) <= middle.st_ctime) {  // the next file a second later
            usleep(10000);
        }
        CHILD_EXPECT(c, write_history_file(dir, 0x300));
        // The root volume holds a single log file.
        mkdir("/.vantlesd", 0700);
        CHILD_EXPECT(c, write_history_file("/.vantlesd", 0x80));
        CHILD_EXPECT(c, write_file("/.vantlesd/vantlesd-uuid", KNOWN_UUID));
        start_volumes(c);
        uint32_t var = device_of("/var");
        const char* prior =
            "requested timestamp is prior to the earliest log file.  setting event-id to zero";

        CHILD_EXPECT(c, id_for_time(var, middle.st_ctime) == 0x251);
        CHILD_EXPECT(c, !c.logged(prior));

        CHILD_EXPECT(c, id_for_time(var, 1000) == 0);
        CHILD_EXPECT(c, c.logged(prior));

        // The oldest file is never the answer, even when it alone qualifies.
        c.clear_log();
        CHILD_EXPECT(c, id_for_time(device_of("/"), time(nullptr) + 100) == 0);
        CHILD_EXPECT(c, c.logged(prior));
        c.clear_log();
        CHILD_EXPECT(c, id_for_time(UNKNOWN_DEVICE, time(nullptr) + 100) == 0);  // the root's
        CHILD_EXPECT(c, c.logged(prior));

        // A file that cannot be read: the name of the next older one stands in.
        CHILD_EXPECT(c, write_file(log_file(dir, 0x300).c_str(), "not a log file"));
        CHILD_EXPECT(c, id_for_time(var, time(nullptr) + 100) == 0x200);
        CHILD_EXPECT(c, c.logged("failed to get last id from log file 2 so using last id == "
                                 "0x200 (ret 22; 0000000000000300)"));
        return c.result();
    });
}

// Purge deletes the files below the bound and renews the uuid; without a bound everything goes
// and the history starts a new generation.
TEST(volume_queries, purge_deletes_files_below_the_bound_and_renews_the_uuid) {
    run_scenario({{"/var"}}, [] {
        child_checks c;
        const std::string dir = "/var/.vantlesd";
        make_history(c, dir, {0x100, 0x200, 0x300});
        start_volumes(c);
        uint32_t var = device_of("/var");
        const dls* state = history_of(var);
        if (!CHILD_EXPECT(c, state != nullptr)) {
            return c.result();
        }
        uint16_t generation = state->generation;
        CHILD_EXPECT(c, purge_events(var, 0x50) == 0);  // below the oldest file: nothing goes
        CHILD_EXPECT(c, state->num_files == 3 && uuid_of(var) == KNOWN_UUID);

        CHILD_EXPECT(c, purge_events(var, 0x200) == 0);
        CHILD_EXPECT(c, !exists(log_file(dir, 0x100).c_str()));
        CHILD_EXPECT(c, exists(log_file(dir, 0x200).c_str()));
        CHILD_EXPECT(c, state->num_files == 2 && state->file_ids[0] == 0x200 &&
                            state->file_ids[1] == 0x300 && state->file_ids[2] == 0);
        CHILD_EXPECT(c, state->generation == generation);
        std::string renewed = read_file((dir + "/vantlesd-uuid").c_str());
        CHILD_EXPECT(c, renewed.size() == 36 && renewed != KNOWN_UUID && uuid_of(var) == renewed);

        CHILD_EXPECT(c, purge_events(var, ~0ull) == 0);
        CHILD_EXPECT(c, !exists(log_file(dir, 0x300).c_str()));
        CHILD_EXPECT(c, state->num_files == 0 && state->generation == generation + 1);
        std::string last = read_file((dir + "/vantlesd-uuid").c_str());
        CHILD_EXPECT(c, last.size() == 36 && last != renewed && uuid_of(var) == last);
        CHILD_EXPECT(c, purge_events(var, ~0ull) == -1);             // nothing left
        CHILD_EXPECT(c, purge_events(UNKNOWN_DEVICE, ~0ull) == -1);  // the root's, empty
        return c.result();
    });
}

}  // namespace
