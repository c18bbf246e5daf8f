// Storage of the current event id, its reader, the decoder's increment and the start-up flip.
#include "intake/event_ids.h"

#include "intake/intake_state.h"

uint64_t current_event_id() {
    return intake.event_ids[intake.event_id_index.load() & 1u].load();
}

uint64_t next_event_id() {
    return intake.event_ids[intake.event_id_index.load() & 1u].fetch_add(1) + 1;
}

void publish_event_id(uint64_t id) {
    uint32_t spare = (intake.event_id_index.load() & 1u) ^ 1u;
    intake.event_ids[spare].store(id);
    // The slot is complete before the index names it.
    intake.event_id_index.store(spare);
}
