// Sending side of the datagram form: mach_msg_send, and the release of an unsent message.
//
// A send first checks the message and gathers the descriptors its port descriptors name,
// then builds one datagram (the message bytes with address fields cleared, then the regions,
// or the regions in a sealed memfd when that would pass PORT_MAX_DATAGRAM) and hands it to
// the kernel, which queues it whole or not at all. Rights move only after the kernel took the
// datagram: MOVE_SEND descriptors are closed then, and a MAKE_SEND's end B, which is claimed
// out of its receive right while the send is under way (so two senders can not hand it out
// twice), is closed then or given back on failure. The socket is never waited on except
// through poll with the caller's timeout, and MSG_NOSIGNAL keeps a dead peer from raising
// SIGPIPE.
#include "platform/port.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/port_space.h"
#include "platform/port_wire.h"

namespace {

// A sequenced-packet socket polls writable only once its send queue is down to a quarter,
// while a send fits as soon as one datagram's room is free. So the wait polls in slices and
// retries the send after each, instead of sleeping through room that is already there.
constexpr int SEND_POLL_SLICE_MS = 50;

struct free_deleter {
    void operator()(void* p) const { std::free(p); }
};
using heap_bytes = std::unique_ptr<uint8_t[], free_deleter>;

// The descriptors one message passes, and the rights that move once it is sent.
struct send_rights {
    int fds[PORT_MAX_RIGHTS];
    size_t fd_count = 0;
    int moved[PORT_MAX_RIGHTS];  // MOVE_SEND descriptors: closed after the send
    size_t moved_count = 0;
    port_ref claimed[PORT_MAX_RIGHTS];  // MAKE_SEND receive rights whose end B we hold
    unique_fd peers[PORT_MAX_RIGHTS];
    size_t claimed_count = 0;
    bool sent = false;

