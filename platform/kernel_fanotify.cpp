// The fanotify source: file-system events of every mounted volume as kernel records.
//
// One fanotify group reports directory-entry events by parent directory handle and name
// (FAN_REPORT_DFID_NAME), with a filesystem mark on each mounted, non-pseudo file system. A
// fill reads up to 256 KiB of events at once and translates them one by one into pending
// records, which are handed out whole; what does not fit waits for the next fill. Directory
// handles become paths through open_by_handle_at on the volume's mount point, opened for the
// duration of one fill only so that we never keep a volume busy, and a cache from handle to
// path, cleared whenever a directory is renamed or removed. An event whose directory cannot
// be resolved any more, or whose volume is unknown, becomes a dropped-events record; a queue
// overflow too.
//
// Cost. Under a storm of changes the kernel queues events one by one, and a reader that reads
// as soon as it can gets a handful per read: a wake-up of this thread and of the consumer for
// every few events, which costs more than everything else together. So after a read that
// returned little, the next read waits until FAN_BATCH_PAUSE_NS (1 ms) have passed since that
// read, and finds the queue fuller. The trade-off is latency: an event that arrives while a
// storm is going on reaches the consumer up to 1 ms later; the first event after a quiet
// spell is read at once, and a read that comes back full is followed at once by the next.
// Waiting also leaves a directory longer to be renamed or removed before its events are read,
// which resolution at read time already has to live with. Beyond that, a record only asks
// the file system what the event does not tell: directories and removed items take their type
// from the event, and a removed name's link-count change, which the same removal reports as a
// delete right after it, is not looked up at all.
#include "platform/dir_path_cache.h"
#include "platform/kernel_source.h"

#include "platform/mounts.h"
#include "platform/unique_fd.h"

#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>
#include <unistd.h>

namespace {

constexpr size_t FAN_READ_SIZE = 256 * 1024;
// Directory paths per cache generation (two are kept): more than the directories a busy tree
// has in use at once, at roughly 150 bytes each.
constexpr size_t FAN_CACHE_GENERATION = 16384;
// A read that returns less than this is a small batch: the next read waits FAN_BATCH_PAUSE_NS.
constexpr size_t FAN_SMALL_READ = FAN_READ_SIZE / 8;
constexpr long FAN_BATCH_PAUSE_NS = 1000000;  // 1 ms
// Events after a link-count change searched for the delete that covers it.
constexpr int FAN_COVER_LOOKAHEAD = 16;

constexpr const char* FAN_PSEUDO_FS[] = {
    "proc",    "sysfs",       "cgroup", "cgroup2",  "devpts",    "mqueue",     "debugfs",
    "tracefs", "securityfs",  "pstore", "bpf",      "configfs",  "fusectl",    "hugetlbfs",
    "autofs",  "binfmt_misc", "nsfs",   "efivarfs", "selinuxfs", "rpc_pipefs", "devtmpfs"};

// One place a volume is mounted. A file system mounted several times (bind mounts of parts of
// it) reports every change once for all of them; a handle is resolved through each mount in
// turn until one shows the item.
struct fan_mount {
    std::string mount_point;  // where it was mounted at clone time
    unique_fd fd;             // the mount point (for open_by_handle_at), open during a fill only
};

struct fan_volume {
    fsid_t fsid;
    uint32_t dev;  // 32-bit device number
    std::vector<fan_mount> mounts;
};

// What became of a handle: a path, an item that no longer exists (or cannot be looked up),
// or an item that exists but lies outside every mount of its volume in this namespace (a
// bind mount shows only part of a file system; its other changes are none of ours).
enum class fan_resolved { PATH, GONE, OUT_OF_VIEW };

struct fan_source {
    kernel_source base;
    unique_fd fan;
    bool target_fid = false;  // events carry the handle of a created or removed item
    std::vector<fan_volume> volumes;
    dir_path_cache dir_paths{{}, {}, FAN_CACHE_GENERATION};  // fsid + handle -> directory path
    // Reused for every event, so that their buffers are allocated once.
    std::string key;  // lookup key in dir_paths
    std::string path1, path2;
    std::vector<char> raw;  // events read, [raw_used, raw_have) not yet translated
    size_t raw_used = 0;
    size_t raw_have = 0;
    std::vector<char> pending;  // translated records, [pending_used, size) not yet handed out
    size_t pending_used = 0;
    bool small_read = false;  // the last read returned a small batch: pause before the next
    timespec next_read{};     // CLOCK_MONOTONIC time before which the next read waits
};

// An info record of an event: directory handle and name, or (name null) the item's handle.
struct fan_name_ref {
    const fsid_t* fsid = nullptr;
    const file_handle* handle = nullptr;
    const char* name = nullptr;
};

bool is_pseudo_fs(const char* type) {
    for (const char* pseudo : FAN_PSEUDO_FS) {
        if (strcmp(type, pseudo) == 0)
            return true;
    }
    return false;
}

fan_volume* find_volume(fan_source* src, const fsid_t& fsid) {
    for (auto& vol : src->volumes) {
        if (memcmp(&vol.fsid, &fsid, sizeof fsid) == 0)
            return &vol;
    }
    return nullptr;
}

// The mount's descriptor, opened on first use in a fill. False when the volume is no longer
// mounted there (unmounted, or something else mounted over it since).
bool open_mount(const fan_volume* vol, fan_mount* m) {
    if (m->fd.valid())
        return true;
    unique_fd fd(open(m->mount_point.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct statfs sfs;
    if (!fd.valid() || fstatfs(fd.get(), &sfs) != 0 ||
        memcmp(&sfs.f_fsid, &vol->fsid, sizeof sfs.f_fsid) != 0)
        return false;
    m->fd = static_cast<unique_fd&&>(fd);
    return true;
}

// The path of an open item as this namespace sees it, checked by looking the path up again:
// for an item outside the mount it was opened through, the kernel's name for it is not a
// path that leads to it.
bool visible_path(int fd, const struct stat& st, char (&path)[PATH_MAX], size_t* length) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path);
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof path) || path[0] != '/')
        return false;
    path[n] = '\0';
    struct stat seen;
    if (fstatat(AT_FDCWD, path, &seen, AT_SYMLINK_NOFOLLOW) != 0 || seen.st_dev != st.st_dev ||
        seen.st_ino != st.st_ino)
        return false;
    *length = static_cast<size_t>(n);
    return true;
}

