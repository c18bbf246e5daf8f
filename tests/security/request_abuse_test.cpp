// Registrations an unprivileged attacker builds by hand: watched paths longer than a path may
// be (up to one whose length wraps a 16-bit count), too many paths or exclusions, strings that
// do not end, a forged trailer, and callback rights that are no event port (a pipe, the
// attacker's own connection to the daemon). Each is refused and gives its callback right back,
// or is accepted and harmless; the daemon keeps serving, and the notice that names a watched
// path carries that path and nothing else.
#include "attacker.h"

#include "client/raw.h"
#include "vantles/client.h"
#include "vantles/stream.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

// How long a refused registration may take to give its callback right back.
constexpr int ABUSE_RELEASE_MS = 5000;

class RequestAbuse : public SecurityTest {};

// In the attacker: sends req on conn with callback as its callback right (a fresh socketpair
// end when callback is -1) and returns "code N", plus " released" when the daemon let go of
// a fresh callback right within ABUSE_RELEASE_MS (always the case for a refusal), or
// "dropped"/"closed" when no reply came before the probe sent after it. A successful
// registration's private port is put in *private_port (when not null).
std::string try_register(int conn, const raw_register& req, int callback = -1,
                         unique_fd* private_port = nullptr) {
    unique_fd ours, theirs;
    if (callback < 0) {
        if (raw_socketpair(&ours, &theirs) != 0)
            return "socketpair failed";
        callback = theirs.get();
    }
    int fds[] = {callback};
    if (int err = raw_register_send(conn, req, fds))
        return "send error " + std::to_string(err);
    theirs.reset();
    std::vector<uint8_t> probe = raw_simple_request(BLACKBOX_PROBE_ID, 24, BLACKBOX_BITS);
    if (int err = raw_send(conn, probe.data(), probe.size(), {}, SECURITY_WAIT_MS))
        return err == EPIPE || err == ECONNRESET ? "closed" : "send error " + std::to_string(err);
    raw_datagram reply;
    if (int err = raw_receive(conn, SECURITY_WAIT_MS, &reply))
        return err == ECONNRESET ? "closed" : "receive error " + std::to_string(err);
    auto head = field_at<mach_msg_header_t>(reply, 0);
    std::string out;
    if (head.msgh_id == BLACKBOX_PROBE_ID + VANTLES_MSG_REPLY_OFFSET) {
        out = "dropped";
    } else {
        bool complex = (head.msgh_bits & MACH_MSGH_BITS_COMPLEX) != 0;
        out = "code " + std::to_string(complex ? 0 : field_at<int32_t>(reply, 32));
        if (complex && private_port && !reply.fds.empty())
            *private_port = std::move(reply.fds[0]);
        raw_datagram probe_reply;
        raw_receive(conn, SECURITY_WAIT_MS, &probe_reply);
    }
    if (ours.valid() && wait_hangup(ours.get(), ABUSE_RELEASE_MS))
        out += " released";
    return out;
}

raw_register build(const std::vector<std::string>& paths,
                   const std::vector<std::string>& excludes = {}) {
    raw_register req;
    raw_register_build(&req, paths, excludes);
    return req;
}

