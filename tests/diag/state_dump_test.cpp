// The state dump as an operator reads it: the header, one line per client with its process
// name and stream position, its watched paths and its exclusions.
#include "clients/client_info.h"
#include "clients/prefix_table.h"
#include "common/log.h"
#include "diag/state_dump.h"
#include "intake/event_ids.h"
#include "platform/process_name.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

namespace {

int32_t ignore_events(void*, int32_t, const int32_t*, const char* const*, const uint32_t*,
                      const uint32_t*, const uint64_t*) {
    return 0;
}

// What state_dump(signo) writes to standard error.
std::string dump_text(int signo) {
    char path[] = "/tmp/vantles-dump.XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    fflush(stderr);
    int saved = dup(2);
    dup2(fd, 2);
    state_dump(signo);
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string text;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        text.append(buf, size_t(n));
    close(fd);
    unlink(path);
    return text;
}

// A pid that no longer names a process.
int32_t exited_pid() {
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

class StateDump : public ::testing::Test {
protected:
    void SetUp() override {
        log_open("state_dump_test", LOG_OPTIONS_STDERR);
        clear_client_tables();
        publish_event_id(0x105);
    }
    void TearDown() override {
        for (client_info* fci : made_) {
            pthread_mutex_lock(&clients_lock);
            remove_paths(fci);
            release_client_slot(fci);
            pthread_mutex_unlock(&clients_lock);
            free_client_info(fci);
        }
        clear_client_tables();
    }
    client_info* make(int32_t pid, std::vector<const char*> paths,
                      std::vector<const char*> excluded, uint64_t since_when) {
        client_info* fci = nullptr;
        EXPECT_EQ(0, create_client_info(uint32_t(pid), 0, paths.data(), int32_t(paths.size()),
                                        excluded.data(), int32_t(excluded.size()), 1000000,
                                        CLIENT_RING_REGISTERED, since_when, CLIENT_FILE_EVENTS,
                                        ignore_events, nullptr, getuid(), getgid(), &fci));
        if (fci)
            made_.push_back(fci);
        return fci;
    }
    std::vector<client_info*> made_;
};

TEST_F(StateDump, HeaderOnlyWithoutClientsAndNothingForOtherSignals) {
    std::string text = dump_text(SIGUSR1);
    EXPECT_NE(std::string::npos,
              text.find("vantlesd internal state [num_clients: 0, current_event_id: 0x105"))
        << text;
    EXPECT_EQ(std::string::npos, text.find("\tpid")) << text;
    EXPECT_EQ("", dump_text(SIGUSR2));
}

TEST_F(StateDump, ListsClientsWithNamesPositionsPathsAndExclusions) {
    char own[PROCESS_NAME_BUFFER];
    process_name(getpid(), own, sizeof own);
    ASSERT_STRNE("(unknown)", own);
    ASSERT_NE(nullptr, make(getpid(), {"/srv/a", "/srv/b"}, {"/srv/a/x", "/srv/a/y", "/srv/b/z"},
                            EVENT_ID_WRAP));
    int32_t gone = exited_pid();
    ASSERT_NE(nullptr, make(gone, {"/home"}, {}, 5));

    std::string text = dump_text(SIGUSR1);
    std::string first = std::string("\t") + own + " pid " + std::to_string(getpid()) +
                        ", flags 0x100, #paths 2, sinceWhen: Now";
    EXPECT_NE(std::string::npos, text.find(first)) << text;
    EXPECT_NE(std::string::npos, text.find("\t\t0: /srv/a")) << text;
    EXPECT_NE(std::string::npos, text.find("\t\t1: /srv/b")) << text;
    for (const char* excluded : {"/srv/a/x/", "/srv/a/y/", "/srv/b/z/"})
        EXPECT_NE(std::string::npos, text.find(std::string("\t\tExcluded ") + excluded)) << text;
    std::string second = "\t(unknown) pid " + std::to_string(gone) +
                         ", flags 0x100, #paths 1, sinceWhen: 0x5 [delta: 256]";
    EXPECT_NE(std::string::npos, text.find(second)) << text;
    EXPECT_NE(std::string::npos, text.find("\t\t0: /home")) << text;
}

}  // namespace
