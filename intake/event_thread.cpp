// The event thread: its process-wide flags and its entry point.
//
// The thread prepares the intake tables, clones the kernel event device, starts the producer
// and then runs the consumer loop. Only the first steps exist so far: the kernel event intake
// lands here next, so event_thread() stops after the CRC table with EINVAL, as a daemon that
// cannot reach its event source does. The request side then serves requests that need the
// event machinery as "not ready" after its start-up wait. No signal handling is installed
// yet, so a termination signal still ends the process with its default action.
#include "intake/event_thread.h"

#include "common/crc.h"
#include "common/log.h"

#include <cerrno>

std::atomic<uint32_t> event_thread_ready{0};
std::atomic<uint32_t> shutting_down{0};

int event_thread() {
    crc_table_init();
    // No kernel event source to clone yet.
    return EINVAL;
}

void* implementation_event_thread(void*) {
    if (event_thread() != 0) {
        log_critical("%s : failed to startup the vantles main loop.",
                     "implementation_event_thread");
    }
    return nullptr;
}
