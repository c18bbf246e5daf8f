// The daemon's own descriptor limit: every registered client holds three descriptors (its
// event port and both ends of its private port), so 512 clients need more than the usual
// soft limit of 1024.
#pragma once

#include <cstdint>

// Raises the soft limit on open descriptors to the hard limit. 0 or an errno value.
int raise_descriptor_limit();

// The soft limit on open descriptors (0 when it can not be read).
uint64_t descriptor_limit();
