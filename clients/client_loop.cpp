// The delivery thread of one client: its wait for wake-ups, the notices it owes (history done,
// events dropped), the cycle that takes everything pending off the backlog, orders it by id,
// filters it and hands it to the callback in batches, the idle exit, and the teardown that
// takes the client out of every table and frees it.
#include "clients/client_loop.h"

#include "clients/client_info.h"
#include "clients/client_tables.h"
#include "clients/event_table.h"
#include "clients/history_step.h"
#include "clients/prefix_table.h"
#include "clients/read_check.h"
#include "common/limits.h"
#include "common/log.h"
#include "common/log_throttle.h"
#include "common/monotonic_clock.h"
#include "common/thread_role.h"
#include "common/vantle_assert.h"
#include "intake/event_flags.h"
#include "intake/event_thread.h"
#include "intake/producer.h"
#include "platform/mounts.h"
#include "platform/thread_identity.h"
#include "volumes/dev_info.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

namespace {

constexpr int CLIENT_SLOWDOWN_ERRORS = 5;  // failures before a sleep
constexpr int CLIENT_SLOWDOWN_SECONDS = 2;
constexpr int CLIENT_NOTICE_RETRY_SECONDS = 1;
constexpr int CLIENT_WALKER_POLL_US = 5000;
constexpr int CLIENT_WALKER_POLLS = 5000;  // 25 seconds in all
constexpr size_t CLIENT_PASSWD_BUFFER_MAX = 1 << 20;

// Why a delivery thread refuses every event a permission check would decide.
struct refusals {
    // It could not take on its client's identity: its checks would be the daemon's own.
    bool identity_refused = false;
    // For this cycle: the client is relative to a volume whose mount point no longer shows
    // that volume, so its relative paths cannot be judged.
    bool volume_gone = false;
};
thread_local refusals t_refuse;

// A client of another user relative to a volume judges the volume's relative paths from the
// volume's root, so its thread's working directory is that root while it works (its history
// step, each cycle) and "/" in between: an idle client does not keep the volume busy, and an
// unmount does not fail because of it.
bool works_in_volume(const client_info* fci) {
    return fci->uid != 0 && fci->device != 0;
}

bool has_flag(const client_info* fci, uint32_t flag) {
    return fci->flags.load(std::memory_order_acquire) & flag;
}

void raise_last_id_sent(client_info* fci, uint64_t id) {
    uint64_t cur = fci->last_id_sent.load(std::memory_order_relaxed);
    while (cur < id &&
           !fci->last_id_sent.compare_exchange_weak(cur, id, std::memory_order_acq_rel)) {
    }
}

// One notice (history done or events dropped) for the client's first watched path, sent as
// a batch of one without a device.
int32_t send_notice(client_info* fci, uint32_t flags, uint64_t id) {
    if (!fci->callback) {
        return 0;
    }
    const char* path = fci->paths[0];
    int32_t length = (int32_t)strlen(path) + 1;
    return fci->callback(fci->callback_ctx, 1, &length, &path, &flags, nullptr, &id);
}

// A registered client's thread ends at a termination signal; the disk logger's only once every
// event read has been routed (it files them all).
bool stopping(bool internal) {
    return internal ? lifecycle.intake_finished.load() != 0 : lifecycle.shutting_down.load() != 0;
}

// Waits under fci->lock for a wake-up, until the whole second `seconds` ahead (for ever when
// seconds is 0). A wake-up sent while the thread was busy is kept in wake_pending and ends
// the wait at once. True when the time ran out without a wake-up.
bool wait_for_wakeup(client_info* fci, int seconds, bool internal = false) {
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += seconds;
    deadline.tv_nsec = 0;
    bool timed_out = false;
    while (!fci->wake_pending && !timed_out && !stopping(internal)) {
        if (seconds == 0) {
            pthread_cond_wait(&fci->cond, &fci->lock);
        } else {
            timed_out = pthread_cond_timedwait(&fci->cond, &fci->lock, &deadline) == ETIMEDOUT;
        }
    }
    fci->wake_pending = 0;
    return timed_out;
}

// An event with its sort key, taken once: the event thread may merge a newer event into a
// pending record (changing its id) while the backlog is being sorted, and the sort must see
// one consistent order.
struct keyed_event {
    int64_t key;
    event_record* e;
};

// Records a failed batch: it is lost for this client and reported by a dropped notice.
void note_failed_batch(client_info* fci, int32_t r, uint64_t first_id) {
    if (r == EPIPE) {
        pthread_mutex_lock(&fci->lock);
        fci->flags.fetch_or(CLIENT_GOING_AWAY, std::memory_order_acq_rel);
        pthread_mutex_unlock(&fci->lock);
    }
    client_note_dropped(fci, first_id);
    if (fci->send_errors++ >= CLIENT_SLOWDOWN_ERRORS) {
        static shared_log_throttle slow_uids;  // a user's clients that never read: a line a minute
        if (log_throttle_due(&slow_uids, fci->uid, monotonic_ms())) {
            log_critical(
                "SLOWDOWN: client %p (pid %d) sleeping due to too many errors (num "
                "usleeps %d)",
                static_cast<void*>(fci), (int)fci->pid,
                clients.num_usleeps.load(std::memory_order_relaxed));
        }
        std::this_thread::sleep_for(std::chrono::seconds(CLIENT_SLOWDOWN_SECONDS));
        fci->send_errors = 0;
    }
}

// The owed notices of one cycle. 0, or the failed notice's result.
int32_t send_owed_notices(client_info* fci) {
    int32_t r = 0;
    if (has_flag(fci, CLIENT_HISTORY_DONE_PENDING)) {
        r = send_notice(fci, HISTORY_DONE, fci->history_done_id.load());
        if (r == 0) {
            fci->flags.fetch_and(~CLIENT_HISTORY_DONE_PENDING, std::memory_order_acq_rel);
        }
    }
    if (r == 0 && has_flag(fci, CLIENT_EVENTS_DROPPED)) {
        // Claim what is owed before sending: a loss noted during the send then owes a notice
        // of its own instead of being cleared with this one. The flag goes first (the event
        // thread sets the id first), so an id of 0 here was already claimed and reported.
        fci->flags.fetch_and(~CLIENT_EVENTS_DROPPED, std::memory_order_acq_rel);
        uint64_t dropped = fci->dropped_id.exchange(0, std::memory_order_acq_rel);
        if (dropped != 0) {
            raise_last_id_sent(fci, dropped);
            r = send_notice(fci, EVENT_USER_DROPPED, dropped);
            if (r != 0) {
                client_note_dropped(fci, dropped);  // still owed
            }
        }
    }
    if (r == EPIPE) {
        pthread_mutex_lock(&fci->lock);
        fci->flags.fetch_or(CLIENT_GOING_AWAY, std::memory_order_acq_rel);
        pthread_mutex_unlock(&fci->lock);
    }
    return r;
}

// Waits until no thread walks client_table or a client list without clients_lock, at most
// CLIENT_WALKER_POLLS polls.
void wait_for_walkers() {
    for (int i = 0; i < CLIENT_WALKER_POLLS && clients.client_map_walkers.load() != 0; i++) {
        std::this_thread::sleep_for(std::chrono::microseconds(CLIENT_WALKER_POLL_US));
    }
}

// Takes the client out of every table and frees it. Runs on its own delivery thread.
void teardown_client(client_info* fci, bool internal) {
    pthread_mutex_lock(&fci->lock);
    fci->flags.fetch_or(CLIENT_GOING_AWAY, std::memory_order_acq_rel);
    pthread_mutex_unlock(&fci->lock);

    // A walker that saw the client before it went away may still queue into its backlog.
    wait_for_walkers();

    pthread_mutex_lock(&clients.clients_lock);
    drain_client_backlog(fci);
    remove_paths(fci);
    release_client_slot(fci);
    if (has_flag(fci, CLIENT_DIR_WATCHES)) {
        for (int32_t i = 0; i < fci->num_paths; i++) {
            intake_watch_directory(fci->paths[i], 0, false);
        }
    }
    pthread_mutex_unlock(&clients.clients_lock);
    // A walker may have taken the record from client_table just before its slot was
    // emptied; it only tests CLIENT_GOING_AWAY, but it must find the record still there.
    wait_for_walkers();

    pthread_mutex_lock(&fci->lock);
    if (!internal && fci->release && fci->callback_ctx) {
        fci->release(fci->callback_ctx);
    }
    if (has_flag(fci, CLIENT_MARK_SELF)) {
        marked_pids_remove((int32_t)fci->pid);
    }
    pthread_mutex_unlock(&fci->lock);
    free_client_info(fci);

    if (internal) {
        clients.num_internal_clients.fetch_sub(1, std::memory_order_acq_rel);
    }
    clients.num_clients.fetch_sub(1, std::memory_order_acq_rel);
}

// Makes the client's user, group and the user's groups those of this thread's permission
// checks. Without the user's groups the thread still judges as the user (and a client may
// then see less than it could); without the user itself it refuses everything.
void take_on_identity(client_info* fci) {
    int err = thread_set_credentials(fci->uid, fci->gid, fci->user_name);
    if (err == 0) {
        return;
    }
    log_critical("client_loop: initgroups failed for user %s uid %d gid %d (err: %d/%s)",
                 fci->user_name ? fci->user_name : "", (int)fci->uid, (int)fci->gid, err,
                 strerror(err));
    if (fci->user_name && thread_set_credentials(fci->uid, fci->gid, nullptr) == 0) {
        return;
    }
    t_refuse.identity_refused = true;
}

void look_up_user_name(client_info* fci) {
    if (fci->user_name) {
        return;
    }
    struct passwd pw;
    struct passwd* found = nullptr;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? (size_t)size : 1024);
    int err;
    while ((err = getpwuid_r(fci->uid, &pw, buf.data(), buf.size(), &found)) == ERANGE &&
           buf.size() < CLIENT_PASSWD_BUFFER_MAX) {
        buf.resize(buf.size() * 2);
    }
    if (err == 0 && found) {
        fci->user_name = strdup(found->pw_name);
        return;
    }
    // Containers run uids without an entry all the time, and any user may register as often as
    // it likes: once a minute per uid is enough to tell.
    static shared_log_throttle unknown_uids;
    if (log_throttle_due(&unknown_uids, fci->uid, monotonic_ms())) {
        log_critical("could not get login info for uid %d\n", (int)fci->uid);
    }
}

}  // namespace

