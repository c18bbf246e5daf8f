// Per-thread identity for client delivery threads: credentials of another user for this
// thread only, a read-permission check under them, a working directory of the thread's own,
// and the idle disk I/O class.
//
// Credentials change through raw system calls: the C library's wrappers apply uid, gid and
// group changes to every thread of the process, which would hand one client's identity to
// the whole daemon.
#pragma once

#include <cstdint>

// Takes on uid, gid and the groups of user_name (only gid when user_name is null) for
// permission checks made by the calling thread. 0 or an errno value; on failure the thread
// keeps its earlier identity.
int thread_set_credentials(uint32_t uid, uint32_t gid, const char* user_name);

// Returns the calling thread to the daemon's own identity. 0 or an errno value.
int thread_restore_credentials();

// Whether the calling thread, with its current credentials, may read path without following
// a final symbolic link. 0, or the errno value of the refusal.
int thread_may_read(const char* path);

// Gives the calling thread a working directory of its own (first call only) and moves it to
// dir. 0 or an errno value.
int thread_chdir(const char* dir);

// thread_chdir with the daemon's own rights for the look-up of dir, whatever credentials the
// thread has taken on; they are in force again afterwards. 0 or an errno value.
int thread_chdir_as_daemon(const char* dir);

// Puts the calling thread's disk I/O in the idle class. 0 or an errno value.
int thread_set_io_idle();
