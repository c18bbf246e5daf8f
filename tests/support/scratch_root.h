// Runs test code in a child process whose "/" is a scratch file system: a private mount
// namespace, a fresh tmpfs made the root with pivot_root, /proc mounted, and whatever further
// scratch volumes the test asks for. Nothing the child does reaches the machine's own
// mounts or files, and the namespace ends with the child. Needs root.
//
// The scratch root holds /proc, /tmp, /var (a plain directory unless a volume is mounted
// there), /mnt, a bind of the machine's /dev, and read-only binds of /usr, /lib, /lib64, /bin,
// /sbin and /etc where the machine has them (symbolic links are copied as links), so that the
// body can still load libraries and run programs.
#pragma once

#include "platform/unique_fd.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

struct scratch_volume {
    std::string mount_point;        // inside the scratch root, e.g. "/var" or "/mnt/data"
    std::string fs_type = "tmpfs";  // "tmpfs", or "ext4" for a loop-mounted image
    bool read_only = false;
    std::string size = "64m";  // bytes, with an optional k, m or g suffix
};

// True when this process may build scratch roots (root, mount namespaces available).
bool scratch_root_available();

// True when, in addition, "ext4" scratch volumes can be made (mkfs.ext4, loop devices).
bool scratch_ext4_available();

// Forks; in the child builds the scratch root with volumes mounted (in the order given, so a
// later volume may sit inside an earlier one), then runs body and exits with its result.
// Returns the child's exit status (body's result), or 126 when the scratch root could not be
// built, 127 when the child died. Test assertions in body do not reach the parent: body reports
// through its result (SCRATCH_CHECK) and may print details to stderr. Loop devices behind ext4
// volumes are released when the child ends.
int run_in_scratch_root(const std::vector<scratch_volume>& volumes,
                        const std::function<int()>& body);

// Makes an ext4 image of size (as for scratch_volume) at image, a new file, and attaches it to
// a free loop device (its path in *loop_path) that clears itself once its file system is
// unmounted and *loop closed. 0 or an errno value (ENOEXEC when mkfs.ext4 failed).
int make_ext4_loop(const std::string& image, const std::string& size, bool read_only,
                   unique_fd* loop, std::string* loop_path);

// A directory of the machine shown inside the scratch root.
struct scratch_bind {
    std::string path;  // absolute
    bool read_only = false;
    std::string target = "";  // where it appears inside the root; empty: at path
};

// For an already forked child that is to become the program: builds the scratch root in the
// calling process with volumes mounted and binds shown, then execve's argv[0] there (a path
// inside the root, which a bind usually provides). Returns only on failure: 126 when the root
// could not be built, 127 when execve failed, with the reason on stderr. Descriptors it opens
// close on exec.
int scratch_root_exec(const std::vector<scratch_volume>& volumes,
                      const std::vector<scratch_bind>& binds, char* const argv[],
                      char* const envp[]);

// In a body: when cond is false, names it on stderr and returns 1 from the body.
#define SCRATCH_CHECK(cond)                                                                  \
    do {                                                                                     \
        if (!(cond)) {                                                                       \
            fprintf(stderr, "%s:%d: scratch check failed: %s\n", __FILE__, __LINE__, #cond); \
            return 1;                                                                        \
        }                                                                                    \
    } while (0)
