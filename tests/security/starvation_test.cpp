// Starving other users: an unprivileged process that takes every client slot, and one whose
// replaying clients never read. The daemon keeps answering everyone's queries, another user's
// replay still runs to its end, and the slots come back when the hog is gone.
#include "attacker.h"

#include "vantles/client.h"
#include "vantles/stream.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int STARVE_MAX_CLIENTS = 512;  // the client table, the disk logger's slot included
// Distinct names that make the disk logger write a log file.
constexpr int STARVE_FLUSH_NAMES = 5000;
// More replaying clients than the daemon reads log files for at once.
constexpr int STARVE_REPLAY_HOGS = 12;
// A replay of a few thousand names takes well under a second; a replay that waits for a
// reader slot held by a client that never reads waits for that client's sends to time out,
// 10 seconds per batch, for minutes.
constexpr int STARVE_REPLAY_BOUND_MS = 20000;

class Starvation : public SecurityTest {
protected:
    // Root's queries on a fresh connection: the current event id and the root volume's uuid.
    void answers_queries(const char* who) {
        SCOPED_TRACE(who);
        vantles_connection conn;
        ASSERT_EQ(0, vantles_connect(daemon_.socket_path.c_str(), &conn));
        uint64_t id = 0;
        EXPECT_EQ(0, vantles_get_current_event_id(&conn, &id));
        EXPECT_GT(id, 0u);
        char uuid[VANTLES_UUID_TEXT_LENGTH + 1] = {};
        EXPECT_EQ(0, vantles_get_volume_uuid(&conn, live_device_of(daemon_, "/"), uuid));
        EXPECT_EQ(VANTLES_UUID_TEXT_LENGTH, strlen(uuid)) << uuid;
        EXPECT_NE(0, strncmp(uuid, "NO-UUID", 7)) << uuid;
    }
};

// Body: registers streams on dir until the daemon refuses one, reports "N count code", then
// holds them until killed.
int hog_client_table(attacker_out out, const char* socket_path, const char* dir) {
    vantles_connection conn;
    if (int err = vantles_connect(socket_path, &conn)) {
        attacker_say(out, "X connect: " + std::to_string(err));
        return 1;
    }
    const char* paths[] = {dir};
    vantles_register_args args;
    args.paths = paths;
    args.create_flags = VANTLES_FLAG_FILE_EVENTS;
    std::vector<vantles_registration> regs(STARVE_MAX_CLIENTS + 8);
    size_t count = 0;
    int code = 0;
    while (count < regs.size() && (code = vantles_register(&conn, args, &regs[count])) == 0)
        count++;
    attacker_say(out, "N " + std::to_string(count) + " " + std::to_string(code));
    pause();
    return 0;
}

// One unprivileged process registers clients until refused: it gets its user's share and no
// more. Root and another process keep registering and being answered; once the hog is killed
// its slots come back.
TEST_F(Starvation, ClientTableHogGetsItsShareOnly) {
    start_daemon();
    make_dir("/tmp/w", 0755);
    const char* socket_path = daemon_.socket_path.c_str();

    attacker hog;
    attacker_options options;
    options.daemon = &daemon_;
    options.descriptors = 4 * STARVE_MAX_CLIENTS;
    ASSERT_EQ(0, attacker_start(&hog, options, [&](attacker_out out) {
                  return hog_client_table(out, socket_path, "/tmp/w");
              }));
    std::vector<std::string> lines = attacker_read(&hog, "N", SECURITY_WAIT_MS);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("N 64 " + std::to_string(VANTLES_ERR_NO_CLIENT), lines[0]);
    EXPECT_TRUE(
        test_daemon_wait_log(daemon_, "too many clients for uid 65534 (limit 64)", SECURITY_WAIT_MS));

    answers_queries("root, beside the hog");
    live_stream root_stream;
    ASSERT_EQ(0, live_stream_start(&root_stream,
                                   live_options(daemon_, {"/tmp/w"}, VANTLES_FLAG_FILE_EVENTS)));
    make_file("/tmp/w/beside", 0644);
    EXPECT_TRUE(live_wait_event(&root_stream.sink, live_path_is("/tmp/w/beside"), SECURITY_WAIT_MS));

    // The hog dies with its streams registered: the daemon finds out by itself.
    kill(hog.pid, SIGKILL);
    EXPECT_EQ(-1, attacker_wait(&hog, SECURITY_WAIT_MS));
    EXPECT_TRUE(live_state_becomes(&daemon_, LIVE_INTERNAL_CLIENTS + 1, -1, SECURITY_WAIT_MS));
    answers_queries("root, after the hog");
}

