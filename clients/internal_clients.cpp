// The daemon's internal clients (see internal_clients.h).
#include "clients/internal_clients.h"

#include "clients/client_info.h"
#include "clients/client_loop.h"
#include "clients/client_tables.h"
#include "common/log.h"
#include "history/disk_logger.h"
#include "history/dls.h"

#include <unistd.h>

#include <cerrno>

int start_disk_logger() {
    if (prepare_disk_logger() != 0) {
        return EINVAL;
    }
    const char* paths[] = {"/"};
    // The disk logger's backlog is bounded by a count of events, and it is woken when half of
    // them are pending.
    const uint32_t queue = histories.global_dls->logger_queue_size;
    const backlog_limits backlog{queue, UINT64_MAX, queue / 2, nullptr};
    client_info* fci = nullptr;
    int err = create_client_info((uint32_t)getpid(), 0, paths, 1, nullptr, 0,
                                 DISK_LOGGER_LATENCY_US, backlog, EVENT_ID_WRAP, CLIENT_FILE_EVENTS,
                                 add_fname, histories.global_dls, 0, 0, &fci);
    if (err != 0 || !fci) {
        log_critical("Failed to create disk logger client.");
        return EINVAL;
    }
    fci->flags.fetch_or(CLIENT_IS_INTERNAL, std::memory_order_acq_rel);
    clients.num_internal_clients.fetch_add(1, std::memory_order_acq_rel);
    clients.num_clients.fetch_add(1, std::memory_order_acq_rel);
    attach_disk_logger(fci);
    clients.internal_client_tick = [](client_info* logger) {
        disk_logger_tick(client_num_pending(logger) == 0);
    };
    if (start_client_thread(fci) != 0) {
        log_critical("Failed to create disk logger client.");
        return EINVAL;
    }
    disk_logger_running();
    return 0;
}
