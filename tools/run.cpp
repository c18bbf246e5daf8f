// `vantles run`: runs a command after each batch of changes under the given paths, once they
// have been quiet for a while, never two runs at once. With --state it keeps the last event id
// handed to the command and the volumes' history uuids, so that a run started again (after a
// stop, a daemon restart or a reboot) first hands the command what changed meanwhile, from the
// history, or asks it for a rescan when the history cannot tell. A daemon that ends the stream
// is waited for, and the stream goes on the same way.
//
// The loop polls the stream's descriptor and a self-pipe written by the signal handlers
// (SIGCHLD included), so the command runs beside the watch: changes made during a run are
// collected for the next one. SIGINT, SIGTERM and SIGHUP end the watch; a running command's
// process group is sent SIGTERM, and SIGKILL after RUN_STOP_GRACE_MS, and is waited for.
#include "common/monotonic_clock.h"
#include "tools/options.h"
#include "tools/run.h"
#include "tools/signal_pipe.h"
#include "tools/stream_command.h"
#include "tools/tool.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <unordered_set>

namespace {

constexpr uint64_t RUN_DEFAULT_SETTLE_US = 200000;
constexpr int RUN_STOP_GRACE_MS = 5000;
constexpr uint32_t RUN_CHANGE_FLAGS_NOTICES =
    VANTLES_EVENT_USER_DROPPED | VANTLES_EVENT_KERNEL_DROPPED | VANTLES_EVENT_IDS_WRAPPED;

enum run_key {
    RUN_SETTLE,
    RUN_STATE,
    RUN_ONCE,
    RUN_NULL,
    RUN_INITIAL,
    RUN_RESTART,
    RUN_CLEAR,
    RUN_NO_VCS_IGNORE,
    RUN_SIGNAL,
};

constexpr tool_option RUN_OWN_OPTIONS[] = {
    {"settle", true, RUN_SETTLE},    {"state", true, RUN_STATE},
    {"once", false, RUN_ONCE},       {"null", false, RUN_NULL},
    {"initial", false, RUN_INITIAL}, {"restart", false, RUN_RESTART},
    {"clear", false, RUN_CLEAR},     {"no-vcs-ignore", false, RUN_NO_VCS_IGNORE},
    {"signal", true, RUN_SIGNAL},
};

struct run_args {
    tool_stream_args stream;
    uint64_t settle_us = RUN_DEFAULT_SETTLE_US;
    const char* state_file = nullptr;
    bool once = false;
    bool nul = false;
    bool initial = false;        // one run at the start, before any change
    bool restart = false;        // changes stop a running command and start it again
    bool clear = false;          // clear the terminal before each run
    bool vcs_ignore = true;      // no run for what git ignores
    int stop_signal = SIGTERM;   // what stops a command (then SIGKILL after the grace time)
    std::vector<char*> command;  // null-terminated
};

// The changes not yet handed to a run, and the highest id seen. Ids are not delivered in order
// (a change merged into a queued event keeps its place, a replay goes in path order, a dropped
// notice carries the first lost id): the highest one is the position.
struct run_batch {
    const tool_filter* filter = nullptr;  // --include, --exclude GLOB, --event
    run_input next;
    std::unordered_set<std::string> listed;
    uint64_t highest = 0;
    uint64_t last_change_us = 0;  // monotonic time of the last change collected
    bool pending() const { return next.rescan || !next.paths.empty(); }
};

// Says why the next run is a rescan, once per run.
void report_rescan(const vantles_event& event) {
    if ((event.flags & VANTLES_EVENT_IDS_WRAPPED) != 0) {
        tool_error("run: the daemon's event ids wrapped around: rescan");
    } else if ((event.flags & VANTLES_EVENT_KERNEL_DROPPED) != 0) {
        tool_error(
            "run: the kernel lost events under %s (its queue overflowed, or a directory "
            "could not be named): rescan",
            event.path);
    } else {
        tool_error(
            "run: the daemon dropped events under %s (this watch fell behind, the history "
            "has a gap, or the daemon was restarted without its kernel queue and cannot "
            "know what changed meanwhile): rescan",
            event.path);
    }
}

void collect_batch(void* ctx, std::span<const vantles_event> events) {
    auto* batch = static_cast<run_batch*>(ctx);
    for (const vantles_event& event : events) {
        batch->highest = std::max(batch->highest, event.id);
        if ((event.flags & RUN_CHANGE_FLAGS_NOTICES) != 0) {
            if (!batch->next.rescan) {
                report_rescan(event);
            }
            batch->next.rescan = true;
        } else if ((event.flags & VANTLES_EVENT_HISTORY_DONE) != 0 ||
                   !tool_filter_keeps(*batch->filter, event)) {
            continue;  // only a position
        } else if (batch->listed.insert(event.path).second) {
            batch->next.paths.emplace_back(event.path);
        }
        batch->last_change_us = monotonic_us();
    }
}

// A signal by name ("TERM", "SIGINT") or number. 0 or EINVAL.
int parse_signal(const char* text, int* signal) {
    std::string_view name(text);
    if (name.starts_with("SIG")) {
        name.remove_prefix(3);
    }
    constexpr struct {
        const char* name;
        int signal;
    } NAMES[] = {{"HUP", SIGHUP},   {"INT", SIGINT},   {"QUIT", SIGQUIT}, {"KILL", SIGKILL},
                 {"USR1", SIGUSR1}, {"USR2", SIGUSR2}, {"TERM", SIGTERM}};
    for (const auto& known : NAMES) {
        if (name == known.name) {
            *signal = known.signal;
            return 0;
        }
    }
    uint64_t number = 0;
    if (tool_parse_u64(text, &number) == 0 && number >= 1 && number < NSIG) {
        *signal = static_cast<int>(number);
        return 0;
    }
    return EINVAL;
}

// Splits "OPTIONS PATH... -- COMMAND [ARG]..." (and takes -0 for --null). 0 or an exit status.
int parse_run_args(int argc, char** argv, run_args* args) {
    std::vector<char*> front;
    int i = 0;
    for (; i < argc && strcmp(argv[i], "--") != 0; i++) {
        front.push_back(strcmp(argv[i], "-0") == 0 ? const_cast<char*>("--null") : argv[i]);
    }
    for (int j = i + 1; j < argc; j++) {
        args->command.push_back(argv[j]);
    }
    args->command.push_back(nullptr);
    int status = tool_parse_stream_args(tool_stream_kind::run, static_cast<int>(front.size()),
                                        front.data(), &args->stream, RUN_OWN_OPTIONS);
    if (status != 0 || args->stream.help) {
        return status;
    }
    for (const tool_parsed_option& o : args->stream.own) {
        switch (o.key) {
            case RUN_SETTLE:
                if (tool_parse_seconds(o.value, &args->settle_us) != 0) {
                    tool_error("--settle: invalid value '%s' (try 'vantles run --help')", o.value);
                    return TOOL_EXIT_USAGE;
                }
                break;
            case RUN_STATE:
                args->state_file = o.value;
                break;
            case RUN_ONCE:
                args->once = true;
                break;
            case RUN_NULL:
                args->nul = true;
                break;
            case RUN_INITIAL:
                args->initial = true;
                break;
            case RUN_RESTART:
                args->restart = true;
                break;
            case RUN_CLEAR:
                args->clear = true;
                break;
            case RUN_NO_VCS_IGNORE:
                args->vcs_ignore = false;
                break;
            case RUN_SIGNAL:
                if (parse_signal(o.value, &args->stop_signal) != 0) {
                    tool_error("--signal: invalid value '%s' (try 'vantles run --help')", o.value);
                    return TOOL_EXIT_USAGE;
                }
                break;
        }
    }
    if (args->command.size() < 2) {
        tool_error("run: no command given after '--' (try 'vantles run --help')");
        return TOOL_EXIT_USAGE;
    }
    return 0;
}

bool keeps_history(const std::string& uuid) {
    return uuid.rfind("NO-UUID", 0) != 0;
}

// Where the stream starts, from the state file: its id when the histories it was kept with
// are still there, else the current id and a rescan first. *state is what to keep from now.
int plan_start(const run_args& args, run_state* state, bool* rescan) {
    vantles_connection conn;
    const char* socket = args.stream.options.socket_path;
    if (int err = vantles_connect(socket, &conn); err != 0) {
        tool_report_unreachable(socket, err);
        return TOOL_EXIT_FAILURE;
    }
    std::vector<std::string> uuids;
    uint64_t current = 0;
    if (std::string why; tool_volume_uuids(conn, args.stream.options.paths, &uuids, &why) != 0) {
        tool_error("run: %s", why.c_str());
        return TOOL_EXIT_FAILURE;
    }
    if (int err = vantles_get_current_event_id(&conn, &current); err != 0) {
        tool_error("run: asking for the current event id: %s (code %d)", tool_describe_code(err),
                   err);
        return TOOL_EXIT_FAILURE;
    }
    run_state kept;
    int err = run_state_read(args.state_file, &kept);
    *rescan = err != 0 && err != ENOENT;
    if (err == EINVAL) {
        tool_error("run: %s is not a state file of vantles run (or is damaged): rescan",
                   args.state_file);
    } else if (err != 0 && err != ENOENT) {
        tool_error("run: reading %s: %s: rescan", args.state_file, strerror(err));
    } else if (err == 0 && kept.uuids != uuids) {
        *rescan = true;
        tool_error(
            "run: the history of the watched volumes is not the one %s was kept with "
            "(another machine, or a new history): rescan",
            args.state_file);
    } else if (err == 0) {
        for (size_t i = 0; i < uuids.size(); i++) {
            if (!keeps_history(uuids[i])) {
                tool_error(
                    "run: the volume of %s keeps no history, so what changed there "
                    "while nothing watched is not known: rescan",
                    args.stream.options.paths[i].c_str());
                *rescan = true;
                kept.id = current;
                break;
            }
        }
        *state = kept;
        return 0;
    }
    state->id = current;
    state->uuids = std::move(uuids);
    return 0;
}

int exit_status_of(int wait_status) {
    return WIFSIGNALED(wait_status) ? 128 + WTERMSIG(wait_status) : WEXITSTATUS(wait_status);
}

struct run_loop {
    const run_args& args;
    vantles_stream* stream;  // null while the daemon is away
    run_batch batch;
    run_state state;
    tool_resume_point resume = {};
    run_vcs vcs = {};              // the git work trees whose ignored files start no run
    uint64_t reconnect_at_us = 0;  // while the daemon is away: when to ask for it again
    int reconnect_wait_ms = 0;
    pid_t child = -1;
    uint64_t child_position = 0;
    bool stopping = false;
    bool restarting = false;  // the running command was stopped for the changes since
    uint64_t kill_at_us = 0;  // when a stopped run's group gets SIGKILL
    bool stream_open = true;
    int status = TOOL_EXIT_OK;

