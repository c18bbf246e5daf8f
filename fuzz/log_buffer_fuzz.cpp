// Fuzz target for the log buffer readers: the input is one control byte, then the uncompressed
// content of a log file. The content goes through the checks one by one as a single buffer
// (header, checksum, byte order, record walk), and then, whole, through the last event id
// scan, served in read sizes picked by the control byte so that buffers straddle reads in
// every way. With FUZZ_RESEAL set in the control byte, every buffer of the stream first gets
// a correct checksum, so that mutated records get past the checksum check into the scan.
// Logging is masked: syslog would only slow the run down.
#include "common/crc.h"
#include "history/last_event_id.h"
#include "history/log_buffer.h"

#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t FUZZ_CHUNK_MASK = 0x7;
constexpr uint8_t FUZZ_RESEAL = 0x8;

struct memory_source {
    const uint8_t* data;
    size_t size;
    size_t pos;
    uint32_t chunk;  // largest piece handed out per read
};

uint32_t memory_read(void* source, uint8_t* dst, uint32_t max) {
    auto* m = static_cast<memory_source*>(source);
    size_t n = std::min({size_t{max}, size_t{m->chunk}, m->size - m->pos});
    memcpy(dst, m->data + m->pos, n);
    m->pos += n;
    return static_cast<uint32_t>(n);
}

// One buffer at the start of the input, through every check as a reader applies them. The
// copy is exactly as long as the input so that any read past it is caught.
void check_one_buffer(const uint8_t* data, size_t size) {
    if (size < DISK_LOG_HEADER_SIZE || size > DISK_LOG_BUFFER_SIZE)
        return;
    auto* copy = static_cast<uint8_t*>(malloc(size));
    memcpy(copy, data, size);
    uint32_t held = static_cast<uint32_t>(size);

    log_buffer_header header;
    if (log_buffer_check_header(copy, &header) == 0 && header.length <= held) {
        log_buffer_checksum sum;
        bool swapped = header.order == LOG_ORDER_SWAPPED;
        log_buffer_check_checksum(copy, header.length, swapped, &sum);
        // Readers convert and walk only checked buffers; the walk must hold for any bytes.
        if (swapped)
            swap_log_buffer(copy, held);
        log_record_walk w = log_record_walk_start(copy, header.length);
        log_record r;
        int rc;
        while ((rc = log_record_next(&w, &r)) == 0) {
            if (r.path[r.path_length] != 0 || r.id_offset + DISK_LOG_RECORD_TAIL > header.length)
                abort();
        }
        if (rc == ERANGE && r.path_length > 0 && r.path[r.path_length - 1] == 0)
            abort();  // the reported path bytes never include the NUL
    }
    // Conversion with every limit up to the bytes held, including a header-only one.
    swap_log_buffer(copy, held);
    swap_log_buffer(copy, held / 2);
    free(copy);
}

// Stores the right checksum in every buffer of the stream whose header can be followed.
void reseal_stream(uint8_t* data, size_t size) {
    size_t pos = 0;
    log_buffer_header header;
    while (size - pos >= DISK_LOG_HEADER_SIZE &&
           log_buffer_check_header(data + pos, &header) == 0 && header.length <= size - pos) {
        uint8_t* buffer = data + pos;
        memset(buffer + DISK_LOG_CHECKSUM_OFFSET, 0, sizeof(uint32_t));
        uint32_t sum = log_checksum(buffer, header.length);
        if (header.order == LOG_ORDER_SWAPPED)
            sum = __builtin_bswap32(sum);
        memcpy(buffer + DISK_LOG_CHECKSUM_OFFSET, &sum, sizeof sum);
        pos += header.length;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        setlogmask(LOG_MASK(LOG_EMERG));
        return true;
    }();
    (void)ready;
    if (size == 0)
        return 0;

    static const uint32_t chunks[] = {65536, 1, 7, 12, 13, 4096, 65535, 100000};
    uint8_t control = data[0];
    uint32_t chunk = chunks[control & FUZZ_CHUNK_MASK];
    auto* content = static_cast<uint8_t*>(malloc(std::max<size_t>(size - 1, 1)));
    memcpy(content, data + 1, size - 1);
    size--;
    if (control & FUZZ_RESEAL)
        reseal_stream(content, size);
    check_one_buffer(content, size);

    // A fresh zeroed area per input, as the lookup allocates; static to keep the run fast.
    static uint8_t area[DISK_LOG_BUFFER_SIZE];
    memset(area, 0, sizeof area);
    memory_source source{content, size, 0, chunk};
    uint64_t out = 0;
    int rc = last_event_id_from_stream(memory_read, &source, "fuzz", 1, area, &out);
    if (rc != 0 && out != 0)
        abort();  // a failed scan answers no id
    free(content);
    return 0;
}
