// The monotonic clock in whole microseconds or milliseconds, for intervals and time-outs.
#pragma once

#include <chrono>
#include <cstdint>

inline uint64_t monotonic_us() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

inline uint64_t monotonic_ms() {
    return monotonic_us() / 1000;
}
