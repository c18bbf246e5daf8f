// Registrations an unprivileged attacker builds by hand: each malformed one is refused and
// gives its callback right back, callback rights that are no event port are harmless, and a
// watched path at the length limit comes back exactly in its notice. The daemon serves on.
#include "attacker.h"

#include "client/raw.h"
#include "vantles/client.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int ABUSE_RELEASE_MS = 5000;  // for a refused registration to drop its callback right

class RequestAbuse : public SecurityTest {};

raw_register build(const std::vector<std::string>& paths,
                   const std::vector<std::string>& excludes = {}) {
    raw_register req;
    raw_register_build(&req, paths, excludes);
    return req;
}

// In the attacker: sends req with callback (a fresh socketpair end when -1) and returns
// raw_outcome, plus " released" when the daemon let go of a fresh callback right.
std::string try_register(int conn, const raw_register& req, int callback = -1,
                         unique_fd* private_port = nullptr) {
    unique_fd ours, theirs;
    if (callback < 0 && raw_socketpair(&ours, &theirs) == 0)
        callback = theirs.get();
    int fds[] = {callback};
    if (int err = raw_register_send(conn, req, fds))
        return "send error " + std::to_string(err);
    theirs.reset();
    std::string out = raw_outcome(conn, private_port);
    return ours.valid() && wait_hangup(ours.get(), ABUSE_RELEASE_MS) ? out + " released" : out;
}

