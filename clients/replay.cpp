// Replay of a volume's event history into one client: each buffer taken through the log
// reader's checks, its records filtered for the client, and the batches handed to its callback.
#include "clients/replay.h"

#include "clients/client_info.h"
#include "clients/read_check.h"
#include "common/limits.h"
#include "common/log.h"
#include "common/vantle_assert.h"
#include "history/dls.h"
#include "history/log_reader.h"
#include "intake/events.h"
#include "platform/thread_identity.h"
#include "volumes/dev_info.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char REPLAY_DOCID_PREFIX[] = ".docid/";
constexpr size_t REPLAY_DOCID_PREFIX_LENGTH = sizeof REPLAY_DOCID_PREFIX - 1;

// A client path in the stored form of the volume being replayed.
struct watched_entry {
    uint32_t length;
    const char* text;
};

bool has_flag(const client_info* c, uint32_t flag) {
    return c->flags.load(std::memory_order_acquire) & flag;
}

// The client path p as the volume at mount point m stores it: device-relative paths are stored
// form already; a path on the volume loses the mount point and the '/' after it; "/" off the
// volume covers the whole volume (the empty entry); any other path stays as it is and can
// match only absolute stored paths.
watched_entry stored_form(const client_info* c, const char* p, const char* m) {
    uint32_t length = (uint32_t)strlen(p);
    if (c->device != 0) {
        return {length, p};
    }
    uint32_t m_length = (uint32_t)strlen(m);
    if (length >= m_length && strncmp(p, m, m_length) == 0 &&
        (m_length == 1 || p[m_length] == '/' || p[m_length] == '\0')) {
        const char* rest = p + m_length;
        if (m_length != 1 && *rest == '/') {
            rest++;
        }
        return {(uint32_t)strlen(rest), rest};
    }
    if (strcmp(p, "/") == 0) {
        return {0, ""};
    }
    return {length, p};
}

// Whether entry e covers the stored path s (record path length with NUL r): a trailing '/' of
// the entry is ignored and a match of two or more bytes must end at a component boundary.
bool entry_matches(const watched_entry& e, const char* s, uint32_t r) {
    if (e.length > r - 1) {
        return false;
    }
    uint32_t k = e.length;
    if (k > 1 && e.text[k - 1] == '/') {
        k--;
    }
    if (memcmp(e.text, s, k) != 0) {
        return false;
    }
    return k < 2 || s[k] == '\0' || s[k] == '/';
}

// Replay's drop messages. Of the unusable headers, only a foreign magic with a length no
// buffer can have is reported; the others end the file without a word.
void replay_dropped(void*, const log_drop& drop) {
    switch (drop.kind) {
    case LOG_DROP_HEADER:
        if (drop.header->order == LOG_ORDER_FOREIGN &&
            drop.header->length > DISK_LOG_BUFFER_SIZE) {
            log_critical("process_disk_event_buf: magic is wrong (0x%.8x != 0x%.8x)",
                         drop.header->magic, DISK_LOG_MAGIC);
        }
        break;
    case LOG_DROP_CHECKSUM:
        log_critical(
            "process_disk_event_buf: checksum mis-match: file 0x%.8x, calculated 0x%.8x",
            drop.checksum->stored, drop.checksum->calculated);
        break;
    case LOG_DROP_RECORD:
        log_critical("process_disk_event_buf: ptr out-of-bounds (%d > max %d)",
                     (int)drop.record->id_offset, (int)drop.header->length);
        break;
    }
}

constexpr log_reader REPLAY_READER = {replay_dropped, nullptr};

// A record's path in the forms the filter needs: as stored (with a document id path given
// the volume's current device number) and as a full path.
struct record_paths {
    const char* stored;  // the record's path, or rewritten
    uint32_t r;          // bytes of stored with its NUL
    const char* prefix;  // the mount point followed by '/', or "/" alone for the root
    char full[2 * PATH_BUFFER_SIZE + 64];
    char rewritten[PATH_BUFFER_SIZE + 64];
    char ancestor[PATH_BUFFER_SIZE];  // a READ_ANCESTOR verdict's directory, as a full path
};

