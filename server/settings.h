// The daemon's settings from its environment (the service unit's Environment= lines): the
// shares of connections and clients each unprivileged user may hold, and the idle time-out of
// public connections.
#pragma once

// Reads VANTLESD_CONNECTIONS_PER_USER, VANTLESD_IDLE_TIMEOUT (seconds, 0: never) and
// VANTLESD_CLIENTS_PER_USER, falling back to the defaults for a value that is missing or not a
// number in range (logged), and applies them. After the descriptor limit is raised: the share of
// all unprivileged connections together follows from it.
void apply_environment_settings();
