// The history seen by an unprivileged attacker: a replay since 0 or since an id, read from a log
// file written by an earlier daemon process and from the names still pending in memory, shows
// nothing it may not read now; and its purges are refused however they are dressed up, leaving
// every log file, the uuid and what root replays as they were.
#include "attacker.h"

#include "client/raw.h"
#include "vantles/client.h"
#include "vantles/stream.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr const char* HISTORY_DIR = "/.vantlesd";
constexpr const char* HISTORY_UUID_FILE = "/.vantlesd/vantlesd-uuid";

class HistoryFilter : public SecurityTest {
protected:
    // Root's changes of one phase under /tmp/h, their names tagged: a readable file, a 0600
    // file, files in the closed directory and in the one closed later, a file renamed into the
    // closed directory, a hard link of the 0600 file, and a closed tree whose path holds the
    // attacker's own directory's path, removed after the daemon has logged its contents.
    void make_phase(const std::string& tag) {
        const std::string h = "/tmp/h";
        make_file(h + "/pub/public-" + tag, 0644);
        make_file(h + "/secret-" + tag, 0600);
        make_file(h + "/closed/inner-" + tag, 0644);
        make_file(h + "/later/inner-" + tag, 0644);
        make_file(h + "/pub/moved-" + tag, 0644);
        ASSERT_EQ(0, rename(host(h + "/pub/moved-" + tag).c_str(),
                            host(h + "/closed/moved-" + tag).c_str()));
        ASSERT_EQ(0,
                  link(host(h + "/secret-" + tag).c_str(), host(h + "/pub/link-" + tag).c_str()));
        const std::string gone = h + "/gone-" + tag;
        make_dir(gone, 0700);
        make_dir(gone + "/tmp", 0755);
        make_dir(gone + "/tmp/bait-" + tag, 0755);
        make_file(gone + "/tmp/bait-" + tag + "/leaked-" + tag, 0644);
        // Removed once the daemon has named (and filed) what was made in it.
        ASSERT_EQ(0, live_sync(daemon_, h));
        std::filesystem::remove_all(host(gone));
    }

    // A fresh connection of root's to the daemon.
    vantles_connection root_connection() {
        vantles_connection conn;
        EXPECT_EQ(0, vantles_connect(daemon_.socket_path.c_str(), &conn));
        return conn;
    }

    // Replays /tmp/h since 0 as root; the paths replayed.
    std::vector<std::string> root_replay(const std::string& dir) {
        live_stream s;
        vantles_stream_options options = live_options(daemon_, {dir}, VANTLES_FLAG_FILE_EVENTS);
        options.since_when = 0;
        EXPECT_EQ(0, live_stream_start(&s, options));
        EXPECT_TRUE(live_wait_event(
            &s.sink,
            [](const live_event& e) { return (e.flags & VANTLES_EVENT_HISTORY_DONE) != 0; },
            SECURITY_WAIT_MS));
        std::vector<std::string> paths;
        for (const live_event& e : live_sink_events(&s.sink))
            paths.push_back(e.path);
        return paths;
    }
};

