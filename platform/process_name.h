// The name of a running process, for diagnostics, and the path of this one's executable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Bytes of a process name buffer: the executable path may be this long before it is cut.
constexpr size_t PROCESS_NAME_BUFFER = 4096;

// Stores in out the last component of the executable path of process pid, or "(unknown)"
// when the path cannot be had (the process has gone, or is a kernel thread). Returns out.
const char* process_name(int32_t pid, char* out, size_t size);

// The absolute path of this process's executable. 0 or an errno value.
int process_own_path(std::string* out);
