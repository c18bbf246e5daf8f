// Command-line parsing of the tool (see options.h).
#include "tools/options.h"

#include "platform/mounts.h"
#include "tools/tool.h"
#include "vantles/client.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr uint64_t OPTION_MAX_SECONDS = 1000000;
constexpr int OPTION_MAX_DECIMALS = 6;

const tool_option* find_option(std::span<const tool_option> table, std::string_view name) {
    for (const tool_option& option : table) {
        if (name == option.name) {
            return &option;
        }
    }
    return nullptr;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Digits only, no sign, no spaces, in range. 0 or EINVAL.
int parse_u64_part(std::string_view text, uint64_t* value) {
    if (text.empty()) {
        return EINVAL;
    }
    uint64_t v = 0;
    for (char c : text) {
        if (!is_digit(c)) {
            return EINVAL;
        }
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - digit) / 10) {
            return EINVAL;
        }
        v = v * 10 + digit;
    }
    *value = v;
    return 0;
}

}  // namespace

int tool_parse_args(int argc, char** argv, std::span<const tool_option> table,
                    std::vector<tool_parsed_option>* options, std::vector<const char*>* operands) {
    bool only_operands = false;
    for (int i = 0; i < argc; i++) {
        const char* arg = argv[i];
        if (only_operands || arg[0] != '-' || strcmp(arg, "-") == 0) {
            operands->push_back(arg);
            continue;
        }
        if (strcmp(arg, "--") == 0) {
            only_operands = true;
            continue;
        }
        if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            options->push_back({TOOL_OPTION_HELP, nullptr});
            continue;
        }
        if (arg[1] != '-') {
            // One-letter options ("-0") are table entries named by that letter.
            const tool_option* letter = arg[2] == '\0' ? find_option(table, arg + 1) : nullptr;
            if (letter == nullptr || letter->takes_value) {
                tool_error("unknown option '%s' (try 'vantles --help')", arg);
                return TOOL_EXIT_USAGE;
            }
            options->push_back({letter->key, nullptr});
            continue;
        }
        std::string_view name(arg + 2);
        const char* value = nullptr;
        if (size_t eq = name.find('='); eq != std::string_view::npos) {
            value = arg + 2 + eq + 1;
            name = name.substr(0, eq);
        }
        const tool_option* option = find_option(table, name);
        if (option == nullptr) {
            tool_error("unknown option '--%.*s' (try 'vantles --help')",
                       static_cast<int>(name.size()), name.data());
            return TOOL_EXIT_USAGE;
        }
        if (!option->takes_value && value != nullptr) {
            tool_error("option '--%s' takes no value", option->name);
            return TOOL_EXIT_USAGE;
        }
        if (option->takes_value && value == nullptr && i + 1 < argc) {
            value = argv[++i];
        }
        if (option->takes_value && (value == nullptr || value[0] == '\0')) {
            tool_error("option '--%s' needs a value", option->name);
            return TOOL_EXIT_USAGE;
        }
        options->push_back({option->key, value});
    }
    return 0;
}

int tool_parse_seconds(const char* text, uint64_t* microseconds) {
    std::string_view s(text);
    std::string_view whole = s, fraction;
    if (size_t dot = s.find('.'); dot != std::string_view::npos) {
        whole = s.substr(0, dot);
        fraction = s.substr(dot + 1);
        if (fraction.empty() || fraction.size() > OPTION_MAX_DECIMALS) {
            return EINVAL;
        }
    }
    uint64_t seconds = 0, part = 0;
    if (whole.empty() && !fraction.empty()) {
        whole = "0";  // ".5"
    }
    if (parse_u64_part(whole, &seconds) != 0 || seconds > OPTION_MAX_SECONDS) {
        return EINVAL;
    }
    if (!fraction.empty() && parse_u64_part(fraction, &part) != 0) {
        return EINVAL;
    }
    for (size_t i = fraction.size(); i < OPTION_MAX_DECIMALS; i++) {
        part *= 10;
    }
    *microseconds = seconds * 1000000 + part;
    return 0;
}

int tool_parse_u64(const char* text, uint64_t* value) {
    return parse_u64_part(text, value);
}

int tool_parse_event_id(const char* text, uint64_t* id) {
    if (strcmp(text, "now") == 0) {
        *id = VANTLES_EVENT_ID_NOW;
        return 0;
    }
    // The highest value stands for "now" in a registration; as a number it is no event id.
    uint64_t value = 0;
    if (int err = parse_u64_part(text, &value); err != 0 || value == VANTLES_EVENT_ID_NOW) {
        return err != 0 ? err : EINVAL;
    }
    *id = value;
    return 0;
}

