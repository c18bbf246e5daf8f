// Consistency checks for states that only a defect of the daemon can produce. A failed check
// reports the function and the expression through log_error and stops the process at once;
// bad input must never reach one of these.
#pragma once

[[noreturn]] void vantle_assert_fail(const char* function, const char* expression);

#define VANTLE_ASSERT(expr) ((expr) ? static_cast<void>(0) : vantle_assert_fail(__func__, #expr))
