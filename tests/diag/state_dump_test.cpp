// The state dump as an operator reads it: the header, then per client its process name (even
// of a gone process), stream position, watched paths and exclusions.
#include "clients/client_info.h"
#include "common/log.h"
#include "diag/state_dump.h"
#include "intake/event_ids.h"
#include "platform/process_name.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

namespace {

int32_t ignore_events(void*, int32_t, const int32_t*, const char* const*, const uint32_t*,
                      const uint32_t*, const uint64_t*) {
    return 0;
}

void add_client(int32_t pid, std::vector<const char*> paths, std::vector<const char*> excluded,
                uint64_t since_when) {
    client_info* fci = nullptr;
    ASSERT_EQ(0, create_client_info(uint32_t(pid), 0, paths.data(), int32_t(paths.size()),
                                    excluded.data(), int32_t(excluded.size()), 1000000,
                                    CLIENT_RING_REGISTERED, since_when, CLIENT_FILE_EVENTS,
                                    ignore_events, nullptr, getuid(), getgid(), &fci));
}

std::string dump_text(int signo) {
    testing::internal::CaptureStderr();
    state_dump(signo);
    return testing::internal::GetCapturedStderr();
}

TEST(StateDump, ListsClientsWithNamesPositionsPathsAndExclusions) {
    log_open("state_dump_test", LOG_OPTIONS_STDERR);
    clear_client_tables();
    publish_event_id(0x105);
    EXPECT_NE(
        dump_text(SIGUSR1).find("vantlesd internal state [num_clients: 0, current_event_id: 0x105"),
        std::string::npos);
    char own[PROCESS_NAME_BUFFER];
    process_name(getpid(), own, sizeof own);
    ASSERT_STRNE("(unknown)", own);
    add_client(getpid(), {"/srv/a", "/srv/b"}, {"/srv/a/x", "/srv/b/z"}, EVENT_ID_WRAP);
    pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    add_client(gone, {"/home"}, {}, 5);
    EXPECT_EQ(dump_text(SIGUSR2), "");

    std::string text = dump_text(SIGUSR1);
    for (std::string line :
         {std::string("\t") + own + " pid " + std::to_string(getpid()) +
              ", flags 0x100, #paths 2, sinceWhen: Now\n",
          std::string("\t\t0: /srv/a\n"), std::string("\t\t1: /srv/b\n"),
          std::string("\t\tExcluded /srv/a/x/\n"), std::string("\t\tExcluded /srv/b/z/\n"),
          "\t(unknown) pid " + std::to_string(gone) +
              ", flags 0x100, #paths 1, sinceWhen: 0x5 [delta: 256]\n",
          std::string("\t\t0: /home\n")})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
}

}  // namespace
