// The tool's parsers of times and volumes: every accepted form of a time gives the same
// instant as its plain seconds, anything else is refused rather than read as something else.
// The command lines of watch and history, and the printing of their events: a history takes
// only past ids and ends at the history-done event, even in the middle of a batch.
#include "platform/mounts.h"
#include "tools/options.h"
#include "tools/stream_command.h"
#include "tools/tool.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

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
    for (const char* bad :
         {"", "noon", "-5", "2026-13-01", "2026-12-32", "2026-12-06T25:00",
          "2026-12-06T21:30:00Zjunk", "2026-12-6", "2026-12-06T21", "2026-12-06T21:30+1"}) {
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

// Parses args (after the command name) as a command line of kind. The parsed options may point
// into args, as into argv.
int parse_stream(tool_stream_kind kind, std::vector<std::string>& args, tool_stream_args* out) {
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    return tool_parse_stream_args(kind, static_cast<int>(argv.size()), argv.data(), out);
}

TEST(ToolStreamArgs, HistoryTakesPastIdsAndNoLiveOptions) {
    std::vector<std::string> root = {"/"};
    tool_stream_args plain;
    ASSERT_EQ(0, parse_stream(tool_stream_kind::history, root, &plain));
    EXPECT_EQ(0u, plain.options.since_when);  // all that is kept
    EXPECT_TRUE(plain.output.until_history_done);
    EXPECT_EQ(std::vector<std::string>{"/"}, plain.options.paths);

    std::vector<std::string> every = {"--files", "--since=42", "/",   "--exclude", "/tmp",
                                      "--json",  "--device",   "8:1", "--socket",  "/s"};
    tool_stream_args full;
    ASSERT_EQ(0, parse_stream(tool_stream_kind::history, every, &full));
    EXPECT_EQ(42u, full.options.since_when);
    EXPECT_EQ(VANTLES_FLAG_FILE_EVENTS, full.options.create_flags);
    EXPECT_EQ(std::vector<std::string>{"tmp"}, full.options.excludes);  // on the device
    EXPECT_EQ(0x801u, full.options.device);
    EXPECT_STREQ("/s", full.socket);
    EXPECT_TRUE(full.output.json);

    // "now" (or its number) would wait for the first live event; the rest are watch's.
    for (std::vector<std::string> bad : {std::vector<std::string>{"--since", "now", "/"},
                                         {"--since", "18446744073709551615", "/"},
                                         {"--since", "-1", "/"},
                                         {"--latency", "1", "/"},
                                         {"--count", "1", "/"},
                                         {"--no-defer", "/"},
                                         {"--mark-self", "/"},
                                         {"--files"}}) {
        tool_stream_args args;
        EXPECT_EQ(TOOL_EXIT_USAGE, parse_stream(tool_stream_kind::history, bad, &args)) << bad[0];
    }
    std::vector<std::string> asks_help = {"--help"};
    tool_stream_args help;
    EXPECT_EQ(0, parse_stream(tool_stream_kind::history, asks_help, &help));
    EXPECT_TRUE(help.help);
}

TEST(ToolStreamArgs, WatchStartsNowAndRunsOn) {
    std::vector<std::string> root = {"/"};
    tool_stream_args plain;
    ASSERT_EQ(0, parse_stream(tool_stream_kind::watch, root, &plain));
    EXPECT_EQ(VANTLES_EVENT_ID_NOW, plain.options.since_when);
    EXPECT_FALSE(plain.output.until_history_done);
    EXPECT_EQ(100000u, plain.options.latency_us);

    std::vector<std::string> since = {"--since", "7", "--count", "3", "--latency", ".5", "/"};
    tool_stream_args past;
    ASSERT_EQ(0, parse_stream(tool_stream_kind::watch, since, &past));
    EXPECT_EQ(7u, past.options.since_when);
    EXPECT_EQ(3u, past.output.limit);
    EXPECT_EQ(500000u, past.options.latency_us);
    EXPECT_FALSE(past.output.until_history_done);
}

// Prints batches into a memory stream and returns what was printed.
std::string print_batches(tool_event_output* out,
                          const std::vector<std::vector<vantles_event>>& batches) {
    char* text = nullptr;
    size_t size = 0;
    out->file = open_memstream(&text, &size);
    EXPECT_NE(nullptr, out->file);
    if (out->file == nullptr) {
        return "";
    }
    for (const std::vector<vantles_event>& batch : batches) {
        tool_print_batch(out, batch);
    }
    fclose(out->file);
    std::string printed(text, size);
    free(text);
    return printed;
}

TEST(ToolStreamOutput, HistoryEndsAtTheHistoryDoneEvent) {
    constexpr uint32_t CREATED_FILE = VANTLES_EVENT_CREATED | VANTLES_EVENT_FILE;
    const std::vector<std::vector<vantles_event>> batches = {
        {{3, CREATED_FILE, "/d/a"}},
        {{5, VANTLES_EVENT_DIR_LEVEL, "/d/"},
         {6, VANTLES_EVENT_HISTORY_DONE, "/d"},
         {9, CREATED_FILE, "/d/live"}},
        {{10, CREATED_FILE, "/d/later"}},
    };
    const std::string replay = "3 created,file /d/a\n5 dir-level /d/\n6 history-done /d\n";

    tool_event_output history;
    history.until_history_done = true;
    EXPECT_EQ(replay, print_batches(&history, batches));
    EXPECT_TRUE(tool_output_complete(history));

    // A watch prints the history-done line like any event and goes on.
    tool_event_output watch;
    EXPECT_EQ(replay + "9 created,file /d/live\n10 created,file /d/later\n",
              print_batches(&watch, batches));
    EXPECT_FALSE(tool_output_complete(watch));

    tool_event_output counted;
    counted.limit = 2;
    EXPECT_EQ("3 created,file /d/a\n5 dir-level /d/\n", print_batches(&counted, batches));
    EXPECT_TRUE(tool_output_complete(counted));

    tool_event_output json;
    json.json = true;
    json.until_history_done = true;
    EXPECT_EQ(
        "{\"id\":5,\"flags\":[\"dir-level\"],\"path\":\"/d/\"}\n"
        "{\"id\":6,\"flags\":[\"history-done\"],\"path\":\"/d\"}\n",
        print_batches(&json, {batches[1]}));
}

}  // namespace
