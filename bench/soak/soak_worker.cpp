// A client worker of the soak: one process holding a number of client slots, each of which
// registers a session on random prefixes of the tree, reads its events, stalls now and then
// (stops reading, so that the daemon's sends to it time out and its ring fills), ends its
// session (unregistering, or releasing its ports without a word), waits and comes back.
//
// Half the sessions use the stream API; the others register through the request calls and
// read the event messages themselves, which is what lets them release their ports without
// unregistering. A session that is to be checked ends with a sentinel: it makes a directory
// in its own sync directory (also watched) and reads on until that change arrives. Events
// reach a client in id order, so every change made before the sentinel has arrived by then.
//
// The worker checks on the spot what one event can show (a path outside the watched ones or
// inside an excluded one, the own flag) and reports each finished session to the parent on
// descriptor 3: when it registered, whether it saw a dropped notice, and per delivered path the
// last time an event for it came. Descriptor 4 becomes readable (a byte or end of file) when
// the soak ends: every session then ends, checked, and the worker exits.
#include "bench/soak/soak.h"

#include "platform/messages.h"
#include "platform/port.h"
#include "vantles/stream.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace {

constexpr int WORKER_REPORT_FD = 3;
constexpr int WORKER_CONTROL_FD = 4;
constexpr int64_t WORKER_SYNC_TIMEOUT_US = 30000000;  // the sentinel's arrival
// Read on after the sentinel: the rest of its delivery cycle follows at once (an event merged
// into a pending record after the sentinel's id may come just behind it).
constexpr int64_t WORKER_DRAIN_US = 500000;
constexpr int WORKER_MESSAGES_PER_TURN = 64;
constexpr size_t WORKER_PROBLEMS_MAX = 8;

enum class phase { idle, active, syncing, draining };

struct worker_options {
    int worker = 0;
    int slots = 20;
    std::string socket;
    uint64_t seed = 1;
    double session_max_s = 40;
    double stall_max_s = 25;
};

struct slot_state {
    int slot = 0;
    phase at = phase::idle;
    int64_t next_us = 0;  // idle: when to register again
    uint32_t sessions = 0;
    soak_session s;
    // The open session.
    vantles_stream* stream = nullptr;
    vantles_connection conn;
    vantles_registration reg;
    int64_t active_until_us = 0;
    int64_t stall_from_us = 0;
    int64_t stall_until_us = 0;
    int64_t flush_at_us = 0;  // 0: none
    int64_t sync_deadline_us = 0;
    int64_t drain_until_us = 0;
    std::string sentinel_key;
    uint64_t last_id = 0;
    size_t problems_dropped = 0;
};

struct worker {
    worker_options o;
    std::mt19937_64 rng;
    std::vector<slot_state> slots;
    bool finishing = false;
};

double uniform(worker* w, double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(w->rng);
}

int pick(worker* w, int n) {
    return std::uniform_int_distribution<int>(0, n - 1)(w->rng);
}

bool chance(worker* w, double p) {
    return uniform(w, 0, 1) < p;
}

void write_all(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            _exit(3);  // the parent is gone: nothing left to report to
        p += n;
        left -= size_t(n);
    }
}

void problem(slot_state* c, const std::string& text) {
    if (c->s.problems.size() < WORKER_PROBLEMS_MAX)
        c->s.problems.push_back(text);
    else
        c->problems_dropped++;
}

// A random watched path: mostly the tree's directories, now and then its root, one file name
// or one empty directory's name (a prefix need not exist).
std::string random_prefix(worker* w) {
    std::string top = std::string(SOAK_TREE) + "/d" + std::to_string(pick(w, SOAK_TOP_DIRS));
    std::string sub = top + "/e" + std::to_string(pick(w, SOAK_SUB_DIRS));
    int r = pick(w, 100);
    if (r < 4)
        return SOAK_TREE;
    if (r < 40)
        return top;
    if (r < 85)
        return sub;
    if (r < 95)
        return sub + "/f" + std::to_string(pick(w, 32));
    return top + "/x" + std::to_string(pick(w, 4));
}

