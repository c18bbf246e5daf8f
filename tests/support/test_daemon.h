// A real vantlesd child process for black-box tests, and the fixture and helpers the suites
// share: start it (in a scratch root when root) on a socket in a fresh directory with its
// standard error in a file, talk to it with raw datagrams, read its descriptor count and memory
// from /proc, and always kill and reap it at the end.
#pragma once

#include "client/raw.h"
#include "platform/messages.h"
#include "tests/support/scratch_root.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

// Generous bounds: a request that needs the event machinery may take about 10 s to answer.
constexpr int BLACKBOX_REPLY_TIMEOUT_MS = 30000;
constexpr int BLACKBOX_SETTLE_TIMEOUT_MS = 5000;

// Id of the liveness probe: outside the subsystem, answered at once with MIG_BAD_ID and
// never logged.
constexpr mach_msg_id_t BLACKBOX_PROBE_ID = 66057;

// Request bits of raw test requests unless a test says otherwise.
constexpr uint32_t BLACKBOX_BITS = MACH_MSG_TYPE_COPY_SEND;

struct test_daemon {
    std::string dir;  // private directory: the socket (unless shared) and the log
    std::string socket_path;
    std::string log_path;          // the daemon's standard error
    std::vector<std::string> env;  // NAME=VALUE entries added to the daemon's environment
    // Further directories of the machine shown in the scratch root, and scratch volumes made
    // for it (as root only).
    std::vector<scratch_bind> binds;
    std::vector<scratch_volume> volumes;
    // A descriptor handed over at start the way a service manager passes its stored ones: as
    // descriptor 3, with LISTEN_FDS=1, LISTEN_FDNAMES=pass_fd_name and LISTEN_PID the daemon's.
    int pass_fd = -1;
    std::string pass_fd_name;
    // Whether a start waits, once the daemon answers, for its descriptor count to come to
    // rest (up to BLACKBOX_SETTLE_TIMEOUT_MS), for cases that compare counts with it.
    bool settle = true;
    pid_t pid = -1;  // -1 once reaped
    int status = 0;  // wait status once reaped

    test_daemon() = default;
    test_daemon(const test_daemon&) = delete;
    test_daemon& operator=(const test_daemon&) = delete;
    ~test_daemon();  // kills, reaps and removes dir
};

// Starts the daemon with args and VANTLESD_SOCKET = socket_path (empty: a socket in its own
// directory). As root it runs as the namespace's only process in a scratch root of its own (no
// volumes) that shows its binary's directory read-only and its own and the socket's directories
// at the same paths; otherwise in this mount namespace. d->pid is the daemon itself. With
// wait_ready, returns once the socket accepts connections. 0, ECHILD when it exited first
// (a scratch root that could not be built exits 126, the reason in the log), ETIMEDOUT, or an
// errno value.
int test_daemon_start(test_daemon* d, const std::vector<std::string>& args,
                      const std::string& socket_path = "", bool wait_ready = true);

// Ends the daemon with signal (SIGTERM unless told), waits up to timeout_ms for it to exit (its
// wait status is then in status), and starts a new one with args on the same socket and log
// (appended to), waiting for it to be ready. As root the new daemon runs in the first one's
// scratch root, so what that one left on its volumes (its history, say) is there for the
// second. 0, ESRCH when the daemon was not running, ETIMEDOUT when it did not exit in time, or
// as for test_daemon_start.
int test_daemon_restart(test_daemon* d, const std::vector<std::string>& args,
                        int timeout_ms = 20000, int signal = SIGTERM);

// True while the daemon has not exited; reaps it (pid, status) when it has.
bool test_daemon_running(test_daemon* d);

// Waits up to timeout_ms for the daemon to exit; true when it did (status is then set).
bool test_daemon_wait_exit(test_daemon* d, int timeout_ms);

// SIGKILL and reap; nothing when already reaped.
void test_daemon_stop(test_daemon* d);

std::string test_daemon_log(const test_daemon& d);

// Polls cond every 10 ms until it holds (true) or timeout_ms have passed (false): every wait
// of the suites ends on its condition, never on a fixed sleep.
bool wait_until(const std::function<bool()>& cond, int timeout_ms);

// Waits up to timeout_ms for text to appear in the daemon's log.
bool test_daemon_wait_log(const test_daemon& d, const std::string& text, int timeout_ms);

// Open descriptors and resident memory (KiB) of a process; -1 when unreadable.
int proc_fd_count(pid_t pid);
long proc_rss_kib(pid_t pid);

// The process's descriptors and what they name, one per line, for failure messages.
std::string proc_fd_list(pid_t pid);

// Waits up to timeout_ms for the process's descriptor count to come back to expected.
::testing::AssertionResult fd_count_returns(pid_t pid, int expected, int timeout_ms);

// Waits up to timeout_ms for the peer of fd to be gone (POLLHUP).
bool wait_hangup(int fd, int timeout_ms);

// A field of a received datagram at offset (zero when the datagram is shorter).
template <typename T>
T field_at(const raw_datagram& d, size_t offset) {
    T value{};
    if (d.bytes.size() >= offset + sizeof value)
        memcpy(&value, d.bytes.data() + offset, sizeof value);
    return value;
}

// Checks a simple reply: datagram length and msgh_size = size, bits = request bits & 0x1F,
// local and voucher ports 0, id = request id + 100, the NDR record, and the return code.
::testing::AssertionResult is_reply(const raw_datagram& reply, mach_msg_id_t request_id,
                                    uint32_t size, uint32_t request_bits, int32_t code);

// What became of a datagram the daemon should refuse, learnt by sending a probe after it on
// the same connection: the daemon answered it, dropped it in silence, or closed the
// connection.
enum class refusal { answered, dropped, closed };

struct refusal_outcome {
    refusal kind = refusal::dropped;
    raw_datagram reply;  // the answer, when answered
};

// An event source that does not exist: a daemon started with it never gets its event
// machinery going, so every request that needs it answers "not ready" after its wait.
constexpr const char* BLACKBOX_NO_EVENT_SOURCE = "VANTLESD_DEVICE=/nonexistent/event-source";

// Every case starts its own daemon with "-d" and BLACKBOX_NO_EVENT_SOURCE: these suites check
// the request layer alone. TearDown checks that the daemon is still alive.
class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A new raw connection to the daemon, served once so that the daemon holds it (-1 on
    // failure, which fails the test).
    unique_fd connect_raw();

    // Sends request on fd and returns the reply (empty on failure, which fails the test).
    raw_datagram rpc(int fd, const std::vector<uint8_t>& request,
                     int timeout_ms = BLACKBOX_REPLY_TIMEOUT_MS);

    // Sends bytes with fds on fd, then a probe, and tells what became of bytes.
    refusal_outcome send_refused(int fd, const std::vector<uint8_t>& bytes,
                                 std::vector<int> fds = {});

    // A fresh connection gets the probe answered with MIG_BAD_ID.
    ::testing::AssertionResult answers_probe();

    test_daemon daemon_;
};
