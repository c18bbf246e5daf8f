// `vantles uuid` and `vantles purge`: the history uuid of a volume, and removing a volume's
// history below an event id (root only). A volume is named by a path on it or its device.
#include "tools/options.h"
#include "tools/tool.h"
#include "vantles/client.h"

#include <cstring>

namespace {

enum volume_key { VOLUME_SOCKET };

constexpr tool_option VOLUME_OPTIONS[] = {{"socket", true, VOLUME_SOCKET}};

// Parses "[--socket PATH] OPERANDS..." with exactly `count` operands. 0 to go on, -1 after
// --help was printed, else the exit status of a usage error.
int parse_volume_command(const char* name, int argc, char** argv, size_t count, void (*help)(FILE*),
                         const char** socket, std::vector<const char*>* operands) {
    std::vector<tool_parsed_option> parsed;
    int status = tool_parse_args(argc, argv, VOLUME_OPTIONS, &parsed, operands);
    if (status != 0) {
        return status;
    }
    const char* socket_option = nullptr;
    for (const tool_parsed_option& o : parsed) {
        if (o.key == TOOL_OPTION_HELP) {
            help(stdout);
            return -1;
        }
        socket_option = o.value;
    }
    if (operands->size() != count) {
        tool_error("%s: expected %zu argument%s (try 'vantles %s --help')", name, count,
                   count == 1 ? "" : "s", name);
        return TOOL_EXIT_USAGE;
    }
    *socket = tool_socket_path(socket_option);
    return 0;
}

int volume_device(const char* name, const char* text, uint32_t* device) {
    int err = tool_parse_volume(text, device);
    if (err == 0) {
        return 0;
    }
    tool_error("%s: %s: %s", name, text,
               err == EINVAL ? "not a device (MAJOR:MINOR or a number) or a path" : strerror(err));
    return err == EINVAL ? TOOL_EXIT_USAGE : TOOL_EXIT_FAILURE;
}

int connect_to(const char* socket, vantles_connection* conn) {
    int err = vantles_connect(socket, conn);
    if (err != 0) {
        tool_report_unreachable(socket, err);
        return TOOL_EXIT_FAILURE;
    }
    return 0;
}

}  // namespace

void uuid_help(FILE* out) {
    fputs(
        "vantles uuid [--socket PATH] PATH|DEVICE\n"
        "  Prints the uuid naming the history of the volume holding PATH (or of the device\n"
        "  MAJOR:MINOR); a text starting NO-UUID when the volume keeps no history.\n",
        out);
}

int uuid_command(int argc, char** argv) {
    const char* socket = nullptr;
    std::vector<const char*> operands;
    int status = parse_volume_command("uuid", argc, argv, 1, uuid_help, &socket, &operands);
    if (status != 0) {
        return status < 0 ? TOOL_EXIT_OK : status;
    }
    uint32_t device = 0;
    if ((status = volume_device("uuid", operands[0], &device)) != 0) {
        return status;
    }
    vantles_connection conn;
    if ((status = connect_to(socket, &conn)) != 0) {
        return status;
    }
    char text[VANTLES_UUID_TEXT_LENGTH + 1];
    int err = vantles_get_volume_uuid(&conn, device, text);
    if (err != 0) {
        tool_error("the daemon did not give the uuid: %s (code %d)", tool_describe_code(err), err);
        return TOOL_EXIT_FAILURE;
    }
    printf("%s\n", text);
    return fflush(stdout) == 0 ? TOOL_EXIT_OK : TOOL_EXIT_FAILURE;
}

void purge_help(FILE* out) {
    fputs(
        "vantles purge [--socket PATH] PATH|DEVICE ID|all\n"
        "  Removes the history of the volume holding PATH (or of the device MAJOR:MINOR)\n"
        "  below event id ID, or all of it. Only root may purge; the history then takes a\n"
        "  new uuid.\n",
        out);
}

int purge_command(int argc, char** argv) {
    const char* socket = nullptr;
    std::vector<const char*> operands;
    int status = parse_volume_command("purge", argc, argv, 2, purge_help, &socket, &operands);
    if (status != 0) {
        return status < 0 ? TOOL_EXIT_OK : status;
    }
    uint32_t device = 0;
    if ((status = volume_device("purge", operands[0], &device)) != 0) {
        return status;
    }
    uint64_t bound = VANTLES_EVENT_ID_ALL;
    if (strcmp(operands[1], "all") != 0 && tool_parse_u64(operands[1], &bound) != 0) {
        tool_error("purge: '%s' is not an event id or 'all'", operands[1]);
        return TOOL_EXIT_USAGE;
    }
    vantles_connection conn;
    if ((status = connect_to(socket, &conn)) != 0) {
        return status;
    }
    uint32_t result = 0;
    int err = vantles_purge_events(&conn, device, bound, &result);
    if (err == VANTLES_ERR_REFUSED) {
        tool_error("purge: refused: only root may remove history");
        return TOOL_EXIT_FAILURE;
    }
    if (err != 0) {
        tool_error("purge: %s (code %d)", tool_describe_code(err), err);
        return TOOL_EXIT_FAILURE;
    }
    if (result == VANTLES_NO_HISTORY) {
        printf("no history to purge\n");
    } else {
        printf("purged\n");
    }
    return fflush(stdout) == 0 ? TOOL_EXIT_OK : TOOL_EXIT_FAILURE;
}
