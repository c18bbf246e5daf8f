// Registration of a client stream (request 66000) and the server side of creating and
// removing its delivery side.
//
// Registration builds, in order: the private port (a receive right in server_port_set with a
// no-senders notice), the registry record, its excluded paths and the delivery side. A failed
// step undoes every earlier one, so nothing of a refused registration remains.
//
// The callback send right travels in the request and must be released exactly once. Until
// registration succeeds it stays the request's: when a step fails after add_client stored it
// in the record, the record forgets it before the record is released, and the server loop's
// destruction of the refused request closes it. On success the record owns it.
#include "clients/client_tables.h"
#include "server/callback.h"
#include "server/queries.h"
#include "server/registry.h"
#include "server/server.h"

#include "clients/client_info.h"
#include "clients/client_loop.h"
#include "clients/wakeup.h"
#include "common/limits.h"
#include "common/log.h"
#include "common/log_throttle.h"
#include "common/monotonic_clock.h"
#include "intake/event_ids.h"
#include "intake/producer.h"
#include "platform/mounts.h"
#include "platform/port.h"
#include "platform/volume_watch.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// The delivery thread's release of its reference to the registration, once it has ended.
void release_registration(void* ctx) {
    dealloc_client(static_cast<clientp*>(ctx));
}

// The request's string blobs come from the client. Besides the offset bounds, every string
// must end with a NUL inside its blob (so that nothing reading a path runs past the copy) and
// there must be at least one watched path (the first path is named in messages). A string
// at `offset` is terminated inside the blob exactly when the blob's last NUL lies at or
// after it, which keeps the check linear however many offsets point into the same bytes.
bool strings_terminated(const uint32_t* offsets, uint32_t count, const char* blob,
                        uint32_t blob_size) {
    if (count == 0) {
        return true;
    }
    if (offsets == nullptr || blob == nullptr || blob_size == 0) {
        return false;
    }
    const void* last_nul = memrchr(blob, '\0', blob_size);
    if (last_nul == nullptr) {
        return false;
    }
    uint32_t last = static_cast<uint32_t>(static_cast<const char*>(last_nul) - blob);
    for (uint32_t i = 0; i < count; ++i) {
        if (offsets[i] > last) {
            return false;
        }
    }
    return true;
}

// Watched paths are bounded like every other path of the daemon: the prefix table keeps their
// lengths in 16 bits, and the history-done notice and the state dump name the first one. A
// longer path would match as a shorter one, or reach those with more bytes than they take.
// The strings are known to be terminated inside the blob.
bool paths_within_limit(const uint32_t* offsets, uint32_t count, const char* blob,
                        uint32_t blob_size) {
    for (uint32_t i = 0; i < count; ++i) {
        size_t room = std::min<size_t>(blob_size - offsets[i], PATH_BUFFER_SIZE);
        if (strnlen(blob + offsets[i], room) > PATH_MAX_LENGTH) {
            return false;
        }
    }
    return true;
}

bool offsets_in_blob(const uint32_t* offsets, uint32_t count, uint32_t blob_size) {
    if (count != 0 && offsets == nullptr) {
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (offsets[i] > blob_size) {
            return false;
        }
    }
    return true;
}

bool register_arguments_ok(uint32_t num_paths, const uint32_t* path_offsets,
                           uint32_t path_offset_count, const char* paths_blob,
                           uint32_t paths_blob_size, uint32_t num_excludes,
                           const uint32_t* exclude_offsets, uint32_t exclude_offset_count,
                           const char* exclude_blob, uint32_t exclude_blob_size) {
    return num_paths == path_offset_count && num_excludes == exclude_offset_count &&
           num_paths != 0 && num_paths <= REGISTER_MAX_PATHS &&
           num_excludes <= REGISTER_MAX_EXCLUDES && paths_blob_size <= REGISTER_MAX_BLOB &&
           exclude_blob_size <= REGISTER_MAX_BLOB &&
           offsets_in_blob(path_offsets, num_paths, paths_blob_size) &&
           offsets_in_blob(exclude_offsets, num_excludes, exclude_blob_size) &&
           strings_terminated(path_offsets, num_paths, paths_blob, paths_blob_size) &&
           strings_terminated(exclude_offsets, num_excludes, exclude_blob, exclude_blob_size) &&
           paths_within_limit(path_offsets, num_paths, paths_blob, paths_blob_size);
}

void release_private_port(mach_port_t port) {
    mach_port_mod_refs(port, MACH_PORT_RIGHT_RECEIVE, -1);
}

