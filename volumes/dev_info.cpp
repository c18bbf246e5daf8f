// The volume table: built once from the mount list, published with a full barrier, then read
// under dev_lock for the life of the process.
//
// Each mounted volume gets a dev_info record in mount-list order, and exactly two kinds keep a
// history: the root file system, and the local, writable volume that holds "/var" (unless it
// carries the no_log marker). Lookups by device fall back to the root record, so events on
// volumes mounted after start-up still land somewhere. Walks over the logged volumes pin each
// record and run their callbacks without dev_lock, so a callback may take it itself.
#include "volumes/dev_info.h"

#include "common/limits.h"
#include "common/log.h"
#include "platform/mounts.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

volume_table volumes;

namespace {

constexpr int MOUNT_LIST_TRIES = 1000;

uint32_t mount_point_depth(const char* mount_point) {
    uint32_t slashes = 0;
    for (const char* p = mount_point; *p; p++)
        slashes += *p == '/';
    return strcmp(mount_point, "/") == 0 ? slashes : slashes + 1;
}

// The mount list, read again while reading fails (mounts changing under the reader).
int read_mounts(mount_entry** list, int* count) {
    for (int tries = 0; tries < MOUNT_LIST_TRIES; tries++) {
        int err = mount_list_read(list, count);
        if (err == 0)
            return 0;
        if (err == ENOMEM)
            return err;
    }
    return EAGAIN;
}

// The mount that holds "/var", looked up once per scan: fetched is set after the first call,
// var null when the lookup failed.
struct var_mount {
    bool fetched;
    mount_entry* var;
};

const mount_entry* var_volume(var_mount* cache) {
    if (!cache->fetched) {
        cache->fetched = true;
        if (mount_status("/var", &cache->var) != 0)
            cache->var = nullptr;
    }
    return cache->var;
}

bool has_no_log_marker(const mount_entry& m) {
    char marker[PATH_BUFFER_SIZE];
    int len = snprintf(marker, sizeof marker, "%s/.vantlesd/no_log", m.mount_point);
    if (len < 0 || static_cast<size_t>(len) >= sizeof marker)
        return false;
    struct stat st;
    return lstat(marker, &st) == 0;
}

// DEV_LOGGED for the volume that holds "/var", else DEV_NOT_LOGGED, for a volume that is
// neither the root nor disabled by its marker.
uint32_t var_candidate_flags(const mount_entry& m, var_mount* cache) {
    if (m.flags & (MOUNT_RDONLY | MOUNT_UNION))
        return DEV_NOT_LOGGED;
    if (m.flags & MOUNT_DONTBROWSE) {
        if (!(m.flags & MOUNT_LOCAL) || !strstr(m.mount_point, "/Users/"))
            return DEV_NOT_LOGGED;
    } else if (!(m.flags & MOUNT_LOCAL)) {
        return DEV_NOT_LOGGED;
    }
    if (strcmp(m.mount_point, "/dev") == 0 || strcmp(m.fs_type, "qlfs") == 0)
        return DEV_NOT_LOGGED;
    const mount_entry* var = var_volume(cache);
    if (!var)
        return DEV_NOT_LOGGED;
    if (strcmp(m.mount_point, var->mount_point) == 0 &&
        strcmp(m.mounted_from, var->mounted_from) == 0)
        return DEV_LOGGED;
    return DEV_NOT_LOGGED;
}

// A zero-filled record for the mount with its logging decision, or null without memory.
dev_info* make_record(const mount_entry& m, var_mount* cache) {
    dev_info* di = new (std::nothrow) dev_info();
    if (!di)
        return nullptr;
    di->mount_point = strdup(m.mount_point);
    if (!di->mount_point) {
        delete di;
        return nullptr;
    }
    di->dev = m.dev;
    di->depth = mount_point_depth(m.mount_point);
    di->flags = DEV_MOUNTED;
    if (m.flags & MOUNT_ROOTFS) {
        di->flags |= DEV_IS_ROOT | DEV_LOGGED;
        volumes.root_dev = m.dev;
    } else if ((m.flags & MOUNT_LOCAL) && has_no_log_marker(m)) {
        di->flags |= DEV_NOT_LOGGED | DEV_LOG_DISABLED;
        log_critical("Logging disabled completely for device: %s", m.mount_point);
    } else {
        di->flags |= var_candidate_flags(m, cache);
    }
    return di;
}

void free_record(dev_info* di) {
    free(di->mount_point);
    delete di;
}

}  // namespace