// Event key: the delivered path without the trailing "/" of a directory-level event.
std::string event_key(const char* path) {
    std::string key = path;
    if (key.size() > 1 && key.back() == '/')
        key.pop_back();
    return key;
}

void on_events(slot_state* c, std::span<const vantles_event> events) {
    int64_t now = soak_now_us();
    soak_session& s = c->s;
    for (const vantles_event& e : events) {
        if (e.flags & VANTLES_EVENT_USER_DROPPED) {
            s.user_dropped = true;
            s.notices++;
            continue;
        }
        if (e.flags & VANTLES_EVENT_KERNEL_DROPPED) {
            s.kernel_dropped = true;
            s.notices++;
            continue;
        }
        if (e.flags & (VANTLES_EVENT_HISTORY_DONE | VANTLES_EVENT_IDS_WRAPPED)) {
            problem(c, "a history or id notice for a live-only session: " + std::string(e.path));
            continue;
        }
        s.events++;
        if (e.id <= c->last_id)
            s.out_of_order++;
        c->last_id = std::max(c->last_id, e.id);
        std::string key = event_key(e.path);
        bool sync = soak_under(key, s.sync_dir);
        bool watched = sync;
        for (const std::string& p : s.paths)
            watched = watched || soak_under(key, p);
        if (!watched)
            problem(c, "event for " + std::string(e.path) + " outside the watched paths");
        for (const std::string& x : s.excludes) {
            if (strncmp(e.path, (x + "/").c_str(), x.size() + 1) == 0)
                problem(c, "event for " + std::string(e.path) + " inside excluded " + x);
        }
        bool own = e.flags & VANTLES_EVENT_OWN;
        if (own != (s.mark_self && sync))
            problem(c, std::string(own ? "own flag on " : "no own flag on ") + e.path);
        s.last_seen[key] = now;
        if (c->at == phase::syncing && key == c->sentinel_key) {
            s.sync_seen = true;
            c->at = phase::draining;
            c->drain_until_us = now + WORKER_DRAIN_US + int64_t(s.latency_us);
        }
    }
}

void stream_batch(void* ctx, std::span<const vantles_event> events) {
    on_events(static_cast<slot_state*>(ctx), events);
}

// The batches of a raw session waiting on its event port, checked as the stream API checks
// them. false when the daemon closed the port.
bool receive_raw(slot_state* c) {
    union {
        mach_msg_header_t head;
        uint8_t bytes[sizeof(events_message_t) + MACH_MSG_TRAILER_AUDIT_SIZE + 64];
    } buffer;
    std::vector<vantles_event> events;
    for (int i = 0; i < WORKER_MESSAGES_PER_TURN; i++) {
        pollfd p = {int(c->reg.event_port), POLLIN, 0};
        if (poll(&p, 1, 0) <= 0)
            return true;
        kern_return_t kr = mach_msg_receive(c->reg.event_port, &buffer.head, sizeof buffer.bytes,
                                            MACH_MSG_TIMEOUT_NONE);
        if (kr == MACH_RCV_PORT_DIED)
            return false;
        if (kr != KERN_SUCCESS) {
            problem(c, "receive failed: 0x" + std::to_string(kr));
            continue;
        }
        auto* m = reinterpret_cast<events_message_t*>(&buffer.head);
        uint32_t n = m->num_events;
        bool ok = buffer.head.msgh_id == VANTLES_MSG_EVENTS &&
                  buffer.head.msgh_size == sizeof(events_message_t) && m->offset_count == n &&
                  m->flag_count == n && m->id_count == n && m->path_offsets.size == n * 4 &&
                  m->flags.size == n * 4 && m->ids.size == uint64_t{n} * 8 &&
                  m->paths.size == m->paths_blob_size && n > 0 && m->paths_blob_size > 0;
        const char* blob = reinterpret_cast<const char*>(m->paths.address);
        ok = ok && blob && blob[m->paths_blob_size - 1] == '\0';
        events.resize(ok ? n : 0);
        for (uint32_t k = 0; ok && k < n; k++) {
            uint32_t offset, flags;
            uint64_t id;
            memcpy(&offset, reinterpret_cast<const uint8_t*>(m->path_offsets.address) + 4 * k, 4);
            memcpy(&flags, reinterpret_cast<const uint8_t*>(m->flags.address) + 4 * k, 4);
            memcpy(&id, reinterpret_cast<const uint8_t*>(m->ids.address) + 8 * k, 8);
            ok = offset < m->paths_blob_size;
            events[k] = {id, flags, ok ? blob + offset : ""};
        }
        if (ok)
            on_events(c, events);
        else
            problem(c, "a malformed event message");
        mach_msg_destroy(&buffer.head);
    }
    return true;
}

