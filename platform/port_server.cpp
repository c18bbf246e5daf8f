// mach_msg_server: the request loop over a port set.
//
// The set is an epoll instance (level-triggered). Each wake-up is served one datagram per
// ready port, so a busy client can not starve the others: the service port accepts what is
// pending, a connection or receive right yields one request, which is decoded, handed to the
// handler and answered on the same socket. The entry of the port being served is held for the
// whole round, so a handler (or another thread) may drop the port meanwhile and the reply
// still goes out on the still-open descriptor; the last reference closes it afterwards.
//
// End of stream on a sequenced-packet socket reads as a zero-length datagram: a public
// connection is then closed and forgotten, and a receive right stops being polled and, when
// asked for, yields the no-senders notice. A datagram that is no message never reaches the
// handler, but its sender is not left waiting for a reply: with a whole header it gets the
// error reply MIG_BAD_ARGUMENTS; shorter ones (a zero-length datagram from a live peer too)
// can not be told apart from garbage and end the socket as a hang-up does.
//
// Public connections are admitted per uid (port_set_connection_limits): a refused one is
// closed at once, and a connection that stays idle is closed by a sweep that runs a few times
// per time-out between the rounds.
//
// The loop returns only when the set fails or is dropped (mach_port_mod_refs on the set,
// which wakes it through the set's eventfd).
#include "platform/port.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "common/log.h"
#include "common/log_throttle.h"
#include "common/monotonic_clock.h"
#include "platform/port_space.h"
#include "platform/port_wire.h"

namespace {

constexpr int SERVER_EVENTS_PER_WAIT = 64;
// Connections accepted per wake-up of the service port; the rest wait for the next round so
// that a burst of connections does not hold up requests.
constexpr int SERVER_ACCEPTS_PER_ROUND = 128;
// The error reply to a datagram that is no message: header, NDR record, return code; its id is
// the request's plus 100, as for every reply.
constexpr mach_msg_size_t SERVER_ERROR_REPLY_SIZE = PORT_REPLY_RETCODE_OFFSET + sizeof(int32_t);
constexpr uint32_t SERVER_REPLY_ID_OFFSET = 100;
// Sweeps for idle connections per idle time-out, and the shortest pause between two.
constexpr uint32_t SERVER_SWEEPS_PER_TIMEOUT = 4;
constexpr uint64_t SERVER_SWEEP_MIN_MS = 100;

struct free_deleter {
    void operator()(void* p) const { std::free(p); }
};

struct server_state {
    mach_msg_demux_t demux = nullptr;
    size_t max_size = 0;
    size_t buffer_size = 0;  // of request and reply: max_size rounded plus the trailer
    std::unique_ptr<uint8_t, free_deleter> request_bytes;
    std::unique_ptr<uint8_t, free_deleter> reply_bytes;
    std::unique_ptr<uint8_t, free_deleter> staging;
    // Held in reserve so that a full descriptor table still lets us accept and shed a
    // connection instead of spinning on a readable listener.
    unique_fd spare;
    log_throttle refusals;  // uids whose refused connections were logged lately
    uint64_t next_sweep_ms = 0;

    mach_msg_header_t* request() {
        return reinterpret_cast<mach_msg_header_t*>(request_bytes.get());
    }
    mach_msg_header_t* reply() { return reinterpret_cast<mach_msg_header_t*>(reply_bytes.get()); }
};

unique_fd open_spare() {
    return unique_fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
}

// The peer's uid; a peer whose credentials can not be had counts as nobody in particular.
uint32_t peer_uid(int fd) {
    ucred cred{};
    socklen_t length = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) {
        return UINT32_MAX;
    }
    return cred.uid;
}

void note_refusal(server_state& st, int err, uint32_t uid, uint64_t now_ms) {
    if (!log_throttle_due(&st.refusals, uid, now_ms)) {
        return;
    }
    const port_connection_limits limits = port_space_connection_limits();
    if (err == EDQUOT) {
        log_error("too many connections for uid %u (limit %u)", uid, limits.per_user);
    } else {
        log_error("too many connections of unprivileged users (limit %u); refused uid %u",
                  limits.all_users, uid);
    }
}

