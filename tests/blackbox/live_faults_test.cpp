// Faults and security of live delivery, end to end: the real daemon (fanotify source) in its
// scratch root and clients made with the client library. A client killed mid-stream, a client
// whose ring overflows, a client that stops reading next to one that keeps up, 513 clients of
// one process, and the read-permission filter seen by clients of an unprivileged user.
//
// The daemon's own view comes from its state dump (SIGUSR1, logged to its standard error): the
// number of clients, each client's flags and paths, and the events still held for clients.
#include "tests/support/live_client.h"
#include "tests/support/test_daemon.h"
#include "tests/support/scratch_root.h"
#include "vantles/client.h"
#include "vantles/stream.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Generous bounds for a loaded two-core machine under sanitizers.
constexpr int FAULT_WAIT_MS = 30000;
// A client's events must reach it within this while another client is stuck.
constexpr int FAULT_PROMPT_MS = 5000;
// The daemon gives up a send to a full socket after this long.
constexpr int FAULT_SEND_TIMEOUT_MS = 10000;
constexpr int FAULT_BATCH_MAX = 32;
constexpr int FAULT_RING_HOLDS = 468;           // a registered client's ring keeps a slot free
constexpr uint32_t FAULT_CLIENT_DROPPED = 0x1;  // client flag: an events-dropped notice is owed
constexpr int FAULT_MAX_CLIENTS = 512;
constexpr uid_t FAULT_NOBODY = 65534;

void sleep_ms(int ms) {
    timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// A child process, killed and reaped whatever way the test ends.
struct child_process {
    pid_t pid = -1;
    child_process() = default;
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;
    ~child_process() { stop(); }
    void stop() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
};

// Registers a stream whose batches wait in its socket until the test starts its library
// thread (vantles_stream_start_thread).
int start_unread(live_stream* s, const vantles_stream_options& options) {
    int err = vantles_stream_create(options, live_sink_collect, &s->sink, &s->stream);
    return err != 0 ? err : vantles_stream_start(s->stream);
}

bool has_path(live_sink* sink, const std::string& path, int timeout_ms = FAULT_WAIT_MS) {
    return live_wait_event(sink, live_path_is(path), timeout_ms);
}

// The first events of a long list, for failure messages.
std::string describe(const std::vector<live_event>& events, size_t most = 40) {
    if (events.size() <= most)
        return live_describe(events);
    std::vector<live_event> head(events.begin(), events.begin() + static_cast<ptrdiff_t>(most));
    return live_describe(head) + "... (" + std::to_string(events.size()) + " events)\n";
}

// The clients of the state dump, which live_read_state leaves out: each one's pid, client
// flags and watched paths.
struct dump_client {
    long pid = -1;
    uint32_t flags = 0;
    std::vector<std::string> paths;
};

constexpr const char* FAULT_DUMP_HEADER = "vantlesd internal state [num_clients: ";
constexpr const char* FAULT_DUMP_END = "\tpending events: ";

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// Asks for a state dump and parses its client blocks once it is complete in the log.
::testing::AssertionResult read_dump_clients(const test_daemon& d, std::vector<dump_client>* out,
                                             std::string* text) {
    size_t before = count_of(test_daemon_log(d), FAULT_DUMP_HEADER);
    if (kill(d.pid, SIGUSR1) != 0)
        return ::testing::AssertionFailure() << "SIGUSR1: " << strerror(errno);
    int64_t deadline = live_now_ms() + LIVE_DUMP_TIMEOUT_MS;
    for (;;) {
        std::string log = test_daemon_log(d);
        size_t start = log.rfind(FAULT_DUMP_HEADER);
        size_t end = start == std::string::npos ? start : log.find(FAULT_DUMP_END, start);
        if (count_of(log, FAULT_DUMP_HEADER) > before && end != std::string::npos &&
            log.find('\n', end) != std::string::npos) {
            *text = log.substr(start, log.find('\n', end) - start);
            break;
        }
        if (live_now_ms() >= deadline)
            return ::testing::AssertionFailure() << "no complete state dump in the log";
        sleep_ms(10);
    }
    // Lines "\tNAME pid P, flags 0xF, #paths N, ..." start a client, "\t\tI: PATH" are its paths.
    out->clear();
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        size_t pid_at = line.find(" pid ");
        size_t flags_at = line.find(", flags 0x");
        size_t path_at = line.find("\t\t");
        if (pid_at != std::string::npos && flags_at != std::string::npos &&
            line.find(", #paths ") != std::string::npos) {
            dump_client c;
            c.pid = strtol(line.c_str() + pid_at + 5, nullptr, 10);
            c.flags = static_cast<uint32_t>(strtoul(line.c_str() + flags_at + 10, nullptr, 16));
            out->push_back(c);
        } else if (path_at != std::string::npos && !out->empty()) {
            size_t name_at = line.find(": ", path_at);
            if (name_at != std::string::npos)
                out->back().paths.push_back(line.substr(name_at + 2));
        }
    }
    return ::testing::AssertionSuccess();
}

