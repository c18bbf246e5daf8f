// The volume table: lookups and walks over hand-made tables, and which volumes keep a history
// in tables built from scratch roots.
#include "common/log.h"
#include "history/dls.h"
#include "platform/mounts.h"
#include "tests/support/scratch_root.h"
#include "volumes/dev_info.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// One record per (dev, flags) pair, published as dev_table while the object lives.
struct fake_table {
    std::vector<dev_info> records;
    std::vector<dev_info*> entries;
    dev_table_t table{};

    explicit fake_table(const std::vector<std::pair<uint32_t, uint32_t>>& volumes)
        : records(volumes.size()) {
        for (size_t i = 0; i < volumes.size(); i++) {
            records[i].dev = volumes[i].first;
            records[i].flags = volumes[i].second | DEV_MOUNTED;
            entries.push_back(&records[i]);
        }
        table = dev_table_t{entries.data(), static_cast<int32_t>(entries.size())};
        static bool lock_ready = vantle_rwlock_init(&dev_lock) == 0;
        EXPECT_TRUE(lock_ready);
        dev_table.store(&table);
    }
    ~fake_table() { dev_table.store(nullptr); }
};

TEST(DevTable, FindPrefersARecordWithHistoryThenTheLastThenRoot) {
    EXPECT_EQ(find_dev_info(5), nullptr);  // no table yet
    fake_table t({{5, DEV_IS_ROOT | DEV_LOGGED}, {7, DEV_NOT_LOGGED}, {7, DEV_NOT_LOGGED}});
    EXPECT_EQ(find_dev_info(5), &t.records[0]);
    EXPECT_EQ(find_dev_info(7), &t.records[2]);
    t.records[1].dls = reinterpret_cast<struct dls*>(0x1000);
    EXPECT_EQ(find_dev_info(7), &t.records[1]);
    EXPECT_EQ(find_dev_info(0xdead), &t.records[0]);

    // Without a root record: reported, and the first record answers.
    t.records[0].flags &= ~DEV_IS_ROOT;
    log_open("volumes_tests", LOG_OPTIONS_STDERR);
    testing::internal::CaptureStderr();
    EXPECT_EQ(find_dev_info(0xdead), &t.records[0]);
    std::string log = testing::internal::GetCapturedStderr();
    log_open("volumes_tests", LOG_OPTIONS_DEFAULT);
    EXPECT_NE(log.find("no root di?!"), std::string::npos);
}

struct walk {
    walk(fake_table* t, uint32_t stop = 0, dev_info* u = nullptr)
        : table(t), stop_at(stop), unlog(u) {}
    fake_table* table;
    uint32_t stop_at;  // the visit of this device returns 9
    dev_info* unlog;   // gets DEV_NOT_LOGGED at the first visit
    std::vector<uint32_t> visited;
    bool pins_held = true;  // during every visit, exactly the walked records are pinned
    bool lock_free = true;  // and dev_lock is not held
};

int visit(dev_info* di, void* arg) {
    auto* w = static_cast<walk*>(arg);
    w->visited.push_back(di->dev);
    for (const dev_info& record : w->table->records) {
        bool walked = !(record.flags & DEV_NOT_LOGGED) || &record == w->unlog;
        w->pins_held &= record.refcount.load() == (walked ? 1u : 0u);
    }
    if (pthread_rwlock_trywrlock(&dev_lock.lock) == 0)
        pthread_rwlock_unlock(&dev_lock.lock);
    else
        w->lock_free = false;
    if (w->unlog)
        w->unlog->flags |= DEV_NOT_LOGGED;
    return di->dev == w->stop_at ? 9 : 0;
}

bool all_unpinned(const fake_table& t) {
    for (const dev_info& record : t.records) {
        if (record.refcount.load() != 0)
            return false;
    }
    return true;
}

TEST(DevTable, IterateVisitsLoggedVolumesLastFirstAndUnpins) {
    EXPECT_EQ(iterate_devices(visit, nullptr), 0);  // no table: no visit
    fake_table t(
        {{1, DEV_IS_ROOT | DEV_LOGGED}, {2, DEV_NOT_LOGGED}, {3, DEV_LOGGED}, {4, DEV_LOGGED}});
    walk all{&t};
    EXPECT_EQ(iterate_devices(visit, &all), 0);
    EXPECT_EQ(all.visited, (std::vector<uint32_t>{4, 3, 1}));
    EXPECT_TRUE(all.pins_held);
    EXPECT_TRUE(all.lock_free);
    EXPECT_TRUE(all_unpinned(t));

    walk stopped{&t, 3};
    EXPECT_EQ(iterate_devices(visit, &stopped), 9);
    EXPECT_EQ(stopped.visited, (std::vector<uint32_t>{4, 3}));
    EXPECT_TRUE(all_unpinned(t));

    // A record that stops being logged during the walk is not visited, but still unpinned.
    walk unlogged{&t, 0, &t.records[0]};
    EXPECT_EQ(iterate_devices(visit, &unlogged), 0);
    EXPECT_EQ(unlogged.visited, (std::vector<uint32_t>{4, 3}));
    EXPECT_TRUE(unlogged.pins_held);
    EXPECT_TRUE(all_unpinned(t));
}

// The last record mounted at mount_point, or null.
const dev_info* record_at(const char* mount_point) {
    const dev_info* found = nullptr;
    dev_table_t* table = dev_table.load();
    for (int i = 0; table && i < table->count; i++) {
        if (strcmp(table->entries[i]->mount_point, mount_point) == 0)
            found = table->entries[i];
    }
    return found;
}

