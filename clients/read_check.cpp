// Per-client event filters shared by live delivery and the history replay: the read-permission
// check for clients of another user and the excluded paths.
#include "clients/read_check.h"

#include "clients/client_info.h"
#include "clients/client_loop.h"
#include "common/vantle_assert.h"
#include "platform/thread_identity.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {
constexpr size_t CLIENT_NAME_MAX = 255;  // bytes of the last path component

// Whether the watched path holds path: path is it or lies below it. "/" and the volume root
// ("") hold everything. Only a watched path that holds the event may vouch for it: one that
// merely occurs somewhere inside it (a directory of the user's own whose path reappears inside
// a closed tree) says nothing about it.
bool watched_path_holds(const char* watched, const char* path) {
    size_t n = strlen(watched);
    if (n > 1 && watched[n - 1] == '/') {
        n--;
    }
    if (strncmp(watched, path, n) != 0) {
        return false;
    }
    return n == 0 || (n == 1 && watched[0] == '/') || path[n] == '\0' || path[n] == '/';
}
}  // namespace

bool may_read_event(const client_info* me, const char* event_path) {
    VANTLE_ASSERT(me->pid != 0);
    const char* q = event_path[0] ? event_path : ".";
    struct stat st;
    if (lstat(q, &st) == 0) {
        return thread_may_read(q) == 0;
    }
    int err = errno;
    bool gone = err == ENOENT;
    if (err == ENAMETOOLONG) {
        // A long name in a non-ASCII encoding may be too long for this file system only.
        const char* slash = strrchr(q, '/');
        const char* name = slash ? slash + 1 : q;
        size_t name_len = strlen(name);
        bool high = false;
        for (size_t i = 0; i < name_len && !high; i++) {
            high = (unsigned char)name[i] >= 0x80;
        }
        gone = name_len >= CLIENT_NAME_MAX && high;
    }
    if (!gone) {
        return false;
    }
    char* parent = dirname_alloc(q);
    if (parent) {
        bool readable = thread_may_read(parent) == 0;
        free(parent);
        if (readable) {
            return true;
        }
    }
    for (int32_t i = 0; i < me->num_paths; i++) {
        if (!watched_path_holds(me->paths[i], event_path)) {
            continue;
        }
        const char* watched = me->paths[i][0] ? me->paths[i] : ".";
        return lstat(watched, &st) == 0 && st.st_uid == me->uid && thread_may_read(watched) == 0;
    }
    return false;
}

bool is_excluded(const client_info* fci, const char* path) {
    for (const char* excluded : fci->excluded) {
        if (!excluded) {
            break;
        }
        if (strncmp(path, excluded, strlen(excluded)) == 0) {
            return true;
        }
    }
    return false;
}
