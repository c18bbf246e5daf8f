// File calls the history store needs beyond POSIX: the path a descriptor names, and the
// exclusive protected create of history files.
#pragma once

#include <sys/types.h>

#include <cstddef>

// The path the descriptor names (readlink of /proc/self/fd/N). 0 or errno.
int fd_get_path(int fd, char* out, size_t out_size);

// Creates path exclusively (O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC plus flags), mode 0600
// unless given. Returns the descriptor or -1 with errno set.
int open_protected_create(const char* path, int flags, mode_t mode = 0600);
