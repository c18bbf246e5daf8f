// The requests of the public client interface. Each call lays its request out as in
// server/messages.h, sends it with mach_msg_rpc and checks that the reply is the routine's:
// reply id = request id + 100, and either the routine's successful reply or the 36-byte error
// reply with a non-zero code. Anything else is destroyed and reported as VANTLES_ERR_BAD_REPLY.
#include "vantles/client.h"

#include "platform/messages.h"
#include "platform/port.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

static_assert(VANTLES_FLAG_NO_DEFER == VANTLES_CREATE_NO_DEFER);
static_assert(VANTLES_FLAG_IGNORE_SELF == VANTLES_CREATE_IGNORE_SELF);
static_assert(VANTLES_FLAG_FILE_EVENTS == VANTLES_CREATE_FILE_EVENTS);
static_assert(VANTLES_FLAG_MARK_SELF == VANTLES_CREATE_MARK_SELF);
static_assert(VANTLES_ERR_NO_MEMORY == VANTLES_REGISTER_NO_MEMORY);
static_assert(VANTLES_ERR_NO_CLIENT == VANTLES_REGISTER_NO_CLIENT);
static_assert(VANTLES_ERR_BAD_ARGS == VANTLES_REGISTER_BAD_ARGS);
static_assert(VANTLES_NO_HISTORY == VANTLES_PURGE_NO_HISTORY);
static_assert(VANTLES_ERR_REFUSED == KERN_FAILURE);
static_assert(VANTLES_EVENT_ID_NOW == VANTLES_SINCE_NOW);
static_assert(VANTLES_UUID_TEXT_LENGTH == VANTLES_UUID_TEXT_SIZE);
static_assert(VANTLES_ERR_SYNC_TIMED_OUT == VANTLES_SYNC_TIMED_OUT);
static_assert(VANTLES_ERR_SYNC_BUSY == VANTLES_SYNC_BUSY);
static_assert(VANTLES_WATCH_REASON_LENGTH + 1 == VANTLES_WATCH_REASON_SIZE);

