// The state dump. It holds clients_lock throughout, so no client is added or torn down while
// it walks the table, but it takes no record's own lock: flags, since-when and the backlog's
// figures may be read while a delivery thread changes them, which is fine for a diagnostic.
#include "diag/state_dump.h"

#include "clients/client_info.h"
#include "clients/client_tables.h"
#include "clients/event_table.h"
#include "common/log.h"
#include "intake/event_ids.h"
#include "intake/intake_state.h"
#include "platform/process_name.h"
#include "platform/signal_watch.h"

#include <csignal>

void state_dump(int signo) {
    if (signo != SIGUSR1)
        return;
    pthread_mutex_lock(&clients.clients_lock);
    uint64_t current = current_event_id();
    log_critical("vantlesd internal state [num_clients: %d, current_event_id: 0x%llx\n",
                 clients.num_clients.load(), static_cast<unsigned long long>(current));
    for (uint32_t slot = 0; slot < CLIENT_TABLE_SLOTS; slot++) {
        const client_info* fci = clients.client_table[slot].load(std::memory_order_acquire);
        if (!fci)
            continue;
        char name[PROCESS_NAME_BUFFER];
        process_name(static_cast<int32_t>(fci->pid), name, sizeof name);
        uint32_t flags = fci->flags.load(std::memory_order_relaxed);
        if (fci->since_when == EVENT_ID_WRAP) {
            log_critical("\t%s pid %d, flags 0x%x, #paths %d, sinceWhen: Now\n", name, fci->pid,
                         flags, fci->num_paths);
        } else {
            log_critical("\t%s pid %d, flags 0x%x, #paths %d, sinceWhen: 0x%llx [delta: %llu]\n",
                         name, fci->pid, flags, fci->num_paths,
                         static_cast<unsigned long long>(fci->since_when),
                         static_cast<unsigned long long>(current - fci->since_when));
        }
        // What the client has outstanding now, and the most it ever had (records counted in
        // full, as its bound counts them).
        log_critical("\t\tbacklog %u events, %llu bytes, peak %llu bytes\n",
                     client_num_pending(fci),
                     static_cast<unsigned long long>(backlog_bytes(&fci->backlog)),
                     static_cast<unsigned long long>(
                         fci->backlog.peak_bytes.load(std::memory_order_relaxed)));
        for (int32_t i = 0; i < fci->num_paths; i++)
            log_critical("\t\t%d: %s\n", i, fci->paths[i]);
        for (int i = 0; i < CLIENT_EXCLUDED_MAX && fci->excluded[i]; i++)
            log_critical("\t\tExcluded %s\n", fci->excluded[i]);
    }
    // Not part of the client list: events still held for some client, so that an operator
    // (and the tests) can see the table drain once clients have caught up.
    log_critical("\tpending events: %d\n", clients.event_records_referenced.load());
    pthread_mutex_unlock(&clients.clients_lock);
}

int state_dump_start() {
    return signal_watch_start(SIGUSR1, state_dump);
}
