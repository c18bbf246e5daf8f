// Kernel record decoding: raw records from the event device into path events with ids.
//
// A record is a header (type word, pid), arguments (type, length, data) and a 2-byte
// terminator. Every argument consumes one event id, whatever its type; an event is emitted
// when the record knows both a path and a device, so a rename (path, info, path, info) gives
// the old path at the first info, the new path as soon as it is read, and the new path again
// at the second info. Flags gathered from modes accumulate over the record, and the last mode
// carries over to the next record of the stretch. The decoder works in place: paths are cut
// in the buffer, only document-id paths are formatted into a local buffer. All input is
// untrusted: every read is bounds-checked against the stretch, and a record that runs past
// its end ends the stretch.
#include "intake/decode.h"

#include "common/limits.h"
#include "common/log.h"
#include "common/thread_role.h"
#include "intake/event_ids.h"
#include "intake/intake_state.h"
#include "volumes/dev_info.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char DECODE_NAMEDFORK[] = "/..namedfork";
constexpr uint32_t DECODE_NAMEDFORK_LENGTH = sizeof DECODE_NAMEDFORK - 1;  // 12

// State of the record being decoded.
struct record_state {
    int32_t pid;
    uint32_t flags;
    uint32_t dev;
    char* path;     // current path, or null
    uint32_t mode;  // carried over between records of one stretch
    bool docid_record;
    const char* docid_word;
    bool has_docid;
    int64_t docid;
    uint32_t inode_count;
    uint64_t src_inode;
    uint64_t dst_inode;
};

uint32_t read_u32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

