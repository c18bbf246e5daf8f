// Benchmark of kernel record decoding into the event table: a pre-generated stream of
// 1,000,000 records (content changes with file information, a few renames and dropped
// records, over 50,000 paths), measured twice: in 64 KiB stretches from memory, as the
// producer would hand them over, and read from a file through the record-stream source of
// the kernel event device (reads of up to 64 KiB, then decoding, on one thread). The
// sink does what routing does for one client: add_event, a ring reference, the router's
// release; the client releases each record 4096 events later, and the table is swept after
// every stretch. Prints one figure per line. Usage: decode_bench [RUNS] (default 3; the best
// run is reported).
#include "bench/bench_clock.h"
#include "clients/client_tables.h"
#include "clients/event_table.h"
#include "common/crc.h"
#include "intake/decode.h"
#include "intake/event_ids.h"
#include "intake/intake_state.h"
#include "platform/kernel_device.h"
#include "platform/kernel_records.h"

#include <fcntl.h>
#include <unistd.h>

#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr int BENCH_RECORDS = 1000000;
constexpr int BENCH_PATHS = 50000;
constexpr size_t BENCH_STRETCH = 65536;
constexpr size_t BENCH_RING = 4096;

struct stream_writer {
    std::vector<std::vector<uint8_t>> stretches{1};
    std::vector<uint8_t> record;

    void put(const void* p, size_t n) {
        auto* b = static_cast<const uint8_t*>(p);
        record.insert(record.end(), b, b + n);
    }
    void header(uint32_t type, int32_t pid) {
        krec_header h{type, pid};
        put(&h, sizeof h);
    }
    void path(const std::string& p) {
        krec_arg_header a{KREC_ARG_PATH, uint16_t(p.size() + 1)};
        put(&a, sizeof a);
        put(p.c_str(), p.size() + 1);
    }
    void file_info(uint32_t dev, uint32_t mode) {
        krec_arg_header a{KREC_ARG_FILE_INFO, KREC_FILE_INFO_SIZE};
        krec_file_info info{1234, dev, mode, 0, 0};
        put(&a, sizeof a);
        put(&info, sizeof info);
    }
    void end_record() {
        uint16_t done = KREC_ARG_DONE;
        put(&done, sizeof done);
        if (stretches.back().size() + record.size() > BENCH_STRETCH)
            stretches.emplace_back();
        stretches.back().insert(stretches.back().end(), record.begin(), record.end());
        record.clear();
    }
};

std::vector<event_record*> ring(BENCH_RING);
size_t ring_next;
uint64_t events;

void routing_sink(event_table* table, int32_t pid, uint32_t dev, char* path, uint32_t, uint32_t,
                  uint32_t flags, uint64_t id) {
    events++;
    event_record* record = add_event(table, pid, dev, path, flags, id);
    if (!record)
        return;
    if (!client_map_set(record, 3)) {
        // Queued for the client: it holds a reference until it takes the record off.
        take_event_ref(record);
        event_record*& slot = ring[ring_next++ % BENCH_RING];
        if (slot) {
            client_map_clear(slot, 3);
            remove_event_ref(slot);
        }
        slot = record;
    }
    remove_event_ref(record);
}

void release_ring() {
    for (auto& slot : ring) {
        if (slot)
            remove_event_ref(slot);
        slot = nullptr;
    }
}

