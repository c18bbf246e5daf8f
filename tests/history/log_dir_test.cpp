// The log directory and identity of a volume's history: the rule that trusts an old history,
// the two-slot event id counter, and create_dls on scratch volumes (finding or making the
// directory, refusing what is not a real directory of the volume, listing the log files,
// resuming the counter, and discarding histories that cannot be trusted).
#include "history/dls.h"

#include "intake/event_ids.h"
#include "platform/mounts.h"
#include "tests/history/scratch_checks.h"
#include "tests/support/scratch_root.h"
#include "volumes/dev_info.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cctype>
#include <cstring>
#include <string>

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
    // Quick restart: the stamp is fresh and nothing changed after it.
    EXPECT_FALSE(history_out_of_step(now - 2, boot, now - 2, now));
    EXPECT_FALSE(history_out_of_step(now - 5, boot, now - 5, now));
    // The stamp is 6 s old and the volume was mounted long ago.
    EXPECT_TRUE(history_out_of_step(now - 6, boot, now - 6, now));
    // A volume mounted less than two minutes ago keeps an old stamp's history.
    EXPECT_FALSE(history_out_of_step(now - 3600, now - 119, now - 3600, now));
    EXPECT_TRUE(history_out_of_step(now - 3600, now - 120, now - 3600, now));
    // Mounted three minutes before start, stamped an hour ago.
    EXPECT_TRUE(history_out_of_step(now - 3600, now - 180, now - 3600, now));
    // Changed two minutes or more after the stamp, however fresh the mount.
    EXPECT_FALSE(history_out_of_step(now - 1, now - 10, now - 120, now - 1));
    EXPECT_TRUE(history_out_of_step(now, now - 10, now - 120, now - 1));
}

TEST(event_ids, publish_writes_the_spare_slot_and_flips_the_index) {
    event_ids[0] = 5;
    event_ids[1] = 0;
    event_id_index = 0;
    EXPECT_EQ(next_event_id(), 6u);
    EXPECT_EQ(current_event_id(), 6u);

    publish_event_id(100);
    EXPECT_EQ(event_id_index.load(), 1u);
    EXPECT_EQ(event_ids[0].load(), 6u);  // the old slot is left as it was
    EXPECT_EQ(current_event_id(), 100u);
    EXPECT_EQ(next_event_id(), 101u);  // ids continue from the published slot
    EXPECT_EQ(event_ids[0].load(), 6u);

    publish_event_id(7);
    EXPECT_EQ(event_id_index.load(), 0u);
    EXPECT_EQ(current_event_id(), 7u);
    event_ids[0] = event_ids[1] = 0;
    event_id_index = 0;
}

constexpr const char* KNOWN_UUID = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

// A volume record as the volume table makes it (kept for the child's life).
dev_info* volume_record(const char* mount_point, uint32_t flags) {
    root_dev = device_of("/");
    auto* di = new dev_info();
    di->dev = device_of(mount_point);
    di->mount_point = strdup(mount_point);
    di->flags = DEV_MOUNTED | flags;
    return di;
}

void reset_event_ids(uint64_t current = 0) {
    event_ids[0] = current;
    event_ids[1] = 0;
    event_id_index = 0;
}

