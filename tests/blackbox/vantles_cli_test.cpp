// The built `vantles` program: command lines that fail with no daemon, then one test daemon.
#include "tests/support/scratch_daemon.h"

#include <sys/sysmacros.h>

#include <thread>

namespace {

// Starts `vantles args...` in this process's environment.
void spawn(child_process* p, std::vector<std::string> args) {
    args.insert(args.begin(), VANTLES_TOOL_PATH);
    std::vector<char*> argv = c_strings(args);
    ASSERT_EQ(0, p->start([&] { return execv(argv[0], argv.data()), 127; }));
}

void run(child_process* p, const std::vector<std::string>& args) {
    spawn(p, args);
    ASSERT_TRUE(p->wait_exit(SCRATCH_WAIT_MS)) << "vantles " << args[0] << " did not exit";
}

bool wait_output(const child_process& p, const std::string& text) {
    return wait_until([&] { return p.output().find(text) != std::string::npos; }, SCRATCH_WAIT_MS);
}

::testing::AssertionResult exited_with(const child_process& p, int code) {
    if (WIFEXITED(p.status) && WEXITSTATUS(p.status) == code)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "wait status 0x" << std::hex << p.status << std::dec
                                         << ", want exit " << code << "; stderr: " << p.errors();
}

// Command lines refused before or when connecting: exit status and the start of the error
// ("@" stands for the socket, "#" for an existing directory).
TEST(VantlesCli, ErrorsExitWithStatusAndMessage) {
    char dir_template[] = "/tmp/vantles-cli.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir_template));
    const std::string dir = dir_template, socket = dir + "/no-daemon.sock";
    const std::string unreachable = "vantles: cannot reach the daemon at " + socket;
    setenv("VANTLESD_SOCKET", socket.c_str(), 1);
    const std::string usage = "vantles: ";
    struct {
        std::vector<std::string> args;
        int status;
        std::string error;  // the start of standard error
        std::string output = "";
    } cases[] = {
        // clang-format off
        {{"watch", "--socket", "@", "#/missing"}, 1, "vantles: #/missing: No such file or directory\n"},
        {{"watch", "--socket", "@", "#"}, 1, unreachable},
        {{"id"}, 1, unreachable},
        {{"status", "--socket", "@"}, 1, unreachable},
        {{"history", "--socket", "@", "#"}, 1, unreachable},
        {{"run", "--socket", "@", "--state", "#/state", "#", "--", "true"}, 1, unreachable},
        {{"run", "#", "--"}, 2, usage}, {{"run", "--settle", "soon", "#", "--", "true"}, 2, usage},
        {{"publish", "--replicas", "0", "#"}, 2, usage}, {{"publish", "--files"}, 2, usage},
        {{"publish", "--max-age", "0", "#"}, 2, usage}, {{"publish", "--max-msgs", "-1", "#"}, 2, usage},
        {{"id", "--before", "0", "--volume", "#/missing"}, 1, "vantles: id: #/missing: No such file or directory\n"},
        {{"id", "--before", "noon"}, 2, usage}, {{"id", "--volume", "#"}, 2, usage}, {{"id", "extra"}, 2, usage},
        {{"watch", "--bogus", "#"}, 2, usage}, {{"watch", "--latency", "fast", "#"}, 2, usage},
        {{"watch", "--count", "0", "#"}, 2, usage}, {{"watch", "--files"}, 2, usage},
        {{"watch", "--since", "18446744073709551615", "#"}, 2, usage},
        {{"history", "--since", "now", "#"}, 2, usage}, {{"history", "--count", "1", "#"}, 2, usage},
        {{"history", "--json"}, 2, usage}, {{"frobnicate"}, 2, usage},
        {{"status", "extra"}, 2, usage}, {{"status", "--json=yes"}, 2, usage},
        {{"help", "history"}, 0, "", "vantles " VANTLES_VERSION "\nvantles history [OPTIONS] PATH...\n"},
        {{"run", "#", "--help", "--", "true"}, 0, "", "vantles " VANTLES_VERSION "\nvantles run [OPTIONS]"},
        {{"--version"}, 0, "", "vantles " VANTLES_VERSION "\n"},
        // clang-format on
    };
    for (auto& c : cases) {
        for (std::string* s : {&c.error, &c.output})
            for (size_t at; (at = s->find('#')) != std::string::npos;)
                s->replace(at, 1, dir);
        for (std::string& a : c.args)
            a = a == "@" ? socket : a[0] == '#' ? dir + a.substr(1) : a;
        SCOPED_TRACE(testing::PrintToString(c.args));
        child_process p;
        run(&p, c.args);
        EXPECT_TRUE(exited_with(p, c.status));
        EXPECT_EQ(0u, p.errors().find(c.error)) << p.errors();
        EXPECT_TRUE(c.status == 1 ? p.output().empty() : p.output().find(c.output) == 0)
            << p.output();
    }
    rmdir(dir.c_str());
    unsetenv("VANTLESD_SOCKET");
}

// The tool checks watched paths in its own view, the daemon watches its scratch root: a directory
// made at the same path in both is watched, and changed through the daemon's view.
class VantlesCliTest : public ScratchDaemonTest {
protected:
    void prepare() override {
        ASSERT_TRUE(start({}, {}, true));
        char dir_template[] = "/tmp/vantles-cli.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir_template));
        watched_ = dir_template;
        ASSERT_EQ(0, live_make_dir(daemon_, watched_));
    }
    void TearDown() override {
        unsetenv("VANTLESD_SOCKET");  // a case that set it must not send later ones here
        if (!watched_.empty())
            rmdir(watched_.c_str());
        ScratchDaemonTest::TearDown();
    }
    void create(const std::string& name) {
        ASSERT_EQ(0, live_create_file(daemon_, watched_ + "/" + name));
    }
    ::testing::AssertionResult clients(int n) {
        return live_state_becomes(&daemon_, n + LIVE_INTERNAL_CLIENTS, -1, SCRATCH_WAIT_MS);
    }
    unsigned long long tool_id() {  // `vantles id`
        child_process id;
        run(&id, {"id", "--socket", daemon_.socket_path});
        EXPECT_TRUE(exited_with(id, 0));
        return strtoull(id.output().c_str(), nullptr, 10);
    }

