// The last event id lookup: reads one log file from start to end and answers one above the
// highest event id in it, so that the event counter can resume above every stored id.
//
// The file's uncompressed bytes are read 65536 at a time into one DISK_LOG_BUFFER_SIZE work
// area. Each buffer at the start of the area is checked (log_buffer.h), its records scanned,
// and the bytes that follow it carried to the start of the area. A buffer accepted only by the
// alternate checksum drops those bytes instead: reading goes on from wherever the stream is.
// Records are sorted by path, not id, so every record of every buffer counts. A file that ends
// inside a buffer keeps the ids of its complete buffers; a bad header or checksum anywhere
// makes the whole file unusable.
#include "history/last_event_id.h"

#include "common/limits.h"
#include "common/log.h"
#include "history/dls.h"
#include "history/log_reader.h"
#include "platform/unique_fd.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr uint32_t LAST_ID_READ_SIZE = 65536;
constexpr int LAST_ID_NO_WORD = -123;  // stands for the area words when nothing was read

struct stream_scan {
    log_stream_read read;
    void* source;
    uint8_t* area;
    uint32_t fill;          // bytes held at the start of the area
    uint64_t stream_bytes;  // uncompressed bytes read so far
};

// One read at the fill mark; returns the bytes it brought.
uint32_t read_more(stream_scan* s) {
    uint32_t room = DISK_LOG_BUFFER_SIZE - s->fill;
    uint32_t n = s->read(s->source, s->area + s->fill, std::min(LAST_ID_READ_SIZE, room));
    n = std::min(n, room);
    s->fill += n;
    s->stream_bytes += n;
    return n;
}

// What the drop messages name: the file, where in its stream the buffer began, and how many
// buffers came before it.
struct last_id_drops {
    const char* path;
    long long cur_pos;
    int counter;
};

void last_id_dropped(void* ctx, const log_drop& drop) {
    const auto* d = static_cast<const last_id_drops*>(ctx);
    switch (drop.kind) {
    case LOG_DROP_HEADER:
        log_critical(
            "get_last_event_id: magic is wrong (0x%.8x != 0x%.8x; cur_pos %lld) in file %s",
            drop.header->magic, DISK_LOG_MAGIC, d->cur_pos, d->path);
        break;
    case LOG_DROP_CHECKSUM:
        log_critical(
            "get_last_event_id: checksum mis-match: file 0x%.8x, calculated 0x%.8x in file %s",
            drop.checksum->stored, drop.checksum->calculated, d->path);
        break;
    case LOG_DROP_RECORD: {
        log_critical("get_last_event_id: ptr out-of-bounds (%d > %d) in file %s (counter %d)",
                     static_cast<int>(drop.record->id_offset),
                     static_cast<int>(drop.header->length), d->path, d->counter);
        // The path may run to the end of the buffer without a NUL.
        std::string bytes(drop.record->path, drop.record->path_length);
        log_critical("get_last_event_id: path was: <%s>", bytes.c_str());
        break;
    }
    }
}

int area_word(const uint8_t* area, uint32_t offset) {
    int32_t word;
    memcpy(&word, area + offset, sizeof word);
    return word;
}

uint32_t gz_source_read(void* source, uint8_t* dst, uint32_t max) {
    int n = gzread(static_cast<gzFile>(source), dst, max);
    return n > 0 ? static_cast<uint32_t>(n) : 0;
}

struct gz_closer {
    void operator()(gzFile_s* gz) const { gzclose(gz); }
};
struct area_freer {
    void operator()(uint8_t* area) const { free(area); }
};

}  // namespace

int last_event_id_from_stream(log_stream_read read, void* source, const char* path,
                              uint64_t file_id, uint8_t* area, uint64_t* out) {
    *out = 0;
    stream_scan s{read, source, area, 0, 0};
    if (read_more(&s) == 0) {
        log_critical(
            "did not find any event id's in %.16llx (ptr %p buff %p / iptr[2] %d / iptr[3] %d\n",
            static_cast<unsigned long long>(file_id), static_cast<void*>(nullptr),
            static_cast<void*>(area), LAST_ID_NO_WORD, LAST_ID_NO_WORD);
        return EINVAL;
    }

    last_id_drops drops{path, 0, 0};
    const log_reader reader{last_id_dropped, &drops};
    uint64_t highest = 0;
    uintptr_t stopped_at = 0;  // where the last record scan ended, for the final message
    while (s.fill > 0) {
        drops.cur_pos = static_cast<long long>(s.stream_bytes - s.fill);
        log_buffer_header header;
        log_buffer_checksum sum;
        int err;
        while ((err = log_reader_take_buffer(reader, area, s.fill, true, &header, &sum)) == EAGAIN) {
            if (read_more(&s) == 0)
                break;
        }
        // A file cut off inside a buffer keeps what came before; so does a length the area
        // can never hold. A dropped header or checksum makes the whole file unusable.
        if (err == EINVAL)
            return EINVAL;
        if (err != 0)
            break;

        log_record_walk walk = log_record_walk_start(area, header.length);
        log_record record;
        while (log_reader_next_record(reader, header, &walk, &record) == 0) {
            if (record.id > highest)
                highest = record.id;
        }
        stopped_at = reinterpret_cast<uintptr_t>(area) + walk.pos;

        if (sum.alternate) {
            s.fill = 0;
        } else {
            memmove(area, area + header.length, s.fill - header.length);
            s.fill -= header.length;
        }
        drops.counter++;
        read_more(&s);  // the loop goes on while bytes are held
    }

    if (highest != 0) {
        *out = highest + 1;
        return 0;
    }
    log_critical(
        "did not find any event id's in %.16llx (ptr %p buff %p / iptr[2] %d / iptr[3] %d\n",
        static_cast<unsigned long long>(file_id), reinterpret_cast<void*>(stopped_at),
        static_cast<void*>(area), area_word(area, 8), area_word(area, 12));
    return EINVAL;
}

int get_last_event_id(const dls* state, uint64_t file_id, uint64_t* out) {
    *out = 0;
    char path[PATH_BUFFER_SIZE];
    int n = snprintf(path, sizeof path, DISK_LOG_PATH_FORMAT, state->log_dir,
                     static_cast<unsigned long long>(file_id));
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
        log_critical("get_last_event_id: problems with history file: %s (%d ; is_reg %d)", path,
                     ENAMETOOLONG, 0);
        return EINVAL;
    }

    unique_fd fd;
    off_t size = 0;
    int err = log_file_open(path, &fd, &size);
    if (err != 0) {
        log_critical("get_last_event_id: problems with history file: %s (%d ; is_reg %d)", path,
                     err == EINVAL ? 0 : err, 0);
        return EINVAL;
    }
    if (size == 0)
        return EINVAL;

    errno = 0;
    std::unique_ptr<gzFile_s, gz_closer> gz(gzdopen(fd.get(), "rb"));
    if (gz == nullptr) {
        err = errno ? errno : ENOMEM;
        log_critical("get_last_event_id: failed to gzopen %s", path);
        return err;
    }
    fd.release();  // closed by gzclose from here on

    std::unique_ptr<uint8_t, area_freer> area(
        static_cast<uint8_t*>(calloc(1, DISK_LOG_BUFFER_SIZE)));
    if (area == nullptr)
        return ENOMEM;
    return last_event_id_from_stream(gz_source_read, gz.get(), path, file_id, area.get(), out);
}