void handle_key(std::string* key, const fsid_t& fsid, const file_handle* handle) {
    key->assign(reinterpret_cast<const char*>(&fsid), sizeof fsid);
    key->append(reinterpret_cast<const char*>(handle), sizeof *handle + handle->handle_bytes);
}

// The path behind a handle, from the cache or the file system (cached only for directories,
// including those out of view, cached as an empty path).
fan_resolved resolve_handle(fan_source* src, fan_volume* vol, const file_handle* handle, bool cache,
                            std::string* out) {
    std::string& key = src->key;
    handle_key(&key, vol->fsid, handle);
    if (const std::string* cached = dir_cache_find(&src->dir_paths, key)) {
        *out = *cached;
        return out->empty() ? fan_resolved::OUT_OF_VIEW : fan_resolved::PATH;
    }
    fan_resolved result = fan_resolved::GONE;
    for (fan_mount& m : vol->mounts) {
        if (!open_mount(vol, &m))
            continue;
        unique_fd item(
            open_by_handle_at(m.fd.get(), const_cast<file_handle*>(handle), O_PATH | O_CLOEXEC));
        if (!item.valid() && errno != ESTALE && errno != ENOENT)
            continue;  // refused through this mount; another may do
        struct stat st;
        if (!item.valid() || fstat(item.get(), &st) != 0 || st.st_nlink == 0)
            return fan_resolved::GONE;  // the same for every mount of the volume
        char path[PATH_MAX];
        size_t length = 0;
        if (!visible_path(item.get(), st, path, &length)) {
            result = fan_resolved::OUT_OF_VIEW;
            continue;
        }
        out->assign(path, length);
        result = fan_resolved::PATH;
        break;
    }
    if (result == fan_resolved::GONE || !cache)
        return result;
    dir_cache_insert(&src->dir_paths, key, result == fan_resolved::PATH ? *out : std::string());
    return result;
}

