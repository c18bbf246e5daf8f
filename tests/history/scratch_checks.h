// Checks for test bodies that run in a scratch-root child: the daemon's log captured in memory,
// failures reported on the test's own standard error, and small file helpers.
#pragma once

#include "common/log.h"
#include "platform/mounts.h"
#include "tests/history/log_buffer_util.h"
#include "tests/support/scratch_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

namespace scratch_checks {

inline std::string read_file(const char* path) {
    std::string text;
    char chunk[4096];
    int fd = open(path, O_RDONLY);
    for (ssize_t n; fd >= 0 && (n = read(fd, chunk, sizeof chunk)) > 0;)
        text.append(chunk, n);
    close(fd);
    return text;
}

// The child's log goes to a memory file, failures to the standard error it started with.
struct child_checks {
    int failures = 0;
    int report_fd = dup(STDERR_FILENO);
    int log_fd = memfd_create("child_log", 0);

    child_checks() {
        dup2(log_fd, STDERR_FILENO);
        log_open("history_test", LOG_PERROR);
    }
    bool expect(bool ok, const char* what, int line) {
        if (!ok && ++failures)
            dprintf(report_fd, "line %d: check failed: %s\n", line, what);
        return ok;
    }
    std::string log_text() const {
        return read_file(("/proc/self/fd/" + std::to_string(log_fd)).c_str());
    }
    void clear_log() const { ftruncate(log_fd, lseek(log_fd, 0, SEEK_SET)); }
    bool logged(const std::string& message) const {
        return log_text().find(message) != std::string::npos;
    }
    // The child's exit status; the log is shown on failure.
    int result() const {
        if (failures != 0)
            dprintf(report_fd, "log of the failed child:\n%s", log_text().c_str());
        return failures != 0;
    }
};

#define CHILD_EXPECT(checks, condition) (checks).expect((condition), #condition, __LINE__)

inline bool write_file(const char* path, const std::string& bytes) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    bool ok = fd >= 0 && write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
    close(fd);
    return ok;
}

inline bool exists(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0;
}

// A log file of one buffer holding the (path, id) records, as the disk logger writes it.
inline bool write_log_file(const char* path,
                           const std::vector<std::pair<std::string, uint64_t>>& records) {
    std::vector<history_test::record> in;
    for (const auto& [name, id] : records)
        in.push_back({name, id, 0x10});
    history_test::bytes buffer = history_test::build_buffer(in);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    bool ok = fd >= 0 && log_buffer_write_member(fd, buffer.data(), uint32_t(buffer.size())) == 0;
    close(fd);
    return ok;
}

constexpr const char* KNOWN_UUID = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

inline std::string log_file(const std::string& dir, uint64_t id) {  // dir/<id in 16 hex digits>
    char name[32];
    snprintf(name, sizeof name, "/%.16llx", static_cast<unsigned long long>(id));
    return dir + name;
}

// A history in dir: log file `id` with the ids id + 1 to id + 0x50, and the KNOWN_UUID file.
inline bool write_history(const std::string& dir, uint64_t id, bool uuid = true) {
    mkdir(dir.c_str(), 0700);
    return (!uuid || write_file((dir + "/vantlesd-uuid").c_str(), KNOWN_UUID)) &&
           write_log_file(log_file(dir, id).c_str(), {{"a", id + 0x50}, {"b", id + 1}});
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
