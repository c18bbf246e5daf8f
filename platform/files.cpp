// The path behind a descriptor and the exclusive create of history files.
#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

int fd_get_path(int fd, char* out, size_t out_size) {
    if (fd < 0)
        return EBADF;
    if (out_size == 0)
        return ENAMETOOLONG;
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, out, out_size);
    if (n < 0)
        return errno;
    if (static_cast<size_t>(n) >= out_size)
        return ENAMETOOLONG;
    out[n] = '\0';
    return 0;
}

int open_protected_create(const char* path, int flags, mode_t mode) {
    return open(path, flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}
