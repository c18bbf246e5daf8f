// The service manager's protocols, for a daemon started by one (systemd): descriptors passed
// at start (the activated socket, and descriptors the daemon stored before a restart), the
// readiness and status notices, and the descriptor store that keeps a descriptor open across
// a restart of the daemon. Without a service manager every call is a quiet no-op.
#pragma once

#include <cstdint>

// Name under which the daemon stores its event source across restarts.
constexpr const char* SERVICE_FD_EVENT_SOURCE = "fanotify";

// Takes the descriptors passed at start (once; later calls find the same table) and clears
// the variables that passed them. Returns how many there were.
int service_take_passed_fds();

// A passed descriptor by name, handed over once: -1 when there is none (left to the caller
// to close otherwise). service_take_listener: the first passed listening socket of the given
// type, whatever its name.
int service_claim_fd(const char* name);
int service_claim_listener(int type);

// True when a service manager listens for notices.
bool service_manager_present();

// "READY=1", "STOPPING=1" and "STATUS=event id N, M clients". 0 or an errno value.
int service_notify_ready();
int service_notify_stopping();
int service_notify_status(uint64_t event_id, int32_t clients);

// Hands a duplicate of fd to the service manager's store under name. 0 (also when no manager
// listens) or an errno value.
int service_store_fd(int fd, const char* name);