// prefix is the mount point followed by '/', or "/" alone for the root.
void name_record(const dev_info* v, const char* prefix, const log_record& rec, record_paths* out) {
    out->stored = rec.path;
    out->r = rec.path_length + 1;
    out->prefix = prefix;
    if (strncmp(rec.path, REPLAY_DOCID_PREFIX, REPLAY_DOCID_PREFIX_LENGTH) != 0) {
        // The volume's own record (empty stored path) is its mount point with the '/'.
        snprintf(out->full, sizeof out->full, "%s%s", prefix, rec.path);
        return;
    }
    // A document id path names its volume's device number, which may have changed since the
    // record was written: the path is given the volume's current number.
    const char* digits = rec.path + REPLAY_DOCID_PREFIX_LENGTH;
    char* after = nullptr;
    long long number = strtoll(digits, &after, 10);
    if ((uint32_t)number != v->dev) {
        snprintf(out->rewritten, sizeof out->rewritten, ".docid/%lld%s", (long long)v->dev,
                 after);
        out->stored = out->rewritten;
        out->r = (uint32_t)strlen(out->rewritten) + 1;
    }
    snprintf(out->full, sizeof out->full, "/%s", out->stored);
}

// Whether c is to get the record: one of its paths covers it, it is on c's device when c
// watches by device, c's user may read it and c does not exclude it. A dropped record marks a
// gap in the volume's history (a full backlog, a full disk, a restart that could not see what
// changed): every client replaying across it must hear of it, whatever its paths. It names only
// the volume. Returns the read verdict (READ_REFUSED for a record c is not to get).
read_verdict wanted(const client_info* c, const watched_entry* watched, record_paths* p,
                    uint32_t flags) {
    bool gap = flags & (EVENT_KERNEL_DROPPED | EVENT_USER_DROPPED);
    bool matched = gap;
    for (int32_t i = 0; i < c->num_paths && !matched; i++) {
        matched = entry_matches(watched[i], p->stored, p->r);
    }
    if (!matched || (c->device != 0 && p->stored[0] == '/')) {
        return READ_REFUSED;
    }
    if (gap) {
        return READ_GRANTED;
    }
    if (is_excluded(c, c->device != 0 ? p->stored : p->full)) {
        return READ_REFUSED;
    }
    return c->uid == 0 ? READ_GRANTED : judge_event_read(c, p->full, p->ancestor);
}

// p->ancestor, a full path, in the form of the client's other paths: relative to the volume
// for a client watching by device (the volume root, or anything above it, is ""), and with
// the doubled leading '/' of a stored absolute path's full form made one.
const char* ancestor_in_client_form(const client_info* c, const record_paths* p) {
    const char* a = p->ancestor;
    if (c->device == 0) {
        return a[0] == '/' && a[1] == '/' ? a + 1 : a;
    }
    size_t n = strlen(p->prefix);
    return strncmp(a, p->prefix, n) == 0 ? a + n : "";
}

// The path c is given for the record, and its flags: the stored form for a client watching by
// device and for a path stored absolute, the full path otherwise; cut to its directory, with
// directory flags only, unless c asked for file events. With READ_ANCESTOR, the directory
// that stands in for it.
char* delivered_form(const client_info* c, record_paths* p, read_verdict verdict,
                     uint32_t* flags) {
    char* delivered = p->full;
    if (c->device != 0 || p->stored[0] == '/') {
        // Cut below, so a stored path is taken as a copy.
        if (p->stored != p->rewritten) {
            snprintf(p->rewritten, sizeof p->rewritten, "%s", p->stored);
        }
        delivered = p->rewritten;
    }
    if (verdict == READ_ANCESTOR) {
        const char* a = ancestor_in_client_form(c, p);
        memmove(p->ancestor, a, strlen(a) + 1);
        ancestor_event_path(c, delivered, p->ancestor);
        *flags = READ_ANCESTOR_FLAGS;
        return p->ancestor;
    }
    if (!has_flag(c, CLIENT_FILE_EVENTS)) {
        char* slash = strrchr(delivered, '/');
        if (slash && slash != delivered) {
            slash[1] = '\0';
        }
        *flags &= DIRECTORY_EVENT_MASK;
    }
    return delivered;
}

