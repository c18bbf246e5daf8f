// The built `vantles` program run as a child process: first a table of command lines that fail
// before or when connecting (no daemon), then scenarios against a test daemon in its scratch
// root. The tool checks watched paths in its own view, the daemon watches its scratch root: a
// directory made at the same path in both is watched, and changed through the daemon's view.
#include "tests/support/live_client.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <atomic>
#include <thread>

extern char** environ;

namespace {

constexpr int CLI_TIMEOUT_MS = 20000;

// A running `vantles` with its standard output and error collected.
struct cli_process {
    pid_t pid = -1;
    int status = -1;
    unique_fd out, err;
    std::string out_text, err_text;
    ~cli_process() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    // Reads what the pipes hold, waiting up to wait_ms; false once both have ended.
    bool read_some(int wait_ms) {
        pollfd fds[2] = {{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
        if (poll(fds, 2, wait_ms) > 0) {
            for (auto [end, text, p] :
                 {std::tuple{&out, &out_text, fds[0]}, {&err, &err_text, fds[1]}}) {
                char buffer[4096];
                ssize_t n = p.revents ? read(end->get(), buffer, sizeof buffer) : -1;
                if (n > 0)
                    text->append(buffer, size_t(n));
                else if (p.revents)
                    end->reset();
            }
        }
        return out.valid() || err.valid();
    }
    bool wait_output(const std::string& text) {
        return wait_until(
            [&] {
                read_some(50);
                return out_text.find(text) != std::string::npos;
            },
            CLI_TIMEOUT_MS);
    }
    bool wait_exit(int timeout_ms = CLI_TIMEOUT_MS) {
        bool exited = pid < 0 || wait_until(
                                     [&] {
                                         read_some(50);
                                         return waitpid(pid, &status, WNOHANG) == pid;
                                     },
                                     timeout_ms);
        if (exited && pid > 0) {
            pid = -1;
            while (read_some(0)) {
            }
        }
        return exited;
    }
};

// Starts `vantles args...` with VANTLESD_SOCKET set to socket_env (removed when empty). as
// nobody: user and group 65534. ns_of: in that process's mount namespace (and root).
void cli_spawn(cli_process* p, std::vector<std::string> args, const std::string& socket_env = "",
               pid_t ns_of = 0, bool as_nobody = false) {
    args.insert(args.begin(), VANTLES_TOOL_PATH);
    std::vector<std::string> env;
    for (char** e = environ; *e; e++)
        if (strncmp(*e, "VANTLESD_SOCKET=", 16) != 0)
            env.push_back(*e);
    if (!socket_env.empty())
        env.push_back("VANTLESD_SOCKET=" + socket_env);
    std::vector<char*> argv, envp;
    for (std::string& s : args)
        argv.push_back(s.data());
    for (std::string& s : env)
        envp.push_back(s.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    unique_fd tool(open(VANTLES_TOOL_PATH, O_RDONLY | O_CLOEXEC)), ns;
    if (ns_of > 0)
        ns.reset(
            open(("/proc/" + std::to_string(ns_of) + "/ns/mnt").c_str(), O_RDONLY | O_CLOEXEC));
    int out_pipe[2], err_pipe[2];
    ASSERT_EQ(0, pipe2(out_pipe, O_CLOEXEC));
    ASSERT_EQ(0, pipe2(err_pipe, O_CLOEXEC));
    fflush(nullptr);
    p->pid = fork();
    ASSERT_GE(p->pid, 0);
    if (p->pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        if (as_nobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(126);
        // setns refuses while another thread shares the file-system context: unshare it first.
        if (ns_of > 0 && (unshare(CLONE_FS) != 0 || setns(ns.get(), CLONE_NEWNS) != 0))
            _exit(125);
        fexecve(tool.get(), argv.data(), envp.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    p->out.reset(out_pipe[0]);
    p->err.reset(err_pipe[0]);
}

void cli_run(cli_process* p, const std::vector<std::string>& args,
             const std::string& socket_env = "", pid_t ns_of = 0, bool as_nobody = false) {
    cli_spawn(p, args, socket_env, ns_of, as_nobody);
    ASSERT_TRUE(p->wait_exit()) << "vantles " << args[0] << " did not exit";
}

::testing::AssertionResult exited_with(const cli_process& p, int code) {
    if (WIFEXITED(p.status) && WEXITSTATUS(p.status) == code)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "wait status 0x" << std::hex << p.status << std::dec
                                         << ", want exit " << code << "; stderr: " << p.err_text;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

// Command lines refused before or when connecting: exit status and the start of the error
// ("@" stands for the socket, "#" for an existing directory).
TEST(VantlesCli, ErrorsExitWithStatusAndMessage) {
    char dir_template[] = "/tmp/vantles-cli.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir_template));
    const std::string dir = dir_template, socket = dir + "/no-daemon.sock";
    const std::string unreachable = "vantles: cannot reach the daemon at " + socket;
    struct {
        std::vector<std::string> args;
        int status;
        std::string error;  // the start of standard error
        std::string output = "";
    } cases[] = {
        {{"watch", "--socket", "@", "#/missing"},
         1,
         "vantles: #/missing: No such file or directory\n"},
        {{"watch", "--socket", "@", "#"}, 1, unreachable},
        {{"id"}, 1, unreachable},
        {{"id", "--socket", "@"}, 1, unreachable},
        {{"status", "--socket", "@"}, 1, unreachable},
        {{"status", "--json"}, 1, unreachable},
        {{"history", "--socket", "@", "#"}, 1, unreachable},
        {{"id", "--before", "0", "--volume", "#/missing"},
         1,
         "vantles: id: #/missing: No such file or directory\n"},
        {{"id", "--before", "noon"}, 2, "vantles: "},
        {{"watch", "--bogus", "#"}, 2, "vantles: "},
        {{"watch", "--latency", "fast", "#"}, 2, "vantles: "},
        {{"watch", "--count", "0", "#"}, 2, "vantles: "},
        {{"watch", "--files"}, 2, "vantles: "},
        {{"history", "--since", "now", "#"}, 2, "vantles: "},
        {{"history", "--count", "1", "#"}, 2, "vantles: "},
        {{"history", "--json"}, 2, "vantles: "},
        {{"frobnicate"}, 2, "vantles: "},
        {{"id", "extra"}, 2, "vantles: "},
        {{"status", "extra"}, 2, "vantles: "},
        {{"status", "--json=yes"}, 2, "vantles: "},
        {{"help", "history"}, 0, "", "vantles history [OPTIONS] PATH...\n"},
    };
    for (auto& c : cases) {
        for (std::string* s : {&c.error, &c.output})
            for (size_t at; (at = s->find('#')) != std::string::npos;)
                s->replace(at, 1, dir);
        for (std::string& a : c.args)
            a = a == "@" ? socket : a[0] == '#' ? dir + a.substr(1) : a;
        SCOPED_TRACE(testing::PrintToString(c.args));
        cli_process p;
        cli_run(&p, c.args, socket);
        EXPECT_TRUE(exited_with(p, c.status));
        EXPECT_EQ(0u, p.err_text.find(c.error)) << p.err_text;
        EXPECT_EQ(0u, p.out_text.find(c.output)) << p.out_text;
        if (c.status == 1) {
            EXPECT_EQ("", p.out_text);
        }
    }
    cli_process help;
    cli_run(&help, {"--help"});
    EXPECT_TRUE(exited_with(help, 0));
    for (const char* option : {"--latency", "--files", "--exclude", "--since", "--no-defer",
                               "--ignore-self", "--mark-self", "--device", "--socket", "--count",
                               "--json", "vantles id", "vantles history", "vantles status"})
        EXPECT_NE(std::string::npos, help.out_text.find(option)) << option;
    rmdir(dir.c_str());
}

class VantlesCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!scratch_root_available())
            GTEST_SKIP() << "needs root and mount namespaces";
        ASSERT_EQ(0, test_daemon_start(&daemon_, {"-d"})) << test_daemon_log(daemon_);
        char dir_template[] = "/tmp/vantles-cli.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir_template));
        watched_ = dir_template;
        ASSERT_EQ(0, live_make_dir(daemon_, watched_));
    }
    void TearDown() override {
        if (!watched_.empty())
            rmdir(watched_.c_str());
        if (HasFailure())
            printf("---- daemon log ----\n%s\n", test_daemon_log(daemon_).c_str());
    }
    void create(const std::string& name) {
        ASSERT_EQ(0, live_create_file(daemon_, watched_ + "/" + name));
    }
    ::testing::AssertionResult clients(int n) {
        return live_state_becomes(&daemon_, n + LIVE_INTERNAL_CLIENTS, -1, CLI_TIMEOUT_MS);
    }
    unsigned long long current_id() {
        cli_process id;
        cli_run(&id, {"id", "--socket", daemon_.socket_path});
        EXPECT_TRUE(exited_with(id, 0));
        return strtoull(id.out_text.c_str(), nullptr, 10);
    }

    test_daemon daemon_;
    std::string watched_;
};

// Plain lines "ID FLAGS PATH", JSON lines with escaped paths, --count, and the signals that
// end a watch, which unregisters its stream.
TEST_F(VantlesCliTest, WatchPrintsEventsUntilSignalledOrCounted) {
    cli_process plain, json, counted;
    cli_spawn(&plain, {"watch", "--files", "--socket", daemon_.socket_path, watched_});
    cli_spawn(&json, {"watch", "--files", "--json", "--latency=.05", "--since", "now", watched_},
              daemon_.socket_path);
    cli_spawn(&counted,
              {"watch", "--files", "--count", "2", "--socket", daemon_.socket_path, watched_});
    ASSERT_TRUE(clients(3));
    create("q\"b\\n\nc\x01\xff\xc3\xa9");
    create("plain");
    create("last");
    ASSERT_TRUE(plain.wait_output(watched_ + "/last\n")) << plain.out_text << plain.err_text;
    size_t end = plain.out_text.find(watched_ + "/plain\n");
    size_t begin = plain.out_text.rfind('\n', end) + 1;
    std::string line = plain.out_text.substr(begin, end - begin);  // "ID FLAGS "
    EXPECT_GT(strtoull(line.c_str(), nullptr, 10), 0u) << line;
    EXPECT_NE(std::string::npos, line.find(" created")) << line;
    EXPECT_NE(std::string::npos, line.find("file")) << line;

    ASSERT_TRUE(json.wait_output("\"path\":\"" + watched_ + "/last\"}\n")) << json.out_text;
    EXPECT_NE(std::string::npos, json.out_text.find("\"path\":\"" + watched_ +
                                                    "/q\\\"b\\\\n\\nc\\u0001\\u00ff\xc3\xa9\"}"))
        << json.out_text;
    // Other daemons' changes may add dropped-events lines; each line is one object.
    int created = 0;
    for (const std::string& l : lines_of(json.out_text)) {
        EXPECT_EQ(0u, l.find("{\"id\":")) << l;
        created += l.find(",\"flags\":[\"created\",") != std::string::npos &&
                   l.find("\"file\"],\"path\":\"" + watched_ + "/") != std::string::npos;
    }
    EXPECT_EQ(3, created) << json.out_text;

    ASSERT_TRUE(counted.wait_exit()) << "--count did not end the watch";
    EXPECT_TRUE(exited_with(counted, 0));
    EXPECT_NE(std::string::npos, counted.out_text.find(watched_ + "/plain\n")) << counted.out_text;
    EXPECT_EQ(std::string::npos, counted.out_text.find(watched_ + "/last")) << counted.out_text;
    kill(plain.pid, SIGINT);
    kill(json.pid, SIGTERM);
    for (cli_process* p : {&plain, &json}) {
        ASSERT_TRUE(p->wait_exit(10000)) << "a signal did not end the watch";
        EXPECT_TRUE(exited_with(*p, 0));
        EXPECT_EQ("", p->err_text);
    }
    EXPECT_TRUE(clients(0)) << "a stream was not unregistered";
}

TEST_F(VantlesCliTest, RefusedRegistrationAndALostDaemonEndTheWatch) {
    std::vector<std::string> args = {"watch", "--socket", daemon_.socket_path};
    args.insert(args.end(), 4097, watched_);  // more paths than one registration takes
    cli_process refused;
    cli_run(&refused, args);
    EXPECT_TRUE(exited_with(refused, 1));
    EXPECT_EQ(
        "vantles: the daemon refused the registration: the daemon refused the paths or "
        "exclusions (code -22)\n",
        refused.err_text);

    cli_process watch;
    cli_spawn(&watch, {"watch", "--socket", daemon_.socket_path, watched_});
    ASSERT_TRUE(clients(1));
    test_daemon_stop(&daemon_);
    ASSERT_TRUE(watch.wait_exit()) << "the watch outlived the daemon";
    EXPECT_TRUE(exited_with(watch, 1));
    EXPECT_NE(std::string::npos, watch.err_text.find("vantles: the daemon ended the stream"))
        << watch.err_text;
}

// The volume commands and status on the daemon's own root volume: the uuid of the history's
// uuid file, no id before any time, nothing to purge, purge refused to a user, the current
// id growing after a change; status as seen from the daemon's namespace.
TEST_F(VantlesCliTest, VolumeCommandsAndStatusAnswerForTheRootVolume) {
    struct stat st;
    ASSERT_EQ(0, stat(live_root_path(daemon_, "/").c_str(), &st));
    std::string device = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    std::string stored = read_text(live_root_path(daemon_, "/.vantlesd/vantlesd-uuid"));
    ASSERT_EQ(36u, stored.size());
    const std::string& sock = daemon_.socket_path;

    cli_process uuid, before, purge, refused;
    cli_run(&uuid, {"uuid", "--socket", sock, device});
    EXPECT_TRUE(exited_with(uuid, 0));
    EXPECT_EQ(stored + "\n", uuid.out_text);
    cli_run(&before, {"id", "--before", "2026-12-06T21:30:00Z", "--volume", device}, sock);
    EXPECT_TRUE(exited_with(before, 0));
    EXPECT_EQ("0\n", before.out_text);
    cli_run(&purge, {"purge", device, "all"}, sock);
    EXPECT_TRUE(exited_with(purge, 0));
    EXPECT_EQ("no history to purge\n", purge.out_text);
    ASSERT_EQ(0, chmod(daemon_.dir.c_str(), 0755));  // the user must reach the socket
    cli_run(&refused, {"purge", device, "5"}, sock, 0, true);
    EXPECT_TRUE(exited_with(refused, 1));
    EXPECT_NE(std::string::npos, refused.err_text.find("only root may remove history"))
        << refused.err_text;

    unsigned long long first = current_id();
    create("changed");
    unsigned long long later = first;
    EXPECT_TRUE(
        wait_until([&] { return (later = current_id()) > first || HasFailure(); }, CLI_TIMEOUT_MS));
    EXPECT_GT(later, first);

    // The table and JSON layouts are checked without a daemon (tools_tests); here, that the
    // daemon's answers reach them: the id, the root volume's device and history uuid.
    cli_process json;
    cli_run(&json, {"status", "--json"}, sock, daemon_.pid);
    ASSERT_TRUE(exited_with(json, 0));
    const std::string& out = json.out_text;
    EXPECT_EQ(0u, out.find("{\"socket\":\"" + sock + "\",\"current_event_id\":")) << out;
    EXPECT_GE(strtoull(out.c_str() + out.find("\"current_event_id\":") + 19, nullptr, 10), later);
    EXPECT_NE(std::string::npos, out.find("{\"device\":\"" + device + "\",\"mount_point\":\"/\","))
        << out;
    EXPECT_NE(std::string::npos,
              out.find("\"history\":true,\"reason\":null,\"uuid\":\"" + stored + "\"}"))
        << out;
    EXPECT_EQ(std::string::npos, out.find("\"fs_type\":\"proc\"")) << out;
}

// A history prints the changes since an id, in as many batches as they take, and ends by
// itself at its history-done line while changes keep coming, printing no live event.
TEST_F(VantlesCliTest, HistoryReplaysChangesSinceAnIdAndEnds) {
    constexpr int FILES = 40;  // more than one batch of 32
    unsigned long long first = current_id();
    for (int i = 0; i < FILES; i++)
        create("kept" + std::to_string(i));
    // Only a change the daemon has read in (and given an id) is in its history.
    ASSERT_TRUE(
        wait_until([&] { return current_id() >= first + FILES || HasFailure(); }, CLI_TIMEOUT_MS));
    std::atomic<bool> stop{false};
    std::thread changes([&] {
        for (int i = 0; !stop.load(); i++) {
            live_create_file(daemon_, watched_ + "/after" + std::to_string(i));
            usleep(2000);
        }
    });
    cli_process all;
    cli_run(&all,
            {"history", "--files", "--since", "0", "--socket", daemon_.socket_path, watched_});
    stop.store(true);
    changes.join();
    ASSERT_TRUE(exited_with(all, 0));
    std::vector<std::string> lines = lines_of(all.out_text);
    ASSERT_FALSE(lines.empty());
    ASSERT_NE(std::string::npos, lines.back().find(" history-done")) << all.out_text;
    unsigned long long done_id = strtoull(lines.back().c_str(), nullptr, 10);
    std::vector<unsigned long long> last_id(FILES, 0);
    for (size_t l = 0; l + 1 < lines.size(); l++) {
        unsigned long long id = strtoull(lines[l].c_str(), nullptr, 10);
        EXPECT_TRUE(id <= done_id || lines[l].find("-dropped") != std::string::npos) << lines[l];
        size_t at = lines[l].rfind(" " + watched_ + "/kept");
        if (at != std::string::npos) {
            int i = atoi(lines[l].c_str() + at + watched_.size() + 6);
            last_id[i] = std::max(last_id[i], id);
        }
    }
    for (int i = 0; i < FILES; i++)
        EXPECT_NE(0u, last_id[i]) << "kept" << i << " not replayed:\n" << all.out_text;

    cli_process later;
    std::string since = std::to_string(last_id[FILES / 2 - 1]);
    cli_run(&later, {"history", "--files", "--since", since, watched_}, daemon_.socket_path);
    ASSERT_TRUE(exited_with(later, 0));
    for (int i = 0; i < FILES; i++) {
        std::string path = " " + watched_ + "/kept" + std::to_string(i) + "\n";
        EXPECT_EQ(i >= FILES / 2, later.out_text.find(path) != std::string::npos)
            << "kept" << i << " with --since " << since;
    }
}

}  // namespace
