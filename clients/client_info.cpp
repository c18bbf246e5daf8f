// Client records and the process-wide client tables: creation of a record (its stored paths
// and exclusions, its slot and its prefix-table entries), the client limits and the users'
// shares of the table, and the freeing of a record once its delivery thread has taken it out
// of every table.
#include "clients/client_info.h"

#include "clients/client_tables.h"
#include "clients/event_table.h"
#include "clients/prefix_table.h"
#include "common/limits.h"
#include "common/log.h"
#include "common/log_throttle.h"
#include "common/monotonic_clock.h"
#include "common/vantle_assert.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_set>

client_tables clients;

namespace {

constexpr char CLIENT_DOCID_SUFFIX[] = "/.docid";

// The stored form of a watched path. Device-relative paths are kept relative to the volume's
// mount point: the volume root is the empty path and a path ending in the document-id
// directory is that directory alone, as the router computes relative paths.
char* store_watched_path(uint32_t device, const char* path) {
    if (device != 0) {
        if (strcmp(path, "/") == 0) {
            return strdup("");
        }
        const char* docid = strstr(path, CLIENT_DOCID_SUFFIX);
        if (docid && docid[sizeof(CLIENT_DOCID_SUFFIX) - 1] == '\0') {
            return strdup(".docid");
        }
    }
    return strdup(path);
}

// An excluded path as stored: at most PATH_MAX_LENGTH bytes of it, ending in "/", so that a
// prefix test never matches a sibling such as /tmp/xy for /tmp/x.
char* store_excluded_path(const char* path) {
    size_t len = strnlen(path, PATH_MAX_LENGTH);
    bool has_slash = len > 0 && path[len - 1] == '/';
    char* stored = static_cast<char*>(malloc(len + 2));
    if (!stored) {
        return nullptr;
    }
    memcpy(stored, path, len);
    if (!has_slash) {
        stored[len++] = '/';
    }
    stored[len] = '\0';
    return stored;
}

// Whether fci may take one more slot: root's and internal clients always, a non-root uid's by
// user_may_take_slot. Logs a refusal, naming the bound (at most once a minute per uid). Under
// clients_lock.
bool within_user_share(const client_info* fci) {
    if (fci->uid == 0 || (fci->flags.load(std::memory_order_relaxed) & CLIENT_IS_INTERNAL)) {
        return true;
    }
    uint32_t used = 0;
    uint32_t mine = 0;
    for (const auto& slot : clients.client_table) {
        const client_info* other = slot.load(std::memory_order_relaxed);
        used += other != nullptr;
        mine += other != nullptr && other->uid == fci->uid;
    }
    const uint32_t free = used < CLIENT_USER_SLOTS ? CLIENT_USER_SLOTS - used : 0;
    const uint32_t limit = clients.client_max_per_user.load(std::memory_order_relaxed);
    if (user_may_take_slot(mine, free, limit)) {
        return true;
    }
    if (log_throttle_due(&clients.user_refusals, fci->uid, monotonic_ms())) {
        if (mine >= limit) {
            log_error("too many clients for uid %u (limit %u)", fci->uid, limit);
        } else if (free == 0) {
            log_error("too many clients in system for uid %u (the last %u slots are root's)",
                      fci->uid, CLIENT_ROOT_RESERVED);
        } else {
            log_error("too many clients for uid %u (share %u with %u slots free)", fci->uid,
                      user_slot_share(free), free);
        }
    }
    return false;
}

// Drops the repeats of a path from the stored list, keeping the first. A path named twice
// watches nothing more, while each copy would cost the router a header, or a node on one,
// for every event under it.
void keep_distinct_paths(client_info* fci) {
    std::unordered_set<std::string_view> seen;
    int32_t kept = 0;
    for (int32_t i = 0; i < fci->num_paths; i++) {
        if (seen.insert(fci->paths[i]).second) {
            fci->paths[kept++] = fci->paths[i];
        } else {
            free(fci->paths[i]);
        }
    }
    std::fill(fci->paths + kept, fci->paths + fci->num_paths, nullptr);
    fci->num_paths = kept;
}

}  // namespace

uint32_t user_slot_share(uint32_t free) {
    if (free == 0) {
        return 0;
    }
    const uint32_t outside =
        free > 1 + CLIENT_NEWCOMER_RESERVE ? free - 1 - CLIENT_NEWCOMER_RESERVE : 0;
    return std::max(CLIENT_USER_FLOOR, outside / CLIENT_SHARE_DIVISOR);
}

