// The request subsystem: the routine table for ids 66000..66008, the dispatcher the top-level
// handler calls, and one stub per routine.
//
// A stub checks the received message (header bits, size, descriptors, trailer) in a fixed
// order and answers the first failed check with its code, without calling the handler. A
// request that passes is unpacked into plain values for its handler, and the handler's
// result becomes the reply. Every reply starts as the 36-byte error reply that
// subsystem_demux lays out; a successful one only changes its size (and, for register, its
// bits). When a reply carries a non-zero code the server loop destroys the request with
// every right and region it still holds.
#include "server/queries.h"
#include "server/registry.h"
#include "server/server.h"

#include "platform/port.h"

#include <cstring>

namespace {

using stub_t = void (*)(mach_msg_header_t* request, mach_msg_header_t* reply);

struct routine_descriptor {
    stub_t stub;
    uint32_t argument_words;
    uint32_t descriptors_described;
    mach_msg_size_t max_reply_size;
};

struct subsystem_descriptor {
    stub_t (*server_routine)(const mach_msg_header_t* request);
    mach_msg_id_t first_id;
    mach_msg_id_t end_id;  // one past the last routine
    mach_msg_size_t max_reply_size;
    routine_descriptor routines[VANTLES_MSG_END - VANTLES_MSG_FIRST];
};

// The smallest trailers the routines accept: register reads the sender's identity from the
// audit token, purge the sender's effective uid from the security token. The transport
// writes a full 52-byte trailer for every sender whose credentials it has, and a size of 0
// (failing both) when it has none. The other routines take the sender from the security
// token when there is one, for their log throttles only.
constexpr uint32_t REGISTER_MIN_TRAILER = 32;
constexpr uint32_t PURGE_MIN_TRAILER = 8;

constexpr uint32_t REGISTER_DESCRIPTOR_COUNT = 5;

const mach_msg_audit_trailer_t* trailer_of(const mach_msg_header_t* request) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(request);
    return reinterpret_cast<const mach_msg_audit_trailer_t*>(bytes +
                                                             mach_msg_round(request->msgh_size));
}

bool has_security_token(const mach_msg_audit_trailer_t* trailer) {
    return trailer->msgh_trailer_type == MACH_MSG_TRAILER_FORMAT_0 &&
           trailer->msgh_trailer_size >= PURGE_MIN_TRAILER;
}

// The sender's effective uid, or SERVER_UID_UNKNOWN.
uint32_t sender_uid(const mach_msg_header_t* request) {
    const mach_msg_audit_trailer_t* trailer = trailer_of(request);
    return has_security_token(trailer) ? trailer->msgh_sender.val[0] : SERVER_UID_UNKNOWN;
}

void set_return_code(mach_msg_header_t* reply, kern_return_t code) {
    auto* r = reinterpret_cast<error_reply_t*>(reply);
    r->NDR = NDR_record;
    r->ret_code = code;
}

// Check 1 of every simple routine: no descriptors and exactly the routine's request size.
bool simple_request_ok(const mach_msg_header_t* request) {
    mach_msg_size_t size = VANTLES_SIMPLE_REQUEST_SIZES[request->msgh_id - VANTLES_MSG_FLUSH];
    return (request->msgh_bits & MACH_MSGH_BITS_COMPLEX) == 0 && request->msgh_size == size;
}

void release_region(mach_msg_ool_descriptor_t* region) {
    if (region->address != 0) {
        mig_deallocate(region->address, region->size);
    }
    region->address = 0;
    region->size = 0;
}

kern_return_t check_register(const register_request_t* req) {
    if ((req->head.msgh_bits & MACH_MSGH_BITS_COMPLEX) == 0 ||
        req->head.msgh_size != sizeof(register_request_t) ||
        req->body.msgh_descriptor_count != REGISTER_DESCRIPTOR_COUNT) {
        return MIG_BAD_ARGUMENTS;
    }
    if (req->callback.type != MACH_MSG_PORT_DESCRIPTOR ||
        req->callback.disposition != MACH_MSG_TYPE_MOVE_SEND ||
        req->path_offsets.type != MACH_MSG_OOL_DESCRIPTOR ||
        req->paths.type != MACH_MSG_OOL_DESCRIPTOR ||
        req->exclude_offsets.type != MACH_MSG_OOL_DESCRIPTOR ||
        req->excludes.type != MACH_MSG_OOL_DESCRIPTOR ||
        req->path_offset_count != req->path_offsets.size / 4 ||
        req->paths_blob_size != req->paths.size ||
        req->exclude_offset_count != req->exclude_offsets.size / 4 ||
        req->exclude_blob_size != req->excludes.size) {
        return MIG_TYPE_ERROR;
    }
    const mach_msg_audit_trailer_t* trailer = trailer_of(&req->head);
    if (trailer->msgh_trailer_type != MACH_MSG_TRAILER_FORMAT_0 ||
        trailer->msgh_trailer_size < REGISTER_MIN_TRAILER) {
        return MIG_TRAILER_ERROR;
    }
    return KERN_SUCCESS;
}

