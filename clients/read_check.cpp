// Per-client event filters shared by live delivery and the history replay: the read-permission
// check for clients of another user and the excluded paths.
//
// A gone path is the hard case. The delivery thread judges events after they happened, often
// after the directory that held them was removed or moved away (rm -rf reports a tree's files
// before its directories). Its parent, if still there and readable, shows the user could list
// the name. Without it no check made now can say what the user could read then, so the name
// is withheld and the client hears only that something changed in the nearest directory it can
// still be shown: an honest notice to look again, never a name from a closed directory.
#include "clients/read_check.h"

#include "clients/client_info.h"
#include "common/limits.h"
#include "common/vantle_assert.h"
#include "platform/thread_identity.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {
constexpr size_t CLIENT_NAME_MAX = 255;  // bytes of the last path component

// Whether the watched path holds path: path is it or lies below it. "/" and the volume root
// ("") hold everything. Returns the watched path's length without a trailing '/', or -1.
ptrdiff_t watched_path_holds(const char* watched, const char* path) {
    size_t n = strlen(watched);
    if (n > 1 && watched[n - 1] == '/') {
        n--;
    }
    if (strncmp(watched, path, n) != 0) {
        return -1;
    }
    bool holds = n == 0 || (n == 1 && watched[0] == '/') || path[n] == '\0' || path[n] == '/';
    return holds ? (ptrdiff_t)n : -1;
}

// Whether lstat's failure on q means the item is gone (and not merely out of reach).
bool gone_by_now(const char* q, int err) {
    if (err == ENOENT) {
        return true;
    }
    if (err != ENAMETOOLONG) {
        return false;
    }
    // A long name in a non-ASCII encoding may be too long for this file system only.
    const char* slash = strrchr(q, '/');
    const char* name = slash ? slash + 1 : q;
    size_t name_len = strlen(name);
    bool high = false;
    for (size_t i = 0; i < name_len && !high; i++) {
        high = (unsigned char)name[i] >= 0x80;
    }
    return name_len >= CLIENT_NAME_MAX && high;
}

bool is_top(const char* dir) {
    return strcmp(dir, "/") == 0 || strcmp(dir, ".") == 0;
}

// Climbs from dir (gone or not) to the nearest directory that exists: READ_ANCESTOR with it in
// out when the user may read it, READ_REFUSED otherwise or when the climb cannot go on.
read_verdict nearest_readable_dir(char* dir, char* out) {
    struct stat st;
    while (lstat(dir, &st) != 0) {
        if (errno != ENOENT || is_top(dir)) {
            free(dir);
            return READ_REFUSED;
        }
        char* up = dirname_alloc(dir);
        free(dir);
        if (!up) {
            return READ_REFUSED;
        }
        dir = up;
    }
    bool readable = S_ISDIR(st.st_mode) && thread_may_read(dir) == 0;
    // "." is the volume root of a relative client: its form is the empty path.
    path_copy(out, strcmp(dir, ".") == 0 ? "" : dir, PATH_BUFFER_SIZE);
    free(dir);
    return readable ? READ_ANCESTOR : READ_REFUSED;
}

}  // namespace

read_verdict judge_event_read(const client_info* me, const char* event_path, char* ancestor) {
    VANTLE_ASSERT(me->pid != 0);
    const char* q = event_path[0] ? event_path : ".";
    struct stat st;
    if (lstat(q, &st) == 0) {
        return thread_may_read(q) == 0 ? READ_GRANTED : READ_REFUSED;
    }
    if (!gone_by_now(q, errno)) {
        return READ_REFUSED;
    }
    char* parent = dirname_alloc(q);
    if (!parent) {
        return READ_REFUSED;
    }
    if (thread_may_read(parent) == 0) {
        free(parent);
        return READ_GRANTED;
    }
    return nearest_readable_dir(parent, ancestor);
}

void ancestor_event_path(const client_info* me, const char* path, char* ancestor) {
    size_t have = strlen(ancestor);
    for (int32_t i = 0; i < me->num_paths; i++) {
        ptrdiff_t n = watched_path_holds(me->paths[i], path);
        if (n >= 0) {
            if ((size_t)n > have) {
                memcpy(ancestor, me->paths[i], (size_t)n);
                ancestor[n] = '\0';
                have = (size_t)n;
            }
            break;
        }
    }
    if (have > 0 && ancestor[have - 1] != '/' && have + 1 < PATH_BUFFER_SIZE) {
        ancestor[have] = '/';
        ancestor[have + 1] = '\0';
    }
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

char* dirname_alloc(const char* path) {
    char* out = static_cast<char*>(malloc(PATH_BUFFER_SIZE));
    if (!out) {
        errno = ENOMEM;
        return nullptr;
    }
    size_t len = strlen(path);
    while (len > 1 && path[len - 1] == '/') {
        len--;  // trailing slashes do not count
    }
    while (len > 0 && path[len - 1] != '/') {
        len--;  // the last component
    }
    if (len == 0) {
        strcpy(out, path[0] == '/' ? "/" : ".");
        return out;
    }
    while (len > 1 && path[len - 1] == '/') {
        len--;  // the slashes before it
    }
    if (len >= PATH_BUFFER_SIZE) {
        free(out);
        errno = ENAMETOOLONG;
        return nullptr;
    }
    memcpy(out, path, len);
    out[len] = '\0';
    return out;
}
