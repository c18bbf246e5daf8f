// The fanotify source's state, shared by its parts: reading and translating events
// (kernel_fanotify.cpp), naming directories (fan_names.cpp), keeping the watched volumes in
// step with the mount table (fan_volumes.cpp), overlays (fan_overlay.cpp), directory watches
// (fan_dirs.cpp), and below them all, writing records (fan_records.cpp) and the lookups of
// handle keys and volumes (fan_keys.cpp). No part calls one above it. Internal to the device
// layer. Single-threaded: only the clone's reader uses a source.
#pragma once

#include "common/log_throttle.h"
#include "platform/generation_map.h"
#include "platform/kernel_source.h"
#include "platform/unique_fd.h"

#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// One place a volume is mounted. A file system mounted several times (bind mounts of parts of
// it) reports every change once for all of them.
struct fan_mount {
    std::string mount_point;
    uint32_t mount_id = 0;  // with mount_point and the device: tells a new mount from this one
    unique_fd fd;           // the mount point (for open_by_handle_at), open during a fill only
    bool listed = false;    // found in the mount table by the latest look at it
};

// Directories known per volume and generation (two are kept): more than a busy tree has in
// use at once, at roughly 200 bytes each.
constexpr size_t FAN_DIRS_PER_GENERATION = 16384;

// A directory known by its handle: its name in its parent, and its path as last computed.
// The path is good while path_epoch equals its volume's epoch, which every change of a known
// directory's place moves on: a rename changes the paths below it without visiting them.
// The three strings share one allocation (parent key, name, path, back to back): a busy tree
// has tens of thousands of directories known at once, and this keeps each at about 170 bytes.
struct fan_dir {
    std::unique_ptr<char[]> text;
    uint16_t parent_length = 0;
    uint16_t name_length = 0;
    uint32_t path_length = 0;
    uint64_t path_epoch = 0;
    // Exists, but no mount of this namespace showed it while the volume's mounts were as in
    // mounts_epoch (0: shown).
    uint64_t hidden_in = 0;

    std::string_view parent() const { return {text.get(), parent_length}; }  // its key
    std::string_view name() const { return {text.get() + parent_length, name_length}; }
    std::string_view path() const {
        return {text.get() + parent_length + name_length, path_length};
    }
};

// A directory named name in the directory whose key is parent, its path not computed yet.
fan_dir make_fan_dir(std::string_view parent, std::string_view name, uint64_t hidden_in = 0);
// Stores path as dir's path, good in epoch.
void fan_dir_set_path(fan_dir* dir, std::string_view path, uint64_t epoch);

// The first event among those not yet translated that moves or removes a directory: it names
// the directory as it was until then (parent key and name).
struct fan_ahead {
    size_t pos;  // offset of the event in the read buffer
    bool names_before;
    std::string parent, name;
};

// An overlay watched through its upper layer: the upper directory lies on a volume the source
// marks, and every change made through the overlay is a change there. Paths below the upper
// directory are the overlay's paths below its mount point (the upper directory is an anchor of
// its volume), and their records carry the overlay's device.
struct fan_upper {
    uint32_t mount_id = 0;  // the overlay's mount
    std::string mount_point;
    uint32_t dev = 0;        // the overlay's device
    std::string upper_dir;   // its path (as the mount table gives it)
    std::string upper_key;   // the upper directory's handle
    std::string work_key;    // the handle of the work directory's "work", where copy-ups start
    std::vector<std::string> lowers;  // the lower directories, top first
    bool listed = false;              // found in the mount table by the latest look at it
};

struct fan_volume {
    fsid_t fsid;
    uint32_t dev;  // 32-bit device number
    std::vector<fan_mount> mounts;
    // The root directory of each mount (key) and the mount point that shows it: where every
    // path of the volume starts.
    std::unordered_map<std::string, std::string> anchors;
    generation_map<fan_dir> dirs;
    uint64_t epoch = 1;
    uint64_t mounts_epoch = 1;  // moves on whenever a mount of the volume comes or goes
    // No longer in the mount table: its events still queued are named from what is known, and
    // it is forgotten once the queue has been read empty.
    bool unmounted = false;
    uint64_t notice_read = 0;  // the read whose events last gave it an unnamed-directory notice
    // The look-ahead over the events not translated yet (see fan_source::ahead_built).
    std::unordered_map<std::string, fan_ahead> ahead;
    // Overlays whose upper directory lies on this volume.
    std::vector<fan_upper> uppers;
};

// One client's interest in a directory of a volume that cannot be marked (see fan_dirs.cpp).
struct fan_dir_request {
    std::string path;
    uint32_t dev;
    bool add;
};

