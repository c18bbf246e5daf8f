// `vantles watch`: registers a stream over the given paths and prints its events, one line
// each (or one JSON object each), until a signal, the event count, or the daemon ends it.
//
// The main loop polls the stream's descriptor and a self-pipe written by the SIGINT, SIGTERM
// and SIGHUP handlers, so a signal ends the watch through the normal path: unregister, exit 0.
// The handlers reset themselves: a second signal (say, while a registration hangs) ends the
// process at once.
#include "platform/unique_fd.h"
#include "tools/json_out.h"
#include "tools/options.h"
#include "tools/tool.h"
#include "vantles/stream.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

namespace {

constexpr uint64_t WATCH_DEFAULT_LATENCY_US = 100000;  // 0.1 s
constexpr size_t WATCH_MAX_EXCLUDES = 8;

enum watch_key {
    WATCH_LATENCY,
    WATCH_FILES,
    WATCH_EXCLUDE,
    WATCH_SINCE,
    WATCH_NO_DEFER,
    WATCH_IGNORE_SELF,
    WATCH_MARK_SELF,
    WATCH_DEVICE,
    WATCH_SOCKET,
    WATCH_COUNT,
    WATCH_JSON,
};

constexpr tool_option WATCH_OPTIONS[] = {
    {"latency", true, WATCH_LATENCY},      {"files", false, WATCH_FILES},
    {"exclude", true, WATCH_EXCLUDE},      {"since", true, WATCH_SINCE},
    {"no-defer", false, WATCH_NO_DEFER},   {"ignore-self", false, WATCH_IGNORE_SELF},
    {"mark-self", false, WATCH_MARK_SELF}, {"device", true, WATCH_DEVICE},
    {"socket", true, WATCH_SOCKET},        {"count", true, WATCH_COUNT},
    {"json", false, WATCH_JSON},
};

// What the batch callback needs: the output form, the count limit and what was printed.
struct watch_output {
    bool json = false;
    uint64_t limit = 0;  // 0: no limit
    uint64_t printed = 0;
    std::string line;  // reused for each event
};

bool limit_reached(const watch_output& out) {
    return out.limit != 0 && out.printed >= out.limit;
}

void print_batch(void* ctx, std::span<const vantles_event> events) {
    auto* out = static_cast<watch_output*>(ctx);
    for (const vantles_event& event : events) {
        if (limit_reached(*out)) {
            return;
        }
        out->line.clear();
        if (out->json) {
            json_append_event(&out->line, event);
        } else {
            char flags[512];  // room for the names of all 32 bits
            size_t needed = vantles_format_flags(event.flags, ",", flags, sizeof flags);
            out->line = std::to_string(event.id);
            out->line += ' ';
            out->line += needed == 0 ? "none" : flags;
            out->line += ' ';
            out->line += event.path;
        }
        out->line += '\n';
        fwrite(out->line.data(), 1, out->line.size(), stdout);
        out->printed++;
    }
}

// Write end of the self-pipe; the handlers only write one byte to it.
std::atomic<int> watch_signal_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

void on_signal(int) {
    int saved = errno;
    char byte = 1;
    ssize_t written = write(watch_signal_fd.load(), &byte, 1);
    (void)written;  // a full pipe already wakes the loop
    errno = saved;
}

// The self-pipe (read end in *read_end, write end in *write_end) and the handlers. 0 or an
// errno value.
int install_signal_pipe(unique_fd* read_end, unique_fd* write_end) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return errno;
    }
    read_end->reset(fds[0]);
    write_end->reset(fds[1]);
    watch_signal_fd.store(fds[1]);
    struct sigaction action = {};
    action.sa_handler = on_signal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        if (sigaction(sig, &action, nullptr) != 0) {
            return errno;
        }
    }
    return 0;
}

// A path of the volume: normalised, "/" for its root, else without the leading "/" (as the
// daemon compares volume-relative paths). 0 or an errno value.
int volume_path(const char* operand, std::string* out) {
    int err = tool_normalise_path(std::string("/") + operand, out);
    if (err == 0 && *out != "/") {
        out->erase(0, 1);
    }
    return err;
}

