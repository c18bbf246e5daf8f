// What `vantles watch`, `vantles history` and `vantles run` share: the parsing of their command
// lines into stream options, the printing of event batches (one line or one JSON object per
// event), and the loop that runs a registered stream until a signal, the end of the output or
// the daemon ends it.
#pragma once

#include "tools/filter.h"
#include "tools/options.h"
#include "vantles/stream.h"

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

// Which command a command line belongs to: the options each takes and their defaults.
enum class tool_stream_kind { watch, history, run, publish };

// Where and how batches are printed, and when the output is complete.
struct tool_event_output {
    FILE* file = stdout;
    bool json = false;
    uint64_t limit = 0;               // events to print before the output is complete; 0: no limit
    bool until_history_done = false;  // complete once the history-done event is printed
    uint64_t printed = 0;
    bool history_done = false;     // the history-done event was printed
    uint64_t highest = 0;          // the highest id delivered: where a resumed stream goes on
    tool_filter filter;            // --include, --exclude GLOB, --event: what is not printed
    std::string format;            // --format: %i %f %p %t; empty: "ID FLAGS PATH"
    bool follow_restarts = false;  // wait for a daemon that ended the stream, and go on
    std::string line;              // reused for each event
};

struct tool_stream_args {
    vantles_stream_options options;
    tool_event_output output;
    const char* socket = nullptr;         // the --socket value, null when not given
    bool help = false;                    // --help was given: nothing else was checked
    std::vector<tool_parsed_option> own;  // the caller's own options, in command-line order
};

// Parses the command line of a watch, a history or a run into args: the options, then the
// paths (which must exist unless --device is given). Options of the table own (keys of their
// own, not those of this parser) are accepted too and collected, unchecked, in args->own.
// 0, or the exit status to return (a usage error, or a path that cannot be resolved) after
// printing the reason.
int tool_parse_stream_args(tool_stream_kind kind, int argc, char** argv, tool_stream_args* args,
                           std::span<const tool_option> own = {});

// True when the output wants no more events.
bool tool_output_complete(const tool_event_output& out);

// The batch callback: prints each event ("ID FLAGS PATH", or the JSON object) on out->file
// until the output is complete; events after that, in the same batch, are not printed.
void tool_print_batch(void* ctx, std::span<const vantles_event> events);

// The history uuid of each path's volume, as the daemon names it ("NO-UUID-..." for a volume
// that keeps no history). 0, or an errno value with *why (the path and the reason).
int tool_volume_uuids(const vantles_connection& conn, const std::vector<std::string>& paths,
                      std::vector<std::string>* uuids, std::string* why);

// Starts (registers) a created stream of options, saying why it could not, and which paths lie
// on a volume the daemon cannot watch. 0 or the exit status.
int tool_start_stream(vantles_stream* stream, const vantles_stream_options& options);

// Whether a stream goes on after vantles_stream_dispatch returned dispatch_result; says on
// standard error what ended it, or what it dropped.
bool tool_stream_going_on(int dispatch_result);

// Where a stream goes on after the daemon ended it: the history uuid of each watched path's
// volume, and the last id delivered (or the one the stream started after).
struct tool_resume_point {
    std::vector<std::string> uuids;
    uint64_t after = 0;
    bool known = false;  // the daemon answered both when the stream started
};

// Fills point as the stream with options starts (nothing when the daemon does not answer).
void tool_resume_prepare(const vantles_stream_options& options, tool_resume_point* point);

// Whether the daemon answers again after it ended the stream. 0 with *since (where the new
// stream goes on) and *rescan_reason (empty when the history covers what changed meanwhile;
// else why the stream goes on from the current id, which a rescan must make up for), said on
// standard error; EAGAIN while it does not answer.
int tool_daemon_back(const vantles_stream_options& options, tool_resume_point* point,
                     uint64_t* since, std::string* rescan_reason);

// How long to wait before asking again, after waiting waited_ms (0 the first time): doubling
// from a quarter of a second up to 4 seconds.
int tool_resume_wait_ms(int waited_ms);

// Connects, registers a stream with options (printing into out) and delivers its batches
// until SIGINT, SIGTERM or SIGHUP, the output is complete, or the daemon ends the stream (with
// out->follow_restarts: until it ends it in another way than by stopping). command names the
// command in messages. Returns the exit status.
int tool_run_stream(const char* command, const vantles_stream_options& options,
                    tool_event_output* out);