    ~send_rights() {
        if (sent) {
            for (size_t i = 0; i < moved_count; ++i) {
                ::close(moved[i]);
            }
        }
        std::lock_guard<std::mutex> lock(ports.port_space_mutex);
        for (size_t i = 0; i < claimed_count; ++i) {
            if (sent) {
                claimed[i]->peer_handed_out = true;
            } else {
                claimed[i]->peer = std::move(peers[i]);
            }
        }
        // On success the claimed ends B close with peers[].
    }
};

// Claims end B of the receive right name for a MAKE_SEND.
kern_return_t claim_peer(mach_port_t name, send_rights* rights) {
    std::lock_guard<std::mutex> lock(ports.port_space_mutex);
    port_ref entry = port_space_find_locked(name);
    if (!entry || entry->kind != PORT_KIND_RECEIVE || !entry->peer.valid()) {
        return MACH_SEND_INVALID_RIGHT;
    }
    size_t i = rights->claimed_count++;
    rights->peers[i] = std::move(entry->peer);
    rights->claimed[i] = std::move(entry);
    rights->fds[rights->fd_count++] = rights->peers[i].get();
    return 0;
}

kern_return_t gather_rights(const uint8_t* msg, const port_layout& layout, send_rights* rights) {
    kern_return_t kr = 0;
    port_for_each_descriptor(msg, layout.descriptors, [&](size_t offset, uint8_t type) {
        if (kr != 0 || type != MACH_MSG_PORT_DESCRIPTOR) {
            return;
        }
        const mach_port_t name = port_load_u32(msg + offset);
        const uint8_t disposition = msg[offset + PORT_DESCRIPTOR_DISPOSITION_OFFSET];
        if (disposition == MACH_MSG_TYPE_MAKE_SEND) {
            kr = claim_peer(name, rights);
            return;
        }
        if (disposition != MACH_MSG_TYPE_MOVE_SEND && disposition != MACH_MSG_TYPE_COPY_SEND) {
            kr = MACH_SEND_INVALID_RIGHT;
            return;
        }
        // A send right is a descriptor of ours outside the port space (whose descriptors
        // only the space may pass on or close).
        const int fd = static_cast<int>(name);
        if (name == MACH_PORT_NULL || fd < 0 || fcntl(fd, F_GETFD) < 0 || port_space_find(name)) {
            kr = MACH_SEND_INVALID_RIGHT;
            return;
        }
        if (disposition == MACH_MSG_TYPE_MOVE_SEND) {
            for (size_t i = 0; i < rights->moved_count; ++i) {
                if (rights->moved[i] == fd) {  // one right can not move twice
                    kr = MACH_SEND_INVALID_RIGHT;
                    return;
                }
            }
            rights->moved[rights->moved_count++] = fd;
        }
        rights->fds[rights->fd_count++] = fd;
    });
    return kr;
}

// Copies the regions, in descriptor order, to dst.
void copy_regions(const uint8_t* msg, const port_layout& layout, uint8_t* dst) {
    port_for_each_descriptor(msg, layout.descriptors, [&](size_t offset, uint8_t type) {
        if (type != MACH_MSG_OOL_DESCRIPTOR) {
            return;
        }
        uint32_t size = port_load_u32(msg + offset + PORT_OOL_SIZE_OFFSET);
        if (size > 0) {
            std::memcpy(dst, reinterpret_cast<const void*>(port_load_u64(msg + offset)), size);
            dst += size;
        }
    });
}

// A region of non-zero size needs an address.
bool regions_addressed(const uint8_t* msg, const port_layout& layout) {
    bool ok = true;
    port_for_each_descriptor(msg, layout.descriptors, [&](size_t offset, uint8_t type) {
        if (type == MACH_MSG_OOL_DESCRIPTOR &&
            port_load_u32(msg + offset + PORT_OOL_SIZE_OFFSET) != 0 &&
            port_load_u64(msg + offset) == 0) {
            ok = false;
        }
    });
    return ok;
}

kern_return_t errno_to_send_result(int err) {
    switch (err) {
        case ENOBUFS:
        case ENOMEM:
        case ETOOMANYREFS:  // too many descriptors in flight
            return MACH_SEND_NO_BUFFER;
        case EMSGSIZE:
            return MACH_SEND_TOO_LARGE;
        default:  // EPIPE, ECONNRESET, ECONNREFUSED, ENOTCONN, EBADF, ENOTSOCK, ...
            return MACH_SEND_INVALID_DEST;
    }
}

// The regions in a sealed memfd, or -1 with the send result in *kr.
int make_region_memfd(const uint8_t* msg, const port_layout& layout, kern_return_t* kr) {
    unique_fd memfd(memfd_create("vantles-ool", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!memfd.valid()) {
        *kr = errno_to_send_result(ENOMEM);
        return -1;
    }
    bool written = true;
    port_for_each_descriptor(msg, layout.descriptors, [&](size_t offset, uint8_t type) {
        if (type != MACH_MSG_OOL_DESCRIPTOR || !written) {
            return;
        }
        auto* src = reinterpret_cast<const uint8_t*>(port_load_u64(msg + offset));
        size_t left = port_load_u32(msg + offset + PORT_OOL_SIZE_OFFSET);
        while (left > 0) {
            ssize_t n = ::write(memfd.get(), src, left);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                written = false;
                return;
            }
            src += n;
            left -= static_cast<size_t>(n);
        }
    });
    constexpr int seals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL;
    if (!written || fcntl(memfd.get(), F_ADD_SEALS, seals) != 0) {
        *kr = MACH_SEND_NO_BUFFER;
        return -1;
    }
    return memfd.release();
}

// One sendmsg, retried while the socket is full until the timeout (< 0: for ever) ends.
kern_return_t transmit(int fd, const uint8_t* data, size_t length, const int* fds, size_t fd_count,
                       int timeout_ms) {
    union {
        cmsghdr align;
        char bytes[CMSG_SPACE(sizeof(int) * PORT_MAX_RIGHTS)];
    } control = {};
    iovec iov = {const_cast<uint8_t*>(data), length};
    msghdr mh = {};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    if (fd_count > 0) {
        mh.msg_control = control.bytes;
        mh.msg_controllen = CMSG_SPACE(sizeof(int) * fd_count);
        cmsghdr* c = CMSG_FIRSTHDR(&mh);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * fd_count);
        std::memcpy(CMSG_DATA(c), fds, sizeof(int) * fd_count);
    }

    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        if (sendmsg(fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) {
            return 0;  // a sequenced-packet send is whole or nothing
        }
        const int err = errno;
        if (err == EINTR) {
            continue;
        }
        if (err != EAGAIN && err != EWOULDBLOCK) {
            return errno_to_send_result(err);
        }
        int wait_ms = SEND_POLL_SLICE_MS;
        if (timeout_ms >= 0) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
            if (left.count() <= 0) {
                return MACH_SEND_TIMED_OUT;
            }
            wait_ms = left.count() < wait_ms ? static_cast<int>(left.count()) : wait_ms;
        }
        pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, wait_ms) < 0 && errno != EINTR) {
            return errno_to_send_result(errno);
        }
        // Writable, hung up or timed out: the next sendmsg tells which.
    }
}

}  // namespace

