// Per-client event filters: read permission under the client's credentials, excluded paths.
#pragma once

#include "intake/events.h"

#include <cstdint>

struct client_info;

// What a client of another user may be told of an event.
enum read_verdict : uint8_t {
    READ_REFUSED,   // nothing
    READ_GRANTED,   // the event as it is
    READ_ANCESTOR,  // only that something changed in a directory above it (see below)
};

// Judges event_path for the client's user, whose credentials the calling thread has taken on
// (relative paths resolve against the thread's working directory; "" is the volume itself).
// A path that exists is granted when the user may read it. A path gone by now is granted when
// the user may read its parent directory now, so could list the name. When the parent is gone
// too, nobody can tell any more whether the user could have read the name when the change
// happened (owning a directory higher up says nothing of a closed one below it): the change is
// granted as READ_ANCESTOR, a directory-level event for the nearest directory above it that
// exists and that the user may read, whose path goes to ancestor (PATH_BUFFER_SIZE bytes), in
// event_path's form. Refused when that directory may not be read.
read_verdict judge_event_read(const client_info* me, const char* event_path, char* ancestor);

// The path to deliver for a READ_ANCESTOR verdict on path (both in the client's form), in
// place: an ancestor above the client's watched path that holds path is narrowed to that
// watched path (a client hears of nothing outside what it watches), and the directory ends in
// '/' as directory-level paths do ("/" and the volume root "" stay as they are).
void ancestor_event_path(const client_info* me, const char* path, char* ancestor);

// The flags of an event delivered as READ_ANCESTOR: something changed in this directory. The
// change's own flags stay withheld with its name.
constexpr uint32_t READ_ANCESTOR_FLAGS = EVENT_DIR_LEVEL | EVENT_IS_DIR;

// Whether path begins with one of the client's excluded paths.
bool is_excluded(const client_info* fci, const char* path);

// The parent directory of path by the POSIX dirname rules in a new 1024-byte string, or null
// (errno ENAMETOOLONG when the parent does not fit, ENOMEM).
char* dirname_alloc(const char* path);
