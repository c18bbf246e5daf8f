// SIGKILL at random moments of a storm of changes on a logged volume, again and again: every
// new daemon comes up and takes registrations, keeps the history (a restart right after a crash
// finds a fresh stamp), replays it soundly to its end, and numbers its events above every id
// the killed daemon handed out.
#include "tests/faults/fault_support.h"

#include "vantles/stream.h"

#include <signal.h>

#include <algorithm>
#include <random>

namespace {

constexpr int KILL_ROUNDS = 20;
// The kill comes once the storm has made a random number of files up to this many since the
// last restart: about two flushes (5000 names each) at most, before the first at least.
constexpr uint64_t KILL_AFTER_MAX_FILES = 8000;
// The storm's pause after every burst of changes, which keeps the history, and so each
// round's replay, short.
constexpr int KILL_STORM_PAUSE_US = 1000;
constexpr const char* KILL_STORM_DIR = "/var/storm";

class KilledMidStorm : public ::testing::Test {
protected:
    void SetUp() override {
        if (!scratch_root_available())
            GTEST_SKIP() << "needs root and mount namespaces";
    }

    void TearDown() override {
        if (HasFailure() && !daemon_.log_path.empty())
            printf("---- daemon log ----\n%s---- end of log ----\n", log_tail(daemon_).c_str());
    }

    test_daemon daemon_;
};

bool storm_or_its_dir(const std::string& path) {
    return path == KILL_STORM_DIR || storm_path(KILL_STORM_DIR, path);
}

bool storm_path_in_dir(const live_event& e) {
    return storm_path(KILL_STORM_DIR, e.path);
}

// Twenty SIGKILLs in a row at random moments while a writer changes files without pause. Each
// round replays what the last daemon's lifetime left; the end replays everything since 0.
TEST_F(KilledMidStorm, EveryRestartReplaysSoundlyAndIdsNeverGoBack) {
    daemon_.volumes = {{"/var", "tmpfs", false, "64m"}};
    daemon_.settle = false;  // no descriptor counts here: a restart is done once it answers
    ASSERT_EQ(0, test_daemon_start(&daemon_, {"-d"})) << test_daemon_log(daemon_);
    ASSERT_EQ(0, live_make_dir(daemon_, KILL_STORM_DIR));
    uint32_t var_dev = live_device_of(daemon_, "/var");
    std::string uuid = volume_uuid_of(daemon_, var_dev);
    ASSERT_EQ(36u, uuid.size()) << uuid;
    storm_writer writer;
    ASSERT_EQ(0, storm_start(&writer, daemon_, KILL_STORM_DIR, KILL_STORM_PAUSE_US));
    ASSERT_EQ(0, storm_pause(&writer));

    unsigned seed = static_cast<unsigned>(std::random_device{}());
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<uint64_t> kill_after(0, KILL_AFTER_MAX_FILES);

    uint64_t since = 0;  // the id asked for before the previous kill
    uint64_t seen = 0;   // the highest id handed out before the previous kill
    for (int round = 0; round < KILL_ROUNDS && !HasFailure(); round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        live_stream watch;
        ASSERT_EQ(0, live_stream_start(&watch, live_options(daemon_, {KILL_STORM_DIR},
                                                            VANTLES_FLAG_FILE_EVENTS)));
        ASSERT_EQ(0, storm_resume(&writer));
        // The storm's first changes for this daemon are numbered above the killed one's.
        live_event first;
        ASSERT_TRUE(live_wait_event(&watch.sink, storm_path_in_dir, FAULT_WAIT_MS, &first));
        EXPECT_GT(first.id, seen) << first.path;
        ASSERT_TRUE(storm_wait_made(writer, storm_made(writer) + kill_after(random), FAULT_WAIT_MS))
            << "the storm stalled";
        if (round == 0) {
            // One kill at least comes after a flush, so that a log file is there to survive the
            // later kills (on a loaded machine the random counts may all come before one).
            ASSERT_TRUE(wait_until(
                [&] { return !log_files(live_root_path(daemon_, "/var/.vantlesd")).empty(); },
                FAULT_WAIT_MS))
                << "no log file was written";
        }
        // The writer holds still from here to the new daemon's first answer, so that the id
        // counter the new daemon starts with can be told from the ids it hands out itself; the
        // daemon is killed with the storm's changes still in its queues and its memory.
        ASSERT_EQ(0, storm_pause(&writer));
        uint64_t asked = 0;
        ASSERT_EQ(0, current_event_id_of(daemon_, &asked));
        ASSERT_EQ(0, test_daemon_restart(&daemon_, {"-d"}, FAULT_WAIT_MS, SIGKILL))
            << "the daemon did not come back";
        // The watch ends once it has taken everything the killed daemon sent it.
        ASSERT_TRUE(wait_until([&] { return vantles_stream_thread_result(watch.stream) != 0; },
                               FAULT_WAIT_MS))
            << "the watch of the killed daemon goes on";
        seen = std::max(asked, highest_id(live_sink_events(&watch.sink)));
        uint64_t now = 0;
        ASSERT_EQ(0, current_event_id_of(daemon_, &now));
        EXPECT_GE(now, seen) << "the id counter went back below ids handed out before the kill";
        EXPECT_EQ(uuid, volume_uuid_of(daemon_, var_dev)) << "the history was thrown away";

        // What the last lifetime left on disk, read back to its end.
        live_stream replay;
        replay_outcome r;
        ASSERT_TRUE(replay_from(daemon_, &replay, {KILL_STORM_DIR}, since, &r));
        // The counter once the replay is done: the id query may be answered before the new
        // daemon numbered the dropped record its start files in the history.
        ASSERT_EQ(0, current_event_id_of(daemon_, &now));
        EXPECT_TRUE(replay_is_sound(r, since, now + 1, storm_or_its_dir));
        since = asked;
    }
    storm_stop(&writer);
    EXPECT_TRUE(test_daemon_running(&daemon_));
    EXPECT_FALSE(log_files(live_root_path(daemon_, "/var/.vantlesd")).empty())
        << "no log file was ever written: the kills tested nothing on disk";

    // The whole history, across every kill.
    live_stream all;
    replay_outcome r;
    ASSERT_TRUE(replay_from(daemon_, &all, {KILL_STORM_DIR}, 0, &r));
    uint64_t after = 0;
    ASSERT_EQ(0, current_event_id_of(daemon_, &after));
    EXPECT_TRUE(replay_is_sound(r, 0, after + 1, storm_or_its_dir));
}

}  // namespace
