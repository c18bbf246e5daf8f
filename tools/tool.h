// What the command-line tool's files share: exit statuses, the command table entry, the
// commands themselves, and the messages about reaching the daemon.
#pragma once

#include <cstdio>

// Exit statuses of every command.
constexpr int TOOL_EXIT_OK = 0;
constexpr int TOOL_EXIT_FAILURE = 1;  // the daemon could not be reached or refused, I/O failed
constexpr int TOOL_EXIT_USAGE = 2;    // unknown command or option, malformed value

// One command: `vantles NAME ARGS...`. run gets the arguments after the command name and
// returns the exit status; help prints the command's usage and options.
struct tool_command {
    const char* name;
    const char* summary;  // one line for the command list
    int (*run)(int argc, char** argv);
    void (*help)(FILE* out);
};

int watch_command(int argc, char** argv);
void watch_help(FILE* out);
int history_command(int argc, char** argv);
void history_help(FILE* out);
int id_command(int argc, char** argv);
void id_help(FILE* out);
int uuid_command(int argc, char** argv);
void uuid_help(FILE* out);
int purge_command(int argc, char** argv);
void purge_help(FILE* out);
int status_command(int argc, char** argv);
void status_help(FILE* out);
int run_command(int argc, char** argv);
void run_help(FILE* out);
int publish_command(int argc, char** argv);
void publish_help(FILE* out);
int changes_command(int argc, char** argv);
void changes_help(FILE* out);
int git_fsmonitor_command(int argc, char** argv);
void git_fsmonitor_help(FILE* out);
// Whether the program runs as git's hook (under its installed name).
bool git_fsmonitor_invoked_as_hook(const char* argv0);


// The socket the tool talks to: the --socket value when given, else $VANTLESD_SOCKET, else
// the daemon's default socket.
const char* tool_socket_path(const char* option_value);

// Prints "vantles: " and the formatted message on standard error, with a newline.
void tool_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The message for a failed connect (err, an errno value) to the daemon at socket.
void tool_report_unreachable(const char* socket, int err);

// Explains a result of a client library request that is not 0: one of the daemon's codes,
// a messaging code or an errno value.
const char* tool_describe_code(int code);
