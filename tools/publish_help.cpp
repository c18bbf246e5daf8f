// The usage of `vantles publish`, printed by the tool and by the publisher program alike.
#include "tools/tool.h"

void publish_help(FILE* out) {
    fputs(
        "vantles publish [OPTIONS] PATH...\n"
        "  Publishes the changes under the paths to a NATS JetStream stream, one message per\n"
        "  event: JSON {\"host\",\"uuid\",\"id\",\"flags\":[...],\"path\"} with the header\n"
        "  Nats-Msg-Id HOST/UUID/ID. At start, and after the broker was lost, it goes on from\n"
        "  the last message this host published, through the daemon's history; when the\n"
        "  history cannot tell, it publishes a message flagged 'rescan'. Runs until SIGINT or\n"
        "  SIGTERM (exit 0), retrying an unreachable broker with back-off.\n"
        "  --server URL       a NATS server (repeatable, for a cluster; default\n"
        "                     nats://127.0.0.1:4222; user:password@ as NATS URLs take it)\n"
        "  --subject PREFIX   events go to PREFIX.events (default vantles.HOSTNAME)\n"
        "  --stream NAME      the JetStream stream (default VANTLES); made when missing,\n"
        "                     with file storage and the subjects FIRST-TOKEN-OF-PREFIX.>\n"
        "  --replicas N       replicas of a stream it makes (default 1)\n"
        "  --max-age SECONDS  a stream it makes drops messages older than this (default:\n"
        "                     none)\n"
        "  --max-bytes N      a stream it makes keeps at most N bytes, dropping the oldest\n"
        "  --max-msgs N       a stream it makes keeps at most N messages, dropping the oldest\n"
        "  --host NAME        the host named in messages (default the hostname)\n"
        "  --max-pending N    unacknowledged messages at most (default 4096)\n"
        "  --creds FILE       NATS user credentials\n"
        "  --tls-ca FILE      trusted certificates for TLS\n"
        "  --tls-cert FILE    client certificate for TLS (with --tls-key)\n"
        "  --tls-key FILE     client key for TLS\n"
        "  --latency SECONDS  as for watch (default 0.1)\n"
        "  --files            one message per changed file (default: per directory)\n"
        "  --exclude PATH     as for watch (at most 8), or GLOB\n"
        "  --include GLOB     publish only changes matching one of these globs (as for watch)\n"
        "  --event NAMES      publish only changes with one of these flags (as for watch)\n"
        "  --socket PATH      the daemon's socket (as for watch)\n",
        out);
}