// Undoes add_client for a registration that failed later on. The callback right goes back to
// the request (see the top of this file); releasing the record drops the private port.
void drop_failed_registration(clientp* client) {
    client->d2f_port = MACH_PORT_NULL;
    unlink_and_release_client(client);
}

}  // namespace

kern_return_t implementation_register_rpc(
    mach_port_t /*local_port*/, mach_port_t callback_port, uint32_t device, uint32_t num_paths,
    const uint32_t* path_offsets, uint32_t path_offset_count, const char* paths_blob,
    uint32_t paths_blob_size, uint32_t num_excludes, const uint32_t* exclude_offsets,
    uint32_t exclude_offset_count, const char* exclude_blob, uint32_t exclude_blob_size,
    uint64_t latency, uint32_t create_flags, uint64_t since_when, mach_port_t* private_port,
    const uint32_t audit_token[8]) {
    static const char* const FN = "implementation_register_rpc";
    *private_port = MACH_PORT_NULL;

    audit_token_t token;
    memcpy(token.val, audit_token, sizeof token.val);
    uint32_t auid = 0, euid = 0, egid = 0, ruid = 0, rgid = 0, asid = 0, pidversion = 0;
    int32_t pid = 0;
    audit_token_to_au32(token, &auid, &euid, &egid, &ruid, &rgid, &pid, &asid, &pidversion);

    if (!register_arguments_ok(num_paths, path_offsets, path_offset_count, paths_blob,
                               paths_blob_size, num_excludes, exclude_offsets, exclude_offset_count,
                               exclude_blob, exclude_blob_size)) {
        return VANTLES_REGISTER_BAD_ARGS;
    }
    // Keeping "the highest id seen" is how clients resume: one id from the future would hide
    // every change up to it from every later resume.
    if (uint64_t current = 0; since_when != VANTLES_SINCE_NOW &&
                              get_current_event_id(&current) && since_when > current) {
        return VANTLES_REGISTER_FUTURE_ID;
    }

    mach_port_t port = MACH_PORT_NULL;
    kern_return_t rc = mach_port_allocate(MACH_PORT_RIGHT_RECEIVE, &port);
    if (rc != KERN_SUCCESS) {
        log_critical("%s: ERROR: mach_port_allocate() => %s (%d)", FN, mach_error_string(rc), rc);
        return rc;
    }
    rc = mach_port_request_notification_no_senders(port);
    if (rc != KERN_SUCCESS) {
        log_critical("%s: ERROR: mach_port_request_notification() => %s (%d)", FN,
                     mach_error_string(rc), rc);
        release_private_port(port);
        return rc;
    }
    rc = mach_port_move_member(port, server.server_port_set);
    if (rc != KERN_SUCCESS) {
        log_critical(
            "%s: ERROR: mach_port_move_member(f2d_private_port -> server_port_set) => "
            "%s (%d)",
            FN, mach_error_string(rc), rc);
        release_private_port(port);
        return rc;
    }

    clientp* client =
        add_client(callback_port, port, device, num_paths, path_offsets, paths_blob_size,
                   paths_blob, latency, create_flags, since_when, pid, euid, egid);
    if (client == nullptr) {
        log_critical("%s: clientp = add_client() => NULL", FN);
        release_private_port(port);
        return VANTLES_REGISTER_NO_MEMORY;
    }
    if (set_client_excludes(client, static_cast<int32_t>(num_excludes), exclude_offsets,
                            exclude_blob_size, exclude_blob) != 0) {
        drop_failed_registration(client);
        return VANTLES_REGISTER_BAD_ARGS;
    }
    int n = implementation_added_client(client);
    if (n != 0) {
        if (log_throttle_due(&server.refused_registration_logs, euid, monotonic_ms())) {
            log_error("%s: failed to add client for uid %u, path %s (error %d)", FN, euid,
                      client->paths[0], n);
        }
        drop_failed_registration(client);
        return VANTLES_REGISTER_NO_CLIENT;
    }

    *private_port = port;
    return KERN_SUCCESS;
}

