// The log file writer on scratch volumes: a file ended at its credit or by a flush, one gzip
// member per buffer, "/dev/null" for an unusable or moved log directory, the 101-name limit,
// and a full disk restarting the history.
#include "history/log_writer.h"

#include "common/crc.h"
#include "history/dls.h"
#include "history/log_buffer.h"
#include "intake/event_ids.h"
#include "tests/history/scratch_checks.h"
#include "volumes/dev_info.h"

#include <sys/stat.h>

#include <cerrno>
#include <random>

namespace {

using scratch_checks::child_checks;
using scratch_checks::exists;
using scratch_checks::gzip_members;
using scratch_checks::read_file;
using scratch_checks::run_scenario;

// A history as create_dls leaves it for an empty, trusted log directory, and a buffer area.
struct history {
    dev_info* di = new dev_info();
    dls* state = static_cast<dls*>(calloc(1, sizeof(dls)));
    std::vector<uint8_t> area = std::vector<uint8_t>(DISK_LOG_BUFFER_SIZE);
    log_write_ctx ctx{};

    history(const char* mount_point, const char* log_dir, uint64_t last_event_id) {
        crc_table_init();
        di->mount_point = strdup(mount_point);
        di->flags = DEV_MOUNTED | DEV_LOGGED;
        pthread_rwlock_init(&state->lock, nullptr);
        snprintf(state->log_dir, sizeof state->log_dir, "%s", log_dir);
        struct stat st;
        if (stat(log_dir, &st) == 0)
            state->log_dir_dev = st.st_dev;
        state->active = 1;
        state->generation = 1;
        state->last_event_id = last_event_id;
        ctx = {di, state, area.data(), DISK_LOG_BUFFER_SIZE, DISK_LOG_HEADER_SIZE};
    }
    // Writes a buffer of about `bytes` of 200-byte paths (random ones barely compress) and
    // returns the buffer a reader must find.
    std::string write(uint32_t bytes, uint32_t seed, int force, bool random_paths = false) {
        log_buffer_builder b;
        log_buffer_start(&b, area.data());
        std::mt19937 gen(seed);
        while (b.fill + 213 < bytes) {
            std::string path(200, char('a' + seed % 26));
            for (char& ch : path)
                ch = random_paths ? static_cast<char>(33 + gen() % 94) : ch;
            if (log_buffer_append(&b, path, seed * 100000ull + b.fill, 0x10) != 0)
                break;
        }
        ctx.fill = b.fill;
        std::string sent(reinterpret_cast<const char*>(area.data()), log_buffer_finish(&b));
        write_log_buffer(di, state, &ctx, force);
        return sent;
    }
    std::string file(uint64_t id) const {
        char path[PATH_BUFFER_SIZE];
        dls_log_file_path(state, id, path);
        return path;
    }
    std::vector<uint64_t> file_ids() const {
        return std::vector<uint64_t>(state->file_ids, state->file_ids + state->num_files);
    }
};

off_t size_of(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Every buffer credits a full area: 16 make a complete file whatever they hold. A new history
// names its first file above the current event id, and only a flush writes an empty buffer.
TEST(write_log_buffer, a_file_takes_16_buffers_or_ends_at_a_flush) {
    run_scenario({}, [] {
        child_checks c;
        event_ids[0] = 0x7000;
        event_ids[1] = 0;
        event_id_index = 0;
        mkdir("/tmp/logs", 0700);
        history h("/", "/tmp/logs", 0);
        std::vector<std::string> sent;
        for (uint32_t i = 0; i < 17; ++i)
            sent.push_back(h.write(3000, i + 1, i == 16 ? 1 : 0));
        h.ctx.fill = DISK_LOG_HEADER_SIZE;
        write_log_buffer(h.di, h.state, &h.ctx, 0);
        CHILD_EXPECT(c, !exists(h.file(0x7003).c_str()));
        write_log_buffer(h.di, h.state, &h.ctx, 1);

        CHILD_EXPECT(c, (h.file_ids() == std::vector<uint64_t>{0x7001, 0x7002, 0x7003}));
        CHILD_EXPECT(c, gzip_members(h.file(0x7001)) ==
                            std::vector<std::string>(sent.begin(), sent.begin() + 16));
        CHILD_EXPECT(c, gzip_members(h.file(0x7002)) == std::vector<std::string>{sent[16]});
        std::vector<std::string> empty = gzip_members(h.file(0x7003));
        CHILD_EXPECT(c, empty.size() == 1 && empty[0].size() == DISK_LOG_HEADER_SIZE);
        CHILD_EXPECT(c, c.log_text().empty());
        return c.result();
    });
}

TEST(write_log_buffer, an_unusable_log_directory_sends_the_buffers_to_dev_null) {
    run_scenario({{"/ro", "tmpfs", true}}, [] {
        child_checks c;
        // Every new file fails, is logged and is still listed, so its id stays taken.
        for (const char* dir : {"/tmp/missing", "/ro"}) {
            c.clear_log();
            history h("/", dir, 0x10);
            h.write(5000, 1, 1);
            h.write(5000, 2, 1);
            std::string message =
                "disk logger: failed to open output file " + h.file(0x11) + " (" +
                (dir[1] == 'r' ? "Read-only file system" : "No such file or directory") +
                "). mount point " + dir;
            CHILD_EXPECT(c, c.logged_in_order(message, message));
            CHILD_EXPECT(c, (h.file_ids() == std::vector<uint64_t>{0x11, 0x11}));
            CHILD_EXPECT(c, h.state->active == 1 && !exists(h.file(0x11).c_str()));
        }

        // Only 101 names are tried; then the buffer goes to /dev/null under the last name.
        c.clear_log();
        mkdir("/tmp/taken", 0700);
        history h("/", "/tmp/taken", 0x100);
        for (uint64_t id = 0x101; id <= 0x101 + 100; ++id)
            close(open(h.file(id).c_str(), O_CREAT | O_WRONLY, 0600));
        h.write(5000, 1, 1);
        CHILD_EXPECT(c, (h.file_ids() == std::vector<uint64_t>{0x165}));
        CHILD_EXPECT(c, c.logged("failed to open output file " + h.file(0x165) + " (File exists)"));
        CHILD_EXPECT(c, size_of(h.file(0x165)) == 0 && !exists(h.file(0x166).c_str()));
        return c.result();
    });
}

TEST(write_log_buffer, a_log_directory_replaced_by_a_symlink_is_not_written_through) {
    run_scenario({}, [] {
        child_checks c;
        mkdir("/tmp/elsewhere", 0700);
        CHILD_EXPECT(c, symlink("/tmp/elsewhere", "/tmp/logs") == 0);
        history h("/", "/tmp/logs", 0x20);
        h.write(5000, 1, 1);
        CHILD_EXPECT(c, c.logged("disk logger: my log dir moved! (should be: /tmp/logs but is: "
                                 "/tmp/elsewhere/0000000000000021)."));
        CHILD_EXPECT(c, size_of("/tmp/elsewhere/0000000000000021") == 0);
        CHILD_EXPECT(c, (h.file_ids() == std::vector<uint64_t>{0x21}));
        return c.result();
    });
}

// A write that fails for room throws the history away under a new uuid; the next buffer
// starts a new history under yet another uuid, reusing the lost file's name.
TEST(write_log_buffer, a_full_disk_throws_the_history_away_and_the_next_buffer_starts_afresh) {
    run_scenario({{"/small", "tmpfs", false, "1m"}}, [] {
        child_checks c;
        mkdir("/small/logs", 0700);
        history h("/small", "/small/logs", 0x40);
        create_uuid_file(h.di, h.state);
        std::string old_uuid = read_file("/small/logs/vantlesd-uuid");
        h.write(3000, 1, 1);
        CHILD_EXPECT(c, exists(h.file(0x41).c_str()));

        // Leave about 48 KiB free, then write a barely compressible full buffer.
        int filler = open("/small/filler", O_CREAT | O_WRONLY, 0600);
        std::vector<char> chunk(4096, 'x');
        while (write(filler, chunk.data(), chunk.size()) > 0) {
        }
        CHILD_EXPECT(c, ftruncate(filler, lseek(filler, 0, SEEK_CUR) - 48 * 1024) == 0);
        close(filler);
        c.clear_log();
        h.write(DISK_LOG_BUFFER_SIZE, 2, 0, true);
        CHILD_EXPECT(c,
                     c.logged_in_order("failed to write 262144 bytes to log file " + h.file(0x42) +
                                           " (err: No space left on device).",
                                       "disk logger: removing all old log files in /small/logs"));
        CHILD_EXPECT(c, h.state->active == 0 && h.state->num_files == 0);
        CHILD_EXPECT(c, !exists(h.file(0x41).c_str()) && !exists(h.file(0x42).c_str()));
        std::string new_uuid = read_file("/small/logs/vantlesd-uuid");
        CHILD_EXPECT(c, new_uuid == h.di->uuid_text && new_uuid != old_uuid);

        std::string sent = h.write(3000, 3, 1);
        CHILD_EXPECT(c, h.state->active == 1);
        CHILD_EXPECT(c, read_file("/small/logs/vantlesd-uuid") != new_uuid);
        CHILD_EXPECT(c, (h.file_ids() == std::vector<uint64_t>{0x42}));
        CHILD_EXPECT(c, gzip_members(h.file(0x42)) == std::vector<std::string>{sent});
        return c.result();
    });
}

}  // namespace
