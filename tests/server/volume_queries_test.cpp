// The volume and history queries on a volume table built by init_dev_info in a scratch root.
#include "history/dls.h"
#include "intake/event_flags.h"
#include "server/queries.h"
#include "tests/history/scratch_checks.h"
#include "volumes/dev_info.h"

namespace {

using namespace scratch_checks;

constexpr uint32_t UNKNOWN = 0x7ff00001;  // a device no volume has

std::string uuid_of(uint32_t dev) {
    char text[VOLUME_UUID_TEXT_BUFFER];
    get_volume_uuid(dev, text);
    return text;
}
uint64_t id_for_time(uint32_t dev, int64_t time, uint32_t uid = 0) {
    uint64_t id = 0xdead;
    get_event_id_for_time(dev, time, &id, uid);
    return id;
}

// The uuid names the history or why there is none; the time query answers the end of the last
// file made before the time, never the oldest file's; purge deletes the files below the bound,
// renews the uuid, and unbounded starts a new generation. Ignored volumes have nothing to purge.
// A time before the history is logged once a minute per asker.
TEST(volume_queries, uuid_time_and_purge_answer_from_the_volumes_history) {
    run_scenario({{"/var"}, {"/mnt/off"}, {"/mnt/ro", "tmpfs", true}}, [] {
        child_checks c;
        const std::string dir = "/var/.vantlesd/000000000000";
        CHILD_EXPECT(c,
                     write_history("/var/.vantlesd", 0x100) && write_history("/.vantlesd", 0x80));
        CHILD_EXPECT(c, write_history("/var/.vantlesd", 0x200, false));
        struct stat middle;
        lstat((dir + "0200").c_str(), &middle);
        while (time(nullptr) <= middle.st_ctime)  // the next file a second later
            usleep(10000);
        CHILD_EXPECT(c, write_history("/var/.vantlesd", 0x300, false));
        CHILD_EXPECT(c, write_history("/mnt/off/.vantlesd", 0x100, false));
        CHILD_EXPECT(c, write_file("/mnt/off/.vantlesd/no_log", ""));
        CHILD_EXPECT(c, init_dev_info(create_dls) == 0);
        lifecycle.event_thread_ready = 1;
        uint32_t var = device_of("/var"), off = device_of("/mnt/off");
        const int64_t later = time(nullptr) + 100;

        CHILD_EXPECT(c, uuid_of(var) == KNOWN_UUID && uuid_of(UNKNOWN) == "NO-UUID-UNKNOWN-DEVICE");
        CHILD_EXPECT(c, uuid_of(off) == "NO-UUID-VOLUME-IS-IGNORED");
        CHILD_EXPECT(c, uuid_of(device_of("/mnt/ro")) == "NO-UUID-VOLUME-IS-IGNORED");
        CHILD_EXPECT(c, id_for_time(off, later) == 0 && purge_events(off, ~0ull) == -1);
        CHILD_EXPECT(c, exists("/mnt/off/.vantlesd/0000000000000100"));
        CHILD_EXPECT(c, !exists("/mnt/off/.vantlesd/vantlesd-uuid"));

        const char* prior = "requested timestamp is prior to the earliest log file";
        CHILD_EXPECT(c, id_for_time(var, middle.st_ctime) == 0x251 && !c.logged(prior));
        CHILD_EXPECT(c, id_for_time(var, 1000) == 0 && c.logged(prior));
        c.clear_log();
        CHILD_EXPECT(c, id_for_time(device_of("/"), later) == 0 && !c.logged(prior));
        CHILD_EXPECT(c, id_for_time(device_of("/"), later, 501) == 0 && c.logged(prior));
        CHILD_EXPECT(c, write_file((dir + "0300").c_str(), "not a log file"));
        CHILD_EXPECT(c, id_for_time(var, later) == 0x200);  // an unreadable file: the older's name

        vantle_rwlock_rdlock(&volumes.dev_lock);
        const dls* state = find_dev_info(var)->dls;
        vantle_rwlock_unlock(&volumes.dev_lock);
        uint16_t generation = state->generation;
        CHILD_EXPECT(c, purge_events(var, 0x50) == 0);  // below the oldest file: nothing goes
        CHILD_EXPECT(c, state->num_files == 3 && uuid_of(var) == KNOWN_UUID);
        CHILD_EXPECT(c, purge_events(var, 0x200) == 0);
        CHILD_EXPECT(c, !exists((dir + "0100").c_str()) && exists((dir + "0200").c_str()));
        CHILD_EXPECT(c, state->num_files == 2 && state->file_ids[0] == 0x200 &&
                            state->file_ids[1] == 0x300 && state->generation == generation);
        std::string renewed = read_file("/var/.vantlesd/vantlesd-uuid");
        CHILD_EXPECT(c, renewed.size() == 36 && renewed != KNOWN_UUID && uuid_of(var) == renewed);
        CHILD_EXPECT(c, purge_events(var, ~0ull) == 0 && !exists((dir + "0300").c_str()));
        CHILD_EXPECT(c, state->num_files == 0 && state->generation == generation + 1);
        CHILD_EXPECT(c, uuid_of(var) != renewed && uuid_of(var).size() == 36);
        CHILD_EXPECT(c, purge_events(var, ~0ull) == -1);     // nothing left
        CHILD_EXPECT(c, purge_events(UNKNOWN, ~0ull) == 0);  // the root's
        CHILD_EXPECT(c, !exists("/.vantlesd/0000000000000080"));
        return c.result();
    });
}

}  // namespace