// Absolute path of the item a record names.
fan_resolved resolve_item(fan_source* src, const fan_name_ref& ref, fan_volume** vol,
                          std::string* out) {
    if (!ref.handle || !(*vol = find_volume(src, *ref.fsid)))
        return fan_resolved::GONE;
    if (!ref.name)  // the item's own handle
        return resolve_handle(src, *vol, ref.handle, false, out);
    fan_resolved r = resolve_handle(src, *vol, ref.handle, true, out);
    if (r != fan_resolved::PATH)
        return r;
    if (strcmp(ref.name, ".") != 0) {
        if (out->size() > 1)
            out->push_back('/');
        out->append(ref.name);
    }
    return out->size() < PATH_MAX ? fan_resolved::PATH : fan_resolved::GONE;
}

void append(std::vector<char>& out, const void* p, size_t n) {
    const char* c = static_cast<const char*>(p);
    out.insert(out.end(), c, c + n);
}

// File information from the item's status st, or from ondir alone when st is null (not looked
// up, or gone): inode, uid and gid then stay 0; readers use the device and the mode only.
krec_file_info info_from(const struct stat* st, uint32_t dev, bool ondir) {
    krec_file_info info = {};
    info.dev = dev;
    if (st) {
        info.inode = st->st_ino;
        info.mode = st->st_mode;
        if (!S_ISDIR(st->st_mode) && st->st_nlink > 1)
            info.mode |= KREC_MODE_HARDLINK;
        info.uid = st->st_uid;
        info.gid = st->st_gid;
    } else {
        info.mode = ondir ? S_IFDIR : S_IFREG;  // the type is all we know
    }
    return info;
}

// The file information of the item at path. Only a non-directory that still exists (look_up)
// is looked up: its type and link count are not in the event. A directory's type is (its link
// count never counts as hard links), and a removed item has nothing left to look up (the name
// may even be taken by a new item by now).
krec_file_info item_info(const std::string& path, uint32_t dev, bool ondir, bool look_up) {
    struct stat st;
    bool found =
        !ondir && look_up && fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    return info_from(found ? &st : nullptr, dev, ondir);
}

// Path argument followed by the item's file information.
void append_item(std::vector<char>& out, const std::string& path, const krec_file_info& info) {
    krec_arg_header arg = {KREC_ARG_PATH, static_cast<uint16_t>(path.size() + 1)};
    append(out, &arg, sizeof arg);
    append(out, path.c_str(), path.size() + 1);
    arg = {KREC_ARG_FILE_INFO, KREC_FILE_INFO_SIZE};
    append(out, &arg, sizeof arg);
    append(out, &info, sizeof info);
}

void append_dropped(std::vector<char>& out) {
    char rec[KREC_DROPPED_SIZE];
    krec_write_dropped(rec);
    append(out, rec, sizeof rec);
}