// Body: registers streams that replay dir since 0 and never reads one of them; "R" once all
// are registered, then waits to be killed.
int hog_replays(attacker_out out, const char* socket_path, const char* dir) {
    vantles_connection conn;
    if (int err = vantles_connect(socket_path, &conn)) {
        attacker_say(out, "X connect: " + std::to_string(err));
        return 1;
    }
    const char* paths[] = {dir};
    vantles_register_args args;
    args.paths = paths;
    args.create_flags = VANTLES_FLAG_FILE_EVENTS;
    args.since_when = 0;
    std::vector<vantles_registration> regs(STARVE_REPLAY_HOGS);
    for (vantles_registration& reg : regs) {
        if (int err = vantles_register(&conn, args, &reg)) {
            attacker_say(out, "X register: " + std::to_string(err));
            return 1;
        }
    }
    attacker_say(out, "R");
    pause();
    return 0;
}

// More replaying clients than there are log readers, all of one unprivileged process that
// never reads its event messages, sit in their sends with their sockets full. Another user's
// replay of the same history still gets everything and its history-done notice in bounded
// time: what bounds the readers is the reading of the files, not the clients' speed.
TEST_F(Starvation, ReplayHogDoesNotHoldUpAnotherUsersReplay) {
    start_daemon();
    make_dir("/tmp/r", 0755);
    ASSERT_EQ(0, live_sync(daemon_, "/tmp/r"));
    // Long names, so that the sockets of the hog's clients fill after fewer batches.
    const std::string stem = "/tmp/r/a-long-name-so-that-batches-are-large-and-sockets-fill-";
    for (int i = 0; i < STARVE_FLUSH_NAMES + 100; i++)
        make_file(stem + std::to_string(i), 0644);
    // Routing and filing that many names may outlast one sync's wait under a sanitizer.
    int synced = ETIMEDOUT;
    for (int tries = 0; tries < 3 && synced == ETIMEDOUT; tries++)
        synced = live_sync(daemon_, "/tmp/r");
    ASSERT_EQ(0, synced);

    const char* socket_path = daemon_.socket_path.c_str();
    attacker hog;
    attacker_options options;
    options.daemon = &daemon_;
    ASSERT_EQ(0, attacker_start(&hog, options, [&](attacker_out out) {
                  return hog_replays(out, socket_path, "/tmp/r");
              }));
    std::vector<std::string> lines = attacker_read(&hog, "R", SECURITY_WAIT_MS);
    ASSERT_FALSE(lines.empty());
    ASSERT_EQ("R", lines.back());
    // Long enough for every hog client to take its file and fill its socket.
    usleep(1500000);

    int64_t start = live_now_ms();
    live_stream victim;
    vantles_stream_options o = live_options(daemon_, {"/tmp/r"}, VANTLES_FLAG_FILE_EVENTS);
    o.since_when = 0;
    ASSERT_EQ(0, live_stream_start(&victim, o));
    bool done = live_wait_event(
        &victim.sink,
        [](const live_event& e) { return (e.flags & VANTLES_EVENT_HISTORY_DONE) != 0; },
        STARVE_REPLAY_BOUND_MS);
    EXPECT_TRUE(done) << "no history-done notice after " << live_now_ms() - start << " ms";
    size_t names = 0;
    for (const live_event& e : live_sink_events(&victim.sink))
        names += e.path.rfind(stem, 0) == 0 ? 1 : 0;
    EXPECT_EQ(static_cast<size_t>(STARVE_FLUSH_NAMES + 100), names);
    answers_queries("root, beside the hog");
    EXPECT_TRUE(test_daemon_running(&daemon_));
}

}  // namespace
