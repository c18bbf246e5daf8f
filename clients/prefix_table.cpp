// The watched-path prefix table: adding a client's paths (sharing headers with equal paths of
// the same kind and device), removing them, and publishing a new table while the router may
// still be scanning the old one.
#include "clients/prefix_table.h"

#include "clients/client_info.h"
#include "clients/client_tables.h"
#include "common/log.h"
#include "common/vantle_assert.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

namespace {

constexpr int PREFIX_PUBLISH_POLL_US = 10000;
constexpr uint8_t PREFIX_DEAD_HEADER_BYTE = 0xD9;

uint16_t client_file_events(const client_info* fci) {
    return (fci->flags.load(std::memory_order_relaxed) & CLIENT_FILE_EVENTS) ? 1 : 0;
}

// A header serves clients of one device only. The router compares a device header's path
// with the volume-relative part of an event and only for events of that device, so an
// absolute client sharing it would lose its events (and which header it joined would depend
// on which client came first).
bool header_device_matches(const client_info* fci, const prefix_header* header) {
    return fci->device == header->device;
}

prefix_header* new_header(const client_info* fci, const char* path) {
    void* mem = calloc(1, sizeof(prefix_header));
    if (!mem) {
        return nullptr;
    }
    prefix_header* header = new (mem) prefix_header;
    header->path = strdup(path);
    if (!header->path) {
        free(mem);
        return nullptr;
    }
    header->device = fci->device;
    header->len = (uint16_t)strlen(path);
    header->file_events = client_file_events(fci);
    header->refcount = 1;
    return header;
}

void free_header(prefix_header* header) {
    free(header->path);
    // Poison the words so that a reader that outlived the table shows up at once.
    memset(static_cast<void*>(header), PREFIX_DEAD_HEADER_BYTE, sizeof(*header));
    free(header);
}

void free_table(prefix_table* table) {
    if (table) {
        free(table->entries);
        free(table);
    }
}

// Descending byte order: a path sorts before every path it is a prefix of.
bool sorts_before(const prefix_header* a, const prefix_header* b) {
    return strcmp(a->path, b->path) > 0;
}

// The first of the count sorted entries whose path is path or sorts after it; the headers of
// equal paths (other devices or kinds, or equal paths of one client) follow it.
int32_t first_not_before(prefix_header* const* entries, int32_t count, const char* path) {
    return (int32_t)(std::partition_point(
                         entries, entries + count,
                         [path](const prefix_header* h) { return strcmp(h->path, path) > 0; }) -
                     entries);
}

// Writes the count sorted old entries and the num_new sorted new headers to out in order, a
// new header after the old ones of its path: a binary search per new header places the runs
// of old entries, so a small client costs no comparison per header of a large table.
void merge_headers(prefix_header* const* old, int32_t count, prefix_header* const* fresh,
                   int32_t num_new, prefix_header** out) {
    int32_t from = 0;
    for (int32_t i = 0; i < num_new; i++) {
        int32_t to =
            (int32_t)(std::upper_bound(old + from, old + count, fresh[i], sorts_before) - old);
        out = std::copy(old + from, old + to, out);
        from = to;
        *out++ = fresh[i];
    }
    std::copy(old + from, old + count, out);
}

// Unlinks node from header's list; false when the node is not on it. Under prefix_lock.
bool unlink_node(prefix_header* header, client_node* node) {
    std::atomic<client_node*>* link = &header->client_list;
    for (client_node* cur = link->load(std::memory_order_acquire); cur;
         cur = link->load(std::memory_order_acquire)) {
        if (cur == node) {
            link->store(node->next.load(std::memory_order_relaxed), std::memory_order_release);
            node->next.store(nullptr, std::memory_order_relaxed);
            return true;
        }
        link = &cur->next;
    }
    return false;
}

}  // namespace

prefix_table* publish_prefix_table(prefix_table* table) {
    prefix_table* old = clients.current_prefix_table.exchange(table, std::memory_order_seq_cst);
    // The router announces itself (readers, then in_use) and re-checks the current pointer
    // after storing in_use, so once in_use is seen to differ from old it can no longer be
    // inside old.
    for (;;) {
        if (clients.prefix_table_readers.load(std::memory_order_seq_cst) == 0) {
            return old;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(PREFIX_PUBLISH_POLL_US));
        if (clients.prefix_table_in_use.load(std::memory_order_seq_cst) != old) {
            return old;
        }
    }
}

