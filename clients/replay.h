// Replay of a volume's event history into one client: the buffers of a log file (read by the
// log reader, history/log_reader.h) filtered under the client's credentials as live delivery
// would filter them (since id, watched paths, read permission, exclusions) and handed to the
// client's callback in batches. Runs on the client's delivery thread during its history step.
#pragma once

#include "history/log_reader.h"

#include <cstdint>

struct client_info;
struct dev_info;

// Events in one delivery batch.
constexpr uint32_t REPLAY_EVENT_CHUNK = 32;

// Checksum kinds reported by process_disk_event_buf.
constexpr uint32_t REPLAY_CHECKSUM_NONE = 0;
constexpr uint32_t REPLAY_CHECKSUM_ALT = 1;      // matched log_checksum_alt
constexpr uint32_t REPLAY_CHECKSUM_REGULAR = 2;  // matched log_checksum

// One delivery batch; the parallel arrays go to the callback as they are.
struct client_event_buffer {
    client_info* fci;
    uint32_t nitems;  // below REPLAY_EVENT_CHUNK between calls
    int32_t lengths[REPLAY_EVENT_CHUNK];
    uint32_t flags[REPLAY_EVENT_CHUNK];
    uint64_t ids[REPLAY_EVENT_CHUNK];
    uint32_t devices[REPLAY_EVENT_CHUNK];
    char* paths[REPLAY_EVENT_CHUNK];  // owned copies
};

// Hands the held events to the client's callback and empties the batch whatever the result.
// A client gone (EPIPE) is marked going away; any failure of a client not going away marks
// events dropped. Returns the callback's result, 0 for an empty batch.
int client_buffer_flush(client_event_buffer* batch);

// Replays one log buffer of volume v (available bytes at buffer, which may be modified: its
// checksum field is zeroed and a buffer of the other byte order is converted) into c. verify
// is 1 for buffers read from files (completeness and checksum checked), 0 for the in-memory
// buffer of pending names. Only records with ids above since are replayed.
// *consumed is 0 until the buffer has been gone through, then its length; *kind (may be null)
// is a REPLAY_CHECKSUM_* value. Returns 0, EINVAL (incomplete, failed checks, out-of-bounds
// record), ENOMEM, or the non-zero result of a delivery that ended the buffer.
int process_disk_event_buf(dev_info* v, client_info* c, uint8_t* buffer, uint32_t available,
                           int verify, uint64_t since, uint32_t* consumed, uint32_t* kind);

// Takes on c's credentials (its user's groups too, when they can be had) for the permission
// checks of this thread, unless c is root; who names the caller in the failure message. The
// caller returns to the daemon's own with thread_restore_credentials.
void replay_take_identity(client_info* c, const char* who);

// Replays the buffers of a loaded file into c, under c's credentials when c is not root. A
// file that turns out damaged (cut short, empty, a buffer that fails its checks) delivers what
// it still holds, then a dropped notice in its place (replay_lost_file). 0.
int replay_disk_log_image(dev_info* v, client_info* c, disk_log_image* image, const char* path,
                          uint64_t since);

// Hands c a dropped notice for volume v whose id is the highest id lost, unless c asked only
// for later ids.
void replay_dropped_notice(dev_info* v, client_info* c, uint64_t id, uint64_t since);

// The log file at path of volume v is lost to c's replay, in part or whole (why says how):
// logs it (once per file) and hands c a dropped notice for the volume whose id is the highest
// the file could hold, unless c asked only for later ids.
void replay_lost_file(dev_info* v, client_info* c, const char* path, const char* why,
                      uint64_t since);

// load_disk_log and replay_disk_log_image: reads the gzip log file at path of volume v and
// replays its buffers into c, under c's credentials when c is not root. 0 once the file has been
// read (damaged ones included), or load_disk_log's error: the caller decides whether the file
// is lost or was removed on purpose.
int read_disk_log(dev_info* v, client_info* c, const char* path, uint64_t since);
