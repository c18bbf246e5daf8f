// Naming the directories of fanotify events, which report a directory by its handle.
//
// By the time an event is read its directory may have been renamed or removed, so the handle
// alone often leads nowhere. The events themselves name directories: a create, removal or
// rename of a directory carries the directory's own handle beside its parent's handle and its
// name. Each volume therefore keeps a tree of the directories it knows, handle -> (parent
// handle, name), rooted at the root directories of its mounts (the anchors), and fed from
// three places, in this order:
//   1. the entry events already translated (fan_learn_dir), which keep the tree as it was at
//      the event being translated, renames included, without visiting what lies below;
//   2. the first later event, among those read but not translated yet, that moves or removes
//      the directory: until then it had the name that event gives as its old one. This names
//      the directories of a tree removed with rm -rf, whose files' removals come first;
//   3. the file system (open_by_handle_at), for a directory that still exists and that no
//      event named, walking up through ".." until a known directory or an anchor.
// A directory none of them can name is UNNAMED; the reader then waits for the next read or
// gives up with a notice. A path is only ever built from these sources: a wrong path is worse
// than a notice.
//
// Paths are computed from the tree and cached in each directory; a move of a known directory
// moves its volume's epoch on, which makes every cached path stale at once.
#include "platform/fan_source.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// Directories between an event's directory and its volume's anchor: a longer chain is taken
// for a loop left by lost events.
constexpr int FAN_MAX_DEPTH = 512;
constexpr size_t FAN_HANDLE_MAX = 128;

void append_name(std::string* path, const std::string& name) {
    if (path->size() != 1)
        path->push_back('/');
    path->append(name);
}

// The handle stored in a key, in room aligned for the kernel.
struct handle_room {
    file_handle head;
    unsigned char bytes[FAN_HANDLE_MAX];
};

bool handle_of_key(const std::string& key, handle_room* room) {
    if (key.size() < sizeof(int) || key.size() - sizeof(int) > FAN_HANDLE_MAX)
        return false;
    memcpy(&room->head.handle_type, key.data(), sizeof(int));
    room->head.handle_bytes = static_cast<unsigned>(key.size() - sizeof(int));
    memcpy(room->bytes, key.data() + sizeof(int), room->head.handle_bytes);
    return true;
}

// The key of the directory at path relative to the one open at fd, and the mount it is
// reached through, or false.
bool key_at(int fd, const char* path, std::string* key, uint32_t* mount_id) {
    handle_room room;
    room.head.handle_bytes = FAN_HANDLE_MAX;
    int id = 0;
    if (name_to_handle_at(fd, path, &room.head, &id, 0) != 0)
        return false;
    *mount_id = static_cast<uint32_t>(id);
    fan_handle_key(key, &room.head);
    return true;
}

// The kernel's name for an open item: the names of the directories above it, as seen through
// the mount it was opened through (for an item outside that mount's part of the file system,
// from the file system's root).
bool name_of(const fan_source* src, int fd, char (&path)[PATH_MAX], size_t* length) {
    char link[64];
    bool near = src->open_items.valid();
    snprintf(link, sizeof link, near ? "%d" : "/proc/self/fd/%d", fd);
    ssize_t n = readlinkat(near ? src->open_items.get() : AT_FDCWD, link, path, sizeof path);
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof path) || path[0] != '/')
        return false;
    path[n] = '\0';
    *length = static_cast<size_t>(n);
    return true;
}

// What looking an item up through one mount gave: a result, or nothing to say (opened
// through a mount that does not show it, while another may).
enum class fan_lookup { PATH, OUT_OF_VIEW, UNNAMED, ELSEWHERE };

