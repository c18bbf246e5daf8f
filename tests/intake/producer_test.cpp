// The producer and the buffer list, driven by a record-stream device on a memfd: every event
// reaches the consumer once and in order across buffers and list growth; closing the stream
// ends the producer; reads that do not fit the room are dropped, never counted.
#include "common/deadline.h"
#include "intake/decode.h"
#include "intake/event_ids.h"
#include "intake/event_thread.h"
#include "intake/producer.h"
#include "platform/kernel_device.h"
#include "record_builder.h"

#include "common/log.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <syslog.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>

namespace {

constexpr uint32_t MODE_FILE = 0x81a4;
constexpr uint64_t START_ID = 5000;
constexpr uint16_t UNKNOWN_ARG = 77;  // skipped by the decoder by its length

std::string event_path(int i) {
    return "/vol/d" + std::string(static_cast<size_t>(i % 150), 'd') + "/f" + std::to_string(i);
}

// Records for events first .. first + count - 1.
void add_events(record_builder& b, int first, int count) {
    for (int i = first; i < first + count; i++)
        b.header(KREC_TYPE_CREATE_FILE).path(event_path(i)).file_info(3, MODE_FILE).done();
}

size_t list_length() {
    size_t n = 0;
    for (event_buffer* b = event_buffers; b; b = b->next)
        n++;
    return n;
}

int64_t total_filled() {
    int64_t sum = 0;
    pthread_mutex_lock(&buffer_lock);
    for (event_buffer* b = event_buffers; b; b = b->next)
        sum += b->filled.load();
    pthread_mutex_unlock(&buffer_lock);
    return sum;
}

// Waits up to five seconds for cond(); false when it never held.
template <typename F>
bool eventually(F cond) {
    for (int i = 0; i < 500; i++) {
        if (cond())
            return true;
        usleep(10 * 1000);
    }
    return cond();
}

// Every slow_sink_every-th event the consumer stalls, so that it falls behind the producer.
int slow_sink_every = 0;

void paced_sink(event_table* table, int32_t pid, uint32_t dev, char* path, uint32_t path_length,
                uint32_t dir_length, uint32_t flags, uint64_t id) {
    record_sink(table, pid, dev, path, path_length, dir_length, flags, id);
    if (slow_sink_every && sunk.size() % static_cast<size_t>(slow_sink_every) == 0)
        usleep(15 * 1000);
}

// The event thread's walk over the buffers, until `expected` events have arrived (or five
// seconds pass without any data).
void consume(size_t expected) {
    int idle_waits = 0;
    while (sunk.size() < expected && idle_waits < 50) {
        pthread_mutex_lock(&buffer_lock);
        event_buffer* b = consumer_find_work();
        if (!b) {
            timespec ts = deadline_after_us(100000);
            if (pthread_cond_timedwait(&buffer_cond, &buffer_lock, &ts) == ETIMEDOUT)
                idle_waits++;
            pthread_mutex_unlock(&buffer_lock);
            continue;
        }
        pthread_mutex_unlock(&buffer_lock);
        idle_waits = 0;
        while (b) {
            consumer_step(b, nullptr, paced_sink);
            b = consumer_next_work(b);
        }
    }
}

class Producer : public ::testing::Test {
protected:
    void SetUp() override {
        log_open("intake_tests", LOG_PERROR);
        publish_event_id(START_ID);
        kernel_extended_info = 0;
        sunk.clear();
        shutting_down = 0;
        producer_read = kernel_device_read;
        event_buffers_init(alloc_event_buffers(EVENT_BUFFER_INITIAL_COUNT, EVENT_BUFFER_SIZE));
        ASSERT_EQ(list_length(), 2u);
        mem_ = memfd_create("records", MFD_CLOEXEC);
        ASSERT_GE(mem_, 0);
    }
    void TearDown() override {
        if (started_)
            shut_down();
        free_event_buffers(event_buffers);
        event_buffers_init(nullptr);
        shutting_down = 0;
        producer_read = kernel_device_read;
        close(mem_);
    }

    void append(const record_builder& b) {
        ASSERT_EQ(write(mem_, b.bytes.data(), b.bytes.size()), (ssize_t)b.bytes.size());
    }

