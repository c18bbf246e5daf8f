// Process names from /proc/PID/exe. A deleted executable reads as "name (deleted)"; the
// suffix is kept, since it tells the operator that the process runs an old binary.
#include "platform/process_name.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

const char* process_name(int32_t pid, char* out, size_t size) {
    static constexpr char UNKNOWN[] = "(unknown)";
    char link[64];
    char target[PROCESS_NAME_BUFFER];
    snprintf(link, sizeof link, "/proc/%d/exe", pid);
    ssize_t n = pid > 0 ? readlink(link, target, sizeof target - 1) : -1;
    const char* name = UNKNOWN;
    if (n > 0) {
        target[n] = '\0';
        const char* slash = strrchr(target, '/');
        name = slash && slash[1] ? slash + 1 : target;
    }
    snprintf(out, size, "%s", name);
    return out;
}

int process_own_path(std::string* out) {
    char path[PROCESS_NAME_BUFFER];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return n == 0 ? ENOENT : errno;
    }
    out->assign(path, static_cast<size_t>(n));
    return 0;
}
