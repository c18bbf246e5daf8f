// The command lines of `vantles watch` and `vantles history` and the printing of their events
// (see stream_command.h).
#include "tools/stream_command.h"

#include "tools/json_out.h"
#include "tools/tool.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <vector>

namespace {

constexpr uint64_t STREAM_DEFAULT_LATENCY_US = 100000;  // 0.1 s
constexpr size_t STREAM_MAX_EXCLUDES = 8;

enum stream_key {
    STREAM_LATENCY,
    STREAM_FILES,
    STREAM_EXCLUDE,
    STREAM_SINCE,
    STREAM_NO_DEFER,
    STREAM_IGNORE_SELF,
    STREAM_MARK_SELF,
    STREAM_DEVICE,
    STREAM_SOCKET,
    STREAM_COUNT,
    STREAM_JSON,
    STREAM_INCLUDE,
    STREAM_EVENT,
    STREAM_FORMAT,
    STREAM_OWN,  // keys from here on are the caller's
};

constexpr tool_option WATCH_OPTIONS[] = {
    {"latency", true, STREAM_LATENCY},      {"files", false, STREAM_FILES},
    {"exclude", true, STREAM_EXCLUDE},      {"since", true, STREAM_SINCE},
    {"no-defer", false, STREAM_NO_DEFER},   {"ignore-self", false, STREAM_IGNORE_SELF},
    {"mark-self", false, STREAM_MARK_SELF}, {"device", true, STREAM_DEVICE},
    {"socket", true, STREAM_SOCKET},        {"count", true, STREAM_COUNT},
    {"json", false, STREAM_JSON},           {"include", true, STREAM_INCLUDE},
    {"event", true, STREAM_EVENT},          {"format", true, STREAM_FORMAT},
};

// A history ends with its replay: no live-delivery options, no count.
constexpr tool_option HISTORY_OPTIONS[] = {
    {"files", false, STREAM_FILES},    {"exclude", true, STREAM_EXCLUDE},
    {"since", true, STREAM_SINCE},     {"device", true, STREAM_DEVICE},
    {"socket", true, STREAM_SOCKET},   {"json", false, STREAM_JSON},
    {"include", true, STREAM_INCLUDE}, {"event", true, STREAM_EVENT},
    {"format", true, STREAM_FORMAT},
};

// A run or a publisher takes the delivery options that shape its batches; the rest are its own.
constexpr tool_option RUN_OPTIONS[] = {
    {"latency", true, STREAM_LATENCY}, {"files", false, STREAM_FILES},
    {"exclude", true, STREAM_EXCLUDE}, {"socket", true, STREAM_SOCKET},
    {"include", true, STREAM_INCLUDE}, {"event", true, STREAM_EVENT},
};

// A past event id for a history: a number below VANTLES_EVENT_ID_NOW, since asking for the
// history after "now" would wait for the first live event. 0 or EINVAL.
int parse_history_since(const char* text, uint64_t* id) {
    uint64_t value = 0;
    if (tool_parse_u64(text, &value) != 0 || value == VANTLES_EVENT_ID_NOW) {
        return EINVAL;
    }
    *id = value;
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

}  // namespace

namespace {

// Applies one parsed option (not --help) to args; an --exclude is collected in excludes.
// 0 or the parse error of its value.
int take_option(const tool_parsed_option& o, bool history, tool_stream_args* args,
                std::vector<const char*>* excludes) {
    vantles_stream_options* opt = &args->options;
    tool_event_output* out = &args->output;
    int err = 0;
    switch (o.key) {
        case STREAM_LATENCY:
            err = tool_parse_seconds(o.value, &opt->latency_us);
            break;
        case STREAM_FILES:
            opt->create_flags |= VANTLES_FLAG_FILE_EVENTS;
            break;
        case STREAM_EXCLUDE:
            // A glob is the tool's own filter; a path, a directory the daemon leaves out.
            if (tool_is_glob(o.value)) {
                out->filter.exclude.emplace_back(o.value);
            } else {
                excludes->push_back(o.value);
            }
            break;
        case STREAM_INCLUDE:
            out->filter.include.emplace_back(o.value);
            err = o.value[0] == '\0' ? EINVAL : 0;
            break;
        case STREAM_FORMAT:
            out->format = o.value;
            err = out->format.empty() ? EINVAL : 0;
            break;
        case STREAM_EVENT: {
            uint32_t flags = 0;
            err = tool_parse_event_names(o.value, &flags);
            out->filter.events |= flags;
            break;
        }
        case STREAM_SINCE:
            err = history ? parse_history_since(o.value, &opt->since_when)
                          : tool_parse_event_id(o.value, &opt->since_when);
            break;
        case STREAM_NO_DEFER:
            opt->create_flags |= VANTLES_FLAG_NO_DEFER;
            break;
        case STREAM_IGNORE_SELF:
            opt->create_flags |= VANTLES_FLAG_IGNORE_SELF;
            break;
        case STREAM_MARK_SELF:
            opt->create_flags |= VANTLES_FLAG_MARK_SELF;
            break;
        case STREAM_DEVICE:
            err = tool_parse_device(o.value, &opt->device);
            break;
        case STREAM_SOCKET:
            args->socket = o.value;
            break;
        case STREAM_COUNT:
            err = tool_parse_u64(o.value, &out->limit);
            err = err == 0 && out->limit == 0 ? EINVAL : err;
            break;
        case STREAM_JSON:
            out->json = true;
            break;
    }
    return err;
}

}  // namespace

int tool_parse_stream_args(tool_stream_kind kind, int argc, char** argv, tool_stream_args* args,
                           std::span<const tool_option> own) {
    bool history = kind == tool_stream_kind::history;
    const char* command = history                             ? "history"
                          : kind == tool_stream_kind::run     ? "run"
                          : kind == tool_stream_kind::publish ? "publish"
                                                              : "watch";
    std::vector<tool_option> table;
    switch (kind) {
        case tool_stream_kind::watch:
            table.assign(std::begin(WATCH_OPTIONS), std::end(WATCH_OPTIONS));
            break;
        case tool_stream_kind::history:
            table.assign(std::begin(HISTORY_OPTIONS), std::end(HISTORY_OPTIONS));
            break;
        case tool_stream_kind::run:
        case tool_stream_kind::publish:
            table.assign(std::begin(RUN_OPTIONS), std::end(RUN_OPTIONS));
            break;
    }
    for (const tool_option& o : own) {
        table.push_back({o.name, o.takes_value, o.key + STREAM_OWN});
    }
    std::vector<tool_parsed_option> parsed;
    std::vector<const char*> operands, excludes;
    int status = tool_parse_args(argc, argv, table, &parsed, &operands);
    if (status != 0) {
        return status;
    }
    vantles_stream_options* opt = &args->options;
    tool_event_output* out = &args->output;
    opt->latency_us = STREAM_DEFAULT_LATENCY_US;
    if (history) {
        opt->since_when = 0;  // everything the volumes keep
        out->until_history_done = true;
    }
    for (const tool_parsed_option& o : parsed) {
        if (o.key == TOOL_OPTION_HELP) {
            args->help = true;
            return 0;
        }
        if (o.key >= STREAM_OWN) {
            args->own.push_back({o.key - STREAM_OWN, o.value});
            continue;
        }
        int err = take_option(o, history, args, &excludes);
        if (err != 0) {
            const char* name = "";
            for (const tool_option& known : table) {
                name = known.key == o.key ? known.name : name;
            }
            tool_error("--%s: invalid value '%s' (try 'vantles %s --help')", name, o.value,
                       command);
            return TOOL_EXIT_USAGE;
        }
    }
    if (operands.empty()) {
        tool_error("%s: no path given (try 'vantles %s --help')", command, command);
        return TOOL_EXIT_USAGE;
    }
    if (excludes.size() > STREAM_MAX_EXCLUDES) {
        tool_error("%s: at most %zu --exclude paths", command, STREAM_MAX_EXCLUDES);
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

namespace {

// The line --format makes of an event: %i the id, %f the flags (joined by ','), %p the path,
// %t the batch's time, %% a '%'.
void append_formatted(const std::string& format, const vantles_event& event,
                      const std::string& time, std::string* line) {
    for (size_t i = 0; i < format.size(); i++) {
        if (format[i] != '%' || i + 1 == format.size()) {
            *line += format[i];
            continue;
        }
        char flags[512];
        switch (format[++i]) {
            case 'i':
                *line += std::to_string(event.id);
                break;
            case 'f':
                *line += vantles_format_flags(event.flags, ",", flags, sizeof flags) == 0 ? "none"
                                                                                          : flags;
                break;
            case 'p':
                *line += event.path;
                break;
            case 't':
                *line += time;
                break;
            default:
                *line += format[i];  // %% and anything unknown: the character itself
        }
    }
}

}  // namespace

bool tool_output_complete(const tool_event_output& out) {
    return (out.limit != 0 && out.printed >= out.limit) ||
           (out.until_history_done && out.history_done);
}

void tool_print_batch(void* ctx, std::span<const vantles_event> events) {
    auto* out = static_cast<tool_event_output*>(ctx);
    // The wire carries no time: the batch's is when it reached this process, within a
    // millisecond or so of the daemon sending it (for a replay, the time of the replay).
    const std::string time =
        out->json || out->format.find("%t") != std::string::npos ? json_time_now() : "";
    for (const vantles_event& event : events) {
        if (tool_output_complete(*out)) {
            return;
        }
        out->highest = std::max(out->highest, event.id);
        if (!tool_filter_keeps(out->filter, event)) {
            continue;
        }
        out->line.clear();
        if (out->json) {
            json_append_event(&out->line, event, time);
        } else if (!out->format.empty()) {
            append_formatted(out->format, event, time, &out->line);
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
        fwrite(out->line.data(), 1, out->line.size(), out->file);
        out->printed++;
        if ((event.flags & VANTLES_EVENT_HISTORY_DONE) != 0) {
            out->history_done = true;
        }
    }
}