// One record of type with one or two items (a rename has two), or a dropped record.
void translate_one(fan_source* src, uint32_t type, bool ondir, int32_t pid,
                   const fan_name_ref& first, const fan_name_ref* second) {
    std::string& path1 = src->path1;
    std::string& path2 = src->path2;
    fan_volume *vol1 = nullptr, *vol2 = nullptr;
    // Removing a name changes the item's link count: an attribute event that either names
    // no parent or names the removed entry. The delete record that follows covers it.
    bool unlink_attrib = type == KREC_TYPE_STAT_CHANGED && !ondir;
    fan_resolved r1 = resolve_item(src, first, &vol1, &path1);
    fan_resolved r2 = second ? resolve_item(src, *second, &vol2, &path2) : r1;
    if (r1 == fan_resolved::OUT_OF_VIEW && r2 == fan_resolved::OUT_OF_VIEW)
        return;  // nothing this namespace can see changed
    if (r1 != fan_resolved::PATH || r2 != fan_resolved::PATH) {
        if (!(unlink_attrib && !first.name))
            append_dropped(src->pending);
        return;
    }
    krec_file_info info1 = {};
    if (unlink_attrib) {
        struct stat st;
        bool found = fstatat(AT_FDCWD, path1.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (!found && errno == ENOENT)
            return;
        info1 = info_from(found ? &st : nullptr, vol1->dev, ondir);
    } else if (!second) {
        info1 = item_info(path1, vol1->dev, ondir, type != KREC_TYPE_DELETE);
    }
    uint32_t word = type;
    if (ondir && src->base.extended_info)
        word |= KREC_FLAG_DIR_LEVEL;
    krec_header h = {word, pid};
    append(src->pending, &h, sizeof h);
    if (!second) {
        append_item(src->pending, path1, info1);
    } else {
        // One item under two names: the old one is gone, the new one tells what it is.
        krec_file_info info = item_info(path2, vol2->dev, ondir, true);
        info.dev = vol1->dev;
        append_item(src->pending, path1, info);
        info.dev = vol2->dev;
        append_item(src->pending, path2, info);
    }
    uint16_t done = KREC_ARG_DONE;
    append(src->pending, &done, sizeof done);
}

// The info records of an event: directory handle and name (plain, old and new) and the item's
// own handle. base: the event in the read buffer (4-byte aligned only); meta: its header.
struct fan_infos {
    fan_name_ref name, old_name, new_name, self;
};

fan_infos read_infos(const char* base, const fanotify_event_metadata* meta) {
    fan_infos out;
    for (size_t off = meta->metadata_len;
         off + sizeof(fanotify_event_info_header) <= meta->event_len;) {
        auto* info = reinterpret_cast<const fanotify_event_info_fid*>(base + off);
        if (info->hdr.len < sizeof *info + sizeof(file_handle) ||
            off + info->hdr.len > meta->event_len)
            break;
        auto* handle = reinterpret_cast<const file_handle*>(info->handle);
        if (handle->handle_bytes > info->hdr.len - sizeof *info - sizeof(file_handle))
            break;
        fan_name_ref ref;
        ref.fsid = reinterpret_cast<const fsid_t*>(&info->fsid);
        ref.handle = handle;
        ref.name = reinterpret_cast<const char*>(ref.handle->f_handle + ref.handle->handle_bytes);
        if (info->hdr.info_type == FAN_EVENT_INFO_TYPE_DFID_NAME)
            out.name = ref;
        else if (info->hdr.info_type == FAN_EVENT_INFO_TYPE_OLD_DFID_NAME)
            out.old_name = ref;
        else if (info->hdr.info_type == FAN_EVENT_INFO_TYPE_NEW_DFID_NAME)
            out.new_name = ref;
        else if (info->hdr.info_type == FAN_EVENT_INFO_TYPE_FID)
            out.self = {ref.fsid, ref.handle, nullptr};
        off += info->hdr.len;
    }
    return out;
}

bool same_item(const fan_name_ref& a, const fan_name_ref& b) {
    return a.handle && b.handle && memcmp(a.fsid, b.fsid, sizeof *a.fsid) == 0 &&
           a.handle->handle_bytes == b.handle->handle_bytes &&
           a.handle->handle_type == b.handle->handle_type &&
           memcmp(a.handle->f_handle, b.handle->f_handle, a.handle->handle_bytes) == 0;
}

// Whether one of the next few events in the read buffer, from next on, is the delete of a
// name of item: the removal whose link-count change item's event reports (unlink reports the
// change, then the delete, with the item's handle when the group asks for target handles).
bool removal_follows(const fan_source* src, const char* next, const fan_name_ref& item) {
    const char* end = src->raw.data() + src->raw_have;
    for (int i = 0;
         i < FAN_COVER_LOOKAHEAD && end - next >= static_cast<ptrdiff_t>(FAN_EVENT_METADATA_LEN);
         i++) {
        fanotify_event_metadata meta;
        memcpy(&meta, next, sizeof meta);
        if (meta.event_len < FAN_EVENT_METADATA_LEN ||
            meta.event_len > static_cast<size_t>(end - next) ||
            meta.vers != FANOTIFY_METADATA_VERSION)
            return false;
        if ((meta.mask & FAN_DELETE) && !(meta.mask & FAN_ONDIR) &&
            same_item(read_infos(next, &meta).self, item))
            return true;
        next += meta.event_len;
    }
    return false;
}

// base: the event in the read buffer (4-byte aligned only); meta: a copy of its header.
void translate_event(fan_source* src, const char* base, const fanotify_event_metadata* meta) {
    if (meta->vers != FANOTIFY_METADATA_VERSION || (meta->mask & FAN_Q_OVERFLOW)) {
        dir_cache_clear(&src->dir_paths);  // lost events may have moved directories
        append_dropped(src->pending);
        return;
    }
    fan_infos infos = read_infos(base, meta);
    fan_name_ref name = infos.name, old_name = infos.old_name, new_name = infos.new_name;
    fan_name_ref self = infos.self;
    if (!name.handle)
        name = self;  // no parent reported: a link-count change, or a volume's root
    bool ondir = meta->mask & FAN_ONDIR;
    int32_t pid = meta->pid;
    // fanotify merges a create and a delete of one name and loses their order. Events that
    // carry the item's own handle merge only for one item, created first; otherwise an item
    // that exists now was deleted first.
    bool deleted_first = false;
    std::string path;
    fan_volume* vol = nullptr;
    struct stat st;
    if (!src->target_fid && (meta->mask & FAN_CREATE) && (meta->mask & FAN_DELETE) &&
        resolve_item(src, name, &vol, &path) == fan_resolved::PATH &&
        fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        translate_one(src, KREC_TYPE_DELETE, ondir, pid, name, nullptr);
        deleted_first = true;
    }
    if (meta->mask & FAN_CREATE)
        translate_one(src, ondir ? KREC_TYPE_CREATE_DIR : KREC_TYPE_CREATE_FILE, ondir, pid, name,
                      nullptr);
    if (meta->mask & FAN_MODIFY)
        translate_one(src, KREC_TYPE_CONTENT_MODIFIED, ondir, pid, name, nullptr);
    // A link-count change reported by the item's handle alone and followed by the removal of
    // one of its names is that removal: its delete record covers it, and the item (often gone
    // already) is not looked up.
    if ((meta->mask & FAN_ATTRIB) &&
        !(!ondir && !name.name && removal_follows(src, base + meta->event_len, name)))
        translate_one(src, KREC_TYPE_STAT_CHANGED, ondir, pid, name, nullptr);
    if (meta->mask & FAN_RENAME) {
        translate_one(src, KREC_TYPE_RENAME, ondir, pid, old_name, &new_name);
        if (ondir)  // every path below the directory changed
            dir_cache_clear(&src->dir_paths);
    }
    if ((meta->mask & FAN_DELETE) && !deleted_first) {
        translate_one(src, KREC_TYPE_DELETE, ondir, pid, name, nullptr);
        // A directory can only be removed empty, so its own entry is the only one that goes
        // stale; without its handle in the event it cannot be told from the others.
        if (ondir && self.handle) {
            handle_key(&src->key, *self.fsid, self.handle);
            dir_cache_erase(&src->dir_paths, src->key);
        } else if (ondir) {
            dir_cache_clear(&src->dir_paths);
        }
    }
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

int fan_fill(kernel_source* s, char* buf, size_t size, size_t* produced) {
    auto* src = reinterpret_cast<fan_source*>(s);
    size_t out = 0;
    int err = 0;
    while (hand_out(src, buf, size, &out)) {
        src->pending.clear();
        src->pending_used = 0;
        if (src->raw_used >= src->raw_have) {
            if (out > 0)
                break;
            if (!ksrc_may_read(&src->base)) {
                err = EAGAIN;
                break;
            }
            if (src->small_read &&
                !src->base.draining)  // let the queue fill (see the note at the top)
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &src->next_read, nullptr);
            ssize_t n = read(src->fan.get(), src->raw.data(), src->raw.size());
            src->small_read = n > 0 && static_cast<size_t>(n) < FAN_SMALL_READ;
            if (src->small_read) {
                clock_gettime(CLOCK_MONOTONIC, &src->next_read);
                src->next_read.tv_nsec += FAN_BATCH_PAUSE_NS;
                if (src->next_read.tv_nsec >= 1000000000) {
                    src->next_read.tv_sec++;
                    src->next_read.tv_nsec -= 1000000000;
                }
            }
            if (n <= 0) {
                err = n < 0 && errno != EINTR ? errno : EAGAIN;
                break;
            }
            src->raw_used = 0;
            src->raw_have = static_cast<size_t>(n);
        }
        const char* event = src->raw.data() + src->raw_used;
        size_t left = src->raw_have - src->raw_used;
        fanotify_event_metadata meta;
        if (left >= sizeof meta)
            memcpy(&meta, event, sizeof meta);
        if (left < sizeof meta || meta.event_len < FAN_EVENT_METADATA_LEN ||
            meta.event_len > left) {
            src->raw_used = src->raw_have;  // never happens: the kernel hands out whole events
            append_dropped(src->pending);
            continue;
        }
        translate_event(src, event, &meta);
        src->raw_used += meta.event_len;
    }
    for (auto& vol : src->volumes) {
        for (auto& m : vol.mounts)
            m.fd.reset();
    }
    *produced = out;
    return out ? 0 : err;
}

int fan_wait_fd(kernel_source* s) {
    return reinterpret_cast<fan_source*>(s)->fan.get();
}

void fan_destroy(kernel_source* s) {
    delete reinterpret_cast<fan_source*>(s);
}

const kernel_source_ops FAN_OPS = {fan_fill, fan_wait_fd, fan_destroy};

// Marks every mounted file system that fanotify can watch; failures are skipped quietly.
int mark_volumes(fan_source* src, uint64_t mask) {
    mount_entry* mounts = nullptr;
    int count = 0;
    int err = mount_list_read(&mounts, &count);
    if (err)
        return err;
    for (int i = 0; i < count; i++) {
        const mount_entry& m = mounts[i];
        struct statfs sfs;
        if (is_pseudo_fs(m.fs_type) || statfs(m.mount_point, &sfs) != 0)
            continue;
        fsid_t zero = {};
        if (memcmp(&sfs.f_fsid, &zero, sizeof zero) == 0)
            continue;
        fan_mount mount;
        mount.mount_point = m.mount_point;
        if (fan_volume* known = find_volume(src, sfs.f_fsid)) {
            known->mounts.push_back(std::move(mount));  // marked already, through another mount
            continue;
        }
        if (fanotify_mark(src->fan.get(), FAN_MARK_ADD | FAN_MARK_FILESYSTEM, mask, AT_FDCWD,
                          m.mount_point) != 0)
            continue;
        fan_volume vol;
        vol.fsid = sfs.f_fsid;
        vol.dev = m.dev;
        vol.mounts.push_back(std::move(mount));
        src->volumes.push_back(std::move(vol));
    }
    mount_list_free(mounts, count);
    return 0;
}

std::atomic<int> adopted_group{-1};
std::atomic<void (*)(int)> new_group_hook{nullptr};

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
    int old = adopted_group.exchange(fd);
    if (old >= 0)
        close(old);
}

