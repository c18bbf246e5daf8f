// The daemon's logging functions over syslog(3), and the consistency-check failure report.
#include "common/log.h"
#include "common/vantle_assert.h"

#include <cstdlib>
#include <syslog.h>

void log_open(const char* identity, int options) {
    openlog(identity, options, LOG_DAEMON);
}

void log_critical(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsyslog(LOG_CRIT, format, args);
    va_end(args);
}

void log_error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsyslog(LOG_ERR, format, args);
    va_end(args);
}

void vantle_assert_fail(const char* function, const char* expression) {
    log_error("vantlesd_implementation: %s: failed assertion '%s'\n", function, expression);
    abort();
}
