// The log directory and identity of a volume's history: the rule that trusts an old history,
// create_dls in every situation a volume's directory can be found in, the event id counter
// resumed above the history, and the listing of a log directory.
#include "history/dls.h"

#include "intake/event_ids.h"
#include "platform/mounts.h"
#include "tests/history/scratch_checks.h"
#include "volumes/dev_info.h"

#include <sys/stat.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace {

using scratch_checks::child_checks;
using scratch_checks::device_of;
using scratch_checks::exists;
using scratch_checks::read_file;
using scratch_checks::run_scenario;
using scratch_checks::write_file;
using scratch_checks::write_log_file;

TEST(history_out_of_step, keeps_a_history_only_while_the_volume_matches_its_stamp) {
    const int64_t now = 1700000000;
    const int64_t boot = now - 3600;
    struct {
        int64_t last_mod, mount, uuid_ctime, now;
        bool out;
    } cases[] = {
        {now - 5, boot, now - 5, now, false},             // quick restart
        {now - 6, boot, now - 6, now, true},              // stamp 6 s old, mounted long ago
        {now - 3600, now - 119, now - 3600, now, false},  // mounted under two minutes ago
        {now - 3600, now - 120, now - 3600, now, true},
        {now - 1, now - 10, now - 120, now - 1, false},  // changed 119 s after the stamp
        {now, now - 10, now - 120, now - 1, true},       // changed 120 s after it
    };
    for (const auto& k : cases)
        EXPECT_EQ(history_out_of_step(k.last_mod, k.mount, k.uuid_ctime, k.now), k.out)
            << k.last_mod - k.uuid_ctime << " " << k.now - k.mount;
}

constexpr const char* KNOWN_UUID = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

dev_info* volume_record(const char* mount_point, uint32_t flags) {
    root_dev = device_of("/");
    auto* di = new dev_info();
    di->dev = device_of(mount_point);
    di->mount_point = strdup(mount_point);
    di->flags = DEV_MOUNTED | flags;
    return di;
}

bool is_lower_uuid(const std::string& text) {
    uuid_t value;
    return text.size() == 36 && uuid_parse(text.c_str(), value) == 0 &&
           std::none_of(text.begin(), text.end(), [](char c) { return isupper(c); });
}

std::string log_file(const std::string& dir, uint64_t id) {
    char name[32];
    snprintf(name, sizeof name, "/%.16llx", static_cast<unsigned long long>(id));
    return dir + name;
}

// A trusted history: log files whose one record has id + 1, and a fresh uuid file.
void make_history(child_checks& c, const std::string& dir, const std::vector<uint64_t>& ids) {
    mkdir(dir.c_str(), 0700);
    for (uint64_t id : ids)
        CHILD_EXPECT(c, write_log_file(log_file(dir, id).c_str(), {{"a/b", id + 1}}));
    CHILD_EXPECT(c, write_file((dir + "/vantlesd-uuid").c_str(), KNOWN_UUID));
}

void reset_event_ids(uint64_t current = 0) {
    event_ids[0] = current;
    event_ids[1] = 0;
    event_id_index = 0;
}

// What create_dls made of the volume.
enum outcome {
    NO_HISTORY,   // no log state: the volume keeps no history
    KEPT,         // the old history and its uuid stand
    NEW_HISTORY,  // old log files gone, a new lower-case uuid written
    NO_UUID,      // old log files gone, no uuid file could be written
};

