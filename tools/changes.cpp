// `vantles changes`: what changed under some paths since a token, up to the moment of the
// call, and the token to give next time; or a rescan answer (see vantles/changes.h).
#include "tools/json_out.h"
#include "tools/options.h"
#include "tools/tool.h"
#include "vantles/changes.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <string>

namespace {

enum changes_key { CHANGES_SOCKET, CHANGES_SINCE, CHANGES_FILES, CHANGES_JSON, CHANGES_NUL,
                   CHANGES_EXCLUDE };

constexpr tool_option CHANGES_OPTIONS[] = {
    {"socket", true, CHANGES_SOCKET}, {"since", true, CHANGES_SINCE},
    {"files", false, CHANGES_FILES},  {"json", false, CHANGES_JSON},
    {"0", false, CHANGES_NUL},        {"null", false, CHANGES_NUL},
    {"exclude", true, CHANGES_EXCLUDE}};

enum class changes_form { lines, json, nul };

void print_answer(const vantles_changes& answer, changes_form form) {
    std::string out;
    if (form == changes_form::nul) {
        out.append(answer.token).push_back('\0');
        if (!answer.rescan.empty()) {
            out.append("/").push_back('\0');
        }
        for (const vantles_change& c : answer.changes) {
            out.append(c.path).push_back('\0');
        }
    } else if (form == changes_form::json) {
        out = "{\"token\":";
        json_append_string(&out, answer.token);
        out += ",\"rescan\":";
        if (answer.rescan.empty()) {
            out += "null";
        } else {
            json_append_string(&out, answer.rescan);
        }
        out += ",\"changes\":[";
        for (size_t i = 0; i < answer.changes.size(); i++) {
            const vantles_change& c = answer.changes[i];
            out += i ? "," : "";
            json_append_event(&out, {c.id, c.flags, c.path.c_str()});
        }
        out += "]}\n";
    } else {
        out = "token " + answer.token + "\n";
        if (!answer.rescan.empty()) {
            out += "rescan " + answer.rescan + "\n";
        }
        char flags[512];
        for (const vantles_change& c : answer.changes) {
            vantles_format_flags(c.flags, ",", flags, sizeof flags);
            out += std::to_string(c.id) + " " + flags + " " + c.path + "\n";
        }
    }
    fwrite(out.data(), 1, out.size(), stdout);
}

}  // namespace

void changes_help(FILE* out) {
    fputs(
        "vantles changes [OPTIONS] [--since TOKEN] PATH...\n"
        "  Prints what changed under the paths since TOKEN (from an earlier answer) up to now,\n"
        "  exactly: a change made before the call is in it. The first line is the token to\n"
        "  give next time (\"token TOKEN\"), then one line per changed path (\"ID FLAGS PATH\",\n"
        "  as watch prints), or \"rescan REASON\" when the history cannot tell (no or a foreign\n"
        "  token, a new history, events lost in between): then look at everything again.\n"
        "  --since TOKEN      the token of the last answer (none: a rescan answer)\n"
        "  --files            one line per changed file (default: per changed directory)\n"
        "  --exclude PATH     leave out a directory under a given path (at most 8)\n"
        "  --json             one JSON object: {\"token\":...,\"rescan\":null or why,\n"
        "                     \"changes\":[events as watch --json prints them]}\n"
        "  -0, --null         the token, then each path, each ended by a NUL; a rescan is the\n"
        "                     one path \"/\"\n"
        "  --socket PATH      the daemon's socket (as for watch)\n",
        out);
}

int changes_command(int argc, char** argv) {
    std::vector<tool_parsed_option> parsed;
    std::vector<const char*> operands;
    int status = tool_parse_args(argc, argv, CHANGES_OPTIONS, &parsed, &operands);
    if (status != 0) {
        return status;
    }
    const char* socket_option = nullptr;
    vantles_changes_options options;
    changes_form form = changes_form::lines;
    for (const tool_parsed_option& o : parsed) {
        switch (o.key) {
        case TOOL_OPTION_HELP:
            changes_help(stdout);
            return TOOL_EXIT_OK;
        case CHANGES_SOCKET: socket_option = o.value; break;
        case CHANGES_SINCE: options.since = o.value; break;
        case CHANGES_FILES: options.files = true; break;
        case CHANGES_JSON: form = changes_form::json; break;
        case CHANGES_NUL: form = changes_form::nul; break;
        case CHANGES_EXCLUDE: options.excludes.push_back(o.value); break;
        }
    }
    if (operands.empty()) {
        tool_error("changes: no path given (try 'vantles changes --help')");
        return TOOL_EXIT_USAGE;
    }
    if (options.excludes.size() > 8) {
        tool_error("changes: at most 8 --exclude");
        return TOOL_EXIT_USAGE;
    }
    for (const char* operand : operands) {
        std::string real;
        if (int err = tool_real_path(operand, &real)) {
            tool_error("changes: %s: %s", operand, strerror(err));
            return TOOL_EXIT_FAILURE;
        }
        options.paths.push_back(real);
    }
    for (std::string& x : options.excludes) {
        std::string normal;
        if (tool_normalise_path(x, &normal) == 0) {
            x = normal;
        }
    }
    const char* socket = tool_socket_path(socket_option);
    vantles_connection conn;
    int err = vantles_connect(socket, &conn);
    if (err != 0) {
        tool_report_unreachable(socket, err);
        return TOOL_EXIT_FAILURE;
    }
    vantles_changes answer;
    err = vantles_get_changes(&conn, options, &answer);
    if (err != 0) {
        tool_error("changes: the daemon did not answer: %s (code %d)", tool_describe_code(err),
                   err);
        return TOOL_EXIT_FAILURE;
    }
    print_answer(answer, form);
    if (fflush(stdout) != 0) {
        tool_error("changes: writing the answer: %m");
        return TOOL_EXIT_FAILURE;
    }
    return TOOL_EXIT_OK;
}
