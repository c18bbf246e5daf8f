// A real vantlesd child for the suites that drive the daemon: started (in a scratch root when
// root) on a socket in a fresh directory, its standard error in a file, always killed and
// reaped at the end; raw datagrams to it, its descriptors and memory from /proc.
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

// A request that needs the event machinery may take about 10 s to answer.
constexpr int BLACKBOX_REPLY_TIMEOUT_MS = 30000;
constexpr int BLACKBOX_SETTLE_TIMEOUT_MS = 5000;

// The liveness probe: outside the subsystem, answered at once with MIG_BAD_ID, never logged.
constexpr mach_msg_id_t BLACKBOX_PROBE_ID = 66057;

constexpr uint32_t BLACKBOX_BITS = MACH_MSG_TYPE_COPY_SEND;

struct test_daemon {
    std::string dir;  // private directory: the socket (unless shared) and the log
    std::string socket_path;
    std::string log_path;          // the daemon's standard error
    std::vector<std::string> env;  // NAME=VALUE entries added to the daemon's environment
    // Machine directories shown in the scratch root, and scratch volumes made for it (root).
    std::vector<scratch_bind> binds;
    std::vector<scratch_volume> volumes;
    // Handed over as a service manager passes a stored descriptor: as descriptor 3, with
    // LISTEN_FDS=1, LISTEN_FDNAMES=pass_fd_name and LISTEN_PID the daemon's.
    int pass_fd = -1;
    std::string pass_fd_name;
    // Whether a start also waits for the descriptor count to come to rest (for cases that
    // compare counts with it).
    bool settle = true;
    pid_t pid = -1;  // -1 once reaped
    int status = 0;  // wait status once reaped

    test_daemon() = default;
    test_daemon(const test_daemon&) = delete;
    test_daemon& operator=(const test_daemon&) = delete;
    ~test_daemon();  // kills, reaps and removes dir
};

// Starts the daemon with args on socket_path (empty: in its own directory). As root it runs in
// a scratch root of its own showing its binary's directory read-only and its own and the
// socket's directories at their paths. With wait_ready, returns once it answers. 0, ECHILD when
// it exited first (126: no scratch root, the reason in the log), ETIMEDOUT or an errno value.
int test_daemon_start(test_daemon* d, const std::vector<std::string>& args,
                      const std::string& socket_path = "", bool wait_ready = true);

// Ends the daemon with signal, waits for its exit (status), and starts a new one with args on
// the same socket, log and (as root) scratch root, so that what the first left on its volumes
// is there for the second. 0, ESRCH when it was not running, ETIMEDOUT, or as for start.
int test_daemon_restart(test_daemon* d, const std::vector<std::string>& args,
                        int timeout_ms = 20000, int signal = SIGTERM);

// True while the daemon has not exited; reaps it (pid, status) when it has.
bool test_daemon_running(test_daemon* d);

// Waits up to timeout_ms for the daemon to exit; true when it did (status is then set).
bool test_daemon_wait_exit(test_daemon* d, int timeout_ms);

// SIGKILL and reap; nothing when already reaped.
void test_daemon_stop(test_daemon* d);

std::string test_daemon_log(const test_daemon& d);

// Prints the last 6000 bytes of the daemon's log: what a failed case shows of the daemon.
void test_daemon_print_log_tail(const test_daemon& d);

// Polls cond every 10 ms until it holds (true) or timeout_ms have passed (false).
bool wait_until(const std::function<bool()>& cond, int timeout_ms);

// Waits up to timeout_ms for text to appear in the daemon's log.
bool test_daemon_wait_log(const test_daemon& d, const std::string& text, int timeout_ms);

// Open descriptors and resident memory (KiB) of a process; -1 when unreadable.
int proc_fd_count(pid_t pid);
long proc_rss_kib(pid_t pid);

// The fewest descriptors the process holds over half a second: a daemon watching whole file
// systems opens a directory for a moment whenever something changes on the machine.
int proc_resting_fd_count(pid_t pid);

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

// A simple reply: length and msgh_size = size, bits = request bits & 0x1F, local and voucher
// ports 0, id = request id + 100, the NDR record, and the code.
::testing::AssertionResult is_reply(const raw_datagram& reply, mach_msg_id_t request_id,
                                    uint32_t size, uint32_t request_bits, int32_t code);

// What became of a datagram, learnt from a probe sent after it on the same connection.
enum class refusal { answered, dropped, closed };

struct refusal_outcome {
    refusal kind = refusal::dropped;
    raw_datagram reply;  // the answer, when answered
};

// A daemon with this event source never starts its event machinery: requests that need it
// answer "not ready" after their wait.
constexpr const char* BLACKBOX_NO_EVENT_SOURCE = "VANTLESD_DEVICE=/nonexistent/event-source";

// A daemon of its own for each case, with "-d" and BLACKBOX_NO_EVENT_SOURCE: the request layer
// alone. TearDown checks that the daemon is still alive.
class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A raw connection, served once so that the daemon holds it (failure fails the test).
    unique_fd connect_raw();

    // The reply to request on fd (empty on failure, which fails the test).
    raw_datagram rpc(int fd, const std::vector<uint8_t>& request,
                     int timeout_ms = BLACKBOX_REPLY_TIMEOUT_MS);

    // Sends bytes with fds on fd, then a probe, and tells what became of bytes.
    refusal_outcome send_refused(int fd, const std::vector<uint8_t>& bytes,
                                 std::vector<int> fds = {});

    // A fresh connection gets the probe answered with MIG_BAD_ID.
    ::testing::AssertionResult answers_probe();

    test_daemon daemon_;
};
