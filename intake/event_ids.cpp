// Storage of the current event id and its reader.
#include "intake/event_ids.h"

std::atomic<uint64_t> event_ids[2];
std::atomic<uint32_t> event_id_index;

uint64_t current_event_id() {
    return event_ids[event_id_index.load() & 1u].load();
}
