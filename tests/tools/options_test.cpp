// The tool's parsers of times, volumes and the watch and history command lines (the built
// tool's statuses, messages and printing: tests/blackbox/vantles_cli_test.cpp).
#include "tools/options.h"
#include "tools/stream_command.h"
#include "tools/tool.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <cctype>
#include <ctime>

namespace {

// Every accepted form gives the same instant as its plain seconds; anything else is refused
// rather than read as something else.
TEST(ToolOptions, TimesInSecondsAndIso8601) {
    setenv("TZ", "UTC", 1);
    tzset();
    int64_t seconds = -1;
    for (const char* text : {"1796592600", "2026-12-06T21:30:00Z", "2026-12-06 21:30:00Z",
                             "2026-12-06T21:30Z", "2026-12-06T22:30:00+01:00",
                             "2026-12-06T20:30:00-0100", "2026-12-06T21:30:00" /* UTC here */})
        EXPECT_TRUE(tool_parse_time(text, &seconds) == 0 && seconds == 1796592600) << text;
    EXPECT_TRUE(tool_parse_time("2026-12-06", &seconds) == 0 && seconds == 1796515200);
    EXPECT_TRUE(tool_parse_time("0", &seconds) == 0 && seconds == 0);
    for (const char* text :
         {"", "noon", "-5", "2026-13-01", "2026-12-32", "2026-12-06T25:00",
          "2026-12-06T21:30:00Zjunk", "2026-12-6", "2026-12-06T21", "2026-12-06T21:30+1"})
        EXPECT_EQ(EINVAL, tool_parse_time(text, &seconds)) << text;
    unsetenv("TZ");
    tzset();
}

// A minor above 255 keeps its high bits; "0:0" is no device, and no file of that name.
TEST(ToolOptions, VolumesByDeviceOrPath) {
    uint32_t device = 0;
    ASSERT_EQ(0, tool_parse_volume("259:65536", &device));
    EXPECT_EQ((259u << 8) | (65536u << 12), device);
    EXPECT_EQ(ENOENT, tool_parse_volume("0:0", &device));
}

// The parsed options point into the arguments, as into argv: they are kept to the end.
int parse_stream(tool_stream_kind kind, std::vector<std::string> args, tool_stream_args* out) {
    static std::vector<std::vector<std::string>> kept;
    kept.push_back(std::move(args));
    std::vector<char*> argv;
    for (std::string& arg : kept.back())
        argv.push_back(arg.data());
    return tool_parse_stream_args(kind, static_cast<int>(argv.size()), argv.data(), out);
}

// A history takes only past ids ("now" would wait for a live event) and none of watch's live
// options; a watch starts now unless told otherwise.
TEST(ToolStreamArgs, CommandLinesOfHistoryAndWatch) {
    using k = tool_stream_kind;
    for (const std::vector<std::string>& refused : {std::vector<std::string>{"--since", "now", "/"},
                                                    {"--since", "18446744073709551615", "/"},
                                                    {"--since", "-1", "/"},
                                                    {"--latency", "1", "/"},
                                                    {"--no-defer", "/"},
                                                    {"--mark-self", "/"}}) {
        tool_stream_args args;
        EXPECT_EQ(TOOL_EXIT_USAGE, parse_stream(k::history, refused, &args))
            << refused[1 % refused.size()];
    }
    tool_stream_args a, w;
    ASSERT_EQ(0, parse_stream(k::history, {"/"}, &a));
    EXPECT_TRUE(a.options.since_when == 0 && a.output.until_history_done);  // all that is kept
    ASSERT_EQ(0, parse_stream(k::history,
                              {"--files", "--since=42", "/", "--exclude", "/tmp", "--json",
                               "--device", "8:1", "--socket", "/s"},
                              &a));
    EXPECT_TRUE(a.options.since_when == 42 && a.options.create_flags == VANTLES_FLAG_FILE_EVENTS);
    EXPECT_EQ(std::vector<std::string>{"tmp"}, a.options.excludes);  // on the device
    EXPECT_EQ(0x801u, a.options.device);
    EXPECT_TRUE(a.output.json && strcmp("/s", a.socket) == 0);
    ASSERT_EQ(0, parse_stream(k::watch, {"/"}, &w));
    EXPECT_TRUE(w.options.since_when == VANTLES_EVENT_ID_NOW && !w.output.until_history_done &&
                w.options.latency_us == 100000);
    ASSERT_EQ(0,
              parse_stream(k::watch, {"--since", "7", "--count", "3", "--latency", ".5", "/"}, &w));
    EXPECT_TRUE(w.options.since_when == 7 && w.output.limit == 3 && w.options.latency_us == 500000);
}

// Globs on paths: a name glob, whole-path globs from any component or from the root, and "**"
// for none or many components; then the filter: --exclude GLOB beside a path, --include,
// --event, and notices that pass whatever the filter says.
TEST(ToolFilter, GlobsFlagsAndNotices) {
    using k = tool_stream_kind;
    struct {
        const char* glob;
        const char* path;
        bool matches;
    } cases[] = {
        // clang-format off
        {"*.c", "/home/u/p/src/a.c", true}, {"*.c", "/home/u/p/src/a.h", false},
        {"src/*.c", "/home/u/p/src/a.c", true}, {"src/*.c", "/home/u/p/src/x/a.c", false},
        {"/home/*/p", "/home/u/p", true}, {"/home/*/p", "/srv/home/u/p", false},
        {"**/build/**", "/p/build", true}, {"**/build/**", "/p/x/build/o/a.o", true},
        {"**/build/**", "/p/builds/a.o", false},
        {"p/**/a.c", "/w/p/a.c", true}, {"p/**/a.c", "/w/p/x/y/a.c", true},
        {"[ab]?.txt", "/d/b1.txt", true}, {".*", "/d/.git", true}, {"*", "/", false},
        // clang-format on
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.matches, tool_glob_matches(c.glob, c.path)) << c.glob << " " << c.path;

    tool_stream_args a;
    ASSERT_EQ(0, parse_stream(k::watch,
                              {"--exclude", "**/build/**", "--exclude", "/tmp", "--include", "*.c",
                               "--event", "created,removed", "/"},
                              &a));
    EXPECT_EQ(std::vector<std::string>{"/tmp"}, a.options.excludes);
    const tool_filter& f = a.output.filter;
    EXPECT_TRUE(tool_filter_keeps(f, {1, VANTLES_EVENT_CREATED, "/p/a.c"}));
    EXPECT_FALSE(tool_filter_keeps(f, {2, VANTLES_EVENT_MODIFIED, "/p/a.c"}));
    EXPECT_FALSE(tool_filter_keeps(f, {3, VANTLES_EVENT_CREATED, "/p/a.h"}));
    EXPECT_FALSE(tool_filter_keeps(f, {4, VANTLES_EVENT_CREATED, "/p/build/a.c"}));
    EXPECT_TRUE(tool_filter_keeps(f, {5, VANTLES_EVENT_USER_DROPPED, "/p/build"}));
    EXPECT_TRUE(tool_filter_keeps(f, {6, VANTLES_EVENT_HISTORY_DONE, "/"}));
    EXPECT_EQ(TOOL_EXIT_USAGE, parse_stream(k::watch, {"--event", "created,bogus", "/"}, &a));
}

// --format expands its fields, --json ends with the batch's time, and a filtered event is
// neither printed nor counted while its id is still the position.
TEST(ToolOutput, FormatJsonTimeAndFilteredEvents) {
    char* text = nullptr;
    size_t size = 0;
    FILE* file = open_memstream(&text, &size);
    tool_event_output out;
    out.file = file;
    out.format = "%i %f %p %t %%";
    out.filter.include = {"*.c"};
    vantles_event batch[] = {{7, VANTLES_EVENT_CREATED, "/p/a.c"}, {9, 0, "/p/a.h"}};
    tool_print_batch(&out, batch);
    out.format.clear();
    out.json = true;
    tool_print_batch(&out, std::span(batch, 1));
    fclose(file);
    std::string printed(text, size);
    free(text);
    // The times as printed, each of the form 2026-12-08T18:40:01.123Z.
    auto is_time = [](const std::string& t) {
        const std::string form = "dddd-dd-ddTdd:dd:dd.dddZ";
        return t.size() == form.size() && std::ranges::equal(t, form, [](char c, char f) {
                   return f == 'd' ? isdigit(static_cast<unsigned char>(c)) != 0 : c == f;
               });
    };
    const std::string first = "7 created /p/a.c ";
    std::string t1 = printed.substr(first.size(), 24);
    size_t json_time = printed.find("\"time\":\"");
    std::string t2 = json_time == std::string::npos ? "" : printed.substr(json_time + 8, 24);
    EXPECT_TRUE(is_time(t1) && is_time(t2)) << printed;
    EXPECT_EQ(first + t1 + " %\n{\"id\":7,\"flags\":[\"created\"],\"path\":\"/p/a.c\",\"time\":\"" +
                  t2 + "\"}\n",
              printed);
    EXPECT_EQ(2u, out.printed);
    EXPECT_EQ(9u, out.highest);
}

}  // namespace