// Events of closed paths are kept in the history for root, but an attacker replaying since 0,
// since an id between the two phases, or the whole volume, at file and directory level, gets
// none of them: neither from the log file the first daemon process wrote at its exit nor from
// the names the second one holds in memory. The directory closed after both phases hides what
// was logged while it was open: a replay judges with the rights the user has now.
TEST_F(HistoryFilter, ReplayShowsOnlyWhatTheUserMayReadNow) {
    start_daemon();
    const std::string h = "/tmp/h";
    make_dir(h, 0755);
    make_dir(h + "/pub", 0755);
    make_dir(h + "/later", 0755);
    make_dir(h + "/closed", 0700);
    make_dir("/tmp/bait", 0755);
    ASSERT_EQ(0, chown(host("/tmp/bait").c_str(), SECURITY_NOBODY, SECURITY_NOBODY));
    ASSERT_NO_FATAL_FAILURE(make_phase("disk"));
    ASSERT_EQ(0, live_sync(daemon_, h));
    ASSERT_EQ(0, test_daemon_restart(&daemon_, {"-d"})) << test_daemon_log(daemon_);
    ASSERT_FALSE(log_files(host(HISTORY_DIR)).empty()) << "nothing written at shutdown";

    uint64_t between = 0;
    {
        vantles_connection conn = root_connection();
        ASSERT_EQ(0, vantles_get_current_event_id(&conn, &between));
    }
    ASSERT_NO_FATAL_FAILURE(make_phase("memory"));
    ASSERT_EQ(0, chmod(host(h + "/later").c_str(), 0700));
    ASSERT_EQ(0, live_sync(daemon_, h));

    attacker spy;
    start_watching(&spy, {watch("files", {"/tmp/bait", h}, VANTLES_FLAG_FILE_EVENTS, "", 0),
                          watch("dirs", {h}, 0, "", 0),
                          watch("volume", {"/"}, VANTLES_FLAG_FILE_EVENTS, "", 0),
                          watch("between", {h}, VANTLES_FLAG_FILE_EVENTS, "", between)});
    std::vector<seen_event> seen = finish_watching(&spy);
    SCOPED_TRACE("the attacker received:\n" + describe_seen(seen));
    for (const char* dir :
         {"/tmp/h/closed", "/tmp/h/later", "/tmp/h/gone-disk", "/tmp/h/gone-memory"})
        EXPECT_EQ(std::vector<std::string>{}, paths_under(seen, dir)) << dir;
    for (const char* path :
         {"/tmp/h/closed", "/tmp/h/later", "/tmp/h/secret-disk", "/tmp/h/secret-memory",
          "/tmp/h/pub/link-disk", "/tmp/h/pub/link-memory"})
        EXPECT_FALSE(has_path(seen, path)) << path;
    // The readable names come back, each phase from where it is kept.
    for (const char* label : {"files", "volume"})
        for (const char* path : {"/tmp/h/pub/public-disk", "/tmp/h/pub/public-memory",
                                 "/tmp/h/pub/moved-disk", "/tmp/h/pub/moved-memory"})
            EXPECT_TRUE(has_path(seen_by(seen, label), path)) << label << " lacks " << path;
    EXPECT_TRUE(has_path(seen_by(seen, "dirs"), "/tmp/h/pub/"));
    std::vector<seen_event> later = seen_by(seen, "between");
    EXPECT_TRUE(has_path(later, "/tmp/h/pub/public-memory"));
    EXPECT_FALSE(has_path(later, "/tmp/h/pub/public-disk")) << "replayed from before the id";

    // Root's replay holds what the attacker's did not.
    std::vector<std::string> all = root_replay(h);
    for (const char* path :
         {"/tmp/h/closed/inner-disk", "/tmp/h/closed/inner-memory", "/tmp/h/later/inner-disk",
          "/tmp/h/secret-memory", "/tmp/h/gone-disk/tmp/bait-disk/leaked-disk",
          "/tmp/h/gone-memory/tmp/bait-memory/leaked-memory"})
        EXPECT_NE(all.end(), std::find(all.begin(), all.end(), path)) << path << " not logged";
}

// A purge request with an explicit credentials message, so that the kernel is asked to vouch
// for the given ids. 0 when sent, else the errno of sendmsg.
int send_with_credentials(int fd, const std::vector<uint8_t>& bytes, pid_t pid, uid_t uid,
                          gid_t gid) {
    union {
        cmsghdr align;
        char bytes[CMSG_SPACE(sizeof(ucred))];
    } control = {};
    iovec iov = {const_cast<uint8_t*>(bytes.data()), bytes.size()};
    msghdr mh = {};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = control.bytes;
    mh.msg_controllen = sizeof control.bytes;
    cmsghdr* c = CMSG_FIRSTHDR(&mh);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_CREDENTIALS;
    c->cmsg_len = CMSG_LEN(sizeof(ucred));
    ucred cred = {pid, uid, gid};
    memcpy(CMSG_DATA(c), &cred, sizeof cred);
    return sendmsg(fd, &mh, MSG_NOSIGNAL) < 0 ? errno : 0;
}