// Mount points of the logged records, in table order.
std::vector<std::string> logged_volumes() {
    std::vector<std::string> logged;
    dev_table_t* table = dev_table.load();
    for (int i = 0; table && i < table->count; i++) {
        if (table->entries[i]->flags & DEV_LOGGED)
            logged.push_back(table->entries[i]->mount_point);
    }
    return logged;
}

constexpr uint32_t ROOT_FLAGS = DEV_IS_ROOT | DEV_MOUNTED | DEV_LOGGED;  // 0x105
constexpr uint32_t IDLE_FLAGS = DEV_MOUNTED | DEV_NOT_LOGGED;            // 0x44
const std::vector<std::string> ROOT_ONLY = {"/"};

// Runs body in a scratch root with volumes; body reports its failures itself.
void expect_in_scratch_root(const std::vector<scratch_volume>& volumes,
                            const std::function<int()>& body) {
    EXPECT_EQ(run_in_scratch_root(volumes, body), 0);
}

#define SKIP_WITHOUT_SCRATCH_ROOT()                            \
    do {                                                       \
        if (!scratch_root_available())                         \
            GTEST_SKIP() << "needs root and mount namespaces"; \
    } while (0)

TEST(InitDevInfo, RootOnlyMachineLogsTheRootAlone) {
    SKIP_WITHOUT_SCRATCH_ROOT();
    expect_in_scratch_root({}, [] {
        SCRATCH_CHECK(init_dev_info(create_dls) == 0);
        const dev_info* root = record_at("/");
        struct stat st;
        SCRATCH_CHECK(root && stat("/", &st) == 0);
        SCRATCH_CHECK(root->flags == ROOT_FLAGS && root->depth == 1 && root->dls);
        SCRATCH_CHECK(root->dev == device_number_32(st.st_dev) && root_dev == root->dev);
        SCRATCH_CHECK(logged_volumes() == ROOT_ONLY);
        // /proc, /dev and the system binds are listed, without history.
        for (const char* other : {"/proc", "/dev", "/usr"}) {
            const dev_info* di = record_at(other);
            SCRATCH_CHECK(di && di->flags == IDLE_FLAGS && !di->dls);
        }
        return 0;
    });
}

TEST(InitDevInfo, VarVolumeIsLoggedOtherWritableVolumesAreNot) {
    SKIP_WITHOUT_SCRATCH_ROOT();
    expect_in_scratch_root({{"/var"}, {"/mnt/data"}}, [] {
        SCRATCH_CHECK(init_dev_info(create_dls) == 0);
        const dev_info* var = record_at("/var");
        const dev_info* data = record_at("/mnt/data");
        SCRATCH_CHECK(var && data);
        SCRATCH_CHECK(var->flags == (DEV_MOUNTED | DEV_LOGGED) && var->depth == 2);
        SCRATCH_CHECK(var->dls != nullptr);
        SCRATCH_CHECK(data->flags == IDLE_FLAGS && data->depth == 3 && !data->dls);
        SCRATCH_CHECK(logged_volumes().size() == 2);
        return 0;
    });
}

TEST(InitDevInfo, NoLogMarkerDisablesVarButNotTheRoot) {
    SKIP_WITHOUT_SCRATCH_ROOT();
    expect_in_scratch_root({{"/var"}}, [] {
        // Any kind of marker counts, even a link to nothing.
        SCRATCH_CHECK(mkdir("/var/.vantlesd", 0700) == 0);
        SCRATCH_CHECK(symlink("/nowhere", "/var/.vantlesd/no_log") == 0);
        SCRATCH_CHECK(mkdir("/.vantlesd", 0700) == 0);
        SCRATCH_CHECK(mkdir("/.vantlesd/no_log", 0700) == 0);
        log_open("volumes_tests", LOG_OPTIONS_STDERR);
        testing::internal::CaptureStderr();
        int err = init_dev_info(create_dls);
        std::string log = testing::internal::GetCapturedStderr();
        SCRATCH_CHECK(err == 0);
        const dev_info* var = record_at("/var");
        SCRATCH_CHECK(var && var->flags == (DEV_MOUNTED | DEV_NOT_LOGGED | DEV_LOG_DISABLED));
        SCRATCH_CHECK(var->dls == nullptr);
        SCRATCH_CHECK(log.find("Logging disabled completely for device: /var") !=
                      std::string::npos);
        SCRATCH_CHECK(log.find("for device: /\n") == std::string::npos);
        const dev_info* root = record_at("/");
        SCRATCH_CHECK(root && root->flags == ROOT_FLAGS && root->dls != nullptr);
        return 0;
    });
}

TEST(InitDevInfo, ReadOnlyVarAndDevAreNeverLogged) {
    SKIP_WITHOUT_SCRATCH_ROOT();
    scratch_volume read_only_var{"/var"};
    read_only_var.read_only = true;
    expect_in_scratch_root({read_only_var}, [] {
        SCRATCH_CHECK(init_dev_info(create_dls) == 0);
        SCRATCH_CHECK(record_at("/var") && record_at("/var")->flags == IDLE_FLAGS);
        SCRATCH_CHECK(logged_volumes() == ROOT_ONLY);
        return 0;
    });
    // Even when /var leads to it, the /dev volume keeps no history.
    expect_in_scratch_root({}, [] {
        SCRATCH_CHECK(rmdir("/var") == 0 && symlink("/dev", "/var") == 0);
        SCRATCH_CHECK(init_dev_info(create_dls) == 0);
        SCRATCH_CHECK(record_at("/dev") && record_at("/dev")->flags == IDLE_FLAGS);
        SCRATCH_CHECK(logged_volumes() == ROOT_ONLY);
        return 0;
    });
}

}  // namespace
