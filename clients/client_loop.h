// The delivery thread of one client: takes what is pending in its backlog, orders it by id,
// filters it by the client user's read permission and the excluded paths, hands it to the
// client's callback in batches, sends the notices it owes, ends when idle and tears the
// client down when it goes away.
#pragma once

#include <atomic>
#include <cstdint>

struct client_info;

// At most this many events per callback.
constexpr int CLIENT_BATCH_MAX = 32;
// A registered client's thread ends after this many idle seconds.
constexpr int CLIENT_IDLE_SECONDS = 15;

// An internal client's thread never ends idle; after every wake-up, and at least every
// CLIENT_INTERNAL_TICK_SECONDS, it calls clients.internal_client_tick (when set).
constexpr int CLIENT_INTERNAL_TICK_SECONDS = 2;

// Thread entry (detached); arg is the client_info.
void* client_loop(void* arg);

// Starts a detached client_loop thread for fci. 0 or an errno value.
int start_client_thread(client_info* fci);

// One cycle of taking the backlog off. 0, the callback's errno value that ended the cycle (a
// batch that timed out or found no buffer, ETIMEDOUT or ENOBUFS, ends it with 0), or ENOMEM.
int32_t client_process_events(client_info* fci);

// At most this many pending events go out on the event thread (client_deliver_now).
constexpr uint32_t CLIENT_DELIVER_NOW_MAX = 16;

// On the event thread, for a client whose events are due: sends them right here when that
// costs no wait, which saves the wake-up of its delivery thread (tens of microseconds on an
// idle processor). Only for a started client of root that asked for no delay (no-defer or
// latency 0) whose delivery thread is waiting, owes no notice and has at most
// CLIENT_DELIVER_NOW_MAX events pending, and only when the client's socket takes the message
// at once. True when they went out (or were all
// filtered out); false leaves the backlog as it was, for the delivery thread.
bool client_deliver_now(client_info* fci);

// Makes the mount point of the client's volume the calling thread's own working directory,
// looked up with the daemon's rights. 0, ENOENT (no such volume), ENODEV (the mount point
// shows another volume now: it was unmounted; the thread is then back at "/") or another
// errno value.
int chdir_to_volume(const client_info* fci);