bool user_may_take_slot(uint32_t mine, uint32_t free, uint32_t limit) {
    return mine < std::min(limit, user_slot_share(free));
}

void clear_client_tables() {
    for (auto& slot : clients.client_table) {
        slot.store(nullptr, std::memory_order_release);
    }
    memset(clients.pid_table, 0, sizeof(clients.pid_table));
}

int reserve_client_slot(client_info* fci) {
    if (!within_user_share(fci)) {
        return ENOSPC;
    }
    int32_t found = -1;
    int32_t first_free = -1;
    for (uint32_t i = 0; i < CLIENT_PID_TABLE_SLOTS; i++) {
        if (clients.pid_table[i].pid == fci->pid) {
            found = (int32_t)i;
            break;
        }
        if (clients.pid_table[i].pid == 0 && first_free < 0) {
            first_free = (int32_t)i;
        }
    }
    bool claimed = false;
    if (found >= 0) {
        if (clients.pid_table[found].count >= CLIENT_MAX_PER_PID) {
            log_error("too many clients for pid %d (limit %d)", (int)fci->pid, CLIENT_MAX_PER_PID);
            return ENOSPC;
        }
    } else {
        if (first_free < 0) {
            log_error("too many processes with clients in system (limit %d)",
                      (int)CLIENT_PID_TABLE_SLOTS);
            return ENOSPC;
        }
        found = first_free;
        clients.pid_table[found] = {fci->pid, 0};
        claimed = true;
    }

    for (uint32_t slot = 0; slot < CLIENT_TABLE_SLOTS; slot++) {
        if (clients.client_table[slot].load(std::memory_order_relaxed)) {
            continue;
        }
        // Readers without clients_lock use index as soon as they see the slot filled: the
        // release store publishes it (and the whole record) with the slot.
        fci->index = slot;
        clients.client_table[slot].store(fci, std::memory_order_release);
        clients.pid_table[found].count++;
        return 0;
    }

    if (claimed) {
        clients.pid_table[found] = {0, 0};
    }
    log_error("too many clients in system (limit %d)", (int)CLIENT_TABLE_SLOTS);
    return ENOSPC;
}

void release_client_slot(client_info* fci) {
    for (pid_entry& entry : clients.pid_table) {
        if (entry.pid == fci->pid && entry.pid != 0) {
            if (--entry.count <= 0) {
                entry = {0, 0};
            }
        }
    }
    for (auto& slot : clients.client_table) {
        if (slot.load(std::memory_order_relaxed) == fci) {
            slot.store(nullptr, std::memory_order_release);
        }
    }
}

void client_note_dropped(client_info* fci, uint64_t id) {
    uint64_t cur = fci->dropped_id.load(std::memory_order_acquire);
    while ((cur == 0 || id < cur) &&
           !fci->dropped_id.compare_exchange_weak(cur, id, std::memory_order_acq_rel)) {
    }
    fci->flags.fetch_or(CLIENT_EVENTS_DROPPED, std::memory_order_acq_rel);
}

backlog_limits client_backlog_registered() {
    return {UINT32_MAX, CLIENT_BACKLOG_BYTES, CLIENT_BACKLOG_WAKE, &clients.registered_backlogs};
}

void drain_client_backlog(client_info* fci) {
    uint32_t pending = client_num_pending(fci);
    uint64_t bytes = 0;
    backlog_cursor at = backlog_front(&fci->backlog);
    for (uint32_t i = 0; i < pending; i++) {
        event_record** slot = backlog_next(&at);
        event_record* record = *slot;
        if (!record) {
            log_critical("client drain: *** encountered a NULL entry at %u of %u", i, pending);
            vantle_assert_fail(__func__, "backlog entry below wr");
        }
        *slot = nullptr;
        if (!client_map_test(record, fci->index)) {
            log_critical(
                "client drain: event %p (mask 0x%x) did not have my bit (%d) set! (0x%x 0x%x) "
                "(i %u, num_pending %u)",
                static_cast<void*>(record), event_flags(record), (int)fci->index,
                record->client_map[0].load(), record->client_map[1].load(), i, pending);
            vantle_assert_fail(__func__, "client bit of a backlog entry");
        }
        client_map_clear(record, fci->index);
        bytes += backlog_charge(record);
        remove_event_ref(record);
    }
    backlog_pop(&fci->backlog, pending, bytes);
}