namespace {

// Delivery flags of a registration's create flags; other create bits are stored only.
uint32_t delivery_flags(uint32_t create_flags) {
    uint32_t flags = 0;
    if (create_flags & VANTLES_CREATE_NO_DEFER) {
        flags |= CLIENT_NO_DEFER;
    }
    if (create_flags & VANTLES_CREATE_IGNORE_SELF) {
        flags |= CLIENT_IGNORE_SELF;
    }
    if (create_flags & VANTLES_CREATE_FILE_EVENTS) {
        flags |= CLIENT_FILE_EVENTS;
    }
    if (create_flags & VANTLES_CREATE_MARK_SELF) {
        flags |= CLIENT_MARK_SELF;
    }
    return flags;
}

// A path on a volume the kernel device cannot watch as a whole is watched directory by
// directory from now on. One that cannot be watched that way either (relative to a volume, or a
// device that offers no such watches) gets no event, ever: the stream starts with a dropped
// notice, so that no program waits for events that cannot come.
void watch_unwatched_paths(const clientp* client, client_info* fci) {
    bool blind = false;
    for (uint32_t i = 0; i < client->num_paths; i++) {
        uint32_t dev = client->device ? client->device : mount_device_of(client->paths[i]);
        volume_watch_kind kind = dev ? volume_watch_of(dev).kind : VOLUME_WATCH_UNKNOWN;
        if (kind != VOLUME_WATCH_NONE && kind != VOLUME_WATCH_DIRS) {
            continue;
        }
        if (client->device == 0 && intake_watch_directory(client->paths[i], dev, true) == 0) {
            fci->flags.fetch_or(CLIENT_DIR_WATCHES, std::memory_order_acq_rel);
        } else {
            blind = true;
        }
    }
    if (blind) {
        client_note_dropped(fci, std::max<uint64_t>(current_event_id(), 1));
    }
}

}  // namespace

int implementation_added_client(clientp* client) {
    static const char* const FN = "implementation_added_client";
    if (!wait_for_startup()) {
        return EINVAL;
    }
    uint32_t flags = delivery_flags(client->flags);
    if (flags & CLIENT_MARK_SELF) {
        marked_pids_add(client->pid);
    }
    client_info* fci = nullptr;
    int err = create_client_info(static_cast<uint32_t>(client->pid), client->device, client->paths,
                                 static_cast<int32_t>(client->num_paths), client->excludes,
                                 static_cast<int32_t>(client->num_excludes), client->latency,
                                 client_backlog_registered(), client->since_when, flags,
                                 callback_client, client, client->uid, client->gid, &fci);
    if (err != 0) {
        if (flags & CLIENT_MARK_SELF) {
            marked_pids_remove(client->pid);
        }
        return err;
    }
    watch_unwatched_paths(client, fci);
    clients.num_clients.fetch_add(1, std::memory_order_acq_rel);
    client->refcount.fetch_add(1, std::memory_order_acq_rel);  // the delivery thread's
    fci->release = release_registration;  // read by the thread, which starts after this
    fci->callback_now = callback_client_now;  // used only once the thread has started the client
    err = start_client_thread(fci);
    if (err != 0) {
        // The record is reachable already; a thread that cannot start is a client that went
        // away at once. The next wake-up tries again with a new thread.
        log_error("%s: ERROR: pthread_create() => %d", FN, err);
        pthread_mutex_lock(&fci->lock);
        fci->flags.fetch_or(CLIENT_THREAD_EXITED, std::memory_order_acq_rel);
        pthread_mutex_unlock(&fci->lock);
    }
    return 0;
}

void implementation_removed_client(clientp* client) {
    if (!wait_for_startup()) {
        return;
    }
    // As a walker, not under clients_lock: delivery threads hold that lock while they take
    // clients with many paths out of the tables, and the server thread must not wait for them.
    // A client being torn down waits for the walkers before it frees its record.
    clients.client_map_walkers.fetch_add(1, std::memory_order_seq_cst);
    client_info* fci = nullptr;
    for (auto& slot : clients.client_table) {
        client_info* candidate = slot.load(std::memory_order_acquire);
        if (candidate != nullptr && candidate->callback_ctx == client) {
            fci = candidate;
            break;
        }
    }
    if (fci != nullptr) {
        pthread_mutex_lock(&fci->lock);
        fci->flags.fetch_or(CLIENT_GOING_AWAY, std::memory_order_acq_rel);
        pthread_mutex_unlock(&fci->lock);
        client_wakeup(fci);
    }
    clients.client_map_walkers.fetch_sub(1, std::memory_order_seq_cst);
    // A client whose delivery thread ended it (its callback port gone) is found no more.
    if (fci == nullptr && log_throttle_due(&server.gone_client_logs, client->uid, monotonic_ms())) {
        log_error("%s: did not find client %p for path = '%s' (uid %u)",
                  "implementation_removed_client", static_cast<void*>(client),
                  client->num_paths != 0 ? client->paths[0] : "", client->uid);
    }
}