uint16_t read_u16(const uint8_t* p) {
    uint16_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

uint64_t read_u64(const uint8_t* p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

uint32_t mode_flags(uint32_t mode) {
    uint32_t flags = 0;
    switch (mode & KREC_MODE_TYPE_MASK) {
        case KREC_MODE_DIR:
            flags |= EVENT_IS_DIR;
            break;
        case KREC_MODE_FILE:
            flags |= EVENT_IS_FILE;
            break;
        case KREC_MODE_SYMLINK:
            flags |= EVENT_IS_SYMLINK;
            break;
        default:
            break;
    }
    if (mode & KREC_MODE_HARDLINK)
        flags |= EVENT_HARDLINK;
    if (mode & KREC_MODE_LAST_HARDLINK)
        flags |= EVENT_LAST_HARDLINK;
    return flags;
}

// "/" for daemon-made events. Writable: the sink may normalise or cut what it is given.
void emit_root(event_table* table, event_sink sink, uint32_t flags, uint64_t id) {
    char root[2] = "/";
    sink(table, EVENT_PID_DAEMON, 0, root, 2, 2, flags, id);
}

// Marks every logged volume and tells every client that ids start again.
void announce_wrap(event_table* table, event_sink sink) {
    iterate_devices(mark_volume_wrapped, nullptr);
    emit_root(table, sink, EVENT_KERNEL_DROPPED | EVENT_IDS_WRAPPED, EVENT_ID_WRAP);
}

// The id of one argument; an increment that lands on all ones announces the wrap and the
// argument gets the id after it, 0.
uint64_t take_argument_id(event_table* table, event_sink sink) {
    uint64_t id = next_event_id();
    if (id == EVENT_ID_WRAP) {
        log_critical("2: event id's wrapping to zero! (0x%llx)", (unsigned long long)id);
        announce_wrap(table, sink);
        id = next_event_id();
    }
    return id;
}

// Lengths are taken from the buffer at each emission: the sink may have normalised the
// path in place since it was read (doubled slashes), and the next event must match it.
void emit_path(record_state* r, event_table* table, event_sink sink, uint64_t id) {
    uint32_t path_length = (uint32_t)strlen(r->path) + 1;
    uint32_t dir_length = path_length <= 2 ? 2 : (uint32_t)(strrchr(r->path, '/') - r->path) + 2;
    if ((r->mode & KREC_MODE_DIR_LEVEL) && path_length > 2) {
        dir_length = path_length;
        r->flags |= EVENT_DIR_LEVEL;
    }
    sink(table, r->pid, r->dev, r->path, path_length, dir_length, r->flags, id);
}

// Cuts "item/..namedfork/fork" to the item and adds EVENT_XATTR_MODIFIED. The item must be
// non-empty: "/..namedfork" may not begin the path.
void cut_named_fork(record_state* r, char* path, char* last_slash) {
    if (last_slash - path <= (ptrdiff_t)DECODE_NAMEDFORK_LENGTH)
        return;
    char* fork = last_slash - DECODE_NAMEDFORK_LENGTH;
    if (memcmp(fork, DECODE_NAMEDFORK, DECODE_NAMEDFORK_LENGTH) != 0)
        return;
    r->flags |= EVENT_XATTR_MODIFIED;
    *fork = '\0';
    last_slash = strrchr(path, '/');  // fork > path and path[0] == '/': never null
    if (last_slash[1] == '\0')
        return;  // "dir//..namedfork/x": the trailing slash stays
    // "dir/x/x": when the item's name repeats its parent's, the parent is reported.
    *last_slash = '\0';
    char* previous = strrchr(path, '/');
    if (previous && strcmp(previous + 1, last_slash + 1) == 0)
        return;
    *last_slash = '/';
}

// A path argument of len data bytes at data (inside the stretch).
void take_path(record_state* r, char* data, uint32_t len, event_table* table, event_sink sink,
               uint64_t id, char* root) {
    // The kernel always sends the NUL; a path without one is cut at its last byte.
    if (len > 0 && memchr(data, '\0', len) == nullptr)
        data[len - 1] = '\0';
    char* path = data;
    if (len == 0 || path[0] != '/') {
        log_error("consumer: DANGER! fname does not begin with a '/' (%s)", len ? path : "");
        root[0] = '/';
        root[1] = '\0';
        path = root;
    }
    if (path[1] != '\0') {
        char* last_slash = strrchr(path, '/');
        if (last_slash == nullptr) {
            log_error("consumer: DANGER! last_slash is NULL and fname <<%s>> looks bad.", path);
            path[1] = '\0';
        } else {
            cut_named_fork(r, path, last_slash);
        }
    }
    r->path = path;
    if (r->dev != 0)
        emit_path(r, table, sink, id);
}

void take_docid(record_state* r, event_table* table, event_sink sink, uint64_t id) {
    char buffer[PATH_BUFFER_SIZE];
    int n = snprintf(buffer, sizeof buffer, "/.docid/%lld/%s/%lld/src=%lld,dst=%lld",
                     (long long)(int32_t)r->dev, r->docid_word, (long long)r->docid,
                     (long long)r->src_inode, (long long)r->dst_inode);
    if (n < 0 || (size_t)n >= sizeof buffer)
        return;  // cannot happen with these widths
    char* last_slash = strrchr(buffer, '/');
    sink(table, r->pid, r->dev, buffer, (uint32_t)n + 1, (uint32_t)(last_slash - buffer) + 2,
         r->flags, id);
}

// A dropped-events record at p with end - p bytes left; returns the next record's offset. A
// record whose events were lost on one volume only names its device (a device or
// file-information argument) and where it is mounted (a path); the others name neither and
// concern every volume, under "/".
uint8_t* take_dropped(uint8_t* p, uint8_t* end, event_table* table, event_sink sink) {
    uint32_t dev = 0;
    char root[2] = "/";
    char* path = root;
    // Only those arguments, well formed and ending in the terminator, make a record whole.
    uint8_t* q = p + KREC_HEADER_SIZE;
    bool whole = false;
    while (end - q >= (ptrdiff_t)KREC_DONE_SIZE) {
        uint16_t type = read_u16(q);
        if (type == KREC_ARG_DONE) {
            q += KREC_DONE_SIZE;
            whole = true;
            break;
        }
        if (end - q < (ptrdiff_t)KREC_ARG_HEADER_SIZE)
            break;
        uint16_t len = read_u16(q + 2);
        uint8_t* data = q + KREC_ARG_HEADER_SIZE;
        if (end - data < len)
            break;
        if ((type == KREC_ARG_PATH || type == KREC_ARG_PATH_ALT) && len > 1 && data[0] == '/' &&
            memchr(data, '\0', len))
            path = reinterpret_cast<char*>(data);
        else if (type == KREC_ARG_DEV && len == KREC_DEV_SIZE)
            dev = read_u32(data);
        else if (type == KREC_ARG_FILE_INFO && len == KREC_FILE_INFO_SIZE)
            dev = read_u32(data + KREC_FILE_INFO_DEV_OFFSET);
        else
            break;
        q = data + len;
    }
    if (!whole) {
        dev = 0;
        path = root;
    }
    uint64_t id = next_event_id();
    if (id != EVENT_ID_WRAP) {
        uint32_t length = (uint32_t)strlen(path) + 1;
        sink(table, EVENT_PID_DAEMON, dev, path, length, length, EVENT_KERNEL_DROPPED, id);
    } else {
        log_critical("1: event id's wrapping to zero! (0x%llx)", (unsigned long long)id);
        announce_wrap(table, sink);
    }
    if (whole)
        return q;
    log_error("dropped event message is inconsistent.");
    return p + KREC_HEADER_SIZE;
}

// Starts the record whose header carries type_word and pid.
void start_record(record_state* r, uint32_t type_word, uint32_t pid) {
    r->pid = (int32_t)pid;
    r->flags = 1u << ((type_word & KREC_TYPE_MASK) % 32);
    if ((type_word & KREC_FLAG_DIR_LEVEL) && intake.kernel_extended_info.load(std::memory_order_relaxed))
        r->flags |= EVENT_DIR_LEVEL;
    r->path = nullptr;
    r->dev = 0;
    r->has_docid = false;
    r->inode_count = 0;
    r->src_inode = 0;
    r->dst_inode = 0;
    r->docid_word = type_word == KREC_TYPE_DOCID_CHANGED ? "changed" : "created";
    r->docid_record = type_word == KREC_TYPE_DOCID_CREATED || type_word == KREC_TYPE_DOCID_CHANGED;
}

// Takes one argument of len bytes at data (all of them inside the stretch) into r; a path,
// or a device once the path is known, emits an event with id. Arguments too short for their
// type, and types the daemon does not use, are skipped.
void take_argument(record_state* r, uint16_t arg_type, uint8_t* data, uint16_t len,
                   event_table* table, event_sink sink, uint64_t id, char* root) {
    switch (arg_type) {
        case KREC_ARG_PATH:
        case KREC_ARG_PATH_ALT:
            take_path(r, reinterpret_cast<char*>(data), len, table, sink, id, root);
            break;
        case KREC_ARG_INT64:
            if (!r->docid_record || len < KREC_INT64_SIZE)
                break;
            if (!r->has_docid) {
                r->docid = (int64_t)read_u64(data);
                r->has_docid = true;
            }
            if (r->inode_count == 2)
                take_docid(r, table, sink, id);
            break;
        case KREC_ARG_INODE: {
            uint64_t inode;
            if (len == KREC_INODE32_SIZE)
                inode = read_u32(data);
            else if (len >= KREC_INODE64_SIZE)
                inode = read_u64(data);
            else
                break;
            if (r->inode_count == 0)
                r->src_inode = inode;
            else
                r->dst_inode = inode;
            r->inode_count++;
            break;
        }
        case KREC_ARG_DEV:
            if (len < KREC_DEV_SIZE)
                break;
            r->dev = read_u32(data);
            if (r->path)
                emit_path(r, table, sink, id);
            break;
        case KREC_ARG_MODE:
            if (len < KREC_MODE_SIZE)
                break;
            r->mode = read_u32(data);
            r->flags |= mode_flags(r->mode);
            break;
        case KREC_ARG_FILE_INFO:
            if (len < KREC_FILE_INFO_MODE_OFFSET + 4)
                break;
            r->dev = read_u32(data + KREC_FILE_INFO_DEV_OFFSET);
            r->mode = read_u32(data + KREC_FILE_INFO_MODE_OFFSET);
            r->flags |= mode_flags(r->mode);
            if (r->path)
                emit_path(r, table, sink, id);
            break;
        default:
            break;  // not used by the daemon
    }
}

}  // namespace

int decode_kernel_records(uint8_t* start, uint32_t length, event_table* table, event_sink sink) {
    VANTLE_ASSERT_THREAD(THREAD_ROLE_EVENT);
    uint8_t* p = start;
    uint8_t* end = start + length;
    record_state r{};
    char root[2];  // stands in for a path that does not begin with '/'

    while (p < end) {
        if (end - p < 4)
            break;
        uint32_t type_word = read_u32(p);
        if ((type_word & KREC_TYPE_MASK) == KREC_TYPE_SYNC &&
            end - p >= (ptrdiff_t)(KREC_HEADER_SIZE + KREC_DONE_SIZE)) {
            intake.intake_sync_marker.store(read_u32(p + 4), std::memory_order_release);
            p += KREC_HEADER_SIZE + KREC_DONE_SIZE;
            continue;
        }
        if ((type_word & KREC_TYPE_MASK) == KREC_TYPE_DROPPED ||
            current_event_id() == EVENT_ID_WRAP) {
            p = take_dropped(p, end, table, sink);
            continue;
        }
        if (end - p <= (ptrdiff_t)KREC_HEADER_SIZE)
            break;
        start_record(&r, type_word, read_u32(p + 4));

        p += KREC_HEADER_SIZE;
        for (;;) {
            if (end - p < (ptrdiff_t)KREC_DONE_SIZE)
                return 1;  // no terminator before the end of the stretch
            uint16_t arg_type = read_u16(p);
            if (arg_type == KREC_ARG_DONE) {
                p += KREC_DONE_SIZE;
                break;
            }
            if (end - p < (ptrdiff_t)KREC_ARG_HEADER_SIZE)
                return 1;
            uint16_t len = read_u16(p + 2);
            uint8_t* data = p + KREC_ARG_HEADER_SIZE;
            if (end - data < len)
                return 1;  // argument runs past the end of the stretch
            uint64_t id = take_argument_id(table, sink);

            take_argument(&r, arg_type, data, len, table, sink, id, root);
            p = data + len;
        }
    }
    return 1;
}