int chdir_to_volume(const client_info* fci) {
    char mount_point[PATH_BUFFER_SIZE];
    bool found = false;
    // The table is published after dev_lock is set up: without a table there is no lock yet.
    if (!volumes.dev_table.load(std::memory_order_acquire)) {
        return ENOENT;
    }
    vantle_rwlock_rdlock(&volumes.dev_lock);
    dev_table_t* devs = volumes.dev_table.load(std::memory_order_acquire);
    for (int32_t i = 0; devs && i < devs->count; i++) {
        if (devs->entries[i]->dev == fci->device) {
            path_copy(mount_point, devs->entries[i]->mount_point, sizeof(mount_point));
            found = true;
            break;
        }
    }
    vantle_rwlock_unlock(&volumes.dev_lock);
    if (!found) {
        return ENOENT;
    }
    int err = thread_chdir_as_daemon(mount_point);
    if (err != 0) {
        return err;
    }
    struct stat st;
    if (stat(".", &st) != 0 || device_number_32(st.st_dev) != fci->device) {
        thread_chdir("/");
        return ENODEV;
    }
    return 0;
}

namespace {

// The first n pending events of fci's backlog in id order, wrap-aware: the low 32 bits of each
// id as a signed distance from the first event's, so that ids just past a wrap of the counter
// sort after those before it. The backlog is rewritten in that order. Null without memory.
event_record** sort_pending(client_info* fci, uint32_t n) {
    keyed_event* sorted = static_cast<keyed_event*>(malloc(n * sizeof(keyed_event)));
    event_record** events = static_cast<event_record**>(malloc(n * sizeof(event_record*)));
    if (!sorted || !events) {
        free(sorted);
        free(events);
        return nullptr;
    }
    backlog_cursor at = backlog_front(&fci->backlog);
    uint32_t base = 0;
    for (uint32_t i = 0; i < n; i++) {
        event_record* e = *backlog_next(&at);
        uint32_t low = (uint32_t)event_id(e);
        if (i == 0) {
            base = low;
        }
        sorted[i] = {(int64_t)(int32_t)(low - base), e};
    }
    std::stable_sort(sorted, sorted + n,
                     [](const keyed_event& a, const keyed_event& b) { return a.key < b.key; });
    at = backlog_front(&fci->backlog);
    for (uint32_t i = 0; i < n; i++) {
        events[i] = sorted[i].e;
        *backlog_next(&at) = events[i];
    }
    free(sorted);
    return events;
}

// One callback's worth of events, in the parallel arrays the callback takes. An event that
// may be delivered only as a directory-level event for a directory above it has that path in
// ancestors, and repeats of one such directory in a row are one event.
struct delivery_batch {
    int32_t lengths[CLIENT_BATCH_MAX];
    const char* paths[CLIENT_BATCH_MAX];
    uint32_t flags[CLIENT_BATCH_MAX];
    uint32_t devices[CLIENT_BATCH_MAX];
    uint64_t ids[CLIENT_BATCH_MAX];
    char ancestors[CLIENT_BATCH_MAX][PATH_BUFFER_SIZE];
};

// What the client's user may be told of e: READ_GRANTED, or the directory above it in
// b->ancestors[count] (READ_ANCESTOR), or nothing.
read_verdict judge_for_batch(client_info* fci, event_record* e, delivery_batch* b,
                             int32_t count) {
    if (fci->uid == 0) {
        return READ_GRANTED;
    }
    if (t_refuse.identity_refused || t_refuse.volume_gone) {
        return READ_REFUSED;
    }
    read_verdict v = judge_event_read(fci, e->path, b->ancestors[count]);
    if (v == READ_ANCESTOR) {
        ancestor_event_path(fci, e->path, b->ancestors[count]);
    }
    return v;
}

// Clears fci's bit on the m events: from then on the event thread queues a change merged into
// one of them again instead of taking it for still pending.
void clear_client_bits(client_info* fci, event_record* const* events, uint32_t m) {
    uint8_t bit = (uint8_t)(0x80u >> (fci->index % 8));
    for (uint32_t k = 0; k < m; k++) {
        event_record* e = events[k];
        if (!(e->client_map[fci->index / 8].fetch_and((uint8_t)~bit) & bit)) {
            log_critical("client loop: event %p did not have my bit (%d) set!",
                         static_cast<void*>(e), (int)fci->index);
            vantle_assert_fail(__func__, "client bit of a backlog entry");
        }
    }
}

// Puts those of the m events that fci's user may read and it does not exclude into b. Returns
// how many it put; the last one has the highest id.
int32_t fill_batch(client_info* fci, event_record* const* events, uint32_t m, bool mark_self,
                   delivery_batch* b) {
    int32_t count = 0;
    for (uint32_t k = 0; k < m; k++) {
        event_record* e = events[k];
        if (is_excluded(fci, e->path)) {
            continue;
        }
        read_verdict v = judge_for_batch(fci, e, b, count);
        if (v == READ_REFUSED) {
            continue;
        }
        if (v == READ_ANCESTOR) {
            const char* dir = b->ancestors[count];
            if (count > 0 && b->paths[count - 1] == b->ancestors[count - 1] &&
                strcmp(b->paths[count - 1], dir) == 0) {
                b->ids[count - 1] = event_id(e);
                continue;
            }
            b->lengths[count] = (int32_t)strlen(dir) + 1;
            b->paths[count] = dir;
            b->flags[count] = READ_ANCESTOR_FLAGS;
        } else {
            b->lengths[count] = e->path_length;
            b->paths[count] = e->path;
            b->flags[count] = event_flags(e);
        }
        if (mark_self && event_pid(e) == fci->pid) {
            b->flags[count] |= EVENT_OWN_EVENT;
        }
        b->devices[count] = (uint32_t)e->dev;
        b->ids[count] = event_id(e);
        count++;
    }
    return count;
}

// Numbers one delivery cycle in cycles_begun and cycles_ended.
struct cycle_count {
    client_info* fci;
    uint64_t number;
    explicit cycle_count(client_info* c)
        : fci(c), number(c->cycles_begun.fetch_add(1, std::memory_order_acq_rel) + 1) {}
    ~cycle_count() { fci->cycles_ended.store(number, std::memory_order_release); }
};

// The m events, sent or skipped, leave the backlog.
void release_events(client_info* fci, event_record* const* events, uint32_t m) {
    uint64_t bytes = 0;
    for (uint32_t k = 0; k < m; k++) {
        bytes += backlog_charge(events[k]);
        remove_event_ref(events[k]);
    }
    backlog_pop(&fci->backlog, m, bytes);
}

// Sets up a delivery thread: its role, the client's user, and on the client's first thread
// the history step; then the thread takes on the client's identity for the permission checks.
void start_delivery(client_info* fci, bool internal) {
    thread_role_set(internal ? THREAD_ROLE_DISK_LOGGER : THREAD_ROLE_DELIVERY);
    if (internal) {
        thread_set_io_idle();
    }
    if (fci->uid != 0) {
        look_up_user_name(fci);
    }
    if (!has_flag(fci, CLIENT_STARTED)) {
        if (works_in_volume(fci)) {
            chdir_to_volume(fci);
        }
        scan_for_old_events(fci);
        if (works_in_volume(fci)) {
            thread_chdir("/");
        }
        pthread_mutex_lock(&fci->lock);
        fci->flags.fetch_or(CLIENT_STARTED, std::memory_order_acq_rel);
        pthread_mutex_unlock(&fci->lock);
    }
    if (fci->uid != 0) {
        take_on_identity(fci);
    }
}

}  // namespace

