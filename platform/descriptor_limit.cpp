// Raising the process's descriptor limit (see descriptor_limit.h).
#include "platform/descriptor_limit.h"

#include <sys/resource.h>

#include <cerrno>

int raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return errno;
    }
    if (limit.rlim_cur == limit.rlim_max) {
        return 0;
    }
    limit.rlim_cur = limit.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0 ? 0 : errno;
}

uint64_t descriptor_limit() {
    rlimit limit{};
    return getrlimit(RLIMIT_NOFILE, &limit) == 0 ? static_cast<uint64_t>(limit.rlim_cur) : 0;
}
