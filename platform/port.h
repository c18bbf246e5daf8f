// Ports and messages over AF_UNIX sequenced-packet sockets.
//
// A port name is a descriptor number of this process. A send right is a connected socket end;
// a receive right (a "private port") is one end A of a socketpair whose other end B is handed
// out once, in a message, as a make-send right; the service port is the listening socket, and
// every accepted connection is one client's send right to it. A port set is an epoll instance
// over receive rights and the service port's connections.
//
// One message is one datagram: the msgh_size bytes of the message, then the bytes of every
// out-of-line region in descriptor order (their address fields are 0 on the wire). When that
// would exceed PORT_MAX_DATAGRAM the regions travel instead in one sealed memfd, passed as the
// last SCM_RIGHTS descriptor. Every port descriptor is matched, in order, by one passed
// descriptor. A received message is laid out in the caller's buffer as sent, with each port
// descriptor's name set to the receiver's new descriptor and each region's address pointing at
// a heap copy owned by the message (freed by mig_deallocate or mach_msg_destroy), followed at
// mach_msg_round(msgh_size) by an audit trailer built from the sender's SO_PASSCRED
// credentials.
//
// Ownership: the process-wide port space owns the service port, its connections and every
// receive right; rights inside a received message belong to that message until a handler takes
// them; all functions here are thread-safe.
#pragma once

#include "platform/mach_msg.h"

#include <cstddef>

// Largest datagram that carries its regions inline.
constexpr size_t PORT_MAX_DATAGRAM = 65536;
// Largest total of out-of-line bytes one message may carry (inline or in a memfd).
constexpr size_t PORT_MAX_OOL_TOTAL = 64u << 20;
// Most descriptors (port rights plus the memfd) one datagram may pass.
constexpr size_t PORT_MAX_RIGHTS = 16;

constexpr const char* VANTLESD_SERVICE_NAME = "org.vantles.vantlesd";
constexpr const char* VANTLESD_DEFAULT_SOCKET = "/run/vantlesd/vantlesd.sock";

// The socket path of the service: $VANTLESD_SOCKET, else VANTLESD_DEFAULT_SOCKET.
const char* port_service_path();

const char* mach_error_string(kern_return_t code);
const char* bootstrap_strerror(kern_return_t code);

// Daemon side ------------------------------------------------------------------------------

// Takes the service's listening socket: descriptor 3 when socket-activated for this pid,
// otherwise a new socket bound at port_service_path() (mode 0666, parent directory 0755 made
// when missing; a stale socket file is replaced only when nothing answers on it). Returns 0,
// BOOTSTRAP_SERVICE_ACTIVE when a daemon answers on the path, or an errno value.
kern_return_t bootstrap_check_in(const char* service_name, mach_port_t* out_port);
// Makes the next check-in take fd (a listening socket the daemon was handed at start)
// instead of looking for an activated one or binding the service path.
void bootstrap_use_listener(int fd);

// Who may hold public connections, so that no unprivileged user can take the daemon from the
// others. Root's connections are never refused; every other uid holds at most per_user at
// once, and all of them together at most all_users, which keeps the rest of the descriptor
// table for registered clients, the daemon's own files and root. A refused connection is
// closed at once; refusals are logged at most once per uid per minute. A public connection
// with no request for idle_timeout_ms (0: never) is closed: the server loop answers every
// request before reading the next, so none is then in flight.
struct port_connection_limits {
    uint32_t per_user = 0;
    uint32_t all_users = 0;
    uint32_t idle_timeout_ms = 0;
};
constexpr uint32_t PORT_CONNECTIONS_PER_USER_DEFAULT = 256;
constexpr uint32_t PORT_IDLE_TIMEOUT_MS_DEFAULT = 60000;
// Descriptors kept from non-root connections: two for each of the 512 clients, and room for the
// volumes, log files and root's connections.
constexpr uint32_t PORT_DESCRIPTORS_KEPT = 2048;

// all_users for a descriptor limit of nofile: nofile less PORT_DESCRIPTORS_KEPT, or a quarter
// of a limit too small for that.
uint32_t port_connections_for_limit(uint64_t nofile);

// Sets the limits mach_msg_server applies from its next accepted connection on.
void port_set_connection_limits(const port_connection_limits& limits);

// right: MACH_PORT_RIGHT_PORT_SET (an epoll set) or MACH_PORT_RIGHT_RECEIVE (a private port).
kern_return_t mach_port_allocate(uint32_t right, mach_port_t* out_name);

// Asks for the no-senders notice (id 70, arriving on the port itself) when every copy of the
// port's send right is closed.
kern_return_t mach_port_request_notification_no_senders(mach_port_t port);

// Puts the service port or a receive right into a port set.
kern_return_t mach_port_move_member(mach_port_t port, mach_port_t set);

// right MACH_PORT_RIGHT_RECEIVE, delta -1: drops a receive right (leaves its set, closes end
// A once no receive in progress still uses it, and end B if it was never handed out). On the
// service port it also drops every connection accepted on it.
// right MACH_PORT_RIGHT_SEND, delta -1: the same as mach_port_deallocate.
// right MACH_PORT_RIGHT_PORT_SET, delta -1: drops a port set; a mach_msg_server running on
// it returns MACH_RCV_PORT_DIED.
// delta 0 only checks the right. Results: 0, KERN_INVALID_NAME, KERN_INVALID_RIGHT,
// KERN_INVALID_ARGUMENT (another delta or right).
kern_return_t mach_port_mod_refs(mach_port_t name, uint32_t right, int delta);

