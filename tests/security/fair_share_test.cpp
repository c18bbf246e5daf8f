// Fair share between local users: one unprivileged user (uid 65534) attacks what the daemon
// shares (connections, client slots, notices, log readers, routing), and two victims, root and
// another user (uid 65533), are served while the attack runs and once it is over: their queries
// are answered at once, they register, and a change they make reaches their stream.
//
// With VANTLES_ATTACK_SCALE=full the attacks take their full size (bench/attacks.sh collects
// the "ATTACK ..." line every victim check prints).
#include "attacker.h"

#include "vantles/client.h"
#include "vantles/stream.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int64_t FAIR_SLOWDOWN = 10;
#else
constexpr int64_t FAIR_SLOWDOWN = 1;
#endif
// A query is answered within 100 ms, a registration takes a millisecond or two, whatever
// another user does; an event that takes seconds has been starved.
constexpr int64_t FAIR_QUERY_BOUND_MS = 100 * FAIR_SLOWDOWN;
constexpr int64_t FAIR_STREAM_BOUND_MS = 1000 * FAIR_SLOWDOWN;
constexpr int FAIR_EVENT_BOUND_MS = 5000 * FAIR_SLOWDOWN;
constexpr uid_t FAIR_OTHER_USER = 65533;
constexpr int FAIR_USER_CONNECTIONS = 256;  // the daemon's defaults
constexpr int FAIR_MAX_CLIENTS = 512;
constexpr int FAIR_FD_SLACK = 16;       // the daemon's transient descriptors
constexpr int FAIR_FLUSH_NAMES = 5000;  // make the disk logger write a log file
// A replay waiting for a reader held by a client that never reads waits for minutes.
constexpr int FAIR_REPLAY_BOUND_MS = 20000;
constexpr uint32_t FILES = VANTLES_FLAG_FILE_EVENTS;

int scaled(int test, int full) {
    const char* scale = getenv("VANTLES_ATTACK_SCALE");
    return scale != nullptr && strcmp(scale, "full") == 0 ? full : test;
}

// Deep and long-named (about 900 bytes), so that watched paths of the attacker's can share all
// but their last bytes with the victim's events.
std::string victim_dir(uid_t uid) {
    std::string dir = "/tmp/victim-" + std::to_string(uid);
    for (char c : {'a', 'b', 'c', 'd'})
        dir += "/" + std::string(220, c);
    return dir;
}

// One victim check (-1: not reached); failure is empty when the victim was served.
struct victim_figures {
    std::string failure;
    long long query_ms = -1, stream_ms = -1, event_ms = -1;
};

// A fresh connection answers the current id and the root volume's uuid; a stream on the
// victim's directory registers, gets the creation of `name` with no dropped notice, and
// unregisters. root_prefix leads to the daemon's "/".
victim_figures victim_check(const test_daemon& d, uid_t uid, uint32_t root_device,
                            const std::string& root_prefix, const std::string& name) {
    victim_figures f;
    auto failed = [&](const std::string& what, int err) {
        f.failure = what + " failed: " + std::to_string(err);
        return f;
    };
    int64_t start = live_now_ms();
    vantles_connection conn;
    uint64_t id = 0;
    int err = vantles_connect(d.socket_path.c_str(), &conn);
    if (err != 0 || (err = vantles_get_current_event_id(&conn, &id)) != 0 || id == 0)
        return failed("current event id", err);
    int64_t answered = live_now_ms();
    char uuid[VANTLES_UUID_TEXT_LENGTH + 1] = {};
    err = vantles_get_volume_uuid(&conn, root_device, uuid);
    if (err != 0 || strlen(uuid) != VANTLES_UUID_TEXT_LENGTH || strncmp(uuid, "NO-UUID", 7) == 0)
        return failed("volume uuid " + std::string(uuid), err);
    f.query_ms = std::max(answered - start, live_now_ms() - answered);

    std::string path = victim_dir(uid) + "/" + name;
    live_stream stream;
    int64_t registering = live_now_ms();
    if ((err = live_stream_start(&stream, live_options(d, {victim_dir(uid)}, FILES, 50000))))
        return failed("registration", err);
    int64_t changed = live_now_ms();
    int fd = open((root_prefix + path).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || close(fd) != 0)
        return failed("creating " + path, errno);
    live_event got;
    if (!live_wait_event(&stream.sink, live_path_is(path), FAIR_EVENT_BOUND_MS, &got))
        return failed("event of " + name, ETIMEDOUT);
    f.event_ms = got.received_ms - changed;
    for (const live_event& e : live_sink_events(&stream.sink))
        if (e.flags & (VANTLES_EVENT_KERNEL_DROPPED | VANTLES_EVENT_USER_DROPPED))
            return failed("dropped notice: " + live_describe({e}), 0);
    int64_t unregistering = live_now_ms();
    if ((err = live_stream_stop(&stream)) != 0)
        return failed("unregistration", err);
    f.stream_ms = std::max(changed - registering, live_now_ms() - unregistering);
    return f;
}

