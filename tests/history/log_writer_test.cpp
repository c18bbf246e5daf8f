// The log file writer on scratch volumes: files filled to their credit and named above the
// last one, one gzip member per buffer, the "/dev/null" fallback for an unusable or moved log
// directory, the 101-name limit, a full disk restarting the history, and the first name of a
// new history.
#include "history/log_writer.h"

#include "common/crc.h"
#include "history/dls.h"
#include "history/log_buffer.h"
#include "intake/event_ids.h"
#include "tests/history/scratch_checks.h"
#include "volumes/dev_info.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using scratch_checks::child_checks;
using scratch_checks::exists;
using scratch_checks::gzip_members;
using scratch_checks::read_file;
using scratch_checks::run_scenario;

// Log state as create_dls leaves it for an empty, trusted directory.
dls* new_state(const char* log_dir, uint64_t last_event_id) {
    auto* state = static_cast<dls*>(calloc(1, sizeof(dls)));
    pthread_rwlock_init(&state->lock, nullptr);
    snprintf(state->log_dir, sizeof state->log_dir, "%s", log_dir);
    struct stat st;
    if (stat(log_dir, &st) == 0) {
        state->log_dir_dev = st.st_dev;
    }
    state->active = 1;
    state->generation = 1;
    state->last_event_id = last_event_id;
    return state;
}

dev_info* new_volume(const char* mount_point) {
    auto* di = new dev_info();
    di->mount_point = strdup(mount_point);
    di->flags = DEV_MOUNTED | DEV_LOGGED;
    return di;
}

std::string log_file(const dls* state, uint64_t id) {
    char path[PATH_BUFFER_SIZE];
    dls_log_file_path(state, id, path);
    return path;
}

// A buffer area and its context. fill_records adds records of path_length bytes, the paths
// drawn from seed, until about `bytes` are used (at most a full buffer).
struct test_buffer {
    std::vector<uint8_t> area = std::vector<uint8_t>(DISK_LOG_BUFFER_SIZE);
    log_buffer_builder builder{};
    log_write_ctx ctx{};

    test_buffer(dev_info* di, dls* state) {
        ctx = {di, state, area.data(), DISK_LOG_BUFFER_SIZE, DISK_LOG_HEADER_SIZE};
    }
    // Records until bytes are used; random (barely compressible) or repetitive paths.
    void fill_records(uint32_t bytes, uint32_t seed, bool random_paths) {
        log_buffer_start(&builder, area.data());
        std::mt19937 gen(seed);
        uint64_t id = seed * 100000ull;
        while (builder.fill + 200 + 1 + DISK_LOG_RECORD_TAIL < bytes) {
            std::string path(200, 'a' + seed % 26);
            if (random_paths) {
                for (char& ch : path) {
                    ch = static_cast<char>(33 + gen() % 94);
                }
            }
            if (log_buffer_append(&builder, path, ++id, 0x10) != 0) {
                break;
            }
        }
        ctx.fill = builder.fill;
    }
    // The bytes a reader must find: the header as the writer fills it in.
    std::string expected() {
        log_buffer_finish(&builder);
        return std::string(reinterpret_cast<const char*>(area.data()), ctx.fill);
    }
    disk_log_header header() const {
        disk_log_header h;
        memcpy(&h, area.data(), sizeof h);
        return h;
    }
};

// What gzread gives of the whole file.
std::string gz_read_all(const std::string& path) {
    std::string out;
    gzFile gz = gzopen(path.c_str(), "rb");
    if (gz == nullptr) {
        return out;
    }
    char chunk[65536];
    int n;
    while ((n = gzread(gz, chunk, sizeof chunk)) > 0) {
        out.append(chunk, n);
    }
    gzclose(gz);
    return out;
}

// Header and checksum of a buffer read back, as a reader checks them.
bool valid_buffer(const std::string& bytes) {
    std::string copy = bytes;
    auto* p = reinterpret_cast<uint8_t*>(copy.data());
    log_buffer_header h;
    log_buffer_checksum sum;
    return copy.size() >= DISK_LOG_HEADER_SIZE && log_buffer_check_header(p, &h) == 0 &&
           h.order == LOG_ORDER_NATIVE && h.length == copy.size() &&
           log_buffer_check_checksum(p, h.length, false, &sum) == 0 && !sum.alternate;
}

std::vector<uint64_t> file_ids(const dls* state) {
    return std::vector<uint64_t>(state->file_ids, state->file_ids + state->num_files);
}

