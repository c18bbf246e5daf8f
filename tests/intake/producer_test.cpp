// The producer and the buffer list, driven by a record-stream device on a memfd: every event
// reaches the consumer once and in order across buffers and list growth, and a record that does
// not fit the room is dropped, never counted. Shutdown is checked by tests/blackbox.
#include "common/log.h"
#include "intake/event_ids.h"
#include "record_builder.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace {

constexpr uint32_t MODE_FILE = 0x81a4;

std::string event_path(int i) {
    return "/vol/d" + std::string(static_cast<size_t>(i % 150), 'd') + "/f" + std::to_string(i);
}

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

template <typename F>
bool wait_until(F cond) {
    for (int i = 0; i < 5000 && !cond(); i++)
        usleep(1000);
    return cond();
}

int slow_sink_every = 0;  // the consumer stalls every n-th event, falling behind the producer

void paced_sink(event_table* table, int32_t pid, uint32_t dev, char* path, uint32_t path_length,
                uint32_t dir_length, uint32_t flags, uint64_t id) {
    record_sink(table, pid, dev, path, path_length, dir_length, flags, id);
    if (slow_sink_every && sunk.size() % static_cast<size_t>(slow_sink_every) == 0)
        usleep(15 * 1000);
}

// Consumes until `expected` events have arrived or half a second passes without data.
void consume(size_t expected) {
    for (int idle = 0; sunk.size() < expected && idle < 5;)
        idle = consume_once(paced_sink, 100000) ? 0 : idle + 1;
}

class Producer : public ::testing::Test {
protected:
    void SetUp() override {
        log_open("intake_tests", LOG_PERROR);
        publish_event_id(5000);
        sunk.clear();
        shutting_down = 0;
        producer_read = kernel_device_read;
        event_buffers_init(alloc_event_buffers(EVENT_BUFFER_INITIAL_COUNT, EVENT_BUFFER_SIZE));
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
        clone_ = clone_source(("/proc/self/fd/" + std::to_string(mem_)).c_str());
        ASSERT_GE(clone_, 0);
        kernel_fd = clone_;
        ASSERT_EQ(pthread_create(&producer_, nullptr, vantle_producer, nullptr), 0);
        started_ = true;
    }

    void shut_down() {
        stop_producer(producer_);
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
    int32_t clone_ = -1;
    pthread_t producer_{};
    bool started_ = false;
};

// A consumer beside the producer over far more records than two buffers hold, falling behind now
// and then so that the list grows and wraps: every event once, in order, ids rising.
TEST_F(Producer, EveryEventOnceInOrderWhileConsuming) {
    constexpr int CHUNKS = 200, PER_CHUNK = 150, COUNT = CHUNKS * PER_CHUNK;
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
    }
}

// Without a consumer the list grows, each buffer taking reads until less than
// EVENT_BUFFER_MIN_ROOM is left; later records reuse drained buffers instead of growing more.
TEST_F(Producer, SlowConsumerGrowsTheListInOrder) {
    constexpr int COUNT = 6000;
    record_builder b;
    add_events(b, 0, COUNT);
    append(b);
    start();
    ASSERT_TRUE(wait_until([&] { return total_filled() == (int64_t)b.bytes.size(); }));
    size_t grown = list_length();
    int full = 0;
    for (event_buffer* buf = event_buffers; buf; buf = buf->next)
        full += buf->size - buf->filled.load() < EVENT_BUFFER_MIN_ROOM;
    EXPECT_GE(full + 2, (int)grown);
    consume(COUNT);
    expect_events(0, COUNT);
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

// A record longer than the room of the chosen buffer comes out as a dropped-events record in its
// place; the records around it are intact.
TEST_F(Producer, RecordLongerThanTheRoomBecomesADroppedEvent) {
    record_builder b;
    int small = 0;
    while (b.bytes.size() < 30000)
        add_events(b, small++, 1);
    size_t before_big = b.bytes.size();
    std::string filler(40000, 'x');
    b.header(KREC_TYPE_CREATE_FILE).path("/big").arg(77, filler.data(), 40000).done();
    int64_t big = static_cast<int64_t>(b.bytes.size() - before_big);
    add_events(b, small, 5);
    append(b);
    start();  // no consumer yet: the room is 65536 less the first read
    ASSERT_TRUE(wait_until(
        [&] { return total_filled() == (int64_t)b.bytes.size() - big + KREC_DROPPED_SIZE; }));
    consume(static_cast<size_t>(small) + 6);
    ASSERT_EQ(sunk.size(), (size_t)small + 6);
    expect_events(0, small);
    EXPECT_EQ(sunk[small].flags, EVENT_KERNEL_DROPPED);
    expect_events(small, 5, static_cast<size_t>(small) + 1);
}

}  // namespace