void report(const std::string& text) {
    write_all(WORKER_REPORT_FD, text);
}

// Registers a new session with random settings.
void start_session(worker* w, slot_state* c) {
    c->sessions++;
    c->s = soak_session();
    soak_session& s = c->s;
    s.worker = w->o.worker;
    s.slot = c->slot;
    s.number = c->sessions;
    s.pid = getpid();
    // A stalling session mostly watches the whole tree at file level, so that its socket and
    // then its ring fill while it does not read: it is to see the daemon drop events for it.
    bool will_stall = chance(w, 0.3);
    bool stall_wide = will_stall && chance(w, 0.6);
    s.file_level = stall_wide || chance(w, 0.6);
    s.mark_self = chance(w, 0.25);
    s.raw = chance(w, 0.5);
    static const uint64_t LATENCIES[] = {0, 10000, 50000, 100000, 300000, 1000000};
    s.latency_us = LATENCIES[pick(w, 6)];
    int count = 1 + pick(w, 3);
    for (int i = 0; i < count; i++)
        s.paths.push_back(i == 0 && stall_wide ? std::string(SOAK_TREE) : random_prefix(w));
    // Now and then a subdirectory of the first path left out, when it has ones.
    if (chance(w, 0.25) && s.paths[0].size() > strlen(SOAK_TREE) &&
        std::count(s.paths[0].begin() + long(strlen(SOAK_TREE)), s.paths[0].end(), '/') == 1 &&
        s.paths[0].find("/x") == std::string::npos) {
        s.excludes.push_back(s.paths[0] + "/e" + std::to_string(pick(w, SOAK_SUB_DIRS)));
    }
    s.sync_dir = std::string(SOAK_SYNC) + "/w" + std::to_string(w->o.worker) + "." +
                 std::to_string(getpid()) + ".s" + std::to_string(c->slot);
    c->sentinel_key = s.file_level ? s.sync_dir + "/s" + std::to_string(s.number) : s.sync_dir;
    c->last_id = 0;
    c->problems_dropped = 0;

    std::vector<std::string> paths = s.paths;
    paths.push_back(s.sync_dir);
    uint32_t flags = (s.file_level ? VANTLES_FLAG_FILE_EVENTS : 0) |
                     (s.mark_self ? VANTLES_FLAG_MARK_SELF : 0) |
                     (chance(w, 0.25) ? VANTLES_FLAG_NO_DEFER : 0);
    int err;
    if (!s.raw) {
        vantles_stream_options o;
        o.socket_path = w->o.socket.c_str();
        o.paths = paths;
        o.excludes = s.excludes;
        o.latency_us = s.latency_us;
        o.create_flags = flags;
        err = vantles_stream_create(o, stream_batch, c, &c->stream);
        if (err == 0)
            err = vantles_stream_start(c->stream);
        if (err != 0) {
            vantles_stream_destroy(c->stream);
            c->stream = nullptr;
        }
    } else {
        std::vector<const char*> p, x;
        for (const std::string& path : paths)
            p.push_back(path.c_str());
        for (const std::string& path : s.excludes)
            x.push_back(path.c_str());
        vantles_register_args args;
        args.paths = p;
        args.excludes = x;
        args.latency_us = s.latency_us;
        args.create_flags = flags;
        err = vantles_connect(w->o.socket.c_str(), &c->conn);
        if (err == 0)
            err = vantles_register(&c->conn, args, &c->reg);
        if (err != 0)
            vantles_close(&c->conn);
    }
    int64_t now = soak_now_us();
    if (err != 0) {
        report("F worker " + std::to_string(w->o.worker) + " slot " + std::to_string(c->slot) +
               ": registration failed with " + std::to_string(err) + "\n");
        c->next_us = now + 1000000;
        return;
    }
    s.registered_us = now;
    report("R " + std::to_string(c->slot) + " " + std::to_string(s.number) + "\n");
    c->at = phase::active;
    c->active_until_us = now + int64_t(uniform(w, 2, w->o.session_max_s) * 1e6);
    c->stall_from_us = c->stall_until_us = 0;
    if (will_stall) {
        c->stall_from_us = now + int64_t(uniform(w, 0, double(c->active_until_us - now)));
        c->stall_until_us = c->stall_from_us + int64_t(uniform(w, 1, w->o.stall_max_s) * 1e6);
        c->active_until_us = std::max(c->active_until_us, c->stall_until_us);
    }
    c->flush_at_us =
        chance(w, 0.3) ? now + int64_t(uniform(w, 0, double(c->active_until_us - now))) : 0;
}

