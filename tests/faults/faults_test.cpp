// The real daemon (fanotify source) on volumes of a scratch root, and the faults around it: kills
// mid-storm, full and unmounted volumes, damaged log files.
#include "tests/support/scratch_daemon.h"
#include "vantles/stream.h"

#include <grp.h>
#include <sys/mount.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <thread>

namespace {

constexpr uint32_t FILES = VANTLES_FLAG_FILE_EVENTS;

class Faults : public ScratchDaemonTest {
protected:
    // Replays paths since the id to its history-done notice and checks what a replay promises:
    // ids above since and not above the daemon's counter after it, none twice, a path again
    // only with a newer id, the notice carrying the highest id replayed (since when none), and
    // every path but a dropped notice's (which names the volume) passing path_ok.
    ::testing::AssertionResult replays_soundly(
        const std::vector<std::string>& paths, uint64_t since,
        const std::function<bool(const std::string&)>& path_ok) {
        live_stream s;
        if (int err = live_replay(daemon_, &s, paths, since))
            return ::testing::AssertionFailure() << "replay since " << since << ": " << err;
        const uint64_t below = current_id() + 1;
        uint64_t highest = since;
        std::map<std::string, uint64_t> last_of_path;
        std::set<uint64_t> ids;
        for (const live_event& e : live_sink_events(&s.sink)) {
            auto fail = [&] {
                return ::testing::AssertionFailure() << "id " << e.id << ", " << e.path << ": ";
            };
            if (live_history_done(e))
                return e.id == highest ? ::testing::AssertionSuccess()
                                       : fail() << "the highest replayed id is " << highest;
            if (e.id <= since || e.id >= below)
                return fail() << "outside (" << since << ", " << below << ")";
            if (!ids.insert(e.id).second)
                return fail() << "the id was replayed before";
            auto [it, first] = last_of_path.emplace(e.path, e.id);
            if (!first && it->second >= e.id)
                return fail() << "the path came before with id " << it->second;
            it->second = e.id;
            if (!live_dropped(e) && !path_ok(e.path))
                return fail() << "a path nobody changed";
            highest = std::max(highest, e.id);
        }
        return ::testing::AssertionFailure() << "unreachable";
    }

    bool delivers(live_stream* s) {  // an event after the current id: delivery goes on
        uint64_t id = current_id();
        return live_wait_event(
            &s->sink, [id](const live_event& e) { return e.id > id; }, SCRATCH_WAIT_MS);
    }

