// The producer and the buffer list, driven by a record stream on a memfd beside a consumer that
// falls behind now and then: every event reaches it once and in order across buffers and list
// growth. A record too long for the room is checked in tests/device, shutdown in tests/blackbox.
#include "common/deadline.h"
#include "common/log.h"
#include "intake/event_flags.h"
#include "intake/event_ids.h"
#include "intake/intake_state.h"
#include "intake/producer.h"
#include "platform/kernel_device.h"
#include "record_builder.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <syslog.h>
#include <unistd.h>

#include <thread>

namespace {

std::string event_path(int i) {
    return "/vol/d" + std::string(static_cast<size_t>(i % 150), 'd') + "/f" + std::to_string(i);
}

void append_events(int fd, int first, int count) {
    record_builder b;
    for (int i = first; i < first + count; i++)
        b.header(KREC_TYPE_CREATE_FILE).path(event_path(i)).file_info(3, 0x81a4).done();
    ASSERT_EQ(write(fd, b.bytes.data(), b.bytes.size()), ssize_t(b.bytes.size()));
}

size_t list_length() {
    size_t n = 0;
    for (event_buffer* b = intake.event_buffers; b; b = b->next)
        n++;
    return n;
}

// Walks the buffers as the event thread does until `expected` events have arrived or half a
// second passes without work; with stall, it pauses every 50 walks so that the producer gets ahead.
void consume(size_t expected, bool stall = false) {
    for (int idle = 0, pass = 0; sunk.size() < expected && idle < 5; pass++) {
        pthread_mutex_lock(&intake.buffer_lock);
        event_buffer* b = consumer_find_work();
        if (!b) {
            timespec ts = deadline_after_us(100000);
            pthread_cond_timedwait(&intake.buffer_cond, &intake.buffer_lock, &ts);
            b = consumer_find_work();
        }
        pthread_mutex_unlock(&intake.buffer_lock);
        idle = b ? 0 : idle + 1;
        for (; b; b = consumer_next_work(b))
            consumer_step(b, nullptr, record_sink);
        if (stall && pass % 50 == 49)
            usleep(15 * 1000);
    }
}

// Far more records than two buffers hold: every event once, in order, ids rising, while the list
// grows and wraps; once the consumer has caught up, later records reuse the drained buffers.
TEST(Producer, EveryEventOnceInOrderWhileConsuming) {
    constexpr int CHUNKS = 200, PER_CHUNK = 150, COUNT = CHUNKS * PER_CHUNK;
    log_open("intake_tests", LOG_PERROR);
    publish_event_id(5000);
    sunk.clear();
    event_buffers_init(alloc_event_buffers(EVENT_BUFFER_INITIAL_COUNT, EVENT_BUFFER_SIZE));
    int mem = memfd_create("records", MFD_CLOEXEC), dev = -1, clone = -1;
    std::vector<int8_t> actions(KREC_NUM_TYPES, KREC_ACTION_REPORT);  // every record type
    krec_clone_args args = {actions.data(), KREC_NUM_TYPES, KREC_DEFAULT_QUEUE_DEPTH, &clone};
    ASSERT_EQ(kernel_device_open_source(("/proc/self/fd/" + std::to_string(mem)).c_str(), &dev), 0);
    ASSERT_EQ(kernel_device_ioctl(dev, KREC_IOC_CLONE, &args), 0);
    kernel_device_close(dev);
    intake.kernel_fd = clone;
    pthread_t producer;
    ASSERT_EQ(pthread_create(&producer, nullptr, vantle_producer, nullptr), 0);
    std::thread writer([&] {
        for (int c = 0; c < CHUNKS; c++) {
            append_events(mem, c * PER_CHUNK, PER_CHUNK);
            usleep(c % 10 == 0 ? 3000 : 300);
        }
    });
    consume(COUNT, true);
    writer.join();
    size_t grown = list_length();
    EXPECT_GT(grown, 2u);
    for (int round = 0; round < 3; round++) {
        append_events(mem, COUNT + round * 10, 10);
        consume(COUNT + (round + 1) * 10);
    }
    lifecycle.shutting_down = 1;  // as the shutdown handler does
    kernel_device_close(intake.kernel_fd.exchange(-1));
    pthread_join(producer, nullptr);
    EXPECT_EQ(list_length(), grown);
    ASSERT_EQ(sunk.size(), size_t(COUNT) + 30);
    for (size_t i = 0; i < sunk.size(); i++) {
        ASSERT_EQ(sunk[i].path, event_path(int(i))) << "event " << i;
        ASSERT_EQ(sunk[i].flags & EVENT_TYPE_FLAGS, EVENT_CREATE_FILE);
        ASSERT_TRUE(i == 0 || sunk[i].id > sunk[i - 1].id);
    }
    free_event_buffers(intake.event_buffers);
    close(mem);
}

}  // namespace
