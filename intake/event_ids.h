// The current event id: the latest id handed to an event.
//
// It lives in two slots with an index naming the current one. The decoder increments the
// current slot atomically for every id it hands out; at start-up the history may raise the
// counter (resuming from the newest log file) by writing the other slot and then flipping
// the index, so a reader never sees a half-written value. Readers take the slot the index
// names.
#pragma once

#include <atomic>
#include <cstdint>

// The current event id (the slot event_id_index names). Callable from any thread.
uint64_t current_event_id();

// Takes the next id: atomically increments the current slot and returns the new value.
// The decoder's call; callable from any thread.
uint64_t next_event_id();

// Makes id the current event id: writes the spare slot, then flips the index. Start-up only,
// with a single writer and before the decoder runs.
void publish_event_id(uint64_t id);