    // The descriptors and thread working directories of the daemon on device dev.
    std::string held_on(dev_t dev) {
        std::string out, proc = "/proc/" + std::to_string(daemon_.pid);
        std::vector<std::filesystem::path> links;
        std::error_code ec;
        for (const std::string sub : {"/fd", "/task"})
            for (const auto& e : std::filesystem::directory_iterator(proc + sub, ec))
                links.push_back(sub == "/fd" ? e.path() : e.path() / "cwd");
        struct stat st;
        for (const auto& link : links)
            if (stat(link.c_str(), &st) == 0 && st.st_dev == dev)
                out += link.string() + " -> " + std::filesystem::read_symlink(link, ec).string() +
                       "\n";
        return out;
    }
};

// SIGKILL at random moments of a storm on a logged volume (up to about two flushes of 5000
// names), again and again: every new daemon keeps the history, replays what the last lifetime
// left soundly, and numbers its events above every id the killed one handed out. The storm
// stops before each kill, so that the new counter can be told from the ids it hands out.
TEST_F(Faults, KilledMidStormEveryRestartReplaysSoundlyAndIdsNeverGoBack) {
    ASSERT_TRUE(start({{"/var", "tmpfs", false, "64m"}}));
    const std::string storm = "/var/storm";
    ASSERT_EQ(0, live_make_dir(daemon_, storm));
    const uint32_t var_dev = live_device_of(daemon_, "/var");
    const std::string var_uuid = uuid(var_dev);
    ASSERT_EQ(36u, var_uuid.size()) << var_uuid;
    unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    auto on_disk = [&] { return !log_files(host("/var/.vantlesd")).empty(); };
    auto in_storm = [&](const std::string& p) {  // the storm's directory, or an "n<i>" or "r<i>" in it
        if (p == storm)
            return true;
        std::string name = p.starts_with(storm + "/") ? p.substr(storm.size() + 1) : "";
        return name.size() > 1 && (name[0] == 'n' || name[0] == 'r') &&
               name.find_first_not_of("0123456789", 1) == std::string::npos;
    };
    file_storm writer;
    uint64_t since = 0, seen = 0;  // the id asked for, the highest handed out, before a kill
    for (int round = 0; round < 20 && !HasFailure(); round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        live_stream watch;
        ASSERT_EQ(0, live_stream_start(&watch, live_options(daemon_, {storm}, FILES)));
        ASSERT_EQ(0, writer.start(daemon_, storm, 1000));
        live_event first;
        ASSERT_TRUE(live_wait_event(
            &watch.sink, [&](const live_event& e) { return e.path.starts_with(storm + "/"); },
            SCRATCH_WAIT_MS, &first));
        EXPECT_GT(first.id, seen) << first.path;
        const uint64_t target = std::uniform_int_distribution<uint64_t>(0, 8000)(random);
        ASSERT_TRUE(writer.wait_made(target));
        // One kill at least comes after a flush, so that a log file survives the later kills.
        ASSERT_TRUE(round > 0 || wait_until(on_disk, SCRATCH_WAIT_MS)) << "no log file was written";
        writer.stop();
        const uint64_t asked = current_id();
        ASSERT_EQ(0, test_daemon_restart(&daemon_, {"-d"}, SCRATCH_WAIT_MS, SIGKILL));
        // The watch ends once it has taken everything the killed daemon sent it.
        ASSERT_TRUE(wait_until([&] { return vantles_stream_thread_result(watch.stream) != 0; },
                               SCRATCH_WAIT_MS));
        for (const live_event& e : live_sink_events(&watch.sink))
            seen = std::max({seen, asked, e.id});
        EXPECT_GE(current_id(), seen) << "the id counter went back below ids handed out";
        EXPECT_EQ(var_uuid, uuid(var_dev)) << "the history was thrown away";
        EXPECT_TRUE(replays_soundly({storm}, since, in_storm));
        since = asked;
    }
    EXPECT_TRUE(on_disk());
    EXPECT_TRUE(replays_soundly({storm}, 0, in_storm));  // across every kill
}

// A crash loop: each daemon killed 2 s after it started, before anything changed. Every
// start stamps the histories, so each successor finds a fresh stamp and keeps them, however
// long the loop goes on (the stamp the first daemon left is soon too old to trust).
TEST_F(Faults, ACrashLoopKeepsTheHistory) {
    ASSERT_TRUE(start({{"/var", "tmpfs", false, "64m"}}));
    const uint32_t var_dev = live_device_of(daemon_, "/var");
    const std::string var_uuid = uuid(var_dev);
    for (int i = 0; i < 3; i++) {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        ASSERT_EQ(0, test_daemon_restart(&daemon_, {"-d"}, SCRATCH_WAIT_MS, SIGKILL));
        EXPECT_EQ(var_uuid, uuid(var_dev)) << "the history was thrown away at restart " << i;
    }
}

// /var fills up (its root's reserve too: a tmpfs has none) under a storm of new names: the
// history keeps what it had and its uuid, the names it could not write are a gap that every
// replay from before it reports with a dropped notice (from memory, then from disk once there
// is room again), the log names the real error, and no empty log file is left behind.
TEST_F(Faults, AFullVolumeLeavesAGapThatReplaysReport) {
    ASSERT_TRUE(start({{"/var", "tmpfs", false, "2m"}}));
    const uint32_t var_dev = live_device_of(daemon_, "/var");
    const std::string var_uuid = uuid(var_dev);
    auto names = [&](const std::string& dir, int n) {
        ASSERT_EQ(0, live_make_dir(daemon_, dir));
        for (int i = 0; i < n; i++)  // empty files: no room needed on a full tmpfs
            ASSERT_EQ(0, close(creat(host(dir + "/f" + std::to_string(i)).c_str(), 0644)));
        ASSERT_EQ(0, live_sync(daemon_, dir));
    };
    ASSERT_NO_FATAL_FAILURE(names("/var/kept", 5100));  // a log file
    const uint64_t before = current_id();
    {
        unique_fd fill(open(host("/var/fill").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        static const char zeros[4096] = {};
        for (size_t chunk = sizeof zeros; chunk > 0; chunk /= 2)
            while (write(fill.get(), zeros, chunk) > 0) {
            }
    }
    ASSERT_NO_FATAL_FAILURE(names("/var/lost", 10100));  // two flushes that cannot be written
    ASSERT_TRUE(test_daemon_wait_log(daemon_, "(err: No space left on device)", SCRATCH_WAIT_MS));
    const std::string log = test_daemon_log(daemon_);  // logged once, not at every failure
    EXPECT_EQ(log.find("failed to write"), log.rfind("failed to write")) << log;
    const uint64_t full = current_id();
    auto gap_reported = [&](const std::string& when) {
        live_stream s;
        ASSERT_EQ(0, live_replay(daemon_, &s, {"/var/kept"}, before));
        EXPECT_TRUE(std::ranges::any_of(live_sink_events(&s.sink), [&](const live_event& e) {
            return (e.flags & VANTLES_EVENT_USER_DROPPED) && e.id > before && e.id <= full;
        })) << when << ":\n" << live_describe(live_sink_events(&s.sink));
    };
    ASSERT_NO_FATAL_FAILURE(gap_reported("while full"));

    ASSERT_EQ(0, unlink(host("/var/fill").c_str()));
    ASSERT_EQ(0, live_create_file(daemon_, "/var/kept/after"));
    ASSERT_EQ(0, test_daemon_restart(&daemon_, {"-d"}));
    EXPECT_EQ(var_uuid, uuid(var_dev)) << "the history was thrown away";
    ASSERT_NO_FATAL_FAILURE(gap_reported("from disk"));
    EXPECT_TRUE(replays_soundly({"/var/kept"}, 0, [](const std::string& p) {
        return p == "/var/kept" || p.starts_with("/var/kept/");
    }));
    for (const std::string& name : log_files(host("/var/.vantlesd")))
        EXPECT_LT(0, std::filesystem::file_size(host("/var/.vantlesd/" + name))) << name;
}

// Log files damaged while no daemon ran (bits flipped in one, another cut to half, a third
// emptied): a replay across them still ends, delivers what the other files hold, and gets a
// dropped notice in the place of each damaged file; each is logged once, however many replays.
TEST_F(Faults, DamagedLogFilesBecomeDroppedNotices) {
    ASSERT_TRUE(start({{"/var", "tmpfs", false, "64m"}}));
    ASSERT_EQ(0, live_make_dir(daemon_, "/var/d"));
    for (int i = 0; log_files(host("/var/.vantlesd")).size() < 4; i++)
        ASSERT_EQ(0, close(creat(host("/var/d/f" + std::to_string(i)).c_str(), 0644)));
    ASSERT_EQ(0, live_create_file(daemon_, "/var/d/last"));
    const uint64_t stopped = current_id();
    ASSERT_EQ(0, test_daemon_restart(&daemon_, {"-d"}));
    const std::string logs = host("/var/.vantlesd/");  // through the new daemon's root
    const std::vector<std::string> files = log_files(logs);
    ASSERT_LE(5u, files.size());
    std::mt19937 random(7);
    std::string flipped = read_text(logs + files[0]);
    for (int i = 0; i < 50; i++)
        flipped[flipped.size() / 4 + random() % (flipped.size() / 2)] ^= char(1 << random() % 8);
    std::filesystem::resize_file(logs + files[1], std::filesystem::file_size(logs + files[1]) / 2);
    std::filesystem::resize_file(logs + files[2], 0);
    FILE* out = fopen((logs + files[0]).c_str(), "w");
    ASSERT_TRUE(out && fwrite(flipped.data(), 1, flipped.size(), out) == flipped.size() &&
                fclose(out) == 0);
    for (int replay = 0; replay < 2; replay++) {
        live_stream s;
        ASSERT_EQ(0, live_replay(daemon_, &s, {"/var/d"}, 0));
        std::set<uint64_t> notices, expected;
        for (size_t f = 0; f < 3; f++)
            expected.insert(std::stoull(files[f], nullptr, 16) - 1);
        bool last = false;
        for (const live_event& e : live_sink_events(&s.sink)) {
            if ((e.flags & VANTLES_EVENT_USER_DROPPED) && e.id <= stopped)
                notices.insert(e.id);  // not the restart's own (above stopped)
            last |= e.path == "/var/d/last";
        }
        EXPECT_EQ(expected, notices);
        EXPECT_TRUE(last) << "the undamaged file was not replayed";
    }
    const std::string log = test_daemon_log(daemon_);
    size_t reports = 0;
    for (size_t at = 0; (at = log.find("lost log file", at)) != std::string::npos; at++)
        reports++;
    EXPECT_EQ(3u, reports) << log;
}

// /var unmounted (lazily or plainly, the parameter) under clients registered there: absolute,
// relative to the volume, replaying, and another user's relative one (the vantles tool). The
// daemon lets the volume go at once, serves the other volumes on, stops cleanly, and writes
// nothing of the lost history into the directory the mount point shows now.
class Unmount : public Faults, public ::testing::WithParamInterface<int> {};

TEST_P(Unmount, UnderClientsLetsTheVolumeGo) {
    ASSERT_TRUE(start({{"/var", "tmpfs", false, "64m"}, {"/mnt/other", "tmpfs", false, "16m"}}));
    struct stat var_st;
    ASSERT_EQ(0, stat(host("/var").c_str(), &var_st));
    const uint32_t var_dev = live_device_of(daemon_, "/var");
    ASSERT_EQ(0, live_make_dir(daemon_, "/var/w"));
    ASSERT_EQ(0, live_make_dir(daemon_, "/mnt/other/storm"));
    for (int i = 0; i < 5200; i++)  // a log file
        ASSERT_EQ(0, close(creat(host("/var/w/f" + std::to_string(i)).c_str(), 0644)));
    ASSERT_EQ(0, live_sync(daemon_, "/var/w"));
    int resting_fds = proc_fd_count(daemon_.pid);  // the fewest over half a second
    for (int i = 0; i < 50; i++, usleep(10000))
        resting_fds = std::min(resting_fds, proc_fd_count(daemon_.pid));
    {
        live_stream on_var, relative, replayed, other, late;
        vantles_stream_options by_device = live_options(daemon_, {"w"}, FILES);
        by_device.device = var_dev;
        ASSERT_EQ(0, live_stream_start(&on_var, live_options(daemon_, {"/var/w"}, FILES)));
        ASSERT_EQ(0, live_stream_start(&relative, by_device));
        ASSERT_EQ(0, live_replay(daemon_, &replayed, {"/var/w"}, 0));
        ASSERT_EQ(0, live_stream_start(&other, live_options(daemon_, {"/mnt/other/storm"}, FILES)));
        // The vantles tool as user 65534, watching "w" relative to the volume.
        std::string dev =
            std::to_string(major(var_st.st_dev)) + ":" + std::to_string(minor(var_st.st_dev));
        const char* argv[] = {
            VANTLES_TOOL_PATH,           "watch", "--files", "--device", dev.c_str(), "--socket",
            daemon_.socket_path.c_str(), "w",     nullptr};
        child_process foreign;
        ASSERT_EQ(0, foreign.start([&] {
            return setgroups(0, nullptr) || setgid(65534) || setuid(65534)
                       ? 126
                       : (execv(argv[0], const_cast<char**>(argv)), 127);
        }));
        auto prints = [&](const std::string& line) {
            return foreign.output().find(line) != std::string::npos;
        };
        EXPECT_TRUE(live_state_becomes(&daemon_, LIVE_INTERNAL_CLIENTS + 5, -1, SCRATCH_WAIT_MS));
        // Each client gets what it may read; the other user not a file closed to it.
        ASSERT_EQ(0, close(creat(host("/var/w/secret").c_str(), 0600)));
        ASSERT_EQ(0, live_create_file(daemon_, "/var/w/seen"));
        EXPECT_TRUE(live_wait_event(&on_var.sink, live_path_is("/var/w/seen"), SCRATCH_WAIT_MS));
        EXPECT_TRUE(live_wait_event(&relative.sink, live_path_is("w/seen"), SCRATCH_WAIT_MS));
        EXPECT_TRUE(wait_until([&] { return prints(" w/seen\n"); }, SCRATCH_WAIT_MS))
            << foreign.output();
        EXPECT_FALSE(prints("w/secret")) << foreign.output();

        file_storm writer;
        ASSERT_EQ(0, writer.start(daemon_, "/mnt/other/storm", 2000));
        // Retried while a file there is open: under load the replaying client's read of a log
        // file may take a few seconds.
        int err = run_child(daemon_, [&] {
            for (int i = 0;; i++, usleep(10000))
                if (int err = umount2("/var", GetParam()) ? errno : 0; err != EBUSY || i == 1000)
                    return err;
        });
        EXPECT_EQ(0, err) << strerror(err) << "; the daemon holds:\n" << held_on(var_st.st_dev);
        // Promptly: not only once an idle client's delivery thread has ended (15 s).
        EXPECT_TRUE(wait_until([&] { return held_on(var_st.st_dev).empty(); }, 5000))
            << "the daemon still holds:\n"
            << held_on(var_st.st_dev);
        EXPECT_TRUE(delivers(&other));
        ASSERT_EQ(0, live_stream_start(&late, live_options(daemon_, {"/mnt/other/storm"}, FILES)));
        EXPECT_TRUE(delivers(&late));
        EXPECT_TRUE(replays_soundly({"/"}, 0, [](const std::string&) { return true; }));
        foreign.stop(SIGTERM);
    }
    EXPECT_TRUE(live_state_becomes(&daemon_, LIVE_INTERNAL_CLIENTS, -1, SCRATCH_WAIT_MS));
    EXPECT_TRUE(fd_count_returns(daemon_.pid, resting_fds, SCRATCH_WAIT_MS));

    // A directory of the log directory's name under the mount point stays empty, even through
    // the last flush of a clean stop.
    ASSERT_EQ(0, mkdir(host("/var/.vantlesd").c_str(), 0700));
    unique_fd under(open(host("/var/.vantlesd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    kill(daemon_.pid, SIGTERM);
    ASSERT_TRUE(test_daemon_wait_exit(&daemon_, SCRATCH_WAIT_MS)) << "no clean stop";
    EXPECT_EQ(0, daemon_.status);
    EXPECT_TRUE(std::filesystem::is_empty("/proc/self/fd/" + std::to_string(under.get())))
        << "written under the mount point";
}

// A logged volume whose log directory is another volume's mount point keeps no history there
// (it would land on the other volume): the daemon starts all the same, serves, stops cleanly.
TEST_F(Faults, LogDirectoryOnAnotherVolumeLeavesTheDaemonServing) {
    ASSERT_TRUE(start({{"/var"}, {"/var/.vantlesd"}}));
    live_stream s;
    ASSERT_EQ(0, live_stream_start(&s, live_options(daemon_, {"/var/w"}, FILES)));
    ASSERT_EQ(0, live_make_dir(daemon_, "/var/w"));
    ASSERT_EQ(0, live_create_file(daemon_, "/var/w/served"));
    EXPECT_TRUE(live_wait_event(&s.sink, live_path_is("/var/w/served"), SCRATCH_WAIT_MS));
    EXPECT_TRUE(std::filesystem::is_empty(host("/var/.vantlesd"))) << "written on the other volume";
    kill(daemon_.pid, SIGTERM);
    ASSERT_TRUE(test_daemon_wait_exit(&daemon_, SCRATCH_WAIT_MS)) << "no clean stop";
    EXPECT_EQ(0, daemon_.status);
}

INSTANTIATE_TEST_SUITE_P(, Unmount, ::testing::Values(MNT_DETACH, 0),
                         [](const auto& p) { return p.param ? "Lazy" : "Plain"; });

}  // namespace