// The test's requests to a child (go, stop, check now) are SIGUSR1, held from the child's
// start and taken when it is ready, waiting for one or not.
void hold_requests() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigprocmask(SIG_BLOCK, &set, nullptr);
}
bool requested(bool wait) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    timespec now = {};
    return (wait ? sigwaitinfo(&set, nullptr) : sigtimedwait(&set, nullptr, &now)) == SIGUSR1;
}

// Body: holds `count` silent connections, reconnecting whenever the daemon closes one, "O"
// once all are open; asked to stop, it reconnects no more and says "S" once all are closed.
int flood_connections(attacker_out out, const char* socket_path, int count) {
    hold_requests();
    std::vector<vantles_connection> conns(static_cast<size_t>(count));
    std::vector<pollfd> fds(conns.size(), {-1, POLLRDHUP, 0});
    auto open_one = [&](size_t i) {
        bool done = vantles_connect(socket_path, &conns[i]) == 0;
        fds[i].fd = done ? static_cast<int>(conns[i].port) : -1;
        return done;
    };
    for (size_t i = 0; i < conns.size(); i++)
        if (!open_one(i))
            return 1;
    attacker_say(out, "O");
    bool again = true;
    for (size_t open = conns.size(); open > 0;) {
        again = again && !requested(false);
        if (poll(fds.data(), fds.size(), 100) <= 0)
            continue;
        for (size_t i = 0; i < conns.size(); i++)
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLHUP | POLLRDHUP | POLLERR))) {
                vantles_close(&conns[i]);
                if (!again || !open_one(i))
                    open--;
            }
    }
    attacker_say(out, "S");
    return 0;
}

// Body: "O"; once asked, bursts of `cycles` directories made in dir, each with a file made and
// removed in it, then removed, with a pause between bursts (a storm that outruns the kernel's
// queue is a real loss that everyone is told of), until asked to stop: "B" after the first
// burst, "S" at the end.
int churn_directories(attacker_out out, const std::string& dir, int cycles) {
    hold_requests();
    attacker_say(out, "O");
    requested(true);
    for (long done = 0; done == 0 || !requested(false); usleep(100000)) {
        for (int i = 0; i < cycles; i++, done++) {
            std::string sub = dir + "/d" + std::to_string(done), file = sub + "/f";
            int fd = -1;
            if (mkdir(sub.c_str(), 0755) != 0 ||
                (fd = open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)) < 0 ||
                close(fd) != 0 || unlink(file.c_str()) != 0 || rmdir(sub.c_str()) != 0)
                return 1;
        }
        if (done == cycles)
            attacker_say(out, "B");
    }
    attacker_say(out, "S");
    return 0;
}

// Body: registers up to `count` file-level streams since `since`, stream i on paths_of(i),
// stopping at the first refusal: "P registered" after each, "N registered code" at the end.
// A replaying hog then waits until every stream has event messages queued (its replay took a
// log reader and blocks on the socket it never reads): "F". Holds them until killed.
int hold_streams(attacker_out out, const char* socket_path, uint64_t since, size_t count,
                 const std::function<std::vector<std::string>(size_t)>& paths_of) {
    vantles_connection conn;
    int code = vantles_connect(socket_path, &conn);
    std::vector<vantles_registration> regs(count);
    std::vector<pollfd> queued;
    size_t done = 0;
    for (; code == 0 && done < count; done++) {
        std::vector<std::string> paths = paths_of(done);
        std::vector<const char*> texts;
        for (const std::string& p : paths)
            texts.push_back(p.c_str());
        vantles_register_args args;
        args.create_flags = FILES;
        args.since_when = since;
        args.paths = texts;
        if ((code = vantles_register(&conn, args, &regs[done])) != 0)
            break;
        queued.push_back({static_cast<int>(regs[done].event_port), POLLIN, 0});
        attacker_say(out, "P " + std::to_string(done + 1));
    }
    attacker_say(out, "N " + std::to_string(done) + " " + std::to_string(code));
    if (since != VANTLES_EVENT_ID_NOW &&
        wait_until(
            [&] {
                return poll(queued.data(), queued.size(), 0) >= 0 &&
                       std::all_of(queued.begin(), queued.end(),
                                   [](pollfd p) { return p.revents & POLLIN; });
            },
            SECURITY_WAIT_MS))
        attacker_say(out, "F");
    pause();
    return 0;
}

