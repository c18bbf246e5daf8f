// Fuzz target for everything a client's bytes reach on the request side: the datagram decoder
// and then the request handlers, with the reply and the destruction of refused requests
// exactly as the server loop does them. The first input byte picks the sender (root or not);
// the rest is the datagram. The event machinery is marked ready so requests do not wait.
#include "intake/event_flags.h"
#include "intake/event_thread.h"
#include "platform/port_wire.h"
#include "server/server.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t FUZZ_BUFFER_SIZE = VANTLES_MAX_REQUEST_SIZE + MACH_MSG_TRAILER_AUDIT_SIZE + 4;

alignas(8) uint8_t request_bytes[FUZZ_BUFFER_SIZE];
alignas(8) uint8_t reply_bytes[FUZZ_BUFFER_SIZE];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size - 1 > PORT_MAX_DATAGRAM)
        return 0;
    lifecycle.event_thread_ready = 1;
    port_datagram dg;
    dg.length = size - 1;
    dg.has_credentials = true;
    dg.uid = data[0] & 1 ? 501 : 0;
    dg.gid = dg.uid;
    dg.pid = 1;
    memset(request_bytes, 0, sizeof request_bytes);
    memset(reply_bytes, 0, sizeof reply_bytes);
    auto* request = reinterpret_cast<mach_msg_header_t*>(request_bytes);
    auto* reply = reinterpret_cast<mach_msg_header_t*>(reply_bytes);
    if (port_decode(data + 1, &dg, request, sizeof request_bytes, VANTLES_MAX_REQUEST_SIZE) != 0)
        return 0;
    request->msgh_local_port = 1;
    request->msgh_remote_port = 1;
    server_demux(request, reply);
    int32_t code;
    memcpy(&code, reply_bytes + PORT_REPLY_RETCODE_OFFSET, sizeof code);
    if ((reply->msgh_bits & MACH_MSGH_BITS_COMPLEX) == 0 && code != 0)
        mach_msg_destroy(request);
    // A request that passed keeps nothing here: no datagram without rights can register.
    mach_msg_destroy(request);
    return 0;
}
