// The JSON form of events: one object per line, {"id":N,"flags":[names],"path":"..."}.
#pragma once

#include "vantles/stream.h"

#include <string>
#include <string_view>

// Appends text as a JSON string literal (with its quotes). Valid UTF-8 is copied; '"', '\\'
// and control characters are escaped; each byte that is not part of valid UTF-8 becomes the
// lone surrogate \udcXX, which no valid UTF-8 can give: any path is valid JSON, and names
// that differ in their bytes differ in their JSON.
void json_append_string(std::string* out, std::string_view text);

// Appends the event as one JSON object, without a newline. Flags are named as
// vantles_event_flag_name names them; an unknown bit as its hex value ("0x4000"). With a time
// (json_time_now), the object ends with a "time" member.
void json_append_event(std::string* out, const vantles_event& event, std::string_view time = {});

// The wall-clock time now in ISO 8601, UTC, to the millisecond: "2026-12-08T18:40:01.123Z".
std::string json_time_now();
