// The names a volume's history holds in memory, not yet on disk, as one log buffer: what the
// history step of a replay delivers after the last log file.
#pragma once

#include <cstdint>

struct dls;

// Copies state's pending names, in ascending path order, into one native-order log buffer of
// *length bytes whose checksum is 0 (it is read unverified); the caller frees it. The caller
// holds state->lock for reading; fname_lock is taken here. Names added meanwhile are copied
// while room is left. Null when there are none, when no memory could be had, or when the
// table's counts give an impossible size (logged).
uint8_t* copy_pending_names(dls* state, uint32_t* length);