// Every hand-built registration of the attacker's is refused, and gives back the callback
// right it carried; a registration with a watched path at the length limit is accepted and its
// history-done notice carries exactly that path. The daemon goes on delivering to a proper
// stream of the same user.
TEST_F(RequestAbuse, MalformedRegistrationsAreRefusedAndTheDaemonServesOn) {
    start_daemon();
    make_dir("/tmp/ok", 0755);
    const char* socket_path = daemon_.socket_path.c_str();

    attacker spy;
    attacker_options options;
    options.daemon = &daemon_;
    ASSERT_EQ(
        0, attacker_start(&spy, options, [&](attacker_out out) {
            unique_fd conn;
            if (int err = raw_connect(socket_path, &conn)) {
                attacker_say(out, "X connect: " + std::to_string(err));
                return 1;
            }
            auto report = [&](const char* name, const std::string& result) {
                attacker_say(out, std::string("C ") + name + " " + result);
                // A closed connection is opened again for the next case.
                if (result == "closed" && raw_connect(socket_path, &conn) != 0)
                    _exit(1);
            };
            const std::string dir = "/tmp/ok/";
            report("path-1024", try_register(conn.get(), build({dir + std::string(1016, 'x')})));
            report("path-4096", try_register(conn.get(), build({dir + std::string(4088, 'x')})));
            // 65543 bytes: a 16-bit length would make it "/tmp/ok".
            report("path-65543", try_register(conn.get(), build({dir + std::string(65535, 'x')})));
            report("second-path-1024",
                   try_register(conn.get(), build({"/tmp/ok", dir + std::string(1016, 'x')})));
            report("4097-paths",
                   try_register(conn.get(), build(std::vector<std::string>(4097, "/tmp/ok"))));
            report("no-paths", try_register(conn.get(), build({})));
            raw_register open_ended = build({"/tmp/ok"});
            open_ended.regions[1].pop_back();  // the NUL
            raw_register_sync(&open_ended);
            report("unterminated", try_register(conn.get(), open_ended));
            report("nine-excludes",
                   try_register(conn.get(),
                                build({"/tmp/ok"}, std::vector<std::string>(9, "/tmp/ok/x"))));
            report("exclude-1025",
                   try_register(conn.get(), build({"/tmp/ok"}, {"/" + std::string(1024, 'e')})));
            raw_register copy_send = build({"/tmp/ok"});
            copy_send.msg.callback.disposition = MACH_MSG_TYPE_COPY_SEND;
            report("copy-send", try_register(conn.get(), copy_send));

            // A trailer claiming root behind a proper registration: the datagram is not one.
            raw_register proper = build({"/tmp/ok"});
            std::vector<uint8_t> bytes;
            unique_fd memfd;
            raw_register_encode(proper, &bytes, &memfd);
            mach_msg_audit_trailer_t forged = {};
            forged.msgh_trailer_type = MACH_MSG_TRAILER_FORMAT_0;
            forged.msgh_trailer_size = MACH_MSG_TRAILER_AUDIT_SIZE;
            bytes.insert(bytes.end(), reinterpret_cast<uint8_t*>(&forged),
                         reinterpret_cast<uint8_t*>(&forged) + sizeof forged);
            unique_fd ours, theirs;
            raw_socketpair(&ours, &theirs);
            int fds[] = {theirs.get()};
            raw_send(conn.get(), bytes.data(), bytes.size(), fds, SECURITY_WAIT_MS);
            theirs.reset();
            raw_datagram reply;
            bool refused = raw_receive(conn.get(), SECURITY_WAIT_MS, &reply) == 0 &&
                           field_at<int32_t>(reply, 32) == MIG_BAD_ARGUMENTS;
            report("trailer-behind",
                   std::string(refused ? "refused" : "not refused") +
                       (wait_hangup(ours.get(), ABUSE_RELEASE_MS) ? " released" : ""));

            // Callback rights that are no event port. A pipe: the first event message fails and
            // the stream is dropped, and the pipe is let go once the stream is unregistered.
            int pipe_fds[2];
            if (pipe2(pipe_fds, O_CLOEXEC) != 0)
                return 1;
            unique_fd pipe_read(pipe_fds[0]);
            raw_register to_pipe = build({"/tmp/ok"});
            to_pipe.msg.since_when = 0;
            unique_fd pipe_private;
            report("callback-pipe", try_register(conn.get(), to_pipe, pipe_fds[1], &pipe_private));
            close(pipe_fds[1]);
            pipe_private.reset();  // the registration's last send right: the daemon ends it
            pollfd p = {pipe_read.get(), POLLIN, 0};
            char byte;
            bool let_go =
                poll(&p, 1, SECURITY_WAIT_MS) == 1 && read(pipe_read.get(), &byte, 1) == 0;
            report("pipe-let-go", let_go ? "yes" : "no");
            // Its own connection to the daemon: the daemon's event messages come back to the
            // daemon as requests (with its own credentials) and are answered as unknown ones.
            unique_fd loop;
            raw_connect(socket_path, &loop);
            raw_register to_daemon = build({"/tmp/ok"});
            to_daemon.msg.since_when = 0;
            report("callback-daemon", try_register(conn.get(), to_daemon, loop.get()));

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
            std::string blob = "none";
            if (raw_receive(events_end.get(), SECURITY_WAIT_MS, &notice) == 0) {
                auto msg = field_at<events_message_t>(notice, 0);
                size_t at = sizeof msg + msg.path_offsets.size + msg.flags.size + msg.ids.size;
                if (msg.head.msgh_id == VANTLES_MSG_EVENTS && msg.num_events == 1 &&
                    notice.bytes.size() == at + msg.paths.size)
                    blob = std::string(reinterpret_cast<const char*>(notice.bytes.data()) + at,
                                       msg.paths.size);
            }
            report("path-1023",
                   result + (blob == longest + std::string(1, '\0') ? " exact" : " other"));

            live_stream fine;
            if (live_stream_start(&fine, live_options(*options.daemon, {"/tmp/ok"},
                                                      VANTLES_FLAG_FILE_EVENTS)) != 0)
                return 1;
            attacker_say(out, "R");
            bool got = live_wait_event(&fine.sink, live_path_is("/tmp/ok/after"), SECURITY_WAIT_MS);
            attacker_say(out, got ? "END" : "X no event after the abuse");
            return 0;
        }));
    std::vector<std::string> lines = attacker_read(&spy, "R", SECURITY_WAIT_MS);
    ASSERT_FALSE(lines.empty());
    ASSERT_EQ("R", lines.back());
    make_file("/tmp/ok/after", 0644);
    std::vector<std::string> rest = attacker_read(&spy, "END", SECURITY_WAIT_MS);
    lines.insert(lines.end(), rest.begin(), rest.end());
    EXPECT_EQ(0, attacker_wait(&spy, SECURITY_WAIT_MS));

    const std::string bad_args = "code " + std::to_string(VANTLES_ERR_BAD_ARGS) + " released";
    const std::vector<std::string> expected = {
        "C path-1024 " + bad_args,
        "C path-4096 " + bad_args,
        "C path-65543 " + bad_args,
        "C second-path-1024 " + bad_args,
        "C 4097-paths " + bad_args,
        "C no-paths " + bad_args,
        "C unterminated " + bad_args,
        "C nine-excludes " + bad_args,
        "C exclude-1025 " + bad_args,
        "C copy-send code " + std::to_string(MIG_TYPE_ERROR) + " released",
        "C trailer-behind refused released",
        "C callback-pipe code 0",
        "C pipe-let-go yes",
        "C callback-daemon code 0",
        "C path-1023 code 0 exact",
        "R",
        "END",
    };
    EXPECT_EQ(expected, lines);
    EXPECT_TRUE(test_daemon_running(&daemon_));
}

}  // namespace
