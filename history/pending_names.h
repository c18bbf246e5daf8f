// The names a volume's history holds in memory, not yet on disk, as one log buffer: what the
// history step of a replay delivers after the last log file.
#pragma once

#include <cstdint>

struct dls;

// Copies state's pending names, in ascending path order, into one native-order log buffer of
// *length bytes whose checksum is 0 (it is read unverified); the caller frees *page. The
// caller holds state->lock for reading; fname_lock is taken here. *page is null when there are
// no names. Returns 0, or why names are missing from the copy (the caller must say that they
// are lost): ENOMEM, or EFBIG when the table's counts give an impossible size (logged).
int copy_pending_names(dls* state, uint8_t** page, uint32_t* length);
