// Polling for a condition that another thread makes true, where there is nothing to wait on.
#pragma once

#include "common/monotonic_clock.h"

#include <unistd.h>

#include <cstdint>

// Asks done() every step_us until it answers true (true) or timeout_ms have passed (false).
template <typename F>
bool poll_until(F done, int timeout_ms, unsigned step_us) {
    for (uint64_t end = monotonic_us() + static_cast<uint64_t>(timeout_ms) * 1000;;
         usleep(step_us)) {
        if (done())
            return true;
        if (monotonic_us() >= end)
            return false;
    }
}