    std::string watched_;
};

// watch prints "ID FLAGS PATH" lines until signalled; uuid names the root volume's history;
// history replays more than one batch and ends at its history-done line while changes go on; a
// refused registration ends a watch with status 1, a daemon's restart does not.
TEST_F(VantlesCliTest, EveryCommandAgainstOneDaemon) {
    const std::string& sock = daemon_.socket_path;
    child_process plain, uuid, all, future, too_many, watch;
    setenv("VANTLESD_SOCKET", sock.c_str(), 1);  // as commands without --socket use it
    spawn(&plain, {"watch", "--files", "--latency=.05", watched_});
    ASSERT_TRUE(clients(1));
    create("plain");
    ASSERT_TRUE(wait_output(plain, watched_ + "/plain\n")) << plain.output();
    std::string line = plain.output();
    EXPECT_GT(strtoull(line.c_str(), nullptr, 10), 0u) << line;
    EXPECT_TRUE(line.find(" created") < line.find("file ")) << line;
    plain.stop(SIGINT, 10000);
    EXPECT_TRUE(exited_with(plain, 0)) << "a signal did not end the watch";
    EXPECT_EQ("", plain.errors());
    EXPECT_TRUE(clients(0)) << "the stream was not unregistered";

    struct stat st;  // the daemon's root volume, by device number: its history's uuid
    ASSERT_EQ(0, stat(live_root_path(daemon_, "/").c_str(), &st));
    run(&uuid, {"uuid", std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev))});
    EXPECT_TRUE(exited_with(uuid, 0));
    EXPECT_EQ(read_text(live_root_path(daemon_, "/.vantlesd/vantlesd-uuid")) + "\n", uuid.output());

    constexpr int FILES = 40;
    unsigned long long first = tool_id();
    for (int i = 0; i < FILES; i++)
        create("kept" + std::to_string(i));
    // Only a change the daemon has read in (and given an id) is in its history.
    ASSERT_TRUE(
        wait_until([&] { return tool_id() >= first + FILES || HasFailure(); }, SCRATCH_WAIT_MS));
    std::atomic<bool> stop{false};
    std::thread changes([&] {
        for (int i = 0; !stop.load(); i++, usleep(2000))
            live_create_file(daemon_, watched_ + "/after" + std::to_string(i));
    });
    run(&all, {"history", "--files", "--since", "0", "--socket", sock, watched_});
    stop.store(true);
    changes.join();
    ASSERT_TRUE(exited_with(all, 0));
    const size_t done = all.output().rfind(" history-done");  // on the last line
    ASSERT_TRUE(done != std::string::npos &&
                all.output().find('\n', done) == all.output().size() - 1)
        << all.output();
    for (int i = 0; i < FILES; i++)
        EXPECT_NE(std::string::npos,
                  all.output().find(" " + watched_ + "/kept" + std::to_string(i) + "\n"))
            << "kept" << i << " not replayed:\n"
            << all.output();

    // An id never given out is refused: kept as the highest seen, it would hide later changes.
    run(&future, {"history", "--since", std::to_string(tool_id() + 1000), watched_});
    EXPECT_TRUE(exited_with(future, 2));
    EXPECT_NE(std::string::npos, future.errors().find("above the daemon's current event id"))
        << future.errors();

    std::vector<std::string> args = {"watch", "--socket", sock};
    args.insert(args.end(), 4097, watched_);
    run(&too_many, args);
    EXPECT_TRUE(exited_with(too_many, 1));
    EXPECT_EQ(
        "vantles: the daemon refused the registration: the daemon refused the paths or "
        "exclusions (code -22)\n",
        too_many.errors());
    spawn(&watch, {"watch", "--files", "--socket", sock, watched_});
    ASSERT_TRUE(clients(1));
    ASSERT_EQ(0, test_daemon_restart(&daemon_, {"-d"})) << test_daemon_log(daemon_);
    ASSERT_TRUE(clients(1)) << "the watch did not come back";
    create("back");
    ASSERT_TRUE(wait_output(watch, watched_ + "/back\n")) << watch.output();
    // A plain restart cannot know what changed while no daemon ran: a dropped notice says so.
    EXPECT_NE(std::string::npos, watch.output().find(" user-dropped")) << watch.output();
    watch.stop(SIGTERM);
    EXPECT_TRUE(exited_with(watch, 0));
    EXPECT_NE(std::string::npos, watch.errors().find("waiting for it to come back"))
        << watch.errors();
}

}  // namespace
