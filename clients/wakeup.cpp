// Wake-ups of client delivery threads: the latency pass (when a client's events are due, and
// how long the event thread may sleep), the flush request, the push of the disk logger, and
// the restart of a delivery thread that ended idle.
#include "clients/wakeup.h"

#include "clients/client_info.h"
#include "clients/client_loop.h"
#include "clients/client_tables.h"
#include "common/log.h"
#include "common/thread_role.h"
#include "common/vantle_assert.h"
#include "intake/event_flags.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

constexpr uint64_t WAKEUP_MIN_WINDOW_LATENCY = 1000;  // µs; below it no new window starts
constexpr int WAKEUP_FLUSH_ATTEMPTS = 10;

// Under fci->lock: restarts an idle-exited thread and notes the wake-up in wake_pending, which
// keeps it for a thread that is busy right now. The caller signals fci->cond.
void note_wake_locked(client_info* fci) {
    uint32_t flags = fci->flags.load(std::memory_order_acquire);
    if (flags & CLIENT_THREAD_EXITED) {
        VANTLE_ASSERT(!(fci->flags & CLIENT_IS_INTERNAL));
        fci->flags.fetch_and(~CLIENT_THREAD_EXITED, std::memory_order_acq_rel);
        int err = start_client_thread(fci);
        if (err != 0) {
            // Leave the flag set so that the next wake-up tries again.
            fci->flags.fetch_or(CLIENT_THREAD_EXITED, std::memory_order_acq_rel);
            log_critical("client_wakeup: could not restart the thread of client %p (%d)",
                         static_cast<void*>(fci), err);
        }
    }
    fci->wake_pending = 1;
}

void wake_locked(client_info* fci) {
    note_wake_locked(fci);
    pthread_cond_signal(&fci->cond);
}

// The latency pass's wake-up. The signal follows the unlock, so that the woken thread does not
// find the lock held and sleep on it once more; the thread waits under the lock, so it sees
// wake_pending or is waiting by then. The client cannot be freed meanwhile: the pass counts
// as a walker.
void wake_from_pass(client_info* fci) {
    pthread_mutex_lock(&fci->lock);
    note_wake_locked(fci);
    pthread_mutex_unlock(&fci->lock);
    pthread_cond_signal(&fci->cond);
}

}  // namespace

void client_wakeup(client_info* fci) {
    pthread_mutex_lock(&fci->lock);
    wake_locked(fci);
    pthread_mutex_unlock(&fci->lock);
}

uint64_t latency_pass(const struct timeval* now) {
    VANTLE_ASSERT_THREAD(THREAD_ROLE_EVENT);
    uint64_t t = (uint64_t)now->tv_sec * 1000000u + (uint64_t)now->tv_usec;
    uint64_t due = 0;
    clients.client_map_walkers.fetch_add(1, std::memory_order_seq_cst);
    for (auto& slot : clients.client_table) {
        client_info* fci = slot.load(std::memory_order_acquire);
        if (!fci) {
            continue;
        }
        uint32_t flags = fci->flags.load(std::memory_order_acquire);
        if (flags & CLIENT_GOING_AWAY) {
            continue;
        }
        uint32_t pending = client_num_pending(fci);
        bool restart_window = false;
        if (!(flags & CLIENT_NO_DEFER)) {
            // A quiet client starts a new window now, so its first event waits one latency.
            restart_window = fci->last_wake == 0 || (fci->latency >= WAKEUP_MIN_WINDOW_LATENCY &&
                                                     t - fci->last_wake >= 2 * fci->latency);
        }
        if (restart_window) {
            fci->last_wake = t;
        } else if (t - fci->last_wake >= fci->latency || pending > fci->backlog.limits.wake) {
            if (pending != 0) {
                fci->last_wake = t;
                if (!client_deliver_now(fci)) {
                    wake_from_pass(fci);
                }
            }
            continue;
        }
        if (pending == 0) {
            continue;
        }
        // At least 1: 0 means that nobody is due, and a client of latency 0 whose window
        // opens now is due at once.
        uint64_t remaining = std::max<uint64_t>(fci->last_wake + fci->latency - t, 1);
        if (due == 0 || remaining < due) {
            due = remaining;
        }
    }
    clients.client_map_walkers.fetch_sub(1, std::memory_order_seq_cst);
    return due;
}

void client_try_wakeup(clientp* cp, uint64_t* out) {
    if (!wait_for_startup()) {
        return;
    }
    for (int attempt = 0; attempt < WAKEUP_FLUSH_ATTEMPTS; attempt++) {
        pthread_mutex_lock(&clients.clients_lock);
        client_info* fci = nullptr;
        for (auto& slot : clients.client_table) {
            client_info* candidate = slot.load(std::memory_order_acquire);
            if (candidate && candidate->callback_ctx == cp) {
                fci = candidate;
                break;
            }
        }
        if (!fci) {
            pthread_mutex_unlock(&clients.clients_lock);
            return;
        }
        // Never block on a record's lock while holding clients_lock: back off instead.
        if (pthread_mutex_trylock(&fci->lock) == 0) {
            wake_locked(fci);
            pthread_mutex_unlock(&fci->lock);
            *out = fci->last_id_sent.load(std::memory_order_acquire);
            pthread_mutex_unlock(&clients.clients_lock);
            return;
        }
        pthread_mutex_unlock(&clients.clients_lock);
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

void wake_internal_clients() {
    clients.client_map_walkers.fetch_add(1, std::memory_order_seq_cst);
    for (auto& slot : clients.client_table) {
        client_info* fci = slot.load(std::memory_order_acquire);
        if (!fci) {
            continue;
        }
        uint32_t flags = fci->flags.load(std::memory_order_acquire);
        if ((flags & CLIENT_IS_INTERNAL) && !(flags & CLIENT_GOING_AWAY)) {
            client_wakeup(fci);
        }
    }
    clients.client_map_walkers.fetch_sub(1, std::memory_order_seq_cst);
}