void accept_pending(server_state& st, const port_ref& service) {
    for (int i = 0; i < SERVER_ACCEPTS_PER_ROUND; ++i) {
        int fd = accept4(service->fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int err = errno;
            if (err == EINTR || err == ECONNABORTED) {
                continue;
            }
            if ((err == EMFILE || err == ENFILE) && st.spare.valid()) {
                st.spare.reset();
                unique_fd shed(accept4(service->fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
                shed.reset();
                st.spare = open_spare();
                continue;
            }
            return;  // EAGAIN: nothing more pending
        }
        fd = port_fd_nonzero(fd);
        if (fd < 0) {
            continue;
        }
        const uint32_t uid = peer_uid(fd);
        const uint64_t now_ms = monotonic_ms();
        // Closes it on failure.
        const int err = port_space_add_connection(service, unique_fd(fd), uid, now_ms);
        if (err == EDQUOT || err == EUSERS) {
            note_refusal(st, err, uid, now_ms);
        }
    }
}

// After the handler: destroy a refused request, then send or destroy the reply.
void finish(server_state& st, const port_ref& entry) {
    mach_msg_header_t* request = st.request();
    mach_msg_header_t* reply = st.reply();
    if (reply->msgh_size > st.buffer_size) {
        return;  // not a reply the handler could have built in its buffer
    }
    const bool reply_complex = (reply->msgh_bits & MACH_MSGH_BITS_COMPLEX) != 0;
    if (!reply_complex && static_cast<int32_t>(port_load_u32(st.reply_bytes.get() +
                                                             PORT_REPLY_RETCODE_OFFSET)) != 0) {
        // The request was refused: whatever it carried was not taken by the handler.
        request->msgh_remote_port = MACH_PORT_NULL;
        mach_msg_destroy(request);
    }
    if (reply->msgh_remote_port == MACH_PORT_NULL) {
        if (reply_complex) {
            port_destroy_unsent(reply);
        }
        return;
    }
    // Always on the socket the request came in on; never wait for room.
    if (port_send_on(entry->fd.get(), reply, 0) != 0) {
        port_destroy_unsent(reply);
    }
}

void clear_buffers(server_state& st) {
    std::memset(st.request_bytes.get(), 0, st.buffer_size);
    std::memset(st.reply_bytes.get(), 0, st.buffer_size);
}

void hang_up(server_state& st, const port_ref& entry) {
    const auto name = static_cast<mach_port_t>(entry->fd.get());
    if (entry->kind == PORT_KIND_CONNECTION) {
        port_ref dropped;
        std::lock_guard<std::mutex> lock(ports.port_space_mutex);
        dropped = port_space_unlink_locked(name, entry);
        return;
    }
    bool notify = false;
    {
        std::lock_guard<std::mutex> lock(ports.port_space_mutex);
        if (entry->hung_up) {
            return;
        }
        // Stop polling: the hang-up stays readable for ever. Set membership is kept so that
        // a later no-senders request can poll it again.
        port_ref set = port_space_find_locked(entry->set);
        if (set && set->generation == entry->set_generation) {
            epoll_ctl(set->fd.get(), EPOLL_CTL_DEL, entry->fd.get(), nullptr);
        }
        entry->hung_up = true;
        if (entry->notify_no_senders && port_space_find_locked(name) == entry) {
            notify = true;
            entry->notify_no_senders = false;  // a request yields one notice
        }
    }
    if (!notify) {
        return;
    }
    clear_buffers(st);
    auto* notice = reinterpret_cast<mach_no_senders_notification_t*>(st.request_bytes.get());
    notice->not_header.msgh_size = sizeof(mach_no_senders_notification_t);
    notice->not_header.msgh_remote_port = MACH_PORT_NULL;
    notice->not_header.msgh_local_port = name;
    notice->not_header.msgh_id = MACH_NOTIFY_NO_SENDERS;
    notice->NDR = NDR_record;
    notice->not_count = 0;
    port_write_system_trailer(&notice->not_header);
    st.demux(st.request(), st.reply());
    finish(st, entry);
}

// Answers a datagram of length bytes in staging that port_decode refused, on its socket.
void refuse_undecodable(server_state& st, const port_ref& entry, size_t length) {
    if (length < sizeof(mach_msg_header_t)) {
        hang_up(st, entry);
        return;
    }
    mach_msg_header_t request;
    std::memcpy(&request, st.staging.get(), sizeof request);
    mach_msg_header_t* reply = st.reply();  // cleared before the decode
    reply->msgh_bits = request.msgh_bits & MACH_MSGH_BITS_REMOTE_MASK;
    reply->msgh_size = SERVER_ERROR_REPLY_SIZE;
    reply->msgh_remote_port = static_cast<mach_port_t>(entry->fd.get());
    reply->msgh_id =
        static_cast<mach_msg_id_t>(static_cast<uint32_t>(request.msgh_id) + SERVER_REPLY_ID_OFFSET);
    std::memcpy(st.reply_bytes.get() + sizeof(mach_msg_header_t), &NDR_record, sizeof NDR_record);
    port_store_u32(st.reply_bytes.get() + PORT_REPLY_RETCODE_OFFSET,
                   static_cast<uint32_t>(MIG_BAD_ARGUMENTS));
    port_send_on(entry->fd.get(), reply, 0);  // as any reply: lost when the socket is full
}

void serve_one(server_state& st, const port_ref& entry) {
    port_datagram dg;
    const int err = port_recv_datagram(entry->fd.get(), st.staging.get(), PORT_MAX_DATAGRAM, &dg);
    if (err == EAGAIN || err == EWOULDBLOCK) {
        return;
    }
    if (err == ECONNRESET || err == EPIPE || err == ENOTCONN) {
        hang_up(st, entry);
        return;
    }
    if (err != 0) {
        return;
    }
    clear_buffers(st);
    if (port_decode(st.staging.get(), &dg, st.request(), st.buffer_size, st.max_size) != 0) {
        const size_t length = dg.length;
        dg = port_datagram{};  // its rights go before the sender can see the answer
        refuse_undecodable(st, entry, length);
        return;
    }
    if (entry->kind == PORT_KIND_CONNECTION) {
        entry->last_active_ms = monotonic_ms();
    }
    const auto name = static_cast<mach_port_t>(entry->fd.get());
    mach_msg_header_t* request = st.request();
    request->msgh_local_port = entry->kind == PORT_KIND_CONNECTION ? entry->service : name;
    request->msgh_remote_port = name;  // the reply token: this socket
    st.demux(request, st.reply());
    finish(st, entry);
}

bool set_alive(mach_port_t name, const port_ref& set) {
    return port_space_find(name) == set;
}

// Closes the connections idle for longer than the time-out when a sweep is due, and returns
// how long the loop may wait for the next one (-1: for ever).
int sweep_idle(server_state& st) {
    const uint32_t timeout_ms = port_space_connection_limits().idle_timeout_ms;
    if (timeout_ms == 0) {
        return -1;
    }
    const uint64_t now_ms = monotonic_ms();
    const uint64_t every_ms = std::max<uint64_t>(timeout_ms / SERVER_SWEEPS_PER_TIMEOUT,
                                                 SERVER_SWEEP_MIN_MS);
    // A time-out shortened meanwhile counts from now.
    if (now_ms >= st.next_sweep_ms || st.next_sweep_ms - now_ms > every_ms) {
        std::vector<port_ref> idle;
        if (now_ms > timeout_ms) {
            std::lock_guard<std::mutex> lock(ports.port_space_mutex);
            idle = port_space_unlink_idle_locked(now_ms - timeout_ms);
        }
        idle.clear();  // closes them, outside the lock
        st.next_sweep_ms = now_ms + every_ms;
    }
    return static_cast<int>(st.next_sweep_ms - now_ms);
}

}  // namespace

kern_return_t mach_msg_server(mach_msg_demux_t demux, mach_msg_size_t max_size, mach_port_t set,
                              uint32_t /*options: every request gets the audit trailer*/) {
    if (demux == nullptr || max_size < sizeof(mach_msg_header_t)) {
        return KERN_INVALID_ARGUMENT;
    }
    port_ref set_entry = port_space_find(set);
    if (!set_entry || set_entry->kind != PORT_KIND_SET) {
        return MACH_RCV_INVALID_NAME;
    }
    server_state st;
    st.demux = demux;
    st.max_size = max_size < PORT_MAX_DATAGRAM ? max_size : PORT_MAX_DATAGRAM;
    st.buffer_size =
        mach_msg_round(static_cast<mach_msg_size_t>(st.max_size)) + MACH_MSG_TRAILER_AUDIT_SIZE;
    st.request_bytes.reset(static_cast<uint8_t*>(std::malloc(st.buffer_size)));
    st.reply_bytes.reset(static_cast<uint8_t*>(std::malloc(st.buffer_size)));
    st.staging.reset(static_cast<uint8_t*>(std::malloc(PORT_MAX_DATAGRAM)));
    st.spare = open_spare();
    if (!st.request_bytes || !st.reply_bytes || !st.staging) {
        return KERN_RESOURCE_SHORTAGE;
    }

    epoll_event events[SERVER_EVENTS_PER_WAIT];
    for (;;) {
        if (!set_alive(set, set_entry)) {
            return MACH_RCV_PORT_DIED;
        }
        const int wait_ms = sweep_idle(st);
        const int n = epoll_wait(set_entry->fd.get(), events, SERVER_EVENTS_PER_WAIT, wait_ms);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return KERN_FAILURE;
        }
        for (int i = 0; i < n; ++i) {
            const uint64_t data = events[i].data.u64;
            if (data == 0) {
                continue;  // the set's wake-up: checked at the top of the loop
            }
            port_ref entry = port_space_find(static_cast<mach_port_t>(data));
            if (!entry || entry->generation != static_cast<uint32_t>(data >> 32)) {
                continue;  // dropped (and maybe reused) since the event was queued
            }
            if (entry->kind == PORT_KIND_SERVICE) {
                accept_pending(st, entry);
            } else if (entry->kind == PORT_KIND_CONNECTION || entry->kind == PORT_KIND_RECEIVE) {
                serve_one(st, entry);
            }
        }
    }
}

int port_hold_reply(mach_port_t reply_port, int* held) {
    int fd = fcntl(static_cast<int>(reply_port), F_DUPFD_CLOEXEC, 1);
    if (fd < 0) {
        return errno;
    }
    *held = fd;
    return 0;
}

kern_return_t port_send_held_reply(int held, mach_msg_header_t* reply) {
    kern_return_t kr = port_send_on(held, reply, 0);
    close(held);
    return kr;
}