namespace {

// Finds for each path of fci the header of the current table it can share (same path, device
// and file-events level) and takes a reference on it. Only the headers of the current table
// count, so two equal new paths of one client give two headers. Returns how many paths need
// a header of their own.
int32_t share_headers(client_info* fci, prefix_header* const* old, int32_t count,
                      prefix_header** matched) {
    int32_t num_new = 0;
    uint16_t file_events = client_file_events(fci);
    for (int32_t i = 0; i < fci->num_paths; i++) {
        for (int32_t j = first_not_before(old, count, fci->paths[i]);
             j < count && strcmp(old[j]->path, fci->paths[i]) == 0; j++) {
            prefix_header* header = old[j];
            if (header_device_matches(fci, header) && header->file_events == file_events) {
                matched[i] = header;
                header->refcount++;
                break;
            }
        }
        if (!matched[i]) {
            num_new++;
        }
    }
    return num_new;
}

// Links each path's node at the head of its header's client list: the shared header of
// matched, else the next of the new headers in fresh (in path order).
void link_nodes(client_info* fci, prefix_header* const* matched, prefix_header* const* fresh) {
    int32_t added = 0;
    for (int32_t i = 0; i < fci->num_paths; i++) {
        client_node* node = &fci->path_nodes[i];
        if (matched[i]) {
            // A fully built node becomes the head by a release store; the router, reading the
            // head with acquire, sees it whole or not at all.
            node->next.store(matched[i]->client_list.load(std::memory_order_relaxed),
                             std::memory_order_relaxed);
            matched[i]->client_list.store(node, std::memory_order_release);
        } else {
            node->next.store(nullptr, std::memory_order_relaxed);
            fresh[added++]->client_list.store(node, std::memory_order_release);
        }
    }
}

}  // namespace

int add_paths_to_prefix_table(client_info* fci) {
    prefix_table* cur = clients.current_prefix_table.load(std::memory_order_acquire);
    int32_t count = cur ? cur->count : 0;
    int32_t capacity = cur ? cur->capacity : 0;
    prefix_header* const* old = cur ? cur->entries : nullptr;
    int32_t num_paths = fci->num_paths;

    prefix_header** matched =
        static_cast<prefix_header**>(calloc((size_t)num_paths, sizeof(prefix_header*)));
    // The new headers, sorted on their own before they are merged into the table.
    prefix_header** fresh =
        static_cast<prefix_header**>(calloc((size_t)num_paths, sizeof(prefix_header*)));
    prefix_table* table = static_cast<prefix_table*>(calloc(1, sizeof(prefix_table)));
    prefix_header** entries = nullptr;
    int32_t num_new = 0;
    int32_t new_capacity = capacity;
    int32_t added = 0;
    if (!matched || !fresh || !table) {
        goto no_memory;
    }

    num_new = share_headers(fci, old, count, matched);

    if (count + num_new >= capacity) {
        new_capacity += num_new < PREFIX_TABLE_GROWTH ? PREFIX_TABLE_GROWTH : (num_new + 31) & ~31;
    }
    entries = static_cast<prefix_header**>(calloc((size_t)new_capacity, sizeof(prefix_header*)));
    if (!entries) {
        goto no_memory;
    }
    // Every new header exists before any node is linked, so a failure leaves shared headers
    // untouched apart from the refcounts undone below.
    for (int32_t i = 0; i < num_paths; i++) {
        if (matched[i]) {
            continue;
        }
        prefix_header* header = new_header(fci, fci->paths[i]);
        if (!header) {
            goto no_memory;
        }
        fresh[added++] = header;
    }

    link_nodes(fci, matched, fresh);
    free(matched);

    std::sort(fresh, fresh + num_new, sorts_before);
    merge_headers(old, count, fresh, num_new, entries);
    free(fresh);
    table->entries = entries;
    table->count = count + num_new;
    table->capacity = new_capacity;
    free_table(publish_prefix_table(table));
    return 0;

no_memory:
    log_critical("add_paths_to_prefix_table: bad news: no memory for operation.");
    if (matched) {
        for (int32_t i = 0; i < num_paths; i++) {
            if (matched[i]) {
                matched[i]->refcount--;
            }
        }
    }
    for (int32_t i = 0; i < added; i++) {
        free(fresh[i]->path);
        free(fresh[i]);
    }
    free(entries);
    free(table);
    free(fresh);
    free(matched);
    return ENOMEM;
}

