// The records the fanotify source hands out, written into its pending output: each event's
// header, its paths with their file information, and the dropped records. Calls no other part
// of the source, so every part may write records.
#include "platform/fan_source.h"

#include <sys/stat.h>

namespace {

// Path argument followed by the item's file information.
void append_item(std::vector<char>& out, const std::string& path, const krec_file_info& info) {
    krec_arg_header arg = {KREC_ARG_PATH, static_cast<uint16_t>(path.size() + 1)};
    fan_append(out, &arg, sizeof arg);
    fan_append(out, path.c_str(), path.size() + 1);
    arg = {KREC_ARG_FILE_INFO, KREC_FILE_INFO_SIZE};
    fan_append(out, &arg, sizeof arg);
    fan_append(out, &info, sizeof info);
}

}  // namespace

void fan_append(std::vector<char>& out, const void* p, size_t n) {
    const char* c = static_cast<const char*>(p);
    out.insert(out.end(), c, c + n);
}

// File information from the item's status st, or from ondir alone when st is null (not looked
// up, or gone): inode, uid and gid then stay 0; readers use the device and the mode only.
krec_file_info fan_info_from(const struct stat* st, uint32_t dev, bool ondir) {
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

// The file information of the item at path (relative to the directory open at dir_fd). Only
// a non-directory is looked up, by a caller that knows it still exists: its type and link
// count are not in the event. A directory's type is (its link count never counts as hard
// links), and a removed item has nothing left to look up (the name may even be taken by a new
// item by now).
krec_file_info fan_item_info(const char* path, uint32_t dev, bool ondir, int dir_fd) {
    struct stat st;
    bool found = !ondir && fstatat(dir_fd, path, &st, AT_SYMLINK_NOFOLLOW) == 0;
    return fan_info_from(found ? &st : nullptr, dev, ondir);
}

void fan_append_done(std::vector<char>& out) {
    uint16_t done = KREC_ARG_DONE;
    fan_append(out, &done, sizeof done);
}

void fan_append_dropped(std::vector<char>& out) {
    char rec[KREC_DROPPED_SIZE];
    krec_write_dropped(rec);
    fan_append(out, rec, sizeof rec);
}

// Events were lost on one volume only: a dropped record that names where it is mounted and its
// device, once per read.
void fan_append_volume_dropped(fan_source* src, fan_volume* vol) {
    if (vol->notice_read == src->reads || vol->mounts.empty())
        return;
    vol->notice_read = src->reads;
    krec_header h = {KREC_TYPE_DROPPED, -1};
    fan_append(src->pending, &h, sizeof h);
    append_item(src->pending, vol->mounts[0].mount_point, fan_info_from(nullptr, vol->dev, true));
    fan_append_done(src->pending);
}

// A record of type for one item, or for two (a rename: the old path then the new one).
void fan_append_record_info(fan_source* src, uint32_t type, bool ondir, int32_t pid,
                            const std::string& path1, const krec_file_info& info1,
                            const std::string* path2) {
    uint32_t word = type;
    if (ondir && src->base.extended_info)
        word |= KREC_FLAG_DIR_LEVEL;
    krec_header h = {word, pid};
    fan_append(src->pending, &h, sizeof h);
    append_item(src->pending, path1, info1);
    if (path2)
        append_item(src->pending, *path2, info1);
    fan_append_done(src->pending);
}

void fan_append_record(fan_source* src, uint32_t type, bool ondir, int32_t pid,
                       const std::string& path1, uint32_t dev, bool look_up,
                       const std::string* path2) {
    const std::string& item = path2 ? *path2 : path1;
    krec_file_info info =
        look_up ? fan_item_info(item.c_str(), dev, ondir) : fan_info_from(nullptr, dev, ondir);
    fan_append_record_info(src, type, ondir, pid, path1, info, path2);
}
