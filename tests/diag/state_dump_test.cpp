// The state dump as an operator reads it: the header, then per client its process name, stream
// position, watched paths and exclusions.
#include "clients/client_info.h"
#include "common/log.h"
#include "diag/state_dump.h"
#include "intake/event_ids.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <vector>

namespace {

client_info* add_client(int32_t pid, std::vector<const char*> paths,
                        std::vector<const char*> excluded, uint64_t since_when) {
    client_info* fci = nullptr;
    EXPECT_EQ(0, create_client_info(
                     uint32_t(pid), 0, paths.data(), int32_t(paths.size()), excluded.data(),
                     int32_t(excluded.size()), 1000000, client_backlog_registered(), since_when,
                     CLIENT_FILE_EVENTS,
                     [](void*, int32_t, const int32_t*, const char* const*, const uint32_t*,
                        const uint32_t*, const uint64_t*) { return 0; },
                     nullptr, getuid(), getgid(), &fci));
    return fci;
}

// A gone process is named "(unknown)"; a backlog shows what it holds now and at most so far;
// only SIGUSR1 asks for the dump.
TEST(StateDump, ListsClientsWithNamesPositionsPathsAndExclusions) {
    log_open("state_dump_test", LOG_OPTIONS_STDERR);
    clear_client_tables();
    publish_event_id(0x105);
    add_client(getpid(), {"/srv/a", "/srv/b"}, {"/srv/a/x", "/srv/b/z"}, EVENT_ID_WRAP);
    client_info* home = add_client(0x7ffffff0, {"/home"}, {}, 5);  // above any pid handed out
    ASSERT_NE(home, nullptr);
    static event_record records[2];  // held by the client for good
    records[0].path_length = 7, records[1].path_length = 100;
    for (event_record& r : records)
        ASSERT_EQ(0, backlog_push(&home->backlog, &r));
    backlog_pop(&home->backlog, 1, backlog_charge(&records[0]));
    testing::internal::CaptureStderr();
    state_dump(SIGUSR2);
    state_dump(SIGUSR1);
    std::string text = testing::internal::GetCapturedStderr();
    const std::string pid = std::to_string(getpid()), prefix = "state_dump_test[" + pid + "]: ";
    for (size_t at; (at = text.find(prefix)) != std::string::npos;)
        text.erase(at, prefix.size());
    const std::string own = "\tdiag_tests pid " + pid +
                            ", flags 0x100, #paths 2, sinceWhen: Now\n\t\tbacklog 0 events, 0 "
                            "bytes, peak 0 bytes\n";
    EXPECT_EQ(text,
              "vantlesd internal state [num_clients: 0, current_event_id: 0x105\n" + own +
                  "\t\t0: /srv/a\n\t\t1: /srv/b\n\t\tExcluded /srv/a/x/\n\t\tExcluded /srv/b/z/\n"
                  "\t(unknown) pid 2147483632, flags 0x100, #paths 1, sinceWhen: 0x5 "
                  "[delta: 256]\n\t\tbacklog 1 events, " +
                  std::to_string(backlog_charge(&records[1])) + " bytes, peak " +
                  std::to_string(backlog_charge(&records[0]) + backlog_charge(&records[1])) +
                  " bytes\n\t\t0: /home\n\tpending events: 0\n");
}

}  // namespace
