// What an unprivileged attacker may learn of root's changes: live events and replays (from a
// log file of an earlier daemon and from memory) never name a path it may not read now, links
// into a closed directory give nothing, and its purges are refused however they are dressed up.
#include "attacker.h"

#include "client/raw.h"
#include "vantles/client.h"
#include "vantles/stream.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

namespace {

const std::string T = "/tmp/t";
constexpr uint32_t FILES = VANTLES_FLAG_FILE_EVENTS;
constexpr const char* HISTORY_DIR = "/.vantlesd";
constexpr const char* UUID_FILE = "/.vantlesd/vantlesd-uuid";

class Filter : public SecurityTest {
protected:
    // T with pub/ and later/ (open), closed/ (0700), zz-end-dir/, links to closed/ (absolute
    // and relative), and the attacker's own /tmp/bait.
    void prepare() {
        ASSERT_NO_FATAL_FAILURE(start_daemon());
        make_dir(T, 0755);
        for (const char* d : {"/pub", "/later", "/zz-end-dir"})
            make_dir(T + d, 0755);
        make_dir(T + "/closed", 0700);
        make_dir("/tmp/bait", 0755, SECURITY_NOBODY);
        ASSERT_EQ(0, symlink("/tmp/t/closed", host(T + "/link").c_str()));
        ASSERT_EQ(0, symlink("closed", host(T + "/rel-link").c_str()));
        ASSERT_EQ(0, live_sync(daemon_, T));
    }

    void link_to(const std::string& from, const std::string& to) {
        ASSERT_EQ(0, link(host(from).c_str(), host(to).c_str())) << to;
    }

    // Root's changes of one phase, names tagged: the attacker may see pub/public-, pub/moved-,
    // pub/back- and pub/alias- (a hard link of a closed file), nothing that hidden() names.
    // The closed tree gone-/tmp/bait-, whose path holds the attacker's own directory's, is
    // removed once `named` says the daemon has named its contents.
    void changes(const std::string& t, const std::function<void()>& named) {
        make_file(T + "/pub/public-" + t, 0644);
        make_file(T + "/secret-" + t, 0600);
        link_to(T + "/secret-" + t, T + "/pub/link-" + t);
        make_file(T + "/closed/orig-" + t, 0644);
        link_to(T + "/closed/orig-" + t, T + "/pub/alias-" + t);
        for (const char* p : {"/secret-", "/pub/link-", "/closed/orig-", "/pub/alias-"})
            append(T + p + t);
        make_file(T + "/later/inner-" + t, 0644);
        make_file(T + "/pub/moved-" + t, 0644);
        rename_to(T + "/pub/moved-" + t, T + "/closed/moved-" + t);
        rename_to(T + "/closed/moved-" + t, T + "/pub/back-" + t);
        rename_to(T + "/closed/orig-" + t, T + "/closed/orig2-" + t);
        make_dir(T + "/closed/sub-" + t, 0755);
        make_file(T + "/closed/sub-" + t + "/deep", 0644);
        make_file(T + "/closed/doomed-" + t, 0644);
        ASSERT_EQ(0, unlink(host(T + "/closed/doomed-" + t).c_str()));
        std::string gone = T + "/gone-" + t;
        make_dir(gone, 0700);
        make_dir(gone + "/tmp", 0755);
        make_dir(gone + "/tmp/bait-" + t, 0755);
        make_file(gone + "/tmp/bait-" + t + "/leaked-" + t, 0644);
        ASSERT_NO_FATAL_FAILURE(named());
        std::filesystem::remove_all(host(gone));
    }

    // Nothing at or below these reaches the attacker (a directory-level "gone-/" may live: the
    // removal was visible in T).
    void expect_hidden(const std::vector<std::string>& seen, const std::string& t) {
        for (const std::string& path : {T + "/closed", T + "/later", T + "/secret-" + t,
                                        T + "/pub/link-" + t, T + "/gone-" + t + "/tmp"})
            EXPECT_EQ(std::vector<std::string>{}, seen_at(seen, path));
    }
    // What root gets of the same phase.
    static std::vector<std::string> root_sees(const std::string& t) {
        return {T + "/later/inner-" + t, T + "/secret-" + t, T + "/pub/link-" + t,
                T + "/closed/sub-" + t + "/deep",
                T + "/gone-" + t + "/tmp/bait-" + t + "/leaked-" + t};
    }

