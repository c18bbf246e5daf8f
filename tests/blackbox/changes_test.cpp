// `vantles changes` and its library call on a logged scratch /var: rescans, and read-your-writes.
#include "tests/support/scratch_daemon.h"
#include "vantles/changes.h"

#include <algorithm>
#include <cstdlib>

namespace {

// 10,000 with VANTLES_FULL_SCALE=1; under a sanitizer fewer, and the storm pauses after every
// STORM_BURST changes, as the daemon is slowed many times over and the storm is not.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int READ_YOUR_WRITES_SUITE_TRIES = 300;
constexpr unsigned STORM_BURST = 16, STORM_PAUSE_US = 1000;
#else
constexpr int READ_YOUR_WRITES_SUITE_TRIES = 1500;
constexpr unsigned STORM_BURST = 1u << 30, STORM_PAUSE_US = 0;
#endif
const int READ_YOUR_WRITES_TRIES =
    getenv("VANTLES_FULL_SCALE") ? 10000 : READ_YOUR_WRITES_SUITE_TRIES;

class Changes : public ScratchDaemonTest {
protected:
    void prepare() override {
        show_tool();
        ASSERT_TRUE(start({{"/var", "tmpfs", false, "64m"}}));
        ASSERT_EQ(0, live_make_dir(daemon_, "/var/w"));
    }

    // `vantles changes args... /var/w` in the daemon's namespace: its exit status, its output.
    int changes(std::vector<std::string> args, std::string* out) {
        args.insert(args.begin(), {SCRATCH_TOOL, "changes", "--socket", daemon_.socket_path});
        args.push_back("/var/w");
        unique_fd ns(open_namespace(daemon_));
        return run_in_namespace(ns.get(), "/", std::move(args), {}, out);
    }

    // The token of an answer, and its rescan reason ("" for none).
    static std::string token_of(const std::string& out) {
        return out.rfind("token ", 0) == 0 ? out.substr(6, out.find('\n') - 6) : "";
    }
    static std::string rescan_of(const std::string& out) {
        size_t at = out.find("\nrescan ");
        return at == std::string::npos ? "" : out.substr(at + 8, out.find('\n', at + 1) - at - 8);
    }
};

// No token, a foreign one (git's first call passes a timestamp), another history's, one above
// every id handed out, one across a restart that could not see what changed (a dropped notice)
// and one from before a purge: each a rescan, each with a new token that then works.
TEST_F(Changes, EveryAnswerTheHistoryCannotGiveIsARescan) {
    std::string out;
    ASSERT_EQ(0, changes({}, &out)) << out;
    EXPECT_EQ("no token", rescan_of(out)) << out;
    const std::string token = token_of(out);
    const std::string uuids = token.substr(token.find(':', 8));
    ASSERT_EQ(0, live_create_file(daemon_, "/var/w/a"));
    ASSERT_EQ(0, changes({"--since", token, "--files"}, &out));
    EXPECT_EQ("", rescan_of(out)) << out;
    EXPECT_NE(std::string::npos, out.find(" /var/w/a\n")) << out;
    const std::string after_a = token_of(out);
    ASSERT_EQ(0, changes({"--since", after_a, "--files"}, &out));
    EXPECT_EQ(1, std::count(out.begin(), out.end(), '\n')) << "reported twice:\n" << out;

    for (const auto& [since, reason] : std::vector<std::pair<std::string, std::string>>{
             {"1733000000", "not a token of this daemon"},
             {"vantles:1:00000000-0000-0000-0000-000000000000", "the history changed"},
             {"vantles:18446744073709551615" + uuids, "the token is above every event id"}}) {
        ASSERT_EQ(0, changes({"--since", since}, &out));
        EXPECT_EQ(0u, rescan_of(out).find(reason)) << since << ":\n" << out;
    }
    ASSERT_EQ(0, test_daemon_restart(&daemon_, {"-d"}));
    ASSERT_EQ(0, changes({"--since", after_a}, &out));
    EXPECT_EQ(0u, rescan_of(out).find("events were lost")) << out;
    const std::string after_restart = token_of(out);
    ASSERT_EQ(0, live_create_file(daemon_, "/var/w/b"));
    ASSERT_EQ(0, changes({"--since", after_restart, "-0", "--files"}, &out));
    EXPECT_EQ(std::string("/var/w/b") + '\0', out.substr(out.find('\0') + 1)) << "the -0 form";
    vantles_connection conn;
    uint32_t result = 0;
    ASSERT_EQ(0, vantles_connect(daemon_.socket_path.c_str(), &conn));
    ASSERT_EQ(0, vantles_purge_events(&conn, live_device_of(daemon_, "/var"), ~0ull, &result));
    ASSERT_EQ(0, changes({"--since", after_restart, "--json"}, &out));
    EXPECT_NE(std::string::npos, out.find("\"rescan\":\"the history changed")) << out;
}

// A file written and closed, then a call since the last token, while another process makes and
// removes files of 512 names beside it: every answer holds its file, and none is a rescan.
TEST_F(Changes, AFileWrittenRightBeforeTheCallIsInTheAnswer) {
    ASSERT_EQ(0, live_make_dir(daemon_, "/var/storm"));
    pid_t storm = fork_in_namespace(daemon_);
    if (storm == 0) {
        for (unsigned long i = 0;; i++) {
            std::string name = "/var/storm/s" + std::to_string(i % 512);
            close(creat(name.c_str(), 0644));
            if (i % 3 == 0)
                unlink(name.c_str());
            if (i % STORM_BURST == STORM_BURST - 1)
                usleep(STORM_PAUSE_US);
        }
    }
    auto ask = [&] {  // in a child of the daemon's namespace
        vantles_connection conn;
        vantles_changes_options o;
        o.paths = {"/var/w"};
        o.files = true;
        int missed = 0, rescans = 0, err = vantles_connect(daemon_.socket_path.c_str(), &conn);
        for (int i = 0; err == 0 && i < READ_YOUR_WRITES_TRIES; i++) {
            std::string path = "/var/w/f" + std::to_string(i);
            int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (fd < 0 || write(fd, "x", 1) != 1 || close(fd) != 0)
                _exit(3);
            vantles_changes answer;
            err = vantles_get_changes(&conn, o, &answer);
            rescans += !answer.rescan.empty() && i > 0;
            missed += i > 0 && std::none_of(answer.changes.begin(), answer.changes.end(),
                                            [&](const vantles_change& c) { return c.path == path; });
            o.since = answer.token;
        }
        return printf("err %d missed %d rescans %d\n", err, missed, rescans), fflush(stdout);
    };
    child_process asker;
    unique_fd ns(open_namespace(daemon_));
    ASSERT_EQ(0, asker.start(ask, ns.get()));
    EXPECT_TRUE(asker.wait_exit(600000));
    kill(storm, SIGKILL);
    waitpid(storm, nullptr, 0);
    EXPECT_EQ("err 0 missed 0 rescans 0\n", asker.output());
}

}  // namespace