bool stalled(const slot_state* c, int64_t now) {
    return c->at == phase::active && now >= c->stall_from_us && now < c->stall_until_us;
}

void end_session(worker* w, slot_state* c) {
    soak_session& s = c->s;
    if (c->stream) {
        int err = vantles_stream_stop(c->stream);
        if (err != 0)
            problem(c, "unregister failed with " + std::to_string(err));
        vantles_stream_destroy(c->stream);
        c->stream = nullptr;
        s.end = SOAK_END_UNREGISTER;
    } else if (chance(w, 0.5)) {
        int err = vantles_unregister(&c->reg);
        if (err != 0)
            problem(c, "unregister failed with " + std::to_string(err));
        vantles_close(&c->conn);
        s.end = SOAK_END_UNREGISTER;
    } else {
        vantles_release(&c->reg);
        vantles_close(&c->conn);
        s.end = SOAK_END_RELEASE;
    }
    s.end_us = soak_now_us();
    if (c->problems_dropped > 0)
        s.problems.push_back("and " + std::to_string(c->problems_dropped) + " more problems");
    report(soak_session_text(s));
    c->at = phase::idle;
    c->next_us = s.end_us + int64_t(uniform(w, 0.2, 3) * 1e6);
}

// Moves a slot on when its time has come.
void advance(worker* w, slot_state* c, int64_t now) {
    soak_session& s = c->s;
    switch (c->at) {
        case phase::idle:
            if (!w->finishing && now >= c->next_us)
                start_session(w, c);
            return;
        case phase::active:
            if (now >= c->stall_from_us && c->stall_from_us != 0 && !s.stalled) {
                s.stalled = true;
            }
            if (c->flush_at_us != 0 && now >= c->flush_at_us && !stalled(c, now)) {
                c->flush_at_us = 0;
                uint64_t last = 0;
                int err = c->stream ? vantles_stream_flush(c->stream, &last)
                                    : vantles_flush(&c->reg, &last);
                if (err != 0)
                    problem(c, "flush failed with " + std::to_string(err));
            }
            if (now < c->active_until_us && !w->finishing)
                return;
            if (s.stalled)
                s.stall_ms = (std::min(now, c->stall_until_us) - c->stall_from_us) / 1000;
            c->stall_until_us = std::min(c->stall_until_us, now);
            if (s.user_dropped || s.kernel_dropped)
                return end_session(w, c);
            {
                std::string sentinel = s.sync_dir + "/s" + std::to_string(s.number);
                s.sync_us = soak_now_us();
                if (mkdir(sentinel.c_str(), 0755) != 0) {
                    problem(c, "cannot make sentinel " + sentinel + ": " + strerror(errno));
                    return end_session(w, c);
                }
            }
            c->at = phase::syncing;
            c->sync_deadline_us = s.sync_us + WORKER_SYNC_TIMEOUT_US;
            return;
        case phase::syncing:
            if (s.user_dropped || s.kernel_dropped)
                return end_session(w, c);
            if (now >= c->sync_deadline_us) {
                problem(c, "the sentinel " + c->sentinel_key + " did not arrive within " +
                               std::to_string(WORKER_SYNC_TIMEOUT_US / 1000000) + " s");
                return end_session(w, c);
            }
            return;
        case phase::draining:
            if (now >= c->drain_until_us)
                end_session(w, c);
            return;
    }
}