int32_t client_process_events(client_info* fci) {
    cycle_count cycle(fci);
    uint32_t n = client_num_pending(fci);
    if (n == 0) {
        return 0;
    }
    event_record** events = sort_pending(fci, n);
    if (!events) {
        return ENOMEM;
    }

    bool mark_self = has_flag(fci, CLIENT_MARK_SELF);
    int32_t r = 0;
    for (uint32_t s = 0; s < n;) {
        if (has_flag(fci, CLIENT_GOING_AWAY)) {
            break;
        }
        uint32_t m = std::min<uint32_t>(n - s, CLIENT_BATCH_MAX);
        delivery_batch b;
        clear_client_bits(fci, events + s, m);
        int32_t count = fill_batch(fci, events + s, m, mark_self, &b);
        if (count > 0) {
            raise_last_id_sent(fci, b.ids[count - 1]);
        }
        if (fci->callback && count > 0 && !has_flag(fci, CLIENT_GOING_AWAY)) {
            r = fci->callback(fci->callback_ctx, count, b.lengths, b.paths, b.flags, b.devices,
                              b.ids);
            if (r != 0) {
                note_failed_batch(fci, r, b.ids[0]);
            }
        }
        release_events(fci, events + s, m);
        if (r == ETIMEDOUT || r == ENOBUFS) {
            free(events);
            return 0;
        }
        s += m;
    }
    free(events);
    return r;
}

