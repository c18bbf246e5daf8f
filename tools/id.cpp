// `vantles id`: prints the latest event id the daemon assigned.
#include "tools/options.h"
#include "tools/tool.h"
#include "vantles/client.h"

#include <cinttypes>

namespace {

enum id_key { ID_SOCKET };

constexpr tool_option ID_OPTIONS[] = {{"socket", true, ID_SOCKET}};

}  // namespace

void id_help(FILE* out) {
    fputs(
        "vantles id [--socket PATH]\n"
        "  Prints the latest event id the daemon assigned (decimal).\n"
        "  --socket PATH      the daemon's socket (as for watch)\n",
        out);
}

int id_command(int argc, char** argv) {
    std::vector<tool_parsed_option> parsed;
    std::vector<const char*> operands;
    int status = tool_parse_args(argc, argv, ID_OPTIONS, &parsed, &operands);
    if (status != 0) {
        return status;
    }
    const char* socket_option = nullptr;
    for (const tool_parsed_option& o : parsed) {
        if (o.key == TOOL_OPTION_HELP) {
            id_help(stdout);
            return TOOL_EXIT_OK;
        }
        socket_option = o.value;
    }
    if (!operands.empty()) {
        tool_error("id: unexpected argument '%s' (try 'vantles id --help')", operands[0]);
        return TOOL_EXIT_USAGE;
    }
    const char* socket = tool_socket_path(socket_option);
    vantles_connection conn;
    int err = vantles_connect(socket, &conn);
    if (err != 0) {
        tool_report_unreachable(socket, err);
        return TOOL_EXIT_FAILURE;
    }
    uint64_t id = 0;
    err = vantles_get_current_event_id(&conn, &id);
    if (err != 0) {
        tool_error("the daemon did not give the current event id: %s (code %d)",
                   tool_describe_code(err), err);
        return TOOL_EXIT_FAILURE;
    }
    printf("%" PRIu64 "\n", id);
    if (fflush(stdout) != 0) {
        tool_error("writing the id: %m");
        return TOOL_EXIT_FAILURE;
    }
    return TOOL_EXIT_OK;
}
