// Benchmark of the last event id lookup over one full log file: 16 buffers of about 262000
// bytes of package-like paths (a file credited 4 MiB), written as the log writer writes them.
// Prints the file's sizes, then the lookup's throughput in uncompressed bytes and its time per
// file, averaged over the runs. Usage: last_event_id_bench [RUNS] (default 50).
#include "bench/bench_clock.h"
#include "common/crc.h"
#include "history/dls.h"
#include "history/last_event_id.h"
#include "history/log_buffer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int BENCH_BUFFERS = 16;
constexpr uint64_t BENCH_FILE_ID = 0x4000000;

// Writes BENCH_BUFFERS full buffers of sorted paths with scattered ids, as one flush would.
// Returns the uncompressed size, or 0 on failure.
uint64_t write_log_file(const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return 0;
    std::mt19937_64 rng(42);
    std::vector<uint8_t> area(DISK_LOG_BUFFER_SIZE);
    log_buffer_builder b;
    log_buffer_start(&b, area.data());
    uint64_t total = 0;
    int written = 0;
    char name[PATH_BUFFER_SIZE];
    for (int pkg = 0; written < BENCH_BUFFERS; pkg++) {
        for (int file = 0; file < 40 && written < BENCH_BUFFERS; file++) {
            int n = snprintf(name, sizeof name, "usr/share/doc/pkg%d/file%d.txt", pkg, file);
            uint64_t id = 0x100000000ull + rng() % 0x10000000ull;
            uint32_t flags = 0x10400 | static_cast<uint32_t>(rng() & 0x3);
            if (log_buffer_append(&b, std::string_view(name, n), id, flags) == 0)
                continue;
            uint32_t length = log_buffer_finish(&b);
            if (log_buffer_write_member(fd, area.data(), length) != 0) {
                close(fd);
                return 0;
            }
            total += length;
            written++;
            log_buffer_start(&b, area.data());
            log_buffer_append(&b, std::string_view(name, n), id, flags);
        }
    }
    close(fd);
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 50;
    static dls state{};
    char dir_template[] = "/tmp/last_event_id_bench.XXXXXX";
    if (mkdtemp(dir_template) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    snprintf(state.log_dir, sizeof state.log_dir, "%s", dir_template);
    char path[PATH_BUFFER_SIZE + 32];
    snprintf(path, sizeof path, "%s/%.16llx", dir_template,
             static_cast<unsigned long long>(BENCH_FILE_ID));
    uint64_t uncompressed = write_log_file(path);
    struct stat st;
    if (uncompressed == 0 || stat(path, &st) != 0) {
        fprintf(stderr, "could not write %s\n", path);
        return 1;
    }

    uint64_t out = 0;
    int rc = get_last_event_id(&state, BENCH_FILE_ID, &out);  // warm the page cache
    double start = now_seconds();
    for (int i = 0; i < runs && rc == 0; i++)
        rc = get_last_event_id(&state, BENCH_FILE_ID, &out);
    double elapsed = now_seconds() - start;
    unlink(path);
    rmdir(dir_template);
    if (rc != 0) {
        fprintf(stderr, "get_last_event_id failed: %d\n", rc);
        return 1;
    }

    printf("log_file_uncompressed_bytes %llu\n", static_cast<unsigned long long>(uncompressed));
    printf("log_file_compressed_bytes %lld\n", static_cast<long long>(st.st_size));
    printf("get_last_event_id_throughput_mb_s %.1f\n",
           static_cast<double>(uncompressed) * runs / elapsed / 1e6);
    printf("get_last_event_id_file_ms %.2f\n", elapsed / runs * 1e3);
    return 0;
}