// Looks the item of key up through each mount of its volume in turn, with look(fd, mount)
// on the item opened through it, until one says more than ELSEWHERE. UNNAMED when the item no
// longer exists; OUT_OF_VIEW when no mount shows it.
template <typename Look>
fan_resolved look_up(fan_volume* vol, const std::string& key, const Look& look) {
    handle_room room;
    if (!handle_of_key(key, &room))
        return fan_resolved::UNNAMED;
    for (fan_mount& m : vol->mounts) {
        if (!fan_open_mount(vol, &m))
            continue;
        unique_fd fd(open_by_handle_at(m.fd.get(), &room.head, O_PATH | O_CLOEXEC));
        if (!fd.valid()) {
            if (errno == ESTALE || errno == ENOENT)
                return fan_resolved::UNNAMED;  // the same for every mount of the volume
            continue;
        }
        switch (look(static_cast<unique_fd&&>(fd), m.mount_id)) {
            case fan_lookup::PATH:
                return fan_resolved::PATH;
            case fan_lookup::OUT_OF_VIEW:
                return fan_resolved::OUT_OF_VIEW;
            case fan_lookup::UNNAMED:
                return fan_resolved::UNNAMED;
            case fan_lookup::ELSEWHERE:
                break;
        }
    }
    return fan_resolved::OUT_OF_VIEW;
}

// What the kernel's name of an open item ends with once the item was removed.
constexpr std::string_view DELETED_MARK = " (deleted)";

bool exists(int fd, struct stat* st) {
    return fstat(fd, st) == 0 && st->st_nlink > 0;
}

// The look-ahead over the events not yet translated: the first entry event of every directory
// handle among them.
void build_ahead(fan_source* src) {
    for (auto& vol : src->volumes)
        vol->ahead.clear();
    src->ahead_built = true;
    std::string key;
    for (size_t pos = src->raw_used; pos + FAN_EVENT_METADATA_LEN <= src->raw_have;) {
        const char* base = src->raw.get() + pos;
        fanotify_event_metadata meta;
        memcpy(&meta, base, sizeof meta);
        if (meta.event_len < FAN_EVENT_METADATA_LEN || meta.event_len > src->raw_have - pos)
            break;
        if ((meta.mask & FAN_ONDIR) && (meta.mask & (FAN_CREATE | FAN_DELETE | FAN_RENAME))) {
            fan_infos infos = fan_read_infos(base, &meta);
            const fan_name_ref& before = (meta.mask & FAN_RENAME) ? infos.old_name : infos.name;
            fan_volume* vol = infos.self.handle ? fan_find_volume(src, *infos.self.fsid) : nullptr;
            if (vol && before.handle && before.name) {
                fan_handle_key(&key, infos.self.handle);
                if (!vol->ahead.count(key)) {
                    std::string parent;
                    fan_handle_key(&parent, before.handle);
                    bool names_before = meta.mask & (FAN_DELETE | FAN_RENAME);
                    vol->ahead.emplace(key, fan_ahead{pos, names_before, parent, before.name});
                }
            }
        }
        pos += meta.event_len;
    }
}

bool is_known(fan_volume* vol, const std::string& key) {
    return vol->anchors.count(key) || gen_find(&vol->dirs, key) || vol->ahead.count(key);
}

