// The event thread's process-wide flags. Kept apart from the thread itself so that the
// producer and the request side can read them without linking the whole event machinery.
#include "intake/event_thread.h"

std::atomic<uint32_t> event_thread_ready{0};
std::atomic<uint32_t> shutting_down{0};
std::atomic<uint32_t> intake_finished{0};