    void save(uint64_t id) {
        if (args.state_file == nullptr || id <= state.id) {
            return;
        }
        state.id = id;
        if (int err = run_state_write(args.state_file, state); err != 0) {
            tool_error("run: writing %s: %s", args.state_file, strerror(err));
        }
    }

    // Hands the collected changes to a new run. False when it could not start.
    bool start_run() {
        run_input input = std::move(batch.next);
        batch.next = {};
        batch.listed.clear();
        input.nul = args.nul;
        child_position = batch.highest;
        if (args.clear) {
            fputs("\033[H\033[2J\033[3J", stdout);  // home, clear the screen and its scrollback
            fflush(stdout);
        }
        if (int err = run_child_start(args.command, input, &child); err != 0) {
            tool_error("run: starting %s: %s", args.command[0], strerror(err));
            return false;
        }
        return true;
    }

    // The run ended with wait_status. True when the watch ends with it (--once).
    bool run_ended(int wait_status) {
        if (restarting) {
            // Stopped for newer changes, which the next run gets at once; so does what was
            // left of its group.
            uint64_t now = monotonic_us();
            run_group_stop(child, args.stop_signal,
                           kill_at_us > now ? static_cast<int>((kill_at_us - now) / 1000) : 0);
            child = -1;
            restarting = false;
            return false;
        }
        if (stopping) {
            // What the command left running in its group (a shell's children) goes too.
            uint64_t now = monotonic_us();
            run_group_stop(child, args.stop_signal,
                           kill_at_us > now ? static_cast<int>((kill_at_us - now) / 1000) : 0);
        }
        child = -1;
        int code = exit_status_of(wait_status);
        if (code != 0 && !stopping) {
            tool_error("run: %s exited with status %d", args.command[0], code);
        }
        // An interrupted run may not have handled its changes: a later start repeats them.
        if (!(stopping && WIFSIGNALED(wait_status))) {
            save(child_position);
        }
        if (args.once) {
            status = code;
            return true;
        }
        return false;
    }

