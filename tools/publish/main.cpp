// The publisher program vantles-publish, which `vantles publish` runs (see publish.h): its
// command line, and the sessions with the broker, one after another with a back-off between
// them until a signal ends it.
#include "tools/options.h"
#include "tools/publish/publish.h"
#include "tools/signal_pipe.h"
#include "tools/tool.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

constexpr int PUBLISH_FIRST_BACKOFF_MS = 250;
constexpr int PUBLISH_MAX_BACKOFF_MS = 4000;

enum publish_key {
    PUBLISH_SERVER,
    PUBLISH_SUBJECT,
    PUBLISH_STREAM,
    PUBLISH_REPLICAS,
    PUBLISH_HOST,
    PUBLISH_MAX_PENDING,
    PUBLISH_CREDS,
    PUBLISH_TLS_CA,
    PUBLISH_TLS_CERT,
    PUBLISH_TLS_KEY,
    PUBLISH_MAX_AGE,
    PUBLISH_MAX_BYTES,
    PUBLISH_MAX_MSGS,
};

constexpr tool_option PUBLISH_OPTIONS[] = {
    {"server", true, PUBLISH_SERVER},     {"subject", true, PUBLISH_SUBJECT},
    {"stream", true, PUBLISH_STREAM},     {"replicas", true, PUBLISH_REPLICAS},
    {"host", true, PUBLISH_HOST},         {"max-pending", true, PUBLISH_MAX_PENDING},
    {"creds", true, PUBLISH_CREDS},       {"tls-ca", true, PUBLISH_TLS_CA},
    {"tls-cert", true, PUBLISH_TLS_CERT}, {"tls-key", true, PUBLISH_TLS_KEY},
    {"max-age", true, PUBLISH_MAX_AGE},   {"max-bytes", true, PUBLISH_MAX_BYTES},
    {"max-msgs", true, PUBLISH_MAX_MSGS},
};

// A NATS subject token or prefix: dot-separated tokens, no wildcards or spaces.
bool valid_subject(const std::string& s) {
    if (s.empty() || s.front() == '.' || s.back() == '.' || s.find("..") != std::string::npos) {
        return false;
    }
    return s.find_first_of(" \t\r\n*>") == std::string::npos;
}

// A positive count for a stream limit.
bool parse_limit(const char* text, int64_t* out) {
    uint64_t value = 0;
    if (tool_parse_u64(text, &value) != 0 || value == 0 || value > INT64_MAX) {
        return false;
    }
    *out = static_cast<int64_t>(value);
    return true;
}

bool parse_count(const char* text, int low, int high, int* out) {
    uint64_t value = 0;
    if (tool_parse_u64(text, &value) != 0 || value < static_cast<uint64_t>(low) ||
        value > static_cast<uint64_t>(high)) {
        return false;
    }
    *out = static_cast<int>(value);
    return true;
}

int take_option(const tool_parsed_option& o, publish_settings* s) {
    switch (o.key) {
        case PUBLISH_SERVER:
            s->servers.emplace_back(o.value);
            return 0;
        case PUBLISH_SUBJECT:
            s->subject_prefix = o.value;
            return valid_subject(s->subject_prefix) ? 0 : EINVAL;
        case PUBLISH_STREAM:
            s->stream_name = o.value;
            return s->stream_name.find_first_of(" .*>/\\") == std::string::npos ? 0 : EINVAL;
        case PUBLISH_REPLICAS:
            return parse_count(o.value, 1, 5, &s->replicas) ? 0 : EINVAL;
        case PUBLISH_HOST:
            s->host = o.value;
            return s->host.find_first_of("/ \t\r\n") == std::string::npos ? 0 : EINVAL;
        case PUBLISH_MAX_PENDING:
            return parse_count(o.value, 1, 1 << 20, &s->max_pending) ? 0 : EINVAL;
        case PUBLISH_CREDS:
            s->creds = o.value;
            return 0;
        case PUBLISH_TLS_CA:
            s->tls_ca = o.value;
            return 0;
        case PUBLISH_TLS_CERT:
            s->tls_cert = o.value;
            return 0;
        case PUBLISH_TLS_KEY:
            s->tls_key = o.value;
            return 0;
        case PUBLISH_MAX_AGE: {
            uint64_t us = 0;
            if (tool_parse_seconds(o.value, &us) != 0 || us == 0 || us > INT64_MAX / 1000) {
                return EINVAL;
            }
            s->max_age_ns = static_cast<int64_t>(us * 1000);
            return 0;
        }
        case PUBLISH_MAX_BYTES:
            return parse_limit(o.value, &s->max_bytes) ? 0 : EINVAL;
        case PUBLISH_MAX_MSGS:
            return parse_limit(o.value, &s->max_msgs) ? 0 : EINVAL;
    }
    return EINVAL;
}

