// Error messages of the command-line tool: the "vantles: " prefix, the socket it talks to, and
// the explanations of the client library's result codes.
#include "tools/tool.h"

#include "platform/port.h"
#include "vantles/client.h"

#include <cstdarg>
#include <cstring>

const char* tool_socket_path(const char* option_value) {
    return option_value != nullptr ? option_value : port_service_path();
}

void tool_error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    fputs("vantles: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

void tool_report_unreachable(const char* socket, int err) {
    tool_error("cannot reach the daemon at %s: %s (is vantlesd running?)", socket, strerror(err));
}

const char* tool_describe_code(int code) {
    switch (code) {
        case VANTLES_ERR_NO_MEMORY:
            return "the daemon is out of memory";
        case VANTLES_ERR_NO_CLIENT:
            return "the daemon could not start delivery (still starting up, or this user "
                   "has too many streams)";
        case VANTLES_ERR_BAD_ARGS:
            return "the daemon refused the paths or exclusions";
        case VANTLES_ERR_FUTURE_ID:
            return "the id to start after is above the daemon's current event id: it never "
                   "gave that id out";
        case VANTLES_ERR_BAD_REPLY:
            return "the reply does not belong to the request";
        case MACH_RCV_TIMED_OUT:
            return "the daemon did not answer in time";
        case MACH_SEND_INVALID_DEST:
        case MACH_RCV_PORT_DIED:
            return "the daemon closed the connection";
        default:
            break;
    }
    // Small positive codes are errno values of this process; KERN_FAILURE (5) is the one code
    // of the daemon in that range, and no request call here returns EIO.
    if (code > 0 && code < 4096 && code != KERN_FAILURE) {
        return strerror(code);
    }
    return mach_error_string(code);
}
