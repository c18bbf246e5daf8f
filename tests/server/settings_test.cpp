// Settings from the environment: a value is taken only when it is a whole number in range;
// anything else leaves the default, and a value set but refused is logged.
#include "clients/client_info.h"
#include "clients/client_tables.h"
#include "common/log.h"
#include "server/settings.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdlib>
#include <string>

namespace {

TEST(settings, a_value_counts_only_as_a_whole_number_in_range) {
    log_open("server_tests", LOG_PERROR);
    const std::string top = std::to_string(CLIENT_USER_SLOTS);
    const std::string over = std::to_string(CLIENT_USER_SLOTS + 1);
    constexpr uint32_t DEFAULT = CLIENT_PER_USER_DEFAULT;
    const struct {
        const char* value;  // nullptr: not set
        uint32_t taken;
        bool logged;
    } rows[] = {
        // clang-format off
        {nullptr, DEFAULT, false}, {"", DEFAULT, false},  // not set: the default, quietly
        {"7", 7, false}, {"1", 1, false}, {top.c_str(), CLIENT_USER_SLOTS, false},
        {"0", DEFAULT, true}, {"7x", DEFAULT, true}, {"-7", DEFAULT, true},
        {"99999999999999999999", DEFAULT, true}, {over.c_str(), DEFAULT, true},
        // clang-format on
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.value ? r.value : "(unset)");
        if (r.value)
            setenv("VANTLESD_CLIENTS_PER_USER", r.value, 1);
        else
            unsetenv("VANTLESD_CLIENTS_PER_USER");
        clients.client_max_per_user = 0;
        ::testing::internal::CaptureStderr();
        apply_environment_settings();
        std::string log = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(clients.client_max_per_user.load(), r.taken);
        EXPECT_EQ(log.find("VANTLESD_CLIENTS_PER_USER=") != std::string::npos, r.logged) << log;
    }
    unsetenv("VANTLESD_CLIENTS_PER_USER");
}

}  // namespace
