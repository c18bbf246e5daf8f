// Routing of decoded events: the volume-relative path, the ignored directories, the lookup of
// the prefix headers that cover an event, and the queueing of one shared event record into the
// backlogs of the clients of a matching header (waking a client whose backlog passes its
// wake-up mark).
// Event thread only.
#include "clients/route.h"

#include "clients/client_info.h"
#include "clients/client_tables.h"
#include "clients/event_table.h"
#include "clients/prefix_table.h"
#include "clients/wakeup.h"
#include "common/limits.h"
#include "common/log.h"
#include "common/monotonic_clock.h"
#include "common/thread_role.h"
#include "common/vantle_assert.h"
#include "volumes/dev_info.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

constexpr const char* ROUTE_IGNORED_NAMES[] = {".Glimmer-V100", ".vantlesd", ".Roamvault",
                                               "Vaults.vaultdb"};
constexpr char ROUTE_QSD_COMPONENT[] = "/.qsd/";
constexpr char ROUTE_DOCID_PREFIX[] = "/.docid/";

// The router's announcement that it is inside a table; publish_prefix_table waits on it.
// Once in_use is stored the current pointer is read again, so a table published in between
// is never used after its publisher decided it was free.
prefix_table* enter_prefix_table() {
    clients.prefix_table_readers.fetch_add(1, std::memory_order_seq_cst);
    for (;;) {
        prefix_table* table = clients.current_prefix_table.load(std::memory_order_seq_cst);
        clients.prefix_table_in_use.store(table, std::memory_order_seq_cst);
        if (clients.current_prefix_table.load(std::memory_order_seq_cst) == table) {
            return table;
        }
    }
}

void leave_prefix_table() {
    clients.prefix_table_in_use.store(nullptr, std::memory_order_seq_cst);
    clients.prefix_table_readers.fetch_sub(1, std::memory_order_seq_cst);
}

// Whether absolute path a names b or a directory above it, by whole components ("/" covers
// everything). A trailing "/" of a does not count.
bool path_covers(const char* a, const char* b) {
    size_t n = strlen(a);
    if (n > 1 && a[n - 1] == '/') {
        n--;
    }
    if (n <= 1) {
        return true;
    }
    return strncmp(a, b, n) == 0 && (b[n] == '\0' || b[n] == '/');
}

// Whether absolute path p lies on the volume dev mounted at mount: below the mount point, and
// not inside another volume of the table mounted below it. Caller holds dev_lock.
bool lies_on(const char* p, const char* mount, uint32_t dev) {
    if (!path_covers(mount, p)) {
        return false;
    }
    size_t mount_length = strlen(mount);
    dev_table_t* devs = volumes.dev_table.load(std::memory_order_acquire);
    for (int32_t i = 0; devs && i < devs->count; i++) {
        const dev_info* di = devs->entries[i];
        if (di->dev != dev && strlen(di->mount_point) > mount_length &&
            path_covers(mount, di->mount_point) && path_covers(di->mount_point, p)) {
            return false;
        }
    }
    return true;
}

// Whether the client watches anything on the volume dev mounted at mount: a path above the
// mount point or on the volume (device-relative clients: of that volume, or of the root volume
// for a volume the table does not know, whose events count as the root volume's).
bool watches_volume(const client_info* fci, uint32_t dev, const char* mount) {
    if (fci->device != 0) {
        const dev_info* di = find_dev_info(dev);
        return di && fci->device == di->dev;
    }
    for (int32_t i = 0; i < fci->num_paths; i++) {
        if (path_covers(fci->paths[i], mount) || lies_on(fci->paths[i], mount, dev)) {
            return true;
        }
    }
    return false;
}