bool client_deliver_now(client_info* fci) {
    constexpr uint32_t not_now = CLIENT_GOING_AWAY | CLIENT_EVENTS_DROPPED |
                                 CLIENT_HISTORY_DONE_PENDING | CLIENT_IS_INTERNAL;
    // A client of another user needs its delivery thread: only that thread judges as the user.
    // callback_now is read only once CLIENT_STARTED is seen: the registration sets it after the
    // client is reachable, before its thread starts (and the thread sets the flag).
    uint32_t flags = fci->flags.load(std::memory_order_acquire);
    bool undelayed = (flags & CLIENT_NO_DEFER) || fci->latency == 0;
    if (fci->uid != 0 || !(flags & CLIENT_STARTED) || !undelayed || (flags & not_now) ||
        !fci->callback_now) {
        return false;
    }
    uint32_t n = client_num_pending(fci);
    if (n == 0 || n > CLIENT_DELIVER_NOW_MAX || pthread_mutex_trylock(&fci->cycle_lock) != 0) {
        return false;
    }
    // Again under the lock: the delivery thread may have claimed a notice meanwhile, and may
    // have taken events off the backlog since the count above (its cycle ends before it lets
    // go of the lock); a count from before would reach into slots already given back.
    flags = fci->flags.load(std::memory_order_acquire);
    n = client_num_pending(fci);
    bool sent = false;
    if (!(flags & not_now) && n != 0 && n <= CLIENT_DELIVER_NOW_MAX) {
        cycle_count cycle(fci);
        // Only the event thread queues, and it is here: nothing joins the backlog meanwhile,
        // so the bits can wait until the send went out and a failed send leaves all as it was.
        event_record** events = sort_pending(fci, n);
        delivery_batch b;
        int32_t count =
            events ? fill_batch(fci, events, n, has_flag(fci, CLIENT_MARK_SELF), &b) : 0;
        sent = events && (count == 0 || fci->callback_now(fci->callback_ctx, count, b.lengths,
                                                          b.paths, b.flags, b.devices, b.ids) == 0);
        if (sent) {
            if (count > 0) {
                raise_last_id_sent(fci, b.ids[count - 1]);
            }
            clear_client_bits(fci, events, n);
            release_events(fci, events, n);
        }
        free(events);
    }
    pthread_mutex_unlock(&fci->cycle_lock);
    return sent;
}

