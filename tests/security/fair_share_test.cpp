// Fair share between local users: one unprivileged user (uid 65534) attacks what the daemon
// shares (connections, client slots, notices, log readers, routing), and two victims, root and
// another unprivileged user (uid 65533), check that they are still served while the attack
// runs and once it is over: their queries are answered at once, they can register, and a
// change they make reaches their stream.
//
// With VANTLES_ATTACK_SCALE=full the attacks take their full size (bench/attacks.sh); every
// victim check prints its figures as one "ATTACK ..." line for the benchmark to collect.
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
#include <functional>
#include <string>
#include <vector>

namespace {

// Sanitizer builds (GCC's macros) on two cores run the daemon several times slower.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int64_t FAIR_SLOWDOWN = 10;
#else
constexpr int64_t FAIR_SLOWDOWN = 1;
#endif
// A query is answered within 100 ms whatever another user does. Registering or unregistering
// a stream on one path takes a millisecond or two when nothing else holds the server. An
// event that takes seconds to reach its stream has been starved, not delayed.
constexpr int64_t FAIR_QUERY_BOUND_MS = 100 * FAIR_SLOWDOWN;
constexpr int64_t FAIR_STREAM_BOUND_MS = 1000 * FAIR_SLOWDOWN;
constexpr int FAIR_EVENT_BOUND_MS = 5000 * FAIR_SLOWDOWN;
constexpr uint64_t FAIR_LATENCY_US = 50000;
constexpr uid_t FAIR_OTHER_USER = 65533;
constexpr int FAIR_USER_CONNECTIONS = 256;  // the daemon's defaults
constexpr int FAIR_USER_CLIENTS = 64;
constexpr int FAIR_MAX_CLIENTS = 512;
// Descriptors of the daemon's beyond its held connections while an attack runs: transient ones
// (the disk logger's files, a connection being refused).
constexpr int FAIR_FD_SLACK = 16;
constexpr int FAIR_FLOODERS = 3;
// Short, so that the idle connections of the flood are closed within the test.
constexpr const char* FAIR_IDLE_TIMEOUT = "VANTLESD_IDLE_TIMEOUT=2";
// Between bursts of the churn: a storm that outruns the kernel's queue of notifications is a
// real loss, which every client of the volume is rightly told about; bursts are not.
constexpr int FAIR_CHURN_PAUSE_US = 100000;
// Distinct names that make the disk logger write a log file, so that a replay reads one.
constexpr int FAIR_FLUSH_NAMES = 5000;
// A replay of a few thousand names takes well under a second; one that waits for a reader
// held by a client that never reads waits for that client's sends to time out, for minutes.
constexpr int FAIR_REPLAY_BOUND_MS = 20000;
constexpr size_t FAIR_WATCHED_PATHS = 4096;  // the most one registration may name
constexpr size_t FAIR_LONG_PATH = 1000;
// Components of a victim's directory: four of them make it about 900 bytes long.
constexpr size_t FAIR_NAME_LENGTH = 220;

// The attacks' sizes: small for the test suite, full for the benchmark.
int scaled(int test, int full) {
    const char* scale = getenv("VANTLES_ATTACK_SCALE");
    return scale != nullptr && strcmp(scale, "full") == 0 ? full : test;
}

// Deep and long-named, so that the long-path attack can watch paths that share all but their
// last bytes with each event the victim waits for.
std::string victim_dir(uid_t uid) {
    std::string dir = "/tmp/victim-" + std::to_string(uid);
    for (char c : {'a', 'b', 'c', 'd'})
        dir += "/" + std::string(FAIR_NAME_LENGTH, c);
    return dir;
}

// What one victim check measured (-1: not reached): the longer of the two queries (the first
// with its connect), the longer of registering and unregistering the stream, and the time from
// the change to its event. failure says what went wrong; empty when the victim was served.
struct victim_figures {
    std::string failure;
    long long query_ms = -1, stream_ms = -1, event_ms = -1;
};

// The check, in whichever process the victim is: a fresh connection answers the current event
// id and the root volume's uuid; a stream on the victim's directory registers and receives the
// creation of `name` there, with no dropped notice. root_prefix leads to the daemon's "/".
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
        return failed("connect and current event id", err);
    int64_t answered = live_now_ms();
    char uuid[VANTLES_UUID_TEXT_LENGTH + 1] = {};
    err = vantles_get_volume_uuid(&conn, root_device, uuid);
    if (err != 0 || strlen(uuid) != VANTLES_UUID_TEXT_LENGTH || strncmp(uuid, "NO-UUID", 7) == 0)
        return failed("volume uuid " + std::string(uuid), err);
    f.query_ms = std::max(answered - start, live_now_ms() - answered);

