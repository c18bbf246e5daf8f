// Decoding of raw kernel records into path events.
#pragma once

#include "intake/events.h"

#include <atomic>
#include <cstdint>

// 1 once the kernel accepted the extended-information request; only then does record flag
// 0x2000 mark a directory-level event. Set by the event thread before decoding starts.
extern std::atomic<uint8_t> kernel_extended_info;

// Decodes length bytes of kernel records from start (a record boundary) and calls sink once
// per event. May write into the bytes it decodes (path cuts). Never reads outside
// [start, start + length); a record cut short by the end of the stretch ends the decoding.
// Event thread only. Returns 1.
int decode_kernel_records(uint8_t* start, uint32_t length, event_table* table, event_sink sink);