bool is_lower_uuid(const std::string& text) {
    uuid_t value;
    for (char c : text) {
        if (isupper(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return text.size() == 36 && uuid_parse(text.c_str(), value) == 0;
}

mode_t mode_of(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

std::string log_file(const std::string& dir, uint64_t id) {
    char name[32];
    snprintf(name, sizeof name, "/%.16llx", static_cast<unsigned long long>(id));
    return dir + name;
}

// A log directory holding a trusted history: the given log files and a freshly written uuid.
void make_history(child_checks& c, const std::string& dir, const std::vector<uint64_t>& ids) {
    mkdir(dir.c_str(), 0700);
    for (uint64_t id : ids) {
        CHILD_EXPECT(c, write_log_file(log_file(dir, id).c_str(), {{"a/b", id + 1}}));
    }
    CHILD_EXPECT(c, write_file((dir + "/vantlesd-uuid").c_str(), KNOWN_UUID));
}

TEST(create_dls, fresh_volumes_get_a_private_directory_and_a_new_uuid) {
    run_scenario({{"/var"}, {"/data", "ext4"}}, [] {
        child_checks c;
        dev_info* root = volume_record("/", DEV_IS_ROOT | DEV_LOGGED);
        create_dls(root);
        if (!CHILD_EXPECT(c, root->dls != nullptr)) {
            return c.result();
        }
        CHILD_EXPECT(c, global_dls == root->dls);
        CHILD_EXPECT(c, strcmp(root->dls->log_dir, "/.vantlesd") == 0);
        CHILD_EXPECT(c, read_file("/.vantlesd/vantlesd-uuid") == root->uuid_text);
        auto* logger = reinterpret_cast<client_info*>(0x1000);  // only copied, never used
        global_dls->fci = logger;

        for (const char* mount_point : {"/var", "/data"}) {
            c.clear_log();
            dev_info* di = volume_record(mount_point, DEV_LOGGED);
            create_dls(di);
            if (!CHILD_EXPECT(c, di->dls != nullptr)) {
                continue;
            }
            const dls* state = di->dls;
            std::string dir = std::string(mount_point) + "/.vantlesd";
            std::string uuid_file = dir + "/vantlesd-uuid";
            CHILD_EXPECT(c, state->log_dir == dir);
            CHILD_EXPECT(c, mode_of(dir) == (S_IFDIR | 0700));
            CHILD_EXPECT(c, mode_of(uuid_file) == (S_IFREG | 0600));
            std::string uuid = read_file(uuid_file.c_str());
            CHILD_EXPECT(c, is_lower_uuid(uuid));
            CHILD_EXPECT(c, uuid == di->uuid_text);
            CHILD_EXPECT(c, uuid != root->uuid_text);
            CHILD_EXPECT(c, c.logged_in_order(
                                "could not open <<" + uuid_file + ">> (No such file or directory)",
                                "log dir: " + dir + " getting new uuid: " + uuid));
            CHILD_EXPECT(c, state->num_files == 0 && state->file_ids == nullptr);
            CHILD_EXPECT(c, state->logger_queue_size == 8192 && state->active == 1);
            CHILD_EXPECT(c, state->fname_buckets != nullptr && state->fname_mask == 4095);
            CHILD_EXPECT(c, state->purged == 1 && state->last_event_id == 0);
            CHILD_EXPECT(c, state->fci == logger);
            CHILD_EXPECT(c, global_dls == root->dls);

            // Asked again, the volume keeps the state it has.
            create_dls(di);
            CHILD_EXPECT(c, di->dls == state);
            CHILD_EXPECT(c, c.logged(std::string("creating a dls for ") + mount_point +
                                     " but it already has one..."));
        }
        return c.result();
    });
}

TEST(create_dls, refuses_volumes_without_a_usable_directory_of_their_own) {
    run_scenario({{"/var"}, {"/ro", "tmpfs", true}, {"/other"}, {"/other/.vantlesd"}}, [] {
        child_checks c;
        dev_info* di = volume_record("/var", DEV_NOT_LOGGED);
        create_dls(di);
        CHILD_EXPECT(c, di->dls == nullptr);
        CHILD_EXPECT(c, c.logged("volume /var does not support logging (flags 0x44)."));
        di = volume_record("/var", DEV_LOGGED | DEV_LOG_DISABLED);
        create_dls(di);
        CHILD_EXPECT(c, di->dls == nullptr);
        CHILD_EXPECT(c, c.logged("volume /var does not support logging (flags 0x1104)."));
        CHILD_EXPECT(c, !exists("/var/.vantlesd"));

        // The root volume logs whatever its marker says.
        di = volume_record("/", DEV_IS_ROOT | DEV_LOGGED | DEV_LOG_DISABLED);
        create_dls(di);
        CHILD_EXPECT(c, di->dls != nullptr);

        di = volume_record("/ro", DEV_LOGGED);
        create_dls(di);
        CHILD_EXPECT(c, di->dls == nullptr);
        CHILD_EXPECT(c, c.logged("failed to make the directory /ro/.vantlesd (30/Read-only file "
                                 "system)"));

        // A directory of that name on another volume is left alone.
        CHILD_EXPECT(c, write_file("/other/.vantlesd/0000000000000010", "x"));
        di = volume_record("/other", DEV_LOGGED);
        create_dls(di);
        CHILD_EXPECT(c, di->dls == nullptr);
        CHILD_EXPECT(c, exists("/other/.vantlesd/0000000000000010"));
        CHILD_EXPECT(c, !exists("/other/.vantlesd/vantlesd-uuid"));
        return c.result();
    });
}

TEST(create_dls, follows_no_symbolic_link_and_replaces_a_stray_file) {
    run_scenario({{"/v1"}, {"/v2"}, {"/v3"}, {"/v4"}}, [] {
        child_checks c;
        // A file where the directory belongs goes.
        CHILD_EXPECT(c, write_file("/v1/.vantlesd", "stray"));
        dev_info* di = volume_record("/v1", DEV_LOGGED);
        create_dls(di);
        CHILD_EXPECT(c, di->dls != nullptr);
        CHILD_EXPECT(c, mode_of("/v1/.vantlesd") == (S_IFDIR | 0700));

        // A link in its place is replaced by a directory; its target is not touched.
        mkdir("/v2/elsewhere", 0700);
        make_history(c, "/v2/elsewhere", {0x10});
        symlink("/v2/elsewhere", "/v2/.vantlesd");
        di = volume_record("/v2", DEV_LOGGED);
        create_dls(di);
        CHILD_EXPECT(c, di->dls != nullptr && di->dls->num_files == 0);
        CHILD_EXPECT(c, mode_of("/v2/.vantlesd") == (S_IFDIR | 0700));
        CHILD_EXPECT(c, exists("/v2/elsewhere/0000000000000010"));
        CHILD_EXPECT(c, read_file("/v2/elsewhere/vantlesd-uuid") == KNOWN_UUID);

        // The alternative directory reached through a link does not match its own path.
        CHILD_EXPECT(c, system("mkdir -p /v3/p2/var/db/vantlesd") == 0);
        symlink("p2", "/v3/private");
        di = volume_record("/v3", DEV_LOGGED);
        create_dls(di);
        CHILD_EXPECT(c, di->dls == nullptr);
        CHILD_EXPECT(c, c.logged("log dir /v3/private/var/db/vantlesd does not match path "
                                 "/v3/p2/var/db/vantlesd.  bailing out."));
        CHILD_EXPECT(c, mode_of("/v3/p2/var/db/vantlesd") == (S_IFDIR | 0755));
        CHILD_EXPECT(c, !exists("/v3/.vantlesd"));

        // A real alternative directory is used as it is.
        CHILD_EXPECT(c, system("mkdir -p /v4/private/var/db/vantlesd") == 0);
        di = volume_record("/v4", DEV_LOGGED);
        create_dls(di);
        CHILD_EXPECT(
            c, di->dls != nullptr && strcmp(di->dls->log_dir, "/v4/private/var/db/vantlesd") == 0);
        CHILD_EXPECT(c, exists("/v4/private/var/db/vantlesd/vantlesd-uuid"));
        CHILD_EXPECT(c, !exists("/v4/.vantlesd"));
        return c.result();
    });
}

TEST(create_dls, lists_log_files_and_resumes_the_counter_above_them) {
    run_scenario({{"/var"}}, [] {
        child_checks c;
        const std::string dir = "/var/.vantlesd";
        mkdir(dir.c_str(), 0700);
        CHILD_EXPECT(c, write_log_file(log_file(dir, 0x10).c_str(),
                                       {{"a", 0x11}, {"b", 0x15}, {"c", 0x12}}));
        CHILD_EXPECT(c, write_log_file(log_file(dir, 0x20).c_str(), {{"a", 0x2a}, {"z", 0x21}}));
        CHILD_EXPECT(c, write_file((dir + "/0000000000000000").c_str(), "x"));
        CHILD_EXPECT(c, write_file((dir + "/000000000000001g").c_str(), "x"));
        CHILD_EXPECT(c, write_file((dir + "/vantlesd-uuid").c_str(), KNOWN_UUID));

        reset_event_ids();
        dev_info* di = volume_record("/var", DEV_LOGGED);
        create_dls(di);
        if (!CHILD_EXPECT(c, di->dls != nullptr && di->dls->num_files == 2)) {
            return c.result();
        }
        CHILD_EXPECT(c, di->dls->file_ids[0] == 0x10 && di->dls->file_ids[1] == 0x20);
        CHILD_EXPECT(c, current_event_id() == 0x2b && event_id_index.load() == 1);
        // The history is kept as it is.
        CHILD_EXPECT(c, strcmp(di->uuid_text, KNOWN_UUID) == 0);
        CHILD_EXPECT(c, di->dls->generation == 1);
        CHILD_EXPECT(c, exists(log_file(dir, 0x10).c_str()) && exists(log_file(dir, 0x20).c_str()));
        CHILD_EXPECT(c, !c.logged("getting new uuid"));

        // An unreadable newest file: the next older one says where to go on.
        CHILD_EXPECT(c, write_file(log_file(dir, 0x20).c_str(), "not a log file"));
        reset_event_ids();
        di = volume_record("/var", DEV_LOGGED);
        create_dls(di);
        CHILD_EXPECT(c, di->dls != nullptr && di->dls->num_files == 2);
        CHILD_EXPECT(c, current_event_id() == 0x16);

        // A counter already above the history stays where it is.
        reset_event_ids(0x1000);
        di = volume_record("/var", DEV_LOGGED);
        create_dls(di);
        CHILD_EXPECT(c, current_event_id() == 0x1000 && event_id_index.load() == 0);
        return c.result();
    });
}

// The id ceiling a daemon leaves covers the ids it numbered but never wrote: the next one
// resumes above it, but only above a well-formed ceiling of its own owner.
TEST(create_dls, resumes_above_the_id_ceiling_the_daemon_left) {
    run_scenario({{"/var"}}, [] {
        child_checks c;
        const std::string dir = "/var/.vantlesd";
        const std::string ids = dir + "/vantlesd-ids";
        make_history(c, dir, {0x10});  // its record has id 0x11

        CHILD_EXPECT(c, write_file(ids.c_str(), "0000000000001000\n"));
        reset_event_ids();
        dev_info* di = volume_record("/var", DEV_LOGGED);
        create_dls(di);
        if (!CHILD_EXPECT(c, di->dls != nullptr)) {
            return c.result();
        }
        CHILD_EXPECT(c, current_event_id() == 0x1000);
        CHILD_EXPECT(c, strcmp(di->uuid_text, KNOWN_UUID) == 0);  // the history stays

        // Stored in place, always 17 bytes, and read back.
        CHILD_EXPECT(c, store_id_ceiling(di->dls, 0x2000) == 0);
        CHILD_EXPECT(c, read_file(ids.c_str()) == "0000000000002000\n");
        uint64_t back = 0;
        CHILD_EXPECT(c, load_id_ceiling(di->dls, &back) == 0 && back == 0x2000);

        // Malformed, or not the daemon's own: only the log files count.
        for (const char* text : {"1000", "000000000000zzzz\n", "00000000000010000"}) {
            CHILD_EXPECT(c, unlink(ids.c_str()) == 0 && write_file(ids.c_str(), text));
            reset_event_ids();
            create_dls(volume_record("/var", DEV_LOGGED));
            CHILD_EXPECT(c, current_event_id() == 0x12);
        }
        CHILD_EXPECT(c, unlink(ids.c_str()) == 0 && write_file(ids.c_str(), "0000000000001000\n") &&
                            chown(ids.c_str(), 65534, 65534) == 0);
        reset_event_ids();
        create_dls(volume_record("/var", DEV_LOGGED));
        CHILD_EXPECT(c, current_event_id() == 0x12);
        return c.result();
    });
}

TEST(create_dls, discards_the_history_when_its_uuid_file_is_unusable) {
    run_scenario({{"/v1"}, {"/v2"}, {"/v3"}, {"/v4"}}, [] {
        child_checks c;
        struct case_t {
            const char* mount_point;
            void (*spoil)(const std::string& uuid_file);
            bool uuid_written;
            const char* message;  // what tells this case apart
        };
        const case_t cases[] = {
            {"/v1", [](const std::string& f) { write_file(f.c_str(), std::string(80, 'a')); }, true,
             "log dir: /v1/.vantlesd getting new uuid: "},
            {"/v2", [](const std::string& f) { write_file(f.c_str(), ""); }, true,
             "log dir: /v2/.vantlesd getting new uuid: "},
            {"/v3",
             [](const std::string& f) {
                 unlink(f.c_str());
                 mkdir(f.c_str(), 0700);
             },
             false,
             "check_vol_last_mod_time: problems with history file: /v3/.vantlesd/vantlesd-uuid "
             "(0 ; is_reg 0)"},
            {"/v4",
             [](const std::string& f) {
                 write_file("/v4/target", KNOWN_UUID);
                 unlink(f.c_str());
                 symlink("/v4/target", f.c_str());
             },
             true,
             "could not open <</v4/.vantlesd/vantlesd-uuid>> (Too many levels of symbolic "
             "links)"},
        };
        for (const case_t& k : cases) {
            c.clear_log();
            std::string dir = std::string(k.mount_point) + "/.vantlesd";
            std::string uuid_file = dir + "/vantlesd-uuid";
            make_history(c, dir, {0x10, 0x20});
            k.spoil(uuid_file);
            dev_info* di = volume_record(k.mount_point, DEV_LOGGED);
            create_dls(di);
            if (!CHILD_EXPECT(c, di->dls != nullptr)) {
                continue;
            }
            CHILD_EXPECT(c, c.logged("Failed to load UUID.  Removing all old log files in " + dir));
            CHILD_EXPECT(c, di->dls->num_files == 0 && di->dls->generation == 2);
            CHILD_EXPECT(c, !exists(log_file(dir, 0x10).c_str()));
            CHILD_EXPECT(c, !exists(log_file(dir, 0x20).c_str()));
            if (k.uuid_written) {
                std::string uuid = read_file(uuid_file.c_str());
                CHILD_EXPECT(c, mode_of(uuid_file) == (S_IFREG | 0600));
                CHILD_EXPECT(c, is_lower_uuid(uuid) && uuid == di->uuid_text);
            }
            CHILD_EXPECT(c, c.logged(k.message));
            if (!k.uuid_written) {
                CHILD_EXPECT(c, c.logged("failed to create the uuid file " + uuid_file));
            }
        }
        CHILD_EXPECT(c, mode_of("/v3/.vantlesd/vantlesd-uuid") == (S_IFDIR | 0700));
        CHILD_EXPECT(c, read_file("/v4/target") == KNOWN_UUID);
        return c.result();
    });
}

TEST(create_dls, discards_histories_whose_files_run_backwards_in_time) {
    run_scenario({{"/var"}}, [] {
        child_checks c;
        const std::string dir = "/var/.vantlesd";
        const uint64_t far = 0x10 + (1ull << 31);
        make_history(c, dir, {0x10, 0x20});
        sleep(1);
        usleep(100000);
        chmod(log_file(dir, 0x10).c_str(), 0640);  // its status now changed after 0x20's
        CHILD_EXPECT(c, write_file((dir + "/vantlesd-uuid").c_str(), KNOWN_UUID));

        // Ids close together are not checked.
        dev_info* di = volume_record("/var", DEV_LOGGED);
        create_dls(di);
        CHILD_EXPECT(c, di->dls != nullptr && di->dls->num_files == 2);
        CHILD_EXPECT(c, !c.logged("out of order"));

        CHILD_EXPECT(c, write_log_file(log_file(dir, far).c_str(), {{"x", far + 1}}));
        struct stat first, second;
        lstat(log_file(dir, 0x10).c_str(), &first);
        lstat(log_file(dir, 0x20).c_str(), &second);
        di = volume_record("/var", DEV_LOGGED);
        create_dls(di);
        if (!CHILD_EXPECT(c, di->dls != nullptr)) {
            return c.result();
        }
        CHILD_EXPECT(
            c, c.logged_in_order("Log files out of order (" + std::to_string(second.st_ctime) +
                                     " < " + std::to_string(first.st_ctime) + ") in " + dir + ".",
                                 "Problem with log files.  Removing all old log files "
                                 "in " +
                                     dir));
        CHILD_EXPECT(c, di->dls->num_files == 0);
        for (uint64_t id : {uint64_t{0x10}, uint64_t{0x20}, far}) {
            CHILD_EXPECT(c, !exists(log_file(dir, id).c_str()));
        }
        std::string uuid = read_file((dir + "/vantlesd-uuid").c_str());
        CHILD_EXPECT(c, is_lower_uuid(uuid) && uuid != KNOWN_UUID && uuid == di->uuid_text);
        return c.result();
    });
}

}  // namespace
