// The state file of `vantles run --state` (see run.h): a few lines of text,
//     vantles-run-state 1
//     id 1234
//     uuid 0b3c...   (one line per watched path)
// kept small and strict, so that anything else (a damaged file, another program's) reads as
// EINVAL and makes the run start with a rescan.
#include "tools/run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr char RUN_STATE_MAGIC[] = "vantles-run-state 1";
constexpr size_t RUN_STATE_MAX_BYTES = 1 << 20;
constexpr size_t RUN_STATE_UUID_LENGTH = 36;

bool take_prefix(std::string_view* line, std::string_view prefix) {
    if (line->substr(0, prefix.size()) != prefix) {
        return false;
    }
    line->remove_prefix(prefix.size());
    return true;
}

// An id: decimal digits only, in range.
bool parse_id(std::string_view text, uint64_t* id) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || v > (UINT64_MAX - static_cast<uint64_t>(c - '0')) / 10) {
            return false;
        }
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    *id = v;
    return true;
}

}  // namespace

int run_state_read(const char* file, run_state* out) {
    FILE* f = fopen(file, "re");
    if (f == nullptr) {
        return errno;
    }
    std::string text(RUN_STATE_MAX_BYTES + 1, '\0');
    size_t n = fread(text.data(), 1, text.size(), f);
    int err = ferror(f) ? EIO : 0;
    fclose(f);
    if (err != 0) {
        return err;
    }
    if (n > RUN_STATE_MAX_BYTES) {
        return EINVAL;
    }
    text.resize(n);
    run_state state;
    bool have_id = false;
    size_t line_no = 0;
    for (size_t start = 0; start < text.size(); line_no++) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            return EINVAL;  // a cut-off last line
        }
        std::string_view line(text.data() + start, end - start);
        start = end + 1;
        if (line_no == 0) {
            if (line != RUN_STATE_MAGIC) {
                return EINVAL;
            }
        } else if (take_prefix(&line, "id ")) {
            if (have_id || !parse_id(line, &state.id)) {
                return EINVAL;
            }
            have_id = true;
        } else if (take_prefix(&line, "uuid ")) {
            if (line.empty() || line.size() > RUN_STATE_UUID_LENGTH + 32 ||
                line.find_first_of(" \t") != std::string_view::npos) {
                return EINVAL;
            }
            state.uuids.emplace_back(line);
        } else {
            return EINVAL;
        }
    }
    if (!have_id) {
        return EINVAL;
    }
    *out = std::move(state);
    return 0;
}

int run_state_write(const char* file, const run_state& state) {
    std::string text = std::string(RUN_STATE_MAGIC) + "\nid " + std::to_string(state.id) + "\n";
    for (const std::string& uuid : state.uuids) {
        text += "uuid " + uuid + "\n";
    }
    std::string temp = std::string(file) + ".new";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return errno;
    }
    int err = 0;
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        err = errno != 0 ? errno : EIO;
    } else if (fsync(fd) != 0) {
        err = errno;
    }
    if (close(fd) != 0 && err == 0) {
        err = errno;
    }
    if (err == 0 && rename(temp.c_str(), file) != 0) {
        err = errno;
    }
    if (err != 0) {
        unlink(temp.c_str());
    }
    return err;
}