// Adds one event, merging a repeat of the last directory into it: a directory-level client's,
// and the directories that stand in for names withheld from anyone's.
// 0, ENOMEM (event not stored), or the result of a full batch's delivery.
int client_buffer_event(client_event_buffer* batch, const char* path, int32_t length,
                        uint32_t flags, uint64_t id, uint32_t device) {
    client_info* c = batch->fci;
    VANTLE_ASSERT(batch->nitems < REPLAY_EVENT_CHUNK);
    if (batch->nitems != 0) {
        uint32_t last = batch->nitems - 1;
        bool stand_ins = flags == READ_ANCESTOR_FLAGS && batch->flags[last] == READ_ANCESTOR_FLAGS;
        if ((!has_flag(c, CLIENT_FILE_EVENTS) || stand_ins) && batch->lengths[last] == length && memcmp(batch->paths[last], path, length) == 0) {
            batch->flags[last] |= flags;
            batch->ids[last] = id;
            return 0;
        }
    }
    char* copy = strndup(path, (size_t)length - 1);
    if (!copy) {
        return ENOMEM;
    }
    uint32_t i = batch->nitems;
    batch->lengths[i] = length;
    batch->flags[i] = flags;
    batch->ids[i] = id;
    batch->devices[i] = device;
    batch->paths[i] = copy;
    batch->nitems++;
    if (batch->nitems == REPLAY_EVENT_CHUNK) {
        return client_buffer_flush(batch);
    }
    return 0;
}

}  // namespace

int client_buffer_flush(client_event_buffer* batch) {
    if (batch->nitems == 0) {
        return 0;
    }
    client_info* c = batch->fci;
    int r = c->callback(c->callback_ctx, (int32_t)batch->nitems, batch->lengths, batch->paths,
                        batch->flags, batch->devices, batch->ids);
    if (r != 0) {
        if (r == EPIPE) {
            c->flags.fetch_or(CLIENT_GOING_AWAY, std::memory_order_acq_rel);
        }
        if (!has_flag(c, CLIENT_GOING_AWAY)) {
            client_note_dropped(c, batch->ids[0]);
        }
    }
    for (uint32_t i = 0; i < batch->nitems; i++) {
        free(batch->paths[i]);
        batch->paths[i] = nullptr;
    }
    batch->nitems = 0;
    return r;
}

int process_disk_event_buf(dev_info* v, client_info* c, uint8_t* buffer, uint32_t available,
                           int verify, uint64_t since, uint32_t* consumed, uint32_t* kind) {
    *consumed = 0;
    if (kind) {
        *kind = REPLAY_CHECKSUM_NONE;
    }
    client_event_buffer batch;
    memset(&batch, 0, sizeof batch);
    batch.fci = c;

    log_buffer_header header;
    log_buffer_checksum sum;
    if (log_reader_take_buffer(REPLAY_READER, buffer, available, verify == 1, &header, &sum) != 0) {
        return EINVAL;
    }
    uint32_t length = header.length;
    if (verify == 1 && kind) {
        *kind = sum.alternate ? REPLAY_CHECKSUM_ALT : REPLAY_CHECKSUM_REGULAR;
    }

    watched_entry* watched =
        static_cast<watched_entry*>(calloc((size_t)c->num_paths, sizeof(watched_entry)));
    if (!watched) {
        log_critical("process_disk_event_buf: no memory for %d paths\n", c->num_paths);
        return ENOMEM;
    }
    // The mount point followed by '/', or "/" alone for the root.
    char prefix[PATH_BUFFER_SIZE];
    if (strcmp(v->mount_point, "/") == 0) {
        snprintf(prefix, sizeof prefix, "/");
    } else {
        snprintf(prefix, sizeof prefix, "%s/", v->mount_point);
    }
    for (int32_t i = 0; i < c->num_paths; i++) {
        watched[i] = stored_form(c, c->paths[i], v->mount_point);
    }

    int result = 0;
    log_record_walk walk = log_record_walk_start(buffer, length);
    log_record rec;
    int wr;
    while ((wr = log_reader_next_record(REPLAY_READER, header, &walk, &rec)) == 0) {
        if (rec.id <= since) {
            continue;
        }
        record_paths paths;
        name_record(v, prefix, rec, &paths);
        read_verdict verdict = wanted(c, watched, &paths, rec.flags);
        if (verdict == READ_REFUSED) {
            continue;
        }
        if (!c->callback || has_flag(c, CLIENT_GOING_AWAY)) {
            break;
        }
        uint64_t done = c->history_done_id.load(std::memory_order_relaxed);
        if (rec.id > done) {
            c->history_done_id.store(rec.id, std::memory_order_relaxed);
        }
        uint32_t flags = rec.flags;
        char* delivered = delivered_form(c, &paths, verdict, &flags);
        int32_t delivered_length = (int32_t)strlen(delivered) + 1;
        int br = client_buffer_event(&batch, delivered, delivered_length, flags, rec.id, v->dev);
        if (br != 0 && br != ETIMEDOUT) {
            result = br;
            break;
        }
    }
    if (wr == ERANGE) {
        result = EINVAL;
    }
    if (c->callback) {
        client_buffer_flush(&batch);
    }
    *consumed = length;
    free(watched);
    return result;
}

