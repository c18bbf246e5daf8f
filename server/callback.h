// Event messages to a client: the delivery callback installed on every registered client and
// the builder of message 67000 it sends through.
#pragma once

#include "platform/mach_msg.h"

#include <cstdint>

// How long a client may leave an event message unread before the send gives up, and the pause
// its delivery thread then takes.
constexpr mach_msg_timeout_t CALLBACK_SEND_TIMEOUT_MS = 10000;
constexpr uint32_t CALLBACK_BACKOFF_US = 100000;

// Delivery callback of a registered client; ctx is its clientp. lengths include each path's
// NUL; devices are accepted and not sent. 0 or an errno value, as the delivery side expects
// (the send's own codes stop here): EPIPE for a dead client, ETIMEDOUT after the pause,
// ENOBUFS when the kernel had no memory for the message, EIO for any other failed send,
// EFAULT for a null ctx, ENOMEM when the message could not be built. Never EINVAL: the replay
// takes that for a damaged log buffer.
int32_t callback_client(void* ctx, int32_t count, const int32_t* lengths, const char* const* paths,
                        const uint32_t* flags, const uint32_t* devices, const uint64_t* ids);

// The same without waiting: MACH_SEND_TIMED_OUT at once when the client's socket has no room
// for the message, which is then not sent (the event thread's delivery, client_deliver_now).
int32_t callback_client_now(void* ctx, int32_t count, const int32_t* lengths,
                            const char* const* paths, const uint32_t* flags,
                            const uint32_t* devices, const uint64_t* ids);

// Builds message 67000 from the four arrays and sends it to port, waiting up to timeout_ms.
kern_return_t send_events_message(mach_port_t port, mach_msg_timeout_t timeout_ms,
                                  uint32_t num_events, const uint32_t* offsets,
                                  uint32_t offset_count, const uint32_t* flags, uint32_t flag_count,
                                  const uint64_t* ids, uint32_t id_count, const char* paths_blob,
                                  uint32_t paths_blob_size);
