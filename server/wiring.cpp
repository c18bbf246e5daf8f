// Connecting the layers at start-up (see wiring.h).
#include "server/wiring.h"

#include "clients/client_info.h"
#include "clients/client_tables.h"
#include "clients/internal_clients.h"
#include "clients/route.h"
#include "clients/wakeup.h"
#include "diag/state_dump.h"
#include "history/disk_logger.h"
#include "history/dls.h"
#include "intake/event_thread.h"
#include "intake/intake_state.h"
#include "volumes/dev_info.h"

namespace {

// Every history gets its last flush; the root volume's state goes last with the rest.
void close_histories() {
    if (histories.global_dls) {
        histories.global_dls->fci.store(nullptr, std::memory_order_release);
    }
    iterate_devices(cleanup_dls, nullptr);
    histories.global_dls = nullptr;
}

}  // namespace

void connect_layers() {
    intake.event_thread_upcalls = {
        .start_state_dump = [] { state_dump_start(); },
        .reset_clients =
            [] {
                event_table_init(&clients.intake_event_table, EVENT_TABLE_INITIAL_BUCKETS);
                clear_client_tables();
            },
        .on_logged_volume = create_dls,
        .history_ready = [] { return histories.global_dls != nullptr; },
        .start_internal_clients = start_disk_logger,
        .sink = route_event,
        .table = &clients.intake_event_table,
        .sweep = sweep_event_table,
        .latency_pass = latency_pass,
        .wake_internal_clients = wake_internal_clients,
        .count_clients = [] { return clients.num_clients.load(); },
        .count_internal_clients = [] { return clients.num_internal_clients.load(); },
        .close_histories = close_histories,
    };
}