// The paths of the registration: real paths of existing files, or volume paths with --device.
int collect_paths(const std::vector<const char*>& operands, bool on_device,
                  std::vector<std::string>* paths) {
    for (const char* operand : operands) {
        std::string path;
        int err = on_device ? volume_path(operand, &path) : tool_real_path(operand, &path);
        if (err != 0) {
            tool_error("%s: %s", operand, strerror(err));
            return TOOL_EXIT_FAILURE;
        }
        paths->push_back(path);
    }
    return 0;
}

// An exclusion: its real path when it exists (as the daemon will report it), else the
// normalised absolute path (a directory that may appear later); a volume path with --device.
int exclude_path(const char* operand, bool on_device, std::string* out) {
    if (!on_device && tool_real_path(operand, out) == 0) {
        return 0;
    }
    int err = on_device ? volume_path(operand, out) : tool_normalise_path(operand, out);
    if (err != 0) {
        tool_error("%s: %s", operand, strerror(err));
        return TOOL_EXIT_FAILURE;
    }
    return 0;
}

// Parses the command line into options. 0, or the exit status to return (usage errors, help).
int parse_watch_args(int argc, char** argv, vantles_stream_options* opt, watch_output* out,
                     const char** socket, bool* help) {
    std::vector<tool_parsed_option> parsed;
    std::vector<const char*> operands, excludes;
    int status = tool_parse_args(argc, argv, WATCH_OPTIONS, &parsed, &operands);
    if (status != 0) {
        return status;
    }
    opt->latency_us = WATCH_DEFAULT_LATENCY_US;
    for (const tool_parsed_option& o : parsed) {
        int err = 0;
        switch (o.key) {
            case TOOL_OPTION_HELP:
                *help = true;
                return 0;
            case WATCH_LATENCY:
                err = tool_parse_seconds(o.value, &opt->latency_us);
                break;
            case WATCH_FILES:
                opt->create_flags |= VANTLES_FLAG_FILE_EVENTS;
                break;
            case WATCH_EXCLUDE:
                excludes.push_back(o.value);
                break;
            case WATCH_SINCE:
                err = tool_parse_event_id(o.value, &opt->since_when);
                break;
            case WATCH_NO_DEFER:
                opt->create_flags |= VANTLES_FLAG_NO_DEFER;
                break;
            case WATCH_IGNORE_SELF:
                opt->create_flags |= VANTLES_FLAG_IGNORE_SELF;
                break;
            case WATCH_MARK_SELF:
                opt->create_flags |= VANTLES_FLAG_MARK_SELF;
                break;
            case WATCH_DEVICE:
                err = tool_parse_device(o.value, &opt->device);
                break;
            case WATCH_SOCKET:
                *socket = o.value;
                break;
            case WATCH_COUNT:
                err = tool_parse_u64(o.value, &out->limit);
                err = err == 0 && out->limit == 0 ? EINVAL : err;
                break;
            case WATCH_JSON:
                out->json = true;
                break;
        }
        if (err != 0) {
            const char* name = "";
            for (const tool_option& known : WATCH_OPTIONS) {
                name = known.key == o.key ? known.name : name;
            }
            tool_error("--%s: invalid value '%s' (try 'vantles watch --help')", name, o.value);
            return TOOL_EXIT_USAGE;
        }
    }
    if (operands.empty()) {
        tool_error("watch: no path given (try 'vantles watch --help')");
        return TOOL_EXIT_USAGE;
    }
    if (excludes.size() > WATCH_MAX_EXCLUDES) {
        tool_error("watch: at most %zu --exclude paths", WATCH_MAX_EXCLUDES);
        return TOOL_EXIT_USAGE;
    }
    bool on_device = opt->device != 0;
    status = collect_paths(operands, on_device, &opt->paths);
    for (size_t i = 0; status == 0 && i < excludes.size(); i++) {
        std::string path;
        status = exclude_path(excludes[i], on_device, &path);
        opt->excludes.push_back(path);
    }
    return status;
}