// Writes the stream to a file and decodes it as read through the record-stream source.
// Returns the seconds from the first read to the last decode, or a negative value.
double stream_run(const std::vector<std::vector<uint8_t>>& stretches, size_t bytes) {
    char path[] = "/tmp/vantles-decode-bench.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return -1;
    for (const auto& s : stretches) {
        if (write(fd, s.data(), s.size()) != ssize_t(s.size())) {
            close(fd);
            unlink(path);
            return -1;
        }
    }
    close(fd);

    int dev = -1, clone = -1;
    int8_t actions[KREC_NUM_TYPES];
    memset(actions, KREC_ACTION_REPORT, sizeof actions);
    krec_clone_args args = {actions, KREC_NUM_TYPES, KREC_DEFAULT_QUEUE_DEPTH, &clone};
    if (kernel_device_open_source(path, &dev) != 0 ||
        kernel_device_ioctl(dev, KREC_IOC_CLONE, &args) != 0) {
        unlink(path);
        return -1;
    }
    kernel_device_close(dev);
    if (event_table_init(&clients.intake_event_table, EVENT_TABLE_INITIAL_BUCKETS) != 0)
        return -1;
    publish_event_id(1000);
    events = 0;
    std::vector<uint8_t> buffer(BENCH_STRETCH);
    size_t taken = 0;
    double start = now_seconds();
    // The source waits at the end of the file like a quiet device: stop after the last byte.
    while (taken < bytes) {
        ssize_t n = kernel_device_read(clone, buffer.data(), buffer.size());
        if (n <= 0)
            break;
        taken += size_t(n);
        decode_kernel_records(buffer.data(), uint32_t(n), &clients.intake_event_table,
                              routing_sink);
        sweep_event_table(&clients.intake_event_table);
    }
    double elapsed = now_seconds() - start;
    kernel_device_close(clone);
    unlink(path);
    release_ring();
    event_table_free(&clients.intake_event_table);
    return taken == bytes ? elapsed : -1;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? atoi(argv[1]) : 3;
    setlogmask(LOG_MASK(LOG_EMERG));

    stream_writer w;
    uint64_t state = 88172645463325252ull;
    auto next = [&] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    char name[256];
    for (int i = 0; i < BENCH_RECORDS; i++) {
        uint64_t r = next();
        int p = int(r % BENCH_PATHS);
        snprintf(name, sizeof name, "/home/user/src/project%d/module%d/file%d.cc", p % 7, p % 113,
                 p);
        if (r % 1000 == 0) {
            w.header(KREC_TYPE_DROPPED, -1);
        } else if (r % 50 == 1) {
            w.header(KREC_TYPE_RENAME, 4000);
            w.path(name);
            w.file_info(2049, 0x81a4);
            w.path(std::string(name) + ".new");
            w.file_info(2049, 0x81a4);
        } else {
            w.header(KREC_TYPE_CONTENT_MODIFIED, 4000 + int(r % 3));
            w.path(name);
            w.file_info(2049, 0x81a4);
        }
        w.end_record();
    }
    size_t bytes = 0;
    for (const auto& s : w.stretches)
        bytes += s.size();

    double best = 1e9;
    uint64_t best_events = 0;
    for (int run = 0; run < runs; run++) {
        std::vector<std::vector<uint8_t>> stretches = w.stretches;  // the decoder may write
        if (event_table_init(&clients.intake_event_table, EVENT_TABLE_INITIAL_BUCKETS) != 0)
            return 1;
        publish_event_id(1000);
        events = 0;
        double start = now_seconds();
        for (auto& s : stretches) {
            decode_kernel_records(s.data(), uint32_t(s.size()), &clients.intake_event_table,
                                  routing_sink);
            sweep_event_table(&clients.intake_event_table);
        }
        double elapsed = now_seconds() - start;
        if (elapsed < best) {
            best = elapsed;
            best_events = events;
        }
        release_ring();
        event_table_free(&clients.intake_event_table);
    }

    double stream_best = 1e9;
    uint64_t stream_events = 0;
    for (int run = 0; run < runs; run++) {
        double elapsed = stream_run(w.stretches, bytes);
        if (elapsed < 0) {
            fprintf(stderr, "decode_bench: the record-stream run failed\n");
            return 1;
        }
        if (elapsed < stream_best) {
            stream_best = elapsed;
            stream_events = events;
        }
    }

    printf("decode_records %d\n", BENCH_RECORDS);
    printf("decode_events %llu\n", (unsigned long long)best_events);
    printf("decode_stream_bytes %zu\n", bytes);
    printf("decode_seconds %.4f\n", best);
    printf("decode_records_per_s %.0f\n", BENCH_RECORDS / best);
    printf("decode_events_per_s %.0f\n", double(best_events) / best);
    printf("decode_ns_per_event %.1f\n", best * 1e9 / double(best_events));
    printf("decode_mib_per_s %.1f\n", double(bytes) / best / (1024.0 * 1024.0));
    printf("stream_decode_events %llu\n", (unsigned long long)stream_events);
    printf("stream_decode_seconds %.4f\n", stream_best);
    printf("stream_decode_records_per_s %.0f\n", BENCH_RECORDS / stream_best);
    printf("stream_decode_events_per_s %.0f\n", double(stream_events) / stream_best);
    return 0;
}
