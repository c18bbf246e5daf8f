// The start-up wait of the request side and the backends of the volume and history queries.
//
// The queries answer from the volume table, which the event thread builds at start-up. That
// table is not built yet, so after a successful wait every query sees an empty table: no
// volume has a uuid or history, and the answers are those of a daemon without volumes.
#include "server/queries.h"

#include "common/limits.h"
#include "intake/event_ids.h"
#include "intake/event_thread.h"

#include <unistd.h>

namespace {

constexpr int STARTUP_WAIT_TRIES = 40;
constexpr useconds_t STARTUP_WAIT_SLEEP_US = 250000;

const char* const UUID_TEXT_NO_DEV_INFO = "NO-UUID-NO-DEV-INFO";

}  // namespace

bool wait_for_startup() {
    int sleeps = 0;
    while (event_thread_ready.load() == 0 && shutting_down.load() == 0 &&
           sleeps < STARTUP_WAIT_TRIES) {
        usleep(STARTUP_WAIT_SLEEP_US);
        ++sleeps;
    }
    // Readiness first seen after the last sleep still counts as a time-out.
    if (sleeps >= STARTUP_WAIT_TRIES) {
        return false;
    }
    return shutting_down.load() == 0;
}

void get_volume_uuid(uint32_t /*device*/, char* text) {
    if (!wait_for_startup()) {
        path_copy(text, UUID_TEXT_NO_DEV_INFO, VOLUME_UUID_TEXT_BUFFER);
        return;
    }
    // No volume record for any device.
    path_copy(text, UUID_TEXT_NO_DEV_INFO, VOLUME_UUID_TEXT_BUFFER);
}

bool get_current_event_id(uint64_t* id) {
    if (!wait_for_startup()) {
        return false;
    }
    *id = current_event_id();
    return true;
}

void get_event_id_for_time(uint32_t /*device*/, int64_t /*time*/, uint64_t* id) {
    if (!wait_for_startup()) {
        return;
    }
    // No volume record, hence no log files to search.
    *id = 0;
}

int32_t purge_events(uint32_t /*device*/, uint64_t /*bound*/) {
    if (!wait_for_startup()) {
        return -1;
    }
    // No volume record, hence no history to remove.
    return -1;
}
