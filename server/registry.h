// The registry of registered client streams (`clientp` records) and the registration and
// removal flows behind requests 66000 and 66006 and the no-senders notice.
//
// The list is touched only on the server thread. A record's refcount is atomic because its
// last release usually happens on the client's delivery thread: the registry holds one
// reference while the record is listed, the delivery thread one while it runs. The record
// owns paths, paths_blob, every excludes string, the d2f_port send right and the
// f2d_private_port receive right, and releases all of them with its last reference.
#pragma once

#include "clients/marked_pids.h"
#include "platform/mach_msg.h"

#include <atomic>
#include <cstdint>

constexpr int CLIENT_MAX_EXCLUDES = 8;
constexpr uint32_t REGISTER_MAX_PATHS = 4096;
constexpr uint32_t REGISTER_MAX_EXCLUDES = 0x400000;
constexpr uint32_t REGISTER_MAX_BLOB = 0x400000;

struct clientp {
    mach_port_t d2f_port;          // send right: event messages go here
    mach_port_t f2d_private_port;  // receive right in server_port_set
    uint32_t device;               // 0, or the device the paths are relative to
    uint32_t num_paths;
    char** paths;                         // num_paths pointers into paths_blob
    char* paths_blob;                     // private copy of the request's blob
    uint32_t num_excludes;                // 0..8
    char* excludes[CLIENT_MAX_EXCLUDES];  // separate copies, at most 1023 characters
    uint64_t latency;                     // microseconds
    uint32_t flags;                       // create flags of the request
    uint64_t since_when;
    int32_t pid;
    uint32_t uid;  // effective ids from the audit token
    uint32_t gid;
    std::atomic<int32_t> refcount;
    clientp* next;  // registry list, newest first
};

kern_return_t implementation_register_rpc(mach_port_t local_port, mach_port_t callback_port,
                                          uint32_t device, uint32_t num_paths,
                                          const uint32_t* path_offsets, uint32_t path_offset_count,
                                          const char* paths_blob, uint32_t paths_blob_size,
                                          uint32_t num_excludes, const uint32_t* exclude_offsets,
                                          uint32_t exclude_offset_count, const char* exclude_blob,
                                          uint32_t exclude_blob_size, uint64_t latency,
                                          uint32_t create_flags, uint64_t since_when,
                                          mach_port_t* private_port, const uint32_t audit_token[8]);

clientp* alloc_client(mach_port_t d2f_port, mach_port_t f2d_private_port, uint32_t device,
                      uint32_t num_paths, const uint32_t* path_offsets, uint32_t paths_blob_size,
                      const char* paths_blob, uint64_t latency, uint32_t flags, uint64_t since_when,
                      int32_t pid, uint32_t uid, uint32_t gid);
clientp* add_client(mach_port_t d2f_port, mach_port_t f2d_private_port, uint32_t device,
                    uint32_t num_paths, const uint32_t* path_offsets, uint32_t paths_blob_size,
                    const char* paths_blob, uint64_t latency, uint32_t flags, uint64_t since_when,
                    int32_t pid, uint32_t uid, uint32_t gid);
int set_client_excludes(clientp* client, int32_t count, const uint32_t* offsets, uint32_t blob_size,
                        const char* blob);
int implementation_added_client(clientp* client);
void implementation_removed_client(clientp* client);
clientp* get_client_with_matching_f2d_private_port(mach_port_t port);
void unlink_client(clientp* client);
void dealloc_client(clientp* client);
// unlink_client then dealloc_client: every removal on the server thread.
void unlink_and_release_client(clientp* client);