    std::string dir = victim_dir(uid), path = dir + "/" + name;
    live_stream stream;
    int64_t registering = live_now_ms();
    err = live_stream_start(&stream,
                            live_options(d, {dir}, VANTLES_FLAG_FILE_EVENTS, FAIR_LATENCY_US));
    if (err != 0)
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

// The test's requests to a child (go, stop, check now) are SIGUSR1, held from the child's start
// and taken when it is ready for one, waiting for it or not. Children are forked while the test
// process has no thread of its own: a sanitizer may not let the child of a threaded process
// start threads or take its signals.
void fair_hold_requests() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigprocmask(SIG_BLOCK, &set, nullptr);
}
bool fair_requested(bool wait) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    timespec now = {};
    return (wait ? sigwaitinfo(&set, nullptr) : sigtimedwait(&set, nullptr, &now)) == SIGUSR1;
}

// Body: holds `count` connections that never send a request, connecting again at once
// whenever the daemon closes one, "O" once all were open. When asked to stop it connects no
// more and says "S" once the daemon has closed every one of them.
int flood_connections(attacker_out out, const char* socket_path, int count) {
    fair_hold_requests();
    std::vector<vantles_connection> conns(static_cast<size_t>(count));
    std::vector<pollfd> fds(conns.size(), {-1, POLLRDHUP, 0});
    size_t open = conns.size();
    auto open_one = [&](size_t i) {
        bool done = vantles_connect(socket_path, &conns[i]) == 0;
        fds[i].fd = done ? static_cast<int>(conns[i].port) : -1;
        return done;
    };
    for (size_t i = 0; i < conns.size(); i++)
        if (!open_one(i)) {
            attacker_say(out, "X connect: " + std::string(strerror(errno)));
            return 1;
        }
    attacker_say(out, "O");
    for (bool again = true; open > 0;) {
        again = again && !fair_requested(false);
        if (poll(fds.data(), fds.size(), 100) <= 0)
            continue;
        for (size_t i = 0; i < conns.size(); i++) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLHUP | POLLRDHUP | POLLERR)) == 0)
                continue;
            vantles_close(&conns[i]);
            if (!again || !open_one(i))
                open--;
        }
    }
    attacker_say(out, "S");
    return 0;
}

// Body: says "O", then once asked to go, bursts of `cycles` directories made in dir, each with
// a file made and removed in it, then removed, as fast as it can, with a pause between bursts,
// until asked to stop; "B" after the first burst, "S total" at the end.
int churn_directories(attacker_out out, const std::string& dir, int cycles) {
    fair_hold_requests();
    attacker_say(out, "O");
    fair_requested(true);
    long done = 0;
    while (done == 0 || !fair_requested(false)) {
        for (int i = 0; i < cycles; i++, done++) {
            std::string sub = dir + "/d" + std::to_string(done), file = sub + "/f";
            int fd = -1;
            if (mkdir(sub.c_str(), 0755) != 0 ||
                (fd = open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)) < 0 ||
                close(fd) != 0 || unlink(file.c_str()) != 0 || rmdir(sub.c_str()) != 0) {
                attacker_say(out, "X churn " + sub + ": " + strerror(errno));
                return 1;
            }
        }
        if (done == cycles)
            attacker_say(out, "B");
        usleep(FAIR_CHURN_PAUSE_US);
    }
    attacker_say(out, "S " + std::to_string(done));
    return 0;
}

// Body: registers up to `count` streams, stream i on paths_of(i) with args' other fields,
// stopping at the first refusal; says "P registered" after each, "N registered code" at the
// end, then holds them until killed.
int hold_streams(attacker_out out, const char* socket_path, vantles_register_args args,
                 size_t count, const std::function<std::vector<std::string>(size_t)>& paths_of) {
    vantles_connection conn;
    int code = vantles_connect(socket_path, &conn);
    std::vector<vantles_registration> regs(count);
    size_t done = 0;
    for (; code == 0 && done < count; done++) {
        std::vector<std::string> paths = paths_of(done);
        std::vector<const char*> texts;
        for (const std::string& p : paths)
            texts.push_back(p.c_str());
        args.paths = texts;
        if ((code = vantles_register(&conn, args, &regs[done])) != 0)
            break;
        attacker_say(out, "P " + std::to_string(done + 1));
    }
    attacker_say(out, "N " + std::to_string(done) + " " + std::to_string(code));
    pause();
    return 0;
}

