// Delivery of event batches to registered clients as message 67000 (see callback.h).
//
// The transport copies the out-of-line regions into the datagram (or a sealed memfd) during
// the send, so the regions live only for one call and a failed send leaves them ours.
#include "server/callback.h"

#include "clients/client_loop.h"
#include "clients/client_tables.h"
#include "common/log.h"
#include "platform/messages.h"
#include "platform/port.h"
#include "server/registry.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Longest path a batch carries, NUL included.
constexpr size_t CALLBACK_PATH_BOUND = 1024;

void set_region(mach_msg_ool_descriptor_t* desc, const void* data, uint32_t size) {
    desc->address = reinterpret_cast<uintptr_t>(data);
    desc->deallocate = 0;
    desc->copy = MACH_MSG_VIRTUAL_COPY;
    desc->pad1 = 0;
    desc->type = MACH_MSG_OOL_DESCRIPTOR;
    desc->size = size;
}

// The send's result as the delivery side's 0-or-errno.
int32_t send_result_errno(kern_return_t r) {
    switch (r) {
        case KERN_SUCCESS:
            return 0;
        case MACH_SEND_INVALID_DEST:
            return EPIPE;
        case MACH_SEND_TIMED_OUT:
            return ETIMEDOUT;
        case MACH_SEND_NO_BUFFER:
            return ENOBUFS;
        default:
            return EIO;
    }
}

}  // namespace

kern_return_t send_events_message(mach_port_t port, mach_msg_timeout_t timeout_ms,
                                  uint32_t num_events, const uint32_t* offsets,
                                  uint32_t offset_count, const uint32_t* flags, uint32_t flag_count,
                                  const uint64_t* ids, uint32_t id_count, const char* paths_blob,
                                  uint32_t paths_blob_size) {
    events_message_t msg{};
    msg.head.msgh_bits = MACH_MSGH_BITS_COMPLEX | MACH_MSG_TYPE_COPY_SEND;
    msg.head.msgh_size = sizeof msg;
    msg.head.msgh_remote_port = port;
    msg.head.msgh_id = VANTLES_MSG_EVENTS;
    msg.body.msgh_descriptor_count = 4;
    set_region(&msg.path_offsets, offsets, offset_count * 4);
    set_region(&msg.flags, flags, flag_count * 4);
    set_region(&msg.ids, ids, id_count * 8);
    set_region(&msg.paths, paths_blob, paths_blob_size);
    msg.NDR = NDR_record;
    msg.num_events = num_events;
    msg.offset_count = offset_count;
    msg.flag_count = flag_count;
    msg.id_count = id_count;
    msg.paths_blob_size = paths_blob_size;
    return mach_msg_send(&msg.head, timeout_ms);
}

namespace {

// Both callbacks: timeout_ms 0 tries the send once and never pauses.
int32_t send_batch(void* ctx, int32_t count, const int32_t* lengths, const char* const* paths,
                   const uint32_t* flags, const uint64_t* ids, mach_msg_timeout_t timeout_ms) {
    static const char* const FN = "callback_client";
    auto* client = static_cast<clientp*>(ctx);
    if (client == nullptr) {
        log_error("%s: ERROR: clientp == NULL", FN);
        return EFAULT;
    }
    uint32_t n = count > 0 ? static_cast<uint32_t>(count) : 0;
    auto* offsets = static_cast<uint32_t*>(malloc(n * 4 + 4));
    if (offsets == nullptr) {
        log_critical("%s: ERROR: vm_allocate of array_of_path_offsets failed: %s (%d)", FN,
                     mach_error_string(KERN_RESOURCE_SHORTAGE), KERN_RESOURCE_SHORTAGE);
        return ENOMEM;
    }
    uint32_t blob_size = 0;
    for (uint32_t i = 0; i < n; i++) {
        blob_size += static_cast<uint32_t>(lengths[i]);
    }
    // Zeroed: a path cut at CALLBACK_PATH_BOUND leaves the rest of its length unwritten, and
    // no byte of the daemon's heap may reach a client.
    auto* blob = static_cast<char*>(calloc(blob_size + 1, 1));
    if (blob == nullptr) {
        log_critical("%s: ERROR: vm_allocate of paths_blob failed: %s (%d)", FN,
                     mach_error_string(KERN_RESOURCE_SHORTAGE), KERN_RESOURCE_SHORTAGE);
        free(offsets);
        return ENOMEM;
    }
    uint32_t j = 0;
    for (uint32_t i = 0; i < n; i++) {
        offsets[i] = j;
        // Bounded by the path's own length as well, so a wrong length cannot overrun the blob.
        size_t room = std::min<size_t>(CALLBACK_PATH_BOUND, blob_size - std::min(j, blob_size));
        if (room > 0) {
            size_t len = strnlen(paths[i], room - 1);
            memcpy(blob + j, paths[i], len);
            blob[j + len] = '\0';
        }
        j += static_cast<uint32_t>(lengths[i]);
    }
    if (j != blob_size) {
        log_error("%s: ERROR: npaths=%d j=%d paths_blob_size=%d i=%d", FN, count, (int)j,
                  (int)blob_size, count);
        log_error("vantlesd: %s(): failed assertion '%s'\n", FN, "j == paths_blob_size");
    }

    kern_return_t r = send_events_message(client->d2f_port, timeout_ms, n, offsets, n, flags, n,
                                          ids, n, blob, blob_size);
    // A dead client (INVALID_DEST) is not paused for, nor a send that was not to wait.
    if (r == MACH_SEND_TIMED_OUT && timeout_ms != 0) {
        clients.num_usleeps.fetch_add(1, std::memory_order_relaxed);
        usleep(CALLBACK_BACKOFF_US);
    }
    free(blob);
    free(offsets);
    return send_result_errno(r);
}

}  // namespace

int32_t callback_client(void* ctx, int32_t count, const int32_t* lengths, const char* const* paths,
                        const uint32_t* flags, const uint32_t* /*devices*/, const uint64_t* ids) {
    return send_batch(ctx, count, lengths, paths, flags, ids, CALLBACK_SEND_TIMEOUT_MS);
}

int32_t callback_client_now(void* ctx, int32_t count, const int32_t* lengths,
                            const char* const* paths, const uint32_t* flags,
                            const uint32_t* /*devices*/, const uint64_t* ids) {
    return send_batch(ctx, count, lengths, paths, flags, ids, 0);
}
