// Raw-message helpers for test clients: direct sendmsg/recvmsg on sequenced-packet sockets and
// a register-request encoder that sends whatever fields the caller set.
#include "raw.h"

#include "platform/port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// Receive buffer: larger than any reply or event message the daemon sends inline.
constexpr size_t RAW_RECEIVE_BUFFER = PORT_MAX_DATAGRAM + 4096;
// Most descriptors one received datagram may bring.
constexpr size_t RAW_MAX_RECEIVED_FDS = 64;

int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

// Waits for events on fd until deadline (ms of CLOCK_MONOTONIC). 0, ETIMEDOUT or errno;
// *revents gets what poll reported.
int wait_for(int fd, short events, int64_t deadline, short* revents) {
    for (;;) {
        pollfd p = {fd, events, 0};
        int64_t left = std::max<int64_t>(deadline - now_ms(), 0);
        int n = poll(&p, 1, static_cast<int>(left));
        if (n > 0) {
            *revents = p.revents;
            return 0;
        }
        if (n == 0)
            return ETIMEDOUT;
        if (errno != EINTR)
            return errno;
    }
}

void append(std::vector<uint8_t>* out, const void* bytes, size_t size) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    out->insert(out->end(), p, p + size);
}

// Packs strings into an offsets region and a blob region.
void pack(std::span<const std::string> strings, std::vector<uint8_t>* offsets,
          std::vector<uint8_t>* blob) {
    offsets->clear();
    blob->clear();
    for (const std::string& s : strings) {
        uint32_t offset = static_cast<uint32_t>(blob->size());
        append(offsets, &offset, sizeof offset);
        append(blob, s.c_str(), s.size() + 1);
    }
}

void set_ool(mach_msg_ool_descriptor_t* desc) {
    desc->address = 0;
    desc->deallocate = 0;
    desc->copy = MACH_MSG_VIRTUAL_COPY;
    desc->pad1 = 0;
    desc->type = MACH_MSG_OOL_DESCRIPTOR;
}

}  // namespace

int raw_connect(const char* path, unique_fd* out) {
    if (path == nullptr)
        path = port_service_path();
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof addr.sun_path)
        return ENAMETOOLONG;
    strcpy(addr.sun_path, path);
    unique_fd s(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!s.valid())
        return errno;
    if (connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return errno;
    *out = std::move(s);
    return 0;
}

int raw_socketpair(unique_fd* a, unique_fd* b) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0)
        return errno;
    a->reset(sv[0]);
    b->reset(sv[1]);
    return 0;
}

