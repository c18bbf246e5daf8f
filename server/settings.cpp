// Settings from the environment (see settings.h).
#include "server/settings.h"

#include "clients/client_info.h"
#include "clients/client_tables.h"
#include "common/log.h"
#include "platform/descriptor_limit.h"
#include "platform/port.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr uint32_t SETTINGS_MAX_IDLE_TIMEOUT_S = 86400;
constexpr uint32_t SETTINGS_USERS_SHARING = 4;

// name's value when it is a whole number in [low, high]; otherwise fallback (logged when set).
uint32_t number_from(const char* name, uint32_t fallback, uint32_t low, uint32_t high) {
    const char* text = getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || *text == '-' || value < low || value > high) {
        log_error("%s=%s is not a number from %u to %u; using %u", name, text, low, high,
                  fallback);
        return fallback;
    }
    return static_cast<uint32_t>(value);
}

}  // namespace

void apply_environment_settings() {
    port_connection_limits limits;
    limits.all_users = port_connections_for_limit(descriptor_limit());
    // Under a small descriptor limit the default share shrinks, so that at least
    // SETTINGS_USERS_SHARING users fit beside each other.
    const uint32_t fair_share = std::max<uint32_t>(1, limits.all_users / SETTINGS_USERS_SHARING);
    limits.per_user = number_from("VANTLESD_CONNECTIONS_PER_USER",
                                  std::min(PORT_CONNECTIONS_PER_USER_DEFAULT, fair_share), 1,
                                  limits.all_users);
    limits.idle_timeout_ms = 1000 * number_from("VANTLESD_IDLE_TIMEOUT",
                                                PORT_IDLE_TIMEOUT_MS_DEFAULT / 1000, 0,
                                                SETTINGS_MAX_IDLE_TIMEOUT_S);
    port_set_connection_limits(limits);
    clients.client_max_per_user.store(
        number_from("VANTLESD_CLIENTS_PER_USER", CLIENT_PER_USER_DEFAULT, 1, CLIENT_USER_SLOTS),
        std::memory_order_relaxed);
}
