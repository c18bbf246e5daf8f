// The request side of the daemon: its ports, the top-level message handler, the request
// subsystem and the handlers behind each routine. Everything here runs on the single server
// thread (main), one message at a time, so the registry needs no lock.
#pragma once

#include "common/log_throttle.h"
#include "platform/mach_msg.h"
#include "platform/messages.h"

#include <cstdint>

struct clientp;

// The request side's state. One instance, `server`; the server thread only, so no lock.
struct server_state {
    // The service port (the listening socket) and the set the server loop receives from.
    mach_port_t f2d_public_port = MACH_PORT_NULL;
    mach_port_t server_port_set = MACH_PORT_NULL;
    // Head of the registry list, newest first (add_client, unlink_client and the look-ups).
    clientp* client_registry = nullptr;
    // Uids whose log lines any user can cause as often as it likes were logged lately:
    // flushes and unregistrations on other ports, refused registrations, removals of clients
    // already gone, time queries before every log file or while one is unreadable.
    log_throttle stray_request_logs;
    log_throttle refused_registration_logs;
    log_throttle gone_client_logs;
    log_throttle early_time_logs;
    log_throttle unreadable_log_logs;
};
extern server_state server;

// Handles the no-senders notice (id 70) and passes everything else to subsystem_demux.
bool server_demux(mach_msg_header_t* request, mach_msg_header_t* reply);

// Dispatches ids 66000..66006 to their stubs; answers MIG_BAD_ID (and returns false) otherwise.
bool subsystem_demux(mach_msg_header_t* request, mach_msg_header_t* reply);

// The sender of a request whose trailer names none: a key of the per-uid log throttles like
// any other.
constexpr uint32_t SERVER_UID_UNKNOWN = UINT32_MAX;

// Handlers, called by the stubs with unpacked values (see registry.h for register). sender_uid
// keys the throttles of the log lines that any user can cause (at most one a minute per uid).
kern_return_t implementation_flush_rpc(mach_port_t local_port, uint64_t* event_id,
                                       uint32_t sender_uid);
kern_return_t implementation_get_volume_uuid_rpc(mach_port_t local_port, uint32_t device,
                                                 char* uuid_text);
kern_return_t implementation_get_current_event_id_rpc(mach_port_t local_port, uint64_t* event_id);
kern_return_t implementation_get_event_id_for_time_rpc(mach_port_t local_port, uint32_t device,
                                                       int64_t time, uint64_t* event_id,
                                                       uint32_t sender_uid);
kern_return_t implementation_purge_events_rpc(mach_port_t local_port, uint32_t device,
                                              uint64_t event_id, uint32_t* result,
                                              uint32_t sender_euid);
kern_return_t implementation_unregister_rpc(mach_port_t local_port, uint32_t sender_uid);
// How the daemon watches the volume of device: kind (0 unknown, 1 whole, 2 upper layer, 3 not)
// and why not (reason: VANTLES_WATCH_REASON_SIZE bytes, NUL-terminated).
void implementation_get_volume_watch_rpc(uint32_t device, uint32_t* kind, char* reason);
// Queues the request for the sync thread, which answers it later on reply_port (a reply laid
// out from head) and sets *deferred; VANTLES_SYNC_BUSY when too many are waiting.
kern_return_t implementation_sync_volume_rpc(mach_port_t reply_port, uint32_t device,
                                             uint32_t sender_uid, const mach_msg_header_t* head,
                                             bool* deferred);