    // Milliseconds until the collected changes have settled; -1 when nothing is waiting.
    int settle_wait_ms() const {
        if ((child > 0 && (!args.restart || restarting)) || stopping || !batch.pending()) {
            return -1;
        }
        uint64_t due = batch.last_change_us + args.settle_us, now = monotonic_us();
        return now >= due ? 0 : static_cast<int>((due - now + 999) / 1000);
    }

    // The daemon ended the stream: ask for it again until it answers.
    void daemon_gone() {
        vantles_stream_destroy(stream);
        stream = nullptr;
        tool_error("run: the daemon ended the stream: waiting for it to come back");
        reconnect_wait_ms = tool_resume_wait_ms(0);
        reconnect_at_us = monotonic_us() + reconnect_wait_ms * uint64_t{1000};
    }

    // Once the daemon answers again, a new stream after the last change collected, or from now
    // with a rescan when its history cannot tell what changed meanwhile. False on a failure
    // that ends the watch.
    bool try_reconnect() {
        reconnect_wait_ms = tool_resume_wait_ms(reconnect_wait_ms);
        reconnect_at_us = monotonic_us() + reconnect_wait_ms * uint64_t{1000};
        vantles_stream_options options = args.stream.options;
        std::string rescan;
        resume.after = std::max(resume.after, batch.highest);
        if (tool_daemon_back(options, &resume, &options.since_when, &rescan) != 0) {
            return true;
        }
        if (!rescan.empty()) {
            batch.next.rescan = true;
            batch.highest = std::max(batch.highest, options.since_when);
            batch.last_change_us = monotonic_us();
        }
        if (vantles_stream_create(options, collect_batch, &batch, &stream) != 0 ||
            tool_start_stream(stream, options) != 0) {
            vantles_stream_destroy(stream);
            stream = nullptr;
            return false;
        }
        return true;
    }

