// The service manager's protocols through libsystemd: sd_listen_fds_with_names for the
// descriptors passed at start, sd_notify for readiness and status, and sd_pid_notify_with_fds
// for the descriptor store.
#include "platform/service_manager.h"

#include <systemd/sd-daemon.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr int SERVICE_MAX_PASSED = 16;

struct passed_fd {
    int fd;
    char name[256];
};

std::mutex passed_lock;
bool passed_taken = false;
passed_fd passed[SERVICE_MAX_PASSED];
int passed_count = 0;

void take_locked() {
    if (passed_taken) {
        return;
    }
    passed_taken = true;
    char** names = nullptr;
    int n = sd_listen_fds_with_names(1, &names);
    for (int i = 0; i < n; i++) {
        int fd = SD_LISTEN_FDS_START + i;
        if (passed_count < SERVICE_MAX_PASSED) {
            passed[passed_count].fd = fd;
            snprintf(passed[passed_count].name, sizeof passed[passed_count].name, "%s",
                     names && names[i] ? names[i] : "unknown");
            passed_count++;
        } else {
            close(fd);  // more than the daemon ever stores or listens on
        }
    }
    if (names) {
        for (int i = 0; i < n; i++) {
            free(names[i]);
        }
        free(names);
    }
}

int claim_at(int i) {
    int fd = passed[i].fd;
    passed[i] = passed[--passed_count];
    return fd;
}

}  // namespace

int service_take_passed_fds() {
    std::lock_guard<std::mutex> guard(passed_lock);
    take_locked();
    return passed_count;
}

int service_claim_fd(const char* name) {
    std::lock_guard<std::mutex> guard(passed_lock);
    take_locked();
    for (int i = 0; i < passed_count; i++) {
        if (strcmp(passed[i].name, name) == 0) {
            return claim_at(i);
        }
    }
    return -1;
}

int service_claim_listener(int type) {
    std::lock_guard<std::mutex> guard(passed_lock);
    take_locked();
    for (int i = 0; i < passed_count; i++) {
        if (sd_is_socket(passed[i].fd, AF_UNIX, type, 1) > 0) {
            return claim_at(i);
        }
    }
    return -1;
}

bool service_manager_present() {
    const char* socket = getenv("NOTIFY_SOCKET");
    return socket && *socket;
}

int service_notify_ready() {
    int r = sd_notify(0, "READY=1");
    return r < 0 ? -r : 0;
}

int service_notify_stopping() {
    int r = sd_notify(0, "STOPPING=1");
    return r < 0 ? -r : 0;
}

int service_notify_status(uint64_t event_id, int32_t clients) {
    int r = sd_notifyf(0, "STATUS=event id %" PRIu64 ", %d clients", event_id, (int)clients);
    return r < 0 ? -r : 0;
}

int service_store_fd(int fd, const char* name) {
    if (!service_manager_present()) {
        return 0;
    }
    char state[320];
    snprintf(state, sizeof state, "FDSTORE=1\nFDNAME=%s", name);
    int r = sd_pid_notify_with_fds(0, 0, state, &fd, 1);
    return r < 0 ? -r : 0;
}
