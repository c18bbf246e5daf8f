// Entry of the command-line tool `vantles`: the command table, dispatch, and the overall usage.
// A new command is one entry in TOOL_COMMANDS plus its run and help functions.
#include "tools/tool.h"

#include <cstring>

namespace {

void help_command_help(FILE* out) {
    fputs(
        "vantles help [COMMAND]\n"
        "  Prints the usage of every command, or of one.\n",
        out);
}

int help_command(int argc, char** argv);

constexpr tool_command TOOL_COMMANDS[] = {
    {"watch", "print the events under the given paths as they happen", watch_command, watch_help},
    {"history", "print the events the history kept for the given paths, then exit", history_command,
     history_help},
    {"changes", "print what changed under the given paths since a token, and a new token",
     changes_command, changes_help},
    {"git-fsmonitor", "git's core.fsmonitor hook, and its --install in a repository",
     git_fsmonitor_command, git_fsmonitor_help},
    {"run", "run a command after each batch of changes under the given paths", run_command,
     run_help},
    {"publish", "publish the changes under the given paths to a NATS JetStream stream",
     publish_command, publish_help},
    {"id", "print the latest event id, or the last one before a time", id_command, id_help},
    {"uuid", "print the uuid naming a volume's history", uuid_command, uuid_help},
    {"status", "tell whether the daemon answers, its event id and the volumes' histories",
     status_command, status_help},
    {"purge", "remove a volume's history below an event id (root)", purge_command, purge_help},
    {"help", "print this usage", help_command, help_command_help},
};

const tool_command* find_command(const char* name) {
    for (const tool_command& command : TOOL_COMMANDS) {
        if (strcmp(command.name, name) == 0) {
            return &command;
        }
    }
    return nullptr;
}

// Every help starts with the version, so that a pasted help says which one it was.
void print_version(FILE* out) {
    fputs("vantles " VANTLES_VERSION "\n", out);
}

// Whether a command's arguments ask for its help (before a "--" that starts a command of run's).
bool asks_for_help(int argc, char** argv) {
    for (int i = 0; i < argc && strcmp(argv[i], "--") != 0; i++) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            return true;
        }
    }
    return false;
}

void print_usage(FILE* out) {
    print_version(out);
    fputs("usage: vantles COMMAND [OPTIONS] [ARGS]\n       vantles --version\n\nCommands:\n", out);
    for (const tool_command& command : TOOL_COMMANDS) {
        fprintf(out, "  %-13s %s\n", command.name, command.summary);
    }
    for (const tool_command& command : TOOL_COMMANDS) {
        fputc('\n', out);
        command.help(out);
    }
    fputs(
        "\nExit status: 0 on success (and when a watch or a run ends by SIGINT, SIGTERM or\n"
        "--count, or a history with its history-done line), COMMAND's status for run --once,\n"
        "1 when the daemon cannot be reached, refuses or goes away, 2 on a usage error.\n",
        out);
}

int help_command(int argc, char** argv) {
    if (argc == 0) {
        print_usage(stdout);
        return TOOL_EXIT_OK;
    }
    const tool_command* command = find_command(argv[0]);
    if (command == nullptr || argc > 1) {
        tool_error("help: unknown command '%s' (try 'vantles --help')", argv[0]);
        return TOOL_EXIT_USAGE;
    }
    print_version(stdout);
    command->help(stdout);
    return TOOL_EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 0 && git_fsmonitor_invoked_as_hook(argv[0])) {
        return git_fsmonitor_command(argc - 1, argv + 1);
    }
    if (argc < 2) {
        print_usage(stderr);
        return TOOL_EXIT_USAGE;
    }
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        print_usage(stdout);
        return TOOL_EXIT_OK;
    }
    if (strcmp(argv[1], "--version") == 0 || strcmp(argv[1], "-V") == 0) {
        print_version(stdout);
        return TOOL_EXIT_OK;
    }
    const tool_command* command = find_command(argv[1]);
    if (command == nullptr) {
        tool_error("unknown command '%s' (try 'vantles --help')", argv[1]);
        return TOOL_EXIT_USAGE;
    }
    if (asks_for_help(argc - 2, argv + 2)) {
        print_version(stdout);
        command->help(stdout);
        return TOOL_EXIT_OK;
    }
    return command->run(argc - 2, argv + 2);
}