void register_stub(mach_msg_header_t* request, mach_msg_header_t* reply) {
    auto* req = reinterpret_cast<register_request_t*>(request);
    kern_return_t rc = check_register(req);
    if (rc != KERN_SUCCESS) {
        set_return_code(reply, rc);
        return;
    }

    uint32_t audit[8];
    memcpy(audit, trailer_of(request)->msgh_audit.val, sizeof audit);
    mach_port_t private_port = MACH_PORT_NULL;
    rc = implementation_register_rpc(
        request->msgh_local_port, req->callback.name, req->device, req->num_paths,
        reinterpret_cast<const uint32_t*>(req->path_offsets.address), req->path_offset_count,
        reinterpret_cast<const char*>(req->paths.address), req->paths_blob_size, req->num_excludes,
        reinterpret_cast<const uint32_t*>(req->exclude_offsets.address), req->exclude_offset_count,
        reinterpret_cast<const char*>(req->excludes.address), req->exclude_blob_size, req->latency,
        req->create_flags, req->since_when, &private_port, audit);

    // The handler copied what it keeps; the regions go whatever the result, so the server
    // loop's destruction of a failed request finds only the callback right left in it.
    release_region(&req->path_offsets);
    release_region(&req->paths);
    release_region(&req->exclude_offsets);
    release_region(&req->excludes);

    if (rc != KERN_SUCCESS) {
        set_return_code(reply, rc);
        return;
    }
    // Success: the registration now owns the callback right. The complex reply (which the
    // server loop never destroys the request for) hands the client a send right made from
    // the private port.
    auto* r = reinterpret_cast<register_reply_t*>(reply);
    r->head.msgh_bits |= MACH_MSGH_BITS_COMPLEX;
    r->head.msgh_size = sizeof(register_reply_t);
    r->body.msgh_descriptor_count = 1;
    r->private_port.name = private_port;
    r->private_port.pad1 = 0;
    r->private_port.pad2 = 0;
    r->private_port.disposition = MACH_MSG_TYPE_MAKE_SEND;
    r->private_port.type = MACH_MSG_PORT_DESCRIPTOR;
}

void flush_stub(mach_msg_header_t* request, mach_msg_header_t* reply) {
    if (!simple_request_ok(request)) {
        set_return_code(reply, MIG_BAD_ARGUMENTS);
        return;
    }
    uint64_t event_id = 0;
    kern_return_t rc =
        implementation_flush_rpc(request->msgh_local_port, &event_id, sender_uid(request));
    set_return_code(reply, rc);
    if (rc == KERN_SUCCESS) {
        auto* r = reinterpret_cast<event_id_reply_t*>(reply);
        r->head.msgh_size = sizeof(event_id_reply_t);
        r->event_id = event_id;
    }
}

void get_volume_uuid_stub(mach_msg_header_t* request, mach_msg_header_t* reply) {
    if (!simple_request_ok(request)) {
        set_return_code(reply, MIG_BAD_ARGUMENTS);
        return;
    }
    const auto* req = reinterpret_cast<const get_volume_uuid_request_t*>(request);
    char text[VOLUME_UUID_TEXT_BUFFER] = {};
    kern_return_t rc =
        implementation_get_volume_uuid_rpc(request->msgh_local_port, req->device, text);
    set_return_code(reply, rc);
    if (rc == KERN_SUCCESS) {
        auto* r = reinterpret_cast<volume_uuid_reply_t*>(reply);
        r->head.msgh_size = sizeof(volume_uuid_reply_t);
        memcpy(r->uuid, text, sizeof r->uuid);
    }
}

void get_current_event_id_stub(mach_msg_header_t* request, mach_msg_header_t* reply) {
    if (!simple_request_ok(request)) {
        set_return_code(reply, MIG_BAD_ARGUMENTS);
        return;
    }
    uint64_t event_id = 0;
    kern_return_t rc = implementation_get_current_event_id_rpc(request->msgh_local_port, &event_id);
    set_return_code(reply, rc);
    if (rc == KERN_SUCCESS) {
        auto* r = reinterpret_cast<event_id_reply_t*>(reply);
        r->head.msgh_size = sizeof(event_id_reply_t);
        r->event_id = event_id;
    }
}

void get_event_id_for_time_stub(mach_msg_header_t* request, mach_msg_header_t* reply) {
    if (!simple_request_ok(request)) {
        set_return_code(reply, MIG_BAD_ARGUMENTS);
        return;
    }
    const auto* req = reinterpret_cast<const get_event_id_for_time_request_t*>(request);
    uint64_t event_id = 0;
    kern_return_t rc = implementation_get_event_id_for_time_rpc(
        request->msgh_local_port, req->device, req->time, &event_id, sender_uid(request));
    set_return_code(reply, rc);
    if (rc == KERN_SUCCESS) {
        auto* r = reinterpret_cast<event_id_reply_t*>(reply);
        r->head.msgh_size = sizeof(event_id_reply_t);
        r->event_id = event_id;
    }
}

