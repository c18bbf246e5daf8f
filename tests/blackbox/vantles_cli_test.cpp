// Black-box tests of the command-line tool: the built `vantles` program run as a child process
// against a test daemon (as root, in its scratch root), checking what it prints and how it
// exits. The tool checks that watched paths exist in its own view, the daemon watches them in
// its scratch root: each test watches a directory made at the same path in both, and changes
// it through the daemon's view (/proc/PID/root), on the daemon's own scratch file system.
#include "tests/support/test_daemon.h"

#include "tests/support/scratch_root.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <grp.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

constexpr int CLI_TIMEOUT_MS = 20000;
constexpr const char* CLI_AS_NOBODY = "(as nobody)";

int64_t cli_now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

// A running `vantles` with its standard output and error collected through pipes.
struct cli_process {
    pid_t pid = -1;
    int status = -1;  // wait status once reaped
    unique_fd out, err;
    std::string out_text, err_text;

    ~cli_process() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

// Starts `vantles args...` with VANTLESD_SOCKET removed from the environment, or set to
// socket_env when that is not empty. With ns_of, the tool runs in the mount namespace (and so
// the root) of that process: it then sees the daemon's mounts; its binary is opened before.
void cli_spawn(cli_process* p, const std::vector<std::string>& args,
               const std::string& socket_env = "", pid_t ns_of = 0) {
    // A first argument CLI_AS_NOBODY runs the tool as user and group 65534 instead.
    bool as_nobody = !args.empty() && args[0] == CLI_AS_NOBODY;
    std::vector<std::string> argv_strings = {VANTLES_TOOL_PATH};
    argv_strings.insert(argv_strings.end(), args.begin() + (as_nobody ? 1 : 0), args.end());
    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; e++) {
        if (strncmp(*e, "VANTLESD_SOCKET=", 16) != 0) {
            env_strings.push_back(*e);
        }
    }
    if (!socket_env.empty()) {
        env_strings.push_back("VANTLESD_SOCKET=" + socket_env);
    }
    std::vector<char*> argv, envp;
    for (std::string& s : argv_strings) {
        argv.push_back(s.data());
    }
    for (std::string& s : env_strings) {
        envp.push_back(s.data());
    }
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    unique_fd tool, ns;
    if (ns_of > 0) {
        tool.reset(open(VANTLES_TOOL_PATH, O_RDONLY | O_CLOEXEC));
        ns.reset(
            open(("/proc/" + std::to_string(ns_of) + "/ns/mnt").c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(tool.valid() && ns.valid()) << strerror(errno);
    }
    int out_pipe[2], err_pipe[2];
    ASSERT_EQ(0, pipe2(out_pipe, O_CLOEXEC));
    ASSERT_EQ(0, pipe2(err_pipe, O_CLOEXEC));
    fflush(nullptr);
    p->pid = fork();
    ASSERT_GE(p->pid, 0);
    if (p->pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        if (as_nobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(126);
        }
        if (ns_of > 0) {
            // setns moves this process's root and working directory to the namespace's root;
            // it refuses while a sanitizer runtime's thread shares them, hence the unshare.
            if (unshare(CLONE_FS) != 0 || setns(ns.get(), CLONE_NEWNS) != 0) {
                _exit(125);
            }
            fexecve(tool.get(), argv.data(), envp.data());
            _exit(127);
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    p->out.reset(out_pipe[0]);
    p->err.reset(err_pipe[0]);
}

// Reads whatever the pipes hold, waiting up to wait_ms for something. False once both ended.
bool cli_read(cli_process* p, int wait_ms) {
    pollfd fds[2] = {{p->out.get(), POLLIN, 0}, {p->err.get(), POLLIN, 0}};
    if (poll(fds, 2, wait_ms) <= 0) {
        return p->out.valid() || p->err.valid();
    }
    unique_fd* ends[2] = {&p->out, &p->err};
    std::string* texts[2] = {&p->out_text, &p->err_text};
    for (int i = 0; i < 2; i++) {
        if (fds[i].revents == 0) {
            continue;
        }
        char buffer[4096];
        ssize_t n = read(ends[i]->get(), buffer, sizeof buffer);
        if (n > 0) {
            texts[i]->append(buffer, static_cast<size_t>(n));
        } else {
            fds[i].fd = -1;
            ends[i]->reset();
        }
    }
    return p->out.valid() || p->err.valid();
}

// Waits for text on standard output.
bool cli_wait_output(cli_process* p, const std::string& text, int timeout_ms = CLI_TIMEOUT_MS) {
    int64_t deadline = cli_now_ms() + timeout_ms;
    while (p->out_text.find(text) == std::string::npos) {
        if (cli_now_ms() >= deadline || !cli_read(p, 50)) {
            return p->out_text.find(text) != std::string::npos;
        }
    }
    return true;
}

// Waits for the process to exit and collects the rest of its output; true when it exited.
bool cli_wait_exit(cli_process* p, int timeout_ms = CLI_TIMEOUT_MS) {
    if (p->pid < 0) {
        return true;  // already reaped
    }
    int64_t deadline = cli_now_ms() + timeout_ms;
    while (cli_now_ms() < deadline) {
        cli_read(p, 50);
        if (waitpid(p->pid, &p->status, WNOHANG) == p->pid) {
            p->pid = -1;
            while (cli_read(p, 0)) {
            }
            return true;
        }
    }
    return false;
}

::testing::AssertionResult exited_with(const cli_process& p, int code) {
    if (WIFEXITED(p.status) && WEXITSTATUS(p.status) == code) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "wait status 0x" << std::hex << p.status << std::dec
                                         << ", want exit " << code << "; stderr: " << p.err_text;
}

// Runs `vantles args...` to its end.
void cli_run(cli_process* p, const std::vector<std::string>& args,
             const std::string& socket_env = "", pid_t ns_of = 0) {
    cli_spawn(p, args, socket_env, ns_of);
    ASSERT_TRUE(cli_wait_exit(p)) << "vantles " << args[0] << " did not exit";
}

// Clients the daemon counts of its own: the disk logger.
constexpr int CLI_INTERNAL_CLIENTS = 1;

// The daemon's count of registered clients (the dump adds the disk logger), from the last state
// dump after a SIGUSR1; waits for want.
bool wait_client_count(const test_daemon& d, int want) {
    std::string text = "num_clients: " + std::to_string(want + CLI_INTERNAL_CLIENTS) + ",";
    int64_t deadline = cli_now_ms() + CLI_TIMEOUT_MS;
    while (cli_now_ms() < deadline) {
        kill(d.pid, SIGUSR1);
        usleep(100000);
        std::string log = test_daemon_log(d);
        size_t last = log.rfind("num_clients: ");
        if (last != std::string::npos && log.compare(last, text.size(), text) == 0) {
            return true;
        }
    }
    return false;
}

class VantlesCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!scratch_root_available()) {
            GTEST_SKIP() << "needs root and mount namespaces";
        }
        ASSERT_EQ(0, test_daemon_start(&daemon_, {"-d"})) << test_daemon_log(daemon_);
        char dir_template[] = "/tmp/vantles-cli.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir_template));
        watched_ = dir_template;
        ASSERT_EQ(0, mkdir(daemon_view(watched_).c_str(), 0755)) << strerror(errno);
    }

    void TearDown() override {
        if (!watched_.empty()) {
            rmdir(watched_.c_str());
        }
        if (HasFailure()) {
            printf("---- daemon log ----\n%s---- end of log ----\n",
                   test_daemon_log(daemon_).c_str());
        }
    }

    std::string daemon_view(const std::string& path) const {
        return "/proc/" + std::to_string(daemon_.pid) + "/root" + path;
    }

    // Creates a file in the watched directory, through the daemon's view of it.
    void create(const std::string& name) {
        std::string path = daemon_view(watched_ + "/" + name);
        int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << path << ": " << strerror(errno);
        close(fd);
    }

    test_daemon daemon_;
    std::string watched_;
};

TEST_F(VantlesCliTest, WatchPrintsFileEventsAndStopsOnSigint) {
    cli_process watch;
    cli_spawn(&watch, {"watch", "--files", "--socket", daemon_.socket_path, watched_});
    ASSERT_TRUE(wait_client_count(daemon_, 1));
    create("plain");
    std::string path = watched_ + "/plain\n";
    ASSERT_TRUE(cli_wait_output(&watch, path)) << watch.out_text << watch.err_text;
    // "ID FLAGS PATH", the flags of a created file among them.
    size_t line = watch.out_text.rfind('\n', watch.out_text.find(path));
    line = line == std::string::npos ? 0 : line + 1;
    std::string first = watch.out_text.substr(line, watch.out_text.find(path) - line);
    EXPECT_GT(strtoull(first.c_str(), nullptr, 10), 0u) << first;
    EXPECT_NE(std::string::npos, first.find(" created")) << first;
    EXPECT_NE(std::string::npos, first.find("file")) << first;

    ASSERT_EQ(0, kill(watch.pid, SIGINT));
    ASSERT_TRUE(cli_wait_exit(&watch, 10000)) << "SIGINT did not end the watch";
    EXPECT_TRUE(exited_with(watch, 0));
    EXPECT_EQ("", watch.err_text);
    EXPECT_TRUE(wait_client_count(daemon_, 0)) << "the stream was not unregistered";
}

// The lines of text, each without its newline; an unterminated last line fails the test.
std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        EXPECT_NE(std::string::npos, end) << "unterminated line: " << text;
        if (end == std::string::npos) {
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Other tests' daemons change the machine's file systems, which this daemon also sees through
// its read-only binds: a dropped-events notice may come at any time, to every stream. The
// checks below allow for such lines.
TEST_F(VantlesCliTest, JsonLinesEscapePaths) {
    cli_process watch;
    // The socket through the environment this time.
    cli_spawn(&watch, {"watch", "--files", "--json", "--latency=.05", "--since", "now", watched_},
              daemon_.socket_path);
    ASSERT_TRUE(wait_client_count(daemon_, 1));
    create("q\"b\\n\nc\x01\xff\xc3\xa9");
    create("second");
    std::string second = "\"path\":\"" + watched_ + "/second\"}\n";
    ASSERT_TRUE(cli_wait_output(&watch, second)) << watch.out_text;
    std::string want_path = "\"path\":\"" + watched_ + "/q\\\"b\\\\n\\nc\\u0001\\u00ff\xc3\xa9\"}";
    EXPECT_NE(std::string::npos, watch.out_text.find(want_path)) << watch.out_text;
    // Each line one object: the id first, the flags as names, the path last.
    int created = 0;
    for (const std::string& line : lines_of(watch.out_text)) {
        EXPECT_EQ(0u, line.find("{\"id\":")) << line;
        EXPECT_NE(std::string::npos, line.find("],\"path\":\"/")) << line;
        if (line.find(",\"flags\":[\"created\",") != std::string::npos &&
            line.find("\"file\"],\"path\":\"" + watched_ + "/") != std::string::npos) {
            created++;
        }
    }
    EXPECT_EQ(2, created) << watch.out_text;
    kill(watch.pid, SIGTERM);
    ASSERT_TRUE(cli_wait_exit(&watch, 10000)) << "SIGTERM did not end the watch";
    EXPECT_TRUE(exited_with(watch, 0));
}

TEST_F(VantlesCliTest, CountEndsTheWatch) {
    cli_process watch;
    cli_spawn(&watch,
              {"watch", "--files", "--count", "3", "--socket", daemon_.socket_path, watched_});
    ASSERT_TRUE(wait_client_count(daemon_, 1));
    // One change at a time until the watch ends by itself.
    for (int i = 0; i < 20 && watch.pid > 0; i++) {
        create("file" + std::to_string(i));
        cli_wait_exit(&watch, 500);
    }
    ASSERT_TRUE(cli_wait_exit(&watch)) << "--count did not end the watch: " << watch.out_text;
    EXPECT_TRUE(exited_with(watch, 0));
    EXPECT_EQ(3u, lines_of(watch.out_text).size()) << watch.out_text;
}

TEST_F(VantlesCliTest, WatchFailsWhenTheDaemonGoesAway) {
    cli_process watch;
    cli_spawn(&watch, {"watch", "--socket", daemon_.socket_path, watched_});
    ASSERT_TRUE(wait_client_count(daemon_, 1));
    test_daemon_stop(&daemon_);
    ASSERT_TRUE(cli_wait_exit(&watch)) << "the watch outlived the daemon";
    EXPECT_TRUE(exited_with(watch, 1));
    EXPECT_NE(std::string::npos, watch.err_text.find("vantles: the daemon ended the stream"))
        << watch.err_text;
}

TEST_F(VantlesCliTest, RefusedRegistrationShowsTheDaemonsCode) {
    // More paths than the daemon takes in one registration (4096).
    std::vector<std::string> args = {"watch", "--socket", daemon_.socket_path};
    args.insert(args.end(), 4097, watched_);
    cli_process watch;
    cli_run(&watch, args);
    EXPECT_TRUE(exited_with(watch, 1));
    EXPECT_EQ(
        "vantles: the daemon refused the registration: the daemon refused the paths or "
        "exclusions (code -22)\n",
        watch.err_text);
}

TEST_F(VantlesCliTest, IdGrowsAfterAChange) {
    cli_process before;
    cli_run(&before, {"id", "--socket", daemon_.socket_path});
    ASSERT_TRUE(exited_with(before, 0));
    char* end = nullptr;
    unsigned long long first = strtoull(before.out_text.c_str(), &end, 10);
    EXPECT_STREQ("\n", end) << before.out_text;

    create("changed");
    // The id is assigned once the event is read in: ask until it shows.
    unsigned long long later = first;
    int64_t deadline = cli_now_ms() + CLI_TIMEOUT_MS;
    while (later <= first && cli_now_ms() < deadline) {
        cli_process after;
        cli_run(&after, {"id"}, daemon_.socket_path);
        ASSERT_TRUE(exited_with(after, 0));
        later = strtoull(after.out_text.c_str(), nullptr, 10);
    }
    EXPECT_GT(later, first);
}

// The volume commands on the daemon's own root volume, named by its device: the uuid is the
// one in the history's uuid file; with no log file written yet there is no id before any
// time and nothing to purge. The refusals come from the tool and the daemon, not the kernel.
TEST_F(VantlesCliTest, VolumeCommandsAnswerForTheRootVolume) {
    struct stat st;
    ASSERT_EQ(0, stat(daemon_view("/").c_str(), &st));
    std::string device = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));

