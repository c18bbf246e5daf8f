// The event thread's process-wide flags and the wait for start-up (see event_flags.h). Kept
// apart from the thread itself so that the producer, the clients and the request side can read
// them without linking the whole event machinery.
#include "intake/event_flags.h"

#include <unistd.h>

namespace {

constexpr int STARTUP_WAIT_TRIES = 40;
constexpr useconds_t STARTUP_WAIT_SLEEP_US = 250000;

}  // namespace

lifecycle_flags lifecycle;

bool wait_for_startup() {
    int sleeps = 0;
    while (lifecycle.event_thread_ready.load() == 0 && lifecycle.shutting_down.load() == 0 &&
           sleeps < STARTUP_WAIT_TRIES) {
        usleep(STARTUP_WAIT_SLEEP_US);
        ++sleeps;
    }
    // Readiness first seen after the last sleep still counts as a time-out.
    if (sleeps >= STARTUP_WAIT_TRIES) {
        return false;
    }
    return lifecycle.shutting_down.load() == 0;
}