    // Clones a stream device on the memfd into kernel_fd and starts the producer.
    void start() {
        int dev = -1;
        int32_t clone = -1;
        int8_t actions[KREC_NUM_TYPES];
        memset(actions, KREC_ACTION_REPORT, sizeof actions);
        krec_clone_args args = {actions, KREC_NUM_TYPES, KREC_DEFAULT_QUEUE_DEPTH, &clone};
        std::string path = "/proc/self/fd/" + std::to_string(mem_);
        ASSERT_EQ(kernel_device_open_source(path.c_str(), &dev), 0);
        ASSERT_EQ(kernel_device_ioctl(dev, KREC_IOC_CLONE, &args), 0);
        kernel_device_close(dev);
        kernel_fd = clone;
        clone_ = clone;
        ASSERT_EQ(pthread_create(&producer_, nullptr, vantle_producer, nullptr), 0);
        started_ = true;
    }

    // What shutdown_handler does, then the join.
    void shut_down() {
        shutting_down = 1;
        int fd = kernel_fd.exchange(-1);
        if (fd >= 0)
            kernel_device_close(fd);
        pthread_join(producer_, nullptr);
        started_ = false;
    }

    void expect_events(int first, int count, size_t at = 0) {
        ASSERT_GE(sunk.size(), at + static_cast<size_t>(count));
        for (int i = 0; i < count; i++) {
            const sunk_event& e = sunk[at + static_cast<size_t>(i)];
            ASSERT_EQ(e.path, event_path(first + i)) << "event " << at + i;
            ASSERT_EQ(e.flags & EVENT_TYPE_FLAGS, EVENT_CREATE_FILE);
        }
    }

