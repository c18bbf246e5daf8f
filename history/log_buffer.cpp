// Log buffers: the one builder of headers and records (every writer of buffers), the gzip
// member writer of the log writer, and the header, checksum, byte-order and record checks
// every reader of log files applies in turn.
//
// Header words, ids and flags sit at any byte offset (records are packed), so every access
// goes through memcpy. Every bound is checked against length before the bytes are touched:
// a reader hands over exactly the bytes it holds, and a damaged file may say anything.
#include "history/log_buffer.h"

#include "common/crc.h"
#include "common/limits.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

uint32_t load32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

void store32(uint8_t* p, uint32_t v) {
    memcpy(p, &v, sizeof v);
}

void swap32_at(uint8_t* p) {
    store32(p, __builtin_bswap32(load32(p)));
}

void swap64_at(uint8_t* p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    v = __builtin_bswap64(v);
    memcpy(p, &v, sizeof v);
}

// The one place a header is laid out, native byte order.
void store_header(uint8_t* area, uint32_t checksum, uint32_t length) {
    store32(area + DISK_LOG_MAGIC_OFFSET, DISK_LOG_MAGIC);
    store32(area + DISK_LOG_CHECKSUM_OFFSET, checksum);
    store32(area + DISK_LOG_LENGTH_OFFSET, length);
}

// Frees a deflate stream's state and its output on every way out.
struct gzip_member {
    z_stream stream{};
    bool started = false;
    uint8_t* out = nullptr;
    ~gzip_member() {
        if (started)
            deflateEnd(&stream);
        free(out);
    }
};

// Compresses length bytes into one complete gzip member in m->out (m->stream.total_out bytes).
int compress_member(const void* buffer, uint32_t length, gzip_member* m) {
    constexpr int GZIP_WINDOW_BITS = 15 + 16;  // a gzip header and trailer around deflate
    constexpr int MEMORY_LEVEL = 8;
    if (deflateInit2(&m->stream, LOG_BUFFER_GZIP_LEVEL, Z_DEFLATED, GZIP_WINDOW_BITS,
                     MEMORY_LEVEL, Z_DEFAULT_STRATEGY) != Z_OK)
        return ENOMEM;
    m->started = true;
    uLong bound = deflateBound(&m->stream, length);
    m->out = static_cast<uint8_t*>(malloc(bound));
    if (!m->out)
        return ENOMEM;
    m->stream.next_in = static_cast<Bytef*>(const_cast<void*>(buffer));
    m->stream.avail_in = length;
    m->stream.next_out = m->out;
    m->stream.avail_out = static_cast<uInt>(bound);
    return deflate(&m->stream, Z_FINISH) == Z_STREAM_END ? 0 : EIO;
}

}  // namespace

void log_buffer_start(log_buffer_builder* b, uint8_t* area, uint32_t capacity) {
    b->area = area;
    b->capacity = capacity;
    b->fill = DISK_LOG_HEADER_SIZE;
    store_header(area, 0, DISK_LOG_HEADER_SIZE);
}

int log_buffer_append(log_buffer_builder* b, std::string_view path, uint64_t id, uint32_t flags) {
    if (path.size() >= PATH_BUFFER_SIZE || memchr(path.data(), 0, path.size()) != nullptr)
        return EINVAL;
    return log_buffer_append_name(b, path.data(), static_cast<uint32_t>(path.size()), id, flags);
}

int log_buffer_append_name(log_buffer_builder* b, const char* name, uint32_t length, uint64_t id,
                           uint32_t flags) {
    // fill stays below the capacity: a buffer never takes the area's last byte.
    uint64_t with_nul = uint64_t{length} + 1;
    if (b->fill + with_nul + DISK_LOG_RECORD_TAIL >= b->capacity)
        return ENOSPC;
    uint8_t* p = b->area + b->fill;
    memcpy(p, name, length);
    p[length] = 0;
    memcpy(p + with_nul, &id, sizeof id);
    memcpy(p + with_nul + sizeof id, &flags, sizeof flags);
    b->fill += static_cast<uint32_t>(with_nul) + DISK_LOG_RECORD_TAIL;
    return 0;
}

uint32_t log_buffer_finish_unsealed(log_buffer_builder* b) {
    store_header(b->area, 0, b->fill);
    return b->fill;
}

uint32_t log_buffer_finish(log_buffer_builder* b) {
    log_buffer_finish_unsealed(b);
    store32(b->area + DISK_LOG_CHECKSUM_OFFSET, log_checksum(b->area, b->fill));
    return b->fill;
}

