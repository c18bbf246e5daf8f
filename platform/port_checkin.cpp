// bootstrap_check_in: taking the service's listening socket.
//
// A socket-activated daemon inherits the listener as descriptor 3. Otherwise the daemon binds
// the service path itself. A socket file already at the path is probed with a connect: an
// answer means another daemon holds the service, and the check-in fails; a refusal means the
// file was left behind by a daemon that is gone, and it is replaced. Check-ins that share the
// socket's directory are serialised with flock on the directory, so that two daemons starting
// together can not both decide the file is stale and unlink each other's socket.
#include "platform/activation.h"
#include "platform/port.h"
#include "platform/port_space.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/port_space.h"

namespace {

// Connections waiting to be accepted. Short, because one user flooding the socket keeps the
// queue full, and every other user's connection waits behind all that is queued in it.
constexpr int CHECKIN_LISTEN_BACKLOG = 256;

// 0 when the option reads expected, EINVAL when it reads otherwise, else getsockopt's errno.
int socket_option_is(int fd, int option, int expected) {
    int value = 0;
    socklen_t length = sizeof value;
    if (getsockopt(fd, SOL_SOCKET, option, &value, &length) != 0) {
        return errno;
    }
    return value == expected ? 0 : EINVAL;
}

// Checks that fd is a listening sequenced-packet socket of our family and readies it.
int adopt_listener(int fd, unique_fd* out) {
    int err = socket_option_is(fd, SO_DOMAIN, AF_UNIX);
    if (err == 0) {
        err = socket_option_is(fd, SO_TYPE, SOCK_SEQPACKET);
    }
    if (err == 0) {
        err = socket_option_is(fd, SO_ACCEPTCONN, 1);
    }
    if (err != 0) {
        return err;
    }
    const int on = 1;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 ||
        fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        return errno;
    }
    out->reset(fd);
    return 0;
}

// The activated listener: 0 with *out set, ENOENT when this process was not activated.
int take_activated(unique_fd* out) {
    if (ports.preset_listener >= 0) {
        int fd = ports.preset_listener;
        ports.preset_listener = -1;
        return adopt_listener(fd, out);
    }
    if (activation_fd_count() != 1) {
        return ENOENT;
    }
    activation_forget();
    return adopt_listener(ACTIVATION_FIRST_FD, out);
}

// 0 when something answers at addr, ECONNREFUSED when nothing listens there, else an errno.
int probe(const sockaddr_un& addr) {
    unique_fd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        return errno;
    }
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
        return 0;
    }
    switch (errno) {
        case EAGAIN:  // listening, backlog full
            return 0;
        case EPROTOTYPE:  // a live socket of another kind: not ours to replace
            return EADDRINUSE;
        default:
            return errno;
    }
}

// Creates the parent directory of path (the last component only), mode 0755. Returns the
// directory, opened for flock, or -1 with errno set.
int open_parent(const char* path) {
    char parent[sizeof(sockaddr_un::sun_path)];
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        std::strcpy(parent, ".");
    } else if (slash == path) {
        std::strcpy(parent, "/");
    } else {
        std::memcpy(parent, path, static_cast<size_t>(slash - path));
        parent[slash - path] = '\0';
        if (mkdir(parent, 0755) == 0) {
            chmod(parent, 0755);  // whatever the umask
        } else if (errno != EEXIST) {
            return -1;
        }
    }
    return open(parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int bind_service(const char* path, unique_fd* out) {
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    const size_t length = std::strlen(path);
    if (length == 0 || length >= sizeof addr.sun_path) {
        return ENAMETOOLONG;
    }
    std::memcpy(addr.sun_path, path, length);

    unique_fd dir(open_parent(path));
    if (!dir.valid()) {
        return errno;
    }
    while (flock(dir.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    // The lock is released when dir closes, after listen.

    struct stat st;
    if (lstat(path, &st) == 0) {
        if (S_ISSOCK(st.st_mode)) {
            int answer = probe(addr);
            if (answer == 0) {
                return BOOTSTRAP_SERVICE_ACTIVE;
            }
            if (answer != ECONNREFUSED) {
                return answer;
            }
            if (unlink(path) != 0 && errno != ENOENT) {
                return errno;
            }
        }
        // Anything else at the path stays: bind reports EADDRINUSE.
    } else if (errno != ENOENT) {
        return errno;
    }

    unique_fd fd(
        port_fd_nonzero(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)));
    if (!fd.valid()) {
        return errno;
    }
    // Before listen, so that every accepted socket inherits it.
    const int on = 1;
    if (setsockopt(fd.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        return errno;
    }
    if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        return errno;
    }
    // Any user may register.
    if (chmod(path, 0666) != 0 || listen(fd.get(), CHECKIN_LISTEN_BACKLOG) != 0) {
        int err = errno;
        unlink(path);
        return err;
    }
    *out = std::move(fd);
    return 0;
}

}  // namespace

void bootstrap_use_listener(int fd) {
    ports.preset_listener = fd;
}

kern_return_t bootstrap_check_in(const char* service_name, mach_port_t* out_port) {
    if (service_name == nullptr || out_port == nullptr) {
        return EINVAL;
    }
    unique_fd listener;
    int err = take_activated(&listener);
    if (err == ENOENT) {
        err = bind_service(port_service_path(), &listener);
    }
    if (err != 0) {
        return err;
    }
    auto entry = std::make_shared<port_entry>();
    entry->kind = PORT_KIND_SERVICE;
    entry->fd = std::move(listener);
    *out_port = port_space_insert(std::move(entry));
    return KERN_SUCCESS;
}
