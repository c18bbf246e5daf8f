// Helpers shared by the transport tests: raw datagrams with descriptors, descriptor counting,
// a scratch directory and a bounded wait for an asynchronous condition.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <ftw.h>
#include <poll.h>
#include <stdlib.h>
#include <string>
#include <sys/socket.h>
#include <thread>
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
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    }
    return sendmsg(fd, &mh, MSG_NOSIGNAL);
}

inline int count_open_fds() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

// True when the other end of fd's socket is gone (every copy closed).
inline bool peer_closed(int fd) {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
}

// Polls condition until it holds or about five seconds passed.
template <typename F>
bool eventually(F condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
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

// A received message with room for its trailer.
struct receive_buffer {
    alignas(8) uint8_t bytes[4096 + 64] = {};
    mach_msg_header_t* head() { return reinterpret_cast<mach_msg_header_t*>(bytes); }
    const mach_msg_audit_trailer_t* trailer() {
        return reinterpret_cast<const mach_msg_audit_trailer_t*>(bytes +
                                                                 mach_msg_round(head()->msgh_size));
    }
};
