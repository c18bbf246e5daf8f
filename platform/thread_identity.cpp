// Per-thread identity for delivery threads: file-system uid, gid and groups changed for the
// calling thread alone, the read check made under them, a private working directory and the
// idle I/O class.
//
// Only the file-system ids and the group list change; real and effective ids stay the
// daemon's, so the thread keeps CAP_SETUID and CAP_SETGID and can always switch back. The
// kernel drops the file-system capabilities (DAC override and friends) from the thread's
// effective set while its fsuid is not 0 and raises them again when it returns to 0.
#include "platform/thread_identity.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/ioprio.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <vector>

#include "platform/unique_fd.h"

namespace {

// Passing -1 to setfsuid/setfsgid changes nothing and returns the current value.
constexpr uint32_t IDENT_QUERY = static_cast<uint32_t>(-1);

struct fs_identity {
    uint32_t fsuid = 0;
    uint32_t fsgid = 0;
    std::vector<gid_t> groups;  // sorted, as the kernel keeps them
};

// The identity the thread had before its first switch; restore returns to it.
struct saved_identity {
    bool active = false;
    fs_identity original;
};
struct thread_identity_state {
    saved_identity saved;
    bool own_fs = false;  // the thread has unshared its file-system attributes
};
thread_local thread_identity_state t_identity;

// Set once the kernel has said it has no faccessat2.
std::atomic<bool> g_no_faccessat2{false};

uint32_t raw_setfsuid(uint32_t id) {
    return static_cast<uint32_t>(syscall(SYS_setfsuid, id));
}
uint32_t raw_setfsgid(uint32_t id) {
    return static_cast<uint32_t>(syscall(SYS_setfsgid, id));
}

int read_groups(std::vector<gid_t>* out) {
    for (;;) {
        long n = syscall(SYS_getgroups, 0, nullptr);
        if (n < 0)
            return errno;
        out->resize(static_cast<size_t>(n));
        long got = syscall(SYS_getgroups, n, out->data());
        if (got >= 0) {
            out->resize(static_cast<size_t>(got));
            std::sort(out->begin(), out->end());
            return 0;
        }
        if (errno != EINVAL)  // EINVAL: the list grew between the two calls
            return errno;
    }
}

int read_identity(fs_identity* out) {
    out->fsuid = raw_setfsuid(IDENT_QUERY);
    out->fsgid = raw_setfsgid(IDENT_QUERY);
    return read_groups(&out->groups);
}

// setgroups and setfsgid need CAP_SETGID, setfsuid CAP_SETUID; an fsuid change drops neither,
// so any order works in both directions.
int apply_identity(const fs_identity& want) {
    if (syscall(SYS_setgroups, want.groups.size(), want.groups.data()) != 0)
        return errno;
    raw_setfsgid(want.fsgid);
    raw_setfsuid(want.fsuid);
    // setfsuid and setfsgid report nothing on refusal; read everything back.
    fs_identity got;
    if (int err = read_identity(&got))
        return err;
    if (got.fsuid != want.fsuid || got.fsgid != want.fsgid || got.groups != want.groups)
        return EPERM;
    return 0;
}

int user_groups(const char* user_name, gid_t gid, std::vector<gid_t>* out) {
    out->assign(1, gid);
    if (user_name == nullptr)
        return 0;
    int n = 32;
    for (;;) {
        out->resize(static_cast<size_t>(n));
        int want = n;
        if (getgrouplist(user_name, gid, out->data(), &want) >= 0) {
            out->resize(static_cast<size_t>(want));
            break;
        }
        if (want <= n)  // no larger size asked for: give up rather than loop
            return ENOMEM;
        n = want;
    }
    std::sort(out->begin(), out->end());
    out->erase(std::unique(out->begin(), out->end()), out->end());
    return 0;
}

// Read permission from the mode bits alone, for files that must not be opened to find out
// (devices, fifos, sockets). Refuses whenever an access ACL could say otherwise, and does
// not model capabilities, so it may refuse what the kernel would allow but never the reverse.
int mode_allows_read(const char* path, const struct stat& st) {
    ssize_t acl = lgetxattr(path, "system.posix_acl_access", nullptr, 0);
    if (acl >= 0 || (errno != ENODATA && errno != ENOTSUP))
        return EACCES;
    fs_identity me;
    if (int err = read_identity(&me))
        return err;
    mode_t bit = S_IROTH;
    if (st.st_uid == me.fsuid)
        bit = S_IRUSR;
    else if (st.st_gid == me.fsgid ||
             std::binary_search(me.groups.begin(), me.groups.end(), st.st_gid))
        bit = S_IRGRP;
    return (st.st_mode & bit) != 0 ? 0 : EACCES;
}

}  // namespace

