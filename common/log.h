// The daemon's two logging functions. Both pass their format and arguments unchanged to the
// system log (identity, options and facility set once by log_open); neither adds a prefix or a
// newline. Callable from any thread.
#pragma once

#include <cstdarg>

// Syslog options: LOG_PID | LOG_CONS, and with "-d" also LOG_PERROR.
constexpr int LOG_OPTIONS_DEFAULT = 0x3;
constexpr int LOG_OPTIONS_STDERR = 0x23;

// openlog(identity, options, LOG_DAEMON).
void log_open(const char* identity, int options);

// LOG_CRIT: start-up and allocation failures, history and disk problems, most diagnostics.
void log_critical(const char* format, ...) __attribute__((format(printf, 1, 2)));

// LOG_ERR: unknown clients, port release failures, lookup misses, assertion reports.
void log_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
