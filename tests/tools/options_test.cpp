// The tool's parsers of times, volumes and the watch, history and id command lines. The built
// tool's exit statuses, messages and printing (a history ends at its history-done line, a
// count ends a watch) are checked end to end in tests/blackbox/vantles_cli_test.cpp.
#include "platform/mounts.h"
#include "tools/options.h"
#include "tools/stream_command.h"
#include "tools/tool.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

// Every accepted form gives the same instant as its plain seconds; anything else is refused
// rather than read as something else.
TEST(ToolOptions, TimesInSecondsAndIso8601) {
    setenv("TZ", "UTC", 1);
    tzset();
    const struct {
        const char* text;
        int64_t seconds;  // -1: refused
    } cases[] = {
        {"0", 0},
        {"1796592600", 1796592600},
        {"2026-12-06T21:30:00Z", 1796592600},
        {"2026-12-06 21:30:00Z", 1796592600},
        {"2026-12-06T21:30Z", 1796592600},
        {"2026-12-06T22:30:00+01:00", 1796592600},
        {"2026-12-06T20:30:00-0100", 1796592600},
        {"2026-12-06T21:30:00", 1796592600},  // local time, UTC here
        {"2026-12-06", 1796515200},
        {"", -1},
        {"noon", -1},
        {"-5", -1},
        {"2026-13-01", -1},
        {"2026-12-32", -1},
        {"2026-12-06T25:00", -1},
        {"2026-12-06T21:30:00Zjunk", -1},
        {"2026-12-6", -1},
        {"2026-12-06T21", -1},
        {"2026-12-06T21:30+1", -1},
    };
    for (const auto& c : cases) {
        int64_t seconds = -1;
        EXPECT_EQ(c.seconds < 0 ? EINVAL : 0, tool_parse_time(c.text, &seconds)) << c.text;
        EXPECT_TRUE(c.seconds < 0 || c.seconds == seconds) << c.text << " gave " << seconds;
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

// The parsed options point into the arguments, as they do into a process's argv: the
// arguments are kept for the rest of the test.
int parse_stream(tool_stream_kind kind, std::vector<std::string> args, tool_stream_args* out) {
    static std::vector<std::vector<std::string>> kept;
    kept.push_back(std::move(args));
    std::vector<char*> argv;
    for (std::string& arg : kept.back())
        argv.push_back(arg.data());
    return tool_parse_stream_args(kind, static_cast<int>(argv.size()), argv.data(), out);
}

// A history takes only past ids ("now" would wait for a live event) and none of watch's
// live options; a watch starts now unless told otherwise.
TEST(ToolStreamArgs, CommandLinesOfHistoryAndWatch) {
    using k = tool_stream_kind;
    for (const std::vector<std::string>& refused : {std::vector<std::string>{"--since", "now", "/"},
                                                    {"--since", "18446744073709551615", "/"},
                                                    {"--since", "-1", "/"},
                                                    {"--latency", "1", "/"},
                                                    {"--count", "1", "/"},
                                                    {"--no-defer", "/"},
                                                    {"--mark-self", "/"},
                                                    {"--files"}}) {
        tool_stream_args args;
        EXPECT_EQ(TOOL_EXIT_USAGE, parse_stream(k::history, refused, &args))
            << refused[1 % refused.size()];
    }

    tool_stream_args a;
    ASSERT_EQ(0, parse_stream(k::history, {"/"}, &a));
    EXPECT_EQ(0u, a.options.since_when);  // all that is kept
    EXPECT_TRUE(a.output.until_history_done);
    tool_stream_args full;
    ASSERT_EQ(0, parse_stream(k::history,
                              {"--files", "--since=42", "/", "--exclude", "/tmp", "--json",
                               "--device", "8:1", "--socket", "/s"},
                              &full));
    EXPECT_EQ(42u, full.options.since_when);
    EXPECT_EQ(VANTLES_FLAG_FILE_EVENTS, full.options.create_flags);
    EXPECT_EQ(std::vector<std::string>{"tmp"}, full.options.excludes);  // on the device
    EXPECT_EQ(0x801u, full.options.device);
    EXPECT_STREQ("/s", full.socket);
    EXPECT_TRUE(full.output.json);

    tool_stream_args w;
    ASSERT_EQ(0, parse_stream(k::watch, {"/"}, &w));
    EXPECT_EQ(VANTLES_EVENT_ID_NOW, w.options.since_when);
    EXPECT_FALSE(w.output.until_history_done);
    EXPECT_EQ(100000u, w.options.latency_us);
    ASSERT_EQ(0,
              parse_stream(k::watch, {"--since", "7", "--count", "3", "--latency", ".5", "/"}, &w));
    EXPECT_EQ(7u, w.options.since_when);
    EXPECT_EQ(3u, w.output.limit);
    EXPECT_EQ(500000u, w.options.latency_us);
}

// `vantles id` refuses what it cannot use before it connects: usage errors exit 2, a volume
// that is not there exits 1.
TEST(ToolIdArgs, RefusedBeforeConnecting) {
    const struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"--volume", "/"}, TOOL_EXIT_USAGE},  // needs --before
        {{"--before", "noon"}, TOOL_EXIT_USAGE},
        {{"--bogus"}, TOOL_EXIT_USAGE},
        {{"--before", "0", "--volume", "/no/such/place"}, TOOL_EXIT_FAILURE},
    };
    for (auto c : cases) {
        std::vector<char*> argv;
        for (std::string& arg : c.args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        EXPECT_EQ(c.status, id_command(static_cast<int>(c.args.size()), argv.data()))
            << c.args[1 % c.args.size()];
    }
}

}  // namespace
