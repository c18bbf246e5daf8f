// `vantles watch`: registers a stream over the given paths and prints its events, one line
// each (or one JSON object each), until a signal, the event count, or the daemon ends it.
#include "tools/stream_command.h"
#include "tools/tool.h"

void watch_help(FILE* out) {
    fputs(
        "vantles watch [OPTIONS] PATH...\n"
        "  Watches the paths and prints one line per event: ID FLAGS PATH, the flags by\n"
        "  name joined by ',' ('none' when none). Paths must exist; they are made absolute\n"
        "  with symbolic links resolved, as the daemon reports them. Runs until SIGINT or\n"
        "  SIGTERM (exit 0). When the daemon stops, waits for it and goes on from its\n"
        "  history (a user-dropped event for each path when the history cannot tell).\n"
        "  --latency SECONDS  how long the daemon collects events before delivering them\n"
        "                     (decimal, default 0.1)\n"
        "  --files            one event per changed file (default: one per directory in\n"
        "                     which something changed)\n"
        "  --exclude PATH     leave out a directory under a watched path (at most 8); a\n"
        "                     GLOB (with * ? [) leaves out the paths it matches\n"
        "  --include GLOB     print only paths matching one of these globs: * ? [...] in\n"
        "                     one component, ** for any number; without '/', the name\n"
        "  --event NAMES      print only events with one of these flags (created,...)\n"
        "                     (globs and flags are filtered here; notices always pass)\n"
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
        "{\"id\":N,\"flags\":[...],\"path\":\"...\",\"time\":\"...\"}\n"
        "  --format FORMAT    one line per event in FORMAT: %i id, %f flags, %p path,\n"
        "                     %t time the batch arrived (ISO 8601, UTC), %% a '%'\n",
        out);
}

int watch_command(int argc, char** argv) {
    tool_stream_args args;
    int status = tool_parse_stream_args(tool_stream_kind::watch, argc, argv, &args);
    if (args.help) {
        watch_help(stdout);
        return TOOL_EXIT_OK;
    }
    if (status != 0) {
        return status;
    }
    args.options.socket_path = tool_socket_path(args.socket);
    args.output.follow_restarts = true;
    return tool_run_stream("watch", args.options, &args.output);
}