// The daemon's descriptor count at rest. It watches whole file systems, so changes anywhere on
// the machine make it open a directory for a moment to resolve a path: the fewest seen over
// half a second is its resting count.
int resting_fd_count(pid_t pid) {
    int fewest = proc_fd_count(pid);
    for (int64_t end = live_now_ms() + 500; live_now_ms() < end; sleep_ms(5)) {
        int count = proc_fd_count(pid);
        if (count >= 0 && (fewest < 0 || count < fewest))
            fewest = count;
    }
    return fewest;
}

// Creates an empty file: one creation event, and a mode change only when the umask took bits
// of mode away.
int make_file(const std::string& path, mode_t mode) {
    unique_fd fd(open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, mode));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0)
        return errno;
    if ((st.st_mode & 07777) != mode && fchmod(fd.get(), mode) != 0)
        return errno;
    return 0;
}

int append_to(const std::string& path, const char* text) {
    unique_fd fd(open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    if (!fd.valid() || write(fd.get(), text, strlen(text)) < 0)
        return errno;
    return 0;
}

// Numbered files: "f" and six digits, padded with long_name so that batches are large and a
// client's socket fills after fewer of them.
std::string numbered_name(int index, bool long_name) {
    char name[16];
    snprintf(name, sizeof name, "f%06d", index);
    return long_name ? std::string(name) + "-" + std::string(190, 'x') : std::string(name);
}

// The number of a numbered file's path under dir, -1 for any other path.
int number_of(const std::string& dir, const std::string& path) {
    std::string prefix = dir + "/f";
    size_t end = prefix.size() + 6;
    if (path.rfind(prefix, 0) != 0 || path.size() < end || (path.size() > end && path[end] != '-'))
        return -1;
    std::string digits = path.substr(prefix.size(), 6);
    if (digits.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stoi(digits);
}

// Creates long-named numbered files in dir (as the daemon sees it) from *next on, a chunk at a
// time, until the state dump shows that the client of this process watching exactly dir owes
// an events-dropped notice. *next ends one past the last file made.
::testing::AssertionResult flood_until_loss(const test_daemon& d, const std::string& dir,
                                            int* next) {
    constexpr int CHUNK = 200;
    constexpr int MOST = 30000;
    while (*next < MOST) {
        for (int i = 0; i < CHUNK; i++, (*next)++) {
            std::string path = live_root_path(d, dir + "/" + numbered_name(*next, true));
            if (int err = make_file(path, 0644))
                return ::testing::AssertionFailure() << path << ": " << strerror(err);
        }
        std::vector<dump_client> clients;
        std::string text;
        ::testing::AssertionResult read = read_dump_clients(d, &clients, &text);
        if (!read)
            return read;
        auto mine = std::find_if(clients.begin(), clients.end(), [&](const dump_client& c) {
            return c.pid == getpid() && c.paths == std::vector<std::string>{dir};
        });
        if (mine == clients.end())
            return ::testing::AssertionFailure() << "no client for " << dir << ":\n" << text;
        if (mine->flags & FAULT_CLIENT_DROPPED)
            return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << MOST << " files and still no loss noted";
}

// Events the daemon could not resolve, the machine's own changes among them (a directory
// removed before its events were read), or a full kernel queue: every client hears of them.
// Only the last could hide a file of the test, so a failure names them.
std::string kernel_drops(const std::vector<live_event>& events) {
    size_t n = std::count_if(events.begin(), events.end(), [](const live_event& e) {
        return (e.flags & VANTLES_EVENT_KERNEL_DROPPED) != 0;
    });
    return n == 0 ? "" : " (the stream also had " + std::to_string(n) + " kernel-dropped notices)";
}

// The contract of an events-dropped notice, for a client that watched numbered files made in
// order (so their ids grow with their numbers) in dir: exactly one notice, for dir, with no
// other flag; every id received before it is below its id N and nothing delivered has id N;
// batches come in id order; no file comes twice; and no file vanished below N: a file missing
// from the stream while a file made after it came with an id below N would be a loss the
// notice does not cover. Returns the notice's position.
::testing::AssertionResult check_notice(const std::vector<live_event>& events,
                                        const std::string& dir, size_t* notice_at) {
    std::vector<size_t> notices;
    for (size_t i = 0; i < events.size(); i++)
        if (events[i].flags & VANTLES_EVENT_USER_DROPPED)
            notices.push_back(i);
    if (notices.size() != 1)
        return ::testing::AssertionFailure()
               << notices.size() << " events-dropped notices, want 1:\n"
               << describe(events, 2000);
    size_t at = notices[0];
    const live_event& notice = events[at];
    uint64_t n = notice.id;
    if (notice.flags != VANTLES_EVENT_USER_DROPPED || notice.path != dir)
        return ::testing::AssertionFailure() << "notice " << live_describe({notice});
    for (size_t i = 0; i < events.size(); i++) {
        if (i < at && events[i].id >= n)
            return ::testing::AssertionFailure()
                   << "event before the notice with id " << events[i].id << " >= " << n;
        if (i != at && events[i].id == n)
            return ::testing::AssertionFailure() << "the lost id " << n << " was delivered";
        // The notice goes out between two cycles, each of which delivers in id order.
        if (i > 0 && i != at && i != at + 1 && events[i].id <= events[i - 1].id)
            return ::testing::AssertionFailure() << "ids out of order at event " << i;
    }
    std::set<int> delivered;
    int highest_below = -1;  // highest file number delivered with an id below N
    for (const live_event& e : events) {
        int k = number_of(dir, e.path);
        if (k < 0)
            continue;
        if (!delivered.insert(k).second)
            return ::testing::AssertionFailure() << "file " << k << " delivered twice";
        if (e.id < n)
            highest_below = std::max(highest_below, k);
    }
    for (int k = 0; k <= highest_below; k++)
        if (!delivered.count(k))
            return ::testing::AssertionFailure()
                   << "file " << k << " was lost silently: file " << highest_below
                   << ", made after it, came with an id below the notice's " << n
                   << kernel_drops(events);
    *notice_at = at;
    return ::testing::AssertionSuccess();
}

// Each case runs its own daemon in a scratch root (root only) with the fanotify source.
class LiveFaults : public ::testing::Test {
protected:
    void SetUp() override {
        if (!scratch_root_available())
            GTEST_SKIP() << "needs root and mount namespaces";
    }

    void TearDown() override {
        if (IsSkipped() || daemon_.dir.empty())
            return;
        EXPECT_TRUE(test_daemon_running(&daemon_))
            << "the daemon died during the test, wait status 0x" << std::hex << daemon_.status;
        if (HasFailure()) {
            std::string log = test_daemon_log(daemon_);
            if (log.size() > 6000)
                log = "...\n" + log.substr(log.size() - 6000);
            printf("---- daemon log ----\n%s---- end of log ----\n", log.c_str());
        }
    }

    void start_daemon(const std::string& socket_path = "") {
        ASSERT_EQ(0, test_daemon_start(&daemon_, {"-d"}, socket_path)) << test_daemon_log(daemon_);
    }

    void make_dir(const std::string& path, mode_t mode = 0755) {
        std::string host = live_root_path(daemon_, path);
        ASSERT_EQ(0, mkdir(host.c_str(), mode)) << host << ": " << strerror(errno);
        ASSERT_EQ(0, chmod(host.c_str(), mode));
    }

    // Numbered files in dir (as the daemon sees it), short names, from *next on.
    void make_numbered(const std::string& dir, int count, int* next) {
        for (int i = 0; i < count; i++, (*next)++)
            ASSERT_EQ(0, make_file(live_root_path(daemon_, dir + "/" + numbered_name(*next, false)),
                                   0644));
    }

    test_daemon daemon_;
};

// --- A client killed mid-stream -------------------------------------------------------------

// Child: a slow reader of file events under dir. Writes 'r' once registered and 'e' after its
// first batch, then keeps reading, slowly, until it is killed.
[[noreturn]] void run_slow_reader(const std::string& socket, const std::string& dir, int report) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    struct reader {
        int report;
        bool told = false;
    } r{report};
    auto on_batch = [](void* ctx, std::span<const vantles_event>) {
        auto* self = static_cast<reader*>(ctx);
        if (!self->told)
            self->told = write(self->report, "e", 1) == 1;
        sleep_ms(20);  // falls behind, so that batches wait in its socket when it dies
    };
    vantles_stream_options opt;
    opt.socket_path = socket.c_str();
    opt.paths = {dir};
    opt.create_flags = VANTLES_FLAG_FILE_EVENTS;
    vantles_stream* s = nullptr;
    if (vantles_stream_create(opt, on_batch, &r, &s) != 0 || vantles_stream_start(s) != 0)
        _exit(2);
    if (write(report, "r", 1) != 1)
        _exit(3);
    for (int64_t deadline = live_now_ms() + 120000; live_now_ms() < deadline;)
        vantles_stream_dispatch(s, 1000);
    _exit(4);
}

// Reads one byte from fd within timeout_ms; 0 when none came.
char read_byte(int fd, int timeout_ms) {
    pollfd p = {fd, POLLIN, 0};
    char c = 0;
    if (poll(&p, 1, timeout_ms) == 1 && read(fd, &c, 1) == 1)
        return c;
    return 0;
}

// A client process killed while changes keep coming is forgotten completely: its record, its
// descriptors and every event held for it; and the daemon goes on serving others.
TEST_F(LiveFaults, KilledClientIsReclaimed) {
    start_daemon();
    make_dir("/tmp/dead");
    live_state before;
    ASSERT_EQ(0, live_read_state(&daemon_, &before));
    int fds_before = resting_fd_count(daemon_.pid);
    ASSERT_GT(fds_before, 0);

    int report[2];
    ASSERT_EQ(0, pipe2(report, O_CLOEXEC));
    unique_fd report_read(report[0]);
    child_process child;
    fflush(nullptr);
    child.pid = fork();
    ASSERT_GE(child.pid, 0);
    if (child.pid == 0)
        run_slow_reader(daemon_.socket_path, "/tmp/dead", report[1]);
    close(report[1]);
    ASSERT_EQ('r', read_byte(report_read.get(), FAULT_WAIT_MS)) << "the child did not register";

    // Changes until the child has events, then more while it is killed and after.
    int made = 0;
    char got = 0;
    for (int64_t deadline = live_now_ms() + FAULT_WAIT_MS;
         got != 'e' && live_now_ms() < deadline;) {
        make_numbered("/tmp/dead", 5, &made);
        got = read_byte(report_read.get(), 20);
    }
    ASSERT_EQ('e', got) << "the child received nothing";
    make_numbered("/tmp/dead", 300, &made);
    kill(child.pid, SIGKILL);
    make_numbered("/tmp/dead", 100, &made);
    child.stop();
    make_numbered("/tmp/dead", 300, &made);

    EXPECT_TRUE(live_state_becomes(&daemon_, before.num_clients, 0, FAULT_WAIT_MS));
    EXPECT_TRUE(fd_count_returns(daemon_.pid, fds_before, FAULT_WAIT_MS));

    live_stream next;
    ASSERT_EQ(0, live_stream_start(&next,
                                   live_options(daemon_, {"/tmp/dead"}, VANTLES_FLAG_FILE_EVENTS)));
    ASSERT_EQ(0, make_file(live_root_path(daemon_, "/tmp/dead/after"), 0644));
    EXPECT_TRUE(has_path(&next.sink, "/tmp/dead/after")) << describe(live_sink_events(&next.sink));
}

// --- A full ring ----------------------------------------------------------------------------

// A client that reads nothing while thousands of files appear: its socket fills, its delivery
// thread waits in a send, its ring of 469 overflows. When it reads again it gets what was sent
// and queued, one events-dropped notice with the first lost id, and nothing is lost silently.
TEST_F(LiveFaults, FullRingOwesOneDroppedNotice) {
    start_daemon();
    make_dir("/tmp/ring");
    live_stream stream;
    ASSERT_EQ(
        0, start_unread(&stream, live_options(daemon_, {"/tmp/ring"}, VANTLES_FLAG_FILE_EVENTS)));

    int made = 0;
    ASSERT_TRUE(flood_until_loss(daemon_, "/tmp/ring", &made));
    // More changes while the ring is full.
    for (int i = 0; i < 100; i++, made++)
        ASSERT_EQ(
            0, make_file(live_root_path(daemon_, "/tmp/ring/" + numbered_name(made, true)), 0644));
    ASSERT_EQ(0, vantles_stream_start_thread(stream.stream));
    EXPECT_TRUE(live_state_becomes(&daemon_, 1 + LIVE_INTERNAL_CLIENTS, 0, FAULT_WAIT_MS))
        << "events still held once the client caught up";
    // Events flow again, after everything before.
    ASSERT_EQ(0, make_file(live_root_path(daemon_, "/tmp/ring/end"), 0644));
    ASSERT_TRUE(has_path(&stream.sink, "/tmp/ring/end"))
        << describe(live_sink_events(&stream.sink));
    ASSERT_EQ(0, live_stream_stop(&stream));

    std::vector<live_event> events = live_sink_events(&stream.sink);
    size_t at = 0;
    ASSERT_TRUE(check_notice(events, "/tmp/ring", &at));
    EXPECT_EQ("/tmp/ring/end", events.back().path);
    EXPECT_GT(events.back().id, events[at].id);
    std::set<int> delivered;
    for (const live_event& e : events)
        if (int k = number_of("/tmp/ring", e.path); k >= 0)
            delivered.insert(k);
    EXPECT_GT(static_cast<int>(delivered.size()), FAULT_RING_HOLDS)
        << "fewer files than the ring alone holds";
    EXPECT_LT(static_cast<int>(delivered.size()), made);
    // Which files arrive besides the ring's is timing: a ring can also overflow for a moment
    // while its thread is kept off the CPU and then take events again before the socket is
    // full. What always holds is checked above: one notice, nothing lost in silence.
}

// --- A client that stops reading, next to one that keeps up ----------------------------------

// While one client's delivery thread waits for its full socket, until its send times out and
// after, another client of the same daemon gets its events promptly. When the stuck client
// reads again it gets the batches that made it, one notice for the batch whose send failed
// and for the ring's overflow, then the rest and new events.
TEST_F(LiveFaults, StuckClientDoesNotHoldUpOthers) {
    start_daemon();
    make_dir("/tmp/slow");
    make_dir("/tmp/fast");
    live_stream slow, fast;
    ASSERT_EQ(0,
              start_unread(&slow, live_options(daemon_, {"/tmp/slow"}, VANTLES_FLAG_FILE_EVENTS)));
    ASSERT_EQ(0, live_stream_start(&fast, live_options(daemon_, {"/tmp/slow", "/tmp/fast"},
                                                       VANTLES_FLAG_FILE_EVENTS, 100000)));

    int made = 0;
    ASSERT_TRUE(flood_until_loss(daemon_, "/tmp/slow", &made));
    int64_t stuck_since = live_now_ms();

    // Past the send time-out of the stuck client: a change the other client watches every
    // quarter second, each one timed. None goes to the stuck client, whose ring then keeps
    // room after its failed batch, so it owes exactly one notice.
    int markers = 0;
    int64_t slowest = 0;
    while (live_now_ms() - stuck_since < FAULT_SEND_TIMEOUT_MS + 1500) {
        std::string path = "/tmp/fast/m" + std::to_string(markers++);
        int64_t made_at = live_now_ms();
        ASSERT_EQ(0, make_file(live_root_path(daemon_, path), 0644));
        live_event got;
        ASSERT_TRUE(live_wait_event(&fast.sink, live_path_is(path), FAULT_PROMPT_MS, &got))
            << path << " did not reach the client that keeps up within " << FAULT_PROMPT_MS
            << " ms";
        slowest = std::max(slowest, got.received_ms - made_at);
        sleep_ms(250);
    }
    printf("%d changes reached the other client in at most %lld ms each\n", markers,
           static_cast<long long>(slowest));
    EXPECT_EQ(0, vantles_stream_thread_result(fast.stream));

    ASSERT_EQ(0, vantles_stream_start_thread(slow.stream));
    EXPECT_TRUE(live_state_becomes(&daemon_, 2 + LIVE_INTERNAL_CLIENTS, 0, FAULT_WAIT_MS))
        << "events still held once the clients caught up";
    ASSERT_EQ(0, make_file(live_root_path(daemon_, "/tmp/slow/end"), 0644));
    ASSERT_TRUE(has_path(&slow.sink, "/tmp/slow/end")) << describe(live_sink_events(&slow.sink));
    ASSERT_EQ(0, live_stream_stop(&slow));

    std::vector<live_event> events = live_sink_events(&slow.sink);
    size_t at = 0;
    ASSERT_TRUE(check_notice(events, "/tmp/slow", &at));
    // The notice names the first event of the batch whose send timed out: that batch is lost
    // (at most 32 files right after those that came before the notice), and what stayed queued
    // follows the notice with higher ids.
    int last_before = -1;
    for (size_t i = 0; i < at; i++)
        last_before = std::max(last_before, number_of("/tmp/slow", events[i].path));
    auto next =
        std::find_if(events.begin() + static_cast<ptrdiff_t>(at) + 1, events.end(),
                     [](const live_event& e) { return number_of("/tmp/slow", e.path) >= 0; });
    ASSERT_GE(last_before, 0);
    ASSERT_NE(events.end(), next);
    int first_after = number_of("/tmp/slow", next->path);
    EXPECT_GT(next->id, events[at].id);
    EXPECT_GE(first_after - last_before - 1, 1) << "no batch was lost";
    EXPECT_LE(first_after - last_before - 1, FAULT_BATCH_MAX);
}

// --- The per-process client limit ------------------------------------------------------------

// Makes sure this process may hold `want` descriptors.
int raise_descriptor_limit(rlim_t want) {
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0)
        return errno;
    if (lim.rlim_cur >= want)
        return 0;
    lim.rlim_cur = want;
    lim.rlim_max = std::max(lim.rlim_max, want);
    return setrlimit(RLIMIT_NOFILE, &lim) == 0 ? 0 : errno;
}

// The client table has 512 slots, one of them the disk logger's: one process fills the rest, and
// the next registration is refused with the daemon's limit message. Once they are gone, by unregistering or by dropping their ports, the daemon holds no
// client, no event and no descriptor of theirs, and the process may register again.
TEST_F(LiveFaults, ClientTableLimit) {
    ASSERT_EQ(0, raise_descriptor_limit(4 * FAULT_MAX_CLIENTS + 256));
    start_daemon();
    make_dir("/tmp/many");
    int fds_before = resting_fd_count(daemon_.pid);

    vantles_connection conn;
    ASSERT_EQ(0, vantles_connect(daemon_.socket_path.c_str(), &conn));
    const char* paths[] = {"/tmp/many"};
    vantles_register_args args;
    args.paths = paths;
    args.create_flags = VANTLES_FLAG_FILE_EVENTS;
    std::vector<vantles_registration> regs(FAULT_MAX_CLIENTS - LIVE_INTERNAL_CLIENTS);
    for (size_t i = 0; i < regs.size(); i++)
        ASSERT_EQ(0, vantles_register(&conn, args, &regs[i])) << "registration " << i;
    vantles_registration refused;
    EXPECT_EQ(VANTLES_ERR_NO_CLIENT, vantles_register(&conn, args, &refused));
    EXPECT_EQ(0u, refused.private_port);
    std::string limit = "too many clients in system (limit 512)";
    EXPECT_TRUE(test_daemon_wait_log(daemon_, limit, FAULT_WAIT_MS)) << "no \"" << limit << "\"";
    EXPECT_TRUE(live_state_becomes(&daemon_, FAULT_MAX_CLIENTS, -1, FAULT_WAIT_MS));

    // Events for all of them while they go away.
    int made = 0;
    make_numbered("/tmp/many", 20, &made);
    for (size_t i = 0; i < regs.size(); i++) {
        if (i % 2 == 0)
            EXPECT_EQ(0, vantles_unregister(&regs[i])) << "unregister " << i;
        else
            vantles_release(&regs[i]);
    }
    EXPECT_TRUE(live_state_becomes(&daemon_, LIVE_INTERNAL_CLIENTS, 0, FAULT_WAIT_MS));
    vantles_close(&conn);
    EXPECT_TRUE(fd_count_returns(daemon_.pid, fds_before, FAULT_WAIT_MS));

    live_stream again;
    ASSERT_EQ(0, live_stream_start(&again,
                                   live_options(daemon_, {"/tmp/many"}, VANTLES_FLAG_FILE_EVENTS)));
    ASSERT_EQ(0, make_file(live_root_path(daemon_, "/tmp/many/again"), 0644));
    EXPECT_TRUE(has_path(&again.sink, "/tmp/many/again"));
}

// --- The read-permission filter --------------------------------------------------------------

// A directory of the machine's /tmp, removed with everything in it at the end.
struct temp_dir {
    std::string path;
    temp_dir() = default;
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    ~temp_dir() {
        if (!path.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    }
};

// What the unprivileged child sends back: a line "R" once registered, or "X reason" when it
// failed; then one line per event, "F" (file level) or "D" (directory level), id, flags, path;
// then "END".
void child_say(int fd, const std::string& line) {
    std::string text = line + "\n";
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            _exit(5);
        done += static_cast<size_t>(n);
    }
}

// Child: becomes uid and gid 65534 with no other groups, checks that it really lost root's
// rights (probe is a file only root may read), registers a file-level and a directory-level
// stream on dir, and reports every event once both have their end markers.
[[noreturn]] void run_unprivileged(const test_daemon& d, const std::string& dir,
                                   const std::string& probe, int out) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (setgroups(0, nullptr) != 0 || setgid(FAULT_NOBODY) != 0 || setuid(FAULT_NOBODY) != 0) {
        child_say(out, std::string("X cannot drop privileges: ") + strerror(errno));
        _exit(1);
    }
    if (getuid() != FAULT_NOBODY || geteuid() != FAULT_NOBODY || getegid() != FAULT_NOBODY ||
        setuid(0) == 0) {
        child_say(out, "X still privileged");
        _exit(1);
    }
    int fd = open(probe.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 || errno != EACCES) {
        child_say(out, "X can read a file of root's: " + probe);
        _exit(1);
    }
    live_stream files, dirs;
    int err = live_stream_start(&files, live_options(d, {dir}, VANTLES_FLAG_FILE_EVENTS));
    if (err == 0)
        err = live_stream_start(&dirs, live_options(d, {dir}));
    if (err != 0) {
        child_say(out, "X registration failed: " + std::to_string(err));
        _exit(1);
    }
    child_say(out, "R");
    has_path(&files.sink, dir + "/zz-end");
    has_path(&dirs.sink, dir + "/zz-end-dir/");
    for (const auto& [tag, sink] : {std::pair{"F", &files.sink}, std::pair{"D", &dirs.sink}})
        for (const live_event& e : live_sink_events(sink))
            child_say(out, std::string(tag) + " " + std::to_string(e.id) + " " +
                               std::to_string(e.flags) + " " + e.path);
    child_say(out, "END");
    _exit(0);
}

