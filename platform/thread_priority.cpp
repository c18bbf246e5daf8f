// Per-thread scheduling priority. On Linux a nice value set on a thread id applies to that
// thread alone.
#include "platform/thread_priority.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

int thread_set_precedence(int importance) {
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -importance) != 0)
        return errno;
    return 0;
}
