// The fanotify source: file-system events of every mounted volume as kernel records.
//
// One fanotify group reports directory-entry events by parent directory handle and name
// (FAN_REPORT_DFID_NAME), with the handle of the created, removed or renamed item where the
// kernel offers it (FAN_REPORT_TARGET_FID), and a filesystem mark on each mounted, non-pseudo
// file system, also on those mounted later (fan_volumes.cpp). A fill reads up to 256 KiB of
// events at once and translates them one by one, in kernel order, into pending records, which
// are handed out whole; what does not fit waits for the next fill. Directory handles become
// paths through what the events taught and, failing that, the file system (fan_names.cpp).
//
// An event whose directory cannot be named yet waits, with every event behind it, for the
// reads of the next FAN_NAME_WAIT_NS: the event that names the directory is usually right
// behind it in the queue, but in a tree removed while it is read, that event may name its
// directory by a parent that the next removal, a read later, names in turn. If none names
// it in time, the event becomes one dropped-events record for its volume alone (the record
// carries the volume's device number), at most one per volume and read. A queue overflow is
// a dropped record for everyone, and a log line (at most one a minute).
//
// Cost. Under a storm of changes the kernel queues events one by one, and a reader that reads
// as soon as it can gets a handful per read: a wake-up of this thread and of the consumer for
// every few events, which costs more than everything else together. So after a read that
// returned little, the next read waits until FAN_BATCH_PAUSE_NS (1 ms) have passed since that
// read, and finds the queue fuller; once small reads follow each other like that (a storm
// that goes on), the wait is FAN_STORM_PAUSE_NS (3 ms), which takes a fifth off the daemon's
// CPU for such a storm. The trade-off is latency: an event that arrives while a storm is going
// on reaches the consumer up to 3 ms later; the first event after a quiet spell is read at
// once, one soon after it at most 1 ms later, and a read that comes back full is followed at
// once by the next. The kernel's queue (16,384 events) fills in 3 ms only at over five
// million events a second, and well before that the reads come back full.
// Beyond that, a record only asks the file system what the event does not tell: directories
// and removed items take their type from the event.
#include "platform/fan_source.h"

#include "common/log.h"
#include "common/monotonic_clock.h"
#include "platform/port.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <unistd.h>

namespace {

constexpr size_t FAN_READ_SIZE = 256 * 1024;
// A read that returns less than this is a small batch: the next read waits FAN_BATCH_PAUSE_NS.
constexpr size_t FAN_SMALL_READ = FAN_READ_SIZE / 8;
constexpr long FAN_BATCH_PAUSE_NS = 1000000;  // 1 ms
constexpr long FAN_STORM_PAUSE_NS = 3000000;  // 3 ms
// A small read at most this long after the end of the pause before it continues a storm.
constexpr long FAN_STORM_GAP_NS = 2000000;
// Longest wait of an event that cannot be named yet for the event that names it.
constexpr long FAN_NAME_WAIT_NS = 50000000;  // 50 ms

timespec monotonic_after(long ns) {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_nsec += ns;
    if (t.tv_nsec >= 1000000000) {
        t.tv_sec++;
        t.tv_nsec -= 1000000000;
    }
    return t;
}

long ns_until(const timespec& t) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (t.tv_sec - now.tv_sec) * 1000000000L + (t.tv_nsec - now.tv_nsec);
}

// The path of the entry ref names (directory handle and name) as it was at the event at.
fan_resolved entry_path(fan_source* src, fan_volume* vol, const fan_name_ref& ref, size_t at,
                        std::string* out) {
    fan_handle_key(&src->key, ref.handle);
    fan_resolved r = fan_dir_path(src, vol, src->key, at, out);
    if (r != fan_resolved::PATH)
        return r;
    if (strcmp(ref.name, ".") != 0) {
        if (out->size() > 1)
            out->push_back('/');
        out->append(ref.name);
    }
    return out->size() < PATH_MAX ? fan_resolved::PATH : fan_resolved::UNNAMED;
}

bool same_volume(const fan_name_ref& a, const fan_name_ref& b) {
    return a.fsid && b.fsid && memcmp(a.fsid, b.fsid, sizeof *a.fsid) == 0;
}