class FairShare : public SecurityTest {
protected:
    // Starts the daemon with env and makes each victim's directory, its own to write in. Only
    // a case that counts the daemon's descriptors waits for them to settle first.
    void start(std::vector<std::string> env = {}, bool settle = false) {
        daemon_.env = std::move(env);
        daemon_.settle = settle;
        ASSERT_NO_FATAL_FAILURE(start_daemon());
        umask(022);
        for (uid_t uid : {uid_t(0), FAIR_OTHER_USER}) {
            std::error_code error;
            ASSERT_TRUE(std::filesystem::create_directories(host(victim_dir(uid)), error)) << error;
            ASSERT_EQ(0, chown(host(victim_dir(uid)).c_str(), uid, uid));
        }
        root_device_ = live_device_of(daemon_, "/");
        ASSERT_NE(0u, root_device_);
        // The event machinery is up: a victim's first registration does not wait for it.
        ASSERT_EQ(0, live_sync(daemon_, "/tmp"));
        // The other victim: a check, reported as "V query stream event", per request.
        attacker_options as_other{&daemon_, 0, FAIR_OTHER_USER, FAIR_OTHER_USER};
        ASSERT_EQ(0, attacker_start(&other_, as_other, [this](attacker_out out) {
                      fair_hold_requests();
                      attacker_say(out, "R");
                      for (int n = 0; fair_requested(true); n++) {
                          victim_figures v = victim_check(daemon_, FAIR_OTHER_USER, root_device_,
                                                          "", "o-" + std::to_string(n));
                          char line[128];
                          snprintf(line, sizeof line, "V %lld %lld %lld", v.query_ms, v.stream_ms,
                                   v.event_ms);
                          attacker_say(out, v.failure.empty() ? line : "X " + v.failure);
                      }
                      return 0;
                  }));
        std::vector<std::string> said = attacker_read(&other_, "R", SECURITY_WAIT_MS);
        ASSERT_EQ("R", said.empty() ? "(nothing)" : said.back());
    }

    // Starts an attacker (uid 65534) running body and waits for its first line, which begins
    // with `ready` (kept in said_).
    void start_attacker(attacker* a, const std::function<int(attacker_out)>& body,
                        const std::string& ready, rlim_t descriptors = 0) {
        ASSERT_EQ(0, attacker_start(a, attacker_options{&daemon_, descriptors}, body));
        std::vector<std::string> lines = attacker_read(a, ready, SECURITY_WAIT_MS);
        said_ = lines.empty() ? "(nothing)" : lines.back();
        ASSERT_EQ(ready, said_.substr(0, ready.size())) << said_;
    }

    // Starts an attacker that holds file-level streams (hold_streams) replaying since `since`,
    // and waits for its line `ready`.
    void start_holding(attacker* a, size_t count,
                       const std::function<std::vector<std::string>(size_t)>& paths_of,
                       const std::string& ready, uint64_t since = VANTLES_EVENT_ID_NOW) {
        const char* socket_path = daemon_.socket_path.c_str();
        vantles_register_args args;
        args.create_flags = VANTLES_FLAG_FILE_EVENTS;
        args.since_when = since;
        start_attacker(
            a,
            [&](attacker_out out) { return hold_streams(out, socket_path, args, count, paths_of); },
            ready, 4 * FAIR_MAX_CLIENTS);
    }

    // Sends a child a request and returns its answer, the line that begins with `until`.
    std::string ask(attacker* a, const std::string& until) {
        kill(a->pid, SIGUSR1);
        std::vector<std::string> lines = attacker_read(a, until, SECURITY_WAIT_MS);
        return lines.empty() ? "(nothing)" : lines.back();
    }

    // Both victims' checks, root's in this process and the other user's in its child process,
    // each printed as an "ATTACK" line.
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

    uint32_t root_device_ = 0;
    int checks_ = 0;  // names root's changes
    std::string said_;
    attacker other_;  // the other victim
};

