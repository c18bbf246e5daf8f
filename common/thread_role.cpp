// The calling thread's role (see thread_role.h).
#include "common/thread_role.h"

namespace {

thread_local thread_role current_role = THREAD_ROLE_NONE;

}  // namespace

void thread_role_set(thread_role role) {
    current_role = role;
}

thread_role thread_role_current() {
    return current_role;
}
