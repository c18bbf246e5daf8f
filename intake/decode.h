// Decoding of raw kernel records into path events.
#pragma once

#include "intake/events.h"

#include <atomic>
#include <cstdint>

// 1 once the kernel accepted the extended-information request; only then does record flag
// 0x2000 mark a directory-level event. Set by the event thread before decoding starts.
extern std::atomic<uint8_t> kernel_extended_info;

// The number of the last sync marker (KREC_TYPE_SYNC) decoded: every event read before it has
// been decoded and routed. Written by the event thread.
extern std::atomic<uint32_t> intake_sync_marker;

// Decodes length bytes of kernel records from start (a record boundary) and calls sink once
// per event. May write into the bytes it decodes (path cuts). Never reads outside
// [start, start + length); a record cut short by the end of the stretch ends the decoding.
// Event thread only. Returns 1.
int decode_kernel_records(uint8_t* start, uint32_t length, event_table* table, event_sink sink);
