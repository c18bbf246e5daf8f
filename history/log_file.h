// Opening a log file to read it, the one way every reader does: never through a symbolic link,
// never blocking (a FIFO put in a log directory can not hang a reader, which may hold one of
// the few replay reader slots), and regular files only.
#pragma once

#include "platform/unique_fd.h"

#include <sys/types.h>

// Opens path read-only. 0 with *fd open and *size the file's size; ELOOP for a symbolic
// link, EINVAL for anything but a regular file; otherwise the errno of open or fstat.
int log_file_open(const char* path, unique_fd* fd, off_t* size);
