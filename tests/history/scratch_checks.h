// Checks for test bodies that run in a scratch-root child: the daemon's log captured in memory,
// failures reported on the test's own standard error, and small file helpers.
#pragma once

#include "common/log.h"
#include "history/log_buffer.h"
#include "platform/mounts.h"
#include "tests/support/scratch_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace scratch_checks {

// The child's log goes to standard error only, redirected into a memory file; failures go to
// the standard error the child started with.
struct child_checks {
    int failures = 0;
    int report_fd = -1;
    int log_fd = -1;

    child_checks() {
        report_fd = dup(STDERR_FILENO);
        log_fd = memfd_create("child_log", 0);
        dup2(log_fd, STDERR_FILENO);
        log_open("history_test", LOG_PERROR);
    }
    ~child_checks() {
        dup2(report_fd, STDERR_FILENO);
        close(report_fd);
        close(log_fd);
    }
    bool expect(bool ok, const char* what, int line) {
        if (!ok) {
            dprintf(report_fd, "line %d: check failed: %s\n", line, what);
            ++failures;
        }
        return ok;
    }
    std::string log_text() const {
        std::string text;
        char chunk[4096];
        ssize_t n;
        for (off_t at = 0; (n = pread(log_fd, chunk, sizeof chunk, at)) > 0; at += n)
            text.append(chunk, n);
        return text;
    }
    void clear_log() const {
        ftruncate(log_fd, 0);
        lseek(STDERR_FILENO, 0, SEEK_SET);
    }
    bool logged(const std::string& message) const {
        return log_text().find(message) != std::string::npos;
    }
    // True when first was logged, and second after it.
    bool logged_in_order(const std::string& first, const std::string& second) const {
        std::string text = log_text();
        size_t at = text.find(first);
        return at != std::string::npos && text.find(second, at + first.size()) != std::string::npos;
    }
    // The child's exit status: 0 when every check passed; the log is shown on failure.
    int result() const {
        if (failures != 0)
            dprintf(report_fd, "log of the failed child:\n%s", log_text().c_str());
        return failures == 0 ? 0 : 1;
    }
};

#define CHILD_EXPECT(checks, condition) (checks).expect((condition), #condition, __LINE__)

inline bool write_file(const char* path, const std::string& bytes) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return false;
    bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    close(fd);
    return ok;
}

inline std::string read_file(const char* path) {
    std::string text;
    int fd = open(path, O_RDONLY);
    char chunk[4096];
    ssize_t n;
    while (fd >= 0 && (n = read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, n);
    if (fd >= 0)
        close(fd);
    return text;
}

// The file inflated member by member ("<broken member>" ends a damaged file).
inline std::vector<std::string> gzip_members(const std::string& path) {
    std::string raw = read_file(path.c_str());
    std::vector<std::string> members;
    size_t at = 0;
    while (at < raw.size()) {
        z_stream z{};
        if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK)
            break;
        z.next_in = reinterpret_cast<Bytef*>(raw.data() + at);
        z.avail_in = static_cast<uInt>(raw.size() - at);
        std::string out;
        int rc;
        do {
            char chunk[65536];
            z.next_out = reinterpret_cast<Bytef*>(chunk);
            z.avail_out = sizeof chunk;
            rc = inflate(&z, Z_NO_FLUSH);
            out.append(chunk, sizeof chunk - z.avail_out);
        } while (rc == Z_OK);
        at = raw.size() - z.avail_in;
        inflateEnd(&z);
        members.push_back(rc == Z_STREAM_END ? out : "<broken member>");
        if (rc != Z_STREAM_END)
            break;
    }
    return members;
}

inline bool exists(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0;
}

// A log file of one buffer holding the (path, id) records, as the disk logger writes it.
inline bool write_log_file(const char* path,
                           const std::vector<std::pair<std::string, uint64_t>>& records) {
    std::vector<uint8_t> area(DISK_LOG_BUFFER_SIZE);
    log_buffer_builder builder;
    log_buffer_start(&builder, area.data());
    for (const auto& [name, id] : records) {
        if (log_buffer_append(&builder, name.c_str(), id, 0x10) != 0)
            return false;
    }
    uint32_t length = log_buffer_finish(&builder);
    gzFile file = gzopen(path, "wb");
    if (file == nullptr)
        return false;
    bool ok = gzwrite(file, area.data(), length) == static_cast<int>(length);
    return gzclose(file) == Z_OK && ok;
}

// Runs body in a scratch root with volumes; skips the test where none can be built.
inline void run_scenario(const std::vector<scratch_volume>& volumes,
                         const std::function<int()>& body) {
    if (!scratch_root_available())
        GTEST_SKIP() << "scratch roots need root and mount namespaces";
    int status = run_in_scratch_root(volumes, body);
    if (status == 126)
        GTEST_SKIP() << "the scratch root could not be built";
    EXPECT_EQ(status, 0);
}

inline uint32_t device_of(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 ? device_number_32(st.st_dev) : 0;
}

}  // namespace scratch_checks
