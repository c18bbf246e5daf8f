// The daemon's ports and the top-level message handler of the server loop: the no-senders
// notice of a registration's private port is handled here, every other message goes to the
// request subsystem.
#include "common/thread_role.h"
#include "server/registry.h"
#include "server/server.h"

server_state server;

bool server_demux(mach_msg_header_t* request, mach_msg_header_t* reply) {
    VANTLE_ASSERT_THREAD(THREAD_ROLE_SERVER);
    if (request->msgh_id != MACH_NOTIFY_NO_SENDERS) {
        return subsystem_demux(request, reply);
    }

    // The client dropped its last send right to a private port (it exited, or released its
    // stream without unregistering). The notice arrives on that port, so the local port names
    // the registration. A second notice for the same port finds nothing and is ignored.
    clientp* client = get_client_with_matching_f2d_private_port(request->msgh_local_port);
    if (client != nullptr) {
        implementation_removed_client(client);
        unlink_and_release_client(client);
    }

    // A notice wants no answer: the remote port is 0, so the server loop sends nothing.
    reply->msgh_bits = request->msgh_bits & MACH_MSGH_BITS_REMOTE_MASK;
    reply->msgh_remote_port = request->msgh_remote_port;
    reply->msgh_local_port = MACH_PORT_NULL;
    return true;
}
