// Helpers shared by the transport tests: raw datagrams with descriptors, a hang-up probe, a
// scratch directory and a receive buffer with room for the trailer.
#pragma once

#include <cstdint>
#include <cstring>
#include <ftw.h>
#include <poll.h>
#include <stdlib.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "platform/mach_msg.h"

// Sends bytes as one datagram with fds attached, bypassing the transport.
inline ssize_t raw_send(int fd, const void* bytes, size_t length,
                        const std::vector<int>& fds = {}) {
    char control[CMSG_SPACE(sizeof(int) * 32)] = {};
    iovec iov = {const_cast<void*>(bytes), length};
    msghdr mh = {};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    if (!fds.empty()) {
        mh.msg_control = control;
        mh.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        cmsghdr* c = CMSG_FIRSTHDR(&mh);
        *c = {CMSG_LEN(sizeof(int) * fds.size()), SOL_SOCKET, SCM_RIGHTS};
        std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    }
    return sendmsg(fd, &mh, MSG_NOSIGNAL);
}

// True when the other end of fd's socket is gone (every copy closed).
inline bool peer_closed(int fd) {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
}

struct scratch_dir {
    std::string path;
    scratch_dir() {
        char templ[] = "/tmp/vantles-port-XXXXXX";
        path = mkdtemp(templ);
    }
    ~scratch_dir() {
        nftw(
            path.c_str(), [](const char* p, const struct stat*, int, FTW*) { return remove(p); }, 8,
            FTW_DEPTH | FTW_PHYS);
    }
};

struct receive_buffer {
    alignas(8) uint8_t bytes[4096 + 64] = {};
    mach_msg_header_t* head() { return reinterpret_cast<mach_msg_header_t*>(bytes); }
};
