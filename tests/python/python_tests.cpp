// The Python client library against a real daemon: each case starts the daemon in a scratch
// root (tests/support) and runs one module of python/tests there with python3, in the daemon's
// mount namespace, with VANTLESD_SOCKET and PYTHONPATH set, and VANTLES_TOOL naming the vantles
// tool there (tokens must pass between it and the Python side). The Python side asks for a daemon
// restart ("restart") or a kill and restart ("kill") by writing a line on descriptor 3 and reads
// "ok" or "error N" on descriptor 4. The run's output is printed when it fails.
#include "tests/support/scratch_daemon.h"

#include <poll.h>

#include <cstdio>

namespace {

constexpr const char* PYTHON_DIR_IN_ROOT = "/opt/vantles-python";
constexpr const char* TOOL_DIR_IN_ROOT = "/opt/vantles-tool";
const std::filesystem::path TOOL_PATH(VANTLES_TOOL_PATH);
constexpr const char* PYTHON3 = "/usr/bin/python3";  // the machine's, shown in the root
constexpr int PYTHON_RUN_MS = 240000;
constexpr int RESTART_WAIT_MS = 20000;

class Python : public ScratchDaemonTest {
protected:
    void SetUp() override {
        ScratchDaemonTest::SetUp();
        if (IsSkipped())
            return;
        if (access(PYTHON3, X_OK) != 0)
            GTEST_SKIP() << "no " << PYTHON3;
        daemon_.binds = {
            {VANTLES_PYTHON_DIR, true, PYTHON_DIR_IN_ROOT},
            {TOOL_PATH.parent_path().string(), true, TOOL_DIR_IN_ROOT}};
        // Idle connections closed after a second, for the reconnect-once rule of the queries.
        ASSERT_TRUE(start({}, {"VANTLESD_IDLE_TIMEOUT=1"}));
    }

    // Runs the unittest module in the daemon's namespace and serves its requests; true when it
    // passed, its output in *output.
    bool run_module(const std::string& module, std::string* output);
};

bool Python::run_module(const std::string& module, std::string* output) {
    char out_path[] = "/tmp/vantles-python-out.XXXXXX";
    unique_fd out(mkstemp(out_path));
    int requests[2], replies[2];
    if (!out.valid() || pipe2(requests, O_CLOEXEC) != 0 || pipe2(replies, O_CLOEXEC) != 0)
        return *output = std::string("set-up: ") + strerror(errno), false;
    unique_fd request_read(requests[0]), request_write(requests[1]);
    unique_fd reply_read(replies[0]), reply_write(replies[1]);
    std::vector<std::string> env = {
        "PATH=/usr/bin:/bin",
        "LANG=C.UTF-8",
        "HOME=/tmp",
        "PYTHONDONTWRITEBYTECODE=1",
        "PYTHONUNBUFFERED=1",
        std::string("PYTHONPATH=") + PYTHON_DIR_IN_ROOT,
        "VANTLESD_SOCKET=" + daemon_.socket_path,
        "VANTLES_TEST_CONTROL=3,4",
        std::string("VANTLES_TOOL=") + TOOL_DIR_IN_ROOT + "/" + TOOL_PATH.filename().string(),
    };
    std::vector<std::string> args = {PYTHON3, "-m", "unittest", "-v", module};
    const std::string tests_dir = std::string(PYTHON_DIR_IN_ROOT) + "/tests";
    // No sanitizer variables: python3 is not instrumented.
    std::vector<char*> argv = c_strings(args), envp = c_strings(env);

    pid_t pid = fork_in_namespace(daemon_);
    if (pid == 0) {
        if (dup2(out.get(), 1) < 0 || dup2(out.get(), 2) < 0 || dup2(request_write.get(), 3) < 0 ||
            dup2(reply_read.get(), 4) < 0 || chdir(tests_dir.c_str()) != 0)
            _exit(126);
        close_range(5, ~0u, 0);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (pid < 0)
        return *output = std::string("fork: ") + strerror(errno), false;
    request_write.reset();
    reply_read.reset();

    bool timed_out = false;
    std::string pending;
    for (int64_t deadline = live_now_ms() + PYTHON_RUN_MS;;) {
        pollfd p = {request_read.get(), POLLIN, 0};
        int left = static_cast<int>(std::max<int64_t>(deadline - live_now_ms(), 0));
        // A failed poll leaves no way to serve it: it is ended as on a time-out.
        if ((timed_out = left == 0 || (poll(&p, 1, left) < 0 && errno != EINTR)))
            break;
        char buffer[256];
        ssize_t n = p.revents ? read(request_read.get(), buffer, sizeof buffer) : 0;
        if (p.revents && n <= 0)
            break;  // the Python side exited
        pending.append(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            std::string request = pending.substr(0, end), answer = "error unknown request\n";
            if (int sig = request == "restart" ? SIGTERM : request == "kill" ? SIGKILL : 0) {
                int err = test_daemon_restart(&daemon_, {"-d"}, RESTART_WAIT_MS, sig);
                answer = (err == 0 ? "ok" : "error " + std::to_string(err)) + "\n";
            }
            pending.erase(0, end + 1);
            if (write(reply_write.get(), answer.data(), answer.size()) < 0)
                break;
        }
    }
    if (timed_out)
        kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    *output = read_text(out_path) + "\n(wait status " + std::to_string(status) + ")" +
              (timed_out ? " (killed after " + std::to_string(PYTHON_RUN_MS) + " ms)" : "");
    unlink(out_path);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

#define PYTHON_MODULE_TEST(name, module)                    \
    TEST_F(Python, name) {                                  \
        std::string output;                                 \
        EXPECT_TRUE(run_module(module, &output)) << output; \
        if (!HasFailure())                                  \
            printf("%s\n", output.c_str());                 \
    }

PYTHON_MODULE_TEST(Live, "test_live")
PYTHON_MODULE_TEST(History, "test_history")
PYTHON_MODULE_TEST(Errors, "test_errors")
PYTHON_MODULE_TEST(Changes, "test_changes")

}  // namespace
