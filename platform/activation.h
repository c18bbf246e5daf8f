// The descriptors a service manager passes to a process it starts: LISTEN_PID names the
// process, LISTEN_FDS counts the descriptors (from 3 on), LISTEN_FDNAMES names them.
#pragma once

// The first passed descriptor.
constexpr int ACTIVATION_FIRST_FD = 3;

// How many descriptors were passed to this process: 0 when none, or when LISTEN_PID names
// another process (they were meant for a parent).
int activation_fd_count();

// Takes the variables out of the environment, so that the processes this one starts do not
// take the descriptors for theirs.
void activation_forget();
