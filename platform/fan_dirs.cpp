// Directory watches: a volume fanotify cannot watch as a whole (a FUSE mount, an overlay whose
// upper layer is out of view, as inside a container whose "/" is one) is watched in the
// directories clients registered on it, with one inotify watch for each directory below them on
// that volume, the way inotify-based tools do. And with their limits: only changes made through
// this machine's own mounts of it are seen (not those of a network file system's other
// clients); a directory made is watched once its creation has been read, and what was made in
// it before that is reported as made then; the watches count against the user's inotify limit
// (fs.inotify.max_user_watches), and a volume past it gets a dropped record. Events carry no
// process id. What the watches report goes the same way as fanotify's events: records with
// paths, in the order the kernel queued them.
//
// Other threads only queue requests (fan_dirs_request, under requests_lock) and wake the source;
// everything else runs on the source's thread.
#include "platform/fan_source.h"

#include "common/log.h"
#include "platform/mounts.h"
#include "platform/volume_watch.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t FAN_DIRS_MASK = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM |
                                   IN_MOVED_TO | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
constexpr size_t FAN_DIRS_READ_SIZE = 64 * 1024;
constexpr int32_t FAN_DIRS_PID = 0;  // inotify does not say who made a change

bool below(const std::string& path, const std::string& dir) {
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
           (dir == "/" || path[dir.size()] == '/');
}

std::string child(const std::string& dir, const char* name) {
    return dir == "/" ? dir + name : dir + "/" + name;
}

// Watches dir and every directory below it on device dev (another volume mounted below is not
// this one's). With report, what it holds is reported as made: it was made before the watch.
void watch_tree(fan_source* src, const std::string& root, uint32_t dev, bool report) {
    fan_dirs& d = src->dirs;
    std::vector<std::string> todo = {root};
    while (!todo.empty()) {
        std::string dir = std::move(todo.back());
        todo.pop_back();
        struct stat st;
        if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            device_number_32(st.st_dev) != dev)
            continue;
        int wd = inotify_add_watch(d.inotify.get(), dir.c_str(), FAN_DIRS_MASK);
        if (wd < 0) {
            if ((errno == ENOSPC || errno == ENOMEM) && !d.full_logged) {
                d.full_logged = true;
                log_critical("inotify: no more directory watches (%s) at %s; raise "
                             "fs.inotify.max_user_watches",
                             strerror(errno), dir.c_str());
            }
            fan_append_record(src, KREC_TYPE_DROPPED, true, -1, dir, dev, false);
            continue;
        }
        d.by_wd[wd] = {dir, dev};
        d.wd_of[dir] = wd;
        DIR* listing = opendir(dir.c_str());
        for (struct dirent* e; listing && (e = readdir(listing));) {
            if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
                continue;
            std::string path = child(dir, e->d_name);
            bool is_dir = e->d_type == DT_DIR;
            if (report)
                fan_append_record(src, is_dir ? KREC_TYPE_CREATE_DIR : KREC_TYPE_CREATE_FILE,
                                  is_dir, FAN_DIRS_PID, path, dev, true);
            if (is_dir || e->d_type == DT_UNKNOWN)
                todo.push_back(path);
        }
        if (listing)
            closedir(listing);
    }
}

void unwatch_dir(fan_dirs& d, const std::string& dir) {
    auto it = d.wd_of.find(dir);
    if (it == d.wd_of.end())
        return;
    inotify_rm_watch(d.inotify.get(), it->second);
    d.by_wd.erase(it->second);
    d.wd_of.erase(it);
}

// Drops the watches of root and below, except those another root still wants.
void unwatch_tree(fan_dirs& d, const std::string& root) {
    std::vector<std::string> gone;
    for (const auto& [path, wd] : d.wd_of) {
        if (path != root && !below(path, root))
            continue;
        bool wanted = false;
        for (const auto& [other, count] : d.roots)
            wanted = wanted || path == other || below(path, other);
        if (!wanted)
            gone.push_back(path);
    }
    for (const std::string& path : gone)
        unwatch_dir(d, path);
}

// A directory renamed from old_dir to new_dir: the watches below it keep watching, under
// their new paths.
void move_tree(fan_dirs& d, const std::string& old_dir, const std::string& new_dir) {
    std::vector<std::pair<std::string, int>> moved;
    for (const auto& [path, wd] : d.wd_of) {
        if (path == old_dir || below(path, old_dir))
            moved.emplace_back(path, wd);
    }
    for (auto& [path, wd] : moved) {
        std::string now = new_dir + path.substr(old_dir.size());
        d.wd_of.erase(path);
        d.wd_of[now] = wd;
        d.by_wd[wd].path = now;
    }
}

