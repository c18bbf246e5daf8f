// The table of marked processes (0 = free slot), guarded by its own lock: registration
// enters a mark-self client's pid, the end of its delivery thread takes it out, and the event
// table asks about it for every event.
#pragma once

#include <cstdint>

constexpr int MARKED_PIDS_MAX = 32;

// Enters pid in the first free slot; when every slot is taken the pid is simply not marked.
void marked_pids_add(int32_t pid);
void marked_pids_remove(int32_t pid);
bool is_marked_pid(int32_t pid);