class FairShare : public SecurityTest {
protected:
    // Starts the daemon with env, makes each victim's directory its own, and starts the other
    // victim: a child that runs a check per request and reports "V query stream event".
    void start(std::vector<std::string> env = {}, bool settle = false) {
        daemon_.env = std::move(env);
        daemon_.settle = settle;
        ASSERT_NO_FATAL_FAILURE(start_daemon());
        umask(022);
        for (uid_t uid : {uid_t(0), FAIR_OTHER_USER}) {
            ASSERT_TRUE(std::filesystem::create_directories(host(victim_dir(uid))));
            ASSERT_EQ(0, chown(host(victim_dir(uid)).c_str(), uid, uid));
        }
        root_device_ = live_device_of(daemon_, "/");
        ASSERT_NE(0u, root_device_);
        ASSERT_EQ(0, live_sync(daemon_, "/tmp"));  // the event machinery is up
        ASSERT_EQ(0,
                  attacker_start(&other_, {&daemon_, 0, FAIR_OTHER_USER}, [this](attacker_out out) {
                      hold_requests();
                      attacker_say(out, "R");
                      for (int n = 0; requested(true); n++) {
                          victim_figures v = victim_check(daemon_, FAIR_OTHER_USER, root_device_,
                                                          "", "o-" + std::to_string(n));
                          char line[128];
                          snprintf(line, sizeof line, "V %lld %lld %lld", v.query_ms, v.stream_ms,
                                   v.event_ms);
                          attacker_say(out, v.failure.empty() ? line : "X " + v.failure);
                      }
                      return 0;
                  }));
        ASSERT_EQ(std::vector<std::string>{"R"}, attacker_read(&other_, "R"));
    }

    // Starts an attacker (uid 65534) running body and waits for its line beginning with
    // `ready` (kept in said_).
    void start_attacker(attacker* a, const std::function<int(attacker_out)>& body,
                        const std::string& ready, rlim_t descriptors = 4 * FAIR_MAX_CLIENTS) {
        ASSERT_EQ(0, attacker_start(a, {&daemon_, descriptors}, body));
        std::vector<std::string> lines = attacker_read(a, ready);
        said_ = lines.empty() ? "(nothing)" : lines.back();
        ASSERT_TRUE(said_.starts_with(ready)) << said_;
    }

    void start_holding(attacker* a, size_t count,
                       const std::function<std::vector<std::string>(size_t)>& paths_of,
                       const std::string& ready, uint64_t since = VANTLES_EVENT_ID_NOW) {
        const char* socket_path = daemon_.socket_path.c_str();
        start_attacker(
            a,
            [&](attacker_out out) {
                return hold_streams(out, socket_path, since, count, paths_of);
            },
            ready);
    }

    // Sends a child a request; its answer, the line that begins with `until`.
    std::string ask(attacker* a, const std::string& until) {
        kill(a->pid, SIGUSR1);
        std::vector<std::string> lines = attacker_read(a, until);
        return lines.empty() ? "(nothing)" : lines.back();
    }

    // Both victims' checks, root's here and the other user's in its child.
    void victims_served(const char* attack, long size, const char* phase) {
        for (uid_t uid : {uid_t(0), FAIR_OTHER_USER}) {
            victim_figures f;
            if (uid == 0) {
                f = victim_check(daemon_, uid, root_device_, host(""),
                                 "e-" + std::to_string(++checks_));
            } else {
                f.failure = ask(&other_, "V");
                if (sscanf(f.failure.c_str(), "V %lld %lld %lld", &f.query_ms, &f.stream_ms,
                           &f.event_ms) == 3)
                    f.failure.clear();
            }
            printf(
                "ATTACK %s size=%ld phase=%s victim=%u query_ms=%lld stream_ms=%lld "
                "event_ms=%lld\n",
                attack, size, phase, uid, f.query_ms, f.stream_ms, f.event_ms);
            fflush(stdout);
            SCOPED_TRACE("victim " + std::to_string(uid) + ", " + phase);
            EXPECT_EQ("", f.failure);
            EXPECT_LT(f.query_ms, FAIR_QUERY_BOUND_MS);
            EXPECT_LT(f.stream_ms, FAIR_STREAM_BOUND_MS);
        }
    }

