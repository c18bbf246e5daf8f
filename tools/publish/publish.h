// What the files of the publisher (`vantles publish`, the program vantles-publish) share: its
// settings, the broker session (the one file that talks to NATS), and the feed that turns the
// daemon's events into messages.
//
// The publisher keeps no position on disk: at the start of every session with the broker it
// asks the stream for the last message this host published and goes on from that id through
// the daemon's history. A session ends at the first failure (an unreachable broker, a publish
// that was not acknowledged, a closed connection); the next one, after a back-off, finds its
// place the same way, so a publisher, a daemon or a broker that stopped all end in a stream
// holding every change once (duplicates within the stream's window are dropped by message id).
// The stream's last message is not enough on its own when a replicated stream changes leader:
// a message sent during the election can be lost while later ones are stored. So a publisher
// that keeps running also remembers how far every message was acknowledged, and the next
// session starts from there when that is earlier.
#pragma once

#include "tools/stream_command.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

constexpr int PUBLISH_DEFAULT_MAX_PENDING = 4096;
constexpr const char* PUBLISH_DEFAULT_STREAM = "VANTLES";
constexpr const char* PUBLISH_DEFAULT_SERVER = "nats://127.0.0.1:4222";

struct publish_settings {
    tool_stream_args stream;           // the daemon side: paths, latency, files, excludes
    std::vector<std::string> servers;  // NATS URLs
    std::string subject_prefix;        // events go to PREFIX.events
    std::string stream_name = PUBLISH_DEFAULT_STREAM;
    int replicas = 1;
    // Limits of a stream it makes (0: none): age in nanoseconds, bytes, messages.
    int64_t max_age_ns = 0, max_bytes = 0, max_msgs = 0;
    std::string host;
    int max_pending = PUBLISH_DEFAULT_MAX_PENDING;
    std::string creds, tls_ca, tls_cert, tls_key;  // as the NATS client takes them
};

// The last message this host published, as read back from the stream.
struct publish_last {
    bool found = false;
    uint64_t id = 0;
    std::string uuid, path;
};

struct publish_broker;

// Connects, finds or creates the stream, and reads the last message on PREFIX.events. 0, or
// an errno value after *why was set (the broker's own words when it has some).
int publish_broker_open(const publish_settings& settings, publish_broker** out, publish_last* last,
                        std::string* why);

// Publishes one message asynchronously with its message id; blocks while the number of
// unacknowledged messages is at the limit. 0, or an errno value with *why (the session is over).
int publish_broker_send(publish_broker* broker, uint64_t id, const std::string& json,
                        const std::string& message_id, std::string* why);

// The highest id through which every message of the session was acknowledged; from when
// nothing was sent (the id the session started after).
uint64_t publish_broker_acked_through(publish_broker* broker, uint64_t from);

// Whether the session still holds: connected, and no publish came back refused or unanswered.
bool publish_broker_healthy(publish_broker* broker, std::string* why);

// Waits up to timeout_ms for every published message to be acknowledged. 0 or ETIMEDOUT.
int publish_broker_drain(publish_broker* broker, int timeout_ms);

// Closes the session (whatever was not acknowledged is found again by the next one).
void publish_broker_close(publish_broker* broker);

// One session with the daemon and the broker: resumes after last and publishes until a signal
// on signal_fd (0: the publisher ends) or until the daemon or the broker fails (-1, *why set:
// try again after a back-off). on_start runs once the daemon took the stream. Kept from one
// call to the next: *behind_at, the id of the dropped notice that ended the last session, and
// *acked_through, how far every message was acknowledged (UINT64_MAX before the first).
struct publish_carry {
    uint64_t behind_at = 0;
    uint64_t acked_through = UINT64_MAX;
};
int publish_feed_run(const publish_settings& settings, publish_broker* broker,
                     const publish_last& last, int signal_fd, std::string* why,
                     publish_carry* carry, const std::function<void()>& on_start);
