// SIGKILL at random moments of a storm of changes on a logged volume, again and again: every
// new daemon comes up, keeps the history, replays it soundly to its end, and numbers its events
// above every id the killed daemon handed out.
#include "tests/faults/fault_support.h"

#include "vantles/stream.h"

#include <random>

namespace {

constexpr const char* STORM_DIR = "/var/storm";

bool storm_or_its_dir(const std::string& path) {
    return path == STORM_DIR || storm_writer::path_of(STORM_DIR, path);
}

using KilledMidStorm = FaultTest;

// Each round kills the daemon once the storm has made a random number of files (up to about
// two flushes of 5000 names). The storm stops first, so that the new daemon's counter can be
// told from the ids it hands out; each round replays what the last lifetime left.
TEST_F(KilledMidStorm, EveryRestartReplaysSoundlyAndIdsNeverGoBack) {
    ASSERT_TRUE(start({{"/var", "tmpfs", false, "64m"}}));
    ASSERT_EQ(0, live_make_dir(daemon_, STORM_DIR));
    const uint32_t var_dev = live_device_of(daemon_, "/var");
    const std::string var_uuid = uuid(var_dev);
    ASSERT_EQ(36u, var_uuid.size()) << var_uuid;
    unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<uint64_t> kill_after(0, 8000);
    auto on_disk = [&] { return !log_files(host("/var/.vantlesd")).empty(); };
    storm_writer writer;

    uint64_t since = 0;  // the id asked for before the previous kill
    uint64_t seen = 0;   // the highest id handed out before the previous kill
    for (int round = 0; round < 20 && !HasFailure(); round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        live_stream watch;
        ASSERT_EQ(0, live_stream_start(
                         &watch, live_options(daemon_, {STORM_DIR}, VANTLES_FLAG_FILE_EVENTS)));
        ASSERT_EQ(0, writer.start(daemon_, STORM_DIR, 1000));
        live_event first;
        ASSERT_TRUE(live_wait_event(
            &watch.sink,
            [](const live_event& e) { return storm_writer::path_of(STORM_DIR, e.path); },
            FAULT_WAIT_MS, &first));
        EXPECT_GT(first.id, seen) << first.path;
        const uint64_t target = kill_after(random);
        ASSERT_TRUE(wait_until([&] { return *writer.made >= target; }, FAULT_WAIT_MS));
        // One kill at least comes after a flush, so that a log file survives the later kills.
        ASSERT_TRUE(round > 0 || wait_until(on_disk, FAULT_WAIT_MS)) << "no log file was written";
        writer.stop();
        const uint64_t asked = current_id();
        ASSERT_EQ(0, test_daemon_restart(&daemon_, {"-d"}, FAULT_WAIT_MS, SIGKILL));
        // The watch ends once it has taken everything the killed daemon sent it.
        ASSERT_TRUE(wait_until([&] { return vantles_stream_thread_result(watch.stream) != 0; },
                               FAULT_WAIT_MS));
        for (const live_event& e : live_sink_events(&watch.sink))
            seen = std::max({seen, asked, e.id});
        EXPECT_GE(current_id(), seen) << "the id counter went back below ids handed out";
        EXPECT_EQ(var_uuid, uuid(var_dev)) << "the history was thrown away";
        EXPECT_TRUE(replays_soundly({STORM_DIR}, since, storm_or_its_dir));
        since = asked;
    }
    EXPECT_TRUE(on_disk());
    EXPECT_TRUE(replays_soundly({STORM_DIR}, 0, storm_or_its_dir));  // across every kill
}

}  // namespace