void free_client_info(client_info* fci) {
    if (!fci) {
        return;
    }
    free(fci->path_nodes);
    if (fci->paths) {
        for (int32_t i = 0; i < fci->num_paths; i++) {
            free(fci->paths[i]);
        }
        free(fci->paths);
    }
    for (char*& excluded : fci->excluded) {
        free(excluded);
        excluded = nullptr;
    }
    free(fci->user_name);
    backlog_free(&fci->backlog);
    pthread_cond_destroy(&fci->cond);
    pthread_mutex_destroy(&fci->cycle_lock);
    pthread_mutex_destroy(&fci->lock);
    fci->~client_info();
    free(fci);
}

namespace {

// Copies the watched paths (fci->num_paths of them; a path named twice is kept once) and at
// most CLIENT_EXCLUDED_MAX excluded paths into fci. 0 or ENOMEM; free_client_info frees
// whatever was stored.
int store_paths(client_info* fci, uint32_t device, const char* const* paths,
                const char* const* excluded, int32_t num_excluded) {
    fci->paths = static_cast<char**>(calloc((size_t)fci->num_paths, sizeof(char*)));
    if (!fci->paths) {
        return ENOMEM;
    }
    for (int32_t i = 0; i < fci->num_paths; i++) {
        fci->paths[i] = store_watched_path(device, paths[i]);
        if (!fci->paths[i]) {
            return ENOMEM;
        }
    }
    keep_distinct_paths(fci);
    for (int32_t i = 0; i < num_excluded && i < CLIENT_EXCLUDED_MAX; i++) {
        fci->excluded[i] = store_excluded_path(excluded[i]);
        if (!fci->excluded[i]) {
            return ENOMEM;
        }
    }
    return 0;
}

}  // namespace

int create_client_info(uint32_t pid, uint32_t device, const char* const* paths, int32_t num_paths,
                       const char* const* excluded, int32_t num_excluded, uint64_t latency,
                       backlog_limits backlog, uint64_t since_when, uint32_t flags,
                       client_callback callback, void* callback_ctx, uint32_t uid, uint32_t gid,
                       client_info** result) {
    *result = nullptr;
    // An unprivileged client may watch several paths only as absolute paths.
    if (num_paths >= 2 && device != 0 && uid != 0) {
        return EINVAL;
    }
    if (num_paths < 1 || backlog.events < 1) {
        return EINVAL;
    }

    void* mem = calloc(1, sizeof(client_info));
    if (!mem) {
        return ENOMEM;
    }
    client_info* fci = new (mem) client_info;
    pthread_mutex_init(&fci->lock, nullptr);
    pthread_mutex_init(&fci->cycle_lock, nullptr);
    pthread_cond_init(&fci->cond, nullptr);
    fci->num_paths = num_paths;

    int err = backlog_init(&fci->backlog, backlog);
    if (err == 0) {
        err = store_paths(fci, device, paths, excluded, num_excluded);
    }
    if (err != 0) {
        goto fail;
    }
    err = ENOMEM;

    fci->device = device;
    fci->callback = callback;
    fci->callback_ctx = callback_ctx;
    fci->latency = latency;
    fci->since_when = since_when;
    fci->flags.store(flags, std::memory_order_relaxed);
    fci->pid = pid;
    fci->uid = uid;
    fci->gid = gid;

    fci->path_nodes =
        static_cast<client_node*>(calloc((size_t)fci->num_paths, sizeof(client_node)));
    if (!fci->path_nodes) {
        goto fail;
    }
    for (int32_t i = 0; i < fci->num_paths; i++) {
        new (&fci->path_nodes[i]) client_node{fci, nullptr};
    }

    pthread_mutex_lock(&clients.clients_lock);
    err = reserve_client_slot(fci);
    if (err == 0) {
        err = add_paths_to_prefix_table(fci);
        if (err != 0) {
            release_client_slot(fci);
        }
    }
    pthread_mutex_unlock(&clients.clients_lock);
    if (err != 0) {
        goto fail;
    }
    *result = fci;
    return 0;

fail:
    free_client_info(fci);
    return err;
}