kern_return_t port_send_on(int fd, const mach_msg_header_t* msg, int timeout_ms) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(msg);
    const mach_msg_size_t size = msg->msgh_size;
    if (size < sizeof(mach_msg_header_t)) {
        return MACH_SEND_MSG_TOO_SMALL;
    }
    if (size > PORT_MAX_DATAGRAM) {
        return MACH_SEND_TOO_LARGE;
    }
    port_layout layout;
    if (port_scan_layout(bytes, size, &layout) != 0 || !regions_addressed(bytes, layout)) {
        return MACH_SEND_INVALID_DATA;
    }
    if (layout.ool_total > PORT_MAX_OOL_TOTAL) {
        return MACH_SEND_TOO_LARGE;
    }
    const bool in_memfd = size + layout.ool_total > PORT_MAX_DATAGRAM;
    if (layout.ports + (in_memfd ? 1u : 0u) > PORT_MAX_RIGHTS) {
        return MACH_SEND_TOO_LARGE;
    }

    send_rights rights;
    kern_return_t kr = gather_rights(bytes, layout, &rights);
    if (kr != 0) {
        return kr;
    }

    const size_t length = in_memfd ? size : size + layout.ool_total;
    heap_bytes wire(static_cast<uint8_t*>(std::malloc(length)));
    if (!wire) {
        return MACH_SEND_NO_BUFFER;
    }
    std::memcpy(wire.get(), bytes, size);
    port_for_each_descriptor(wire.get(), layout.descriptors, [&](size_t offset, uint8_t type) {
        if (type == MACH_MSG_OOL_DESCRIPTOR) {
            port_store_u64(wire.get() + offset, 0);
        }
    });
    unique_fd memfd;
    if (in_memfd) {
        memfd.reset(make_region_memfd(bytes, layout, &kr));
        if (!memfd.valid()) {
            return kr;
        }
        rights.fds[rights.fd_count++] = memfd.get();
    } else {
        copy_regions(bytes, layout, wire.get() + size);
    }

    kr = transmit(fd, wire.get(), length, rights.fds, rights.fd_count, timeout_ms);
    rights.sent = kr == 0;
    return kr;
}

kern_return_t mach_msg_send(mach_msg_header_t* msg, mach_msg_timeout_t timeout_ms) {
    if (msg == nullptr) {
        return MACH_SEND_INVALID_DATA;
    }
    const mach_port_t dest = msg->msgh_remote_port;
    if (dest == MACH_PORT_NULL || dest > INT_MAX) {
        return MACH_SEND_INVALID_DEST;
    }
    // A port of the space is held for the whole send, so its descriptor stays open even if
    // another thread drops the port meanwhile.
    port_ref entry = port_space_find(dest);
    if (entry && entry->kind != PORT_KIND_CONNECTION && entry->kind != PORT_KIND_RECEIVE) {
        return MACH_SEND_INVALID_DEST;
    }
    const int timeout = timeout_ms > INT_MAX ? INT_MAX : static_cast<int>(timeout_ms);
    return port_send_on(static_cast<int>(dest), msg, timeout);
}

void port_destroy_unsent(mach_msg_header_t* msg) {
    auto* bytes = reinterpret_cast<uint8_t*>(msg);
    port_layout layout;
    if (port_scan_layout(bytes, msg->msgh_size, &layout) != 0) {
        return;
    }
    port_for_each_descriptor(bytes, layout.descriptors, [&](size_t offset, uint8_t type) {
        if (type != MACH_MSG_PORT_DESCRIPTOR) {
            return;
        }
        const mach_port_t name = port_load_u32(bytes + offset);
        const uint8_t disposition = bytes[offset + PORT_DESCRIPTOR_DISPOSITION_OFFSET];
        if (name == MACH_PORT_NULL) {
            return;
        }
        if (disposition == MACH_MSG_TYPE_MOVE_SEND && !port_space_find(name)) {
            ::close(static_cast<int>(name));
            port_store_u32(bytes + offset, MACH_PORT_NULL);
        } else if (disposition == MACH_MSG_TYPE_MAKE_SEND) {
            // The send right made for this message dies with it: close end B, so the port
            // sees no senders once nobody else holds one.
            unique_fd peer;
            std::lock_guard<std::mutex> lock(ports.port_space_mutex);
            port_ref entry = port_space_find_locked(name);
            if (entry && entry->kind == PORT_KIND_RECEIVE && entry->peer.valid()) {
                peer = std::move(entry->peer);
                entry->peer_handed_out = true;
            }
        }
    });
}