int raw_send(int socket, const void* bytes, size_t size, std::span<const int> fds, int timeout_ms) {
    iovec iov = {const_cast<void*>(bytes), size};
    msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    std::vector<uint8_t> control;
    if (!fds.empty()) {
        control.assign(CMSG_SPACE(fds.size() * sizeof(int)), 0);
        msg.msg_control = control.data();
        msg.msg_controllen = control.size();
        cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
        cmsg->cmsg_level = SOL_SOCKET;
        cmsg->cmsg_type = SCM_RIGHTS;
        cmsg->cmsg_len = CMSG_LEN(fds.size() * sizeof(int));
        memcpy(CMSG_DATA(cmsg), fds.data(), fds.size() * sizeof(int));
    }
    int64_t deadline = now_ms() + timeout_ms;
    for (;;) {
        if (sendmsg(socket, &msg, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return errno;
        short revents = 0;
        int err = wait_for(socket, POLLOUT, deadline, &revents);
        if (err != 0)
            return err;
    }
}

int raw_receive(int socket, int timeout_ms, raw_datagram* out) {
    out->bytes.clear();
    out->fds.clear();
    short revents = 0;
    int err = wait_for(socket, POLLIN, now_ms() + timeout_ms, &revents);
    if (err != 0)
        return err;
    out->bytes.resize(RAW_RECEIVE_BUFFER);
    iovec iov = {out->bytes.data(), out->bytes.size()};
    alignas(cmsghdr) uint8_t control[CMSG_SPACE(RAW_MAX_RECEIVED_FDS * sizeof(int))];
    msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = recvmsg(socket, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        out->bytes.clear();
        return errno;
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; i++) {
            int fd;
            memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            out->fds.emplace_back(fd);
        }
    }
    out->bytes.resize(static_cast<size_t>(n));
    if (n == 0 && out->fds.empty() && (revents & POLLHUP) != 0)
        return ECONNRESET;
    if ((msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0)
        return EMSGSIZE;
    return 0;
}

int raw_rpc(int socket, const std::vector<uint8_t>& request, int timeout_ms, raw_datagram* reply) {
    int err = raw_send(socket, request.data(), request.size(), {}, timeout_ms);
    return err != 0 ? err : raw_receive(socket, timeout_ms, reply);
}

int raw_memfd(std::span<const uint8_t> bytes, bool seal, unique_fd* out) {
    unique_fd m(memfd_create("vantles-regions", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!m.valid())
        return errno;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(m.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        done += static_cast<size_t>(n);
    }
    if (seal &&
        fcntl(m.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0)
        return errno;
    *out = std::move(m);
    return 0;
}

std::vector<uint8_t> raw_simple_request(mach_msg_id_t id, uint32_t size, uint32_t bits) {
    std::vector<uint8_t> bytes(size, 0);
    mach_msg_header_t head = {bits, size, 0, 0, 0, id};
    if (size > 0)  // an empty vector's data() may be null, which memcpy may not be given
        memcpy(bytes.data(), &head, std::min<size_t>(size, sizeof head));
    if (size >= sizeof head + sizeof NDR_record)
        memcpy(bytes.data() + sizeof head, &NDR_record, sizeof NDR_record);
    return bytes;
}

void raw_register_build(raw_register* req, std::span<const std::string> paths,
                        std::span<const std::string> excludes) {
    pack(paths, &req->regions[0], &req->regions[1]);
    pack(excludes, &req->regions[2], &req->regions[3]);
    register_request_t& m = req->msg;
    m = {};
    m.head = {
        MACH_MSGH_BITS_COMPLEX | MACH_MSG_TYPE_COPY_SEND, sizeof m, 0, 0, 0, VANTLES_MSG_REGISTER};
    m.body.msgh_descriptor_count = 5;
    m.callback.disposition = MACH_MSG_TYPE_MOVE_SEND;
    m.callback.type = MACH_MSG_PORT_DESCRIPTOR;
    set_ool(&m.path_offsets);
    set_ool(&m.paths);
    set_ool(&m.exclude_offsets);
    set_ool(&m.excludes);
    m.NDR = NDR_record;
    m.latency = 0;
    m.create_flags = 0;
    m.since_when = VANTLES_SINCE_NOW;
    raw_register_sync(req);
    m.num_paths = m.path_offset_count;
    m.num_excludes = m.exclude_offset_count;
}

void raw_register_sync(raw_register* req) {
    register_request_t& m = req->msg;
    m.path_offsets.size = static_cast<uint32_t>(req->regions[0].size());
    m.paths.size = static_cast<uint32_t>(req->regions[1].size());
    m.exclude_offsets.size = static_cast<uint32_t>(req->regions[2].size());
    m.excludes.size = static_cast<uint32_t>(req->regions[3].size());
    m.path_offset_count = m.path_offsets.size / 4;
    m.paths_blob_size = m.paths.size;
    m.exclude_offset_count = m.exclude_offsets.size / 4;
    m.exclude_blob_size = m.excludes.size;
}

int raw_register_encode(const raw_register& req, std::vector<uint8_t>* datagram, unique_fd* memfd) {
    size_t size = req.msg.head.msgh_size;
    datagram->assign(size, 0);
    memcpy(datagram->data(), &req.msg, std::min(size, sizeof req.msg));
    uint32_t count = req.msg.body.msgh_descriptor_count;
    size_t num_regions = count == 0 ? 0 : std::min<size_t>(count - 1, 4);
    std::vector<uint8_t> regions;
    for (size_t i = 0; i < num_regions; i++)
        append(&regions, req.regions[i].data(), req.regions[i].size());
    memfd->reset();
    if (size + regions.size() > PORT_MAX_DATAGRAM)
        return raw_memfd(regions, true, memfd);
    append(datagram, regions.data(), regions.size());
    return 0;
}

int raw_register_send(int socket, const raw_register& req, std::span<const int> port_fds) {
    std::vector<uint8_t> datagram;
    unique_fd memfd;
    int err = raw_register_encode(req, &datagram, &memfd);
    if (err != 0)
        return err;
    std::vector<int> fds(port_fds.begin(), port_fds.end());
    if (memfd.valid())
        fds.push_back(memfd.get());
    return raw_send(socket, datagram.data(), datagram.size(), fds, 5000);
}
