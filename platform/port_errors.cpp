// Texts of the transport's result codes, the service socket path and the audit token reader.
#include "platform/port.h"

#include <cstdlib>
#include <cstring>

namespace {

struct code_text {
    kern_return_t code;
    const char* text;
};

constexpr code_text KERN_TEXTS[] = {
    {KERN_SUCCESS, "(os/kern) successful"},
    {KERN_INVALID_ARGUMENT, "(os/kern) invalid argument"},
    {KERN_FAILURE, "(os/kern) failure"},
    {KERN_RESOURCE_SHORTAGE, "(os/kern) resource shortage"},
    {KERN_INVALID_NAME, "(os/kern) invalid name"},
    {KERN_INVALID_RIGHT, "(os/kern) invalid right"},
    {MACH_SEND_INVALID_DATA, "(ipc/send) invalid data"},
    {MACH_SEND_INVALID_DEST, "(ipc/send) invalid destination port"},
    {MACH_SEND_TIMED_OUT, "(ipc/send) timed out"},
    {MACH_SEND_MSG_TOO_SMALL, "(ipc/send) message smaller than its header"},
    {MACH_SEND_INVALID_RIGHT, "(ipc/send) invalid port right"},
    {MACH_SEND_NO_BUFFER, "(ipc/send) no kernel memory for the message"},
    {MACH_SEND_TOO_LARGE, "(ipc/send) message too large"},
    {MACH_RCV_TIMED_OUT, "(ipc/rcv) timed out"},
    {MACH_RCV_TOO_LARGE, "(ipc/rcv) message too large for the buffer"},
    {MACH_RCV_PORT_DIED, "(ipc/rcv) port died"},
    {MACH_RCV_INVALID_DATA, "(ipc/rcv) malformed message dropped"},
    {MACH_RCV_INVALID_NAME, "(ipc/rcv) invalid name"},
    {MIG_TYPE_ERROR, "(ipc/mig) type check failure in message"},
    {MIG_BAD_ID, "(ipc/mig) bad request message id"},
    {MIG_BAD_ARGUMENTS, "(ipc/mig) bad request arguments"},
    {MIG_TRAILER_ERROR, "(ipc/mig) trailer missing or of an unknown format"},
};

constexpr code_text BOOTSTRAP_TEXTS[] = {
    {BOOTSTRAP_NOT_PRIVILEGED, "not privileged to check in the service"},
    {1101, "service name already in use"},
    {1102, "unknown service name"},
    {BOOTSTRAP_SERVICE_ACTIVE, "service already held by a running daemon"},
    {1104, "too many services requested"},
    {1105, "out of memory"},
};

constexpr const char* UNKNOWN_TEXT = "unknown error code";

template <size_t N>
const char* find_text(const code_text (&table)[N], kern_return_t code) {
    for (const code_text& entry : table) {
        if (entry.code == code) {
            return entry.text;
        }
    }
    return nullptr;
}

}  // namespace

const char* port_service_path() {
    const char* path = std::getenv("VANTLESD_SOCKET");
    return path != nullptr && path[0] != '\0' ? path : VANTLESD_DEFAULT_SOCKET;
}

const char* mach_error_string(kern_return_t code) {
    if (const char* text = find_text(KERN_TEXTS, code)) {
        return text;
    }
    if (const char* text = find_text(BOOTSTRAP_TEXTS, code)) {
        return text;
    }
    return UNKNOWN_TEXT;
}

const char* bootstrap_strerror(kern_return_t code) {
    if (code == 0) {
        return "success";
    }
    if (const char* text = find_text(BOOTSTRAP_TEXTS, code)) {
        return text;
    }
    // Check-in also reports the errno values of the socket calls.
    if (code > 0 && code < BOOTSTRAP_NOT_PRIVILEGED) {
        if (const char* text = strerrordesc_np(code)) {
            return text;
        }
    }
    return mach_error_string(code);
}

void audit_token_to_au32(const audit_token_t& token, uint32_t* auid, uint32_t* euid, uint32_t* egid,
                         uint32_t* ruid, uint32_t* rgid, int32_t* pid, uint32_t* asid,
                         uint32_t* pidversion) {
    if (auid)
        *auid = token.val[0];
    if (euid)
        *euid = token.val[1];
    if (egid)
        *egid = token.val[2];
    if (ruid)
        *ruid = token.val[3];
    if (rgid)
        *rgid = token.val[4];
    if (pid)
        *pid = static_cast<int32_t>(token.val[5]);
    if (asid)
        *asid = token.val[6];
    if (pidversion)
        *pidversion = token.val[7];
}
