// Wake-ups of client delivery threads: the latency pass the event thread runs after every
// step and wait, the flush request, and the push of the disk logger.
#pragma once

#include <sys/time.h>

#include <cstdint>

struct client_info;
struct clientp;

// Wakes every client whose latency has run out or whose backlog is past its wake-up mark.
// Returns the microseconds until the next client with pending events is due, 0 when none has
// any.
uint64_t latency_pass(const struct timeval* now);

// Signals the client's delivery thread, starting a new one if it had exited idle.
void client_wakeup(client_info* fci);

// Flush: wakes the client of registration cp and stores its last_id_sent in *out. *out is left
// unchanged when the daemon is not ready, the client is not found or it stays busy.
void client_try_wakeup(clientp* cp, uint64_t* out);

// Wakes every live internal client (the disk logger).
void wake_internal_clients();