int init_dev_info(int (*on_logged_volume)(dev_info* di, void* arg)) {
    mount_entry* mounts = nullptr;
    int count = 0;
    int err = read_mounts(&mounts, &count);
    if (err != 0)
        return err;
    if (count == 0) {
        mount_list_free(mounts, count);
        return ENOENT;
    }
    vantle_rwlock_init(&volumes.dev_lock);
    auto* table = static_cast<dev_table_t*>(malloc(sizeof(dev_table_t)));
    if (!table) {
        mount_list_free(mounts, count);
        return ENOMEM;
    }
    auto* entries = static_cast<dev_info**>(calloc(size_t(count), sizeof(dev_info*)));
    if (!entries) {
        free(table);
        mount_list_free(mounts, count);
        return ENOMEM;
    }
    var_mount var = {false, nullptr};
    for (int i = 0; i < count; i++) {
        entries[i] = make_record(mounts[i], &var);
        if (!entries[i]) {
            log_critical("init_dev_info: no memory dev info of mount point %s\n",
                         mounts[i].mount_point);
            for (int j = 0; j < i; j++)
                free_record(entries[j]);
            free(entries);
            free(table);
            mount_list_free(var.var, var.var ? 1 : 0);
            mount_list_free(mounts, count);
            return ENOMEM;
        }
    }
    mount_list_free(var.var, var.var ? 1 : 0);
    table->entries = entries;
    table->count = count;
    // A sequentially consistent exchange: a full barrier, then the pointer in one store.
    volumes.dev_table.exchange(table, std::memory_order_seq_cst);

    if (on_logged_volume != nullptr) {
        iterate_devices(on_logged_volume, nullptr);
    }
    mount_list_free(mounts, count);
    return 0;
}

int iterate_devices(int (*callback)(dev_info* di, void* arg), void* arg) {
    // dev_lock exists only once a table does, so an early caller must not touch it.
    if (!volumes.dev_table.load(std::memory_order_acquire))
        return 0;
    vantle_rwlock_rdlock(&volumes.dev_lock);
    dev_table_t* table = volumes.dev_table.load(std::memory_order_acquire);
    int count = table->count;
    auto* snapshot = static_cast<dev_info**>(malloc(sizeof(dev_info*) * size_t(count)));
    if (!snapshot) {
        log_critical("%s: No Memory for %d devices", "iterate_devices", count);
        vantle_rwlock_unlock(&volumes.dev_lock);
        return ENOMEM;
    }
    memcpy(snapshot, table->entries, sizeof(dev_info*) * size_t(count));
    for (int i = count - 1; i >= 0; i--) {
        if (snapshot[i]->flags & DEV_NOT_LOGGED)
            snapshot[i] = nullptr;
        else
            snapshot[i]->refcount.fetch_add(1);
    }
    vantle_rwlock_unlock(&volumes.dev_lock);

    int result = 0;
    for (int i = count - 1; i >= 0 && result == 0; i--) {
        dev_info* di = snapshot[i];
        if (di && !(di->flags.load(std::memory_order_relaxed) & DEV_NOT_LOGGED))
            result = callback(di, arg);
    }
    for (int i = 0; i < count; i++) {
        if (snapshot[i])
            snapshot[i]->refcount.fetch_sub(1);
    }
    free(snapshot);
    return result;
}

dev_info* find_dev_info(uint32_t dev) {
    dev_table_t* table = volumes.dev_table.load(std::memory_order_acquire);
    if (!table)
        return nullptr;
    dev_info* match = nullptr;
    dev_info* root = nullptr;
    for (int i = 0; i < table->count; i++) {
        dev_info* di = table->entries[i];
        if (di->dev == dev) {
            if (di->dls)
                return di;
            match = di;
        } else if (di->flags & DEV_IS_ROOT) {
            root = di;
        }
    }
    if (match)
        return match;
    if (root)
        return root;
    log_critical("no root di?!\n");
    return table->entries[0];
}

int mark_volume_wrapped(dev_info* di, void*) {
    di->flags.fetch_or(DEV_IDS_WRAPPED, std::memory_order_relaxed);
    return 0;
}
