// The table of marked processes: clients registered to see their own events flagged. The
// event table keeps such a process's events in records of their own (see add_event).
#include "clients/client_tables.h"
#include "clients/marked_pids.h"

#include <mutex>

void marked_pids_add(int32_t pid) {
    if (pid <= 0) {
        return;
    }
    std::lock_guard<std::mutex> guard(clients.marked_pids_lock);
    for (int32_t& slot : clients.marked_pids) {
        if (slot == 0) {
            slot = pid;
            return;
        }
    }
    // Every slot taken: the pid is simply not marked.
}

void marked_pids_remove(int32_t pid) {
    if (pid <= 0) {
        return;
    }
    std::lock_guard<std::mutex> guard(clients.marked_pids_lock);
    for (int32_t& slot : clients.marked_pids) {
        if (slot == pid) {
            slot = 0;
            return;
        }
    }
}

bool is_marked_pid(int32_t pid) {
    if (pid <= 0) {
        return false;
    }
    std::lock_guard<std::mutex> guard(clients.marked_pids_lock);
    for (int32_t slot : clients.marked_pids) {
        if (slot == pid) {
            return true;
        }
    }
    return false;
}