// Directory watches (inotify): the watched directories by watch descriptor, the directories
// clients registered (roots) with the number of clients of each, and the requests other threads
// made since the last fill, under requests_lock (the only part other threads touch).
struct fan_dirs {
    unique_fd inotify;
    struct watched {
        std::string path;
        uint32_t dev;
    };
    std::unordered_map<int, watched> by_wd;
    std::unordered_map<std::string, int> wd_of;
    std::unordered_map<std::string, uint32_t> roots;
    std::mutex requests_lock;
    std::vector<fan_dir_request> requests;
    bool full_logged = false;  // the limit of watches was met and logged
};

struct fan_source {
    kernel_source base;
    unique_fd fan;
    unique_fd mount_table;  // /proc/self/mountinfo: POLLPRI whenever a mount comes or goes
    // /proc/self/fd: the kernel's name of an open item is read relative to it, a lookup of one
    // component instead of four for every directory named from the file system. -1 without it.
    unique_fd open_items;
    bool mounts_changed = false;
    bool mounts_looked_at = false;  // the wait's poll just looked at mount_table: no look needed
    bool target_fid = false;  // entry events carry the handle of the created or removed item
    uint64_t mark_mask = 0;
    std::vector<std::unique_ptr<fan_volume>> volumes;
    // The directory the last walk up the file system started from, still open (O_PATH): the
    // item of the event that named it is looked at relative to it, one component instead of
    // its whole path. Let go at the next event and at the end of the fill.
    std::string walked_key;
    unique_fd walked_dir;
    // Reused for every event, so that their buffers are allocated once.
    std::string key;
    std::string path1, path2;
    // Events read, [raw_used, raw_have) not yet translated. Events from fresh_from on came with
    // the latest read: those may start to wait for more reads to be named. The event at
    // raw_used that has started (name_waiting) goes on waiting through later reads until
    // defer_until.
    // Allocated without being filled: only what reads reach becomes resident.
    std::unique_ptr<char[]> raw;
    size_t raw_size = 0;
    size_t raw_used = 0;
    size_t raw_have = 0;
    size_t fresh_from = 0;
    uint64_t reads = 0;
    bool deferred = false;      // raw_used waits for a read that may name its directory
    bool name_waiting = false;  // raw_used has waited before; its wait ends at defer_until
    timespec defer_until{};
    // Whether the volumes' look-ahead covers [raw_used, raw_have): built when a directory is
    // first missed after a read.
    bool ahead_built = false;
    std::vector<char> pending;  // translated records, [pending_used, size) not yet handed out
    size_t pending_used = 0;
    bool small_read = false;  // the last read returned a small batch: pause before the next
    timespec next_read{};     // CLOCK_MONOTONIC time before which the next read waits
    // Kernel queue overflows not yet logged, and the throttle (one key, 0) that lets at most
    // one line a minute report them.
    uint32_t overflows = 0;
    log_throttle overflow_log;
    // Sync markers: files made and removed in marker_dir (the service socket's directory), whose
    // events are recognised by that directory's handle and file system and the name prefix.
    unique_fd marker_dir;
    std::string marker_key;
    fsid_t marker_fsid{};
    // Written (eventfd) by whoever makes a marker: a sync is waiting, so the pause before the
    // next read ends at once. Also by whoever asks for a directory watch.
    unique_fd hurry;
    fan_dirs dirs;  // directory watches of the volumes that cannot be marked (fan_dirs.cpp)
};

// Names of the sync markers' files: the prefix, then the marker's number.
constexpr char FAN_MARKER_PREFIX[] = ".vantlesd-sync-";

// An info record of an event: directory handle and name, or (name null) the item's handle.
struct fan_name_ref {
    const fsid_t* fsid = nullptr;
    const file_handle* handle = nullptr;
    const char* name = nullptr;
};

// The info records of an event: directory handle and name (plain, old and new) and the item's
// own handle.
struct fan_infos {
    fan_name_ref name, old_name, new_name, self;
};

// base: an event in the read buffer (4-byte aligned only); meta: a copy of its header.
fan_infos fan_read_infos(const char* base, const fanotify_event_metadata* meta);

// What became of a name: a path, an item that exists but lies outside every mount of its
// volume in this namespace (a bind mount shows only part of a file system; its other changes
// are none of ours), or one that neither the events nor the file system can name.
enum class fan_resolved { PATH, OUT_OF_VIEW, UNNAMED };

// A handle as a lookup key among the handles of its volume: its type and bytes (short enough
// for most file systems' handles to need no allocation). fan_keys.cpp, which every part uses.
void fan_handle_key(std::string* key, const file_handle* handle);

