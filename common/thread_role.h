// Which of the daemon's threads the calling thread is, so that a function that belongs to one
// thread can check it. Each daemon thread sets its role when it starts; a thread that set none
// (a test's, a helper's) passes every check. The checks (VANTLES_CHECK_THREAD_ROLES) are
// compiled into every build but a release one.
#pragma once

#include "common/vantle_assert.h"

#include <cstdint>

enum thread_role : uint8_t {
    THREAD_ROLE_NONE,         // no role: every check passes
    THREAD_ROLE_SERVER,       // the request server (the main thread)
    THREAD_ROLE_EVENT,        // the event thread: decoding, the event table, routing, wake-ups
    THREAD_ROLE_PRODUCER,     // the reader of the kernel's queue
    THREAD_ROLE_DELIVERY,     // a client's delivery thread
    THREAD_ROLE_DISK_LOGGER,  // the disk logger's delivery thread
};

void thread_role_set(thread_role role);
thread_role thread_role_current();

#if VANTLES_CHECK_THREAD_ROLES
#define VANTLE_ASSERT_THREAD(role)                                                          \
    VANTLE_ASSERT(thread_role_current() == THREAD_ROLE_NONE || thread_role_current() == (role))
#else
#define VANTLE_ASSERT_THREAD(role) static_cast<void>(0)
#endif