// Releases a send right (closes the descriptor; a connection of the service port is also
// forgotten by the port space). KERN_INVALID_NAME for 0 or a closed descriptor,
// KERN_INVALID_RIGHT for a receive right, the service port or a port set.
kern_return_t mach_port_deallocate(mach_port_t name);

// Handler of mach_msg_server: request (header, body, trailer) -> reply. Returns true when it
// handled the message.
using mach_msg_demux_t = bool (*)(mach_msg_header_t* request, mach_msg_header_t* reply);

// Receives from every member of the set, one message at a time, for ever. A datagram that is
// no message (larger than max_size, malformed, rights that do not match its descriptors) is
// released with everything it carried and never reaches demux: with a whole header it is
// answered with MIG_BAD_ARGUMENTS, without one its socket is treated as hung up (a connection
// is closed, a receive right yields its no-senders notice). Each request is handed to demux
// with its trailer; the reply is sent back on the connection the request came in on when its
// msgh_remote_port is not 0, without waiting for room (a reply that cannot be queued at once
// is destroyed). A request whose simple reply carries a non-zero return code is destroyed.
// A received request's msgh_local_port is the service port (for a connection) or the receive
// right it arrived on, its msgh_remote_port a non-zero token for the socket it came in on.
// options is accepted for form: every request carries the audit trailer. Returns only on
// failure, with a kern code (MACH_RCV_PORT_DIED once the set is dropped).
kern_return_t mach_msg_server(mach_msg_demux_t demux, mach_msg_size_t max_size, mach_port_t set,
                              uint32_t options);

// A reply answered later, from another thread: during the round that received the request,
// port_hold_reply takes a descriptor of its own (*held) for the socket the request came in on
// (reply_port: the request's msgh_remote_port); the handler then leaves the reply's
// msgh_remote_port 0 so that the round sends nothing. port_send_held_reply sends a simple
// reply on it without waiting for room (lost when the socket is full or the peer gone, as any
// reply) and closes it. 0 or an errno value; a kern code.
int port_hold_reply(mach_port_t reply_port, int* held);
kern_return_t port_send_held_reply(int held, mach_msg_header_t* reply);

// Both sides ------------------------------------------------------------------------------

// Sends msg (msgh_size bytes plus its regions and rights) on the send right
// msg->msgh_remote_port, waiting up to timeout_ms for room (0: do not wait). Port descriptor
// dispositions: MOVE_SEND closes the sender's descriptor once sent; COPY_SEND keeps it;
// MAKE_SEND names a receive right of this process and hands out its end B (once). Results: 0,
// MACH_SEND_INVALID_DEST (peer gone), MACH_SEND_TIMED_OUT (socket full for the whole
// timeout), MACH_SEND_NO_BUFFER (no kernel memory), MACH_SEND_INVALID_DATA (malformed
// message), MACH_SEND_INVALID_RIGHT (a descriptor names no right of ours),
// MACH_SEND_MSG_TOO_SMALL (msgh_size below the header), MACH_SEND_TOO_LARGE (msgh_size over
// PORT_MAX_DATAGRAM, regions over PORT_MAX_OOL_TOTAL, or more than PORT_MAX_RIGHTS
// descriptors to pass). On failure nothing is moved: every right stays with the sender.
kern_return_t mach_msg_send(mach_msg_header_t* msg, mach_msg_timeout_t timeout_ms);

// Receives one message from a send right or receive right into buffer (buffer_size bytes,
// room for the trailer included), waiting up to timeout_ms (MACH_MSG_TIMEOUT_NONE: for
// ever). Results: 0, MACH_RCV_TIMED_OUT, MACH_RCV_PORT_DIED (peer closed), MACH_RCV_TOO_LARGE
// or MACH_RCV_INVALID_DATA (the datagram was dropped), MACH_RCV_INVALID_NAME. The received
// header's msgh_local_port is port, its msgh_remote_port 0.
kern_return_t mach_msg_receive(mach_port_t port, mach_msg_header_t* buffer, size_t buffer_size,
                               mach_msg_timeout_t timeout_ms);

// Releases every right and region a received message still carries, zeroing their fields:
// each non-zero port descriptor name is closed, each non-zero region address freed. The
// header's ports are names of the space or tokens, never owned by the message, and are left.
void mach_msg_destroy(mach_msg_header_t* msg);

// Frees an out-of-line region of a received message (a malloc'd block).
void mig_deallocate(uint64_t address, uint32_t size);

// Unpacks the audit token of a trailer.
void audit_token_to_au32(const audit_token_t& token, uint32_t* auid, uint32_t* euid, uint32_t* egid,
                         uint32_t* ruid, uint32_t* rgid, int32_t* pid, uint32_t* asid,
                         uint32_t* pidversion);

// Client side ------------------------------------------------------------------------------

// Connects to the service socket (path null: port_service_path()). The result is a send right
// to the service port on which replies also arrive. 0 or an errno value.
int port_connect(const char* path, mach_port_t* out_port);

// Makes a port for receiving messages: out_receive keeps one end, out_send is a send right to
// it that can travel in a message with MOVE_SEND. 0 or an errno value.
int port_make_pair(mach_port_t* out_receive, mach_port_t* out_send);

// Sends request on request->msgh_remote_port and waits up to timeout_ms for the reply, which
// is received into reply (reply_size bytes); the send and the wait share the timeout, and
// MACH_MSG_TIMEOUT_NONE waits for ever for both. 0, a send result, or a receive result.
kern_return_t mach_msg_rpc(mach_msg_header_t* request, mach_msg_header_t* reply, size_t reply_size,
                           mach_msg_timeout_t timeout_ms);
