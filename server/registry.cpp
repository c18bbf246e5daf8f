// The registry of registration records: creating a record, its excluded paths, looking it up
// by private port, unlinking it and dropping references.
//
// The list itself is touched only on the server thread. A record's last reference may be
// dropped on a delivery thread, so dealloc_client releases everything the record owns without
// touching the list (the record is always unlinked before its registry reference goes).
#include "server/registry.h"

#include "common/limits.h"
#include "common/log.h"
#include "common/thread_role.h"
#include "common/vantle_assert.h"
#include "platform/port.h"
#include "server/server.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

void free_excludes(clientp* client) {
    for (char*& exclude : client->excludes) {
        free(exclude);
        exclude = nullptr;
    }
    client->num_excludes = 0;
}

}  // namespace

clientp* alloc_client(mach_port_t d2f_port, mach_port_t f2d_private_port, uint32_t device,
                      uint32_t num_paths, const uint32_t* path_offsets, uint32_t paths_blob_size,
                      const char* paths_blob, uint64_t latency, uint32_t flags, uint64_t since_when,
                      int32_t pid, uint32_t uid, uint32_t gid) {
    auto* client = new (std::nothrow) clientp{};
    if (client == nullptr) {
        log_critical("%s: ERROR: clientp = malloc() failed", "alloc_client");
        return nullptr;
    }
    // The callers validated the offsets against the blob; sizes of 0 still get a block so
    // that a null result always means failure.
    client->paths_blob = static_cast<char*>(malloc(paths_blob_size ? paths_blob_size : 1));
    if (client->paths_blob == nullptr) {
        log_critical("%s: ERROR: clientp->paths_blob = malloc() failed", "alloc_client");
        delete client;
        return nullptr;
    }
    if (paths_blob_size != 0) {
        memcpy(client->paths_blob, paths_blob, paths_blob_size);
    }
    client->paths = static_cast<char**>(malloc(sizeof(char*) * (num_paths ? num_paths : 1)));
    if (client->paths == nullptr) {
        log_critical("%s: ERROR: clientp->paths = malloc() failed", "alloc_client");
        free(client->paths_blob);
        delete client;
        return nullptr;
    }
    for (uint32_t i = 0; i < num_paths; ++i) {
        client->paths[i] = client->paths_blob + path_offsets[i];
    }

    client->d2f_port = d2f_port;
    client->f2d_private_port = f2d_private_port;
    client->device = device;
    client->num_paths = num_paths;
    client->latency = latency;
    client->flags = flags;
    client->since_when = since_when;
    client->pid = pid;
    client->uid = uid;
    client->gid = gid;
    client->refcount.store(1);
    return client;
}

clientp* add_client(mach_port_t d2f_port, mach_port_t f2d_private_port, uint32_t device,
                    uint32_t num_paths, const uint32_t* path_offsets, uint32_t paths_blob_size,
                    const char* paths_blob, uint64_t latency, uint32_t flags, uint64_t since_when,
                    int32_t pid, uint32_t uid, uint32_t gid) {
    VANTLE_ASSERT_THREAD(THREAD_ROLE_SERVER);
    clientp* client =
        alloc_client(d2f_port, f2d_private_port, device, num_paths, path_offsets, paths_blob_size,
                     paths_blob, latency, flags, since_when, pid, uid, gid);
    if (client != nullptr) {
        client->next = server.client_registry;
        server.client_registry = client;
    }
    return client;
}

int set_client_excludes(clientp* client, int32_t count, const uint32_t* offsets, uint32_t blob_size,
                        const char* blob) {
    free_excludes(client);
    if (count > CLIENT_MAX_EXCLUDES) {
        return ENOSPC;
    }
    if (count < 0) {
        return EINVAL;
    }
    // Every exclusion must be at most 1024 bytes before its NUL, and the NUL must lie inside
    // the blob; nothing is copied unless all of them pass.
    for (int32_t i = 0; i < count; ++i) {
        if (offsets[i] >= blob_size) {
            return EINVAL;
        }
        size_t room = blob_size - offsets[i];
        size_t limit = room < PATH_BUFFER_SIZE + 1 ? room : PATH_BUFFER_SIZE + 1;
        size_t length = strnlen(blob + offsets[i], limit);
        if (length == room || length > PATH_BUFFER_SIZE) {
            return EINVAL;
        }
    }
    for (int32_t i = 0; i < count; ++i) {
        char buffer[PATH_BUFFER_SIZE];
        path_copy(buffer, blob + offsets[i], sizeof buffer);  // truncates to 1023 characters
        client->excludes[i] = strdup(buffer);
        if (client->excludes[i] == nullptr) {
            free_excludes(client);
            return ENOMEM;
        }
    }
    client->num_excludes = static_cast<uint32_t>(count);
    return 0;
}

clientp* get_client_with_matching_f2d_private_port(mach_port_t port) {
    VANTLE_ASSERT_THREAD(THREAD_ROLE_SERVER);
    for (clientp* client = server.client_registry; client != nullptr; client = client->next) {
        if (client->f2d_private_port == port) {
            return client;
        }
    }
    return nullptr;
}

void unlink_client(clientp* client) {
    VANTLE_ASSERT_THREAD(THREAD_ROLE_SERVER);
    for (clientp** link = &server.client_registry; *link != nullptr; link = &(*link)->next) {
        if (*link == client) {
            *link = client->next;
            client->next = nullptr;
            return;
        }
    }
    // Only a defect unlinks a record that was never added or is already gone.
    log_error("%s: ERROR: client not found", "unlink_client");
    vantle_assert_fail(__func__, "client in the registry");
}

void dealloc_client(clientp* client) {
    int32_t before = client->refcount.fetch_sub(1);
    if (before > 1) {
        return;
    }
    if (before < 1) {
        // An unbalanced release: only a defect gets here, and freeing the record a second
        // time would corrupt the heap. Reported, then the daemon stops.
        log_critical("dealloc_client: DANGER: clientp %p (%p) has refcount %d",
                     static_cast<void*>(client), static_cast<void*>(client->paths), before - 1);
        vantle_assert_fail(__func__, "refcount >= 1");
    }

    free(client->paths);
    client->paths = nullptr;
    free(client->paths_blob);
    client->paths_blob = nullptr;
    free_excludes(client);
    if (client->d2f_port != MACH_PORT_NULL) {
        kern_return_t rc = mach_port_deallocate(client->d2f_port);
        if (rc != KERN_SUCCESS) {
            log_error("%s: ERROR: mach_port_deallocate(clientp->d2f_port = 0x%x) => %s (%d)",
                      "dealloc_client", client->d2f_port, mach_error_string(rc), rc);
        }
    }
    if (client->f2d_private_port != MACH_PORT_NULL) {
        kern_return_t rc =
            mach_port_mod_refs(client->f2d_private_port, MACH_PORT_RIGHT_RECEIVE, -1);
        if (rc != KERN_SUCCESS) {
            log_error(
                "%s: ERROR: mach_port_mod_refs(clientp->f2d_private_port = 0x%x, "
                "MACH_PORT_RIGHT_RECEIVE, -1) => %s (%d)",
                "dealloc_client", client->f2d_private_port, mach_error_string(rc), rc);
        }
    }
    delete client;
}

void unlink_and_release_client(clientp* client) {
    unlink_client(client);
    dealloc_client(client);
}
