// The JSON form of events (see json_out.h): string escaping with a UTF-8 check, and the event
// object.
#include "tools/json_out.h"

#include <cstdint>
#include <cstdio>
#include <ctime>

namespace {

// Length of the valid UTF-8 sequence at the start of s, or 0 when its first byte does not
// start one: no overlong forms, no surrogates, nothing above U+10FFFF.
size_t utf8_sequence_length(std::string_view s) {
    auto byte = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
    uint8_t b0 = byte(0);
    size_t length;
    uint8_t low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        if (b0 == 0xE0) {
            low = 0xA0;
        } else if (b0 == 0xED) {
            high = 0x9F;
        }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        if (b0 == 0xF0) {
            low = 0x90;
        } else if (b0 == 0xF4) {
            high = 0x8F;
        }
    } else {
        return 0;
    }
    if (s.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (size_t i = 2; i < length; i++) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

// A control character as its code point (\u00XX); a byte that starts no UTF-8 sequence as
// the lone low surrogate U+DC00 + byte (\udcXX, 0x80 to 0xFF): no valid UTF-8 can encode a
// surrogate, so no name that is text looks the same, and decoders that know the convention
// (Python's os.fsencode, "surrogateescape") give back the byte itself.
void append_escaped(std::string* out, uint8_t b) {
    char text[8];
    snprintf(text, sizeof text, b < 0x80 ? "\\u%04x" : "\\udc%02x", b);
    *out += text;
}

}  // namespace

void json_append_string(std::string* out, std::string_view text) {
    *out += '"';
    size_t i = 0;
    while (i < text.size()) {
        uint8_t b = static_cast<uint8_t>(text[i]);
        if (b >= 0x80) {
            size_t length = utf8_sequence_length(text.substr(i));
            if (length == 0) {
                append_escaped(out, b);
                i++;
            } else {
                out->append(text.substr(i, length));
                i += length;
            }
            continue;
        }
        switch (b) {
            case '"':
                *out += "\\\"";
                break;
            case '\\':
                *out += "\\\\";
                break;
            case '\b':
                *out += "\\b";
                break;
            case '\f':
                *out += "\\f";
                break;
            case '\n':
                *out += "\\n";
                break;
            case '\r':
                *out += "\\r";
                break;
            case '\t':
                *out += "\\t";
                break;
            default:
                if (b < 0x20 || b == 0x7F) {
                    append_escaped(out, b);
                } else {
                    *out += static_cast<char>(b);
                }
        }
        i++;
    }
    *out += '"';
}

std::string json_time_now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char text[40];
    size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(text + n, sizeof text - n, ".%03ldZ", now.tv_nsec / 1000000);
    return text;
}

void json_append_event(std::string* out, const vantles_event& event, std::string_view time) {
    char number[32];
    snprintf(number, sizeof number, "%llu", static_cast<unsigned long long>(event.id));
    *out += "{\"id\":";
    *out += number;
    *out += ",\"flags\":[";
    bool first = true;
    for (uint32_t bit = 1; bit != 0; bit <<= 1) {
        if (!(event.flags & bit)) {
            continue;
        }
        if (!first) {
            *out += ',';
        }
        first = false;
        const char* name = vantles_event_flag_name(bit);
        if (name == nullptr) {
            snprintf(number, sizeof number, "0x%x", bit);
            name = number;
        }
        json_append_string(out, name);
    }
    *out += "],\"path\":";
    json_append_string(out, event.path);
    if (!time.empty()) {
        *out += ",\"time\":";
        json_append_string(out, time);
    }
    *out += '}';
}