    int run(int signal_fd) {
        for (;;) {
            if (child < 0 && (stopping || !stream_open)) {
                return status;
            }
            if (child < 0 && !batch.pending()) {
                save(batch.highest);  // nothing waits: a history's end is a position too
            }
            int timeout = settle_wait_ms();
            if (child > 0 && (stopping || restarting)) {
                uint64_t now = monotonic_us();
                if (now >= kill_at_us) {
                    kill(-child, SIGKILL);
                    kill_at_us = UINT64_MAX;
                }
                timeout =
                    kill_at_us == UINT64_MAX ? -1 : static_cast<int>((kill_at_us - now) / 1000 + 1);
            }
            if (timeout == 0 && !batch.next.rescan && !vcs.tops.empty()) {
                run_vcs_drop_ignored(vcs, &batch.next.paths);
                if (batch.next.paths.empty()) {  // only what git ignores: no run
                    batch.listed.clear();
                    continue;
                }
            }
            if (timeout == 0 && child > 0) {  // --restart: stop it first
                kill(-child, args.stop_signal);
                restarting = true;
                kill_at_us = monotonic_us() + RUN_STOP_GRACE_MS * uint64_t{1000};
                continue;
            }
            if (timeout == 0) {
                if (!start_run()) {
                    return TOOL_EXIT_FAILURE;
                }
                continue;
            }
            if (stream_open && stream == nullptr && !stopping) {
                uint64_t now = monotonic_us();
                if (now >= reconnect_at_us && !try_reconnect()) {
                    stream_open = false;
                    status = TOOL_EXIT_FAILURE;
                    continue;
                }
                int until = static_cast<int>((std::max(reconnect_at_us, now) - now) / 1000 + 1);
                timeout = timeout < 0 ? until : std::min(timeout, until);
            }
            pollfd fds[2] = {
                {signal_fd, POLLIN, 0},
                {stream_open && stream != nullptr ? vantles_stream_fd(stream) : -1, POLLIN, 0}};
            if (poll(fds, 2, timeout) < 0 && errno != EINTR) {
                tool_error("poll: %s", strerror(errno));
                return TOOL_EXIT_FAILURE;
            }
            int signals[16];
            int count = fds[0].revents != 0 ? tool_signal_pipe_read(signal_fd, signals, 16) : 0;
            for (int i = 0; i < count; i++) {
                if (signals[i] != SIGCHLD && !stopping) {
                    stopping = true;
                    if (child > 0) {
                        kill(-child, args.stop_signal);
                        kill_at_us = monotonic_us() + RUN_STOP_GRACE_MS * uint64_t{1000};
                    }
                }
            }
            int wait_status = 0;
            if (child > 0 && waitpid(child, &wait_status, WNOHANG) == child &&
                run_ended(wait_status)) {
                return status;
            }
            if (stream_open && stream != nullptr && fds[1].revents != 0) {
                int err = vantles_stream_dispatch(stream, 0);
                if (err == ECONNRESET) {
                    daemon_gone();
                } else if (!tool_stream_going_on(err)) {
                    stream_open = false;
                    status = TOOL_EXIT_FAILURE;
                }
            }
        }
    }
};

}  // namespace

