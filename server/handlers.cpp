// Handlers of the requests that name an existing registration (flush, unregister) and of
// the volume and history queries, which forward to their backends in queries.cpp. The stubs
// in subsystem.cpp call them with unpacked values; all run on the server thread.
#include "server/queries.h"
#include "server/registry.h"
#include "server/server.h"

#include "clients/wakeup.h"
#include "common/log.h"
#include "common/log_throttle.h"
#include "common/monotonic_clock.h"
#include "platform/volume_watch.h"

#include <cerrno>
#include <cstring>

namespace {

// Flush and unregister must arrive on the registration's private port. Any user may send them
// on another, so their log line comes at most once a minute per uid.
clientp* client_for_request(mach_port_t local_port, const char* handler, uint32_t sender_uid) {
    clientp* client = get_client_with_matching_f2d_private_port(local_port);
    if (client == nullptr &&
        log_throttle_due(&server.stray_request_logs, sender_uid, monotonic_ms())) {
        log_error("%s: ERROR: get_client_with_matching_f2d_private_port(0x%x) => NULL (uid %u)",
                  handler, local_port, sender_uid);
    }
    return client;
}

}  // namespace

kern_return_t implementation_flush_rpc(mach_port_t local_port, uint64_t* event_id,
                                       uint32_t sender_uid) {
    clientp* client = client_for_request(local_port, "implementation_flush_rpc", sender_uid);
    if (client != nullptr) {
        client_try_wakeup(client, event_id);
    }
    return KERN_SUCCESS;
}

kern_return_t implementation_unregister_rpc(mach_port_t local_port, uint32_t sender_uid) {
    clientp* client = client_for_request(local_port, "implementation_unregister_rpc", sender_uid);
    if (client != nullptr) {
        implementation_removed_client(client);
        unlink_and_release_client(client);
    }
    return KERN_SUCCESS;
}

kern_return_t implementation_get_volume_uuid_rpc(mach_port_t /*local_port*/, uint32_t device,
                                                 char* uuid_text) {
    get_volume_uuid(device, uuid_text);
    return KERN_SUCCESS;
}

kern_return_t implementation_get_current_event_id_rpc(mach_port_t /*local_port*/,
                                                      uint64_t* event_id) {
    get_current_event_id(event_id);
    return KERN_SUCCESS;
}

kern_return_t implementation_get_event_id_for_time_rpc(mach_port_t /*local_port*/, uint32_t device,
                                                       int64_t time, uint64_t* event_id,
                                                       uint32_t sender_uid) {
    get_event_id_for_time(device, time, event_id, sender_uid);
    return KERN_SUCCESS;
}

kern_return_t implementation_purge_events_rpc(mach_port_t /*local_port*/, uint32_t device,
                                              uint64_t event_id, uint32_t* result,
                                              uint32_t sender_euid) {
    // Only root may remove history.
    if (sender_euid != 0) {
        *result = EACCES;
        return KERN_FAILURE;
    }
    *result = static_cast<uint32_t>(purge_events(device, event_id));
    return KERN_SUCCESS;
}

void implementation_get_volume_watch_rpc(uint32_t device, uint32_t* kind, char* reason) {
    static_assert(VOLUME_WATCH_REASON_SIZE == VANTLES_WATCH_REASON_SIZE);
    volume_watch w = volume_watch_of(device);
    *kind = w.kind;
    memcpy(reason, w.reason, VANTLES_WATCH_REASON_SIZE);
}
