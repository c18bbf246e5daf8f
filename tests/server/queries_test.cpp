// The start-up wait and the answers of the queries (66002 to 66005) before the event thread
// is ready and with the empty volume table it builds so far.
#include "request_builder.h"

#include "intake/event_ids.h"
#include "server/queries.h"

#include <thread>
#include <unistd.h>

namespace server_test {
namespace {

using queries = server_fixture;

TEST_F(queries, wait_for_startup_follows_ready_and_shutting_down) {
    event_thread_ready = 1;
    EXPECT_TRUE(wait_for_startup());
    shutting_down = 1;
    EXPECT_FALSE(wait_for_startup());
    event_thread_ready = 0;
    EXPECT_FALSE(wait_for_startup());  // gives up at once instead of waiting 10 s

    shutting_down = 0;  // readiness arriving during the wait ends it with success
    std::thread starter([] { usleep(300000), event_thread_ready = 1; });
    EXPECT_TRUE(wait_for_startup());
    starter.join();
}

struct answers {
    std::string uuid;
    uint64_t current_id, id_for_time;
    uint32_t purge_result;
};

// Sends each query (purge as root) into a reply buffer full of garbage.
answers ask_all(message_buffer* request, message_buffer* reply) {
    answers a;
    auto ask = [&](mach_msg_id_t id, mach_msg_size_t reply_size) {
        build_simple(request, id);
        memset(reply->bytes, 0xAB, sizeof reply->bytes);
        EXPECT_TRUE(subsystem_demux(request->head(), reply->head()));
        EXPECT_EQ(reply->head()->msgh_size, reply_size);
        EXPECT_EQ(reply->as<error_reply_t>()->ret_code, 0);
    };
    ask(VANTLES_MSG_GET_VOLUME_UUID, sizeof(volume_uuid_reply_t));
    a.uuid.assign(reply->as<volume_uuid_reply_t>()->uuid,
                  strnlen(reply->as<volume_uuid_reply_t>()->uuid, VANTLES_UUID_TEXT_SIZE));
    ask(VANTLES_MSG_GET_CURRENT_EVENT_ID, sizeof(event_id_reply_t));
    a.current_id = reply->as<event_id_reply_t>()->event_id;
    ask(VANTLES_MSG_GET_EVENT_ID_FOR_TIME, sizeof(event_id_reply_t));
    a.id_for_time = reply->as<event_id_reply_t>()->event_id;
    ask(VANTLES_MSG_PURGE_EVENTS, sizeof(purge_events_reply_t));
    a.purge_result = reply->as<purge_events_reply_t>()->result;
    return a;
}

TEST_F(queries, not_ready_answers_leave_ids_unset) {
    event_ids[0] = 77;
    shutting_down = 1;
    answers a = ask_all(&request, &reply);
    EXPECT_EQ(a.uuid, "NO-UUID-NO-DEV-INFO");
    EXPECT_EQ(a.current_id, 0u);  // neither the counter nor stray bytes
    EXPECT_EQ(a.id_for_time, 0u);
    EXPECT_EQ(a.purge_result, VANTLES_PURGE_NO_HISTORY);
    event_ids[0] = 0;
}

TEST_F(queries, ready_answers_come_from_the_counter_and_an_empty_volume_table) {
    event_thread_ready = 1;
    event_ids[0] = 5;
    event_ids[1] = 0x1122334455667788ull;
    event_id_index = 1;
    answers a = ask_all(&request, &reply);
    EXPECT_EQ(a.uuid, "NO-UUID-NO-DEV-INFO");
    EXPECT_EQ(a.current_id, 0x1122334455667788ull);
    EXPECT_EQ(a.id_for_time, 0u);
    EXPECT_EQ(a.purge_result, VANTLES_PURGE_NO_HISTORY);

    event_id_index = 0;
    EXPECT_EQ(ask_all(&request, &reply).current_id, 5u);
    event_ids[0] = event_ids[1] = 0;
}

}  // namespace
}  // namespace server_test