// The kernel lost events: every live client hears of it, whatever it watches; when they were
// lost on one volume (dev, mounted at path), only the clients watching something on it.
void broadcast_dropped(event_table* table, uint32_t dev, char* path, uint32_t flags, uint64_t id) {
    event_record* record = add_event(table, EVENT_PID_DAEMON, dev, path, flags, id);
    if (!record) {
        log_critical("can not allocate a kernel-dropped event!");
        return;
    }
    bool scoped = dev != 0 && volumes.dev_table.load(std::memory_order_acquire);
    if (scoped) {
        vantle_rwlock_rdlock(&volumes.dev_lock);
    }
    clients.client_map_walkers.fetch_add(1, std::memory_order_seq_cst);
    for (auto& slot : clients.client_table) {
        client_info* fci = slot.load(std::memory_order_acquire);
        if (!fci || (fci->flags.load(std::memory_order_acquire) & CLIENT_GOING_AWAY)) {
            continue;
        }
        if (scoped && !watches_volume(fci, dev, record->path)) {
            continue;
        }
        client_node node{fci, nullptr};
        add_event_ref(&node, record);
    }
    clients.client_map_walkers.fetch_sub(1, std::memory_order_seq_cst);
    if (scoped) {
        vantle_rwlock_unlock(&volumes.dev_lock);
    }
    remove_event_ref(record);
}

// Hands the event (or its directory part) to the clients of one matching header.
void route_to_header(event_table* table, const prefix_header* header, int32_t pid, uint32_t dev,
                     char* path, char* c, uint32_t n, uint32_t dir_length, uint32_t flags,
                     uint64_t id) {
    client_node* list = header->client_list.load(std::memory_order_acquire);
    if (header->file_events) {
        event_record* record = add_event(table, pid, dev, c, flags, id);
        if (record) {
            add_event_ref(list, record);
            remove_event_ref(record);
        }
        return;
    }
    // Directory-level clients get the leading dir_length - 1 bytes of the path (the parent
    // directory with its "/"), counted from the start of the compared string.
    int64_t l = (int64_t)dir_length - (int64_t)(c - path);
    if (l < (int64_t)n || l < 1) {
        return;
    }
    char saved = c[l - 1];
    c[l - 1] = '\0';
    event_record* record = add_event(table, pid, dev, c, flags & DIRECTORY_EVENT_MASK, id);
    if (record) {
        add_event_ref(list, record);
        remove_event_ref(record);
    }
    c[l - 1] = saved;
}

// Tables of up to this many headers are scanned whole, and so is a block of candidates once
// the lookup has narrowed it to this many. With ordinary paths a scan beats the searches up to
// about 100 headers (bench/route_bench with tables of 32 to 192); a block shares a prefix of
// the event's path, which every compare of the scan goes through again, hence the lower value.
constexpr int32_t ROUTE_SCAN_MAX = 64;

// Whether an event of device dev at path (rel: its volume-relative part) lies at or below the
// path of header: returns the string the header is compared with and sets *n to the bytes of
// its path that count; null otherwise. The one match rule of both the lookup and the scan.
char* header_match(const prefix_header* header, uint32_t dev, char* path, char* rel, uint32_t* n) {
    // Absolute headers compare with the full path on every device; device headers with the
    // volume-relative part, only on their own device.
    if (header->device == PREFIX_HEADER_REMOVED || (header->device != 0 && header->device != dev)) {
        return nullptr;
    }
    uint32_t len = header->len;
    if (len >= 2 && header->path[len - 1] == '/') {
        len--;
    }
    char* c = header->device != 0 ? rel : path;
    if (strncmp(header->path, c, len) != 0) {
        return nullptr;
    }
    // Whole components only: /a/b covers /a/b/c but not /a/bc. The volume root ("") and
    // "/" cover everything below them, a one-byte path everything starting with its byte.
    if (len >= 2 && c[len] != '/' && c[len] != '\0') {
        return nullptr;
    }
    *n = len;
    return c;
}