    cli_process uuid;
    cli_run(&uuid, {"uuid", "--socket", daemon_.socket_path, device});
    ASSERT_TRUE(exited_with(uuid, 0)) << uuid.err_text;
    char stored[37] = {};
    int fd = open(daemon_view("/.vantlesd/vantlesd-uuid").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(36, read(fd, stored, 36));
    close(fd);
    EXPECT_EQ(std::string(stored) + "\n", uuid.out_text);

    cli_process before;
    cli_run(&before, {"id", "--before", "2026-12-06T21:30:00Z", "--volume", device},
            daemon_.socket_path);
    ASSERT_TRUE(exited_with(before, 0)) << before.err_text;
    EXPECT_EQ("0\n", before.out_text);

    cli_process purge;
    cli_run(&purge, {"purge", device, "all"}, daemon_.socket_path);
    ASSERT_TRUE(exited_with(purge, 0)) << purge.err_text;
    EXPECT_EQ("no history to purge\n", purge.out_text);

    // An unprivileged user is refused by the daemon; it needs to reach the socket first.
    std::string socket_dir = daemon_.socket_path.substr(0, daemon_.socket_path.rfind('/'));
    ASSERT_EQ(0, chmod(socket_dir.c_str(), 0755));
    cli_process refused;
    cli_spawn(&refused, {CLI_AS_NOBODY, "purge", device, "5"}, daemon_.socket_path);
    ASSERT_TRUE(cli_wait_exit(&refused));
    EXPECT_TRUE(exited_with(refused, 1)) << refused.err_text;
    EXPECT_NE(std::string::npos, refused.err_text.find("only root may remove history"))
        << refused.err_text;

    cli_process bad;
    cli_run(&bad, {"id", "--before", "noon", "--socket", daemon_.socket_path});
    EXPECT_TRUE(exited_with(bad, 2));
}

// The daemon's latest event id, as `vantles id` prints it; 0 when it does not answer.
unsigned long long current_event_id(const test_daemon& d) {
    cli_process id;
    cli_run(&id, {"id"}, d.socket_path);
    EXPECT_TRUE(exited_with(id, 0));
    return strtoull(id.out_text.c_str(), nullptr, 10);
}

// `vantles status` as a user of the daemon's own namespace sees it (its "/" is the scratch
// root, which keeps a history): "/" on its device with the uuid of the history's uuid file,
// the current event id, no pseudo file system; the JSON form says the same.
TEST_F(VantlesCliTest, StatusNamesTheRootVolumesHistory) {
    struct stat st;
    ASSERT_EQ(0, stat(daemon_view("/").c_str(), &st));
    std::string device = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    char stored[37] = {};
    int fd = open(daemon_view("/.vantlesd/vantlesd-uuid").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(36, read(fd, stored, 36));
    close(fd);
    unsigned long long before = current_event_id(daemon_);
    create("counted");

    cli_process plain;
    cli_run(&plain, {"status", "--socket", daemon_.socket_path}, "", daemon_.pid);
    ASSERT_TRUE(exited_with(plain, 0)) << plain.err_text;
    std::vector<std::string> lines = lines_of(plain.out_text);
    ASSERT_GE(lines.size(), 5u) << plain.out_text;
    EXPECT_EQ("daemon: answering at " + daemon_.socket_path, lines[0]);
    ASSERT_EQ(0u, lines[1].find("current event id: ")) << lines[1];
    EXPECT_GE(strtoull(lines[1].c_str() + 18, nullptr, 10), before) << lines[1];
    EXPECT_EQ(0u, lines[3].find("DEVICE")) << lines[3];
    int root_rows = 0;
    for (size_t i = 4; i < lines.size(); i++) {
        char dev[64], mount_point[4096], history[64], uuid[64];
        ASSERT_EQ(
            4, sscanf(lines[i].c_str(), "%63s %4095s %63s %63s", dev, mount_point, history, uuid))
            << lines[i];
        EXPECT_STRNE("/proc", mount_point);
        if (strcmp(mount_point, "/") == 0) {
            root_rows++;
            EXPECT_EQ(device, dev);
            EXPECT_STREQ("yes", history);
            EXPECT_STREQ(stored, uuid);
        }
    }
    EXPECT_EQ(1, root_rows) << plain.out_text;

    cli_process json;
    cli_run(&json, {"status", "--json"}, daemon_.socket_path, daemon_.pid);
    ASSERT_TRUE(exited_with(json, 0)) << json.err_text;
    // The object's layout is checked byte for byte without a daemon (tools_tests); here, that
    // it carries the daemon's answers.
    const std::string& out = json.out_text;
    EXPECT_EQ(0u, out.find("{\"socket\":\"" + daemon_.socket_path + "\",\"current_event_id\":"))
        << out;
    EXPECT_GT(strtoull(out.c_str() + out.find("\"current_event_id\":") + 19, nullptr, 10), before);
    EXPECT_NE(std::string::npos, out.find("{\"device\":\"" + device + "\",\"mount_point\":\"/\","))
        << out;
    EXPECT_NE(std::string::npos,
              out.find("\"history\":true,\"reason\":null,\"uuid\":\"" + std::string(stored) + "\"}"))
        << out;
    EXPECT_EQ(std::string::npos, out.find("\"fs_type\":\"proc\"")) << out;
}

// A history's output: the events before the history-done line, and that line's id.
struct history_output {
    std::vector<std::string> events;
    unsigned long long done_id = 0;
};

// Splits the plain output of a history, which must end with exactly one history-done line and
// print no event after it; events are ids no greater than the history-done id, except for the
// dropped-events notices other tests' daemons may cause.
::testing::AssertionResult parse_history(const std::string& text, history_output* out) {
    std::vector<std::string> lines = lines_of(text);
    if (lines.empty() || lines.back().find(" history-done") == std::string::npos) {
        return ::testing::AssertionFailure() << "no history-done last line: " << text;
    }
    out->done_id = strtoull(lines.back().c_str(), nullptr, 10);
    lines.pop_back();
    for (const std::string& line : lines) {
        if (line.find("history-done") != std::string::npos) {
            return ::testing::AssertionFailure() << "two history-done lines: " << text;
        }
        if (line.find("-dropped") == std::string::npos &&
            strtoull(line.c_str(), nullptr, 10) > out->done_id) {
            return ::testing::AssertionFailure() << "live event printed: " << line << "\n" << text;
        }
        out->events.push_back(line);
    }
    return ::testing::AssertionSuccess();
}

// A history exits by itself at the history-done line, also while changes keep coming; none
// of the live events that follow the line is printed, in plain or JSON form.
TEST_F(VantlesCliTest, HistoryEndsAtTheHistoryDoneLine) {
    create("before");
    // Changes all along, one per 2 ms, from before the history starts until it is gone.
    std::atomic<bool> stop{false};
    std::thread changes([&] {
        for (int i = 0; !stop.load(); i++) {
            create("after" + std::to_string(i));
            usleep(2000);
        }
    });
    cli_process history;
    cli_spawn(&history,
              {"history", "--files", "--since", "0", "--socket", daemon_.socket_path, watched_});
    bool exited = cli_wait_exit(&history);
    stop.store(true);
    changes.join();
    ASSERT_TRUE(exited) << "the history waited for live events";
    EXPECT_TRUE(exited_with(history, 0));
    EXPECT_EQ("", history.err_text);
    history_output plain;
    EXPECT_TRUE(parse_history(history.out_text, &plain));

    cli_process json;
    cli_run(&json, {"history", "--json", watched_}, daemon_.socket_path);
    EXPECT_TRUE(exited_with(json, 0));
    std::vector<std::string> lines = lines_of(json.out_text);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(0u, lines.back().find("{\"id\":")) << json.out_text;
    EXPECT_NE(std::string::npos, lines.back().find(",\"flags\":[\"history-done\"],\"path\":"))
        << json.out_text;
    for (size_t i = 0; i + 1 < lines.size(); i++) {
        EXPECT_EQ(std::string::npos, lines[i].find("history-done")) << json.out_text;
    }
}

// Changes made under one daemon come back from the history of the next one, in as many
// batches as they take, and --since leaves out those up to the given id.
TEST_F(VantlesCliTest, HistoryReplaysChangesFromBeforeARestart) {
    constexpr int FILES = 40;  // more than one batch of 32
    unsigned long long first = current_event_id(daemon_);
    for (int i = 0; i < FILES; i++) {
        create("kept" + std::to_string(i));
    }
    // Each creation takes at least one id once the daemon has read it in; only then is it
    // the daemon's to keep.
    int64_t deadline = cli_now_ms() + CLI_TIMEOUT_MS;
    while (current_event_id(daemon_) < first + FILES && cli_now_ms() < deadline) {
        usleep(10000);
    }
    ASSERT_GE(current_event_id(daemon_), first + FILES) << "the changes were not read in";
    // SIGTERM writes what the daemon holds to the log files before it exits.
    ASSERT_EQ(0, test_daemon_restart(&daemon_, {"-d"})) << test_daemon_log(daemon_);
    EXPECT_TRUE(WIFEXITED(daemon_.status) && WEXITSTATUS(daemon_.status) == 0)
        << "SIGTERM: wait status 0x" << std::hex << daemon_.status;
    // The new daemon runs on the same scratch root.
    ASSERT_EQ(0, access(daemon_view(watched_ + "/kept0").c_str(), F_OK)) << strerror(errno);

    cli_process all;
    cli_run(&all, {"history", "--files", watched_}, daemon_.socket_path);
    ASSERT_TRUE(exited_with(all, 0));
    history_output replayed;
    ASSERT_TRUE(parse_history(all.out_text, &replayed));
    // The highest id of each file's events.
    std::vector<unsigned long long> last_id(FILES, 0);
    for (const std::string& line : replayed.events) {
        for (int i = 0; i < FILES; i++) {
            std::string suffix = " " + watched_ + "/kept" + std::to_string(i);
            if (line.size() > suffix.size() &&
                line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0) {
                last_id[i] = std::max(last_id[i], strtoull(line.c_str(), nullptr, 10));
            }
        }
    }
    std::string missing;
    for (int i = 0; i < FILES; i++) {
        missing += last_id[i] == 0 ? " kept" + std::to_string(i) : "";
    }
    ASSERT_EQ("", missing) << "not replayed:\n" << all.out_text;

    constexpr int HALF = FILES / 2;
    cli_process later;
    cli_run(&later, {"history", "--files", "--since", std::to_string(last_id[HALF - 1]), watched_},
            daemon_.socket_path);
    ASSERT_TRUE(exited_with(later, 0));
    std::string wrong;  // files replayed though not after the id, or missing though after it
    for (int i = 0; i < FILES; i++) {
        std::string path = " " + watched_ + "/kept" + std::to_string(i) + "\n";
        bool found = later.out_text.find(path) != std::string::npos;
        wrong += found != (i >= HALF) ? " kept" + std::to_string(i) : "";
    }
    EXPECT_EQ("", wrong) << "--since " << last_id[HALF - 1] << ":\n" << later.out_text;
}

// Failures the tool finds before or when connecting: no daemon needed, no root either.
TEST(VantlesCli, ErrorsExitWithStatusAndMessage) {
    char dir_template[] = "/tmp/vantles-cli.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir_template));
    std::string dir = dir_template;
    std::string socket = dir + "/no-daemon.sock";

    cli_process missing;
    cli_run(&missing, {"watch", "--socket", socket, dir + "/missing"});
    EXPECT_TRUE(exited_with(missing, 1));
    EXPECT_EQ("vantles: " + dir + "/missing: No such file or directory\n", missing.err_text);

    std::string unreachable = "vantles: cannot reach the daemon at " + socket;
    cli_process watch;
    cli_run(&watch, {"watch", "--socket", socket, dir});
    EXPECT_TRUE(exited_with(watch, 1));
    EXPECT_EQ(0u, watch.err_text.find(unreachable)) << watch.err_text;
    EXPECT_NE(std::string::npos, watch.err_text.find("(is vantlesd running?)")) << watch.err_text;
    cli_process id;
    cli_run(&id, {"id"}, socket);
    EXPECT_TRUE(exited_with(id, 1));
    EXPECT_EQ(0u, id.err_text.find(unreachable)) << id.err_text;
    EXPECT_EQ("", id.out_text);

    for (std::vector<std::string> args : {std::vector<std::string>{"watch", "--bogus", dir},
                                          {"watch", "--latency", "fast", dir},
                                          {"watch", "--count", "0", dir},
                                          {"watch", "--files"},
                                          {"history", "--since", "now", dir},
                                          {"history", "--count", "1", dir},
                                          {"history", "--json"},
                                          {"frobnicate"},
                                          {"id", "extra"},
                                          {"status", "extra"},
                                          {"status", "--json=yes"}}) {
        cli_process bad;
        cli_run(&bad, args, socket);
        EXPECT_TRUE(exited_with(bad, 2)) << args[0] << " " << args[1 % args.size()];
        EXPECT_EQ(0u, bad.err_text.find("vantles: ")) << bad.err_text;
    }
    // The socket by option, and by the environment with the JSON form: no output either way.
    for (bool json : {false, true}) {
        cli_process status;
        if (json) {
            cli_run(&status, {"status", "--json"}, socket);
        } else {
            cli_run(&status, {"status", "--socket", socket});
        }
        EXPECT_TRUE(exited_with(status, 1));
        EXPECT_EQ(0u, status.err_text.find(unreachable)) << status.err_text;
        EXPECT_EQ("", status.out_text);
    }
    cli_process history;
    cli_run(&history, {"history", "--socket", socket, dir});
    EXPECT_TRUE(exited_with(history, 1));
    EXPECT_EQ(0u, history.err_text.find(unreachable)) << history.err_text;

    cli_process history_help;
    cli_run(&history_help, {"help", "history"});
    EXPECT_TRUE(exited_with(history_help, 0));
    EXPECT_EQ(0u, history_help.out_text.find("vantles history [OPTIONS] PATH...\n"))
        << history_help.out_text;
    cli_process help;
    cli_run(&help, {"--help"});
    EXPECT_TRUE(exited_with(help, 0));
    for (const char* option : {"--latency", "--files", "--exclude", "--since", "--no-defer",
                               "--ignore-self", "--mark-self", "--device", "--socket", "--count",
                               "--json", "vantles id", "vantles history", "vantles status"}) {
        EXPECT_NE(std::string::npos, help.out_text.find(option)) << option;
    }
    rmdir(dir.c_str());
}

}  // namespace
