// A real vantlesd child for the suites that drive the daemon: started (in a scratch root when
// root) on a socket in a fresh directory, its standard error in a file, killed at the end.
#pragma once

#include "client/raw.h"
#include "platform/messages.h"
#include "tests/support/scratch_root.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <functional>
#include <string>

// The liveness probe (answered at once with MIG_BAD_ID, never logged); simple requests' bits.
constexpr mach_msg_id_t BLACKBOX_PROBE_ID = 66057;
constexpr uint32_t BLACKBOX_BITS = MACH_MSG_TYPE_COPY_SEND;

struct test_daemon {
    std::string dir, socket_path;     // dir: private, holding the socket unless it is shared
    std::string log_path;             // the daemon's standard error
    std::vector<std::string> env;     // NAME=VALUE entries added to the daemon's environment
    std::vector<scratch_bind> binds;  // machine directories shown in the scratch root
    std::vector<scratch_volume> volumes;
    // Handed over as a service manager passes a stored descriptor: as descriptor 3, with
    // LISTEN_FDS=1, LISTEN_FDNAMES=pass_fd_name and LISTEN_PID the daemon's.
    int pass_fd = -1;
    std::string pass_fd_name;
    bool settle = true;  // a start also waits for the descriptor count to come to rest
    pid_t pid = -1;      // -1 once reaped
    int status = 0;      // wait status once reaped

    test_daemon() = default;
    test_daemon(const test_daemon&) = delete;
    test_daemon& operator=(const test_daemon&) = delete;
    ~test_daemon();  // kills, reaps and removes dir
};

// Starts the daemon with args on socket_path (empty: in its own directory); as root in a scratch
// root of its own that shows its binary's directory (read-only), its own and the socket's. With
// wait_ready, returns once it answers. 0, ECHILD when it exited first, ETIMEDOUT or errno.
int test_daemon_start(test_daemon* d, const std::vector<std::string>& args,
                      const std::string& socket_path = "", bool wait_ready = true);

// Ends the daemon with signal, waits for its exit (status), and starts a new one with args on
// the same socket, log and scratch root. 0, ESRCH when it was not running, or as for start.
int test_daemon_restart(test_daemon* d, const std::vector<std::string>& args,
                        int timeout_ms = 20000, int signal = SIGTERM);

bool test_daemon_running(test_daemon* d);  // false (reaped: pid -1, status) once exited
bool test_daemon_wait_exit(test_daemon* d, int timeout_ms);  // true (status set) once exited
void test_daemon_stop(test_daemon* d);                       // SIGKILL and reap, if running
std::string test_daemon_log(const test_daemon& d);
void test_daemon_print_log_tail(const test_daemon& d);  // its last 6000 bytes

// An argv or envp of the strings, ending in nullptr; they must outlive it.
std::vector<char*> c_strings(std::vector<std::string>& strings);

// Polls cond every 10 ms until it holds (true) or timeout_ms have passed (false); the second
// waits for text in the daemon's log.
bool wait_until(const std::function<bool()>& cond, int timeout_ms);
bool test_daemon_wait_log(const test_daemon& d, const std::string& text, int timeout_ms);

// A process's open descriptors (-1 when unreadable), and what they name, one per line.
int proc_fd_count(pid_t pid);
std::string proc_fd_list(pid_t pid);

// Waits for the process's descriptor count to come back to expected; for fd's peer to hang up.
::testing::AssertionResult fd_count_returns(pid_t pid, int expected, int timeout_ms);
bool wait_hangup(int fd, int timeout_ms);

// A field of a received datagram at offset (zero when it is shorter).
template <typename T>
T field_at(const raw_datagram& d, size_t offset) {
    T value{};
    if (d.bytes.size() >= offset + sizeof value)
        memcpy(&value, d.bytes.data() + offset, sizeof value);
    return value;
}

// A daemon with this event source never starts its event machinery.
constexpr const char* BLACKBOX_NO_EVENT_SOURCE = "VANTLESD_DEVICE=/nonexistent/event-source";
