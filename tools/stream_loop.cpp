// The loop of `vantles watch` and `vantles history` (see stream_command.h): registers the
// stream and delivers its batches.
//
// The loop polls the stream's descriptor and a self-pipe written by the SIGINT, SIGTERM and
// SIGHUP handlers, so a signal ends the command through the normal path: unregister, exit 0.
// The handlers reset themselves: a second signal (say, while a registration hangs) ends the
// process at once.
#include "tools/options.h"
#include "tools/signal_pipe.h"
#include "tools/stream_command.h"
#include "tools/tool.h"

#include "platform/mounts.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

bool tool_stream_going_on(int dispatch_result) {
    switch (dispatch_result) {
        case 0:
        case ETIMEDOUT:
        case EINTR:
            return true;
        case EPROTO:
            tool_error("dropped a message from the daemon that is not an event batch");
            return true;
        case ECONNRESET:
            tool_error("the daemon ended the stream (did vantlesd stop?)");
            return false;
        default:
            tool_error("receiving events: %s", strerror(dispatch_result));
            return false;
    }
}

namespace {

// Says on standard error which paths lie on a volume the daemon cannot watch as a whole, which
// it watches directory by directory (not every change is seen); where it cannot watch them at
// all, their stream starts with a dropped notice, and nothing more will come for them.
void warn_unwatched(const vantles_stream_options& options) {
    vantles_connection conn;
    if (vantles_connect(options.socket_path, &conn) != 0) {
        return;
    }
    for (const std::string& path : options.paths) {
        struct stat st;
        uint32_t dev = options.device;
        if (dev == 0 && stat(path.c_str(), &st) == 0) {
            dev = device_number_32(st.st_dev);
        }
        uint32_t kind = VANTLES_WATCH_UNKNOWN;
        char reason[VANTLES_WATCH_REASON_LENGTH + 1] = {};
        if (dev == 0 || vantles_get_volume_watch(&conn, dev, &kind, reason) != 0) {
            continue;
        }
        // A volume nobody watched yet is watched directory by directory from this
        // registration on (the daemon may not have recorded that yet); where even that is
        // impossible, the stream starts with a dropped notice.
        if (kind == VANTLES_WATCH_NONE || kind == VANTLES_WATCH_DIRS) {
            tool_error(
                "%s: the daemon watches the volume holding it directory by directory (%s): "
                "only changes made through this machine's mounts of it",
                path.c_str(), reason);
        }
    }
}

}  // namespace

int tool_start_stream(vantles_stream* stream, const vantles_stream_options& options) {
    int err = vantles_stream_start(stream);
    if (err == ENOENT || err == ECONNREFUSED) {
        tool_report_unreachable(options.socket_path, err);
    } else if (err == VANTLES_ERR_FUTURE_ID) {
        tool_error("--since %llu: %s (code %d)",
                   static_cast<unsigned long long>(options.since_when), tool_describe_code(err),
                   err);
        return TOOL_EXIT_USAGE;
    } else if (err != 0) {
        tool_error("the daemon refused the registration: %s (code %d)", tool_describe_code(err),
                   err);
    } else {
        warn_unwatched(options);
    }
    return err == 0 ? 0 : TOOL_EXIT_FAILURE;
}

namespace {

constexpr int LOOP_DAEMON_ENDED = -1;  // run_loop: the daemon ended the stream

// Delivers batches until a signal, the output is complete, or the end of the stream. Returns
// the exit status, or LOOP_DAEMON_ENDED.
int run_loop(vantles_stream* stream, int signal_fd, const tool_event_output& out) {
    pollfd fds[2] = {{signal_fd, POLLIN, 0}, {vantles_stream_fd(stream), POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            tool_error("poll: %s", strerror(errno));
            return TOOL_EXIT_FAILURE;
        }
        if (fds[0].revents != 0) {
            return TOOL_EXIT_OK;
        }
        if (fds[1].revents == 0) {
            continue;
        }
        int err = vantles_stream_dispatch(stream, 0);
        if (fflush(out.file) != 0) {
            tool_error("writing the events: %s", strerror(errno));
            return TOOL_EXIT_FAILURE;
        }
        if (tool_output_complete(out)) {
            return TOOL_EXIT_OK;
        }
        if (err == ECONNRESET && out.follow_restarts) {
            return LOOP_DAEMON_ENDED;
        }
        if (!tool_stream_going_on(err)) {
            return TOOL_EXIT_FAILURE;
        }
    }
}

// A rescan notice for each watched path, as the daemon words one: a user-dropped event.
void print_rescan(const vantles_stream_options& options, uint64_t id, tool_event_output* out) {
    std::vector<vantles_event> notices;
    for (const std::string& path : options.paths) {
        notices.push_back({id, VANTLES_EVENT_USER_DROPPED, path.c_str()});
    }
    tool_print_batch(out, notices);
}

}  // namespace

int tool_run_stream(const char* command, const vantles_stream_options& options,
                    tool_event_output* out) {
    // Reachability first, so that a missing daemon is told apart from a refused registration.
    vantles_connection probe;
    int err = vantles_connect(options.socket_path, &probe);
    if (err != 0) {
        tool_report_unreachable(options.socket_path, err);
        return TOOL_EXIT_FAILURE;
    }
    vantles_close(&probe);

    unique_fd signal_read, signal_write;
    err = tool_signal_pipe_install({SIGINT, SIGTERM, SIGHUP}, &signal_read, &signal_write);
    if (err != 0) {
        tool_error("signal handlers: %s", strerror(err));
        return TOOL_EXIT_FAILURE;
    }
    tool_resume_point resume;
    if (out->follow_restarts) {
        tool_resume_prepare(options, &resume);
    }
    vantles_stream_options session = options;
    int status = LOOP_DAEMON_ENDED;
    while (status == LOOP_DAEMON_ENDED) {
        vantles_stream* stream = nullptr;
        err = vantles_stream_create(session, tool_print_batch, out, &stream);
        if (err != 0) {
            tool_error("%s: %s", command, strerror(err));
            status = TOOL_EXIT_FAILURE;
            break;
        }
        status = tool_start_stream(stream, session);
        if (status == 0) {
            status = run_loop(stream, signal_read.get(), *out);
        }
        vantles_stream_destroy(stream);
        if (status == LOOP_DAEMON_ENDED) {
            resume.after = std::max(resume.after, out->highest);
            tool_error("the daemon ended the stream: waiting for it to come back");
            std::string rescan;
            pollfd signal = {signal_read.get(), POLLIN, 0};
            for (int wait_ms = tool_resume_wait_ms(0);; wait_ms = tool_resume_wait_ms(wait_ms)) {
                if (poll(&signal, 1, wait_ms) > 0) {
                    status = TOOL_EXIT_OK;
                    break;
                }
                if (tool_daemon_back(options, &resume, &session.since_when, &rescan) == 0) {
                    break;
                }
            }
            if (status == LOOP_DAEMON_ENDED && !rescan.empty()) {
                print_rescan(options, session.since_when, out);
                fflush(out->file);
            }
        }
    }
    tool_signal_pipe_detach();  // before the pipe closes with signal_write
    return status;
}