int log_buffer_write_member(int fd, const void* buffer, uint32_t length) {
    gzip_member m;
    if (int err = compress_member(buffer, length, &m))
        return err;
    struct stat st;
    if (fstat(fd, &st) != 0)
        return errno;
    const uint8_t* p = m.out;
    size_t left = m.stream.total_out;
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int err = n < 0 ? errno : EIO;
            // A torn member would end every read of the file there: the file goes back to
            // the members it held. Should that fail too, the write's error still tells why.
            [[maybe_unused]] int cut = ftruncate(fd, st.st_size);
            return err;
        }
        p += n;
        left -= (size_t)n;
    }
    return 0;
}

int log_buffer_check_header(const uint8_t* buffer, log_buffer_header* out) {
    out->magic = load32(buffer + DISK_LOG_MAGIC_OFFSET);
    uint32_t stored_length = load32(buffer + DISK_LOG_LENGTH_OFFSET);
    if (out->magic == DISK_LOG_MAGIC) {
        out->order = LOG_ORDER_NATIVE;
        out->length = stored_length;
    } else if (out->magic == DISK_LOG_MAGIC_SWAPPED) {
        out->order = LOG_ORDER_SWAPPED;
        out->length = __builtin_bswap32(stored_length);
    } else {
        out->order = LOG_ORDER_FOREIGN;
        out->length = stored_length;
        if (out->length > DISK_LOG_BUFFER_SIZE)
            return EINVAL;
    }
    if (out->length < DISK_LOG_HEADER_SIZE)
        return EINVAL;
    return out->length > DISK_LOG_BUFFER_SIZE ? EFBIG : 0;
}

int log_buffer_check_checksum(uint8_t* buffer, uint32_t length, bool swapped,
                              log_buffer_checksum* out) {
    out->stored = load32(buffer + DISK_LOG_CHECKSUM_OFFSET);
    out->calculated = 0;
    out->alternate = false;
    // Below 12 bytes the checksum field is not all there (and a length of 0 would select the
    // string form of the checksum).
    if (length < DISK_LOG_HEADER_SIZE)
        return EINVAL;
    store32(buffer + DISK_LOG_CHECKSUM_OFFSET, 0);
    uint32_t regular = log_checksum(buffer, length);
    out->calculated = swapped ? __builtin_bswap32(regular) : regular;
    if (out->calculated == out->stored)
        return 0;
    out->calculated = log_checksum_alt(buffer, length);
    if (out->calculated == out->stored) {
        out->alternate = true;
        return 0;
    }
    return EINVAL;
}

void swap_log_buffer(void* buffer, uint32_t limit) {
    auto* p = static_cast<uint8_t*>(buffer);
    if (limit < DISK_LOG_HEADER_SIZE)
        return;
    swap32_at(p + DISK_LOG_MAGIC_OFFSET);
    swap32_at(p + DISK_LOG_CHECKSUM_OFFSET);
    swap32_at(p + DISK_LOG_LENGTH_OFFSET);
    uint32_t length = load32(p + DISK_LOG_LENGTH_OFFSET);
    if (length > limit || length > DISK_LOG_BUFFER_SIZE || length <= DISK_LOG_HEADER_SIZE)
        return;
    // The walk stops at the first record that does not lie wholly below length, so a cut-off
    // record is left as it is instead of spilling into whatever follows the buffer.
    log_record_walk w = log_record_walk_start(p, length);
    log_record r;
    while (log_record_next(&w, &r) == 0) {
        swap64_at(p + r.id_offset);
        swap32_at(p + r.id_offset + sizeof r.id);
    }
}

int log_record_next(log_record_walk* w, log_record* r) {
    if (w->ended || w->pos >= w->length) {
        w->ended = true;
        return ENOENT;
    }
    const uint8_t* start = w->buffer + w->pos;
    const auto* nul = static_cast<const uint8_t*>(memchr(start, 0, w->length - w->pos));
    r->path = reinterpret_cast<const char*>(start);
    if (nul == nullptr) {
        r->path_length = w->length - w->pos;
        r->id_offset = w->length + 1;
        w->pos = r->id_offset;
        w->ended = true;
        return ERANGE;
    }
    r->path_length = static_cast<uint32_t>(nul - start);
    r->id_offset = w->pos + r->path_length + 1;  // at most length: the NUL lies below it
    if (w->length - r->id_offset < DISK_LOG_RECORD_TAIL) {
        w->pos = r->id_offset;
        w->ended = true;
        return ERANGE;
    }
    memcpy(&r->id, w->buffer + r->id_offset, sizeof r->id);
    memcpy(&r->flags, w->buffer + r->id_offset + sizeof r->id, sizeof r->flags);
    w->pos = r->id_offset + DISK_LOG_RECORD_TAIL;
    return 0;
}
