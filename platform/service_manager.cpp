// The service manager's protocols, spoken directly (they are small and stable, and the
// library that offers them would cost the daemon a megabyte of resident pages in itself and
// the libraries it loads): the descriptors passed at start (LISTEN_PID, LISTEN_FDS and
// LISTEN_FDNAMES, from descriptor 3 on), and datagrams to NOTIFY_SOCKET for readiness,
// status and the descriptor store (FDSTORE=1 with the descriptor attached).
#include "platform/service_manager.h"

#include "platform/activation.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr int SERVICE_MAX_PASSED = 16;

struct passed_fd {
    int fd;
    char name[256];
};

// The descriptors the service manager passed, taken from the environment once (under
// passed_lock) by whichever thread asks first.
struct passed_fds {
    std::mutex passed_lock;
    bool passed_taken = false;
    passed_fd passed[SERVICE_MAX_PASSED];
    int passed_count = 0;
};
passed_fds handed;

void take_locked() {
    if (handed.passed_taken) {
        return;
    }
    handed.passed_taken = true;
    int n = activation_fd_count();
    // Names are separated by colons, in the descriptors' order.
    const char* names = getenv("LISTEN_FDNAMES");
    for (int i = 0; i < n; i++) {
        int fd = ACTIVATION_FIRST_FD + i;
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        size_t len = 0;
        if (names) {
            len = strcspn(names, ":");
        }
        if (handed.passed_count < SERVICE_MAX_PASSED) {
            handed.passed[handed.passed_count].fd = fd;
            if (len > 0) {
                snprintf(handed.passed[handed.passed_count].name,
                         sizeof handed.passed[handed.passed_count].name, "%.*s", (int)len, names);
            } else {
                snprintf(handed.passed[handed.passed_count].name,
                         sizeof handed.passed[handed.passed_count].name, "unknown");
            }
            handed.passed_count++;
        } else {
            close(fd);  // more than the daemon ever stores or listens on
        }
        if (names) {
            names = names[len] == ':' ? names + len + 1 : nullptr;
        }
    }
    activation_forget();
}

// A listening local socket of the given type.
bool is_listener(int fd, int type) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        return false;
    }
    int value = 0;
    socklen_t len = sizeof value;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &value, &len) != 0 || value != type) {
        return false;
    }
    len = sizeof value;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &value, &len) != 0 || value == 0) {
        return false;
    }
    sockaddr_storage addr = {};
    len = sizeof addr;
    return getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
           addr.ss_family == AF_UNIX;
}

// Sends state to the service manager, with fd attached when it is not -1. 0, or an errno
// value; 0 also without a service manager.
int notify(const char* state, int fd = -1) {
    const char* where = getenv("NOTIFY_SOCKET");
    if (!where || !*where) {
        return 0;
    }
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    size_t len = strlen(where);
    if ((where[0] != '/' && where[0] != '@') || len >= sizeof addr.sun_path) {
        return EINVAL;
    }
    memcpy(addr.sun_path, where, len);
    if (where[0] == '@') {
        addr.sun_path[0] = '\0';  // an abstract address
    }
    int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        return errno;
    }
    iovec iov = {const_cast<char*>(state), strlen(state)};
    msghdr msg = {};
    msg.msg_name = &addr;
    msg.msg_namelen = (socklen_t)(offsetof(sockaddr_un, sun_path) + len);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (fd >= 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    int err = sendmsg(sock, &msg, MSG_NOSIGNAL) < 0 ? errno : 0;
    close(sock);
    return err;
}

int claim_at(int i) {
    int fd = handed.passed[i].fd;
    handed.passed[i] = handed.passed[--handed.passed_count];
    return fd;
}

}  // namespace

int service_take_passed_fds() {
    std::lock_guard<std::mutex> guard(handed.passed_lock);
    take_locked();
    return handed.passed_count;
}

int service_claim_fd(const char* name) {
    std::lock_guard<std::mutex> guard(handed.passed_lock);
    take_locked();
    for (int i = 0; i < handed.passed_count; i++) {
        if (strcmp(handed.passed[i].name, name) == 0) {
            return claim_at(i);
        }
    }
    return -1;
}

int service_claim_listener(int type) {
    std::lock_guard<std::mutex> guard(handed.passed_lock);
    take_locked();
    for (int i = 0; i < handed.passed_count; i++) {
        if (is_listener(handed.passed[i].fd, type)) {
            return claim_at(i);
        }
    }
    return -1;
}

bool service_manager_present() {
    const char* socket = getenv("NOTIFY_SOCKET");
    return socket && *socket;
}

int service_notify_ready() {
    return notify("READY=1");
}

int service_notify_stopping() {
    return notify("STOPPING=1");
}

int service_notify_status(uint64_t event_id, int32_t clients) {
    char state[96];
    snprintf(state, sizeof state, "STATUS=event id %" PRIu64 ", %d clients", event_id,
             (int)clients);
    return notify(state);
}

int service_store_fd(int fd, const char* name) {
    if (!service_manager_present()) {
        return 0;
    }
    char state[320];
    snprintf(state, sizeof state, "FDSTORE=1\nFDNAME=%s", name);
    return notify(state, fd);
}
