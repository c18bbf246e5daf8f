// The attacker of the security suite: a child process that enters the test daemon's mount
// namespace (so that it names files as the daemon does and may make some of its own there),
// gives up root for good (no groups, an unprivileged gid and uid, 65534 unless told) and then
// runs a body that tries to learn or do what it may not, reporting what it got as lines over a
// pipe. The fixture that starts a
// daemon whose socket such a user can reach, and the parsing of the reports.
#pragma once

#include "tests/support/live_client.h"
#include "tests/support/test_daemon.h"
#include "vantles/stream.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

constexpr uid_t SECURITY_NOBODY = 65534;
// Bounds for waits that only a fault runs into, generous for sanitizer builds on two cores.
constexpr int SECURITY_WAIT_MS = 30000;

// Where a body writes its report: one line per attacker_say.
struct attacker_out {
    int fd = -1;
};
void attacker_say(attacker_out out, const std::string& line);

struct attacker_options {
    const test_daemon* daemon = nullptr;  // whose mount namespace to enter; null: stay here
    rlim_t descriptors = 0;               // RLIMIT_NOFILE set while still root (0: unchanged)
    // Whom the child becomes: another uid lets a second unprivileged user share a test.
    uid_t uid = SECURITY_NOBODY;
    gid_t gid = SECURITY_NOBODY;
};

// The child, killed and reaped whatever way the test ends.
struct attacker {
    pid_t pid = -1;
    int from_child = -1;
    std::string pending;  // read but not yet a whole line
    attacker() = default;
    attacker(const attacker&) = delete;
    attacker& operator=(const attacker&) = delete;
    ~attacker();
};

// Forks the attacker. The child checks that root is really gone (it can neither read a file
// of mode 0600 nor become root again) before body runs; when it cannot drop root it reports
// "X reason". The child exits with body's result. 0 or an errno value.
int attacker_start(attacker* a, const attacker_options& options,
                   const std::function<int(attacker_out)>& body);

// Lines reported from now on, up to and including the first that begins with `until` or with
// "X " (a failure the child reports), or up to the end of the report or the deadline.
std::vector<std::string> attacker_read(attacker* a, const std::string& until, int timeout_ms);

// Waits for the child's exit: its status (0 to 255), or -1 when it was killed or did not exit
// in time (it is killed then).
int attacker_wait(attacker* a, int timeout_ms);

// What an attacker's stream received. Reported as "E label id flags path".
struct seen_event {
    std::string label;
    uint64_t id = 0;
    uint32_t flags = 0;
    std::string path;
};
std::vector<seen_event> parse_seen(const std::vector<std::string>& lines);
std::vector<seen_event> seen_by(const std::vector<seen_event>& all, const std::string& label);
std::string describe_seen(const std::vector<seen_event>& events);

// One stream of a watching body: its options (socket path included) and the end it waits for:
// the path of a last event, or the history-done notice when `until` is empty.
struct watch_plan {
    std::string label;
    vantles_stream_options options;
    std::string until;
};

// Body: registers every stream, reports "R" (or "X reason"), waits for each stream's end, then
// reports every event received, "END" last. 0, or 1 after an "X" line.
int attacker_watch(attacker_out out, const std::vector<watch_plan>& plans);

// Each case runs its own daemon (fanotify source) in a scratch root, with its socket in a
// directory any user may enter. Cases skip without root and mount namespaces.
class SecurityTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts daemon_ with "-d"; fails the test when it does not come up.
    void start_daemon();

    // The path through which the test (root) reaches path as the daemon sees it.
    std::string host(const std::string& path) const { return live_root_path(daemon_, path); }

    // Root's changes in the daemon's scratch root; each fails the test on error.
    void make_dir(const std::string& path, mode_t mode);
    void make_file(const std::string& path, mode_t mode);  // creates or truncates
    void append(const std::string& path, const char* text);

    // A stream of the attacker's: its options with the daemon's socket.
    watch_plan watch(const std::string& label, std::vector<std::string> paths, uint32_t flags,
                     const std::string& until, uint64_t since = VANTLES_EVENT_ID_NOW) const;

    // Starts an attacker that runs attacker_watch over plans and waits for its "R".
    void start_watching(attacker* a, const std::vector<watch_plan>& plans);

    // Reads the attacker's report up to "END" and returns the events in it.
    std::vector<seen_event> finish_watching(attacker* a);

    std::string socket_dir_;
    test_daemon daemon_;
};

// "label path" of the events inside dir: "/tmp/x" covers "/tmp/x/" (a directory-level event
// of a change inside it) and "/tmp/x/y", not "/tmp/x" itself nor "/tmp/xy".
std::vector<std::string> paths_under(const std::vector<seen_event>& events, const std::string& dir);
bool has_path(const std::vector<seen_event>& events, const std::string& path);
