// The table of how each file system is watched (see volume_watch.h): a map under a mutex,
// written by the fanotify source's thread when it marks file systems, read by requests.
#include "platform/volume_watch.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace {

struct volume_watch_table {
    std::mutex lock;
    std::unordered_map<uint32_t, volume_watch> by_dev;
};

volume_watch_table& table() {
    static volume_watch_table t;
    return t;
}

}  // namespace

bool volume_watch_record(uint32_t dev, volume_watch_kind kind, const char* reason) {
    volume_watch w;
    w.kind = kind;
    snprintf(w.reason, sizeof w.reason, "%s", reason ? reason : "");
    volume_watch_table& t = table();
    std::lock_guard<std::mutex> hold(t.lock);
    volume_watch& now = t.by_dev[dev];
    bool changed = now.kind != w.kind || strcmp(now.reason, w.reason) != 0;
    now = w;
    return changed;
}

volume_watch volume_watch_of(uint32_t dev) {
    volume_watch_table& t = table();
    std::lock_guard<std::mutex> hold(t.lock);
    auto it = t.by_dev.find(dev);
    return it == t.by_dev.end() ? volume_watch{} : it->second;
}