// What became of a raw request: "code N" for an answer, "dropped" when only the probe sent
// after it was answered, "closed", or "error E".
std::string outcome_of(int fd) {
    std::vector<uint8_t> probe = raw_simple_request(BLACKBOX_PROBE_ID, 24, BLACKBOX_BITS);
    if (int err = raw_send(fd, probe.data(), probe.size(), {}, SECURITY_WAIT_MS))
        return "error " + std::to_string(err);
    raw_datagram reply;
    if (int err = raw_receive(fd, SECURITY_WAIT_MS, &reply))
        return err == ECONNRESET ? "closed" : "error " + std::to_string(err);
    mach_msg_id_t id = field_at<mach_msg_header_t>(reply, 0).msgh_id;
    if (id == BLACKBOX_PROBE_ID + VANTLES_MSG_REPLY_OFFSET)
        return "dropped";
    std::string out = "code " + std::to_string(field_at<int32_t>(reply, 32));
    raw_receive(fd, SECURITY_WAIT_MS, &reply);  // the probe's answer
    return out;
}

// The attacker's purges: through the library (the whole history, below an id, another device
// number, on a registration's private port), and raw ones that claim root: a forged trailer
// behind the message or inside a longer one, and credentials messages naming uid 0 or another
// process. Every one is refused (code 5 or -304) or stopped by the kernel; the log files, the
// uuid and root's replay stay as they were. Root's own purge afterwards works.
TEST_F(HistoryFilter, PurgeByAnUnprivilegedUserIsRefusedHoweverItIsAsked) {
    start_daemon();
    make_dir("/tmp/keep", 0755);
    make_file("/tmp/keep/on-disk", 0644);
    ASSERT_EQ(0, live_sync(daemon_, "/tmp/keep"));
    ASSERT_EQ(0, test_daemon_restart(&daemon_, {"-d"})) << test_daemon_log(daemon_);
    make_file("/tmp/keep/in-memory", 0644);
    ASSERT_EQ(0, live_sync(daemon_, "/tmp/keep"));
    std::vector<std::string> files = log_files(host(HISTORY_DIR));
    ASSERT_FALSE(files.empty());
    std::string uuid = read_text(host(HISTORY_UUID_FILE));
    ASSERT_EQ(36u, uuid.size());
    uint32_t device = live_device_of(daemon_, "/");
    pid_t daemon_pid = daemon_.pid;

    attacker spy;
    attacker_options options;
    options.daemon = &daemon_;
    const char* socket_path = daemon_.socket_path.c_str();
    ASSERT_EQ(
        0, attacker_start(&spy, options, [&](attacker_out out) {
            auto say = [&](const std::string& what, const std::string& result) {
                attacker_say(out, "P " + what + " " + result);
            };
            vantles_connection conn;
            if (int err = vantles_connect(socket_path, &conn)) {
                attacker_say(out, "X connect: " + std::to_string(err));
                return 1;
            }
            uint32_t result = 0;
            say("all",
                std::to_string(vantles_purge_events(&conn, device, VANTLES_EVENT_ID_ALL, &result)));
            say("below", std::to_string(vantles_purge_events(&conn, device, 1u << 30, &result)));
            say("device-0",
                std::to_string(vantles_purge_events(&conn, 0, VANTLES_EVENT_ID_ALL, &result)));
            say("unknown-device", std::to_string(vantles_purge_events(
                                      &conn, 0x7ffff, VANTLES_EVENT_ID_ALL, &result)));

            purge_events_request_t req = {};
            req.head = {BLACKBOX_BITS, sizeof req, 0, 0, 0, VANTLES_MSG_PURGE_EVENTS};
            req.NDR = NDR_record;
            req.device = device;
            req.event_id = VANTLES_EVENT_ID_ALL;
            std::vector<uint8_t> purge(sizeof req);
            memcpy(purge.data(), &req, sizeof req);
            // A trailer of root's, as the daemon's transport would write it, behind the message.
            mach_msg_audit_trailer_t forged = {};
            forged.msgh_trailer_type = MACH_MSG_TRAILER_FORMAT_0;
            forged.msgh_trailer_size = MACH_MSG_TRAILER_AUDIT_SIZE;
            forged.msgh_audit.val[5] = static_cast<uint32_t>(daemon_pid);
            std::vector<uint8_t> behind = purge;
            behind.insert(behind.end(), reinterpret_cast<uint8_t*>(&forged),
                          reinterpret_cast<uint8_t*>(&forged) + sizeof forged);
            std::vector<uint8_t> inside = behind;
            uint32_t longer = static_cast<uint32_t>(inside.size());
            memcpy(inside.data() + offsetof(mach_msg_header_t, msgh_size), &longer, 4);

            unique_fd raw;
            if (int err = raw_connect(socket_path, &raw)) {
                attacker_say(out, "X raw connect: " + std::to_string(err));
                return 1;
            }
            auto sent = [&](const std::vector<uint8_t>& bytes) {
                int err = raw_send(raw.get(), bytes.data(), bytes.size(), {}, SECURITY_WAIT_MS);
                return err != 0 ? "error " + std::to_string(err) : outcome_of(raw.get());
            };
            say("trailer-behind", sent(behind));
            say("trailer-inside", sent(inside));
            say("own-credentials",
                send_with_credentials(raw.get(), purge, getpid(), getuid(), getgid()) == 0
                    ? outcome_of(raw.get())
                    : "unsent");
            say("uid-0", std::to_string(send_with_credentials(raw.get(), purge, getpid(), 0, 0)));
            say("daemon-pid", std::to_string(send_with_credentials(raw.get(), purge, daemon_pid,
                                                                   getuid(), getgid())));

            // On the private port of a registration of its own.
            vantles_registration reg;
            const char* paths[] = {"/tmp/keep"};
            vantles_register_args args;
            args.paths = paths;
            if (int err = vantles_register(&conn, args, &reg)) {
                attacker_say(out, "X register: " + std::to_string(err));
                return 1;
            }
            int err = raw_send(static_cast<int>(reg.private_port), purge.data(), purge.size(), {},
                               SECURITY_WAIT_MS);
            say("private-port", err != 0 ? "error " + std::to_string(err)
                                         : outcome_of(static_cast<int>(reg.private_port)));
            attacker_say(out, "END");
            return 0;
        }));
    std::vector<std::string> lines = attacker_read(&spy, "END", SECURITY_WAIT_MS);
    ASSERT_FALSE(lines.empty());
    ASSERT_EQ("END", lines.back()) << "the attacker did not finish";
    EXPECT_EQ(0, attacker_wait(&spy, SECURITY_WAIT_MS));
    const std::string refused = std::to_string(VANTLES_ERR_REFUSED);
    const std::vector<std::string> expected = {
        "P all " + refused,
        "P below " + refused,
        "P device-0 " + refused,
        "P unknown-device " + refused,
        "P trailer-behind code " + std::to_string(MIG_BAD_ARGUMENTS),
        "P trailer-inside code " + std::to_string(MIG_BAD_ARGUMENTS),
        "P own-credentials code " + refused,
        "P uid-0 " + std::to_string(EPERM),
        "P daemon-pid " + std::to_string(EPERM),
        "P private-port code " + refused,
        "END",
    };
    EXPECT_EQ(expected, lines);

    EXPECT_TRUE(test_daemon_running(&daemon_));
    EXPECT_EQ(files, log_files(host(HISTORY_DIR)));
    EXPECT_EQ(uuid, read_text(host(HISTORY_UUID_FILE)));
    EXPECT_EQ(std::string::npos, test_daemon_log(daemon_).find("purge_events: deleting"));
    {
        live_stream s;
        vantles_stream_options o = live_options(daemon_, {"/tmp/keep"}, VANTLES_FLAG_FILE_EVENTS);
        o.since_when = 0;
        ASSERT_EQ(0, live_stream_start(&s, o));
        EXPECT_TRUE(live_wait_event(&s.sink, live_path_is("/tmp/keep/on-disk"), SECURITY_WAIT_MS));
        EXPECT_TRUE(
            live_wait_event(&s.sink, live_path_is("/tmp/keep/in-memory"), SECURITY_WAIT_MS));
    }

    // The same request from root goes through.
    vantles_connection conn;
    ASSERT_EQ(0, vantles_connect(daemon_.socket_path.c_str(), &conn));
    uint32_t result = 1;
    EXPECT_EQ(0, vantles_purge_events(&conn, device, VANTLES_EVENT_ID_ALL, &result));
    EXPECT_EQ(0u, result);
    EXPECT_TRUE(log_files(host(HISTORY_DIR)).empty());
    EXPECT_NE(uuid, read_text(host(HISTORY_UUID_FILE)));
}

}  // namespace
