// Client side of the transport: connecting to the service, making a port to receive on,
// receiving one message with a timeout, and the request-reply call.
//
// A client's sockets may be blocking (their file status flags can be shared with other
// processes), so nothing here relies on O_NONBLOCK: every receive is MSG_DONTWAIT after poll
// said readable, and the timeouts are poll's.
#include "platform/port.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/port_space.h"
#include "platform/port_wire.h"

namespace {

struct free_deleter {
    void operator()(void* p) const { std::free(p); }
};

using port_clock = std::chrono::steady_clock;

// Milliseconds left until deadline (< 0 budget: for ever, reported as -1).
int time_left(int budget_ms, port_clock::time_point deadline) {
    if (budget_ms < 0) {
        return -1;
    }
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - port_clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left < INT_MAX ? left : INT_MAX);
}

int to_budget(mach_msg_timeout_t timeout_ms) {
    if (timeout_ms == MACH_MSG_TIMEOUT_NONE) {
        return -1;
    }
    return timeout_ms > INT_MAX ? INT_MAX : static_cast<int>(timeout_ms);
}

// The descriptor to receive on for name: a connection or receive right of the space (held by
// the caller for the duration), or a send right outside it.
kern_return_t receive_target(mach_port_t name, port_ref* held) {
    if (name == MACH_PORT_NULL || name > INT_MAX) {
        return MACH_RCV_INVALID_NAME;
    }
    *held = port_space_find(name);
    if (*held && (*held)->kind != PORT_KIND_CONNECTION && (*held)->kind != PORT_KIND_RECEIVE) {
        return MACH_RCV_INVALID_NAME;
    }
    return 0;
}

}  // namespace

kern_return_t port_receive_on(int fd, mach_port_t local, mach_msg_header_t* buffer,
                              size_t buffer_size, int timeout_ms) {
    std::unique_ptr<uint8_t, free_deleter> staging(
        static_cast<uint8_t*>(std::malloc(PORT_MAX_DATAGRAM)));
    if (!staging) {
        return MACH_RCV_TOO_LARGE;
    }
    const auto deadline =
        port_clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        port_datagram dg;
        const int err = port_recv_datagram(fd, staging.get(), PORT_MAX_DATAGRAM, &dg);
        if (err == EAGAIN || err == EWOULDBLOCK) {
            const int wait_ms = time_left(timeout_ms, deadline);
            if (wait_ms == 0) {
                return MACH_RCV_TIMED_OUT;
            }
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, wait_ms) < 0 && errno != EINTR) {
                return MACH_RCV_INVALID_NAME;
            }
            if (p.revents & POLLNVAL) {
                return MACH_RCV_INVALID_NAME;
            }
            continue;
        }
        if (err == EBADF || err == ENOTSOCK || err == EINVAL) {
            return MACH_RCV_INVALID_NAME;
        }
        if (err != 0) {
            return MACH_RCV_PORT_DIED;  // ECONNRESET, ENOTCONN: the peer is gone
        }
        if (dg.length == 0 && dg.right_count == 0 && !dg.rights_lost &&
            (dg.msg_flags & MSG_TRUNC) == 0) {
            // End of stream, or an empty datagram: the hang-up flag tells them apart.
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP)) {
                return MACH_RCV_PORT_DIED;
            }
            return MACH_RCV_INVALID_DATA;
        }
        kern_return_t kr = port_decode(staging.get(), &dg, buffer, buffer_size, buffer_size);
        if (kr != 0) {
            return kr;
        }
        buffer->msgh_local_port = local;
        buffer->msgh_remote_port = MACH_PORT_NULL;
        return 0;
    }
}

kern_return_t mach_msg_receive(mach_port_t port, mach_msg_header_t* buffer, size_t buffer_size,
                               mach_msg_timeout_t timeout_ms) {
    if (buffer == nullptr) {
        return MACH_RCV_TOO_LARGE;
    }
    port_ref held;
    kern_return_t kr = receive_target(port, &held);
    if (kr != 0) {
        return kr;
    }
    return port_receive_on(static_cast<int>(port), port, buffer, buffer_size,
                           to_budget(timeout_ms));
}

kern_return_t mach_msg_rpc(mach_msg_header_t* request, mach_msg_header_t* reply, size_t reply_size,
                           mach_msg_timeout_t timeout_ms) {
    if (request == nullptr || reply == nullptr) {
        return MACH_SEND_INVALID_DATA;
    }
    const mach_port_t port = request->msgh_remote_port;
    port_ref held;
    if (receive_target(port, &held) != 0) {
        return MACH_SEND_INVALID_DEST;
    }
    const int budget = to_budget(timeout_ms);
    const auto deadline = port_clock::now() + std::chrono::milliseconds(budget < 0 ? 0 : budget);
    kern_return_t kr = port_send_on(static_cast<int>(port), request, budget);
    if (kr != 0) {
        return kr;
    }
    return port_receive_on(static_cast<int>(port), port, reply, reply_size,
                           time_left(budget, deadline));
}

int port_connect(const char* path, mach_port_t* out_port) {
    if (out_port == nullptr) {
        return EINVAL;
    }
    const char* target = path != nullptr ? path : port_service_path();
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    const size_t length = std::strlen(target);
    if (length == 0 || length >= sizeof addr.sun_path) {
        return ENAMETOOLONG;
    }
    std::memcpy(addr.sun_path, target, length);

    unique_fd fd(port_fd_nonzero(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0)));
    if (!fd.valid()) {
        return errno;
    }
    // Credentials on this end make the daemon's replies carry them too.
    const int on = 1;
    if (setsockopt(fd.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        return errno;
    }
    int rc;
    do {
        rc = connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0 && errno != EISCONN) {
        return errno;
    }
    *out_port = static_cast<mach_port_t>(fd.release());
    return 0;
}

int port_make_pair(mach_port_t* out_receive, mach_port_t* out_send) {
    if (out_receive == nullptr || out_send == nullptr) {
        return EINVAL;
    }
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        return errno;
    }
    unique_fd receive(port_fd_nonzero(ends[0]));
    unique_fd send(port_fd_nonzero(ends[1]));
    if (!receive.valid() || !send.valid()) {
        return EMFILE;
    }
    const int on = 1;
    if (setsockopt(receive.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        return errno;
    }
    *out_receive = static_cast<mach_port_t>(receive.release());
    *out_send = static_cast<mach_port_t>(send.release());
    return 0;
}