namespace {

// Header bits of every request: the reply goes back on the port the request was sent on.
constexpr mach_msg_bits_t CLIENT_REQUEST_BITS = MACH_MSG_TYPE_COPY_SEND;

// Room for the largest reply and its trailer.
union reply_buffer {
    mach_msg_header_t head;
    uint8_t bytes[VANTLES_MAX_REPLY_SIZE + MACH_MSG_TRAILER_AUDIT_SIZE + 64];
};

// Watched or excluded paths as the request carries them: one offset per path into a blob of
// NUL-terminated strings.
struct packed_paths {
    std::vector<uint32_t> offsets;
    std::vector<char> blob;
};

bool is_send_error(kern_return_t code) {
    return code >= 0x10000000 && code < 0x10004000;
}

void set_header(mach_msg_header_t* head, mach_port_t port, mach_msg_size_t size, mach_msg_id_t id) {
    head->msgh_bits = CLIENT_REQUEST_BITS;
    head->msgh_size = size;
    head->msgh_remote_port = port;
    head->msgh_local_port = MACH_PORT_NULL;
    head->msgh_voucher_port = MACH_PORT_NULL;
    head->msgh_id = id;
}

void set_region(mach_msg_ool_descriptor_t* desc, const void* data, size_t size) {
    desc->address = size ? reinterpret_cast<uintptr_t>(data) : 0;
    desc->deallocate = 0;
    desc->copy = MACH_MSG_VIRTUAL_COPY;
    desc->pad1 = 0;
    desc->type = MACH_MSG_OOL_DESCRIPTOR;
    desc->size = static_cast<uint32_t>(size);
}

int pack_paths(std::span<const char* const> paths, packed_paths* out) {
    size_t total = 0;
    for (const char* path : paths) {
        if (path == nullptr)
            return EINVAL;
        size_t size = strlen(path) + 1;
        if (total + size > PORT_MAX_OOL_TOTAL)
            return E2BIG;
        out->offsets.push_back(static_cast<uint32_t>(total));
        total += size;
    }
    out->blob.reserve(total);
    for (const char* path : paths)
        out->blob.insert(out->blob.end(), path, path + strlen(path) + 1);
    return 0;
}

// Checks a simple reply against its request: 0 for the successful reply of success_size
// bytes, the daemon's code for an error reply, else VANTLES_ERR_BAD_REPLY.
int check_simple_reply(const mach_msg_header_t* reply, mach_msg_id_t request_id,
                       mach_msg_size_t success_size) {
    if (reply->msgh_id != request_id + VANTLES_MSG_REPLY_OFFSET ||
        (reply->msgh_bits & MACH_MSGH_BITS_COMPLEX) != 0 ||
        reply->msgh_size < sizeof(error_reply_t))
        return VANTLES_ERR_BAD_REPLY;
    kern_return_t code = reinterpret_cast<const error_reply_t*>(reply)->ret_code;
    if (reply->msgh_size == sizeof(error_reply_t) && code != 0)
        return code;
    if (reply->msgh_size == success_size && code == 0)
        return 0;
    return VANTLES_ERR_BAD_REPLY;
}

// Sends a simple request (its body already filled) on port and checks the reply, which stays
// in *reply for the caller to read when the result is 0.
int simple_call(mach_port_t port, uint32_t timeout_ms, mach_msg_header_t* request,
                mach_msg_size_t size, mach_msg_id_t id, reply_buffer* reply,
                mach_msg_size_t success_size) {
    if (port == MACH_PORT_NULL)
        return EBADF;
    set_header(request, port, size, id);
    kern_return_t kr = mach_msg_rpc(request, &reply->head, sizeof reply->bytes, timeout_ms);
    if (kr != KERN_SUCCESS)
        return kr;
    int result = check_simple_reply(&reply->head, id, success_size);
    mach_msg_destroy(&reply->head);  // a simple reply carries nothing; a stray one might
    return result;
}

// Whether a call failed because the daemon had closed the connection before it read the
// request (idle connections are closed; a request read is always answered).
bool closed_by_daemon(kern_return_t kr) {
    return kr == MACH_SEND_INVALID_DEST || kr == MACH_RCV_PORT_DIED;
}

// Replaces a connection the daemon closed by a new one to the same path.
int reconnect(const vantles_connection* conn) {
    mach_port_t port = MACH_PORT_NULL;
    int err = port_connect(conn->path.empty() ? nullptr : conn->path.c_str(), &port);
    if (err != 0)
        return err;
    mach_port_deallocate(std::exchange(conn->port, port));
    return 0;
}

// simple_call on a connection, repeated once on a new connection when the daemon had closed
// the old one.
int connection_call(const vantles_connection* conn, mach_msg_header_t* request,
                    mach_msg_size_t size, mach_msg_id_t id, reply_buffer* reply,
                    mach_msg_size_t success_size) {
    int result = simple_call(conn->port, conn->timeout_ms, request, size, id, reply, success_size);
    if (conn->port != MACH_PORT_NULL && closed_by_daemon(result) && reconnect(conn) == 0)
        result = simple_call(conn->port, conn->timeout_ms, request, size, id, reply, success_size);
    return result;
}

// Takes the private port out of a register reply: 0, the daemon's code, or
// VANTLES_ERR_BAD_REPLY. The reply is destroyed.
int take_register_reply(mach_msg_header_t* reply, mach_port_t* private_port) {
    int result = VANTLES_ERR_BAD_REPLY;
    if (reply->msgh_id == VANTLES_MSG_REGISTER + VANTLES_MSG_REPLY_OFFSET) {
        if ((reply->msgh_bits & MACH_MSGH_BITS_COMPLEX) != 0) {
            auto* ok = reinterpret_cast<register_reply_t*>(reply);
            if (reply->msgh_size == sizeof(register_reply_t) &&
                ok->body.msgh_descriptor_count == 1 &&
                ok->private_port.type == MACH_MSG_PORT_DESCRIPTOR &&
                ok->private_port.name != MACH_PORT_NULL) {
                *private_port = ok->private_port.name;
                ok->private_port.name = MACH_PORT_NULL;  // now ours, not the message's
                result = 0;
            }
        } else if (reply->msgh_size == sizeof(error_reply_t)) {
            kern_return_t code = reinterpret_cast<const error_reply_t*>(reply)->ret_code;
            if (code != 0)
                result = code;
        }
    }
    mach_msg_destroy(reply);
    return result;
}

}  // namespace

vantles_connection::vantles_connection(vantles_connection&& other) noexcept
    : port(std::exchange(other.port, 0)),
      timeout_ms(other.timeout_ms),
      path(std::move(other.path)) {}

vantles_connection& vantles_connection::operator=(vantles_connection&& other) noexcept {
    if (this != &other) {
        vantles_close(this);
        port = std::exchange(other.port, 0);
        timeout_ms = other.timeout_ms;
        path = std::move(other.path);
    }
    return *this;
}

vantles_connection::~vantles_connection() {
    vantles_close(this);
}

vantles_registration::vantles_registration(vantles_registration&& other) noexcept
    : private_port(std::exchange(other.private_port, 0)),
      event_port(std::exchange(other.event_port, 0)),
      timeout_ms(other.timeout_ms) {}

