// The process-wide port space: the table of ports this process owns (the service port, its
// accepted connections, receive rights and port sets), shared by the server loop, the send
// path and the port calls of port.h. Internal to platform/.
//
// A port's name is its descriptor number. An entry's descriptor stays open as long as any
// port_ref to it exists, so a number can not be reused while a thread still works on the
// port: dropping a right only unlinks the entry; the last reference closes it. Each entry
// also carries a generation, unique for the life of the process, which goes into the port
// set's epoll data with the name; an event for a name whose entry has since been replaced
// is recognised by the generation and ignored.
//
// Lock order: port_space_mutex is a leaf lock. It is never held while calling a handler,
// waiting on a socket or sleeping; only epoll_ctl and the wake-up write to a set's eventfd
// are made under it (unlinked entries are released after unlocking, so descriptors close
// outside it).
#pragma once

#include "platform/mach_msg.h"
#include "platform/port.h"
#include "platform/unique_fd.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

enum port_kind : uint8_t {
    PORT_KIND_SERVICE,     // the listening socket
    PORT_KIND_CONNECTION,  // a socket accepted on the service port
    PORT_KIND_RECEIVE,     // end A of a private port's socketpair
    PORT_KIND_SET,         // an epoll instance
};

struct port_entry {
    // Fixed once the entry is in the space.
    port_kind kind = PORT_KIND_RECEIVE;
    uint32_t generation = 0;
    unique_fd fd;             // listener, connection, end A or epoll descriptor
    mach_port_t service = 0;  // connection: name of the service port it was accepted on
    unique_fd wake;           // set: eventfd that wakes a server loop when the set is dropped
    uint32_t uid = 0;         // connection: the peer's uid when it connected
    uint64_t last_active_ms = 0;  // connection: its last request or its accept; server loop only

    // Guarded by port_space_mutex.
    unique_fd peer;                // receive right: end B until a MAKE_SEND hands it out
    bool peer_handed_out = false;  // receive right: end B has left this process (or was closed)
    mach_port_t set = 0;           // the set this port is polled through, 0 when none
    uint32_t set_generation = 0;
    bool notify_no_senders = false;  // receive right: a no-senders notice was asked for
    bool hung_up = false;            // receive right: every sender is gone; no longer polled
};

using port_ref = std::shared_ptr<port_entry>;

// The port space's counters and the mutex that guards every entry's guarded members. One
// instance, `ports`; any thread. (The name table and the per-uid counts are never destroyed:
// the daemon ends with exit() from the event thread while other threads may still use them.)
struct port_space_state {
    std::mutex port_space_mutex;
    std::atomic<uint32_t> generation_counter{0};
    // Admission of public connections; under port_space_mutex.
    port_connection_limits connection_limits{PORT_CONNECTIONS_PER_USER_DEFAULT, UINT32_MAX,
                                             PORT_IDLE_TIMEOUT_MS_DEFAULT};
    uint32_t unprivileged_connections = 0;  // under port_space_mutex
    // A listener handed over by the daemon's start-up (taken from the service manager's passed
    // descriptors) for the check-in to take; -1 when none. The server thread only.
    int preset_listener = -1;
};
extern port_space_state ports;

// A fresh generation (never 0).
uint32_t port_next_generation();

// Epoll data of a member: name and generation; 0 is reserved for a set's wake-up eventfd.
constexpr uint64_t port_epoll_data(mach_port_t name, uint32_t generation) {
    return (static_cast<uint64_t>(generation) << 32) | name;
}

// The entry of name, or null. Takes port_space_mutex.
port_ref port_space_find(mach_port_t name);
// The same with port_space_mutex already held.
port_ref port_space_find_locked(mach_port_t name);

// Adds entry under its descriptor number (assigning its generation) and returns the name.
// A name still in the space means a descriptor of the space was closed behind its back: a
// defect that stops the process.
mach_port_t port_space_insert(port_ref entry);

// Adds a connection of uid accepted on service to service's set, unless uid is over its
// limits (port_set_connection_limits): EDQUOT when it holds its own share, EUSERS when the
// unprivileged users together hold theirs. 0 or an errno value (the descriptor is then closed).
int port_space_add_connection(const port_ref& service, unique_fd connection, uint32_t uid,
                              uint64_t now_ms);

// Public connections that had no request since before cutoff_ms and have none waiting now,
// unlinked from the space; the caller drops them after unlocking. Caller holds
// port_space_mutex.
std::vector<port_ref> port_space_unlink_idle_locked(uint64_t cutoff_ms);

// The current limits.
port_connection_limits port_space_connection_limits();

// Unlinks name's entry, if it is still entry, from the space and from its set. Caller holds
// port_space_mutex; the returned reference should be dropped after unlocking.
port_ref port_space_unlink_locked(mach_port_t name, const port_ref& entry);

// Stops polling a member: removes it from its set, if that set still exists. Caller holds
// port_space_mutex.
void port_space_leave_set_locked(port_entry& entry);

// Moves fd to a number other than 0 (0 is MACH_PORT_NULL and can not name a port); returns
// the descriptor to use, or -1 with errno set. fd is consumed either way.
int port_fd_nonzero(int fd);