    // Two phases: "disk" filed by a daemon that then stops, "memory" held by its successor;
    // later/ is closed after both.
    void make_history() {
        ASSERT_NO_FATAL_FAILURE(prepare());
        auto sync = [&] { ASSERT_EQ(0, live_sync(daemon_, T)); };
        ASSERT_NO_FATAL_FAILURE(changes("disk", sync));
        ASSERT_EQ(0, test_daemon_restart(&daemon_, {"-d"})) << test_daemon_log(daemon_);
        ASSERT_FALSE(log_files(host(HISTORY_DIR)).empty()) << "nothing written at shutdown";
        vantles_connection conn;
        ASSERT_EQ(0, vantles_connect(daemon_.socket_path.c_str(), &conn));
        ASSERT_EQ(0, vantles_get_current_event_id(&conn, &between_));
        ASSERT_NO_FATAL_FAILURE(changes("memory", sync));
        ASSERT_EQ(0, chmod(host(T + "/later").c_str(), 0700));
        sync();
    }

    // Root's replay of T since 0: the paths.
    std::vector<std::string> root_replay() {
        live_stream s;
        vantles_stream_options o = live_options(daemon_, {T}, FILES);
        o.since_when = 0;
        EXPECT_EQ(0, live_stream_start(&s, o));
        EXPECT_TRUE(live_wait_event(
            &s.sink, [](const live_event& e) { return e.flags & VANTLES_EVENT_HISTORY_DONE; },
            SECURITY_WAIT_MS));
        std::vector<std::string> paths;
        for (const live_event& e : live_sink_events(&s.sink))
            paths.push_back(e.path);
        return paths;
    }

