// Routing of decoded events to the clients whose watched paths cover them, and the queueing
// of an event record into client backlogs. Event thread only: there is one router.
#pragma once

#include <cstdint>

struct event_table;
struct event_record;
struct client_node;
struct prefix_header;
struct prefix_table;

// The event sink of the decoder: queues the event for every interested client (see
// event_sink in intake/events.h for the arguments). The path may be changed in place and is
// restored before the call returns, apart from add_event's normalisation.
void route_event(event_table* table, int32_t pid, uint32_t dev, char* path, uint32_t path_length,
                 uint32_t dir_length, uint32_t flags, uint64_t id);

// A header an event reaches, the string it was compared with (the path, or the volume-relative
// part for a device header) and the bytes of the header's path that counted.
typedef void (*route_visit_fn)(void* ctx, const prefix_header* header, char* c, uint32_t n);

// Calls visit for every live header of table that covers an event of device dev at path (rel:
// its volume-relative part), once each and in table order, finding them by binary search
// rather than a scan of the table. Under prefix_lock, which also guards its scratch space.
void visit_matching_headers(const prefix_table* table, uint32_t dev, char* path, char* rel,
                            route_visit_fn visit, void* ctx);

// The part of path below the mount point of the volume dev; the path itself when dev is 0 or
// unknown. "/.docid/..." paths are relative on every volume (".docid/...").
char* volume_relative_path(uint32_t dev, char* path);

// Whether a volume-relative path lies in a directory nobody is told about.
bool is_ignored_directory(const char* rel);

// Queues record into the backlog of every client on list that can take it, taking one reference
// per client. A full backlog marks the client as having dropped events instead.
void add_event_ref(client_node* list, event_record* record);
