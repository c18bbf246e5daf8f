// The process-wide port space and the port calls of port.h that manage it: allocation of
// receive rights and port sets, set membership, no-senders requests and the dropping of
// rights. The lifetime rules are in port_space.h.
#include "platform/port_space.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "common/vantle_assert.h"
#include "platform/port.h"

port_space_state ports;

namespace {

// Never destroyed: threads may still use the space while the process exits.
std::unordered_map<mach_port_t, port_ref>& space() {
    static auto* table = new std::unordered_map<mach_port_t, port_ref>();
    return *table;
}

std::unordered_map<uint32_t, uint32_t>& connections_by_uid() {
    static auto* counts = new std::unordered_map<uint32_t, uint32_t>();
    return *counts;
}

void forget_connection_locked(const port_entry& entry) {
    if (entry.kind != PORT_KIND_CONNECTION || entry.uid == 0) {
        return;
    }
    auto it = connections_by_uid().find(entry.uid);
    if (it != connections_by_uid().end() && --it->second == 0) {
        connections_by_uid().erase(it);
    }
    ports.unprivileged_connections--;
}

uint32_t member_events(const port_entry& entry) {
    // Receive rights and connections also report the peer's hang-up.
    return entry.kind == PORT_KIND_SERVICE ? EPOLLIN : EPOLLIN | EPOLLRDHUP;
}

int poll_through(const port_entry& set, const port_entry& member, mach_port_t name) {
    epoll_event ev = {};
    ev.events = member_events(member);
    ev.data.u64 = port_epoll_data(name, member.generation);
    return epoll_ctl(set.fd.get(), EPOLL_CTL_ADD, member.fd.get(), &ev) == 0 ? 0 : errno;
}

kern_return_t errno_to_kern(int err) {
    return err == EMFILE || err == ENFILE || err == ENOMEM || err == ENOSPC ? KERN_RESOURCE_SHORTAGE
                                                                            : KERN_FAILURE;
}

}  // namespace

uint32_t port_next_generation() {
    uint32_t g;
    do {
        g = ports.generation_counter.fetch_add(1, std::memory_order_relaxed) + 1;
    } while (g == 0);
    return g;
}

int port_fd_nonzero(int fd) {
    if (fd != 0) {
        return fd;
    }
    int moved = fcntl(0, F_DUPFD_CLOEXEC, 1);
    int err = errno;
    ::close(0);
    errno = err;
    return moved;
}

port_ref port_space_find_locked(mach_port_t name) {
    auto it = space().find(name);
    return it == space().end() ? nullptr : it->second;
}

port_ref port_space_find(mach_port_t name) {
    std::lock_guard<std::mutex> lock(ports.port_space_mutex);
    return port_space_find_locked(name);
}

mach_port_t port_space_insert(port_ref entry) {
    const auto name = static_cast<mach_port_t>(entry->fd.get());
    entry->generation = port_next_generation();
    std::lock_guard<std::mutex> lock(ports.port_space_mutex);
    bool inserted = space().emplace(name, std::move(entry)).second;
    VANTLE_ASSERT(inserted);
    return name;
}

void port_space_leave_set_locked(port_entry& entry) {
    if (entry.set != MACH_PORT_NULL) {
        port_ref set = port_space_find_locked(entry.set);
        // A set that is gone took its memberships with it; a hung-up port is not polled.
        if (set && set->generation == entry.set_generation && !entry.hung_up) {
            epoll_ctl(set->fd.get(), EPOLL_CTL_DEL, entry.fd.get(), nullptr);
        }
    }
    entry.set = MACH_PORT_NULL;
    entry.set_generation = 0;
}

port_ref port_space_unlink_locked(mach_port_t name, const port_ref& entry) {
    auto it = space().find(name);
    if (it == space().end() || it->second != entry) {
        return nullptr;
    }
    port_ref unlinked = std::move(it->second);
    space().erase(it);
    forget_connection_locked(*unlinked);
    port_space_leave_set_locked(*unlinked);
    return unlinked;
}

uint32_t port_connections_for_limit(uint64_t nofile) {
    uint64_t n = nofile >= 2 * PORT_DESCRIPTORS_KEPT ? nofile - PORT_DESCRIPTORS_KEPT : nofile / 4;
    return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
}

void port_set_connection_limits(const port_connection_limits& limits) {
    std::lock_guard<std::mutex> lock(ports.port_space_mutex);
    ports.connection_limits = limits;
}

port_connection_limits port_space_connection_limits() {
    std::lock_guard<std::mutex> lock(ports.port_space_mutex);
    return ports.connection_limits;
}

