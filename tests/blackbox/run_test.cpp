// `vantles run` in the daemon's scratch root: settled batches, one run at a time, and --state
// catching up across stops, or rescanning when it cannot be trusted.
#include "tests/support/notify_standin.h"
#include "tests/support/scratch_daemon.h"

#include <algorithm>
#include <fstream>
#include <numeric>
#include <set>
#include <sstream>

namespace {

class VantlesRun : public ScratchDaemonTest {
protected:
    void prepare() override {
        show_tool();
        // Under a stand-in service manager, which keeps the kernel's queue across a restart.
        ASSERT_EQ(0, notify_.open_at(socket_dir_ + "/notify.sock"));
        ASSERT_TRUE(start({}, {"NOTIFY_SOCKET=" + socket_dir_ + "/notify.sock"}));
        ASSERT_EQ(0, live_make_dir(daemon_, "/tmp/w"));
        ASSERT_EQ(0, live_make_dir(daemon_, "/tmp/out"));
        ASSERT_EQ(0, live_sync(daemon_, "/tmp"));  // those changes have ids before any run
    }
    // Starts `vantles run` in the daemon's namespace; the command appends each run's list and
    // environment to /tmp/out (begin ... end around a pause, so that overlapping runs show).
    void start_run(std::vector<std::string> options, const std::string& exit_code = "0",
                   const std::string& command = "") {
        std::vector<std::string> args = {
            SCRATCH_TOOL,     "run",          "--socket",          daemon_.socket_path, "--files",
            "--latency=0.02", "--settle=0.3", "--state=/tmp/state"};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(
            args.end(),
            {"/tmp/w", "--", "sh", "-c",
             !command.empty()
                 ? command
                 : "echo \"begin n=$VANTLES_CHANGES r=${VANTLES_RESCAN:-0}\" >>/tmp/out/runs; "
                   "cat >>/tmp/out/list; sleep 0.3; echo end >>/tmp/out/runs; exit " +
                       exit_code});
        std::vector<char*> argv = c_strings(args);
        unique_fd ns(open_namespace(daemon_));
        ASSERT_EQ(0, run_.start([&] { return execv(argv[0], argv.data()), 127; }, ns.get()));
    }
    // Whether the run has reaped its command, and so kept the state of that run.
    bool run_idle() {
        std::string pid = std::to_string(run_.pid);
        std::string children = "/proc/" + pid + "/task/" + pid + "/children";
        return wait_until([&] { return read_text(children).empty(); }, SCRATCH_WAIT_MS);
    }
    void stop_run() {  // it ends with status 0
        int status = run_.stop(SIGTERM, SCRATCH_WAIT_MS);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    bool state_kept() {
        return wait_until([&] { return !read_text(host("/tmp/state")).empty(); }, SCRATCH_WAIT_MS);
    }
    // /tmp/out/NAME; "err": the run's standard error.
    std::string out(const std::string& name) {
        return name == "err" ? run_.errors() : read_text(host("/tmp/out/" + name));
    }
    std::string sorted_list() {  // one line per path
        std::istringstream in(out("list"));
        std::multiset<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.insert(line + "\n");
        return std::accumulate(lines.begin(), lines.end(), std::string());
    }
    bool wait_out(const std::string& name, const std::string& text) {
        return wait_until([&] { return out(name).find(text) != std::string::npos; },
                          SCRATCH_WAIT_MS);
    }
    void create(const std::string& name) {
        ASSERT_EQ(0, live_create_file(daemon_, "/tmp/w/" + name));
    }

    notify_standin notify_;
    child_process run_;
};

// Changes made together make one run with each path once; a change during a run starts one
// more after it. Stopped, or across a restart that kept the kernel's queue, the run catches up
// from the history; after a plain restart it runs a rescan instead, and says why.
TEST_F(VantlesRun, BatchesAndCatchesUpFromItsState) {
    start_run({});
    ASSERT_TRUE(state_kept());  // the id the run goes on from: later changes reach it
    create("a");
    create("b");
    create("a");
    ASSERT_TRUE(wait_out("runs", "begin n=2 r=0\n")) << out("runs") << out("err");
    create("during");
    ASSERT_TRUE(wait_out("runs", "end\nbegin n=1 r=0\nend\n")) << out("runs") << out("err");
    EXPECT_EQ("begin n=2 r=0\nend\nbegin n=1 r=0\nend\n", out("runs"));
    // Within one run the paths come in delivery order, which need not be the order of change.
    EXPECT_EQ("/tmp/w/a\n/tmp/w/b\n/tmp/w/during\n", sorted_list());
    ASSERT_TRUE(run_idle());
    stop_run();

    create("while-stopped");
    start_run({});
    ASSERT_TRUE(wait_out("list", "/tmp/w/while-stopped\n"))
        << out("list") << out("err") << out("runs") << read_text(host("/tmp/state"));
    EXPECT_EQ("/tmp/w/a\n/tmp/w/b\n/tmp/w/during\n/tmp/w/while-stopped\n", sorted_list());
    ASSERT_TRUE(wait_out("runs", "end\nbegin n=1 r=0\nend\nbegin n=1 r=0\nend\n")) << out("runs");
    ASSERT_TRUE(run_idle());

    int stored = notify_.wait_for("FDSTORE=1");
    ASSERT_GE(stored, 0);
    daemon_.pass_fd = notify_.received[stored].second[0].get();
    daemon_.pass_fd_name = "fanotify";
    ASSERT_EQ(0, test_daemon_restart(&daemon_, {"-d"})) << test_daemon_log(daemon_);
    create("after-restart");
    ASSERT_TRUE(wait_out("list", "/tmp/w/after-restart\n")) << out("list") << out("err");
    EXPECT_EQ("/tmp/w/a\n/tmp/w/after-restart\n/tmp/w/b\n/tmp/w/during\n/tmp/w/while-stopped\n",
              sorted_list());
    EXPECT_NE(std::string::npos, out("err").find("waiting for it to come back")) << out("err");
    ASSERT_TRUE(run_idle());
    stop_run();

    create("unknown");
    daemon_.pass_fd = -1;
    ASSERT_EQ(0, test_daemon_restart(&daemon_, {"-d"})) << test_daemon_log(daemon_);
    start_run({});
    ASSERT_TRUE(wait_out("runs", "begin n=0 r=1\nend\n")) << out("runs") << out("err");
    create("later");
    ASSERT_TRUE(wait_out("list", "/tmp/w/later\n")) << out("list") << out("err");
    EXPECT_EQ(std::string::npos, out("list").find("unknown")) << out("list");
    // The rescan says why, once.
    std::string err = out("err");
    EXPECT_NE(std::string::npos, err.find("restarted without its kernel queue")) << err;
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
}

// A damaged state file or one from another history makes the first run a rescan, said on
// standard error; --once then exits with the command's status.
TEST_F(VantlesRun, UntrustedStateRunsARescanOnce) {
    for (auto [state, error] :
         {std::pair<std::string, std::string>{"garbage\n", "is not a state file of vantles run"},
          {"vantles-run-state 1\nid 5\nuuid 00000000-0000-0000-0000-000000000000\n",
           "is not the one /tmp/state was kept with"}}) {
        std::ofstream(host("/tmp/state")) << state;
        start_run({"--once"}, "3");
        EXPECT_TRUE(run_.wait_exit(SCRATCH_WAIT_MS));
        EXPECT_TRUE(WIFEXITED(run_.status) && WEXITSTATUS(run_.status) == 3)
            << run_.status << out("err") << out("runs");
        EXPECT_NE(std::string::npos, out("runs").rfind("begin n=0 r=1\nend\n")) << out("runs");
        EXPECT_NE(std::string::npos, out("err").find(error)) << out("err");
        EXPECT_EQ(0u, read_text(host("/tmp/state")).find("vantles-run-state 1\nid "));
    }
}

// --initial runs at the start; --restart signals a running command and starts it again with
// the changes. What git ignores, and .git itself, start no run.
TEST_F(VantlesRun, InitialRunRestartAndWhatGitIgnores) {
    auto sh = [&](const char* command) {  // in the daemon's view, where the run looks
        return run_child(daemon_, [&] {
            return execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr)), 127;
        });
    };
    ASSERT_EQ(0, sh("git init -q /tmp/w && echo '*.o' >/tmp/w/.gitignore"));
    start_run({"--initial", "--restart", "--signal", "INT"}, "0",
              "echo \"start n=$VANTLES_CHANGES\" >>/tmp/out/runs; cat >>/tmp/out/list;"
              " trap 'echo int >>/tmp/out/runs; exit 0' INT; while :; do sleep 0.05; done");
    ASSERT_TRUE(wait_out("runs", "start n=0\n")) << out("err");
    create("a.o");
    ASSERT_EQ(0, sh("git -C /tmp/w add .gitignore"));
    create("a");
    ASSERT_TRUE(wait_out("runs", "start n=0\nint\nstart n=1\n")) << out("runs") << out("err");
    ASSERT_TRUE(wait_out("list", "/tmp/w/a\n")) << out("list");
    EXPECT_EQ("/tmp/w/a\n", out("list"));
    EXPECT_EQ("start n=0\nint\nstart n=1\n", out("runs"));
    stop_run();
    EXPECT_EQ("", out("err"));
}

// Stopped during a run, the watch ends the command's whole process group: what a shell
// started does not live on without it, even when it ignores SIGTERM.
TEST_F(VantlesRun, StopEndsWhatTheCommandStarted) {
    start_run({}, "0",
              "sleep 31 & echo $! >/tmp/out/pid; (trap '' TERM; sleep 32) & echo $! >>/tmp/out/pid;"
              " wait");
    ASSERT_TRUE(state_kept());
    create("a");
    auto both_started = [&] {
        std::string pids = out("pid");
        return std::count(pids.begin(), pids.end(), '\n') == 2;
    };
    ASSERT_TRUE(wait_until(both_started, SCRATCH_WAIT_MS)) << out("err");
    std::istringstream pids(out("pid"));
    pid_t sleepers[2] = {};
    pids >> sleepers[0] >> sleepers[1];
    auto gone = [](pid_t pid) {
        std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
        return stat.empty() || stat.find(") Z ") != std::string::npos;
    };
    stop_run();
    for (pid_t pid : sleepers)
        EXPECT_TRUE(wait_until([&] { return gone(pid); }, SCRATCH_WAIT_MS)) << pid;
}

}  // namespace