    int mem_ = -1;
    int clone_ = -1;  // the stream's handle, as start() put it in kernel_fd
    pthread_t producer_{};
    bool started_ = false;
};

// A consumer running beside the producer, over far more records than the first two buffers
// hold, slowed now and then so that it falls behind and the ring grows and wraps: every event
// exactly once and in the kernel's order, ids rising; buffer offsets stay ordered.
TEST_F(Producer, EveryEventOnceInOrderWhileConsuming) {
    constexpr int CHUNKS = 200;
    constexpr int PER_CHUNK = 150;
    constexpr int COUNT = CHUNKS * PER_CHUNK;
    start();
    std::thread writer([&] {
        for (int c = 0; c < CHUNKS; c++) {
            record_builder b;
            add_events(b, c * PER_CHUNK, PER_CHUNK);
            append(b);
            usleep(c % 10 == 0 ? 3000 : 300);
        }
    });
    slow_sink_every = 997;
    consume(COUNT);
    writer.join();
    shut_down();
    slow_sink_every = 0;
    ASSERT_EQ(sunk.size(), (size_t)COUNT);
    expect_events(0, COUNT);
    for (size_t k = 1; k < sunk.size(); k++)
        ASSERT_GT(sunk[k].id, sunk[k - 1].id);
    EXPECT_GT(list_length(), 2u);
    for (event_buffer* buf = event_buffers; buf; buf = buf->next) {
        EXPECT_LE(buf->consumed.load(), buf->limit.load());
        EXPECT_EQ(buf->limit.load(), buf->filled.load());
        EXPECT_LE(buf->filled.load(), buf->size);
    }
}

// Without a consumer the ring grows one buffer at a time, and a buffer stops taking reads
// once it has less than EVENT_BUFFER_MIN_ROOM left; the consumer then finds every event in
// order. Records appended later land in drained buffers, which are reused from offset 0
// rather than grown past.
TEST_F(Producer, SlowConsumerGrowsTheListInOrder) {
    constexpr int COUNT = 6000;
    record_builder b;
    add_events(b, 0, COUNT);
    append(b);
    start();
    ASSERT_TRUE(eventually([&] { return total_filled() == (int64_t)b.bytes.size(); }));
    size_t grown = list_length();
    EXPECT_GE(grown, b.bytes.size() / EVENT_BUFFER_SIZE + 1);
    pthread_mutex_lock(&buffer_lock);
    int full = 0;
    for (event_buffer* buf = event_buffers; buf; buf = buf->next)
        full += buf->size - buf->filled.load() < EVENT_BUFFER_MIN_ROOM;
    pthread_mutex_unlock(&buffer_lock);
    EXPECT_GE(full + 2, (int)grown);  // all but the last one or two are full
    consume(COUNT);
    ASSERT_EQ(sunk.size(), (size_t)COUNT);
    expect_events(0, COUNT);

    // Three rounds of a few records after everything is decoded: no growth.
    for (int round = 0; round < 3; round++) {
        record_builder more;
        add_events(more, COUNT + round * 10, 10);
        append(more);
        consume(COUNT + (round + 1) * 10);
    }
    ASSERT_EQ(sunk.size(), (size_t)COUNT + 30);
    expect_events(COUNT, 30, COUNT);
    EXPECT_EQ(list_length(), grown);
}

// Closing the stream (as shutdown_handler does) ends a producer blocked in its read, without a
// second close, and wakes a consumer waiting on buffer_cond.
TEST_F(Producer, CloseEndsTheBlockedProducer) {
    start();
    usleep(50 * 1000);  // let it block at the end of the empty stream
    bool woken = false;
    pthread_mutex_lock(&buffer_lock);
    shutting_down = 1;
    kernel_device_close(kernel_fd.exchange(-1));
    while (!woken) {
        timespec ts = deadline_after_us(5000000);
        int rc = pthread_cond_timedwait(&buffer_cond, &buffer_lock, &ts);
        woken = rc == 0;
        if (rc == ETIMEDOUT)
            break;
    }
    pthread_mutex_unlock(&buffer_lock);
    EXPECT_TRUE(woken);
    pthread_join(producer_, nullptr);
    started_ = false;
    EXPECT_EQ(kernel_fd.load(), -1);
    EXPECT_EQ(total_filled(), 0);
}

// The producer that stops on its own (a zero read after shutting_down was set, with the stream
// still open) closes the stream itself.
TEST_F(Producer, StoppingOnItsOwnClosesTheStream) {
    producer_read = [](int, void*, size_t) -> ssize_t {
        shutting_down = 1;
        return 0;
    };
    start();
    pthread_join(producer_, nullptr);
    started_ = false;
    EXPECT_EQ(kernel_fd.load(), -1);
    char byte;
    EXPECT_EQ(kernel_device_read(clone_, &byte, 1), -1);  // releases the closed clone
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(kernel_device_close(clone_), EBADF);
}

// A record longer than the room of the chosen buffer comes out of the device as a
// dropped-events record in its place; the records around it are intact.
TEST_F(Producer, RecordLongerThanTheRoomBecomesADroppedEvent) {
    record_builder b;
    int small = 0;
    while (b.bytes.size() < 30000)
        add_events(b, small++, 1);
    size_t before_big = b.bytes.size();
    std::string filler(40000, 'x');
    b.header(KREC_TYPE_CREATE_FILE).path("/big").arg(UNKNOWN_ARG, filler.data(), 40000).done();
    int64_t big = static_cast<int64_t>(b.bytes.size() - before_big);
    add_events(b, small, 5);
    append(b);
    start();  // no consumer yet: no buffer is reset, so the room is 65536 minus the first read
    ASSERT_TRUE(eventually(
        [&] { return total_filled() == (int64_t)b.bytes.size() - big + KREC_DROPPED_SIZE; }));
    consume(static_cast<size_t>(small) + 6);
    ASSERT_EQ(sunk.size(), (size_t)small + 6);
    expect_events(0, small);
    EXPECT_EQ(sunk[small].flags, EVENT_KERNEL_DROPPED);
    expect_events(small, 5, static_cast<size_t>(small) + 1);
}

std::atomic<bool> lied{false};

// A read that claims more bytes than the room it was given is logged and not counted; the
// data that follows arrives normally.
TEST_F(Producer, ReadLongerThanTheRoomIsNotCounted) {
    lied = false;
    producer_read = [](int fd, void* buf, size_t size) -> ssize_t {
        if (!lied.exchange(true))
            return static_cast<ssize_t>(size) + 1;
        return kernel_device_read(fd, buf, size);
    };
    record_builder b;
    add_events(b, 0, 50);
    append(b);
    ::testing::internal::CaptureStderr();
    start();
    consume(50);
    shut_down();
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("vantle_producer: ************* DANGER : read 65537 bytes but buffer is "
                       "only 65536"),
              std::string::npos);
    ASSERT_EQ(sunk.size(), 50u);
    expect_events(0, 50);
}

}  // namespace
