// Backends of the volume and history queries; each request needing the event machinery first
// waits for it (wait_for_startup). Server thread only.
#pragma once

#include "intake/event_flags.h"

#include <cstdint>

// Size of the text buffer get_volume_uuid fills (the reply carries its first 36 bytes).
constexpr int VOLUME_UUID_TEXT_BUFFER = 64;

void get_volume_uuid(uint32_t device, char* text /* VOLUME_UUID_TEXT_BUFFER bytes */);
// The uuid of the history that keeps the events of device's volume: its own, or the root
// volume's for a volume that keeps none (and one mounted after start-up); a "NO-UUID-..." text
// when no history keeps them.
void get_history_uuid(uint32_t device, char* text /* VOLUME_UUID_TEXT_BUFFER bytes */);
// Returns wait_for_startup()'s result; *id is written only when true.
bool get_current_event_id(uint64_t* id);
// uid: the asker, whose log lines about the answer come at most once a minute.
void get_event_id_for_time(uint32_t device, int64_t time, uint64_t* id, uint32_t uid);
// 0, or -1 when the daemon is not ready or the volume keeps no history.
int32_t purge_events(uint32_t device, uint64_t bound);