TEST_F(RequestAbuse, MalformedRegistrationsAreRefusedAndTheDaemonServesOn) {
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    make_dir("/tmp/ok", 0755);
    const std::string dir = "/tmp/ok/",
                      bad = "code " + std::to_string(VANTLES_ERR_BAD_ARGS) + " released";
    auto unterminated = build({"/tmp/ok"});
    unterminated.regions[1].pop_back();  // the NUL
    raw_register_sync(&unterminated);
    auto copy_send = build({"/tmp/ok"});
    copy_send.msg.callback.disposition = MACH_MSG_TYPE_COPY_SEND;
    const struct {
        const char* name;
        raw_register req;
        std::string expected;
    } refused[] = {
        {"path-1024", build({dir + std::string(1016, 'x')}), bad},
        {"path-4096", build({dir + std::string(4088, 'x')}), bad},
        {"path-65543", build({dir + std::string(65535, 'x')}), bad},  // 16 bits: "/tmp/ok"
        {"second-path-1024", build({"/tmp/ok", dir + std::string(1016, 'x')}), bad},
        {"4097-paths", build(std::vector<std::string>(4097, "/tmp/ok")), bad},
        {"no-paths", build({}), bad},
        {"unterminated", unterminated, bad},
        {"nine-excludes", build({"/tmp/ok"}, std::vector<std::string>(9, "/tmp/ok/x")), bad},
        {"exclude-1025", build({"/tmp/ok"}, {"/" + std::string(1024, 'e')}), bad},
        {"copy-send", copy_send, "code " + std::to_string(MIG_TYPE_ERROR) + " released"},
    };
    const char* socket_path = daemon_.socket_path.c_str();
    attacker spy;
    std::vector<std::string> lines = run_attacker(
        &spy,
        [&](attacker_out out) {
            unique_fd conn;
            auto report = [&](const std::string& name, const std::string& result) {
                attacker_say(out, name + " " + result);
                if (result == "closed" && raw_connect(socket_path, &conn) != 0)  // on to the next
                    _exit(1);
            };
            if (raw_connect(socket_path, &conn) != 0)
                return 1;
            for (const auto& c : refused)
                report(c.name, try_register(conn.get(), c.req));

            // A trailer claiming root behind a proper registration: the datagram is not one.
            std::vector<uint8_t> bytes;
            unique_fd memfd, ours, theirs;
            raw_register_encode(build({"/tmp/ok"}), &bytes, &memfd);
            mach_msg_audit_trailer_t forged = {};
            forged.msgh_trailer_type = MACH_MSG_TRAILER_FORMAT_0;
            forged.msgh_trailer_size = MACH_MSG_TRAILER_AUDIT_SIZE;
            bytes.insert(bytes.end(), reinterpret_cast<uint8_t*>(&forged),
                         reinterpret_cast<uint8_t*>(&forged + 1));
            raw_socketpair(&ours, &theirs);
            int fds[] = {theirs.get()};
            raw_send(conn.get(), bytes.data(), bytes.size(), fds, SECURITY_WAIT_MS);
            theirs.reset();
            report("trailer-behind",
                   raw_outcome(conn.get()) +
                       (wait_hangup(ours.get(), ABUSE_RELEASE_MS) ? " released" : ""));

            // A pipe as callback: the first event message fails, and the pipe is let go once the
            // registration's last send right (its private port) is.
            int pipe_fds[2];
            if (pipe2(pipe_fds, O_CLOEXEC) != 0)
                return 1;
            unique_fd pipe_read(pipe_fds[0]), pipe_private;
            raw_register replaying = build({"/tmp/ok"});
            replaying.msg.since_when = 0;
            report("callback-pipe",
                   try_register(conn.get(), replaying, pipe_fds[1], &pipe_private));
            close(pipe_fds[1]);
            pipe_private.reset();
            pollfd p = {pipe_read.get(), POLLIN, 0};
            char byte;
            report("pipe-let-go",
                   poll(&p, 1, SECURITY_WAIT_MS) == 1 && read(p.fd, &byte, 1) == 0 ? "yes" : "no");
            // Its own connection to the daemon: event messages come back as unknown requests.
            unique_fd loop;
            raw_connect(socket_path, &loop);
            report("callback-daemon", try_register(conn.get(), replaying, loop.get()));

            // At the limit: accepted, and the history-done notice carries the path and its NUL.
            vantles_connection lib;
            uint64_t now = 0;
            if (vantles_connect(socket_path, &lib) != 0 || vantles_get_current_event_id(&lib, &now))
                return 1;
            const std::string longest = dir + std::string(1015, 'y');
            raw_register at_limit = build({longest});
            at_limit.msg.since_when = now;
            unique_fd events_end, callback_end, at_limit_private;
            raw_socketpair(&events_end, &callback_end);
            std::string result =
                try_register(conn.get(), at_limit, callback_end.get(), &at_limit_private);
            callback_end.reset();
            raw_datagram notice;
            std::string blob;
            if (raw_receive(events_end.get(), SECURITY_WAIT_MS, &notice) == 0) {
                auto msg = field_at<events_message_t>(notice, 0);
                size_t at = sizeof msg + msg.path_offsets.size + msg.flags.size + msg.ids.size;
                if (msg.head.msgh_id == VANTLES_MSG_EVENTS && msg.num_events == 1 &&
                    notice.bytes.size() == at + msg.paths.size)
                    blob.assign(reinterpret_cast<const char*>(notice.bytes.data()) + at,
                                msg.paths.size);
            }
            report("path-1023", result + (blob == longest + '\0' ? " exact" : " other"));

            live_stream fine;
            if (live_stream_start(&fine,
                                  live_options(daemon_, {"/tmp/ok"}, VANTLES_FLAG_FILE_EVENTS)))
                return 1;
            attacker_say(out, "R");
            bool got = live_wait_event(&fine.sink, live_path_is("/tmp/ok/after"), SECURITY_WAIT_MS);
            attacker_say(out, got ? "END" : "X no event after the abuse");
            return 0;
        },
        "R");
    make_file("/tmp/ok/after", 0644);
    std::vector<std::string> rest = attacker_read(&spy, "END");
    lines.insert(lines.end(), rest.begin(), rest.end());
    EXPECT_EQ(0, attacker_wait(&spy));

    std::vector<std::string> expected;
    for (const auto& c : refused)
        expected.push_back(c.name + (" " + c.expected));
    expected.insert(expected.end(),
                    {"trailer-behind code " + std::to_string(MIG_BAD_ARGUMENTS) + " released",
                     "callback-pipe code 0", "pipe-let-go yes", "callback-daemon code 0",
                     "path-1023 code 0 exact", "R", "END"});
    EXPECT_EQ(expected, lines);
}

}  // namespace