vantles_registration& vantles_registration::operator=(vantles_registration&& other) noexcept {
    if (this != &other) {
        vantles_release(this);
        private_port = std::exchange(other.private_port, 0);
        event_port = std::exchange(other.event_port, 0);
        timeout_ms = other.timeout_ms;
    }
    return *this;
}

vantles_registration::~vantles_registration() {
    vantles_release(this);
}

int vantles_connect(const char* path, vantles_connection* out) {
    vantles_close(out);
    mach_port_t port = MACH_PORT_NULL;
    int err = port_connect(path, &port);
    if (err != 0)
        return err;
    out->port = port;
    out->path = path != nullptr ? path : "";
    return 0;
}

void vantles_close(vantles_connection* conn) {
    if (conn->port != MACH_PORT_NULL)
        mach_port_deallocate(std::exchange(conn->port, MACH_PORT_NULL));
}

void vantles_release(vantles_registration* reg) {
    if (reg->private_port != MACH_PORT_NULL)
        mach_port_deallocate(std::exchange(reg->private_port, MACH_PORT_NULL));
    if (reg->event_port != MACH_PORT_NULL)
        close(static_cast<int>(std::exchange(reg->event_port, MACH_PORT_NULL)));
}

namespace {

// One register request with a new event port pair: 0 (out filled) or the call's result.
int register_once(const vantles_connection* conn, const vantles_register_args& args,
                  const packed_paths& paths, const packed_paths& excludes,
                  vantles_registration* out) {
    mach_port_t event_port = MACH_PORT_NULL, callback = MACH_PORT_NULL;
    int err = port_make_pair(&event_port, &callback);
    if (err != 0)
        return err;

    register_request_t req = {};
    set_header(&req.head, conn->port, sizeof req, VANTLES_MSG_REGISTER);
    req.head.msgh_bits |= MACH_MSGH_BITS_COMPLEX;
    req.body.msgh_descriptor_count = 5;
    req.callback.name = callback;
    req.callback.disposition = MACH_MSG_TYPE_MOVE_SEND;
    req.callback.type = MACH_MSG_PORT_DESCRIPTOR;
    set_region(&req.path_offsets, paths.offsets.data(), paths.offsets.size() * 4);
    set_region(&req.paths, paths.blob.data(), paths.blob.size());
    set_region(&req.exclude_offsets, excludes.offsets.data(), excludes.offsets.size() * 4);
    set_region(&req.excludes, excludes.blob.data(), excludes.blob.size());
    req.NDR = NDR_record;
    req.device = args.device;
    req.num_paths = static_cast<uint32_t>(paths.offsets.size());
    req.path_offset_count = req.num_paths;
    req.paths_blob_size = static_cast<uint32_t>(paths.blob.size());
    req.num_excludes = static_cast<uint32_t>(excludes.offsets.size());
    req.exclude_offset_count = req.num_excludes;
    req.exclude_blob_size = static_cast<uint32_t>(excludes.blob.size());
    req.latency = args.latency_us;
    req.create_flags = args.create_flags;
    req.since_when = args.since_when;

    reply_buffer reply;
    kern_return_t kr = mach_msg_rpc(&req.head, &reply.head, sizeof reply.bytes, conn->timeout_ms);
    if (is_send_error(kr))
        mach_port_deallocate(callback);  // a failed send moves nothing
    mach_port_t private_port = MACH_PORT_NULL;
    if (kr == KERN_SUCCESS)
        kr = take_register_reply(&reply.head, &private_port);
    if (kr != KERN_SUCCESS) {
        close(static_cast<int>(event_port));
        return kr;
    }
    out->private_port = private_port;
    out->event_port = event_port;
    out->timeout_ms = conn->timeout_ms;
    return 0;
}

}  // namespace

int vantles_register(const vantles_connection* conn, const vantles_register_args& args,
                     vantles_registration* out) {
    vantles_release(out);
    if (conn->port == MACH_PORT_NULL)
        return EBADF;
    packed_paths paths, excludes;
    int err = pack_paths(args.paths, &paths);
    if (err == 0)
        err = pack_paths(args.excludes, &excludes);
    if (err != 0)
        return err;
    err = register_once(conn, args, paths, excludes, out);
    if (closed_by_daemon(err) && reconnect(conn) == 0)
        err = register_once(conn, args, paths, excludes, out);
    return err;
}