// A link-count change, reported by the item's own handle: a name of the item was added or
// removed, and it still has one (the removal of its last name also reports DELETE_SELF, which
// the kernel merges into this event while both wait: such an item is not looked up at all).
// It is reported as a status change of a name the item still has, the last one of a
// hard-linked item when one is left.
void translate_link_count(fan_source* src, fan_volume* vol, int32_t pid, const fan_name_ref& self) {
    fan_handle_key(&src->key, self.handle);
    struct stat st;
    if (fan_item_path(src, vol, src->key, &src->path1, &st) != fan_resolved::PATH)
        return;
    krec_file_info info = fan_info_from(&st, vol->dev, S_ISDIR(st.st_mode));
    if (!S_ISDIR(st.st_mode) && st.st_nlink == 1)
        info.mode |= KREC_MODE_LAST_HARDLINK;
    fan_append_record_info(src, KREC_TYPE_STAT_CHANGED, S_ISDIR(st.st_mode), pid, src->path1, info);
}

// The device of the item at path of vol: an overlay's for a path below its upper directory.
uint32_t device_of(const fan_volume* vol, const std::string& path) {
    const fan_upper* u = vol->uppers.empty() ? nullptr : fan_upper_of(vol, path);
    return u ? u->dev : vol->dev;
}

// What an item that appeared at path (made, or renamed into place) is in an overlay whose upper
// layer holds it: a whiteout is a removal, a copy-up a change, anything else a creation.
void append_appeared(fan_source* src, fan_volume* vol, bool ondir, int32_t pid,
                     const std::string& path) {
    uint32_t dev = device_of(vol, path);
    const fan_upper* u = vol->uppers.empty() ? nullptr : fan_upper_of(vol, path);
    fan_appeared what = u ? fan_classify_appeared(*u, path) : fan_appeared::NEW;
    if (what == fan_appeared::WHITEOUT)
        fan_append_record_info(src, KREC_TYPE_DELETE, ondir, pid, path,
                               fan_info_from(nullptr, dev, ondir));
    else if (what == fan_appeared::COPY_UP)
        fan_append_record_info(src, KREC_TYPE_STAT_CHANGED, ondir, pid, path,
                               fan_item_info(path.c_str(), dev, ondir));
    else
        fan_append_record_info(src, ondir ? KREC_TYPE_CREATE_DIR : KREC_TYPE_CREATE_FILE, ondir,
                               pid, path, fan_item_info(path.c_str(), dev, ondir));
}

// A rename seen from this namespace: both names, or only the one a mount shows (the item
// came into view, or left it). One out of an overlay's work directory is an item appearing in
// the overlay (see append_appeared).
void translate_rename(fan_source* src, fan_volume* vol, bool ondir, int32_t pid, fan_resolved r1,
                      fan_resolved r2, bool from_work) {
    if (from_work && r2 == fan_resolved::PATH) {
        append_appeared(src, vol, ondir, pid, src->path2);
    } else if (r1 == fan_resolved::PATH && r2 == fan_resolved::PATH) {
        krec_file_info info = fan_item_info(src->path2.c_str(), device_of(vol, src->path2), ondir);
        fan_append_record_info(src, KREC_TYPE_RENAME, ondir, pid, src->path1, info, &src->path2);
    } else if (r1 == fan_resolved::PATH) {
        fan_append_record_info(src, KREC_TYPE_DELETE, ondir, pid, src->path1,
                               fan_info_from(nullptr, device_of(vol, src->path1), ondir));
    } else if (r2 == fan_resolved::PATH) {
        append_appeared(src, vol, ondir, pid, src->path2);
    }
}

// What the directory parts of an entry event teach, whether or not it could be named.
void learn_from(fan_volume* vol, uint64_t mask, const fan_infos& infos) {
    if (!(mask & FAN_ONDIR) || !infos.self.handle)
        return;
    const fan_name_ref& now = (mask & FAN_RENAME) ? infos.new_name : infos.name;
    if (!(mask & (FAN_CREATE | FAN_DELETE | FAN_RENAME)) || !now.handle || !now.name ||
        strcmp(now.name, ".") == 0 || !same_volume(now, infos.self))
        return;
    std::string key, parent;
    fan_handle_key(&key, infos.self.handle);
    fan_handle_key(&parent, now.handle);
    fan_learn_dir(vol, key, parent, now.name);
}

