// The file systems the fanotify source watches, kept in step with the mount table.
//
// Every mounted file system that fanotify can watch gets one filesystem mark, whether it was
// mounted before the source started or later: the source looks at the mount table again
// whenever it changes (POLLPRI on /proc/self/mountinfo). A file system mounted several times
// (bind mounts) is one volume with several mounts; the root directory of each mount is an
// anchor from which the volume's paths are built. A volume no longer mounted anywhere is kept
// until the events queued before its unmount have been read, then forgotten with its names.
#include "platform/fan_source.h"

#include "common/log.h"
#include "platform/mounts.h"
#include "platform/volume_watch.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <unordered_set>

namespace {

constexpr const char* FAN_PSEUDO_FS[] = {
    "proc",    "sysfs",       "cgroup", "cgroup2",  "devpts",    "mqueue",     "debugfs",
    "tracefs", "securityfs",  "pstore", "bpf",      "configfs",  "fusectl",    "hugetlbfs",
    "autofs",  "binfmt_misc", "nsfs",   "efivarfs", "selinuxfs", "rpc_pipefs", "devtmpfs"};

bool is_pseudo_fs(const char* type) {
    for (const char* pseudo : FAN_PSEUDO_FS) {
        if (strcmp(type, pseudo) == 0)
            return true;
    }
    return false;
}

bool same_mount(const fan_mount& m, const mount_entry& e, const fan_volume& vol) {
    return m.mount_id == e.mount_id && vol.dev == e.dev && m.mount_point == e.mount_point;
}

// The root directory of each mount of vol, as the mount points show them now. A mount point
// covered by a later mount shows another file system and gives no anchor.
void find_anchors(fan_volume* vol) {
    vol->anchors.clear();
    vol->epoch++;  // paths built from an anchor that is gone lead nowhere now
    vol->mounts_epoch++;
    struct {
        file_handle head;
        unsigned char bytes[128];
    } room;
    std::string key;
    for (const fan_mount& m : vol->mounts) {
        room.head.handle_bytes = sizeof room.bytes;
        int mount_id = 0;
        if (name_to_handle_at(AT_FDCWD, m.mount_point.c_str(), &room.head, &mount_id, 0) != 0 ||
            static_cast<uint32_t>(mount_id) != m.mount_id)
            continue;
        fan_handle_key(&key, &room.head);
        vol->anchors.emplace(key, m.mount_point);  // the first mount of a directory names it
    }
    for (const fan_upper& u : vol->uppers)
        vol->anchors[u.upper_key] = u.mount_point;  // an overlay's upper directory: its paths
}

// Records how the file system of e is watched, and logs it once when that changed.
void note_watch(const mount_entry& e, volume_watch_kind kind, const std::string& why) {
    if (!volume_watch_record(e.dev, kind, why.c_str()))
        return;
    if (kind == VOLUME_WATCH_UPPER)
        log_error("fanotify: %s (%s) is watched through its upper layer", e.mount_point, e.fs_type);
    else if (kind == VOLUME_WATCH_NONE)
        log_critical(
            "fanotify: %s (%s) cannot be watched as a whole: %s; only the "
            "directories clients register on it are watched, one by one",
            e.mount_point, e.fs_type, why.c_str());
}

}  // namespace

bool fan_open_mount(const fan_volume* vol, fan_mount* m) {
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

int fan_sync_mounts(fan_source* src) {
    mount_entry* list = nullptr;
    int count = 0;
    int err = mount_list_read(&list, &count);
    if (err)
        return err;
    for (auto& vol : src->volumes) {
        for (fan_mount& m : vol->mounts)
            m.listed = false;
    }
    bool changed_uppers = false;  // an overlay came: its upper's volume needs its anchors
    std::unordered_set<fan_volume*> changed;
    for (int i = 0; i < count; i++) {
        const mount_entry& e = list[i];
        if (is_pseudo_fs(e.fs_type))
            continue;
        fan_mount* known = nullptr;
        for (auto& vol : src->volumes) {
            for (fan_mount& m : vol->mounts) {
                if (same_mount(m, e, *vol))
                    known = &m;
            }
        }
        if (known) {
            known->listed = true;
            continue;
        }
        if (fan_overlay_listed(src, e.mount_id))
            continue;
        struct statfs sfs;
        fsid_t zero = {};
        if (statfs(e.mount_point, &sfs) != 0) {
            note_watch(
                e, VOLUME_WATCH_NONE,
                std::string("its mount point cannot be looked at (") + strerror(errno) + ")");
            continue;
        }
        if (memcmp(&sfs.f_fsid, &zero, sizeof zero) == 0) {
            // FUSE and some network file systems report no fsid, without which fanotify
            // cannot name what changed: said once, and watched directory by directory.
            note_watch(e, VOLUME_WATCH_NONE, "it reports no file-system id (fsid)");
            continue;
        }
        fan_volume* vol = fan_find_volume(src, sfs.f_fsid);
        // A file system mounted again after it was gone is a new superblock: mark it again,
        // and forget what was known of its directories (it may have changed meanwhile).
        if ((!vol || vol->unmounted) &&
            fanotify_mark(src->fan.get(), FAN_MARK_ADD | FAN_MARK_FILESYSTEM, src->mark_mask,
                          AT_FDCWD, e.mount_point) != 0) {
            std::string why = std::string("fanotify cannot mark it (") + strerror(errno) + ")";
            if (fan_watch_overlay(src, e, &why) == 0) {
                note_watch(e, VOLUME_WATCH_UPPER, "");
                changed_uppers = true;
            } else {
                note_watch(e, VOLUME_WATCH_NONE, why);
            }
            continue;
        }
        note_watch(e, VOLUME_WATCH_WHOLE, "");
        if (!vol) {
            auto fresh = std::make_unique<fan_volume>();
            fresh->fsid = sfs.f_fsid;
            fresh->dev = e.dev;
            fresh->dirs.limit = FAN_DIRS_PER_GENERATION;
            vol = fresh.get();
            src->volumes.push_back(std::move(fresh));
        } else if (vol->unmounted) {
            fan_forget_dirs(vol);
            vol->unmounted = false;
        }
        fan_mount m;
        m.mount_point = e.mount_point;
        m.mount_id = e.mount_id;
        m.listed = true;
        vol->mounts.push_back(std::move(m));
        changed.insert(vol);
    }
    mount_list_free(list, count);
    fan_drop_overlays(src);
    for (auto& vol : src->volumes) {
        size_t before = vol->mounts.size();
        std::erase_if(vol->mounts, [](const fan_mount& m) { return !m.listed; });
        if (vol->mounts.size() != before)
            changed.insert(vol.get());
        if (vol->mounts.empty() && vol->uppers.empty())
            vol->unmounted = true;  // its anchors stay, to name the events still queued
        else if (changed.count(vol.get()) || changed_uppers)
            find_anchors(vol.get());
    }
    return 0;
}

void fan_drop_unmounted(fan_source* src) {
    std::erase_if(src->volumes, [](const auto& vol) { return vol->unmounted; });
}

void fan_forget_dirs(fan_volume* vol) {
    gen_clear(&vol->dirs);
    vol->epoch++;
}