// The part of block b whose paths continue with key[0..n) after the first p bytes, which all
// of b shares: in descending order the paths above the key come first, those below it last.
route_block narrow(prefix_header* const* entries, route_block b, size_t p, const char* key,
                   size_t n) {
    auto cmp = [&](int32_t i) { return strncmp(entries[i]->path + p, key, n); };
    if (b.lo == b.hi || (cmp(b.lo) == 0 && cmp(b.hi - 1) == 0)) {
        return b;  // deep paths often all share the next component: two compares
    }
    int32_t lo = b.lo;
    int32_t hi = b.hi;
    while (lo < hi) {
        int32_t mid = lo + (hi - lo) / 2;
        if (cmp(mid) > 0) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    int32_t first = lo;
    hi = b.hi;
    while (lo < hi) {
        int32_t mid = lo + (hi - lo) / 2;
        if (cmp(mid) >= 0) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return {first, lo};
}

// The headers of block b (which all share q bytes) whose path has exactly q bytes: they sort
// last.
route_block ending_at(prefix_header* const* entries, route_block b, size_t q) {
    int32_t lo = b.hi;
    while (lo > b.lo && entries[lo - 1]->path[q] == '\0') {
        lo--;
    }
    return {lo, b.hi};
}

// Adds to route_blocks[used..] blocks that hold every header that can match when compared
// with c, and returns the new count. Such a header's path (less a trailing "/" when longer than
// one byte) is "", the first byte of c, or c[0..k) for a k >= 2 where c[k] is '/' or the end;
// so it is one of "", c[0..1), c[0..k) or those with "/" added. Each prefix of c narrows the
// block of paths starting with it; the paths equal to it (with or without the "/") sort at
// the end of that block and of its "/" part.
int32_t add_candidate_blocks(prefix_header* const* entries, int32_t count, const char* c,
                             int32_t used) {
    route_block b{0, count};
    route_block found = ending_at(entries, b, 0);
    if (found.lo < found.hi) {
        clients.route_blocks[used++] = found;
    }
    size_t p = 0;  // bytes of c that all of b shares
    for (size_t k = 1; c[k - 1] != '\0'; k++) {
        if (k >= 2 && c[k] != '/' && c[k] != '\0') {
            continue;
        }
        if (b.hi - b.lo <= ROUTE_SCAN_MAX || used + 3 > ROUTE_MAX_BLOCKS) {
            clients.route_blocks[used++] = b;  // every longer candidate starts with c[0..p)
            return used;
        }
        b = narrow(entries, b, p, c + p, k - p);
        p = k;
        if (b.lo == b.hi) {
            return used;
        }
        route_block slash = narrow(entries, b, k, "/", 1);
        for (route_block e : {ending_at(entries, b, k), ending_at(entries, slash, k + 1)}) {
            if (e.lo < e.hi) {
                clients.route_blocks[used++] = e;
            }
        }
        if (c[k] == '\0') {
            return used;
        }
        if (c[k] == '/') {
            b = slash;
            p = k + 1;
        }
    }
    return used;
}

// What route_event hands every matching header.
struct route_context {
    event_table* table;
    int32_t pid;
    uint32_t dev;
    char* path;
    uint32_t dir_length;
    uint32_t flags;
    uint64_t id;
};

void route_visit(void* ctx, const prefix_header* header, char* c, uint32_t n) {
    const route_context* r = static_cast<const route_context*>(ctx);
    route_to_header(r->table, header, r->pid, r->dev, r->path, c, n, r->dir_length, r->flags,
                    r->id);
}

// Removes doubled slashes in place and cuts at EVENT_TABLE_PATH_MAX, as add_event does to the
// path it is given, and moves the directory length with them. Done once before the lookup:
// otherwise the first header's add_event would shift or cut the bytes under the volume-relative
// pointer, the directory length and the candidates found for every later header.
void normalise_event_path(char* path, uint32_t* dir_length) {
    if (!strstr(path, "//") && strnlen(path, EVENT_TABLE_PATH_MAX + 1) <= EVENT_TABLE_PATH_MAX) {
        return;
    }
    uint32_t dir_in = *dir_length > 0 ? *dir_length - 1 : 0;  // leading bytes to keep
    uint32_t dir_out = 0;
    uint32_t in = 0;
    uint32_t out = 0;
    char previous = 0;
    for (; path[in] != '\0' && out < EVENT_TABLE_PATH_MAX; in++) {
        char c = path[in];
        if (!(c == '/' && previous == '/')) {
            path[out++] = c;
        }
        previous = c;
        if (in + 1 == dir_in) {
            dir_out = out;
        }
    }
    if (dir_in > in) {
        dir_out = out;  // the whole path
    }
    path[out] = '\0';
    if (*dir_length > 0) {
        *dir_length = dir_out + 1;
    }
}

}  // namespace

void visit_matching_headers(const prefix_table* table, uint32_t dev, char* path, char* rel,
                            route_visit_fn visit, void* ctx) {
    prefix_header* const* entries = table->entries;
    int32_t used = 0;
    if (table->count <= ROUTE_SCAN_MAX) {
        clients.route_blocks[used++] = {0, table->count};
    } else {
        used = add_candidate_blocks(entries, table->count, path, 0);
        if (dev != 0 && rel != path) {
            used = add_candidate_blocks(entries, table->count, rel, used);
        }
        std::sort(clients.route_blocks, clients.route_blocks + used,
                  [](route_block a, route_block b) { return a.lo < b.lo; });
    }
    // Blocks overlap (a scanned block holds the equal-path blocks found on the way to it, the
    // two strings may find the same block): each header is visited once, in table order.
    int32_t next = 0;
    for (int32_t i = 0; i < used; i++) {
        for (int32_t j = std::max(clients.route_blocks[i].lo, next); j < clients.route_blocks[i].hi;
             j++) {
            uint32_t n = 0;
            if (char* c = header_match(entries[j], dev, path, rel, &n)) {
                visit(ctx, entries[j], c, n);
            }
        }
        next = std::max(next, clients.route_blocks[i].hi);
    }
}

char* volume_relative_path(uint32_t dev, char* path) {
    if (dev == 0) {
        return path;
    }
    if (strncmp(path, ROUTE_DOCID_PREFIX, sizeof(ROUTE_DOCID_PREFIX) - 1) == 0) {
        return path + 1;
    }
    // The table is published after dev_lock is set up: without a table there is no lock yet.
    if (!volumes.dev_table.load(std::memory_order_acquire)) {
        return path;
    }
    vantle_rwlock_rdlock(&volumes.dev_lock);
    int32_t depth = -1;
    dev_table_t* devs = volumes.dev_table.load(std::memory_order_acquire);
    for (int32_t i = 0; devs && i < devs->count; i++) {
        if (devs->entries[i]->dev == dev) {
            depth = (int32_t)devs->entries[i]->depth;
            break;
        }
    }
    vantle_rwlock_unlock(&volumes.dev_lock);
    if (depth < 1) {
        return path;
    }
    char* p = path;
    for (int32_t seen = 0; *p; p++) {
        if (*p == '/' && ++seen == depth) {
            return p + 1;
        }
    }
    return p;
}

bool is_ignored_directory(const char* rel) {
    VANTLE_ASSERT(rel);
    for (const char* name : ROUTE_IGNORED_NAMES) {
        if (strncmp(rel, name, strlen(name)) == 0) {
            return true;
        }
    }
    size_t len = strnlen(rel, PATH_BUFFER_SIZE);
    return memmem(rel, len, ROUTE_QSD_COMPONENT, sizeof(ROUTE_QSD_COMPONENT) - 1) != nullptr;
}

namespace {

// Total waiting for full backlogs the router allows itself within one ROUTE_WAIT_WINDOW_US, so
// that many stuck clients together cannot hold up the others for long.
constexpr uint64_t ROUTE_WAIT_WINDOW_US = 100000;
constexpr uint64_t ROUTE_WAIT_BUDGET_US = 20000;
// Longest wait for one client's backlog, and the pause between looks.
constexpr uint64_t ROUTE_FULL_BACKLOG_WAIT_US = 10000;
constexpr uint64_t ROUTE_FULL_BACKLOG_POLL_US = 50;
// The disk logger's backlog gets a longer wait, outside the budget: an event it loses is a gap
// in a history for good, while a delay only holds the intake back for a moment (the records
// wait in the event buffers and the kernel's queue). A flush of its names can take that long
// on a loaded machine.
constexpr uint64_t ROUTE_INTERNAL_BACKLOG_WAIT_US = 500000;

// A full backlog is given a short while to drain before its event is dropped: a burst can
// exceed the backlog of a client whose thread keeps up on average. A client that already owes
// an events-dropped notice is behind (or stuck in a send) and gets no wait until it has caught
// up, so a stuck client costs the router one wait per episode.
// Event thread only.
bool wait_for_room(client_info* fci, const event_record* record) {
    static uint64_t window_start = 0;
    static uint64_t waited_in_window = 0;
    if (fci->flags.load(std::memory_order_acquire) & (CLIENT_EVENTS_DROPPED | CLIENT_GOING_AWAY)) {
        return false;
    }
    uint64_t now = monotonic_us();
    if (now - window_start >= ROUTE_WAIT_WINDOW_US) {
        window_start = now;
        waited_in_window = 0;
    }
    // Waits are counted in pauses asked for, not in time passed: when the whole machine stops
    // for a while (a virtual machine's stall), the delivery thread stopped too and must still
    // get its chance afterwards.
    client_wakeup(fci);
    bool internal = fci->flags.load(std::memory_order_acquire) & CLIENT_IS_INTERNAL;
    uint64_t limit = internal ? ROUTE_INTERNAL_BACKLOG_WAIT_US : ROUTE_FULL_BACKLOG_WAIT_US;
    for (uint64_t waited = 0;
         waited < limit && (internal || waited_in_window < ROUTE_WAIT_BUDGET_US);
         waited += ROUTE_FULL_BACKLOG_POLL_US) {
        std::this_thread::sleep_for(std::chrono::microseconds(ROUTE_FULL_BACKLOG_POLL_US));
        if (!internal)
            waited_in_window += ROUTE_FULL_BACKLOG_POLL_US;
        if (backlog_has_room(&fci->backlog, record)) {
            return true;
        }
    }
    return false;
}

// The client does not get record: a dropped notice is owed instead.
void lose_event(client_info* fci, event_record* record) {
    client_map_clear(record, fci->index);
    client_note_dropped(fci, event_id(record));
}

}  // namespace

void add_event_ref(client_node* list, event_record* record) {
    clients.client_map_walkers.fetch_add(1, std::memory_order_seq_cst);
    for (client_node* node = list; node; node = node->next.load(std::memory_order_acquire)) {
        client_info* fci = node->fci;
        uint32_t flags = fci->flags.load(std::memory_order_acquire);
        if (flags & CLIENT_GOING_AWAY) {
            continue;
        }
        if (client_map_set(record, fci->index)) {
            continue;  // already in this client's backlog
        }
        // The room test comes before the ignore-self test: a client whose backlog stays full
        // has fallen behind, and the first event that finds no room tells it so, its own
        // included.
        client_backlog* backlog = &fci->backlog;
        if (!backlog_has_room(backlog, record) && !wait_for_room(fci, record)) {
            lose_event(fci, record);
            continue;
        }
        if ((flags & CLIENT_IGNORE_SELF) && event_pid(record) == fci->pid) {
            client_map_clear(record, fci->index);
            continue;
        }
        take_event_ref(record);
        if (backlog_push(backlog, record) != 0) {  // no memory for another segment
            remove_event_ref(record);
            lose_event(fci, record);
            continue;
        }
        // A backlog that has just passed its wake-up mark is woken now, not only by the
        // latency pass after the step: one decode step (a whole read of records) can bring
        // thousands of events. Lock order: prefix_lock (held here), then fci->lock.
        if (backlog_events(backlog) == backlog->limits.wake + 1) {
            client_wakeup(fci);
        }
    }
    clients.client_map_walkers.fetch_sub(1, std::memory_order_seq_cst);
}

void route_event(event_table* table, int32_t pid, uint32_t dev, char* path,
                 uint32_t /*path_length*/, uint32_t dir_length, uint32_t flags, uint64_t id) {
    VANTLE_ASSERT_THREAD(THREAD_ROLE_EVENT);
    prefix_table* prefixes = enter_prefix_table();
    if (!prefixes) {
        leave_prefix_table();
        return;
    }
    if (flags & EVENT_KERNEL_DROPPED) {
        broadcast_dropped(table, dev, path, flags, id);
        leave_prefix_table();
        return;
    }
    normalise_event_path(path, &dir_length);
    char* rel = dev != 0 ? volume_relative_path(dev, path) : path;
    if (is_ignored_directory(rel)) {
        leave_prefix_table();
        return;
    }

    pthread_mutex_lock(&clients.prefix_lock);
    route_context context{table, pid, dev, path, dir_length, flags, id};
    visit_matching_headers(prefixes, dev, path, rel, route_visit, &context);
    pthread_mutex_unlock(&clients.prefix_lock);
    leave_prefix_table();
}