    uint64_t between_ = 0;
};

// The attacker watches T at file and directory level, the whole volume, closed/ itself, and
// links into closed/ (root's, relative, its own, one relative to the device) while root changes
// T; a "bait" stream with a long latency also watches its /tmp/bait. Root's stream on T gets
// everything, so it is the filter that hides it. Events name real paths: a link's stream hears
// only of the link itself, and root replacing the links ends those streams.
TEST_F(Filter, LiveEventsOfClosedPathsNeverReachAnUnprivilegedClient) {
    ASSERT_NO_FATAL_FAILURE(prepare());
    const std::string end = T + "/zz-end", end_dir = T + "/zz-end-dir/x";
    std::vector<watch_plan> plans = {
        watch("files", {T}, FILES, end),
        watch("dirs", {T}, 0, T + "/zz-end-dir/"),
        watch("volume", {"/"}, FILES, end),
        watch("bait", {"/tmp/bait", T}, FILES, end),
        watch("closed", {T + "/closed", T + "/zz-end-dir"}, FILES, end_dir),
        watch("link", {T + "/link"}, FILES, T + "/link"),
        watch("rel-link", {T + "/rel-link"}, FILES, T + "/rel-link"),
        watch("own-link", {"/tmp/own-link"}, FILES, "/tmp/own-link"),
        watch("device", {"tmp/t/link"}, FILES, "tmp/t/link")};
    plans[3].options.latency_us = 1000000;
    plans.back().options.device = live_device_of(daemon_, "/");
    attacker spy;
    run_attacker(
        &spy,
        [&](attacker_out out) {
            return symlink("/tmp/t/closed", "/tmp/own-link") ? 1 : attacker_watch(out, plans);
        },
        "R");
    live_stream root;
    ASSERT_EQ(0, live_stream_start(&root, live_options(daemon_, {T}, FILES)));
    ASSERT_EQ(0, chmod(host(T + "/later").c_str(), 0700));  // closed after the registration
    const std::string leaked = T + "/gone-live/tmp/bait-live/leaked-live";
    ASSERT_NO_FATAL_FAILURE(changes("live", [&] {
        ASSERT_TRUE(live_wait_event(&root.sink, live_path_is(leaked), SECURITY_WAIT_MS));
    }));
    for (const char* link : {"/tmp/t/link", "/tmp/t/rel-link", "/tmp/own-link"}) {
        ASSERT_EQ(0, unlink(host(link).c_str()));
        ASSERT_EQ(0, symlink("/tmp/t/closed", host(link).c_str()));
    }
    make_file(end_dir, 0644);
    make_file(end, 0644);

    std::vector<std::string> seen = finish_watching(&spy);
    expect_hidden(seen, "live");
    for (const std::string& e : seen)
        EXPECT_EQ(std::string::npos, e.find("link/")) << e;
    for (const char* label : {"files", "volume", "bait"})
        for (const char* name : {"/pub/alias-live", "/pub/moved-live", "/pub/back-live"})
            EXPECT_TRUE(saw(seen, label, T + name)) << label << " lacks " << name;
    EXPECT_TRUE(saw(seen, "dirs", T + "/pub/"));
    ASSERT_TRUE(live_wait_event(&root.sink, live_path_is(end), SECURITY_WAIT_MS));
    std::vector<std::string> root_paths = root_sees("live");
    root_paths.push_back(T + "/closed/moved-live");
    for (const std::string& path : root_paths)
        EXPECT_TRUE(live_wait_event(&root.sink, live_path_is(path), 0)) << path << " not for root";
}

// Replays since 0, since an id between the phases, at file and directory level and of the
// whole volume: none shows a closed path, whether from the log file or from memory.
TEST_F(Filter, ReplayShowsOnlyWhatTheUserMayReadNow) {
    ASSERT_NO_FATAL_FAILURE(make_history());
    attacker spy;
    std::vector<watch_plan> plans = {
        watch("files", {"/tmp/bait", T}, FILES, "", 0), watch("dirs", {T}, 0, "", 0),
        watch("volume", {"/"}, FILES, "", 0), watch("between", {T}, FILES, "", between_)};
    run_attacker(
        &spy, [&](attacker_out out) { return attacker_watch(out, plans); }, "R");
    std::vector<std::string> seen = finish_watching(&spy), all = root_replay();
    for (const std::string phase : {"disk", "memory"}) {
        expect_hidden(seen, phase);
        EXPECT_EQ(std::vector<std::string>{}, seen_at(seen, T + "/gone-" + phase + "/"));
        for (const char* label : {"files", "volume"})
            for (const char* name : {"/pub/public-", "/pub/moved-"})
                EXPECT_TRUE(saw(seen, label, T + name + phase)) << label << name << phase;
        for (const std::string& path : root_sees(phase))
            EXPECT_NE(all.end(), std::find(all.begin(), all.end(), path)) << path;
    }
    EXPECT_TRUE(saw(seen, "dirs", T + "/pub/"));
    EXPECT_TRUE(saw(seen, "between", T + "/pub/public-memory"));
    EXPECT_FALSE(saw(seen, "between", T + "/pub/public-disk")) << "before the id";
}

// Sends bytes with a credentials message naming pid, uid and gid: 0, or sendmsg's errno.
int send_as(int fd, const std::vector<uint8_t>& bytes, pid_t pid, uid_t uid) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))] = {};
    iovec iov = {const_cast<uint8_t*>(bytes.data()), bytes.size()};
    msghdr mh = {};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = control;
    mh.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&mh);
    c->cmsg_len = CMSG_LEN(sizeof(ucred));
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_CREDENTIALS;
    ucred cred = {pid, uid, uid};
    memcpy(CMSG_DATA(c), &cred, sizeof cred);
    return sendmsg(fd, &mh, MSG_NOSIGNAL) < 0 ? errno : 0;
}