// The path of directory key on vol as it was when the event at offset at happened: from the
// directories learnt so far, from the first later event that moves or removes it, or from the
// file system (learning the directories on the way up to a mount).
fan_resolved fan_dir_path(fan_source* src, fan_volume* vol, const std::string& key, size_t at,
                          std::string* out);

// The path of the item of key (any kind) as the file system shows it now, with its status.
fan_resolved fan_item_path(fan_source* src, fan_volume* vol, const std::string& key,
                           std::string* out, struct stat* st);

// Learns from an entry event that directory key is now name in parent.
void fan_learn_dir(fan_volume* vol, const std::string& key, const std::string& parent,
                   const char* name);

// The volumes (fan_volumes.cpp). Naming (fan_names.cpp) calls into them, never the reverse.
// Forgets every directory learnt on vol (its mounts stay known).
void fan_forget_dirs(fan_volume* vol);

// The volume of fsid, or null (fan_keys.cpp).
fan_volume* fan_find_volume(fan_source* src, const fsid_t& fsid);

// The mount's descriptor, opened on first use in a fill. False when the volume is no longer
// mounted there.
bool fan_open_mount(const fan_volume* vol, fan_mount* m);

// Marks every mounted file system not yet marked, notes the mounts that came and went, and
// flags volumes that are no longer mounted anywhere. 0 or errno (the mount table unreadable).
int fan_sync_mounts(fan_source* src);

// Drops the volumes flagged unmounted, with what was known of them.
void fan_drop_unmounted(fan_source* src);

// Directory watches (fan_dirs.cpp). fan_dirs_request queues a request from any thread;
// fan_dirs_take, on the source's thread, carries out the requests and translates the watches'
// events into pending records: true when it added any. fan_dirs_fd: the descriptor to poll.
int fan_dirs_request(fan_source* src, const char* path, uint32_t dev, bool add);
bool fan_dirs_take(fan_source* src);
int fan_dirs_fd(const fan_source* src);

// Writing records into src->pending (fan_records.cpp), which calls no other part.
void fan_append(std::vector<char>& out, const void* p, size_t n);
// File information from the item's status st, or from ondir alone when st is null (not looked
// up, or gone): inode, uid and gid then stay 0; readers use the device and the mode only.
krec_file_info fan_info_from(const struct stat* st, uint32_t dev, bool ondir);
// The file information of the item at path (relative to the directory open at dir_fd): only a
// non-directory that still exists is looked up.
krec_file_info fan_item_info(const char* path, uint32_t dev, bool ondir, int dir_fd = AT_FDCWD);
void fan_append_done(std::vector<char>& out);
void fan_append_dropped(std::vector<char>& out);
// A dropped record for one volume (its mount point and device), at most once per read.
void fan_append_volume_dropped(fan_source* src, fan_volume* vol);
// A record of type for one item, or for two (a rename: the old path then the new one).
void fan_append_record_info(fan_source* src, uint32_t type, bool ondir, int32_t pid,
                            const std::string& path1, const krec_file_info& info1,
                            const std::string* path2 = nullptr);
// The same with the item's information looked up (look_up) or from ondir alone.
void fan_append_record(fan_source* src, uint32_t type, bool ondir, int32_t pid,
                       const std::string& path1, uint32_t dev, bool look_up,
                       const std::string* path2 = nullptr);

// The handle of the item at path as a lookup key, with its file system's id. False when the
// file system gives no handle.
bool fan_path_key(const std::string& path, std::string* key, fsid_t* fsid);

// Overlays (fan_overlay.cpp). Watches the overlay mounted as e through its upper layer: marks
// the upper directory's file system and makes the upper directory an anchor of its volume.
// 0, or an errno value with *why set (no upper layer, one out of view, its file system
// unmarkable).
struct mount_entry;
int fan_watch_overlay(fan_source* src, const mount_entry& e, std::string* why);
// Notes that the overlay of mount id is still mounted (true), for fan_drop_overlays.
bool fan_overlay_listed(fan_source* src, uint32_t mount_id);
// Forgets the overlays no longer in the mount table (their anchors go with them).
void fan_drop_overlays(fan_source* src);
// The upper of vol that path (a path the volume's names built) lies in, or null.
const fan_upper* fan_upper_of(const fan_volume* vol, const std::string& path);
// Whether the entry whose directory has key came from the work directory of an upper of vol.
const fan_upper* fan_upper_by_work(const fan_volume* vol, const std::string& key);
// What an item that appeared at path of upper u is in the overlay: a whiteout (the removal of
// the name), a copy-up of a lower-layer name (a change of it), or a new item.
enum class fan_appeared { WHITEOUT, COPY_UP, NEW };
fan_appeared fan_classify_appeared(const fan_upper& u, const std::string& path);