// Delivers batches until a signal, the count, or the end of the stream. Returns the exit
// status.
int run_loop(vantles_stream* stream, int signal_fd, const watch_output& out) {
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
        if (fflush(stdout) != 0) {
            tool_error("writing the events: %s", strerror(errno));
            return TOOL_EXIT_FAILURE;
        }
        if (limit_reached(out)) {
            return TOOL_EXIT_OK;
        }
        switch (err) {
            case 0:
            case ETIMEDOUT:
            case EINTR:
                break;
            case EPROTO:
                tool_error("dropped a message from the daemon that is not an event batch");
                break;
            case ECONNRESET:
                tool_error("the daemon ended the stream (did vantlesd stop?)");
                return TOOL_EXIT_FAILURE;
            default:
                tool_error("receiving events: %s", strerror(err));
                return TOOL_EXIT_FAILURE;
        }
    }
}

}  // namespace

void watch_help(FILE* out) {
    fputs(
        "vantles watch [OPTIONS] PATH...\n"
        "  Watches the paths and prints one line per event: ID FLAGS PATH, the flags by\n"
        "  name joined by ',' ('none' when none). Paths must exist; they are made absolute\n"
        "  with symbolic links resolved, as the daemon reports them. Runs until SIGINT or\n"
        "  SIGTERM (exit 0).\n"
        "  --latency SECONDS  how long the daemon collects events before delivering them\n"
        "                     (decimal, default 0.1)\n"
        "  --files            one event per changed file (default: one per directory in\n"
        "                     which something changed)\n"
        "  --exclude PATH     leave out a directory under a watched path (at most 8)\n"
        "  --since ID         start after event ID, replaying the history since then, or\n"
        "                     'now' (the default)\n"
        "  --no-defer         deliver the first event at once, then wait the latency\n"
        "  --ignore-self      no events caused by this process\n"
        "  --mark-self        flag events caused by this process ('own')\n"
        "  --device DEV       paths are relative to the volume DEV (MAJOR:MINOR, or the\n"
        "                     number stat -c %d prints); they are not checked here\n"
        "  --socket PATH      the daemon's socket (default $VANTLESD_SOCKET, else\n"
        "                     /run/vantlesd/vantlesd.sock)\n"
        "  --count N          exit (status 0) after N events\n"
        "  --json             one JSON object per line: "
        "{\"id\":N,\"flags\":[...],\"path\":\"...\"}\n",
        out);
}

int watch_command(int argc, char** argv) {
    vantles_stream_options opt;
    watch_output out;
    const char* socket_option = nullptr;
    bool help = false;
    int status = parse_watch_args(argc, argv, &opt, &out, &socket_option, &help);
    if (help) {
        watch_help(stdout);
        return TOOL_EXIT_OK;
    }
    if (status != 0) {
        return status;
    }
    const char* socket = tool_socket_path(socket_option);
    opt.socket_path = socket;

    // Reachability first, so that a missing daemon is told apart from a refused registration.
    vantles_connection probe;
    int err = vantles_connect(socket, &probe);
    if (err != 0) {
        tool_report_unreachable(socket, err);
        return TOOL_EXIT_FAILURE;
    }
    vantles_close(&probe);

    unique_fd signal_read, signal_write;
    err = install_signal_pipe(&signal_read, &signal_write);
    if (err != 0) {
        tool_error("signal handlers: %s", strerror(err));
        return TOOL_EXIT_FAILURE;
    }
    vantles_stream* stream = nullptr;
    err = vantles_stream_create(opt, print_batch, &out, &stream);
    if (err != 0) {
        tool_error("watch: %s", strerror(err));
        return TOOL_EXIT_FAILURE;
    }
    err = vantles_stream_start(stream);
    if (err == ENOENT || err == ECONNREFUSED) {
        tool_report_unreachable(socket, err);
        status = TOOL_EXIT_FAILURE;
    } else if (err != 0) {
        tool_error("the daemon refused the registration: %s (code %d)", tool_describe_code(err),
                   err);
        status = TOOL_EXIT_FAILURE;
    } else {
        status = run_loop(stream, signal_read.get(), out);
    }
    vantles_stream_destroy(stream);
    watch_signal_fd.store(-1);  // before the pipe closes with signal_write
    return status;
}