bool kernel_device_has_adopted_fanotify() {
    return adopted_group.load() >= 0;
}

void kernel_device_on_new_fanotify(void (*fn)(int fd)) {
    new_group_hook.store(fn);
}

int fanotify_source_create(uint32_t types, kernel_source** out) {
    unique_fd fan(adopted_group.exchange(-1));
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
        if (auto hook = new_group_hook.load())
            hook(fan.get());
    }
    // An adopted group keeps its status flags (non-blocking) and its marks; marking every file
    // system again adds the ones mounted since and changes nothing for the others.
    fcntl(fan.get(), F_SETFD, FD_CLOEXEC);

    uint64_t mask = 0;
    if (types & ((1u << KREC_TYPE_CREATE_FILE) | (1u << KREC_TYPE_CREATE_DIR)))
        mask |= FAN_CREATE;
    if (types & (1u << KREC_TYPE_DELETE))
        mask |= FAN_DELETE;
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
    src->fan = static_cast<unique_fd&&>(fan);
    src->target_fid = target_fid;
    src->raw.resize(FAN_READ_SIZE);
    if (mask) {
        int err = mark_volumes(src, mask | FAN_ONDIR);
        if (err) {
            delete src;
            return err;
        }
    }
    *out = &src->base;
    return 0;
}