int vantles_flush(const vantles_registration* reg, uint64_t* event_id) {
    simple_request_t req = {};
    reply_buffer reply;
    int result = simple_call(reg->private_port, reg->timeout_ms, &req.head, sizeof req,
                             VANTLES_MSG_FLUSH, &reply, sizeof(event_id_reply_t));
    if (result == 0)
        *event_id = reinterpret_cast<const event_id_reply_t*>(&reply)->event_id;
    return result;
}

int vantles_unregister(vantles_registration* reg) {
    simple_request_t req = {};
    reply_buffer reply;
    int result = simple_call(reg->private_port, reg->timeout_ms, &req.head, sizeof req,
                             VANTLES_MSG_UNREGISTER, &reply, sizeof(error_reply_t));
    vantles_release(reg);
    return result;
}

int vantles_get_volume_uuid(const vantles_connection* conn, uint32_t device,
                            char text[VANTLES_UUID_TEXT_LENGTH + 1]) {
    get_volume_uuid_request_t req = {};
    req.NDR = NDR_record;
    req.device = device;
    reply_buffer reply;
    int result = connection_call(conn, &req.head, sizeof req, VANTLES_MSG_GET_VOLUME_UUID, &reply,
                                 sizeof(volume_uuid_reply_t));
    if (result == 0) {
        memcpy(text, reinterpret_cast<const volume_uuid_reply_t*>(&reply)->uuid,
               VANTLES_UUID_TEXT_LENGTH);
        text[VANTLES_UUID_TEXT_LENGTH] = '\0';
    }
    return result;
}

int vantles_sync_volume(const vantles_connection* conn, uint32_t device, uint64_t* event_id,
                        char text[VANTLES_UUID_TEXT_LENGTH + 1]) {
    sync_volume_request_t req = {};
    req.NDR = NDR_record;
    req.device = device;
    reply_buffer reply;
    int result = connection_call(conn, &req.head, sizeof req, VANTLES_MSG_SYNC_VOLUME, &reply,
                                 sizeof(sync_volume_reply_t));
    if (result == 0) {
        const auto* r = reinterpret_cast<const sync_volume_reply_t*>(&reply);
        *event_id = r->event_id;
        memcpy(text, r->uuid, VANTLES_UUID_TEXT_LENGTH);
        text[VANTLES_UUID_TEXT_LENGTH] = '\0';
    }
    return result;
}

int vantles_get_volume_watch(const vantles_connection* conn, uint32_t device, uint32_t* kind,
                             char reason[VANTLES_WATCH_REASON_LENGTH + 1]) {
    get_volume_watch_request_t req = {};
    req.NDR = NDR_record;
    req.device = device;
    reply_buffer reply;
    int result = connection_call(conn, &req.head, sizeof req, VANTLES_MSG_GET_VOLUME_WATCH, &reply,
                                 sizeof(volume_watch_reply_t));
    if (result == 0) {
        const auto* r = reinterpret_cast<const volume_watch_reply_t*>(&reply);
        *kind = r->kind;
        memcpy(reason, r->reason, VANTLES_WATCH_REASON_LENGTH);
        reason[VANTLES_WATCH_REASON_LENGTH] = '\0';
    }
    return result;
}

int vantles_get_current_event_id(const vantles_connection* conn, uint64_t* event_id) {
    simple_request_t req = {};
    reply_buffer reply;
    int result = connection_call(conn, &req.head, sizeof req, VANTLES_MSG_GET_CURRENT_EVENT_ID,
                                 &reply, sizeof(event_id_reply_t));
    if (result == 0)
        *event_id = reinterpret_cast<const event_id_reply_t*>(&reply)->event_id;
    return result;
}

int vantles_get_event_id_for_time(const vantles_connection* conn, uint32_t device, int64_t time,
                                  uint64_t* event_id) {
    get_event_id_for_time_request_t req = {};
    req.NDR = NDR_record;
    req.device = device;
    req.time = time;
    reply_buffer reply;
    int result = connection_call(conn, &req.head, sizeof req, VANTLES_MSG_GET_EVENT_ID_FOR_TIME,
                                 &reply, sizeof(event_id_reply_t));
    if (result == 0)
        *event_id = reinterpret_cast<const event_id_reply_t*>(&reply)->event_id;
    return result;
}

int vantles_purge_events(const vantles_connection* conn, uint32_t device, uint64_t event_id,
                         uint32_t* result) {
    purge_events_request_t req = {};
    req.NDR = NDR_record;
    req.device = device;
    req.event_id = event_id;
    reply_buffer reply;
    int code = connection_call(conn, &req.head, sizeof req, VANTLES_MSG_PURGE_EVENTS, &reply,
                               sizeof(purge_events_reply_t));
    if (code == 0)
        *result = reinterpret_cast<const purge_events_reply_t*>(&reply)->result;
    return code;
}
