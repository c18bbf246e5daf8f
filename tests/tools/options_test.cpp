// The tool's parsers of times and volumes: every accepted form of a time gives the same
// instant as its plain seconds, anything else is refused rather than read as something else.
#include "platform/mounts.h"
#include "tools/options.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace {

TEST(ToolOptions, TimesInSecondsAndIso8601) {
    setenv("TZ", "UTC", 1);
    tzset();
    const struct {
        const char* text;
        int64_t seconds;
    } good[] = {
        {"0", 0},
        {"1796592600", 1796592600},
        {"2026-12-06T21:30:00Z", 1796592600},
        {"2026-12-06 21:30:00Z", 1796592600},
        {"2026-12-06T21:30Z", 1796592600},
        {"2026-12-06T22:30:00+01:00", 1796592600},
        {"2026-12-06T20:30:00-0100", 1796592600},
        {"2026-12-06T21:30:00", 1796592600},  // local time, UTC here
        {"2026-12-06", 1796515200},
    };
    for (const auto& c : good) {
        int64_t seconds = -1;
        EXPECT_EQ(0, tool_parse_time(c.text, &seconds)) << c.text;
        EXPECT_EQ(c.seconds, seconds) << c.text;
    }
    for (const char* bad : {"", "noon", "-5", "2026-13-01", "2026-12-32", "2026-12-06T25:00",
                            "2026-12-06T21:30:00Zjunk", "2026-12-6", "2026-12-06T21",
                            "2026-12-06T21:30+1"}) {
        int64_t seconds = 0;
        EXPECT_EQ(EINVAL, tool_parse_time(bad, &seconds)) << bad;
    }
    unsetenv("TZ");
    tzset();
}

TEST(ToolOptions, VolumesByDeviceOrPath) {
    uint32_t device = 0;
    ASSERT_EQ(0, tool_parse_volume("8:1", &device));
    EXPECT_EQ(0x801u, device);
    ASSERT_EQ(0, tool_parse_volume("259:65536", &device));  // minor above 255
    EXPECT_EQ((259u << 8) | (65536u << 12), device);
    struct stat st;
    ASSERT_EQ(0, stat("/", &st));
    ASSERT_EQ(0, tool_parse_volume("/", &device));
    EXPECT_EQ(device_number_32(st.st_dev), device);
    EXPECT_EQ(ENOENT, tool_parse_volume("/no/such/place", &device));
    EXPECT_EQ(ENOENT, tool_parse_volume("0:0", &device));  // not a device, and no such file
}

}  // namespace
