// Absolute deadlines for pthread_cond_timedwait, which measures them on the real-time clock
// unless the condition variable was made otherwise (none of ours is).
#pragma once

#include <time.h>

#include <cstdint>

// The real-time clock now plus us microseconds.
inline timespec deadline_after_us(uint64_t us) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    uint64_t nsec = static_cast<uint64_t>(ts.tv_nsec) + (us % 1000000) * 1000;
    ts.tv_sec += static_cast<time_t>(us / 1000000 + nsec / 1000000000);
    ts.tv_nsec = static_cast<long>(nsec % 1000000000);
    return ts;
}