int parse_settings(int argc, char** argv, publish_settings* s) {
    int status =
        tool_parse_stream_args(tool_stream_kind::publish, argc, argv, &s->stream, PUBLISH_OPTIONS);
    if (status != 0 || s->stream.help) {
        return status;
    }
    for (const tool_parsed_option& o : s->stream.own) {
        if (take_option(o, s) != 0) {
            const char* name = "";
            for (const tool_option& known : PUBLISH_OPTIONS) {
                name = known.key == o.key ? known.name : name;
            }
            tool_error("--%s: invalid value '%s' (try 'vantles publish --help')", name, o.value);
            return TOOL_EXIT_USAGE;
        }
    }
    if (s->tls_cert.empty() != s->tls_key.empty()) {
        tool_error("publish: --tls-cert and --tls-key go together");
        return TOOL_EXIT_USAGE;
    }
    if (s->host.empty()) {
        char name[HOST_NAME_MAX + 1] = {};
        if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
            tool_error("publish: no hostname: give --host");
            return TOOL_EXIT_USAGE;
        }
        s->host = name;
    }
    if (s->subject_prefix.empty()) {
        std::string token = s->host;  // a hostname's dots would split the subject
        std::replace(token.begin(), token.end(), '.', '_');
        s->subject_prefix = "vantles." + token;
    }
    if (s->servers.empty()) {
        s->servers.emplace_back(PUBLISH_DEFAULT_SERVER);
    }
    s->stream.options.socket_path = tool_socket_path(s->stream.socket);
    return 0;
}

// Waits ms unless a signal comes first. True when one came.
bool signalled_within(int signal_fd, int ms) {
    pollfd fd = {signal_fd, POLLIN, 0};
    return poll(&fd, 1, ms) > 0;
}

}  // namespace

int main(int argc, char** argv) {
    publish_settings settings;
    int status = parse_settings(argc - 1, argv + 1, &settings);
    if (settings.stream.help) {
        publish_help(stdout);
        return TOOL_EXIT_OK;
    }
    if (status != 0) {
        return status;
    }
    unique_fd signal_read, signal_write;
    if (int err = tool_signal_pipe_install({SIGINT, SIGTERM, SIGHUP}, &signal_read, &signal_write);
        err != 0) {
        tool_error("signal handlers: %s", strerror(err));
        return TOOL_EXIT_FAILURE;
    }
    // Each state is logged once: a failure is not repeated while it lasts, and its back-off
    // grows until something else happens.
    std::string reported;
    publish_carry carry;
    bool started = false;  // the first session said where it publishes
    int backoff = PUBLISH_FIRST_BACKOFF_MS;
    for (;;) {
        publish_broker* broker = nullptr;
        publish_last last;
        std::string why;
        if (publish_broker_open(settings, &broker, &last, &why) == 0) {
            status = publish_feed_run(settings, broker, last, signal_read.get(), &why, &carry, [&] {
                if (!reported.empty()) {
                    tool_error(
                        "publish: publishing again, after id %llu",
                        static_cast<unsigned long long>(std::min(last.id, carry.acked_through)));
                    reported.clear();
                } else if (!started) {
                    std::string paths;
                    for (const std::string& path : settings.stream.options.paths) {
                        paths += (paths.empty() ? "" : " ") + path;
                    }
                    tool_error(
                        "publish: publishing the changes under %s to the stream %s as "
                        "%s.events (server %s%s)",
                        paths.c_str(), settings.stream_name.c_str(),
                        settings.subject_prefix.c_str(), settings.servers[0].c_str(),
                        settings.servers.size() > 1 ? " and others" : "");
                }
                started = true;
            });
            publish_broker_close(broker);
            if (status >= 0) {
                break;
            }
        }
        if (why != reported) {
            tool_error("publish: %s; trying again", why.c_str());
            reported = why;
            backoff = PUBLISH_FIRST_BACKOFF_MS;
        }
        if (signalled_within(signal_read.get(), backoff)) {
            status = TOOL_EXIT_OK;
            break;
        }
        backoff = std::min(backoff * 2, PUBLISH_MAX_BACKOFF_MS);
    }
    tool_signal_pipe_detach();
    return status;
}
