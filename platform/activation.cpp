// The service manager's variables for passed descriptors (see activation.h).
#include "platform/activation.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

constexpr long ACTIVATION_MAX_FDS = 4096;

// The whole of text as a decimal number, or -1.
long whole_number(const char* text) {
    if (!text) {
        return -1;
    }
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    return errno != 0 || end == text || *end != '\0' ? -1 : value;
}

}  // namespace

int activation_fd_count() {
    if (whole_number(getenv("LISTEN_PID")) != static_cast<long>(getpid())) {
        return 0;
    }
    long n = whole_number(getenv("LISTEN_FDS"));
    return n > 0 && n < ACTIVATION_MAX_FDS ? static_cast<int>(n) : 0;
}

void activation_forget() {
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
}
