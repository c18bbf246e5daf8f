// Path limits shared by every subsystem. Paths are byte strings of at most PATH_BUFFER_SIZE
// bytes including their NUL; copies use strlcpy semantics (see path_copy).
#pragma once

#include <cstddef>

constexpr size_t PATH_BUFFER_SIZE = 1024;  // bytes with the NUL
constexpr size_t PATH_MAX_LENGTH = PATH_BUFFER_SIZE - 1;

// Copies src into dst (dst_size bytes), always NUL-terminated when dst_size > 0, and returns
// the length of src, as strlcpy does.
size_t path_copy(char* dst, const char* src, size_t dst_size);
