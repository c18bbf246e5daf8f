// Raw-message helpers for test clients: they put bytes and descriptors on the daemon's socket
// directly, bypassing the port layer's encoder, so that tests can send requests the library
// would never build (wrong sizes, bits, counts, descriptors, truncated or garbage datagrams)
// and read replies byte for byte. Not part of the public interface.
//
// The wire form (see platform/port.h): one datagram holds the msgh_size bytes of a message,
// then the bytes of its out-of-line regions in descriptor order; when that would exceed
// PORT_MAX_DATAGRAM the regions travel in one sealed memfd passed as the last descriptor. Each
// port descriptor is matched, in order, by one passed descriptor.
#pragma once

#include "platform/messages.h"
#include "platform/unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// A datagram as received: its bytes and the descriptors that came with it.
struct raw_datagram {
    std::vector<uint8_t> bytes;
    std::vector<unique_fd> fds;
};

// Connects a sequenced-packet socket to path (null: the service path). 0 or an errno value.
int raw_connect(const char* path, unique_fd* out);

// A connected pair of sequenced-packet sockets, as a port's two ends. 0 or an errno value.
int raw_socketpair(unique_fd* a, unique_fd* b);

// Sends size bytes as one datagram with fds passed in order (none when empty), waiting up to
// timeout_ms for room. The caller keeps its copies of fds. 0, ETIMEDOUT or an errno value.
int raw_send(int socket, const void* bytes, size_t size, std::span<const int> fds, int timeout_ms);

// Receives one datagram, waiting up to timeout_ms. 0, ETIMEDOUT, ECONNRESET when the peer
// has closed, or an errno value.
int raw_receive(int socket, int timeout_ms, raw_datagram* out);

// raw_send then raw_receive.
int raw_rpc(int socket, const std::vector<uint8_t>& request, int timeout_ms, raw_datagram* reply);

// A sealed memfd holding bytes. seal false leaves it writable and resizable. 0 or an errno.
int raw_memfd(std::span<const uint8_t> bytes, bool seal, unique_fd* out);

// A simple request of size bytes: the header (bits, size, id; ports 0), the NDR record when
// the size leaves room for it, zeros after.
std::vector<uint8_t> raw_simple_request(mach_msg_id_t id, uint32_t size, uint32_t bits);

// A register request and its four regions (path offsets, paths blob, exclusion offsets,
// exclusion blob). raw_register_build fills a well-formed request; tests then change fields.
struct raw_register {
    register_request_t msg;
    std::vector<uint8_t> regions[4];
};

// Fills a well-formed register request for paths and excludes: bits 0x80000013, size 160,
// five descriptors, callback MOVE_SEND, count fields and descriptor sizes matching the
// regions, latency 0, flags 0, since-when "now".
void raw_register_build(raw_register* req, std::span<const std::string> paths,
                        std::span<const std::string> excludes);

// Sets each descriptor's size and the four count fields from the regions as they now are.
void raw_register_sync(raw_register* req);

// Encodes req as the wire carries it: msgh_size bytes of the message (cut, or padded with
// zeros past 160 bytes), then the regions of as many out-of-line descriptors as the
// descriptor count names (at most four), inline or, past PORT_MAX_DATAGRAM, in a sealed memfd
// (*memfd, else left empty). The descriptors' sizes are sent as they stand. 0 or an errno.
int raw_register_encode(const raw_register& req, std::vector<uint8_t>* datagram, unique_fd* memfd);

// Encodes req and sends it with port_fds (then the memfd, if any). 0 or an errno value.
int raw_register_send(int socket, const raw_register& req, std::span<const int> port_fds);