// Walks up from directory key, open at fd through mount mount_id, learning its name and those
// of the directories above it up to one already known (or that a later event names) or an
// anchor. The names come from the kernel's name for it, last component first, the parents from
// "..", "../.." and so on from the item. An item outside the part of the file system the mount
// shows is not connected to it (no ".."), or leaves it at its root: ELSEWHERE. One that leads up to
// the file system's root without meeting a mount, or that lies below a directory out of view, is
// out of view.
fan_lookup walk_up(fan_source* src, fan_volume* vol, const std::string& key, unique_fd fd,
                   uint32_t mount_id) {
    struct stat st;
    char path[PATH_MAX];
    size_t length = 0;
    // The name first: one read after a removal would not be a name any more. The kernel marks
    // the name of a removed item with DELETED_MARK, so only a name that ends in it needs the
    // check that the item is still there (it may be a real name).
    if (!name_of(src, fd.get(), path, &length))
        return fan_lookup::UNNAMED;
    std::string_view name(path, length);
    if (name.ends_with(DELETED_MARK) && !exists(fd.get(), &st))
        return fan_lookup::UNNAMED;
    std::vector<std::pair<std::string, fan_dir>> chain;
    std::string current = key;
    std::string up;     // "..", "../..": the next directory above, from the item
    bool named = true;  // the names last as far as the item is reachable through its mount
    for (int depth = 0;; depth++) {
        if (depth > 0 && is_known(vol, current))
            break;
        up += depth ? "/.." : "..";
        std::string parent_key;
        uint32_t parent_mount = 0;
        if (depth == FAN_MAX_DEPTH)
            return fan_lookup::UNNAMED;
        if (!key_at(fd.get(), up.c_str(), &parent_key, &parent_mount))
            return exists(fd.get(), &st) ? fan_lookup::ELSEWHERE : fan_lookup::UNNAMED;
        if (parent_mount != mount_id)
            return fan_lookup::ELSEWHERE;
        if (parent_key == current)
            return fan_lookup::OUT_OF_VIEW;
        char* slash = strrchr(path, '/');
        named = named && slash && slash[1] != '\0';
        if (named) {
            chain.emplace_back(current, make_fan_dir(parent_key, slash + 1));
            if (slash == path)
                path[1] = '\0';  // "/" stays for the next step
            else
                *slash = '\0';
        }
        current = std::move(parent_key);
    }
    const fan_dir* above = gen_find(&vol->dirs, current);
    if (above && above->hidden_in == vol->mounts_epoch)
        return fan_lookup::OUT_OF_VIEW;
    if (!named)
        return fan_lookup::UNNAMED;  // out of names before a known directory: moved meanwhile
    for (auto& [k, dir] : chain)
        gen_insert(&vol->dirs, k, std::move(dir));
    src->walked_key = key;
    src->walked_dir = static_cast<unique_fd&&>(fd);
    return fan_lookup::PATH;
}

fan_resolved learn_from_file_system(fan_source* src, fan_volume* vol, const std::string& key) {
    fan_resolved r = look_up(vol, key, [&](unique_fd fd, uint32_t mount_id) {
        return walk_up(src, vol, key, static_cast<unique_fd&&>(fd), mount_id);
    });
    if (r == fan_resolved::OUT_OF_VIEW)
        gen_insert(&vol->dirs, key, make_fan_dir("", "", vol->mounts_epoch));
    return r;
}

// A directory not in the tree: from the look-ahead, else from the file system.
fan_resolved learn_dir(fan_source* src, fan_volume* vol, const std::string& key, size_t at) {
    if (!src->ahead_built)
        build_ahead(src);
    auto it = vol->ahead.find(key);
    if (it != vol->ahead.end() && it->second.pos >= at) {
        if (!it->second.names_before)
            return fan_resolved::UNNAMED;  // made later: not the directory this event meant
        gen_insert(&vol->dirs, key, make_fan_dir(it->second.parent, it->second.name));
        return fan_resolved::PATH;
    }
    return learn_from_file_system(src, vol, key);
}

fan_resolved dir_path(fan_source* src, fan_volume* vol, const std::string& key, size_t at,
                      int depth, std::string* out) {
    auto anchor = vol->anchors.find(key);
    if (anchor != vol->anchors.end()) {
        *out = anchor->second;
        return fan_resolved::PATH;
    }
    if (depth > FAN_MAX_DEPTH)
        return fan_resolved::UNNAMED;
    fan_dir* dir = gen_find(&vol->dirs, key);
    if (dir && dir->hidden_in != 0 && dir->hidden_in != vol->mounts_epoch) {
        gen_erase(&vol->dirs, key);  // a mount made since may show it
        dir = nullptr;
    }
    if (!dir) {
        fan_resolved r = learn_dir(src, vol, key, at);
        if (r != fan_resolved::PATH)
            return r;
        if (!(dir = gen_find(&vol->dirs, key)))
            return fan_resolved::UNNAMED;
    }
    if (dir->hidden_in != 0)
        return fan_resolved::OUT_OF_VIEW;
    if (dir->path_epoch == vol->epoch) {
        out->assign(dir->path());
        return fan_resolved::PATH;
    }
    // Copies: the map may change while the parent is named.
    std::string parent(dir->parent()), name(dir->name()), path;
    fan_resolved r = dir_path(src, vol, parent, at, depth + 1, &path);
    if (r != fan_resolved::PATH)
        return r;
    append_name(&path, name);
    if (path.size() >= PATH_MAX)
        return fan_resolved::UNNAMED;
    if ((dir = gen_find(&vol->dirs, key)))
        fan_dir_set_path(dir, path, vol->epoch);
    *out = std::move(path);
    return fan_resolved::PATH;
}

}  // namespace