    void kill_attacker(attacker* a) {
        kill(a->pid, SIGKILL);
        EXPECT_EQ(-1, attacker_wait(a));
    }

    uint32_t root_device_ = 0;
    int checks_ = 0;
    std::string said_;
    attacker other_;
};

// Silent connections of three processes of one user, reopened as soon as the daemon closes
// them: the daemon holds the user's share and no more, logs the refusal, and closes the held
// ones once idle.
TEST_F(FairShare, ConnectionFloodHoldsOneUsersShareUntilIdle) {
    ASSERT_NO_FATAL_FAILURE(start({"VANTLESD_IDLE_TIMEOUT=2"}, true));
    const int each = scaled(600, 7000);
    const int before = proc_fd_count(daemon_.pid);
    const char* socket_path = daemon_.socket_path.c_str();
    attacker floods[3];
    for (attacker& a : floods)
        ASSERT_NO_FATAL_FAILURE(start_attacker(
            &a, [&](attacker_out out) { return flood_connections(out, socket_path, each); }, "O",
            each + 64));
    EXPECT_TRUE(test_daemon_wait_log(daemon_, "too many connections for uid 65534 (limit 256)",
                                     SECURITY_WAIT_MS));
    int held = proc_fd_count(daemon_.pid) - before;
    victims_served("connections", 3 * each, "during");
    held = std::max(held, proc_fd_count(daemon_.pid) - before);
    EXPECT_LE(held, FAIR_USER_CONNECTIONS + FAIR_FD_SLACK) << proc_fd_list(daemon_.pid);
    for (attacker& a : floods)
        EXPECT_EQ("S", ask(&a, "S"));
    victims_served("connections", 3 * each, "after");
}

// One process registers until refused: it gets its user's share of client slots, and they
// come back once it is killed (the daemon finds out by itself).
TEST_F(FairShare, ClientTableHogGetsItsShareOnly) {
    ASSERT_NO_FATAL_FAILURE(start());
    attacker hog;
    ASSERT_NO_FATAL_FAILURE(start_holding(
        &hog, FAIR_MAX_CLIENTS + 8, [](size_t) { return std::vector<std::string>{"/tmp"}; }, "N"));
    EXPECT_EQ("N 64 " + std::to_string(VANTLES_ERR_NO_CLIENT), said_);
    EXPECT_TRUE(test_daemon_wait_log(daemon_, "too many clients for uid 65534 (limit 64)",
                                     SECURITY_WAIT_MS));
    victims_served("client-slots", 64, "during");
    kill_attacker(&hog);
    EXPECT_TRUE(live_state_becomes(&daemon_, LIVE_INTERNAL_CLIENTS, -1, SECURITY_WAIT_MS));
    victims_served("client-slots", 64, "after");
}

// Directories made and removed at once where anyone may write: a root client watching another
// directory gets no notice of any kind, one watching the whole volume no dropped notice.
TEST_F(FairShare, DirectoryChurnSendsNoNoticesToOthers) {
    ASSERT_NO_FATAL_FAILURE(start());
    make_dir("/tmp/pub", 01777);
    make_dir("/tmp/quiet", 0755);
    ASSERT_EQ(0, live_sync(daemon_, "/tmp"));
    const int cycles = scaled(100, 1000);
    attacker churn;
    ASSERT_NO_FATAL_FAILURE(start_attacker(
        &churn, [&](attacker_out out) { return churn_directories(out, "/tmp/pub", cycles); }, "O"));
    live_stream quiet, all;
    ASSERT_EQ(0, live_stream_start(&quiet, live_options(daemon_, {"/tmp/quiet"}, FILES)));
    ASSERT_EQ(0, live_stream_start(&all, live_options(daemon_, {"/"}, FILES)));
    ASSERT_EQ("B", ask(&churn, "B"));
    victims_served("notices", cycles, "during");
    EXPECT_EQ("S", ask(&churn, "S"));
    victims_served("notices", cycles, "after");

    make_file("/tmp/quiet/sentinel", 0644);
    for (live_stream* s : {&quiet, &all})
        ASSERT_TRUE(
            live_wait_event(&s->sink, live_path_is("/tmp/quiet/sentinel"), LIVE_EVENT_TIMEOUT_MS));
    std::vector<live_event> seen = live_sink_events(&quiet.sink);
    for (const live_event& e : seen)
        EXPECT_EQ("/tmp/quiet/sentinel", e.path) << live_describe(seen);
    seen = live_sink_events(&all.sink);
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const live_event& e) {
        return e.path.starts_with("/tmp/pub/d");
    })) << "the churn was not seen at all";
    for (const live_event& e : seen)
        EXPECT_EQ(0u, e.flags & (VANTLES_EVENT_KERNEL_DROPPED | VANTLES_EVENT_USER_DROPPED))
            << live_describe({e});
}