// Silent connections from three processes of one user, reopened as soon as the daemon closes
// them: the daemon holds the user's share of them and no more (its descriptors say so), logs
// the refusal, keeps serving root and another user, and closes the held ones once idle.
TEST_F(FairShare, ConnectionFloodHoldsOneUsersShareUntilIdle) {
    ASSERT_NO_FATAL_FAILURE(start({FAIR_IDLE_TIMEOUT}, true));
    const int each = scaled(600, 7000);
    const int before = proc_fd_count(daemon_.pid);
    const char* socket_path = daemon_.socket_path.c_str();
    attacker floods[FAIR_FLOODERS];
    for (attacker& a : floods)
        ASSERT_NO_FATAL_FAILURE(start_attacker(
            &a, [&](attacker_out out) { return flood_connections(out, socket_path, each); }, "O",
            static_cast<rlim_t>(each) + 64));
    EXPECT_TRUE(test_daemon_wait_log(daemon_, "too many connections for uid 65534 (limit 256)",
                                     SECURITY_WAIT_MS));
    int held = proc_fd_count(daemon_.pid) - before;
    victims_served("connections", FAIR_FLOODERS * each, "during");
    held = std::max(held, proc_fd_count(daemon_.pid) - before);
    EXPECT_LE(held, FAIR_USER_CONNECTIONS + FAIR_FD_SLACK) << proc_fd_list(daemon_.pid);

    // No longer reopened, every held connection is closed once idle: each flood ends.
    for (attacker& a : floods)
        EXPECT_EQ("S", ask(&a, "S"));
    victims_served("connections", FAIR_FLOODERS * each, "after");
}

// One process registers clients until refused: it gets its user's share, the victims still
// register, and the slots come back once it is killed (the daemon finds out by itself).
TEST_F(FairShare, ClientTableHogGetsItsShareOnly) {
    ASSERT_NO_FATAL_FAILURE(start());
    attacker hog;
    ASSERT_NO_FATAL_FAILURE(start_holding(
        &hog, FAIR_MAX_CLIENTS + 8, [](size_t) { return std::vector<std::string>{"/tmp"}; }, "N"));
    EXPECT_EQ("N 64 " + std::to_string(VANTLES_ERR_NO_CLIENT), said_);
    EXPECT_TRUE(test_daemon_wait_log(daemon_, "too many clients for uid 65534 (limit 64)",
                                     SECURITY_WAIT_MS));
    victims_served("client-slots", FAIR_USER_CLIENTS, "during");

    kill(hog.pid, SIGKILL);
    EXPECT_EQ(-1, attacker_wait(&hog, SECURITY_WAIT_MS));
    EXPECT_TRUE(live_state_becomes(&daemon_, LIVE_INTERNAL_CLIENTS, -1, SECURITY_WAIT_MS));
    victims_served("client-slots", FAIR_USER_CLIENTS, "after");
}

// Directories made and removed at once in a directory anyone may write in: a root client
// watching another directory gets no notice of any kind, one watching the whole volume no
// dropped notice (the daemon can always tell what changed, and only where).
TEST_F(FairShare, DirectoryChurnSendsNoNoticesToOthers) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(make_dir("/tmp/pub", 01777));
    ASSERT_NO_FATAL_FAILURE(make_dir("/tmp/quiet", 0755));
    ASSERT_EQ(0, live_sync(daemon_, "/tmp"));  // the streams see nothing of the set-up
    const int cycles = scaled(100, 1000);
    attacker churn;
    ASSERT_NO_FATAL_FAILURE(start_attacker(
        &churn, [&](attacker_out out) { return churn_directories(out, "/tmp/pub", cycles); }, "O"));
    live_stream quiet, all;
    ASSERT_EQ(0, live_stream_start(
                     &quiet, live_options(daemon_, {"/tmp/quiet"}, VANTLES_FLAG_FILE_EVENTS)));
    ASSERT_EQ(0, live_stream_start(&all, live_options(daemon_, {"/"}, VANTLES_FLAG_FILE_EVENTS)));
    ASSERT_EQ("B", ask(&churn, "B"));
    victims_served("notices", cycles, "during");
    std::string last = ask(&churn, "S");
    EXPECT_EQ("S ", last.substr(0, 2)) << last;
    victims_served("notices", cycles, "after");

    ASSERT_NO_FATAL_FAILURE(make_file("/tmp/quiet/sentinel", 0644));
    ASSERT_TRUE(
        live_wait_event(&quiet.sink, live_path_is("/tmp/quiet/sentinel"), LIVE_EVENT_TIMEOUT_MS));
    ASSERT_TRUE(
        live_wait_event(&all.sink, live_path_is("/tmp/quiet/sentinel"), LIVE_EVENT_TIMEOUT_MS));
    // The sentinel's creation (perhaps in two deliveries, its mode set after it was sent) and
    // nothing else: no notice of any kind.
    std::vector<live_event> seen = live_sink_events(&quiet.sink);
    for (const live_event& e : seen)
        EXPECT_EQ("/tmp/quiet/sentinel", e.path) << live_describe(seen);
    seen = live_sink_events(&all.sink);
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const live_event& e) {
        return e.path.rfind("/tmp/pub/d", 0) == 0;
    })) << "the churn was not seen at all";
    for (const live_event& e : seen)
        EXPECT_EQ(0u, e.flags & (VANTLES_EVENT_KERNEL_DROPPED | VANTLES_EVENT_USER_DROPPED))
            << live_describe({e});
}