void replay_take_identity(client_info* c, const char* who) {
    if (c->uid == 0) {
        return;
    }
    int err = thread_set_credentials(c->uid, c->gid, c->user_name);
    if (err != 0) {
        log_critical("%s: initgroups failed for user %s uid %d gid %d (err: %d/%s)", who,
                     c->user_name ? c->user_name : "", (int)c->uid, (int)c->gid, err,
                     strerror(err));
        if (c->user_name) {
            thread_set_credentials(c->uid, c->gid, nullptr);
        }
    }
}

void replay_dropped_notice(dev_info* v, client_info* c, uint64_t id, uint64_t since) {
    if (id <= since || !c->callback) {
        return;
    }
    uint8_t area[DISK_LOG_HEADER_SIZE + 1 + DISK_LOG_RECORD_TAIL + 1];
    log_buffer_builder b;
    log_buffer_start(&b, area, sizeof area);
    log_buffer_append(&b, "", id, EVENT_USER_DROPPED);  // the volume's own path
    uint32_t consumed = 0;
    process_disk_event_buf(v, c, area, log_buffer_finish(&b), 0, since, &consumed, nullptr);
}

void replay_lost_file(dev_info* v, client_info* c, const char* path, const char* why,
                      uint64_t since) {
    const char* slash = strrchr(path, '/');
    uint64_t id = strtoull(slash ? slash + 1 : path, nullptr, 16);
    if (v->dls && dls_first_damage_report(v->dls, id)) {
        log_critical("read_disk_log: lost log file %s (%s); replays across it get a dropped "
                     "notice in its place",
                     path, why);
    }
    // The file named id held ids below it only: a client asking from id - 1 on missed nothing.
    if (id != 0) {
        replay_dropped_notice(v, c, id - 1, since);
    }
}

int replay_disk_log_image(dev_info* v, client_info* c, disk_log_image* image, const char* path,
                          uint64_t since) {
    // The file was read with the daemon's rights; the permission checks of the replay run
    // with the client's.
    replay_take_identity(c, "read_disk_log");
    // Buffer after buffer; a buffer that fails its checks ends the file (nothing after it can
    // be found reliably), as does one written with the alternate checksum. Whatever the file
    // held after such a place is lost, and the client is told.
    const char* lost = image->damage;
    uint32_t at = 0;
    while (at < image->size && !has_flag(c, CLIENT_GOING_AWAY)) {
        uint32_t consumed = 0;
        uint32_t kind = REPLAY_CHECKSUM_NONE;
        int r = process_disk_event_buf(v, c, image->data + at, image->size - at, 1, since,
                                       &consumed, &kind);
        if (r == EINVAL && consumed != 0) {
            lost = "a record runs past its buffer";
        }
        if (consumed == 0 || kind != REPLAY_CHECKSUM_REGULAR) {
            if (at + consumed < image->size) {
                lost = consumed == 0 ? "a buffer failed its checks"
                                     : "a buffer with the alternate checksum ends it";
            }
            break;
        }
        at += consumed;
    }
    if (lost && !has_flag(c, CLIENT_GOING_AWAY)) {
        replay_lost_file(v, c, path, lost, since);
    }
    if (c->uid != 0) {
        thread_restore_credentials();
    }
    return 0;
}

int read_disk_log(dev_info* v, client_info* c, const char* path, uint64_t since) {
    disk_log_image image;
    image.uid = c->uid;
    int err = load_disk_log(path, &image);
    if (err == 0) {
        replay_disk_log_image(v, c, &image, path, since);
    }
    free_disk_log_image(&image);
    return err;
}
