// The client-side filters of the tool (see filter.h): glob matching with "**", flag names, and
// the verdict on one event.
#include "tools/filter.h"

#include <fnmatch.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr uint32_t FILTER_NOTICES = VANTLES_EVENT_USER_DROPPED | VANTLES_EVENT_KERNEL_DROPPED |
                                    VANTLES_EVENT_IDS_WRAPPED | VANTLES_EVENT_HISTORY_DONE;

std::vector<std::string> components(std::string_view path) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        if (end > start) {
            out.emplace_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return out;
}

// Whether the components of the glob from g on match those of the path from p on.
bool match_from(const std::vector<std::string>& glob, size_t g,
                const std::vector<std::string>& path, size_t p) {
    for (; g < glob.size(); g++, p++) {
        if (glob[g] == "**") {
            for (size_t skip = p; skip <= path.size(); skip++) {
                if (match_from(glob, g + 1, path, skip)) {
                    return true;
                }
            }
            return false;
        }
        if (p == path.size() || fnmatch(glob[g].c_str(), path[p].c_str(), 0) != 0) {
            return false;
        }
    }
    return p == path.size();
}

}  // namespace

bool tool_is_glob(std::string_view text) {
    return text.find_first_of("*?[") != std::string_view::npos;
}

bool tool_glob_matches(std::string_view glob, std::string_view path) {
    std::vector<std::string> path_parts = components(path);
    if (glob.find('/') == std::string_view::npos) {
        return !path_parts.empty() &&
               fnmatch(std::string(glob).c_str(), path_parts.back().c_str(), 0) == 0;
    }
    std::vector<std::string> glob_parts = components(glob);
    if (glob.front() != '/' && (glob_parts.empty() || glob_parts.front() != "**")) {
        glob_parts.insert(glob_parts.begin(), "**");  // from any component
    }
    return match_from(glob_parts, 0, path_parts, 0);
}

int tool_parse_event_names(const char* text, uint32_t* flags) {
    *flags = 0;
    std::string_view rest(text);
    while (true) {
        size_t comma = rest.find(',');
        std::string_view name = rest.substr(0, comma);
        uint32_t bit = 0;
        for (uint32_t candidate = 1; candidate != 0 && bit == 0; candidate <<= 1) {
            const char* known = vantles_event_flag_name(candidate);
            if (known != nullptr && name == known) {
                bit = candidate;
            }
        }
        if (bit == 0) {
            return EINVAL;
        }
        *flags |= bit;
        if (comma == std::string_view::npos) {
            return 0;
        }
        rest.remove_prefix(comma + 1);
    }
}

bool tool_filter_keeps(const tool_filter& filter, const vantles_event& event) {
    if ((event.flags & FILTER_NOTICES) != 0) {
        return true;
    }
    if (filter.events != 0 && (event.flags & filter.events) == 0) {
        return false;
    }
    for (const std::string& glob : filter.exclude) {
        if (tool_glob_matches(glob, event.path)) {
            return false;
        }
    }
    if (filter.include.empty()) {
        return true;
    }
    for (const std::string& glob : filter.include) {
        if (tool_glob_matches(glob, event.path)) {
            return true;
        }
    }
    return false;
}