void* client_loop(void* arg) {
    client_info* fci = static_cast<client_info*>(arg);
    bool internal = has_flag(fci, CLIENT_IS_INTERNAL);
    pthread_mutex_lock(&fci->cycle_lock);
    start_delivery(fci, internal);

    constexpr uint32_t owed =
        CLIENT_GOING_AWAY | CLIENT_EVENTS_DROPPED | CLIENT_HISTORY_DONE_PENDING;
    int32_t r = 0;
    while (!stopping(internal) && !has_flag(fci, CLIENT_GOING_AWAY) && r == 0) {
        // Waiting: meanwhile the event thread may deliver in this thread's stead.
        pthread_mutex_unlock(&fci->cycle_lock);
        pthread_mutex_lock(&fci->lock);
        if (!stopping(internal) && !has_flag(fci, owed)) {
            bool timed_out = wait_for_wakeup(
                fci, internal ? CLIENT_INTERNAL_TICK_SECONDS : CLIENT_IDLE_SECONDS, internal);
            if (internal && clients.internal_client_tick) {
                pthread_mutex_unlock(&fci->lock);
                clients.internal_client_tick(fci);
                pthread_mutex_lock(&fci->lock);
            }
            if (timed_out && internal) {
                pthread_mutex_unlock(&fci->lock);
                pthread_mutex_lock(&fci->cycle_lock);
                continue;
            }
            if (timed_out && client_num_pending(fci) == 0 && !has_flag(fci, owed)) {
                // Idle: the record stays; the next wake-up starts a new thread.
                fci->flags.fetch_or(CLIENT_THREAD_EXITED, std::memory_order_acq_rel);
                pthread_mutex_unlock(&fci->lock);
                return nullptr;
            }
        }
        pthread_mutex_unlock(&fci->lock);
        pthread_mutex_lock(&fci->cycle_lock);
        if (!internal && lifecycle.shutting_down.load()) {
            break;
        }
        if (has_flag(fci, CLIENT_GOING_AWAY)) {
            break;
        }
        int32_t notice = send_owed_notices(fci);
        if (has_flag(fci, CLIENT_GOING_AWAY)) {
            break;
        }
        if (notice != 0) {
            // No event goes out before the owed notice; retry it next cycle.
            pthread_mutex_lock(&fci->lock);
            wait_for_wakeup(fci, CLIENT_NOTICE_RETRY_SECONDS);
            pthread_mutex_unlock(&fci->lock);
            continue;
        }
        if (works_in_volume(fci)) {
            t_refuse.volume_gone = chdir_to_volume(fci) != 0;
        }
        r = client_process_events(fci);
        if (works_in_volume(fci)) {
            thread_chdir("/");
        }
    }

    if (!internal && lifecycle.shutting_down.load()) {
        pthread_mutex_unlock(&fci->cycle_lock);
        clients.num_clients.fetch_sub(1, std::memory_order_acq_rel);
        return nullptr;
    }
    if (internal && lifecycle.shutting_down.load() && !has_flag(fci, CLIENT_GOING_AWAY)) {
        // No event is routed any more: file what is left so the last flush holds it.
        client_process_events(fci);
    }
    // The event thread finds the client going away once it holds the lock, and the teardown
    // waits for it as a walker before the record is freed.
    pthread_mutex_unlock(&fci->cycle_lock);
    teardown_client(fci, internal);
    return nullptr;
}

int start_client_thread(client_info* fci) {
    pthread_attr_t attr;
    int err = pthread_attr_init(&attr);
    if (err != 0) {
        return err;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    err = pthread_create(&thread, &attr, client_loop, fci);
    pthread_attr_destroy(&attr);
    return err;
}
