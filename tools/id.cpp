// `vantles id`: prints the latest event id the daemon assigned, or with --before the last id
// a volume's history recorded before a time.
#include "tools/options.h"
#include "tools/tool.h"
#include "vantles/client.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>

namespace {

enum id_key { ID_SOCKET, ID_BEFORE, ID_VOLUME };

constexpr tool_option ID_OPTIONS[] = {
    {"socket", true, ID_SOCKET}, {"before", true, ID_BEFORE}, {"volume", true, ID_VOLUME}};

}  // namespace

void id_help(FILE* out) {
    fputs(
        "vantles id [--socket PATH] [--before TIME [--volume PATH|DEVICE]]\n"
        "  Prints the latest event id the daemon assigned (decimal).\n"
        "  --before TIME      instead, the last id the volume's history recorded before TIME\n"
        "                     (seconds since the epoch, or ISO 8601: 2026-12-06T21:30:00,\n"
        "                     local time unless it ends in Z or +HH:MM); 0 when none\n"
        "  --volume V         the volume for --before: a path on it or MAJOR:MINOR\n"
        "                     (default: the volume holding /)\n"
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
    const char* before = nullptr;
    const char* volume = nullptr;
    for (const tool_parsed_option& o : parsed) {
        if (o.key == TOOL_OPTION_HELP) {
            id_help(stdout);
            return TOOL_EXIT_OK;
        }
        if (o.key == ID_SOCKET) {
            socket_option = o.value;
        } else if (o.key == ID_BEFORE) {
            before = o.value;
        } else {
            volume = o.value;
        }
    }
    int64_t time = 0;
    if (before != nullptr && tool_parse_time(before, &time) != 0) {
        tool_error("id: --before '%s' is not a time (seconds, or ISO 8601)", before);
        return TOOL_EXIT_USAGE;
    }
    if (volume != nullptr && before == nullptr) {
        tool_error("id: --volume needs --before");
        return TOOL_EXIT_USAGE;
    }
    uint32_t device = 0;
    if (before != nullptr) {
        const char* name = volume != nullptr ? volume : "/";
        int verr = tool_parse_volume(name, &device);
        if (verr != 0) {
            tool_error("id: %s: %s", name,
                       verr == EINVAL ? "not a device (MAJOR:MINOR or a number) or a path"
                                      : strerror(verr));
            return verr == EINVAL ? TOOL_EXIT_USAGE : TOOL_EXIT_FAILURE;
        }
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
    err = before != nullptr ? vantles_get_event_id_for_time(&conn, device, time, &id)
                            : vantles_get_current_event_id(&conn, &id);
    if (err != 0) {
        tool_error("the daemon did not give the event id: %s (code %d)", tool_describe_code(err),
                   err);
        return TOOL_EXIT_FAILURE;
    }
    printf("%" PRIu64 "\n", id);
    if (fflush(stdout) != 0) {
        tool_error("writing the id: %m");
        return TOOL_EXIT_FAILURE;
    }
    return TOOL_EXIT_OK;
}