bool parse_options(int argc, char** argv, worker_options* o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i];
        const char* value = argv[i + 1];
        if (key == "--worker")
            o->worker = atoi(value);
        else if (key == "--slots")
            o->slots = atoi(value);
        else if (key == "--socket")
            o->socket = value;
        else if (key == "--seed")
            o->seed = strtoull(value, nullptr, 10);
        else if (key == "--session-max")
            o->session_max_s = atof(value);
        else if (key == "--stall-max")
            o->stall_max_s = atof(value);
        else
            return false;
    }
    return o->slots > 0 && !o->socket.empty();
}

}  // namespace

int soak_worker_main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    worker w;
    if (!parse_options(argc, argv, &w.o)) {
        fprintf(stderr, "soak worker: bad options\n");
        return 2;
    }
    w.rng.seed(w.o.seed);
    w.slots.resize(size_t(w.o.slots));
    int64_t start = soak_now_us();
    for (int i = 0; i < w.o.slots; i++) {
        slot_state& c = w.slots[size_t(i)];
        c.slot = i;
        // Staggered, so that a new worker does not register all its slots at once.
        c.next_us = start + int64_t(uniform(&w, 0, 3) * 1e6);
        std::string dir = std::string(SOAK_SYNC) + "/w" + std::to_string(w.o.worker) + "." +
                          std::to_string(getpid()) + ".s" + std::to_string(i);
        if (mkdir(dir.c_str(), 0755) != 0) {
            fprintf(stderr, "soak worker: cannot make %s: %s\n", dir.c_str(), strerror(errno));
            return 1;
        }
    }
    std::vector<pollfd> fds;
    std::vector<slot_state*> owners;
    for (;;) {
        int64_t now = soak_now_us();
        bool all_idle = true;
        for (slot_state& c : w.slots) {
            advance(&w, &c, now);
            all_idle = all_idle && c.at == phase::idle;
        }
        if (w.finishing && all_idle)
            break;
        fds.clear();
        owners.clear();
        fds.push_back({WORKER_CONTROL_FD, POLLIN, 0});
        owners.push_back(nullptr);
        now = soak_now_us();
        for (slot_state& c : w.slots) {
            if (c.at == phase::idle || stalled(&c, now))
                continue;
            fds.push_back(
                {c.stream ? vantles_stream_fd(c.stream) : int(c.reg.event_port), POLLIN, 0});
            owners.push_back(&c);
        }
        if (poll(fds.data(), fds.size(), 20) < 0 && errno != EINTR) {
            perror("soak worker: poll");
            return 1;
        }
        if (fds[0].revents != 0 && !w.finishing)
            w.finishing = true;
        for (size_t i = 1; i < fds.size(); i++) {
            if (fds[i].revents == 0)
                continue;
            slot_state* c = owners[i];
            bool alive = true;
            if (c->stream) {
                int err = vantles_stream_dispatch(c->stream, 0);
                alive = err != ECONNRESET;
                if (err != 0 && err != ETIMEDOUT && alive)
                    problem(c, "dispatch failed with " + std::to_string(err));
            } else {
                alive = receive_raw(c);
            }
            if (!alive) {
                problem(c, "the daemon ended the session");
                end_session(&w, c);
            }
        }
    }
    return 0;
}
