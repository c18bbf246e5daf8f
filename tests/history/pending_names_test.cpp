// The copy of a history's pending names for a replay: one native buffer, read unverified, with
// each name once, in path order, its latest id and every flag it was filed with.
#include "log_buffer_util.h"

#include "common/buckets.h"
#include "history/dls.h"
#include "history/fname_table.h"
#include "history/pending_names.h"

namespace history_test {
namespace {

TEST(copy_pending_names, copies_each_pending_name_once_in_path_order) {
    dls state{};
    pthread_rwlock_init(&state.fname_lock, nullptr);
    state.fname_buckets = reinterpret_cast<fname_entry**>(alloc_buckets(16, &state.fname_mask));
    ASSERT_NE(state.fname_buckets, nullptr);
    uint8_t* copy = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(copy_pending_names(&state, &copy, &length), 0);
    EXPECT_EQ(copy, nullptr);  // nothing pending

    for (const record& r : std::vector<record>{
             {"b/c", 5, 0x1}, {"a", 6, 0x2}, {"b/c", 7, 0x4}, {"", 8, 0x8}, {"b", 9, 0x10}})
        ASSERT_TRUE(
            fname_record(&state, r.path.c_str(), uint32_t(r.path.size() + 1), r.id, r.flags));
    ASSERT_EQ(copy_pending_names(&state, &copy, &length), 0);  // sized exactly: none cut
    ASSERT_NE(copy, nullptr);
    log_buffer_header header;
    EXPECT_EQ(log_buffer_check_header(copy, &header), 0);
    EXPECT_EQ(header.order, LOG_ORDER_NATIVE);
    EXPECT_EQ(header.length, length);
    uint32_t checksum;
    memcpy(&checksum, copy + 4, sizeof checksum);
    EXPECT_EQ(checksum, 0u);
    std::vector<std::string> got;
    log_record_walk walk = log_record_walk_start(copy, length);
    log_record r;
    while (log_record_next(&walk, &r) == 0)
        got.push_back(std::string(r.path) + " " + std::to_string(r.id) + " " +
                      std::to_string(r.flags));
    EXPECT_EQ(got, (std::vector<std::string>{" 8 8", "a 6 2", "b 9 16", "b/c 7 5"}));
    EXPECT_EQ(walk.pos, length);
    free(copy);
    clear_fname_table(&state);
    free(state.fname_buckets);
}

}  // namespace
}  // namespace history_test
