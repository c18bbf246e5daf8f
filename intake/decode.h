// Decoding of raw kernel records into path events.
#pragma once

#include "intake/events.h"

#include <atomic>
#include <cstdint>

// Decodes length bytes of kernel records from start (a record boundary) and calls sink once
// per event. May write into the bytes it decodes (path cuts). Never reads outside
// [start, start + length); a record cut short by the end of the stretch ends the decoding.
// Event thread only. Returns 1.
int decode_kernel_records(uint8_t* start, uint32_t length, event_table* table, event_sink sink);
