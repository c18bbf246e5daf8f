// Bounded path copies with strlcpy semantics.
#include "common/limits.h"

#include <cstring>

size_t path_copy(char* dst, const char* src, size_t dst_size) {
    size_t len = strlen(src);
    if (dst_size) {
        size_t n = len < dst_size - 1 ? len : dst_size - 1;
        memcpy(dst, src, n);
        dst[n] = '\0';
    }
    return len;
}