// A queue overflow lost events for every client, so it is logged, but a storm may overflow
// the queue at every read: a line at most once a minute counts those since the last.
void log_overflow(fan_source* src) {
    src->overflows++;
    if (log_throttle_due(&src->overflow_log, 0, monotonic_ms())) {
        log_critical("kernel queue overflowed: events lost (%u times since the last report)",
                     src->overflows);
        src->overflows = 0;
    }
}

// Whether the entry named by ref is one of this source's sync markers; its number in *number.
bool is_marker(fan_source* src, const fan_name_ref& ref, uint32_t* number) {
    if (!src->marker_dir.valid() || !ref.handle || !ref.name ||
        strncmp(ref.name, FAN_MARKER_PREFIX, sizeof FAN_MARKER_PREFIX - 1) != 0 ||
        memcmp(ref.fsid, &src->marker_fsid, sizeof src->marker_fsid) != 0)
        return false;
    fan_handle_key(&src->key, ref.handle);
    if (src->key != src->marker_key)
        return false;
    *number = static_cast<uint32_t>(strtoul(ref.name + sizeof FAN_MARKER_PREFIX - 1, nullptr, 10));
    return true;
}

// Translates the event at raw_used in the read buffer (meta: a copy of its header). False
// when it names a directory that cannot be named yet and may_wait: nothing was translated,
// and the event is to be tried again after the next read.
bool translate_event(fan_source* src, const fanotify_event_metadata* meta, bool may_wait) {
    size_t at = src->raw_used;
    src->walked_dir.reset();
    if (meta->vers != FANOTIFY_METADATA_VERSION || (meta->mask & FAN_Q_OVERFLOW)) {
        if (meta->mask & FAN_Q_OVERFLOW)
            log_overflow(src);
        for (auto& vol : src->volumes)
            fan_forget_dirs(vol.get());  // lost events may have moved directories
        fan_append_dropped(src->pending);
        return true;
    }
    const char* base = src->raw.get() + at;
    fan_infos infos = fan_read_infos(base, meta);
    uint32_t marker = 0;
    if (!(meta->mask & FAN_RENAME) && is_marker(src, infos.name, &marker)) {
        krec_header h = {KREC_TYPE_SYNC, static_cast<int32_t>(marker)};
        fan_append(src->pending, &h, sizeof h);
        fan_append_done(src->pending);
        return true;
    }
    bool rename = meta->mask & FAN_RENAME;
    const fan_name_ref& first = rename              ? infos.old_name
                                : infos.name.handle ? infos.name
                                                    : infos.self;
    fan_volume* vol = first.handle ? fan_find_volume(src, *first.fsid) : nullptr;
    if (!vol || (rename && !same_volume(infos.old_name, infos.new_name)))
        return true;  // a volume no longer watched
    bool ondir = meta->mask & FAN_ONDIR;
    int32_t pid = meta->pid;
    if (!(meta->mask & (FAN_CREATE | FAN_DELETE | FAN_MODIFY | FAN_ATTRIB | FAN_RENAME)))
        return true;  // an item's own removal: the entry event that removed it tells
    if (!infos.name.handle && !rename) {
        if ((meta->mask & FAN_ATTRIB) && !(meta->mask & FAN_DELETE_SELF))
            translate_link_count(src, vol, pid, infos.self);
        return true;
    }
    // An overlay's copy-up (or whiteout) comes out of its work directory, which names nothing in
    // the overlay: the item appears at its new name.
    bool from_work = false;
    if (rename && !vol->uppers.empty()) {
        fan_handle_key(&src->key, infos.old_name.handle);
        from_work = fan_upper_by_work(vol, src->key) != nullptr;
    }
    fan_resolved r1 = entry_path(src, vol, first, at, &src->path1);
    fan_resolved r2 = rename ? entry_path(src, vol, infos.new_name, at, &src->path2) : r1;
    if (from_work && r1 != fan_resolved::PATH)
        r1 = fan_resolved::OUT_OF_VIEW;
    if (r1 == fan_resolved::UNNAMED || r2 == fan_resolved::UNNAMED) {
        // An attribute change of a directory that is gone: its removal, still to come, names
        // it or gives the notice.
        if (!(meta->mask & ~(FAN_ATTRIB | FAN_DELETE_SELF | FAN_ONDIR)) &&
            strcmp(first.name, ".") == 0)
            return true;
        if (may_wait)
            return false;
        if (!vol->unmounted)
            fan_append_volume_dropped(src, vol);
        learn_from(vol, meta->mask, infos);
        return true;
    }
    uint32_t dev = device_of(vol, src->path1);
    if (rename) {
        translate_rename(src, vol, ondir, pid, r1, r2, from_work);
    } else if (r1 == fan_resolved::PATH) {
        // fanotify merges a create and a delete of one name and loses their order. Events that
        // carry the item's own handle merge only for one item, created first; otherwise an
        // item that exists now was deleted first.
        struct stat st;
        bool deleted_first = !src->target_fid && (meta->mask & FAN_CREATE) &&
                             (meta->mask & FAN_DELETE) &&
                             fstatat(AT_FDCWD, src->path1.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        krec_file_info gone = fan_info_from(nullptr, dev, ondir);
        krec_file_info now = gone;
        // src->key is still the event's directory.
        bool walked =
            src->walked_dir.valid() && src->walked_key == src->key && strcmp(first.name, ".") != 0;
        if (meta->mask & (FAN_CREATE | FAN_MODIFY | FAN_ATTRIB))
            now = walked ? fan_item_info(first.name, dev, ondir, src->walked_dir.get())
                         : fan_item_info(src->path1.c_str(), dev, ondir);
        if (deleted_first)
            fan_append_record_info(src, KREC_TYPE_DELETE, ondir, pid, src->path1, gone);
        if ((meta->mask & FAN_CREATE) && !vol->uppers.empty() && fan_upper_of(vol, src->path1))
            append_appeared(src, vol, ondir, pid, src->path1);
        else if (meta->mask & FAN_CREATE)
            fan_append_record_info(src, ondir ? KREC_TYPE_CREATE_DIR : KREC_TYPE_CREATE_FILE, ondir,
                                   pid, src->path1, now);
        if (meta->mask & FAN_MODIFY)
            fan_append_record_info(src, KREC_TYPE_CONTENT_MODIFIED, ondir, pid, src->path1, now);
        if (meta->mask & FAN_ATTRIB)
            fan_append_record_info(src, KREC_TYPE_STAT_CHANGED, ondir, pid, src->path1, now);
        if ((meta->mask & FAN_DELETE) && !deleted_first)
            fan_append_record_info(src, KREC_TYPE_DELETE, ondir, pid, src->path1, gone);
    }
    learn_from(vol, meta->mask, infos);
    return true;
}

// Copies pending records into buf while they fit. False when one did not fit.
bool hand_out(fan_source* src, char* buf, size_t size, size_t* out) {
    while (src->pending_used < src->pending.size()) {
        const char* rec = src->pending.data() + src->pending_used;
        size_t len =
            static_cast<size_t>(krec_record_size(rec, src->pending.size() - src->pending_used));
        if (*out + len > size) {
            if (*out == 0) {  // can never fit: drop it
                krec_write_dropped(buf);
                *out = KREC_DROPPED_SIZE;
                src->pending_used += len;
            }
            return false;
        }
        memcpy(buf + *out, rec, len);
        *out += len;
        src->pending_used += len;
    }
    return true;
}

// Waits until t, or until a sync marker is made (it wants the events read without delay).
void pause_until(fan_source* src, const timespec& t) {
    long ns = ns_until(t);
    if (ns <= 0)
        return;
    if (!src->hurry.valid()) {
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
        return;
    }
    pollfd pfd = {src->hurry.get(), POLLIN, 0};
    timespec left = {ns / 1000000000L, ns % 1000000000L};
    if (ppoll(&pfd, 1, &left, nullptr) > 0) {
        uint64_t count;
        ssize_t ignored = read(src->hurry.get(), &count, sizeof count);
        (void)ignored;
    }
}

// Reads more events behind those not translated yet. The byte count, 0 when none are queued,
// or -1 with errno.
ssize_t read_events(fan_source* src) {
    if (src->raw_used > 0) {
        memmove(src->raw.get(), src->raw.get() + src->raw_used, src->raw_have - src->raw_used);
        src->raw_have -= src->raw_used;
        src->fresh_from = src->fresh_from > src->raw_used ? src->fresh_from - src->raw_used : 0;
        src->raw_used = 0;
        src->ahead_built = false;
    }
    if (src->small_read && !src->deferred && !src->base.draining)
        pause_until(src, src->next_read);
    size_t room = std::min(FAN_READ_SIZE, src->raw_size - src->raw_have);
    ssize_t n = read(src->fan.get(), src->raw.get() + src->raw_have, room);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        n = 0;
    bool small = n > 0 && static_cast<size_t>(n) < FAN_SMALL_READ;
    if (small) {
        bool storm = src->small_read && ns_until(src->next_read) > -FAN_STORM_GAP_NS;
        src->next_read = monotonic_after(storm ? FAN_STORM_PAUSE_NS : FAN_BATCH_PAUSE_NS);
    }
    src->small_read = small;
    if (n > 0) {
        src->fresh_from = src->raw_have;
        src->raw_have += static_cast<size_t>(n);
        src->reads++;
        src->ahead_built = false;
    }
    return n;
}

// Looks at the mount table again when it changed since the last look.
void follow_mounts(fan_source* src) {
    if (!src->mount_table.valid())
        return;
    pollfd pfd = {src->mount_table.get(), POLLPRI, 0};
    // A read after a wait comes right after its poll, which looked at the table already: a
    // system call less before the first event of a quiet spell goes out.
    if (!std::exchange(src->mounts_looked_at, false) && poll(&pfd, 1, 0) > 0 &&
        (pfd.revents & (POLLPRI | POLLERR)))
        src->mounts_changed = true;
    if (src->mounts_changed) {
        src->mounts_changed = false;
        fan_sync_mounts(src);
    }
}

int fan_fill(kernel_source* s, char* buf, size_t size, size_t* produced) {
    auto* src = reinterpret_cast<fan_source*>(s);
    size_t out = 0;
    int err = 0;
    while (hand_out(src, buf, size, &out)) {
        src->pending.clear();
        src->pending_used = 0;
        if (src->raw_used >= src->raw_have || src->deferred) {
            if (out > 0)
                break;
            if (!ksrc_may_read(&src->base)) {
                if (!src->deferred) {
                    err = EAGAIN;
                    break;
                }
                src->fresh_from = src->raw_have;  // closing: no more waiting for names
                src->deferred = src->name_waiting = false;
                continue;
            }
            follow_mounts(src);
            if (fan_dirs_take(src))
                continue;  // the directory watches' records first; the queue is read next
            ssize_t n = read_events(src);
            if (n < 0) {
                err = errno;
                break;
            }
            if (n == 0) {
                if (src->deferred && (src->base.draining || ns_until(src->defer_until) <= 0)) {
                    src->fresh_from = src->raw_have;  // waited long enough: give up on the name
                    src->deferred = src->name_waiting = false;
                    continue;
                }
                if (!src->deferred)
                    fan_drop_unmounted(src);  // every event queued before an unmount is read
                err = EAGAIN;
                break;
            }
            src->deferred = false;
        }
        size_t left = src->raw_have - src->raw_used;
        fanotify_event_metadata meta;
        if (left >= sizeof meta)
            memcpy(&meta, src->raw.get() + src->raw_used, sizeof meta);
        if (left < sizeof meta || meta.event_len < FAN_EVENT_METADATA_LEN ||
            meta.event_len > left) {
            src->raw_used = src->raw_have;  // never happens: the kernel hands out whole events
            fan_append_dropped(src->pending);
            continue;
        }
        bool may_wait = left <= FAN_READ_SIZE &&
                        (src->name_waiting ? ns_until(src->defer_until) > 0
                                           : src->raw_used >= src->fresh_from);
        if (!translate_event(src, &meta, may_wait)) {
            if (!src->name_waiting)
                src->defer_until = monotonic_after(FAN_NAME_WAIT_NS);
            src->deferred = src->name_waiting = true;
            continue;
        }
        src->name_waiting = false;
        src->raw_used += meta.event_len;
    }
    // Nothing stays open between fills: an open directory would keep its volume busy.
    src->walked_dir.reset();
    for (auto& vol : src->volumes) {
        for (auto& m : vol->mounts)
            m.fd.reset();
    }
    *produced = out;
    return out ? 0 : err;
}

int fan_wait(kernel_source* s, int wake_fd) {
    auto* src = reinterpret_cast<fan_source*>(s);
    // Descriptors that are not open (-1) are left out by poll.
    pollfd fds[5] = {{wake_fd, POLLIN, 0},
                     {src->fan.get(), POLLIN, 0},
                     {src->mount_table.get(), POLLPRI, 0},
                     {fan_dirs_fd(src), POLLIN, 0},
                     {src->hurry.get(), POLLIN, 0}};
    int timeout = -1;
    if (src->deferred)
        timeout = static_cast<int>(std::max(1L, ns_until(src->defer_until) / 1000000 + 1));
    int n = poll(fds, 5, timeout);
    if (n < 0)
        return errno == EINTR ? 0 : errno;
    if (fds[2].revents & (POLLPRI | POLLERR))
        src->mounts_changed = true;
    src->mounts_looked_at = true;
    if (fds[4].revents & POLLIN) {
        uint64_t count;
        ssize_t ignored = read(src->hurry.get(), &count, sizeof count);
        (void)ignored;
    }
    return 0;
}

void fan_destroy(kernel_source* s) {
    delete reinterpret_cast<fan_source*>(s);
}

int fan_mark(const kernel_source* base, uint32_t number) {
    const auto* src = reinterpret_cast<const fan_source*>(base);
    if (!src->marker_dir.valid() || !src->hurry.valid())
        return ENOTSUP;
    char name[sizeof FAN_MARKER_PREFIX + 16];
    snprintf(name, sizeof name, "%s%u", FAN_MARKER_PREFIX, number);
    int fd = openat(src->marker_dir.get(), name, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    int err = fd < 0 ? errno : 0;
    if (fd >= 0)
        close(fd);
    unlinkat(src->marker_dir.get(), name, 0);
    uint64_t one = 1;
    ssize_t ignored = write(src->hurry.get(), &one, sizeof one);
    (void)ignored;
    return err;
}

int fan_watch_dir(kernel_source* base, const char* path, uint32_t dev, bool add) {
    return fan_dirs_request(reinterpret_cast<fan_source*>(base), path, dev, add);
}

const kernel_source_ops FAN_OPS = {fan_fill, fan_wait, fan_destroy, fan_mark, fan_watch_dir};

// Sync markers go to the directory of the service socket: the daemon's own, writable, and on a
// volume it watches (else no marker is ever seen, and syncs wait for the queue to run dry).
void set_up_markers(fan_source* src) {
    std::string socket = port_service_path();
    size_t slash = socket.find_last_of('/');
    std::string dir = slash == std::string::npos || slash == 0 ? "/" : socket.substr(0, slash);
    unique_fd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid() && fan_path_key(dir, &src->marker_key, &src->marker_fsid))
        src->marker_dir = static_cast<unique_fd&&>(fd);
}

// A fanotify group kept across a restart: the one start-up adopted (taken by the next clone,
// -1 once taken or when none), and who hears of a new group a clone makes (it keeps it for the
// next restart). Set by start-up and the clone, from any thread.
struct group_handover {
    std::atomic<int> adopted_group{-1};
    std::atomic<void (*)(int)> new_group_hook{nullptr};
};
group_handover handover;

// The reporting flags of a fanotify group, from its descriptor's fdinfo ("fanotify flags:%x").
// False when they cannot be read or are not those this source decodes.
bool adopted_group_flags(int fd, bool* target_fid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fdinfo/%d", fd);
    FILE* info = fopen(path, "re");
    if (!info)
        return false;
    unsigned flags = 0;
    bool found = false;
    char line[256];
    while (!found && fgets(line, sizeof line, info))
        found = sscanf(line, "fanotify flags:%x", &flags) == 1;
    fclose(info);
    unsigned needed = FAN_REPORT_DFID_NAME | FAN_REPORT_FID;
    if (!found || (flags & needed) != needed)
        return false;
    *target_fid = (flags & FAN_REPORT_TARGET_FID) != 0;
    return true;
}

}  // namespace