void purge_events_stub(mach_msg_header_t* request, mach_msg_header_t* reply) {
    if (!simple_request_ok(request)) {
        set_return_code(reply, MIG_BAD_ARGUMENTS);
        return;
    }
    const mach_msg_audit_trailer_t* trailer = trailer_of(request);
    if (!has_security_token(trailer)) {
        set_return_code(reply, MIG_TRAILER_ERROR);
        return;
    }
    const auto* req = reinterpret_cast<const purge_events_request_t*>(request);
    uint32_t result = 0;
    kern_return_t rc = implementation_purge_events_rpc(
        request->msgh_local_port, req->device, req->event_id, &result, trailer->msgh_sender.val[0]);
    set_return_code(reply, rc);
    if (rc == KERN_SUCCESS) {
        auto* r = reinterpret_cast<purge_events_reply_t*>(reply);
        r->head.msgh_size = sizeof(purge_events_reply_t);
        r->result = result;
    }
}

void unregister_stub(mach_msg_header_t* request, mach_msg_header_t* reply) {
    if (!simple_request_ok(request)) {
        set_return_code(reply, MIG_BAD_ARGUMENTS);
        return;
    }
    set_return_code(reply,
                    implementation_unregister_rpc(request->msgh_local_port, sender_uid(request)));
}

void get_volume_watch_stub(mach_msg_header_t* request, mach_msg_header_t* reply) {
    if (!simple_request_ok(request)) {
        set_return_code(reply, MIG_BAD_ARGUMENTS);
        return;
    }
    const auto* req = reinterpret_cast<const get_volume_watch_request_t*>(request);
    auto* r = reinterpret_cast<volume_watch_reply_t*>(reply);
    set_return_code(reply, KERN_SUCCESS);
    r->head.msgh_size = sizeof(volume_watch_reply_t);
    implementation_get_volume_watch_rpc(req->device, &r->kind, r->reason);
}

// Answered later by the sync thread: the round sends nothing (the reply's remote port is 0).
void sync_volume_stub(mach_msg_header_t* request, mach_msg_header_t* reply) {
    if (!simple_request_ok(request)) {
        set_return_code(reply, MIG_BAD_ARGUMENTS);
        return;
    }
    const auto* req = reinterpret_cast<const sync_volume_request_t*>(request);
    bool deferred = false;
    kern_return_t rc = implementation_sync_volume_rpc(request->msgh_remote_port, req->device,
                                                      sender_uid(request), reply, &deferred);
    set_return_code(reply, rc);
    if (deferred) {
        reply->msgh_remote_port = MACH_PORT_NULL;
    }
}

stub_t subsystem_server_routine(const mach_msg_header_t* request);

const subsystem_descriptor vantles_subsystem = {
    subsystem_server_routine,
    VANTLES_MSG_FIRST,
    VANTLES_MSG_END,
    VANTLES_MAX_REPLY_SIZE,
    {
        {register_stub, 27, 0, sizeof(register_reply_t)},
        {flush_stub, 2, 0, sizeof(event_id_reply_t)},
        {get_volume_uuid_stub, 3, 0, sizeof(volume_uuid_reply_t)},
        {get_current_event_id_stub, 2, 0, sizeof(event_id_reply_t)},
        {get_event_id_for_time_stub, 5, 0, sizeof(event_id_reply_t)},
        {purge_events_stub, 7, 0, sizeof(purge_events_reply_t)},
        {unregister_stub, 1, 0, sizeof(error_reply_t)},
        {sync_volume_stub, 3, 0, sizeof(sync_volume_reply_t)},
        {get_volume_watch_stub, 3, 0, sizeof(volume_watch_reply_t)},
    },
};

stub_t subsystem_server_routine(const mach_msg_header_t* request) {
    // Unsigned, so ids below the first one wrap to large indexes.
    uint32_t index =
        static_cast<uint32_t>(request->msgh_id) - static_cast<uint32_t>(vantles_subsystem.first_id);
    if (index >= static_cast<uint32_t>(vantles_subsystem.end_id - vantles_subsystem.first_id)) {
        return nullptr;
    }
    return vantles_subsystem.routines[index].stub;
}

}  // namespace

bool subsystem_demux(mach_msg_header_t* request, mach_msg_header_t* reply) {
    reply->msgh_bits = request->msgh_bits & MACH_MSGH_BITS_REMOTE_MASK;
    reply->msgh_size = sizeof(error_reply_t);
    reply->msgh_remote_port = request->msgh_remote_port;
    reply->msgh_local_port = MACH_PORT_NULL;
    reply->msgh_voucher_port = MACH_PORT_NULL;
    // Any id may arrive; the sum is taken unsigned so it wraps instead of overflowing.
    reply->msgh_id = static_cast<mach_msg_id_t>(static_cast<uint32_t>(request->msgh_id) +
                                                VANTLES_MSG_REPLY_OFFSET);

    stub_t stub = vantles_subsystem.server_routine(request);
    if (stub == nullptr) {
        set_return_code(reply, MIG_BAD_ID);
        return false;
    }
    stub(request, reply);
    return true;
}
