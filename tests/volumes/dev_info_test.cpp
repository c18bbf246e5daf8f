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
#include <string>
#include <tuple>
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
    EXPECT_EQ(find_dev_info(7), &t.records[2]);
    t.records[1].dls = reinterpret_cast<struct dls*>(0x1000);
    EXPECT_EQ(find_dev_info(7), &t.records[1]);
    EXPECT_EQ(find_dev_info(0xdead), &t.records[0]);
    t.records[0].flags &= ~DEV_IS_ROOT;
    log_open("volumes_tests", LOG_OPTIONS_STDERR);
    testing::internal::CaptureStderr();
    EXPECT_EQ(find_dev_info(0xdead), &t.records[0]);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("no root di?!"), std::string::npos);
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

// Logged volumes last first, callbacks without dev_lock (they may take it), every pin undone;
// a record that stops being logged during the walk is skipped.
TEST(DevTable, IterateVisitsLoggedVolumesLastFirstAndUnpins) {
    EXPECT_EQ(iterate_devices(visit, nullptr), 0);  // no table: no visit
    fake_table t(
        {{1, DEV_IS_ROOT | DEV_LOGGED}, {2, DEV_NOT_LOGGED}, {3, DEV_LOGGED}, {4, DEV_LOGGED}});
    walk all{&t}, stopped{&t, 3}, unlogged{&t, 0, &t.records[0]};
    EXPECT_EQ(iterate_devices(visit, &all), 0);
    EXPECT_EQ(all.visited, (std::vector<uint32_t>{4, 3, 1}));
    EXPECT_TRUE(all.pins_held && all.lock_free);
    EXPECT_EQ(iterate_devices(visit, &stopped), 9);
    EXPECT_EQ(stopped.visited, (std::vector<uint32_t>{4, 3}));
    EXPECT_EQ(iterate_devices(visit, &unlogged), 0);
    EXPECT_EQ(unlogged.visited, (std::vector<uint32_t>{4, 3}));
    EXPECT_TRUE(unlogged.pins_held);
    for (const dev_info& record : t.records)
        EXPECT_EQ(record.refcount.load(), 0u);
}

// The last record mounted at mount_point, or null.
const dev_info* record_at(const std::string& mount_point) {
    const dev_info* found = nullptr;
    dev_table_t* table = dev_table.load();
    for (int i = 0; table && i < table->count; i++) {
        if (mount_point == table->entries[i]->mount_point)
            found = table->entries[i];
    }
    return found;
}

// The root and the local, writable volume holding /var keep a history; nothing else does, and
// a no_log marker of any kind disables the /var volume but not the root.
TEST(InitDevInfo, LogsTheRootAndTheWritableVarVolumeOnly) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    constexpr uint32_t ROOT = DEV_IS_ROOT | DEV_MOUNTED | DEV_LOGGED;
    constexpr uint32_t IDLE = DEV_MOUNTED | DEV_NOT_LOGGED;
    using expected = std::vector<std::tuple<std::string, uint32_t, uint32_t>>;  // flags, depth
    struct {
        std::vector<scratch_volume> volumes;
        std::string prepare;
        expected records;
        int logged;
    } cases[] = {
        {{}, "", {{"/", ROOT, 1}, {"/proc", IDLE, 2}, {"/dev", IDLE, 2}, {"/usr", IDLE, 2}}, 1},
        {{{"/var"}, {"/mnt/data"}},
         "",
         {{"/var", DEV_MOUNTED | DEV_LOGGED, 2}, {"/mnt/data", IDLE, 3}},
         2},
        {{{"/var"}},
         "mkdir /var/.vantlesd /.vantlesd /.vantlesd/no_log && ln -s /nowhere "
         "/var/.vantlesd/no_log",
         {{"/", ROOT, 1}, {"/var", IDLE | DEV_LOG_DISABLED, 2}},
         1},
        {{{"/var", "tmpfs", true}}, "", {{"/var", IDLE, 2}}, 1},
        {{}, "rmdir /var && ln -s /dev /var", {{"/dev", IDLE, 2}}, 1},
    };
    for (const auto& k : cases) {
        int result = run_in_scratch_root(k.volumes, [&k] {
            SCRATCH_CHECK(k.prepare.empty() || system(k.prepare.c_str()) == 0);
            log_open("volumes_tests", LOG_OPTIONS_STDERR);
            SCRATCH_CHECK(init_dev_info(create_dls) == 0);
            struct stat st;
            SCRATCH_CHECK(stat("/", &st) == 0 && root_dev == device_number_32(st.st_dev));
            for (const auto& [mount_point, flags, depth] : k.records) {
                const dev_info* di = record_at(mount_point);
                SCRATCH_CHECK(di && di->flags == flags && di->depth == depth);
                SCRATCH_CHECK((di->dls != nullptr) == ((flags & DEV_LOGGED) != 0));
            }
            int logged = 0;
            for (int i = 0; i < dev_table.load()->count; i++)
                logged += (dev_table.load()->entries[i]->flags & DEV_LOGGED) != 0;
            SCRATCH_CHECK(logged == k.logged);
            return 0;
        });
        EXPECT_EQ(result, 0) << k.prepare;
    }
}

}  // namespace
