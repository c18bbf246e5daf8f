// `vantles status`: whether the daemon answers, its current event id, and for each mounted
// volume its device, mount point and whether (and under which uuid) it keeps a history.
#include "tools/options.h"
#include "tools/status_table.h"
#include "tools/tool.h"
#include "vantles/client.h"

#include <cstring>

namespace {

enum status_key { STATUS_SOCKET, STATUS_JSON };

constexpr tool_option STATUS_OPTIONS[] = {{"socket", true, STATUS_SOCKET},
                                          {"json", false, STATUS_JSON}};

}  // namespace

void status_help(FILE* out) {
    fputs(
        "vantles status [--json] [--socket PATH]\n"
        "  Tells whether the daemon answers (exit status 1 when it does not), its current\n"
        "  event id, and for each mounted volume (pseudo file systems left out) its device,\n"
        "  mount point, how the daemon watches it (whole volume, an overlay's upper layer, or\n"
        "  not watched and why), whether it keeps a history (else why not: ignored, not\n"
        "  known, not ready) and the uuid naming that history.\n"
        "  --json             the same as one JSON object\n"
        "  --socket PATH      the daemon's socket (as for watch)\n",
        out);
}

int status_command(int argc, char** argv) {
    std::vector<tool_parsed_option> parsed;
    std::vector<const char*> operands;
    int status = tool_parse_args(argc, argv, STATUS_OPTIONS, &parsed, &operands);
    if (status != 0) {
        return status;
    }
    const char* socket_option = nullptr;
    bool json = false;
    for (const tool_parsed_option& o : parsed) {
        if (o.key == TOOL_OPTION_HELP) {
            status_help(stdout);
            return TOOL_EXIT_OK;
        }
        if (o.key == STATUS_SOCKET) {
            socket_option = o.value;
        } else {
            json = true;
        }
    }
    if (!operands.empty()) {
        tool_error("status: unexpected argument '%s' (try 'vantles status --help')", operands[0]);
        return TOOL_EXIT_USAGE;
    }
    status_report report;
    report.socket = tool_socket_path(socket_option);
    vantles_connection conn;
    int err = vantles_connect(report.socket.c_str(), &conn);
    if (err != 0) {
        tool_report_unreachable(report.socket.c_str(), err);
        return TOOL_EXIT_FAILURE;
    }
    err = vantles_get_current_event_id(&conn, &report.current_event_id);
    if (err != 0) {
        tool_error("the daemon at %s does not answer: %s (code %d)", report.socket.c_str(),
                   tool_describe_code(err), err);
        return TOOL_EXIT_FAILURE;
    }
    mount_entry* mounts = nullptr;
    int count = 0;
    err = mount_list_read(&mounts, &count);
    if (err != 0) {
        tool_error("reading the mount list: %s", strerror(err));
        return TOOL_EXIT_FAILURE;
    }
    report.volumes = status_volumes_of({mounts, static_cast<size_t>(count)});
    mount_list_free(mounts, count);
    for (status_volume& v : report.volumes) {
        char text[VANTLES_UUID_TEXT_LENGTH + 1];
        err = vantles_get_volume_uuid(&conn, v.dev, text);
        if (err != 0) {
            tool_error("the daemon did not give the uuid of %s: %s (code %d)",
                       v.mount_point.c_str(), tool_describe_code(err), err);
            return TOOL_EXIT_FAILURE;
        }
        v.uuid = text;
        char reason[VANTLES_WATCH_REASON_LENGTH + 1];
        if (vantles_get_volume_watch(&conn, v.dev, &v.watch, reason) == 0) {
            v.watch_reason = reason;
        }
    }
    std::string out = json ? status_json(report) : status_plain(report);
    if (fwrite(out.data(), 1, out.size(), stdout) != out.size() || fflush(stdout) != 0) {
        tool_error("writing the status: %m");
        return TOOL_EXIT_FAILURE;
    }
    return TOOL_EXIT_OK;
}
