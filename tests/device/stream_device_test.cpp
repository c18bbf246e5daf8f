// The device layer over a record stream (a memfd or pipe reached through /proc/self/fd): the
// control calls, whole records only in every read, a half record at the end waiting for its
// other half, and a close from another thread or a signal handler ending a blocked read with
// EBADF. Records too large for the room and closing under the producer are covered by
// tests/intake/producer_test.cpp.
#include "platform/kernel_device.h"
#include "tests/device/record_parser.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <unistd.h>

namespace {

// Opens and clones a stream device the way the daemon does; the clone or -1.
int clone_stream(int fd) {
    int dev = -1;
    int8_t actions[KREC_NUM_TYPES];
    memset(actions, KREC_ACTION_REPORT, sizeof actions);
    int32_t clone = -1;
    krec_clone_args args = {actions, KREC_NUM_TYPES, KREC_DEFAULT_QUEUE_DEPTH, &clone};
    if (kernel_device_open_source(("/proc/self/fd/" + std::to_string(fd)).c_str(), &dev) != 0)
        return -1;
    char buf[64];
    EXPECT_EQ(kernel_device_read(dev, buf, sizeof buf), -1);  // not a clone
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(kernel_device_ioctl(dev, KREC_IOC_COMPACT, nullptr), EINVAL);
    int err = kernel_device_ioctl(dev, KREC_IOC_CLONE, &args);
    EXPECT_EQ(kernel_device_close(dev), 0);
    EXPECT_EQ(kernel_device_close(dev), EBADF);
    return err ? -1 : clone;
}

// Waits (up to five seconds) until thread tid sleeps, as in a blocked read.
bool wait_blocked(const std::atomic<pid_t>& tid) {
    for (int i = 0; i < 2500; i++, usleep(2000)) {
        if (tid == 0)
            continue;
        FILE* f = fopen(("/proc/self/task/" + std::to_string(tid) + "/stat").c_str(), "r");
        char state = 0;
        bool read = f && fscanf(f, "%*d (%*[^)]) %c", &state) == 1;
        if (f)
            fclose(f);
        if (read && state == 'S')
            return true;
    }
    return false;
}

bool append(int fd, const std::string& bytes) {
    return write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

TEST(StreamDevice, ReadsHandOutWholeRecords) {
    int mem = memfd_create("records", MFD_CLOEXEC);
    std::string a = make_record(KREC_TYPE_CREATE_FILE, "/a/b", 0100644);
    std::string b = make_record(KREC_TYPE_DELETE, "/a/longer-name", 040755);
    ASSERT_TRUE(append(mem, a + b));
    int clone = clone_stream(mem);
    ASSERT_GE(clone, 0);
    EXPECT_EQ(kernel_device_ioctl(clone, KREC_IOC_COMPACT, nullptr), 0);
    EXPECT_EQ(kernel_device_ioctl(clone, KREC_IOC_EXTENDED_INFO, nullptr), 0);
    EXPECT_EQ(kernel_device_ioctl(clone, 0x1234, nullptr), ENOTTY);

    // Less room than a dropped record is refused; room for a and all of b but one byte: only a.
    char buf[4096];
    EXPECT_EQ(kernel_device_read(clone, buf, KREC_DROPPED_SIZE - 1), -1);
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(kernel_device_read(clone, buf, a.size() + b.size() - 1), (ssize_t)a.size());
    EXPECT_EQ(std::string(buf, a.size()), a);
    ASSERT_EQ(kernel_device_read(clone, buf, b.size()), (ssize_t)b.size());
    EXPECT_EQ(std::string(buf, b.size()), b);

    // Half a record at the end of the file waits for its other half.
    std::string c = make_record(KREC_TYPE_STAT_CHANGED, "/d/f", 0100600);
    ASSERT_TRUE(append(mem, c.substr(0, 9)));
    std::atomic<pid_t> reader_tid{0};
    std::atomic<ssize_t> got{0};
    std::thread reader([&] {
        reader_tid = gettid();
        got = kernel_device_read(clone, buf, sizeof buf);
    });
    EXPECT_TRUE(wait_blocked(reader_tid));
    EXPECT_EQ(got, 0) << "a half record was handed out";
    ASSERT_TRUE(append(mem, c.substr(9)));
    reader.join();
    ASSERT_EQ(got, (ssize_t)c.size());
    EXPECT_EQ(std::string(buf, c.size()), c);
    EXPECT_EQ(kernel_device_close(clone), 0);
    close(mem);
}

std::atomic<int> g_signal_clone{-1};

void close_on_signal(int) {
    kernel_device_close(g_signal_clone.load());
}

// Pipe without data and file at its end, closed by another thread or by a signal handler on
// the reading thread; later reads fail the same way.
TEST(StreamDevice, CloseWakesABlockedReadWithEbadf) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    int mem = memfd_create("records", MFD_CLOEXEC);
    struct sigaction sa = {}, old = {};
    sa.sa_handler = close_on_signal;
    ASSERT_EQ(sigaction(SIGUSR2, &sa, &old), 0);
    for (int by_signal = 0; by_signal < 2; by_signal++) {
        for (int source : {pipe_fds[0], mem}) {
            int clone = clone_stream(source);
            ASSERT_GE(clone, 0);
            g_signal_clone = clone;
            std::atomic<int> result{0};
            std::atomic<pid_t> reader_tid{0};
            std::thread reader([&] {
                reader_tid = gettid();
                char buf[4096];
                result = kernel_device_read(clone, buf, sizeof buf) < 0 ? errno : -1;
            });
            EXPECT_TRUE(wait_blocked(reader_tid));
            if (by_signal)
                pthread_kill(reader.native_handle(), SIGUSR2);
            else
                EXPECT_EQ(kernel_device_close(clone), 0);
            reader.join();
            EXPECT_EQ(result, EBADF) << "signal " << by_signal << " source " << source;
            char buf[64];
            EXPECT_EQ(kernel_device_read(clone, buf, sizeof buf), -1);
            EXPECT_EQ(errno, EBADF);
        }
    }
    sigaction(SIGUSR2, &old, nullptr);
    close(pipe_fds[0]), close(pipe_fds[1]), close(mem);
}

}  // namespace
