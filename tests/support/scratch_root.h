// Test code in a child whose "/" is a scratch tmpfs (a private mount namespace, pivot_root):
// /proc, /tmp, /var, /mnt, the machine's /dev, read-only binds of /usr, /lib, /lib64, /bin, /sbin
// and /etc, and the scratch volumes the test asks for; nothing reaches the machine's. Root only.
#pragma once

#include "platform/unique_fd.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

struct scratch_volume {
    std::string mount_point;        // inside the scratch root, e.g. "/var" or "/mnt/data"
    std::string fs_type = "tmpfs";  // "tmpfs", "ext4" for a loop-mounted image, or "overlay"
    bool read_only = false;
    std::string size = "64m";  // with a k, m or g suffix
    // An overlay's lowerdir, upperdir and workdir, as paths inside the scratch root on the
    // other volumes (made when missing): "lowerdir=/var/l,upperdir=...,workdir=...". Overlays
    // are mounted last, once the scratch root is "/". An overlay at "/" is the root itself,
    // its layers out of view inside it, as a container's.
    std::string overlay = "";
};

// Whether this process may build scratch roots (root, mount namespaces), and in addition make
// "ext4" scratch volumes (mkfs.ext4, loop devices).
bool scratch_root_available();
bool scratch_ext4_available();

// Forks a child that builds the scratch root with volumes mounted in order, runs body and exits
// with its result (126: no scratch root, 127: died); body reports through it (SCRATCH_CHECK).
int run_in_scratch_root(const std::vector<scratch_volume>& volumes,
                        const std::function<int()>& body);

// A directory of the machine shown inside the scratch root.
struct scratch_bind {
    std::string path;  // absolute
    bool read_only = false;
    std::string target = "";  // where it appears inside the root; empty: at path
};

// In a forked child: builds the scratch root with volumes and binds, then execve's argv[0] (a
// path inside the root). Returns only on failure: 126 (no root) or 127 (execve).
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
