// The device layer over a record stream: the open/clone/control sequence, whole records out
// of every read, waiting at the end of the input, and a close (from another thread or a
// signal handler) that makes a blocked read fail with EBADF. Streams are memfds and pipes
// reached through /proc/self/fd, so nothing is written to disk.
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

std::string proc_path(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// Opens and clones a stream device the way the daemon does; the clone or -1.
int clone_stream(const std::string& path) {
    int dev = -1;
    int8_t actions[KREC_NUM_TYPES];
    memset(actions, KREC_ACTION_REPORT, sizeof actions);
    int32_t clone = -1;
    krec_clone_args args = {actions, KREC_NUM_TYPES, KREC_DEFAULT_QUEUE_DEPTH, &clone};
    if (kernel_device_open_source(path.c_str(), &dev) != 0)
        return -1;
    EXPECT_EQ(kernel_device_ioctl(dev, KREC_IOC_COMPACT, nullptr), EINVAL);  // not a clone
    int err = kernel_device_ioctl(dev, KREC_IOC_CLONE, &args);
    EXPECT_EQ(kernel_device_close(dev), 0);
    EXPECT_EQ(kernel_device_close(dev), EBADF);
    return err ? -1 : clone;
}

bool append(int fd, const std::string& bytes) {
    return write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

TEST(StreamDevice, ReadsHandOutWholeRecords) {
    int mem = memfd_create("records", MFD_CLOEXEC);
    std::string a = make_record(KREC_TYPE_CREATE_FILE, "/a/b", 0100644);
    std::string b = make_record(KREC_TYPE_DELETE, "/a/longer-name", 040755);
    std::string dropped(KREC_DROPPED_SIZE, 0);
    krec_header h = {KREC_TYPE_DROPPED, -1};
    memcpy(dropped.data(), &h, sizeof h);
    memcpy(dropped.data() + sizeof h, &KREC_ARG_DONE, KREC_DONE_SIZE);
    ASSERT_TRUE(append(mem, a + b + dropped));
    int clone = clone_stream(proc_path(mem));
    ASSERT_GE(clone, 0);
    EXPECT_EQ(kernel_device_ioctl(clone, KREC_IOC_COMPACT, nullptr), 0);
    EXPECT_EQ(kernel_device_ioctl(clone, KREC_IOC_EXTENDED_INFO, nullptr), 0);
    EXPECT_EQ(kernel_device_ioctl(clone, 0x1234, nullptr), ENOTTY);

    // Room for a and part of b: only a; then b and the dropped record.
    char buf[4096];
    ASSERT_EQ(kernel_device_read(clone, buf, a.size() + b.size() - 1), (ssize_t)a.size());
    EXPECT_EQ(std::string(buf, a.size()), a);
    ASSERT_EQ(kernel_device_read(clone, buf, sizeof buf), (ssize_t)(b.size() + dropped.size()));
    EXPECT_EQ(std::string(buf, b.size() + dropped.size()), b + dropped);

    // A record larger than the reader's room comes out as a dropped record.
    ASSERT_TRUE(append(mem, make_record(KREC_TYPE_CREATE_FILE, std::string(200, '/'), 0)));
    ASSERT_EQ(kernel_device_read(clone, buf, 100), (ssize_t)KREC_DROPPED_SIZE);
    EXPECT_EQ(std::string(buf, KREC_DROPPED_SIZE), dropped);

    // Half a record at the end of the file waits for its other half.
    std::string c = make_record(KREC_TYPE_STAT_CHANGED, "/d/f", 0100600);
    ASSERT_TRUE(append(mem, c.substr(0, 9)));
    std::thread writer([&] {
        usleep(100 * 1000);
        EXPECT_TRUE(append(mem, c.substr(9)));
    });
    ASSERT_EQ(kernel_device_read(clone, buf, sizeof buf), (ssize_t)c.size());
    EXPECT_EQ(std::string(buf, c.size()), c);
    writer.join();
    EXPECT_EQ(kernel_device_close(clone), 0);
    close(mem);
}

std::atomic<int> g_signal_clone{-1};

void close_on_signal(int) {
    kernel_device_close(g_signal_clone.load());
}

// A blocked read ends with EBADF when the clone is closed by another thread (a pipe without
// data, a file at its end) or by a signal handler on the reading thread; so do later reads.
TEST(StreamDevice, CloseWakesABlockedReadWithEbadf) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    int mem = memfd_create("records", MFD_CLOEXEC);
    struct sigaction sa = {}, old = {};
    sa.sa_handler = close_on_signal;
    ASSERT_EQ(sigaction(SIGUSR2, &sa, &old), 0);
    for (int by_signal = 0; by_signal < 2; by_signal++) {
        for (int source : {pipe_fds[0], mem}) {
            int clone = clone_stream(proc_path(source));
            ASSERT_GE(clone, 0);
            g_signal_clone = clone;
            std::atomic<int> result{0};
            std::thread reader([&] {
                char buf[4096];
                result = kernel_device_read(clone, buf, sizeof buf) < 0 ? errno : -1;
            });
            usleep(50 * 1000);
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