// One scratch root, one volume per situation. A situation with a history gets log files
// 0x10 and 0x20 and a good uuid file in "<volume>/.vantlesd" before its preparation runs.
TEST(create_dls, finds_or_makes_a_directory_of_the_volumes_own_and_trusts_only_a_sound_history) {
    std::vector<scratch_volume> volumes = {
        {"/ro", "tmpfs", true}, {"/other"}, {"/other/.vantlesd"}};
    for (int i = 1; i <= 12; ++i)
        volumes.push_back({"/v" + std::to_string(i)});
    run_scenario(volumes, [] {
        child_checks c;
        const uint32_t LOGGED = DEV_LOGGED;
        const std::string long_uuid = "printf " + std::string(80, 'a') + " >";
        struct {
            const char* mount_point;
            uint32_t flags;
            bool history;
            std::string prepare;  // shell commands run first
            const char* log_dir;
            outcome result;
            const char* message;  // logged ("": nothing asked)
            const char* after;    // shell test that must pass afterwards
        } cases[] = {
            {"/v1", LOGGED, false, "", "/v1/.vantlesd", NEW_HISTORY,
             "could not open <</v1/.vantlesd/vantlesd-uuid>> (No such file or directory)",
             "[ $(stat -c %a /v1/.vantlesd) = 700 ] && [ $(stat -c %a /v1/.vantlesd/vantlesd-uuid) "
             "= 600 ]"},
            {"/v2", DEV_NOT_LOGGED, false, "", nullptr, NO_HISTORY,
             "volume /v2 does not support logging (flags 0x44).", "[ ! -e /v2/.vantlesd ]"},
            {"/v3", LOGGED | DEV_LOG_DISABLED, false, "", nullptr, NO_HISTORY,
             "volume /v3 does not support logging (flags 0x1104).", "[ ! -e /v3/.vantlesd ]"},
            {"/ro", LOGGED, false, "", nullptr, NO_HISTORY,
             "failed to make the directory /ro/.vantlesd (30/Read-only file system)", "true"},
            // A directory of that name on another volume is not this volume's.
            {"/other", LOGGED, false, "echo x > /other/.vantlesd/0000000000000010", nullptr,
             NO_HISTORY, "",
             "[ -e /other/.vantlesd/0000000000000010 ] && [ ! -e /other/.vantlesd/vantlesd-uuid ]"},
            {"/v4", LOGGED, false, "echo stray > /v4/.vantlesd", "/v4/.vantlesd", NEW_HISTORY, "",
             "[ -d /v4/.vantlesd ]"},
            // A link in its place is replaced; its target is not touched.
            {"/v5", LOGGED, false,
             "mkdir /v5/elsewhere && echo x > /v5/elsewhere/0000000000000010 && ln -s elsewhere "
             "/v5/.vantlesd",
             "/v5/.vantlesd", NEW_HISTORY, "",
             "[ ! -L /v5/.vantlesd ] && [ -d /v5/.vantlesd ] && [ -e "
             "/v5/elsewhere/0000000000000010 ]"},
            // The alternative directory reached through a link does not match its own path.
            {"/v6", LOGGED, false, "mkdir -p /v6/p2/var/db/vantlesd && ln -s p2 /v6/private",
             nullptr, NO_HISTORY,
             "log dir /v6/private/var/db/vantlesd does not match path /v6/p2/var/db/vantlesd.  "
             "bailing out.",
             "[ -d /v6/p2/var/db/vantlesd ] && [ ! -e /v6/.vantlesd ]"},
            {"/v7", LOGGED, false, "mkdir -p /v7/private/var/db/vantlesd",
             "/v7/private/var/db/vantlesd", NEW_HISTORY, "", "[ ! -e /v7/.vantlesd ]"},
            {"/v8", LOGGED, true, "", "/v8/.vantlesd", KEPT, "", "true"},
            {"/v9", LOGGED, true, long_uuid + "/v9/.vantlesd/vantlesd-uuid", "/v9/.vantlesd",
             NEW_HISTORY, "Failed to load UUID.  Removing all old log files in /v9/.vantlesd",
             "true"},
            {"/v10", LOGGED, true, ": > /v10/.vantlesd/vantlesd-uuid", "/v10/.vantlesd",
             NEW_HISTORY, "Failed to load UUID.", "true"},
            {"/v11", LOGGED, true,
             "rm /v11/.vantlesd/vantlesd-uuid && mkdir /v11/.vantlesd/vantlesd-uuid",
             "/v11/.vantlesd", NO_UUID,
             "check_vol_last_mod_time: problems with history file: "
             "/v11/.vantlesd/vantlesd-uuid (0 ; is_reg 0)",
             "[ -d /v11/.vantlesd/vantlesd-uuid ]"},
            {"/v12", LOGGED, true,
             "echo x > /v12/target && ln -sf /v12/target /v12/.vantlesd/vantlesd-uuid",
             "/v12/.vantlesd", NEW_HISTORY,
             "could not open <</v12/.vantlesd/vantlesd-uuid>> (Too many levels of symbolic links)",
             "[ $(cat /v12/target) = x ]"},
        };
        for (const auto& k : cases) {
            c.clear_log();
            std::string dir = std::string(k.mount_point) + "/.vantlesd";
            if (k.history)
                make_history(c, dir, {0x10, 0x20});
#define ROW_EXPECT(condition) c.expect((condition), k.mount_point, __LINE__)
            ROW_EXPECT(k.prepare.empty() || system(k.prepare.c_str()) == 0);
            dev_info* di = volume_record(k.mount_point, k.flags);
            create_dls(di);
            ROW_EXPECT(!*k.message || c.logged(k.message));
            ROW_EXPECT(system(k.after) == 0);
            if (!ROW_EXPECT(k.log_dir ? di->dls && strcmp(di->dls->log_dir, k.log_dir) == 0
                                      : !di->dls) ||
                !di->dls)
                continue;
            bool old_files =
                exists(log_file(dir, 0x10).c_str()) && exists(log_file(dir, 0x20).c_str());
            std::string uuid = read_file((std::string(k.log_dir) + "/vantlesd-uuid").c_str());
            if (k.result == KEPT)
                ROW_EXPECT(old_files && di->dls->num_files == 2 && uuid == KNOWN_UUID &&
                           strcmp(di->uuid_text, KNOWN_UUID) == 0);
            if (k.result == NEW_HISTORY)
                ROW_EXPECT(is_lower_uuid(uuid) && uuid == di->uuid_text);
            if (k.result == NO_UUID)
                ROW_EXPECT(c.logged("failed to create the uuid file " + dir + "/vantlesd-uuid"));
            if (k.history && k.result != KEPT)
                ROW_EXPECT(!old_files && di->dls->num_files == 0);
            if (strcmp(k.mount_point, "/v1") == 0) {  // asked again, a volume keeps its state
                dls* first = di->dls;
                create_dls(di);
                ROW_EXPECT(di->dls == first);
            }
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
        const std::string dir = "/var/.vantlesd";
        const std::string ids = dir + "/vantlesd-ids";
        make_history(c, dir, {});
        CHILD_EXPECT(c, write_log_file(log_file(dir, 0x10).c_str(),
                                       {{"a", 0x11}, {"b", 0x15}, {"c", 0x12}}));
        CHILD_EXPECT(c, write_log_file(log_file(dir, 0x20).c_str(), {{"a", 0x2a}, {"z", 0x21}}));
        CHILD_EXPECT(c, write_file((dir + "/0000000000000000").c_str(), "x"));
        CHILD_EXPECT(c, write_file((dir + "/000000000000001g").c_str(), "x"));
        auto resumed = [&](uint64_t from = 0) {
            reset_event_ids(from);
            dev_info* di = volume_record("/var", DEV_LOGGED);
            create_dls(di);
            CHILD_EXPECT(c, di->dls && di->dls->num_files == 2 && di->dls->file_ids[0] == 0x10 &&
                                di->dls->file_ids[1] == 0x20);
            return current_event_id();
        };
        CHILD_EXPECT(c, resumed() == 0x2b);
        CHILD_EXPECT(c, resumed(0x1000) == 0x1000);
        CHILD_EXPECT(c, write_file(log_file(dir, 0x20).c_str(), "not a log file"));
        CHILD_EXPECT(c, resumed() == 0x16);  // the next older file says where to go on

        CHILD_EXPECT(c, write_file(ids.c_str(), "0000000000001000\n"));
        CHILD_EXPECT(c, resumed() == 0x1000);
        CHILD_EXPECT(c, resumed(0x2000) == 0x2000);
        dev_info* di = volume_record("/var", DEV_LOGGED);
        create_dls(di);
        uint64_t back = 0;
        CHILD_EXPECT(c, store_id_ceiling(di->dls, 0x2000) == 0);
        CHILD_EXPECT(c, read_file(ids.c_str()) == "0000000000002000\n");
        CHILD_EXPECT(c, load_id_ceiling(di->dls, &back) == 0 && back == 0x2000);

        for (const char* text : {"1000", "000000000000zzzz\n", "00000000000010000", ""}) {
            CHILD_EXPECT(c, unlink(ids.c_str()) == 0 && write_file(ids.c_str(), text));
            c.expect(resumed() == 0x16, text, __LINE__);
        }
        CHILD_EXPECT(c, write_file(ids.c_str(), "0000000000001000\n") &&
                            chown(ids.c_str(), 65534, 65534) == 0);
        CHILD_EXPECT(c, resumed() == 0x16);
        return c.result();
    });
}

// Ids 2^31 apart or more: a higher file whose status changed before a lower one's mixes runs.
TEST(create_dls, discards_histories_whose_files_run_backwards_in_time) {
    run_scenario({{"/var"}}, [] {
        child_checks c;
        const std::string dir = "/var/.vantlesd";
        const uint64_t far = 0x10 + (1ull << 31);
        make_history(c, dir, {0x10, 0x20});
        for (time_t start = time(nullptr); time(nullptr) == start;)
            usleep(20000);
        chmod(log_file(dir, 0x10).c_str(), 0640);  // its status now changed after 0x20's
        CHILD_EXPECT(c, write_file((dir + "/vantlesd-uuid").c_str(), KNOWN_UUID));
        dev_info* di = volume_record("/var", DEV_LOGGED);
        create_dls(di);
        CHILD_EXPECT(c, di->dls && di->dls->num_files == 2 && !c.logged("out of order"));

        CHILD_EXPECT(c, write_log_file(log_file(dir, far).c_str(), {{"x", far + 1}}));
        di = volume_record("/var", DEV_LOGGED);
        create_dls(di);
        CHILD_EXPECT(
            c, c.logged_in_order(") in " + dir + ".",
                                 "Problem with log files.  Removing all old log files in " + dir));
        CHILD_EXPECT(c, di->dls && di->dls->num_files == 0 && !exists(log_file(dir, far).c_str()));
        std::string uuid = read_file((dir + "/vantlesd-uuid").c_str());
        CHILD_EXPECT(c, is_lower_uuid(uuid) && uuid != KNOWN_UUID);
        return c.result();
    });
}

// Names decide, not types; 0 and all ones are no log files; the list grows past 100 entries
// keeping every id; the descriptor is consumed even on failure.
TEST(get_dirlist, lists_hex_named_ids_and_consumes_its_descriptor) {
    char dir[] = "/tmp/dirlist.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::vector<uint64_t> want;
    for (uint64_t id = 1; id <= 250; ++id) {
        want.push_back(id << 32);
        close(open(log_file(dir, id << 32).c_str(), O_CREAT | O_WRONLY, 0600));
    }
    for (const char* other : {"/0000000000000000", "/ffffffffffffffff", "/000000000000001g",
                              "/0x10", "/vantlesd-uuid", "/ABC"})
        close(open((std::string(dir) + other).c_str(), O_CREAT | O_WRONLY, 0600));
    want.push_back(0xabc);
    int32_t count, capacity;
    uint64_t *ids, smallest, largest;
    int fd = open(dir, O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(get_dirlist(fd, &count, &capacity, &ids, is_hex_name, &smallest, &largest), 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    std::vector<uint64_t> listed(ids, ids + count);
    qsort(listed.data(), listed.size(), sizeof(uint64_t), compare_event_ids);
    std::sort(want.begin(), want.end());
    EXPECT_EQ(listed, want);
    EXPECT_EQ(smallest, 0xabcu);
    EXPECT_EQ(largest, 250ull << 32);
    free(ids);

    fd = open(log_file(dir, 1ull << 32).c_str(), O_RDONLY);
    EXPECT_EQ(get_dirlist(fd, &count, &capacity, &ids, is_hex_name, &smallest, &largest), ENOTDIR);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(system((std::string("rm -rf ") + dir).c_str()), 0);

    // Ids a signed or truncated comparison would misplace.
    std::vector<uint64_t> order{~0ull, 1ull << 63, 0x100000000ull, 5};
    qsort(order.data(), order.size(), sizeof(uint64_t), compare_event_ids);
    EXPECT_EQ(order, (std::vector<uint64_t>{5, 0x100000000ull, 1ull << 63, ~0ull}));
}

}  // namespace
