// Per-client event filters: read permission under the client's credentials, excluded paths.
#pragma once

struct client_info;

// Whether the client's user, whose credentials the calling thread has taken on, may read
// event_path (relative paths resolve against the thread's working directory; "" is the
// volume itself). A path gone by now is judged by its parent directory, or failing that by
// the watched path that holds it when the client owns that path.
bool may_read_event(const client_info* me, const char* event_path);

// Whether path begins with one of the client's excluded paths.
bool is_excluded(const client_info* fci, const char* path);