void kernel_device_adopt_fanotify(int fd) {
    bool target_fid = false;
    if (fd >= 0 && !adopted_group_flags(fd, &target_fid)) {
        close(fd);  // not a group this source can read: the next clone starts a new one
        fd = -1;
    }
    int old = handover.adopted_group.exchange(fd);
    if (old >= 0)
        close(old);
}

bool kernel_device_has_adopted_fanotify() {
    return handover.adopted_group.load() >= 0;
}

void kernel_device_on_new_fanotify(void (*fn)(int fd)) {
    handover.new_group_hook.store(fn);
}

int fanotify_source_create(uint32_t types, kernel_source** out) {
    unique_fd fan(handover.adopted_group.exchange(-1));
    bool target_fid = false;
    if (fan.valid() && !adopted_group_flags(fan.get(), &target_fid))
        fan.reset();  // not a group this source can read: start a new one
    if (!fan.valid()) {
        unsigned int flags =
            FAN_CLASS_NOTIF | FAN_REPORT_DFID_NAME | FAN_REPORT_FID | FAN_CLOEXEC | FAN_NONBLOCK;
        fan.reset(fanotify_init(flags | FAN_REPORT_TARGET_FID, O_RDONLY | O_LARGEFILE | O_CLOEXEC));
        target_fid = fan.valid();
        if (!fan.valid() && errno == EINVAL)
            fan.reset(fanotify_init(flags, O_RDONLY | O_LARGEFILE | O_CLOEXEC));
        if (!fan.valid())
            return errno;
        if (auto hook = handover.new_group_hook.load())
            hook(fan.get());
    }
    // An adopted group keeps its status flags (non-blocking) and its marks; marking every file
    // system again adds the ones mounted since and changes nothing for the others.
    fcntl(fan.get(), F_SETFD, FD_CLOEXEC);

    uint64_t mask = 0;
    if (types & ((1u << KREC_TYPE_CREATE_FILE) | (1u << KREC_TYPE_CREATE_DIR)))
        mask |= FAN_CREATE;
    if (types & (1u << KREC_TYPE_DELETE))
        mask |= FAN_DELETE | FAN_DELETE_SELF;
    if (types & (1u << KREC_TYPE_STAT_CHANGED))
        mask |= FAN_ATTRIB;
    if (types & (1u << KREC_TYPE_RENAME))
        mask |= FAN_RENAME;
    if (types & (1u << KREC_TYPE_CONTENT_MODIFIED))
        mask |= FAN_MODIFY;

    auto* src = new (std::nothrow) fan_source;
    if (!src)
        return ENOMEM;
    src->base = {&FAN_OPS, false, false, 0};
    src->hurry.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    set_up_markers(src);
    src->fan = static_cast<unique_fd&&>(fan);
    src->target_fid = target_fid;
    src->mark_mask = mask | FAN_ONDIR;
    // Room for a read behind the events of another that wait for a name.
    src->raw_size = 2 * FAN_READ_SIZE;
    src->raw.reset(new (std::nothrow) char[src->raw_size]);
    if (!src->raw) {
        delete src;
        return ENOMEM;
    }
    src->open_items.reset(open("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (mask) {
        // Opened first: a mount made while the others are marked is seen at the first fill.
        src->mount_table.reset(open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
        int err = fan_sync_mounts(src);
        if (err) {
            delete src;
            return err;
        }
    }
    *out = &src->base;
    return 0;
}
