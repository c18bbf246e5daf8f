// Opening a log file to read it (see log_file.h).
#include "history/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <utility>

int log_file_open(const char* path, unique_fd* fd, off_t* size) {
    unique_fd opened(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!opened.valid()) {
        return errno;
    }
    struct stat st;
    if (fstat(opened.get(), &st) != 0) {
        return errno;
    }
    if (!S_ISREG(st.st_mode)) {
        return EINVAL;
    }
    *size = st.st_size;
    *fd = std::move(opened);
    return 0;
}