// More replaying clients than there are log readers, of one process that never reads, sit in
// their sends: another user's replay of the same history still ends, complete, in bounded time.
TEST_F(FairShare, ReplayHogDoesNotHoldUpAnotherUsersReplay) {
    ASSERT_NO_FATAL_FAILURE(start());
    make_dir("/tmp/r", 0755);
    ASSERT_EQ(0, live_sync(daemon_, "/tmp/r"));
    // Long names fill the hog's sockets after fewer batches.
    const std::string stem = "/tmp/r/a-long-name-so-that-batches-are-large-and-sockets-fill-";
    for (int i = 0; i < FAIR_FLUSH_NAMES + 100; i++)
        make_file(stem + std::to_string(i), 0644);
    int synced = ETIMEDOUT;
    for (int tries = 0; tries < 3 && synced == ETIMEDOUT; tries++)  // slow under a sanitizer
        synced = live_sync(daemon_, "/tmp/r");
    ASSERT_EQ(0, synced);

    const int hogs = scaled(12, 60);
    attacker hog;
    ASSERT_NO_FATAL_FAILURE(start_holding(
        &hog, hogs, [](size_t) { return std::vector<std::string>{"/tmp/r"}; }, "N", 0));
    ASSERT_EQ("N " + std::to_string(hogs) + " 0", said_);
    ASSERT_EQ("F", attacker_read(&hog, "F").back()) << "the hog's replays never began";
    live_stream replay;
    vantles_stream_options o = live_options(daemon_, {"/tmp/r"}, FILES);
    o.since_when = 0;
    ASSERT_EQ(0, live_stream_start(&replay, o));
    victims_served("replay", hogs, "during");
    EXPECT_TRUE(live_wait_event(
        &replay.sink, [](const live_event& e) { return e.flags & VANTLES_EVENT_HISTORY_DONE; },
        FAIR_REPLAY_BOUND_MS))
        << "no history-done notice";
    std::vector<live_event> got = live_sink_events(&replay.sink);
    EXPECT_EQ(FAIR_FLUSH_NAMES + 100,
              std::count_if(got.begin(), got.end(),
                            [&](const live_event& e) { return e.path.starts_with(stem); }));
    kill_attacker(&hog);
    victims_served("replay", hogs, "after");
}

// Clients watching the most paths a registration may name, each about 1000 bytes and sharing
// all but its last bytes with the victims' events: the victims stay served while they register,
// while routing passes them by, and while the daemon removes them once their process is killed.
TEST_F(FairShare, LongWatchedPathsLeaveOthersServed) {
    ASSERT_NO_FATAL_FAILURE(start());
    const int clients = scaled(4, 64);
    auto paths_of = [](size_t c) {
        std::vector<std::string> paths;
        for (size_t i = 0; i < 4096; i++) {
            paths.push_back(victim_dir(i % 2 ? FAIR_OTHER_USER : 0) + "/w" + std::to_string(c) +
                            "-" + std::to_string(i));
            paths.back().resize(1000, 'w');
        }
        return paths;
    };
    attacker watcher;
    ASSERT_NO_FATAL_FAILURE(start_holding(&watcher, clients, paths_of, "P"));
    int64_t deadline = live_now_ms() + SECURITY_WAIT_MS;
    do {
        victims_served("long-paths", clients, "during");
        for (const std::string& line : attacker_read(&watcher, "N", 1))
            said_ = line;
    } while (said_[0] == 'P' && live_now_ms() < deadline);
    ASSERT_EQ("N " + std::to_string(clients) + " 0", said_);
    victims_served("long-paths", clients, "during");
    kill_attacker(&watcher);
    victims_served("long-paths", clients, "after");
}

}  // namespace