// The attacker's purges through the library and raw ones that claim root (a forged trailer
// behind the message or inside a longer one, credentials the kernel must refuse, a private
// port) are all refused: the log files, the uuid and root's replay stay. Root's purge works.
TEST_F(Filter, PurgeByAnUnprivilegedUserIsRefusedHoweverItIsAsked) {
    ASSERT_NO_FATAL_FAILURE(make_history());
    std::vector<std::string> files = log_files(host(HISTORY_DIR));
    std::string uuid = read_text(host(UUID_FILE));
    ASSERT_EQ(36u, uuid.size());
    const uint32_t dev = live_device_of(daemon_, "/");
    const pid_t daemon_pid = daemon_.pid;
    const char* socket_path = daemon_.socket_path.c_str();
    attacker spy;
    std::vector<std::string> lines = run_attacker(
        &spy,
        [&](attacker_out out) {
            auto say = [&](const char* name, const std::string& r) {
                attacker_say(out, std::string(name) + " " + r);
            };
            vantles_connection conn;
            uint32_t result = 0;
            unique_fd raw;
            if (vantles_connect(socket_path, &conn) != 0 || raw_connect(socket_path, &raw) != 0)
                return 1;
            for (auto [name, device, id] : {std::tuple{"all", dev, VANTLES_EVENT_ID_ALL},
                                            {"below", dev, uint64_t(1) << 30},
                                            {"device-0", 0u, VANTLES_EVENT_ID_ALL},
                                            {"unknown", 0x7ffffu, VANTLES_EVENT_ID_ALL}})
                say(name, std::to_string(vantles_purge_events(&conn, device, id, &result)));
            purge_events_request_t req = {};
            req.head = {BLACKBOX_BITS, sizeof req, 0, 0, 0, VANTLES_MSG_PURGE_EVENTS};
            req.NDR = NDR_record;
            req.device = dev;
            req.event_id = VANTLES_EVENT_ID_ALL;
            std::vector<uint8_t> purge(reinterpret_cast<uint8_t*>(&req),
                                       reinterpret_cast<uint8_t*>(&req + 1));
            mach_msg_audit_trailer_t forged = {};  // root's, as the daemon's transport writes it
            forged.msgh_trailer_type = MACH_MSG_TRAILER_FORMAT_0;
            forged.msgh_trailer_size = MACH_MSG_TRAILER_AUDIT_SIZE;
            forged.msgh_audit.val[5] = static_cast<uint32_t>(daemon_pid);
            std::vector<uint8_t> behind = purge;
            behind.insert(behind.end(), reinterpret_cast<uint8_t*>(&forged),
                          reinterpret_cast<uint8_t*>(&forged + 1));
            std::vector<uint8_t> inside = behind;
            uint32_t longer = static_cast<uint32_t>(inside.size());
            memcpy(inside.data() + offsetof(mach_msg_header_t, msgh_size), &longer, 4);
            auto sent = [&](int fd, const std::vector<uint8_t>& bytes) {
                int err = raw_send(fd, bytes.data(), bytes.size(), {}, SECURITY_WAIT_MS);
                return err ? "error " + std::to_string(err) : raw_outcome(fd);
            };
            say("trailer-behind", sent(raw.get(), behind));
            say("trailer-inside", sent(raw.get(), inside));
            say("own-credentials",
                send_as(raw.get(), purge, getpid(), getuid()) ? "unsent" : raw_outcome(raw.get()));
            say("uid-0", std::to_string(send_as(raw.get(), purge, getpid(), 0)));
            say("daemon-pid", std::to_string(send_as(raw.get(), purge, daemon_pid, getuid())));
            vantles_registration reg;
            const char* paths[] = {"/tmp/t/pub"};
            vantles_register_args args;
            args.paths = paths;
            if (vantles_register(&conn, args, &reg) != 0)
                return 1;
            say("private-port", sent(static_cast<int>(reg.private_port), purge));
            attacker_say(out, "END");
            return 0;
        },
        "END");
    const std::string refused = std::to_string(VANTLES_ERR_REFUSED),
                      bad_args = "code " + std::to_string(MIG_BAD_ARGUMENTS),
                      eperm = std::to_string(EPERM);
    const std::vector<std::string> expected = {"all " + refused,
                                               "below " + refused,
                                               "device-0 " + refused,
                                               "unknown " + refused,
                                               "trailer-behind " + bad_args,
                                               "trailer-inside " + bad_args,
                                               "own-credentials code " + refused,
                                               "uid-0 " + eperm,
                                               "daemon-pid " + eperm,
                                               "private-port code " + refused,
                                               "END"};
    EXPECT_EQ(expected, lines);
    EXPECT_EQ(0, attacker_wait(&spy));
    EXPECT_EQ(files, log_files(host(HISTORY_DIR)));
    EXPECT_EQ(uuid, read_text(host(UUID_FILE)));
    std::vector<std::string> all = root_replay();
    for (const char* path : {"/tmp/t/pub/public-disk", "/tmp/t/pub/public-memory"})
        EXPECT_NE(all.end(), std::find(all.begin(), all.end(), path)) << path << " purged";

    vantles_connection conn;
    ASSERT_EQ(0, vantles_connect(socket_path, &conn));
    uint32_t result = 1;
    EXPECT_EQ(0, vantles_purge_events(&conn, dev, VANTLES_EVENT_ID_ALL, &result));
    EXPECT_EQ(0u, result);
    EXPECT_TRUE(log_files(host(HISTORY_DIR)).empty());
    EXPECT_NE(uuid, read_text(host(UUID_FILE)));
}

}  // namespace
