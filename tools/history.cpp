// `vantles history`: replays the volumes' history of the given paths after an event id, one
// line (or one JSON object) per event as `vantles watch` prints them, and exits once the
// daemon marks the end of the replay, without waiting for live events.
#include "tools/stream_command.h"
#include "tools/tool.h"

void history_help(FILE* out) {
    fputs(
        "vantles history [OPTIONS] PATH...\n"
        "  Prints the events the volumes' history kept for the paths, in the form of watch,\n"
        "  and exits (status 0) after the history-done line, whose id is the one to give\n"
        "  'vantles watch --since' to go on without a gap. Paths are taken as for watch.\n"
        "  --since ID         only events after event ID (default 0: all that is kept)\n"
        "  --files            one event per changed file (default: one per directory in\n"
        "                     which something changed)\n"
        "  --exclude PATH     leave out a directory under a given path (at most 8), or a\n"
        "                     GLOB's paths, as for watch\n"
        "  --include GLOB     as for watch\n"
        "  --event NAMES      as for watch\n"
        "  --device DEV       paths are relative to the volume DEV (as for watch)\n"
        "  --socket PATH      the daemon's socket (as for watch)\n"
        "  --json             one JSON object per line (as for watch)\n"
        "  --format FORMAT    one line per event in FORMAT (as for watch)\n",
        out);
}

int history_command(int argc, char** argv) {
    tool_stream_args args;
    int status = tool_parse_stream_args(tool_stream_kind::history, argc, argv, &args);
    if (args.help) {
        history_help(stdout);
        return TOOL_EXIT_OK;
    }
    if (status != 0) {
        return status;
    }
    args.options.socket_path = tool_socket_path(args.socket);
    return tool_run_stream("history", args.options, &args.output);
}