// The read check for kernels without faccessat2. Outside the header: only the check below
// and its test call it. Every step runs under the thread's fsuid, so each refusal is the
// kernel's own except for special files, where mode_allows_read errs toward refusing.
int thread_may_read_by_open(const char* path) {
    // Path lookup checks search permission on every parent directory.
    unique_fd where(open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!where.valid())
        return errno;
    struct stat st;
    if (fstat(where.get(), &st) != 0)
        return errno;
    // A link's own mode is always 0777; faccessat2 reports it readable too.
    if (S_ISLNK(st.st_mode))
        return 0;
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        return mode_allows_read(path, st);
    unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid())
        return errno;
    // Replaced since the first look: what was opened may be a device; refuse.
    struct stat now;
    if (fstat(fd.get(), &now) != 0)
        return errno;
    if (now.st_dev != st.st_dev || now.st_ino != st.st_ino)
        return EACCES;
    return 0;
}

int thread_set_credentials(uint32_t uid, uint32_t gid, const char* user_name) {
    if (uid == IDENT_QUERY || gid == IDENT_QUERY)
        return EINVAL;
    fs_identity want;
    want.fsuid = uid;
    want.fsgid = gid;
    if (int err = user_groups(user_name, gid, &want.groups))
        return err;
    fs_identity prior;
    if (int err = read_identity(&prior))
        return err;
    int err = apply_identity(want);
    if (err != 0) {
        apply_identity(prior);  // best effort: prior was in force a moment ago
        return err;
    }
    if (!t_identity.saved.active) {
        t_identity.saved.original = std::move(prior);
        t_identity.saved.active = true;
    }
    return 0;
}

int thread_restore_credentials() {
    if (!t_identity.saved.active)
        return 0;
    if (int err = apply_identity(t_identity.saved.original))
        return err;
    t_identity.saved.active = false;
    return 0;
}

int thread_may_read(const char* path) {
    // AT_EACCESS matters: without it the kernel checks against the real uid and gid (the
    // daemon's), not the thread's fsuid and fsgid.
    if (!g_no_faccessat2.load(std::memory_order_relaxed)) {
        if (syscall(SYS_faccessat2, AT_FDCWD, path, R_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0)
            return 0;
        int err = errno;
        if (err == ENOSYS)
            g_no_faccessat2.store(true, std::memory_order_relaxed);
        else if (err != EPERM)  // EPERM may be a filter refusing the call itself
            return err;
    }
    return thread_may_read_by_open(path);
}

int thread_chdir(const char* dir) {
    // Threads share one working directory until one of them unshares it.
    if (!t_identity.own_fs) {
        if (unshare(CLONE_FS) != 0)
            return errno;
        t_identity.own_fs = true;
    }
    if (chdir(dir) != 0)
        return errno;
    return 0;
}

int thread_chdir_as_daemon(const char* dir) {
    // fsuid 0 brings the file-system capabilities back for the look-up (see the top).
    uint32_t fsuid = raw_setfsuid(IDENT_QUERY);
    if (fsuid != 0)
        raw_setfsuid(0);
    int err = thread_chdir(dir);
    if (fsuid != 0)
        raw_setfsuid(fsuid);
    return err;
}

int thread_set_io_idle() {
    if (syscall(SYS_ioprio_set, IOPRIO_WHO_PROCESS, gettid(),
                IOPRIO_PRIO_VALUE(IOPRIO_CLASS_IDLE, 0)) != 0)
        return errno;
    return 0;
}