off_t size_of(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

TEST(write_log_buffer, a_file_takes_16_full_buffers_and_each_flush_starts_a_new_file) {
    run_scenario({}, [] {
        child_checks c;
        crc_table_init();
        mkdir("/tmp/logs", 0700);
        dev_info* di = new_volume("/");
        dls* state = new_state("/tmp/logs", 0x500);
        test_buffer b(di, state);

        // A flush of 17 full buffers: 16 fill the first file, the last (forced) starts the
        // next, named one above since the first name is taken.
        std::vector<std::string> sent;
        for (uint32_t i = 0; i < 17; ++i) {
            b.fill_records(DISK_LOG_BUFFER_SIZE, i + 1, false);
            sent.push_back(b.expected());
            b.ctx.fill = static_cast<uint32_t>(sent.back().size());
            write_log_buffer(di, state, &b.ctx, i == 16 ? 1 : 0);
            if (i == 14) {
                CHILD_EXPECT(c, state->appending == 1);
                CHILD_EXPECT(c, state->bytes_in_file == 15ull * DISK_LOG_BUFFER_SIZE);
                CHILD_EXPECT(c, file_ids(state) == std::vector<uint64_t>{0x501});
            }
            if (i == 15) {  // the credit is used up: the file is complete
                CHILD_EXPECT(c, state->appending == 0 && state->bytes_in_file == 0);
                CHILD_EXPECT(c, b.header().length == DISK_LOG_HEADER_SIZE);
                CHILD_EXPECT(c, b.header().checksum == 0);
            }
        }
        CHILD_EXPECT(c, (file_ids(state) == std::vector<uint64_t>{0x501, 0x502}));
        CHILD_EXPECT(c, state->last_event_id == 0x501);
        CHILD_EXPECT(c, state->appending == 0 && state->bytes_in_file == 0 && state->active == 1);
        std::vector<std::string> first = gzip_members(log_file(state, 0x501));
        std::vector<std::string> second = gzip_members(log_file(state, 0x502));
        CHILD_EXPECT(c, std::vector<std::string>(sent.begin(), sent.begin() + 16) == first);
        CHILD_EXPECT(c, second == std::vector<std::string>{sent[16]});
        for (const std::string& buffer : first) {
            CHILD_EXPECT(c, valid_buffer(buffer));
        }

        // A small forced buffer: one member of its own file, readable with gzread.
        b.fill_records(2000, 30, true);
        std::string small = b.expected();
        write_log_buffer(di, state, &b.ctx, 1);
        std::string third = log_file(state, 0x503);
        CHILD_EXPECT(c, gzip_members(third).size() == 1);
        std::string back = gz_read_all(third);
        CHILD_EXPECT(c, back == small);
        CHILD_EXPECT(c, valid_buffer(back));
        CHILD_EXPECT(c, (file_ids(state) == std::vector<uint64_t>{0x501, 0x502, 0x503}));

        // An empty buffer is written only by a flush.
        b.ctx.fill = DISK_LOG_HEADER_SIZE;
        write_log_buffer(di, state, &b.ctx, 0);
        CHILD_EXPECT(c, state->num_files == 3 && !exists(log_file(state, 0x504).c_str()));
        write_log_buffer(di, state, &b.ctx, 1);
        std::vector<std::string> empty = gzip_members(log_file(state, 0x504));
        CHILD_EXPECT(c, empty.size() == 1 && empty[0].size() == DISK_LOG_HEADER_SIZE &&
                            valid_buffer(empty[0]));
        CHILD_EXPECT(c, c.log_text().empty());
        return c.result();
    });
}

TEST(write_log_buffer, an_unusable_log_directory_sends_the_buffers_to_dev_null) {
    run_scenario({{"/ro", "tmpfs", true}}, [] {
        child_checks c;
        crc_table_init();
        dev_info* di = new_volume("/");

        // Missing and read-only directories: every new file fails, is logged and still listed.
        for (const char* dir : {"/tmp/missing", "/ro"}) {
            c.clear_log();
            dls* state = new_state(dir, 0x10);
            test_buffer b(di, state);
            for (int i = 0; i < 2; ++i) {
                b.fill_records(5000, i + 1, false);
                write_log_buffer(di, state, &b.ctx, 1);
            }
            std::string reason =
                strcmp(dir, "/ro") == 0 ? "Read-only file system" : "No such file or directory";
            std::string message = "disk logger: failed to open output file " +
                                  log_file(state, 0x11) + " (" + reason + "). mount point " + dir;
            CHILD_EXPECT(c, c.logged_in_order(message, message));
            CHILD_EXPECT(c, (file_ids(state) == std::vector<uint64_t>{0x11, 0x11}));
            CHILD_EXPECT(c, state->active == 1 && state->appending == 0);
            CHILD_EXPECT(c, !exists(log_file(state, 0x11).c_str()));
        }

        // Only 101 names are tried; then the buffer goes to /dev/null under the last name.
        c.clear_log();
        mkdir("/tmp/taken", 0700);
        dls* state = new_state("/tmp/taken", 0x100);
        for (uint64_t id = 0x101; id <= 0x101 + 100; ++id) {
            close(open(log_file(state, id).c_str(), O_CREAT | O_WRONLY, 0600));
        }
        test_buffer b(di, state);
        b.fill_records(5000, 1, false);
        write_log_buffer(di, state, &b.ctx, 1);
        CHILD_EXPECT(c, state->last_event_id == 0x100 + 100);
        CHILD_EXPECT(c, (file_ids(state) == std::vector<uint64_t>{0x165}));
        CHILD_EXPECT(c,
                     c.logged("disk logger: failed to open output file " + log_file(state, 0x165) +
                              " (File exists). mount point /tmp/taken"));
        CHILD_EXPECT(c, size_of(log_file(state, 0x165)) == 0);
        CHILD_EXPECT(c, !exists(log_file(state, 0x166).c_str()));
        return c.result();
    });
}

TEST(write_log_buffer, a_log_directory_replaced_by_a_symlink_is_not_written_through) {
    run_scenario({}, [] {
        child_checks c;
        crc_table_init();
        dev_info* di = new_volume("/");
        mkdir("/tmp/elsewhere", 0700);
        CHILD_EXPECT(c, symlink("/tmp/elsewhere", "/tmp/logs") == 0);
        dls* state = new_state("/tmp/logs", 0x20);
        test_buffer b(di, state);
        b.fill_records(5000, 1, false);
        write_log_buffer(di, state, &b.ctx, 1);

        CHILD_EXPECT(c, c.logged("disk logger: my log dir moved! (should be: /tmp/logs but is: "
                                 "/tmp/elsewhere/0000000000000021)."));
        CHILD_EXPECT(c, size_of("/tmp/elsewhere/0000000000000021") == 0);  // nothing went there
        CHILD_EXPECT(c, (file_ids(state) == std::vector<uint64_t>{0x21}));
        CHILD_EXPECT(c, state->active == 1);
        return c.result();
    });
}

TEST(write_log_buffer, a_full_disk_throws_the_history_away_and_the_next_buffer_starts_afresh) {
    run_scenario({{"/small", "tmpfs", false, "1m"}}, [] {
        child_checks c;
        crc_table_init();
        dev_info* di = new_volume("/small");
        mkdir("/small/logs", 0700);
        dls* state = new_state("/small/logs", 0x40);
        create_uuid_file(di, state);
        std::string old_uuid = read_file("/small/logs/vantlesd-uuid");
        test_buffer b(di, state);
        b.fill_records(3000, 1, false);
        write_log_buffer(di, state, &b.ctx, 1);
        CHILD_EXPECT(c, exists(log_file(state, 0x41).c_str()));

        // Leave about 48 KiB free, then write a barely compressible full buffer.
        int filler = open("/small/filler", O_CREAT | O_WRONLY, 0600);
        std::vector<char> chunk(4096, 'x');
        while (write(filler, chunk.data(), chunk.size()) > 0) {
        }
        CHILD_EXPECT(c, errno == ENOSPC);
        CHILD_EXPECT(c, ftruncate(filler, lseek(filler, 0, SEEK_CUR) - 48 * 1024) == 0);
        close(filler);
        c.clear_log();
        b.fill_records(DISK_LOG_BUFFER_SIZE, 2, true);
        write_log_buffer(di, state, &b.ctx, 0);

        CHILD_EXPECT(
            c, c.logged_in_order("disk logger: failed to write 262144 bytes to log file " +
                                     log_file(state, 0x42) + " (err: No space left on device).",
                                 "disk logger: removing all old log files in /small/logs"));
        CHILD_EXPECT(c, state->active == 0 && state->num_files == 0);
        CHILD_EXPECT(c, !exists(log_file(state, 0x41).c_str()));
        CHILD_EXPECT(c, !exists(log_file(state, 0x42).c_str()));
        std::string new_uuid = read_file("/small/logs/vantlesd-uuid");
        CHILD_EXPECT(c, new_uuid == di->uuid_text && new_uuid != old_uuid);
        CHILD_EXPECT(c, b.header().length == DISK_LOG_HEADER_SIZE && b.header().checksum == 0);

        // The next buffer starts a new history: another uuid and a new first file.
        b.fill_records(3000, 3, false);
        std::string sent = b.expected();
        write_log_buffer(di, state, &b.ctx, 1);
        CHILD_EXPECT(c, state->active == 1);
        CHILD_EXPECT(c, read_file("/small/logs/vantlesd-uuid") != new_uuid);
        // The name of the lost file is free again, but last_event_id kept its rise.
        CHILD_EXPECT(c, (file_ids(state) == std::vector<uint64_t>{0x42}));
        CHILD_EXPECT(c, gzip_members(log_file(state, 0x42)) == std::vector<std::string>{sent});
        return c.result();
    });
}

TEST(open_log_file, a_new_history_names_its_first_file_above_the_current_event_id) {
    run_scenario({}, [] {
        child_checks c;
        crc_table_init();
        event_ids[0] = 0x7000;
        event_ids[1] = 0;
        event_id_index = 0;
        mkdir("/tmp/logs", 0700);
        dev_info* di = new_volume("/");
        dls* state = new_state("/tmp/logs", 0);
        test_buffer b(di, state);
        b.fill_records(3000, 1, false);
        std::string sent = b.expected();
        write_log_buffer(di, state, &b.ctx, 1);
        CHILD_EXPECT(c, state->last_event_id == 0x7000);
        CHILD_EXPECT(c, (file_ids(state) == std::vector<uint64_t>{0x7001}));
        CHILD_EXPECT(c, gzip_members(log_file(state, 0x7001)) == std::vector<std::string>{sent});
        return c.result();
    });
}

}  // namespace