std::vector<port_ref> port_space_unlink_idle_locked(uint64_t cutoff_ms) {
    std::vector<port_ref> idle;
    for (const auto& [name, entry] : space()) {
        if (entry->kind != PORT_KIND_CONNECTION || entry->last_active_ms >= cutoff_ms) {
            continue;
        }
        // A request that came in since the server loop last looked is served, not dropped.
        char byte;
        if (recv(entry->fd.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) >= 0) {
            continue;
        }
        idle.push_back(entry);
    }
    for (const port_ref& entry : idle) {
        port_space_unlink_locked(static_cast<mach_port_t>(entry->fd.get()), entry);
    }
    return idle;
}

namespace {

// 0 when uid may hold one more connection, else why not. Caller holds port_space_mutex.
int admission_refusal_locked(uint32_t uid) {
    if (uid == 0) {
        return 0;
    }
    auto it = connections_by_uid().find(uid);
    if (it != connections_by_uid().end() && it->second >= ports.connection_limits.per_user) {
        return EDQUOT;
    }
    return ports.unprivileged_connections >= ports.connection_limits.all_users ? EUSERS : 0;
}

}  // namespace

int port_space_add_connection(const port_ref& service, unique_fd connection, uint32_t uid,
                              uint64_t now_ms) {
    // Refused before anything is made for it: a flood of connections costs little each.
    {
        std::lock_guard<std::mutex> lock(ports.port_space_mutex);
        if (int refusal = admission_refusal_locked(uid)) {
            return refusal;
        }
    }
    const int on = 1;
    if (setsockopt(connection.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        return errno;
    }
    auto entry = std::make_shared<port_entry>();
    entry->kind = PORT_KIND_CONNECTION;
    entry->fd = std::move(connection);
    entry->service = static_cast<mach_port_t>(service->fd.get());
    entry->generation = port_next_generation();
    entry->uid = uid;
    entry->last_active_ms = now_ms;
    const auto name = static_cast<mach_port_t>(entry->fd.get());

    std::lock_guard<std::mutex> lock(ports.port_space_mutex);
    if (port_space_find_locked(entry->service) != service) {
        return ECONNABORTED;  // the service port was dropped meanwhile
    }
    if (int refusal = admission_refusal_locked(uid)) {
        return refusal;
    }
    port_ref set = port_space_find_locked(service->set);
    if (set && set->generation == service->set_generation) {
        int err = poll_through(*set, *entry, name);
        if (err != 0) {
            return err;
        }
        entry->set = service->set;
        entry->set_generation = service->set_generation;
    }
    if (uid != 0) {
        connections_by_uid()[uid]++;
        ports.unprivileged_connections++;
    }
    bool inserted = space().emplace(name, std::move(entry)).second;
    VANTLE_ASSERT(inserted);
    return 0;
}

kern_return_t mach_port_allocate(uint32_t right, mach_port_t* out_name) {
    if (out_name == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    auto entry = std::make_shared<port_entry>();
    if (right == MACH_PORT_RIGHT_PORT_SET) {
        entry->kind = PORT_KIND_SET;
        entry->fd.reset(port_fd_nonzero(epoll_create1(EPOLL_CLOEXEC)));
        if (!entry->fd.valid()) {
            return errno_to_kern(errno);
        }
        // Data 0 marks the wake-up descriptor; no member has generation 0.
        entry->wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.u64 = 0;
        if (!entry->wake.valid() ||
            epoll_ctl(entry->fd.get(), EPOLL_CTL_ADD, entry->wake.get(), &ev) != 0) {
            return errno_to_kern(errno);
        }
    } else if (right == MACH_PORT_RIGHT_RECEIVE) {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
            return errno_to_kern(errno);
        }
        entry->kind = PORT_KIND_RECEIVE;
        entry->peer.reset(port_fd_nonzero(ends[1]));
        entry->fd.reset(port_fd_nonzero(ends[0]));
        // End A alone is non-blocking: the file status flags of end B travel with it to the
        // client. Credentials on A cover datagrams in both directions.
        const int on = 1;
        if (!entry->fd.valid() || !entry->peer.valid() ||
            fcntl(entry->fd.get(), F_SETFL, O_NONBLOCK) != 0 ||
            setsockopt(entry->fd.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
            return errno_to_kern(errno);
        }
    } else {
        return KERN_INVALID_ARGUMENT;
    }
    *out_name = port_space_insert(std::move(entry));
    return KERN_SUCCESS;
}

kern_return_t mach_port_request_notification_no_senders(mach_port_t port) {
    std::lock_guard<std::mutex> lock(ports.port_space_mutex);
    port_ref entry = port_space_find_locked(port);
    if (!entry) {
        return KERN_INVALID_NAME;
    }
    if (entry->kind != PORT_KIND_RECEIVE) {
        return KERN_INVALID_RIGHT;
    }
    entry->notify_no_senders = true;
    if (entry->hung_up) {
        // The senders are already gone: poll the port again so that the server loop sees
        // the hang-up once more and now delivers the notice.
        port_ref set = port_space_find_locked(entry->set);
        if (set && set->generation == entry->set_generation &&
            poll_through(*set, *entry, port) == 0) {
            entry->hung_up = false;
        }
    }
    return KERN_SUCCESS;
}

kern_return_t mach_port_move_member(mach_port_t port, mach_port_t set_name) {
    std::lock_guard<std::mutex> lock(ports.port_space_mutex);
    port_ref member = port_space_find_locked(port);
    port_ref set = port_space_find_locked(set_name);
    if (!member || !set) {
        return KERN_INVALID_NAME;
    }
    if (set->kind != PORT_KIND_SET ||
        (member->kind != PORT_KIND_SERVICE && member->kind != PORT_KIND_RECEIVE)) {
        return KERN_INVALID_RIGHT;
    }
    if (member->set == set_name && member->set_generation == set->generation) {
        return KERN_SUCCESS;
    }
    port_space_leave_set_locked(*member);
    if (!member->hung_up) {
        int err = poll_through(*set, *member, port);
        if (err != 0) {
            return errno_to_kern(err);
        }
    }
    member->set = set_name;
    member->set_generation = set->generation;
    return KERN_SUCCESS;
}

kern_return_t mach_port_mod_refs(mach_port_t name, uint32_t right, int delta) {
    if (right == MACH_PORT_RIGHT_SEND && delta == -1) {
        return mach_port_deallocate(name);
    }
    if (right != MACH_PORT_RIGHT_SEND && right != MACH_PORT_RIGHT_RECEIVE &&
        right != MACH_PORT_RIGHT_PORT_SET) {
        return KERN_INVALID_ARGUMENT;
    }
    if (delta != 0 && delta != -1) {
        return KERN_INVALID_ARGUMENT;
    }
    // Unlinked entries are released after the lock: the last reference closes descriptors.
    std::vector<port_ref> dropped;
    std::lock_guard<std::mutex> lock(ports.port_space_mutex);
    port_ref entry = port_space_find_locked(name);
    if (!entry) {
        return KERN_INVALID_NAME;
    }
    const bool receive = entry->kind == PORT_KIND_RECEIVE || entry->kind == PORT_KIND_SERVICE;
    if ((right == MACH_PORT_RIGHT_RECEIVE && !receive) ||
        (right == MACH_PORT_RIGHT_PORT_SET && entry->kind != PORT_KIND_SET) ||
        (right == MACH_PORT_RIGHT_SEND && entry->kind != PORT_KIND_CONNECTION)) {
        return KERN_INVALID_RIGHT;
    }
    if (delta == 0) {
        return KERN_SUCCESS;
    }
    dropped.push_back(port_space_unlink_locked(name, entry));
    if (entry->kind == PORT_KIND_SERVICE) {
        // Without its service port a connection can never be answered: drop them all.
        for (auto& [other, candidate] : space()) {
            if (candidate->kind == PORT_KIND_CONNECTION && candidate->service == name) {
                dropped.push_back(candidate);
            }
        }
        for (size_t i = 1; i < dropped.size(); ++i) {
            port_space_unlink_locked(static_cast<mach_port_t>(dropped[i]->fd.get()), dropped[i]);
        }
    } else if (entry->kind == PORT_KIND_SET) {
        // Wake any server loop blocked on the set so that it returns.
        const uint64_t one = 1;
        ssize_t ignored = ::write(entry->wake.get(), &one, sizeof one);
        (void)ignored;
    }
    return KERN_SUCCESS;
}

kern_return_t mach_port_deallocate(mach_port_t name) {
    if (name == MACH_PORT_NULL || static_cast<int>(name) < 0) {
        return KERN_INVALID_NAME;
    }
    {
        port_ref dropped;
        std::lock_guard<std::mutex> lock(ports.port_space_mutex);
        port_ref entry = port_space_find_locked(name);
        if (entry) {
            if (entry->kind != PORT_KIND_CONNECTION) {
                return KERN_INVALID_RIGHT;
            }
            dropped = port_space_unlink_locked(name, entry);
            return KERN_SUCCESS;
        }
    }
    if (::close(static_cast<int>(name)) != 0 && errno == EBADF) {
        return KERN_INVALID_NAME;
    }
    return KERN_SUCCESS;
}