void run_help(FILE* out) {
    fputs(
        "vantles run [OPTIONS] PATH... -- COMMAND [ARG]...\n"
        "  Runs COMMAND after each batch of changes under the paths, once they have been\n"
        "  quiet for the settle time; never two runs at once (changes during a run start one\n"
        "  more run after it). The changed paths go to COMMAND's standard input, one a line,\n"
        "  and their count in VANTLES_CHANGES; when the daemon dropped events, COMMAND runs\n"
        "  with VANTLES_RESCAN=1 and no list. A failing COMMAND does not end the watch.\n"
        "  --settle SECONDS   how long the changes must be quiet before a run (default 0.2)\n"
        "  --null, -0         end each path with a NUL byte instead of a newline\n"
        "  --state FILE       keep the last handled event id and the volumes' history uuids\n"
        "                     in FILE; started again, first run COMMAND for what changed\n"
        "                     meanwhile (from the history), or with VANTLES_RESCAN=1 when\n"
        "                     the history cannot tell (a new history, a damaged file)\n"
        "  --once             exit after the first run, with COMMAND's exit status\n"
        "  --initial          run COMMAND once at the start, before any change\n"
        "  --restart          for a long-running COMMAND (a server): changes stop it (its\n"
        "                     process group: SIGTERM, SIGKILL 5 s later) and start it again\n"
        "  --clear            clear the terminal before each run\n"
        "  --signal SIGNAL    what stops a command, for --restart and at the end (default\n"
        "                     TERM; a name such as INT or HUP, or a number); SIGKILL 5 s later\n"
        "  --no-vcs-ignore    also run for files git ignores (by default, changes that\n"
        "                     git check-ignore ignores, and those in .git, start no run)\n"
        "  --latency SECONDS  as for watch (default 0.1)\n"
        "  --files            one path per changed file (default: per directory)\n"
        "  --exclude PATH     as for watch (at most 8), or GLOB\n"
        "  --include GLOB     only changes matching one of these globs (as for watch)\n"
        "  --event NAMES      only changes with one of these flags (as for watch)\n"
        "  --socket PATH      the daemon's socket (as for watch)\n",
        out);
}

int run_command(int argc, char** argv) {
    run_args args;
    int status = parse_run_args(argc, argv, &args);
    if (args.stream.help) {
        run_help(stdout);
        return TOOL_EXIT_OK;
    }
    if (status != 0) {
        return status;
    }
    vantles_stream_options& options = args.stream.options;
    options.socket_path = tool_socket_path(args.stream.socket);
    run_loop loop{args, nullptr, {}, {}};
    bool rescan = false;
    if (args.state_file != nullptr) {
        if (int planned = plan_start(args, &loop.state, &rescan); planned != 0) {
            return planned;
        }
        // Every volume keeps a history: go on from the kept id, or record the current one and
        // take what comes after it, so nothing between the question and the registration is
        // lost. Otherwise only the live changes can be known.
        bool resumable = true;
        for (const std::string& uuid : loop.state.uuids) {
            resumable = resumable && keeps_history(uuid);
        }
        options.since_when = resumable ? loop.state.id : VANTLES_EVENT_ID_NOW;
        loop.batch.highest = loop.state.id;
        if (int err = run_state_write(args.state_file, loop.state); err != 0) {
            tool_error("run: writing %s: %s", args.state_file, strerror(err));
            return TOOL_EXIT_FAILURE;
        }
    }
    loop.batch.filter = &args.stream.output.filter;
    if (args.vcs_ignore) {
        run_vcs_open(options.paths, &loop.vcs);
    }
    loop.batch.next.rescan = rescan;
    loop.batch.last_change_us = monotonic_us();
    tool_resume_prepare(options, &loop.resume);

    unique_fd signal_read, signal_write;
    if (int err = tool_signal_pipe_install({SIGINT, SIGTERM, SIGHUP, SIGCHLD}, &signal_read,
                                           &signal_write);
        err != 0) {
        tool_error("signal handlers: %s", strerror(err));
        return TOOL_EXIT_FAILURE;
    }
    if (int err = vantles_stream_create(options, collect_batch, &loop.batch, &loop.stream);
        err != 0) {
        tool_error("run: %s", strerror(err));
        return TOOL_EXIT_FAILURE;
    }
    status = tool_start_stream(loop.stream, options);
    if (status == 0 && args.initial && !loop.start_run()) {
        status = TOOL_EXIT_FAILURE;
    }
    if (status == 0) {
        status = loop.run(signal_read.get());
    }
    vantles_stream_destroy(loop.stream);
    tool_signal_pipe_detach();
    return status;
}
