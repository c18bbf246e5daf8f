// Command-line parsing shared by the tool's commands: long options with or without a value
// among the operands, and the parsers of option values (seconds, event ids, device numbers,
// counts) and of paths.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct tool_option {
    const char* name;  // without the leading "--"
    bool takes_value;
    int key;
};

struct tool_parsed_option {
    int key;
    const char* value;  // null for an option without a value
};

// Key of --help (and -h), which every command accepts.
constexpr int TOOL_OPTION_HELP = -1;

// Splits argv into options and operands. Options are "--name", "--name VALUE" or
// "--name=VALUE", in any order among the operands; "--" ends them and "-" is an operand.
// Returns 0, or prints a usage error and returns TOOL_EXIT_USAGE.
int tool_parse_args(int argc, char** argv, std::span<const tool_option> table,
                    std::vector<tool_parsed_option>* options, std::vector<const char*>* operands);

// "SECONDS" as a decimal number ("2", "0.25", at most 6 decimals, at most 1,000,000 s) in
// microseconds. 0 or EINVAL.
int tool_parse_seconds(const char* text, uint64_t* microseconds);

// A decimal unsigned 64-bit number. 0 or EINVAL.
int tool_parse_u64(const char* text, uint64_t* value);

// An event id, or "now" (VANTLES_EVENT_ID_NOW). 0 or EINVAL.
int tool_parse_event_id(const char* text, uint64_t* id);

// A volume's device number: "MAJOR:MINOR", or one number as stat's st_dev shows it; in the
// daemon's 32-bit encoding, not 0. 0 or EINVAL.
int tool_parse_device(const char* text, uint32_t* device);

// Makes path absolute (against the working directory) and removes ".", ".." and doubled or
// trailing slashes, without looking at the file system. 0 or an errno value of getcwd.
int tool_normalise_path(std::string_view path, std::string* out);

// The real path of an existing file: absolute, normalised, symbolic links resolved, as the
// daemon reports paths. 0 or the errno value of realpath (ENOENT when it does not exist).
int tool_real_path(const char* path, std::string* out);

// A volume named by a device ("MAJOR:MINOR" or a number, as for tool_parse_device) or by a
// path on it (starting with "/" or ".", or any name that is not a device): the 32-bit device
// number the daemon uses. 0, EINVAL, or the errno value of looking the path up.
int tool_parse_volume(const char* text, uint32_t* device);

// A point in time: seconds since the epoch ("1733500000"), or an ISO 8601 date and time
// ("2026-12-06", "2026-12-06T21:30", "2026-12-06T21:30:15", "2026-12-06 21:30:15Z",
// "...+01:00"); without a zone the time is local. 0 or EINVAL.
int tool_parse_time(const char* text, int64_t* seconds);
