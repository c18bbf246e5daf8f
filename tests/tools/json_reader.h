// A small strict JSON reader for tests of the tool's JSON output: parses one value (objects,
// arrays, strings with their escapes, numbers, true, false, null) into a tree, and refuses
// anything that is not valid JSON, trailing text included.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

struct json_value {
    enum kind_t { NUL, BOOL, NUMBER, STRING, ARRAY, OBJECT } kind = NUL;
    bool boolean = false;
    std::string text;  // a string's decoded value (UTF-8), or a number as written
    std::vector<json_value> items;
    std::map<std::string, json_value> members;

    const json_value* get(const std::string& name) const {
        auto it = members.find(name);
        return it == members.end() ? nullptr : &it->second;
    }
};

namespace json_reader_detail {

struct reader {
    std::string_view s;
    size_t i = 0;

    void skip_space() {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) {
            i++;
        }
    }

    bool literal(std::string_view word) {
        if (s.substr(i, word.size()) != word) {
            return false;
        }
        i += word.size();
        return true;
    }

    static void append_utf8(std::string* out, uint32_t c) {
        if (c < 0x80) {
            *out += static_cast<char>(c);
        } else if (c < 0x800) {
            *out += static_cast<char>(0xC0 | (c >> 6));
            *out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *out += static_cast<char>(0xE0 | (c >> 12));
            *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *out += static_cast<char>(0xF0 | (c >> 18));
            *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }

    bool hex4(uint32_t* value) {
        if (i + 4 > s.size()) {
            return false;
        }
        uint32_t v = 0;
        for (int k = 0; k < 4; k++) {
            char c = s[i++];
            int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            if (d < 0) {
                return false;
            }
            v = v * 16 + static_cast<uint32_t>(d);
        }
        *value = v;
        return true;
    }

    bool string(std::string* out) {
        if (i >= s.size() || s[i] != '"') {
            return false;
        }
        i++;
        while (i < s.size() && s[i] != '"') {
            unsigned char c = static_cast<unsigned char>(s[i]);
            if (c < 0x20) {
                return false;  // control characters must be escaped
            }
            if (c != '\\') {
                *out += s[i++];
                continue;
            }
            if (++i >= s.size()) {
                return false;
            }
            char e = s[i++];
            const std::string_view plain = "\"\\/bfnrt", meant = "\"\\/\b\f\n\r\t";
            if (size_t k = plain.find(e); k != std::string_view::npos) {
                *out += meant[k];
                continue;
            }
            uint32_t u = 0;
            if (e != 'u' || !hex4(&u)) {
                return false;
            }
            if (u >= 0xD800 && u <= 0xDBFF) {
                uint32_t low = 0;
                if (!literal("\\u") || !hex4(&low) || low < 0xDC00 || low > 0xDFFF) {
                    return false;
                }
                u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
            } else if (u >= 0xDC00 && u <= 0xDFFF) {
                return false;
            }
            append_utf8(out, u);
        }
        if (i >= s.size()) {
            return false;
        }
        i++;
        return true;
    }

    bool number(std::string* out) {
        size_t start = i;
        auto digits = [&] {
            size_t from = i;
            while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
                i++;
            }
            return i > from;
        };
        if (i < s.size() && s[i] == '-') {
            i++;
        }
        if (i < s.size() && s[i] == '0') {
            i++;
        } else if (!digits()) {
            return false;
        }
        if (i < s.size() && s[i] == '.' && (++i, !digits())) {
            return false;
        }
        if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
            i++;
            if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
                i++;
            }
            if (!digits()) {
                return false;
            }
        }
        *out = std::string(s.substr(start, i - start));
        return true;
    }

    bool value(json_value* v, int depth) {
        if (depth > 64) {
            return false;
        }
        skip_space();
        if (i >= s.size()) {
            return false;
        }
        char c = s[i];
        if (c == '{') {
            v->kind = json_value::OBJECT;
            i++;
            skip_space();
            if (i < s.size() && s[i] == '}') {
                i++;
                return true;
            }
            for (;;) {
                skip_space();
                std::string name;
                if (!string(&name) || v->members.count(name) != 0) {
                    return false;  // duplicate names count as malformed here
                }
                skip_space();
                if (!literal(":") || !value(&v->members[name], depth + 1)) {
                    return false;
                }
                skip_space();
                if (literal("}")) {
                    return true;
                }
                if (!literal(",")) {
                    return false;
                }
            }
        }
        if (c == '[') {
            v->kind = json_value::ARRAY;
            i++;
            skip_space();
            if (i < s.size() && s[i] == ']') {
                i++;
                return true;
            }
            for (;;) {
                v->items.emplace_back();
                if (!value(&v->items.back(), depth + 1)) {
                    return false;
                }
                skip_space();
                if (literal("]")) {
                    return true;
                }
                if (!literal(",")) {
                    return false;
                }
            }
        }
        if (c == '"') {
            v->kind = json_value::STRING;
            return string(&v->text);
        }
        if (literal("true") || literal("false")) {
            v->kind = json_value::BOOL;
            v->boolean = s[i - 1] == 'e' && s[i - 2] == 'u';
            return true;
        }
        if (literal("null")) {
            v->kind = json_value::NUL;
            return true;
        }
        v->kind = json_value::NUMBER;
        return number(&v->text);
    }
};

}  // namespace json_reader_detail

// Parses text as exactly one JSON value (surrounding white space allowed). False when it is
// not valid JSON.
inline bool json_read(std::string_view text, json_value* out) {
    json_reader_detail::reader r{text};
    *out = json_value();
    if (!r.value(out, 0)) {
        return false;
    }
    r.skip_space();
    return r.i == text.size();
}