namespace {

// Unlinks the node of fci's path i from its header in entries (count of them) and drops the
// header's reference. A header left without clients is marked PREFIX_HEADER_REMOVED: the
// router may still be in the old table and skips it; it keeps its place, so the searches
// stay valid. Returns the header's index, -1 when the path has none. Holding prefix_lock.
int32_t unlink_path(client_info* fci, int32_t i, prefix_header* const* entries, int32_t count) {
    client_node* node = &fci->path_nodes[i];
    for (int32_t j = first_not_before(entries, count, fci->paths[i]);
         j < count && strcmp(entries[j]->path, fci->paths[i]) == 0; j++) {
        prefix_header* header = entries[j];
        if (!header_device_matches(fci, header) || !unlink_node(header, node)) {
            continue;
        }
        header->refcount--;
        bool empty = header->client_list.load(std::memory_order_relaxed) == nullptr;
        if (header->refcount == 0 && empty) {
            header->device = PREFIX_HEADER_REMOVED;
        } else if (header->refcount == 0) {
            log_critical(
                "remove_paths: prefix_table inconsistent.  refcount == 0 but "
                "client_list is non-NULL! prefix_table[%d] = %p",
                j, static_cast<const void*>(header));
            vantle_assert_fail(__func__, "refcount counts the client list");
        } else if (empty) {
            log_critical(
                "remove_paths: prefix_table inconsistent.  refcount > 0 but "
                "client_list is NULL! prefix_table[%d] = %p",
                j, static_cast<const void*>(header));
            vantle_assert_fail(__func__, "refcount counts the client list");
        }
        return j;
    }
    log_critical("remove_paths: did not find prefix header for path %s", fci->paths[i]);
    vantle_assert_fail(__func__, "every path of a client has its header");
}

// Closes the gaps the removed headers at dead_at (num_dead of them) leave in entries, in one
// pass, and clears the freed tail. Returns the entries kept.
int32_t close_gaps(prefix_header** entries, int32_t count, int32_t* dead_at, int32_t num_dead) {
    std::sort(dead_at, dead_at + num_dead);
    int32_t kept = num_dead > 0 ? dead_at[0] : count;
    for (int32_t d = 0; d < num_dead; d++) {
        int32_t end = d + 1 < num_dead ? dead_at[d + 1] : count;
        memmove(&entries[kept], &entries[dead_at[d] + 1],
                (size_t)(end - dead_at[d] - 1) * sizeof(*entries));
        kept += end - dead_at[d] - 1;
    }
    memset(&entries[kept], 0, (size_t)(count - kept) * sizeof(*entries));
    return kept;
}

}  // namespace

int remove_paths(client_info* fci) {
    prefix_table* cur = clients.current_prefix_table.load(std::memory_order_acquire);
    if (!cur) {
        return 0;
    }
    prefix_table* table = static_cast<prefix_table*>(calloc(1, sizeof(prefix_table)));
    prefix_header** entries =
        static_cast<prefix_header**>(calloc((size_t)cur->capacity, sizeof(prefix_header*)));
    if (!table || !entries) {
        free(table);
        free(entries);
        return ENOMEM;
    }
    // Headers this call removes, at most one per path, with their places in entries; freed
    // once the router has left.
    prefix_header** dead =
        static_cast<prefix_header**>(calloc((size_t)fci->num_paths, sizeof(prefix_header*)));
    int32_t* dead_at = static_cast<int32_t*>(calloc((size_t)fci->num_paths, sizeof(int32_t)));
    if (!dead || !dead_at) {
        free(table);
        free(entries);
        free(dead);
        free(dead_at);
        return ENOMEM;
    }
    int32_t num_dead = 0;

    // Only writers, serialised by clients_lock, change the entries; the copy needs no
    // prefix_lock.
    int32_t count = cur->count;
    memcpy(entries, cur->entries, (size_t)count * sizeof(prefix_header*));
    pthread_mutex_lock(&clients.prefix_lock);
    for (int32_t i = 0; i < fci->num_paths; i++) {
        int32_t j = unlink_path(fci, i, entries, count);
        if (j >= 0 && entries[j]->device == PREFIX_HEADER_REMOVED) {
            dead_at[num_dead] = j;
            dead[num_dead++] = entries[j];
        }
    }
    pthread_mutex_unlock(&clients.prefix_lock);

    int32_t kept = close_gaps(entries, count, dead_at, num_dead);
    free(dead_at);

    table->entries = entries;
    table->count = kept;
    table->capacity = cur->capacity;
    free_table(publish_prefix_table(table));
    for (int32_t i = 0; i < num_dead; i++) {
        free_header(dead[i]);
    }
    free(dead);
    return 0;
}
