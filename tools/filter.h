// Filters the tool applies to the events it receives, on the client's side (the daemon still
// sends every event of the stream): --include and --exclude globs on the path, and --event on
// the flags. Notices (dropped events, history-done) always pass: a filter must never hide that
// something was lost or that a replay ended.
//
// Globs: '*', '?' and '[...]' as fnmatch takes them within one path component, and "**" as a
// whole component for any number of components (none included). A glob without '/' matches the
// last component (the file's name); one with '/' matches the whole path, and one that does not
// start with '/' or "**" may start at any component ("src/*.c" matches "/home/u/p/src/a.c").
#pragma once

#include "vantles/stream.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct tool_filter {
    std::vector<std::string> include;  // when any: a path must match one of them
    std::vector<std::string> exclude;  // a path matching one is left out
    uint32_t events = 0;               // when set: an event must carry one of these flags
};

// Whether text is a glob rather than a plain path (it holds '*', '?' or '[').
bool tool_is_glob(std::string_view text);

// Whether path matches glob, by the rules above.
bool tool_glob_matches(std::string_view glob, std::string_view path);

// Parses "created,removed,..." (the flag names watch prints) into flag bits. 0 or EINVAL.
int tool_parse_event_names(const char* text, uint32_t* flags);

// Whether the filter keeps the event.
bool tool_filter_keeps(const tool_filter& filter, const vantles_event& event);

// Whether the filter leaves anything out.
inline bool tool_filter_active(const tool_filter& filter) {
    return !filter.include.empty() || !filter.exclude.empty() || filter.events != 0;
}