int tool_parse_device(const char* text, uint32_t* device) {
    std::string_view s(text);
    uint64_t value = 0;
    if (size_t colon = s.find(':'); colon != std::string_view::npos) {
        uint64_t major_number = 0, minor_number = 0;
        // The 32-bit encoding holds 12 bits of major and 20 bits of minor.
        if (parse_u64_part(s.substr(0, colon), &major_number) != 0 ||
            parse_u64_part(s.substr(colon + 1), &minor_number) != 0 || major_number > 0xfff ||
            minor_number > 0xfffff) {
            return EINVAL;
        }
        value = (major_number << 8) | (minor_number & 0xff) | ((minor_number & ~0xffull) << 12);
    } else if (parse_u64_part(s, &value) != 0 || value > UINT32_MAX) {
        return EINVAL;
    }
    if (value == 0) {
        return EINVAL;  // device 0 means absolute paths
    }
    *device = static_cast<uint32_t>(value);
    return 0;
}

int tool_normalise_path(std::string_view path, std::string* out) {
    std::string joined;
    if (path.empty() || path[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            return errno;
        }
        joined = cwd;
        joined += '/';
    }
    joined += path;
    // Components onto a stack of kept ones; ".." above "/" stays at "/".
    std::vector<std::string_view> kept;
    std::string_view rest(joined);
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            if (!kept.empty()) {
                kept.pop_back();
            }
            continue;
        }
        kept.push_back(part);
    }
    std::string result;
    for (std::string_view part : kept) {
        result += '/';
        result += part;
    }
    *out = result.empty() ? "/" : result;
    return 0;
}

int tool_real_path(const char* path, std::string* out) {
    char* real = realpath(path, nullptr);
    if (real == nullptr) {
        return errno;
    }
    *out = real;
    free(real);
    return 0;
}

int tool_parse_volume(const char* text, uint32_t* device) {
    if (text[0] != '/' && text[0] != '.' && tool_parse_device(text, device) == 0) {
        return 0;
    }
    struct stat st;
    if (stat(text, &st) != 0) {
        return errno;
    }
    *device = device_number_32(st.st_dev);
    return 0;
}

namespace {

// Reads exactly `digits` decimal digits at *p, advancing it. False when they are not there.
bool take_digits(const char** p, int digits, int* value) {
    int v = 0;
    for (int i = 0; i < digits; i++) {
        if ((*p)[i] < '0' || (*p)[i] > '9') {
            return false;
        }
        v = v * 10 + ((*p)[i] - '0');
    }
    *p += digits;
    *value = v;
    return true;
}

bool take_char(const char** p, char c) {
    if (**p != c) {
        return false;
    }
    (*p)++;
    return true;
}

}  // namespace

int tool_parse_time(const char* text, int64_t* seconds) {
    uint64_t plain = 0;
    if (tool_parse_u64(text, &plain) == 0) {
        if (plain > static_cast<uint64_t>(INT64_MAX)) {
            return EINVAL;
        }
        *seconds = static_cast<int64_t>(plain);
        return 0;
    }
    const char* p = text;
    struct tm t = {};
    int year = 0, month = 0, day = 0;
    if (!take_digits(&p, 4, &year) || !take_char(&p, '-') || !take_digits(&p, 2, &month) ||
        !take_char(&p, '-') || !take_digits(&p, 2, &day) || month < 1 || month > 12 || day < 1 ||
        day > 31) {
        return EINVAL;
    }
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    if (*p == 'T' || *p == ' ') {
        p++;
        if (!take_digits(&p, 2, &t.tm_hour) || !take_char(&p, ':') ||
            !take_digits(&p, 2, &t.tm_min) || t.tm_hour > 23 || t.tm_min > 59) {
            return EINVAL;
        }
        if (take_char(&p, ':') && (!take_digits(&p, 2, &t.tm_sec) || t.tm_sec > 60)) {
            return EINVAL;
        }
    }
    bool zoned = false;
    int64_t offset = 0;  // seconds east of UTC
    if (take_char(&p, 'Z')) {
        zoned = true;
    } else if (*p == '+' || *p == '-') {
        int sign = *p == '-' ? -1 : 1;
        p++;
        int hours = 0, minutes = 0;
        if (!take_digits(&p, 2, &hours) || (take_char(&p, ':'), !take_digits(&p, 2, &minutes)) ||
            hours > 23 || minutes > 59) {
            return EINVAL;
        }
        zoned = true;
        offset = sign * (hours * 3600 + minutes * 60);
    }
    if (*p != '\0') {
        return EINVAL;
    }
    time_t when;
    if (zoned) {
        when = timegm(&t);
        if (when == -1) {
            return EINVAL;
        }
        *seconds = static_cast<int64_t>(when) - offset;
        return 0;
    }
    t.tm_isdst = -1;
    when = mktime(&t);
    if (when == -1) {
        return EINVAL;
    }
    *seconds = static_cast<int64_t>(when);
    return 0;
}