// Reads lines from fd until the line `until`, a line starting with "X", EOF or the deadline.
std::vector<std::string> read_lines(int fd, int timeout_ms, const char* until) {
    std::vector<std::string> lines;
    std::string pending;
    int64_t deadline = live_now_ms() + timeout_ms;
    for (;;) {
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            lines.push_back(pending.substr(0, nl));
            pending.erase(0, nl + 1);
            if (lines.back() == until || lines.back()[0] == 'X')
                return lines;
        }
        int left = static_cast<int>(std::max<int64_t>(deadline - live_now_ms(), 0));
        pollfd p = {fd, POLLIN, 0};
        if (left == 0 || poll(&p, 1, left) != 1)
            return lines;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return lines;
        pending.append(buf, static_cast<size_t>(n));
    }
}

struct reported_event {
    uint32_t flags;
    std::string path;
};

// A client of an unprivileged user gets events only for what that user may read: not for a
// root file of mode 0600, nor for anything inside a root directory of mode 0700, nor for that
// directory, at either level. The removal of a file it could not read does reach it, because
// the directory that held the name is readable (the name could be listed there anyway); the
// removal of a file inside the closed directory does not. A root client on the same tree gets
// everything.
TEST_F(LiveFaults, UnprivilegedClientSeesOnlyWhatItMayRead) {
    // The daemon's socket must be reachable by the unprivileged user: in a directory of mode
    // 0755 rather than the fixture's private one.
    temp_dir sock_dir;
    char tmpl[] = "/tmp/vantles-faults.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    sock_dir.path = tmpl;
    ASSERT_EQ(0, chmod(tmpl, 0755));
    std::string probe = sock_dir.path + "/root-only";
    ASSERT_EQ(0, make_file(probe, 0600));
    start_daemon(sock_dir.path + "/vantlesd.sock");

    const std::string dir = "/tmp/perm";
    make_dir(dir, 0755);
    make_dir(dir + "/private", 0700);
    make_dir(dir + "/zz-end-dir", 0755);
    auto host = [&](const std::string& name) { return live_root_path(daemon_, dir + "/" + name); };
    ASSERT_EQ(0, make_file(host("secret"), 0600));
    ASSERT_EQ(0, make_file(host("public"), 0644));
    ASSERT_EQ(0, make_file(host("private/inner"), 0644));
    ASSERT_EQ(0, make_file(host("private/doomed"), 0644));
    ASSERT_EQ(0, make_file(host("doomed"), 0600));

    int pipe_fds[2];
    ASSERT_EQ(0, pipe2(pipe_fds, O_CLOEXEC));
    unique_fd from_child(pipe_fds[0]);
    child_process child;
    fflush(nullptr);
    child.pid = fork();
    ASSERT_GE(child.pid, 0);
    if (child.pid == 0)
        run_unprivileged(daemon_, dir, probe, pipe_fds[1]);
    close(pipe_fds[1]);
    ASSERT_EQ(std::vector<std::string>{"R"}, read_lines(from_child.get(), FAULT_WAIT_MS, "R"));

    live_stream root;
    ASSERT_EQ(0, live_stream_start(&root, live_options(daemon_, {dir}, VANTLES_FLAG_FILE_EVENTS)));

    ASSERT_EQ(0, append_to(host("secret"), "s"));
    ASSERT_EQ(0, chmod(host("secret").c_str(), 0640));
    ASSERT_EQ(0, append_to(host("public"), "p"));
    ASSERT_EQ(0, chmod(host("public").c_str(), 0664));
    ASSERT_EQ(0, append_to(host("private/inner"), "i"));
    ASSERT_EQ(0, chmod(host("private/inner").c_str(), 0604));
    ASSERT_EQ(0, chmod(host("private").c_str(), 0700));
    ASSERT_EQ(0, unlink(host("private/doomed").c_str()));
    ASSERT_EQ(0, unlink(host("doomed").c_str()));
    // End markers: events come in id order, so everything above has been decided by then.
    ASSERT_EQ(0, make_file(host("zz-end-dir/x"), 0644));
    ASSERT_EQ(0, make_file(host("zz-end"), 0644));

    std::vector<std::string> lines = read_lines(from_child.get(), FAULT_WAIT_MS, "END");
    ASSERT_FALSE(lines.empty());
    ASSERT_EQ("END", lines.back()) << "the child did not finish: " << lines.back();
    child.stop();
    std::vector<reported_event> files, dirs;
    std::string report;
    for (const std::string& line : lines) {
        report += line + "\n";
        char tag = 0;
        unsigned long long id = 0;
        unsigned flags = 0;
        int used = 0;
        if (sscanf(line.c_str(), "%c %llu %u %n", &tag, &id, &flags, &used) < 3)
            continue;
        (tag == 'F' ? files : dirs).push_back({flags, line.substr(static_cast<size_t>(used))});
    }
    SCOPED_TRACE("the unprivileged child received:\n" + report);

    // The unprivileged file-level client.
    auto count = [&](const std::string& path) {
        return std::count_if(files.begin(), files.end(),
                             [&](const reported_event& e) { return e.path == path; });
    };
    EXPECT_GE(count(dir + "/zz-end"), 1);
    EXPECT_GE(count(dir + "/public"), 1);
    EXPECT_EQ(0, count(dir + "/secret"));
    EXPECT_EQ(0, count(dir + "/private"));
    // A file gone by delivery time is judged by its readable directory, whose names the user
    // may list anyway: its removal arrives, and its creation too when that was delivered only
    // after the removal. Its last event is the removal.
    EXPECT_GE(count(dir + "/doomed"), 1);
    EXPECT_LE(count(dir + "/doomed"), 2);
    uint32_t doomed_last = 0;
    for (const reported_event& e : files) {
        EXPECT_NE(0u, e.path.rfind(dir + "/private/", 0)) << e.path;
        if (e.path == dir + "/doomed") {
            doomed_last = e.flags;
        }
    }
    EXPECT_NE(0u, doomed_last & VANTLES_EVENT_REMOVED) << "flags 0x" << std::hex << doomed_last;

    // The unprivileged directory-level client: its own directory, nothing of the closed one.
    EXPECT_TRUE(std::any_of(dirs.begin(), dirs.end(),
                            [&](const reported_event& e) { return e.path == dir + "/"; }));
    EXPECT_TRUE(std::any_of(dirs.begin(), dirs.end(), [&](const reported_event& e) {
        return e.path == dir + "/zz-end-dir/";
    }));
    for (const reported_event& e : dirs)
        EXPECT_NE(0u, e.path.rfind(dir + "/private", 0)) << e.path;

    // The root client on the same tree.
    ASSERT_TRUE(has_path(&root.sink, dir + "/zz-end"));
    for (const char* name :
         {"secret", "public", "private", "private/inner", "private/doomed", "doomed"})
        EXPECT_TRUE(has_path(&root.sink, dir + "/" + name, 0))
            << name << " missing for root:\n"
            << live_describe(live_sink_events(&root.sink));
}

}  // namespace
