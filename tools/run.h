// What the files of `vantles run` share: its state file (the last event id handed to the
// command, and the history uuid of each watched path's volume) and the start of one run of
// the command.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct run_state {
    uint64_t id = 0;                 // every change up to this id was handed to a run
    std::vector<std::string> uuids;  // one per watched path, in command-line order
};

// Reads a state file. 0, ENOENT (there is none yet), EINVAL (not a state file, or damaged) or
// the errno value of reading it.
int run_state_read(const char* file, run_state* out);

// Replaces the state file by a new one (written beside it, then renamed over it, so that a
// crash leaves the old state or the new one). 0 or an errno value.
int run_state_write(const char* file, const run_state& state);

// What one run of the command gets: the changed paths (on standard input, one a line or each
// ended by NUL) and their count in VANTLES_CHANGES; a rescan gets no list and VANTLES_RESCAN=1.
struct run_input {
    std::vector<std::string> paths;
    bool rescan = false;
    bool nul = false;
};

// Starts command (argv-style, null-terminated) with input, as the leader of a new process
// group. *pid: the child (and the group's id). 0 or an errno value.
int run_child_start(std::span<char* const> command, const run_input& input, pid_t* pid);

// Sends signal to the process group, and SIGKILL to what is left of it after grace_ms.
void run_group_stop(pid_t group, int signal, int grace_ms);

// The git work trees holding the watched paths, whose ignored files no run is for.
struct run_vcs {
    std::vector<std::string> tops;  // their top directories
};

// Finds the work tree of each watched path (none without git, or outside a work tree).
void run_vcs_open(const std::vector<std::string>& watched, run_vcs* vcs);

// Takes out of paths those git ignores in those work trees, and those in their .git
// directories.
void run_vcs_drop_ignored(const run_vcs& vcs, std::vector<std::string>* paths);
