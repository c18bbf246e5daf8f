// Overlays watched through their upper layer.
//
// An overlay cannot be marked as a whole (fanotify needs file handles it can decode, which an
// overlay mounted as containers mount it does not give), but every change made through it is a
// change in its upper directory, which lies on an ordinary file system that can be marked. So
// the upper directory's file system is marked, and the upper directory becomes an anchor of its
// volume that names the overlay's mount point: a path below the upper directory is the same path
// below the overlay. Three things the overlay does in its upper layer mean something else in it:
// - a whiteout (a character device 0:0) made in place of a name is the name's removal;
// - a copy-up (a lower-layer item copied up before its first change) is made in the work
//   directory and renamed into place: the rename is a change of that item, not a new one;
// - an opaque directory (one made where a lower-layer directory was removed) replaces what was
//   below: a new directory.
// Events of the work directory itself lie outside the upper directory and name no overlay path.
#include "platform/fan_source.h"

#include "platform/mounts.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr char OVERLAY_FS_TYPE[] = "overlay";
constexpr char OVERLAY_OPAQUE_XATTR[] = "trusted.overlay.opaque";

// The value of option name ("upperdir") in a comma-separated option list, or "".
std::string option_value(const char* options, const char* name) {
    size_t n = strlen(name);
    for (const char* p = options; p && *p;) {
        const char* end = strchr(p, ',');
        size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
        if (len > n && strncmp(p, name, n) == 0 && p[n] == '=')
            return std::string(p + n + 1, len - n - 1);
        p = end ? end + 1 : nullptr;
    }
    return "";
}

fan_upper* find_upper(fan_source* src, uint32_t mount_id, fan_volume** vol_out = nullptr) {
    for (auto& vol : src->volumes) {
        for (fan_upper& u : vol->uppers) {
            if (u.mount_id == mount_id) {
                if (vol_out)
                    *vol_out = vol.get();
                return &u;
            }
        }
    }
    return nullptr;
}

}  // namespace

int fan_watch_overlay(fan_source* src, const mount_entry& e, std::string* why) {
    if (strcmp(e.fs_type, OVERLAY_FS_TYPE) != 0)
        return EOPNOTSUPP;
    fan_upper u;
    u.mount_id = e.mount_id;
    u.mount_point = e.mount_point;
    u.dev = e.dev;
    u.upper_dir = option_value(e.super_options, "upperdir");
    std::string work = option_value(e.super_options, "workdir"),
                lowers = option_value(e.super_options, "lowerdir");
    if (u.upper_dir.empty()) {
        *why = "an overlay without an upper layer";
        return EROFS;
    }
    fsid_t fsid;
    if (!fan_path_key(u.upper_dir, &u.upper_key, &fsid)) {
        int err = errno;
        *why = "its upper layer is out of view here";
        return err;
    }
    if (fanotify_mark(src->fan.get(), FAN_MARK_ADD | FAN_MARK_FILESYSTEM, src->mark_mask,
                      AT_FDCWD, u.upper_dir.c_str()) != 0) {
        int err = errno;
        *why = std::string("its upper layer cannot be marked (") + strerror(err) + ")";
        return err;
    }
    fsid_t work_fsid;
    if (!work.empty())
        fan_path_key(work + "/work", &u.work_key, &work_fsid);
    for (size_t at = 0; at <= lowers.size() && !lowers.empty();) {
        size_t colon = lowers.find(':', at);
        u.lowers.push_back(lowers.substr(at, colon == std::string::npos ? colon : colon - at));
        at = colon == std::string::npos ? lowers.size() + 1 : colon + 1;
    }
    u.listed = true;
    fan_volume* vol = fan_find_volume(src, fsid);
    if (!vol) {
        // Its own mount comes later in the table, and makes it a volume like any other.
        struct stat st;
        auto fresh = std::make_unique<fan_volume>();
        fresh->fsid = fsid;
        fresh->dev = stat(u.upper_dir.c_str(), &st) == 0 ? device_number_32(st.st_dev) : 0;
        fresh->dirs.limit = FAN_DIRS_PER_GENERATION;
        vol = fresh.get();
        src->volumes.push_back(std::move(fresh));
    }
    vol->anchors[u.upper_key] = u.mount_point;
    vol->epoch++;  // paths below the upper directory are the overlay's from now on
    vol->uppers.push_back(std::move(u));
    return 0;
}

bool fan_overlay_listed(fan_source* src, uint32_t mount_id) {
    fan_upper* u = find_upper(src, mount_id);
    if (u)
        u->listed = true;
    return u != nullptr;
}

void fan_drop_overlays(fan_source* src) {
    for (auto& vol : src->volumes) {
        size_t before = vol->uppers.size();
        std::erase_if(vol->uppers, [&](const fan_upper& u) {
            if (!u.listed)
                vol->anchors.erase(u.upper_key);
            return !u.listed;
        });
        if (vol->uppers.size() != before)
            vol->epoch++;
        for (fan_upper& u : vol->uppers)
            u.listed = false;  // until the next look at the mount table finds it again
    }
}

const fan_upper* fan_upper_of(const fan_volume* vol, const std::string& path) {
    for (const fan_upper& u : vol->uppers) {
        size_t n = u.mount_point.size();
        if (path.compare(0, n, u.mount_point) == 0 &&
            (n == 1 || path.size() == n || path[n] == '/'))
            return &u;
    }
    return nullptr;
}

const fan_upper* fan_upper_by_work(const fan_volume* vol, const std::string& key) {
    for (const fan_upper& u : vol->uppers) {
        if (!u.work_key.empty() && u.work_key == key)
            return &u;
    }
    return nullptr;
}

fan_appeared fan_classify_appeared(const fan_upper& u, const std::string& path) {
    std::string rel = path.substr(u.mount_point.size() == 1 ? 0 : u.mount_point.size());
    struct stat st;
    std::string upper = u.upper_dir + rel;
    if (lstat(upper.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == 0)
        return fan_appeared::WHITEOUT;
    char opaque = 0;
    if (lstat(upper.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
        lgetxattr(upper.c_str(), OVERLAY_OPAQUE_XATTR, &opaque, 1) == 1 && opaque == 'y')
        return fan_appeared::NEW;
    for (const std::string& lower : u.lowers) {
        if (lstat((lower + rel).c_str(), &st) == 0)
            return fan_appeared::COPY_UP;
    }
    return fan_appeared::NEW;
}

bool fan_path_key(const std::string& path, std::string* key, fsid_t* fsid) {
    union {
        file_handle handle;
        char bytes[sizeof(file_handle) + MAX_HANDLE_SZ];
    } h;
    h.handle.handle_bytes = MAX_HANDLE_SZ;
    int mount_id = 0;
    struct statfs fs;
    if (name_to_handle_at(AT_FDCWD, path.c_str(), &h.handle, &mount_id, 0) != 0 ||
        statfs(path.c_str(), &fs) != 0)
        return false;
    fan_handle_key(key, &h.handle);
    memcpy(fsid, &fs.f_fsid, sizeof *fsid);
    return true;
}
