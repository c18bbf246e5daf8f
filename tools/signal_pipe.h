// A self-pipe for the tool's long-running commands: the handlers of the signals it is given
// write the signal's number as one byte, so the command's poll loop handles signals in its
// normal path (unregister, wait for a child, exit).
#pragma once

#include "platform/unique_fd.h"

#include <initializer_list>

// Installs the handlers for signals and the pipe they write to (*read_end is non-blocking).
// SIGCHLD keeps its handler; every other signal's handler resets itself, so a second one (say,
// while a registration hangs) ends the process at once. Only one pipe at a time. 0 or an errno
// value.
int tool_signal_pipe_install(std::initializer_list<int> signals, unique_fd* read_end,
                             unique_fd* write_end);

// Stops the handlers writing; call before the write end closes.
void tool_signal_pipe_detach();

// Reads the signals that arrived (in order, at most size of them) from the pipe. The count.
int tool_signal_pipe_read(int read_end, int* signals, int size);
