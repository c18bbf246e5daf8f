// Keeps a refusal that a user can cause at will from flooding the system log: a message about
// a key (a uid) is due at most once per interval, however often the refusal happens.
// A log_throttle is not locked: each belongs to one thread or lock, as its users say; a
// shared_log_throttle takes its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

constexpr uint64_t LOG_THROTTLE_INTERVAL_MS = 60000;
// Keys remembered before those whose interval has passed are forgotten.
constexpr size_t LOG_THROTTLE_KEYS = 1024;

struct log_throttle {
    std::unordered_map<uint32_t, uint64_t> last_ms;  // key -> when its message was last due
};

// Whether the message about key is due at now_ms (any monotonic clock in ms); if so, the
// interval starts again from now_ms.
inline bool log_throttle_due(log_throttle* t, uint32_t key, uint64_t now_ms) {
    auto it = t->last_ms.find(key);
    if (it != t->last_ms.end() && now_ms - it->second < LOG_THROTTLE_INTERVAL_MS) {
        return false;
    }
    if (it == t->last_ms.end() && t->last_ms.size() >= LOG_THROTTLE_KEYS) {
        std::erase_if(t->last_ms, [now_ms](const auto& entry) {
            return now_ms - entry.second >= LOG_THROTTLE_INTERVAL_MS;
        });
    }
    t->last_ms[key] = now_ms;
    return true;
}

// A throttle that several threads consult (delivery threads, say).
struct shared_log_throttle {
    std::mutex lock;
    log_throttle keys;
};

inline bool log_throttle_due(shared_log_throttle* t, uint32_t key, uint64_t now_ms) {
    std::lock_guard<std::mutex> hold(t->lock);
    return log_throttle_due(&t->keys, key, now_ms);
}