fan_infos fan_read_infos(const char* base, const fanotify_event_metadata* meta) {
    fan_infos out;
    for (size_t off = meta->metadata_len;
         off + sizeof(fanotify_event_info_header) <= meta->event_len;) {
        auto* info = reinterpret_cast<const fanotify_event_info_fid*>(base + off);
        if (info->hdr.len < sizeof *info + sizeof(file_handle) ||
            off + info->hdr.len > meta->event_len)
            break;
        auto* handle = reinterpret_cast<const file_handle*>(info->handle);
        if (handle->handle_bytes > info->hdr.len - sizeof *info - sizeof(file_handle) ||
            handle->handle_bytes > FAN_HANDLE_MAX)
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

fan_resolved fan_dir_path(fan_source* src, fan_volume* vol, const std::string& key, size_t at,
                          std::string* out) {
    return dir_path(src, vol, key, at, 0, out);
}

fan_resolved fan_item_path(fan_source* src, fan_volume* vol, const std::string& key,
                           std::string* out, struct stat* st) {
    return look_up(vol, key, [&](unique_fd fd, uint32_t) {
        char path[PATH_MAX];
        size_t length = 0;
        if (!name_of(src, fd.get(), path, &length) || !exists(fd.get(), st))
            return fan_lookup::UNNAMED;
        // The name is checked by looking it up again: for an item outside the part of the file
        // system this mount shows, or hidden under a later mount, it leads elsewhere.
        struct stat seen;
        if (fstatat(AT_FDCWD, path, &seen, AT_SYMLINK_NOFOLLOW) != 0 || seen.st_dev != st->st_dev ||
            seen.st_ino != st->st_ino)
            return exists(fd.get(), st) ? fan_lookup::ELSEWHERE : fan_lookup::UNNAMED;
        out->assign(path, length);
        return fan_lookup::PATH;
    });
}

void fan_learn_dir(fan_volume* vol, const std::string& key, const std::string& parent,
                   const char* name) {
    if (vol->anchors.count(key))
        return;  // a mount shows it where it was mounted, wherever it moves
    fan_dir* dir = gen_find(&vol->dirs, key);
    if (dir && dir->hidden_in == 0 && dir->parent() == parent && dir->name() == name)
        return;
    if (dir)
        vol->epoch++;  // a known directory moved: every path below it changed
    gen_insert(&vol->dirs, key, make_fan_dir(parent, name));
}

fan_dir make_fan_dir(std::string_view parent, std::string_view name, uint64_t hidden_in) {
    fan_dir dir;
    dir.text.reset(new char[parent.size() + name.size()]);
    memcpy(dir.text.get(), parent.data(), parent.size());
    memcpy(dir.text.get() + parent.size(), name.data(), name.size());
    dir.parent_length = static_cast<uint16_t>(parent.size());
    dir.name_length = static_cast<uint16_t>(name.size());
    dir.hidden_in = hidden_in;
    return dir;
}

void fan_dir_set_path(fan_dir* dir, std::string_view path, uint64_t epoch) {
    size_t head = dir->parent_length + dir->name_length;
    if (path.size() > dir->path_length) {
        std::unique_ptr<char[]> text(new char[head + path.size()]);
        memcpy(text.get(), dir->text.get(), head);
        dir->text = std::move(text);
    }
    memcpy(dir->text.get() + head, path.data(), path.size());
    dir->path_length = static_cast<uint32_t>(path.size());
    dir->path_epoch = epoch;
}
