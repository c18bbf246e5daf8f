// The log reader's buffer checks and record walk, one damaged byte at a time: for each, whether
// the buffer is refused (with which result and drop report) or which records are read before
// the damage stops the walk. Offsets are written out here, apart from the format's constants,
// so that a builder and checker agreeing on a wrong layout still fail.
#include "log_buffer_util.h"

#include "history/log_reader.h"

#include <cerrno>

namespace history_test {
namespace {

// Ids and flags without a zero byte: a damaged path terminator is not found again in them.
// Layout: header 0-11; "a/b" 12-15, id 16-23, flags 24-27; "c" 28-29, id 30-37, flags 38-41;
// "de" 42-44, id 45-52, flags 53-56; length 57. A second buffer follows in the bytes held.
const std::vector<record> BUILT = {{"a/b", 0x1112131415161718, 0x41424344},
                                   {"c", 0x2122232425262728, 0x51525354},
                                   {"de", 0x3132333435363738, 0x61626364}};
constexpr int NO_DROP = -1;
constexpr int UNCHANGED = -1;

struct row {
    const char* what;
    bool other_order;            // the buffer written in the other byte order
    int offset;                  // the byte damaged, UNCHANGED for none
    uint8_t mask;                // xored into it
    bool reseal;                 // checksum made right again after the damage
    bool verify;                 // as for a log file; false as for the in-memory pending names
    int taken;                   // log_reader_take_buffer's result
    int drop;                    // the log_drop_kind reported, NO_DROP for none
    std::vector<int> read = {};  // records read, as indices into BUILT (-1: none of them)
    int walk_end = 0;            // the walk's last result, once taken
    uint32_t stop = 0;           // where the walk stopped: a record drop's id offset
};

struct drops_seen {
    std::vector<int> kinds;
    uint32_t record_at = 0;
};

void note_drop(void* ctx, const log_drop& drop) {
    auto* seen = static_cast<drops_seen*>(ctx);
    seen->kinds.push_back(drop.kind);
    if (drop.kind == LOG_DROP_RECORD)
        seen->record_at = drop.record->id_offset;
}

int built_index(const log_record& r) {
    for (size_t i = 0; i < BUILT.size(); i++) {
        if (BUILT[i].path == std::string(r.path, r.path_length) && BUILT[i].id == r.id &&
            BUILT[i].flags == r.flags)
            return int(i);
    }
    return -1;
}

void check(const row& c, const bytes& native, const bytes& other, const bytes& next) {
    SCOPED_TRACE(c.what);
    bytes b = c.other_order ? other : native;
    b.insert(b.end(), next.begin(), next.end());
    if (c.offset != UNCHANGED)
        b[c.offset] ^= c.mask;
    if (c.reseal)
        reseal(&b, c.other_order);

    drops_seen seen;
    const log_reader reader{note_drop, &seen};
    log_buffer_header header{};
    log_buffer_checksum sum{};
    ASSERT_EQ(log_reader_take_buffer(reader, b.data(), uint32_t(b.size()), c.verify, &header, &sum),
              c.taken);
    std::vector<int> read;
    int end = 0;
    uint32_t stop = 0;
    if (c.taken == 0) {
        log_record_walk walk = log_record_walk_start(b.data(), header.length);
        log_record r;
        while ((end = log_reader_next_record(reader, header, &walk, &r)) == 0)
            read.push_back(built_index(r));
        stop = walk.pos;
    }
    EXPECT_EQ(seen.kinds, c.drop == NO_DROP ? std::vector<int>{} : std::vector<int>{c.drop});
    EXPECT_EQ(read, c.read);
    EXPECT_EQ(end, c.walk_end);
    EXPECT_EQ(stop, c.stop);
    if (c.drop == LOG_DROP_RECORD) {
        EXPECT_EQ(seen.record_at, c.stop);
    }
}

TEST(log_reader, refuses_a_damaged_buffer_or_reads_its_records_up_to_the_damage) {
    const bytes native = build_buffer(BUILT), other = to_other_order(native);
    const bytes next = build_buffer({{"z", 9, 0}});
    ASSERT_EQ(native.size(), 57u);
    const std::vector<int> all = {0, 1, 2};
    constexpr bool N = false, O = true;
    constexpr uint8_t NUL_TO_X = 'x';
    // clang-format off
    const row rows[] = {
        {"intact", N, UNCHANGED, 0, false, true, 0, NO_DROP, all, ENOENT, 57},
        {"magic", N, 0, 0x01, false, true, EINVAL, LOG_DROP_CHECKSUM},
        {"magic, resealed: a foreign one of plausible length reads as native", N, 0, 0x01, true,
         true, 0, NO_DROP, all, ENOENT, 57},
        {"checksum", N, 4, 0x01, false, true, EINVAL, LOG_DROP_CHECKSUM},
        {"length past the bytes held", N, 8, 0x80, false, true, EAGAIN, NO_DROP},
        {"length shorter", N, 8, 0x20, false, true, EINVAL, LOG_DROP_CHECKSUM},
        {"length 9, below the header", N, 8, 0x30, false, true, EINVAL, LOG_DROP_HEADER},
        {"length above any buffer: never complete", N, 10, 0x10, false, true, EFBIG, NO_DROP},
        {"length above any buffer, unverified: incomplete", N, 10, 0x10, false, false, EAGAIN,
         NO_DROP},
        {"length one short, resealed: the last flags cut", N, 8, 0x01, true, true, 0,
         LOG_DROP_RECORD, {0, 1}, ERANGE, 45},
        {"a path terminator", N, 29, NUL_TO_X, false, true, EINVAL, LOG_DROP_CHECKSUM},
        {"an id", N, 33, 0x01, false, true, EINVAL, LOG_DROP_CHECKSUM},
        {"flags, the last byte inside length", N, 56, 0x01, false, true, EINVAL,
         LOG_DROP_CHECKSUM},
        {"the last terminator, resealed", N, 44, NUL_TO_X, true, true, 0, LOG_DROP_RECORD, {0, 1},
         ERANGE, 58},
        {"the last terminator, unverified", N, 44, NUL_TO_X, false, false, 0, LOG_DROP_RECORD,
         {0, 1}, ERANGE, 58},
        {"the first terminator, resealed: two records read as one", N, 15, NUL_TO_X, true, true,
         0, NO_DROP, {-1, 2}, ENOENT, 57},
        {"a byte past the length", N, 57, 0xFF, false, true, 0, NO_DROP, all, ENOENT, 57},
        {"other order: intact", O, UNCHANGED, 0, false, true, 0, NO_DROP, all, ENOENT, 57},
        {"other order: magic, its length then read unswapped", O, 3, 0x01, false, true, EINVAL,
         LOG_DROP_HEADER},
        {"other order: checksum", O, 4, 0x01, false, true, EINVAL, LOG_DROP_CHECKSUM},
        {"other order: an id", O, 33, 0x01, false, true, EINVAL, LOG_DROP_CHECKSUM},
        {"other order: length one short, resealed", O, 11, 0x01, true, true, 0, LOG_DROP_RECORD,
         {0, 1}, ERANGE, 45},
        {"other order: a byte past the length", O, 57, 0xFF, false, true, 0, NO_DROP, all, ENOENT,
         57},
    };
    // clang-format on
    for (const row& c : rows)
        check(c, native, other, next);
}

}  // namespace
}  // namespace history_test
