// Scheduling weight of the daemon's own long-running threads.
#pragma once

// Raises the calling thread's scheduling priority by importance steps above the default
// (one nice level a step, so 19 is the highest). 0 or an errno value; without the privilege
// the thread keeps its priority.
int thread_set_precedence(int importance);