void take_requests(fan_source* src) {
    fan_dirs& d = src->dirs;
    std::vector<fan_dir_request> requests;
    {
        std::lock_guard<std::mutex> hold(d.requests_lock);
        requests.swap(d.requests);
    }
    for (const fan_dir_request& r : requests) {
        if (r.add) {
            if (d.roots[r.path]++ == 0 && !d.wd_of.count(r.path))
                watch_tree(src, r.path, r.dev, false);
            volume_watch_record(r.dev, VOLUME_WATCH_DIRS, volume_watch_of(r.dev).reason);
        } else if (auto it = d.roots.find(r.path); it != d.roots.end() && --it->second == 0) {
            d.roots.erase(it);
            unwatch_tree(d, r.path);
        }
    }
}

// Translates one read of the watches' events into records.
void translate(fan_source* src, const char* buf, size_t n) {
    fan_dirs& d = src->dirs;
    for (size_t at = 0; at + sizeof(inotify_event) <= n;) {
        auto* e = reinterpret_cast<const inotify_event*>(buf + at);
        at += sizeof(inotify_event) + e->len;
        if (e->mask & IN_Q_OVERFLOW) {
            for (const auto& [path, count] : d.roots)
                fan_append_record(src, KREC_TYPE_DROPPED, true, -1, path, 0, false);
            continue;
        }
        auto it = d.by_wd.find(e->wd);
        if (it == d.by_wd.end())
            continue;
        if (e->mask & IN_IGNORED) {  // removed, or its volume unmounted
            d.wd_of.erase(it->second.path);
            d.by_wd.erase(it);
            continue;
        }
        if (!e->len)
            continue;  // the directory's own changes: its parent's watch reports them
        const uint32_t dev = it->second.dev;
        const std::string path = child(it->second.path, e->name);
        const bool ondir = e->mask & IN_ISDIR;
        if (e->mask & IN_MOVED_FROM) {
            // The rename's other half, when it stayed among the watched directories, is next.
            auto* next = at + sizeof(inotify_event) <= n
                             ? reinterpret_cast<const inotify_event*>(buf + at)
                             : nullptr;
            auto to = next && (next->mask & IN_MOVED_TO) && next->cookie == e->cookie
                          ? d.by_wd.find(next->wd)
                          : d.by_wd.end();
            if (to != d.by_wd.end() && next->len) {
                std::string new_path = child(to->second.path, next->name);
                at += sizeof(inotify_event) + next->len;
                if (ondir)
                    move_tree(d, path, new_path);
                fan_append_record(src, KREC_TYPE_RENAME, ondir, FAN_DIRS_PID, path, dev, true,
                                  &new_path);
            } else {
                if (ondir)
                    unwatch_tree(d, path);
                fan_append_record(src, KREC_TYPE_DELETE, ondir, FAN_DIRS_PID, path, dev, false);
            }
            continue;
        }
        if (e->mask & (IN_CREATE | IN_MOVED_TO)) {
            fan_append_record(src, ondir ? KREC_TYPE_CREATE_DIR : KREC_TYPE_CREATE_FILE, ondir,
                              FAN_DIRS_PID, path, dev, true);
            if (ondir)
                watch_tree(src, path, dev, true);
        }
        if (e->mask & IN_MODIFY)
            fan_append_record(src, KREC_TYPE_CONTENT_MODIFIED, ondir, FAN_DIRS_PID, path, dev, true);
        if (e->mask & IN_ATTRIB)
            fan_append_record(src, KREC_TYPE_STAT_CHANGED, ondir, FAN_DIRS_PID, path, dev, true);
        if (e->mask & IN_DELETE)
            fan_append_record(src, KREC_TYPE_DELETE, ondir, FAN_DIRS_PID, path, dev, false);
    }
}

}  // namespace

int fan_dirs_request(fan_source* src, const char* path, uint32_t dev, bool add) {
    if (!src->hurry.valid())
        return ENOTSUP;
    {
        std::lock_guard<std::mutex> hold(src->dirs.requests_lock);
        src->dirs.requests.push_back({path, dev, add});
    }
    uint64_t one = 1;
    ssize_t ignored = write(src->hurry.get(), &one, sizeof one);
    (void)ignored;
    return 0;
}

bool fan_dirs_take(fan_source* src) {
    fan_dirs& d = src->dirs;
    size_t before = src->pending.size();
    bool asked;
    {
        std::lock_guard<std::mutex> hold(d.requests_lock);
        asked = !d.requests.empty();
    }
    if (asked && !d.inotify.valid())
        d.inotify.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!d.inotify.valid())
        return false;
    if (asked)
        take_requests(src);
    alignas(inotify_event) char buf[FAN_DIRS_READ_SIZE];
    ssize_t n = read(d.inotify.get(), buf, sizeof buf);
    if (n > 0)
        translate(src, buf, static_cast<size_t>(n));
    return src->pending.size() > before;
}

int fan_dirs_fd(const fan_source* src) {
    return src->dirs.inotify.get();
}