// More replaying clients than there are log readers, all of one process that never reads its
// event messages, sit in their sends with their sockets full. Another user's replay of the
// same history still gets everything and its history-done notice in bounded time: one user
// holds only its share of the readers.
TEST_F(FairShare, ReplayHogDoesNotHoldUpAnotherUsersReplay) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(make_dir("/tmp/r", 0755));
    ASSERT_EQ(0, live_sync(daemon_, "/tmp/r"));
    // Long names, so that the sockets of the hog's clients fill after fewer batches.
    const std::string stem = "/tmp/r/a-long-name-so-that-batches-are-large-and-sockets-fill-";
    for (int i = 0; i < FAIR_FLUSH_NAMES + 100; i++)
        ASSERT_NO_FATAL_FAILURE(make_file(stem + std::to_string(i), 0644));
    // Routing and filing that many names may outlast one sync's wait under a sanitizer.
    int synced = ETIMEDOUT;
    for (int tries = 0; tries < 3 && synced == ETIMEDOUT; tries++)
        synced = live_sync(daemon_, "/tmp/r");
    ASSERT_EQ(0, synced);

    const int hogs = scaled(12, 60);
    attacker hog;
    ASSERT_NO_FATAL_FAILURE(start_holding(
        &hog, hogs, [](size_t) { return std::vector<std::string>{"/tmp/r"}; }, "N", 0));
    ASSERT_EQ("N " + std::to_string(hogs) + " 0", said_);
    // Long enough for every hog client to take its file and fill its socket.
    usleep(1500000);

    live_stream replay;
    vantles_stream_options o = live_options(daemon_, {"/tmp/r"}, VANTLES_FLAG_FILE_EVENTS);
    o.since_when = 0;
    ASSERT_EQ(0, live_stream_start(&replay, o));
    victims_served("replay", hogs, "during");
    EXPECT_TRUE(live_wait_event(
        &replay.sink, [](const live_event& e) { return e.flags & VANTLES_EVENT_HISTORY_DONE; },
        FAIR_REPLAY_BOUND_MS))
        << "no history-done notice";
    size_t names = 0;
    for (const live_event& e : live_sink_events(&replay.sink))
        names += e.path.rfind(stem, 0) == 0 ? 1 : 0;
    EXPECT_EQ(static_cast<size_t>(FAIR_FLUSH_NAMES + 100), names);

    kill(hog.pid, SIGKILL);
    attacker_wait(&hog, SECURITY_WAIT_MS);
    victims_served("replay", hogs, "after");
}

// Clients of one user watching the most paths a registration may name, each path about 1000
// bytes long and sharing all but its last bytes with the victims' events: the victims stay
// served while those clients register (checked until all are), while routing passes them by,
// and while the daemon removes them once their process is killed.
TEST_F(FairShare, LongWatchedPathsLeaveOthersServed) {
    ASSERT_NO_FATAL_FAILURE(start());
    const int clients = scaled(4, 64);
    const std::string dirs[] = {victim_dir(0), victim_dir(FAIR_OTHER_USER)};
    // Paths that do not exist, each sharing a victim's whole directory with its events.
    auto paths_of = [&](size_t c) {
        std::vector<std::string> paths;
        for (size_t i = 0; i < FAIR_WATCHED_PATHS; i++) {
            paths.push_back(dirs[i % 2] + "/w" + std::to_string(c) + "-" + std::to_string(i));
            paths.back().resize(FAIR_LONG_PATH, 'w');
        }
        return paths;
    };
    attacker watcher;
    ASSERT_NO_FATAL_FAILURE(start_holding(&watcher, clients, paths_of, "P"));
    int64_t deadline = live_now_ms() + SECURITY_WAIT_MS;
    do {
        victims_served("long-paths", clients, "during");
        for (const std::string& line : attacker_read(&watcher, "N", 1))
            said_ = line;  // "P registered" until the last is
    } while (said_[0] == 'P' && live_now_ms() < deadline);
    const std::string all = "N " + std::to_string(clients) + " 0";
    EXPECT_EQ(all, said_);
    if (said_ == all)
        victims_served("long-paths", clients, "during");
    kill(watcher.pid, SIGKILL);
    attacker_wait(&watcher, SECURITY_WAIT_MS);
    victims_served("long-paths", clients, "after");
}

}  // namespace
