// Fuzz target for the kernel record decoder: the input is one control byte, then a stretch of
// kernel records. The control byte picks the starting event id (near the wrap or not) and
// whether record flag 0x2000 counts. The stretch is decoded from a heap copy of exactly its
// length, so ASan sees any read outside it; the sink checks what it is given and feeds it to
// the event table as routing would, which the run sweeps clean after each input.
#include "clients/client_tables.h"
#include "clients/event_table.h"
#include "common/crc.h"
#include "intake/decode.h"
#include "intake/event_ids.h"
#include "intake/intake_state.h"

#include <syslog.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t FUZZ_NEAR_WRAP = 0x1;
constexpr uint8_t FUZZ_EXTENDED_INFO = 0x2;

uint64_t last_id;
bool first_event;

void checking_sink(event_table* table, int32_t pid, uint32_t dev, char* path, uint32_t path_length,
                   uint32_t dir_length, uint32_t flags, uint64_t id) {
    // Ids strictly increase from event to event, except across the wrap to 0.
    if (!first_event && id <= last_id && last_id != 0xFFFFFFFFFFFFFFFFull)
        abort();
    first_event = false;
    last_id = id;
    if (path[0] != '/' || strlen(path) + 1 != path_length)
        abort();
    if (dir_length < 2 || dir_length > path_length)
        abort();
    if (dir_length < path_length && path[dir_length - 2] != '/')
        abort();  // the directory part ends at a slash
    // As routing does for a directory-level client: cut, add, restore.
    char saved = path[dir_length - 1];
    path[dir_length - 1] = '\0';
    event_record* parent = add_event(table, pid, dev, path, flags & DIRECTORY_EVENT_MASK, id);
    path[dir_length - 1] = saved;
    event_record* record = add_event(table, pid, dev, path, flags, id);
    if (!record || !parent)
        abort();
    remove_event_ref(record);
    remove_event_ref(parent);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        setlogmask(LOG_MASK(LOG_EMERG));
        return event_table_init(&clients.intake_event_table, EVENT_TABLE_INITIAL_BUCKETS) == 0;
    }();
    if (!ready)
        abort();
    if (size == 0)
        return 0;

    uint8_t control = data[0];
    publish_event_id(control & FUZZ_NEAR_WRAP ? 0xFFFFFFFFFFFFFFF0ull : 1000);
    intake.kernel_extended_info = control & FUZZ_EXTENDED_INFO ? 1 : 0;
    first_event = true;
    size--;
    auto* stretch = static_cast<uint8_t*>(malloc(size ? size : 1));
    memcpy(stretch, data + 1, size);
    decode_kernel_records(stretch, uint32_t(size), &clients.intake_event_table, checking_sink);
    free(stretch);

    // Every record was released: a full pass of sweeps empties the table.
    for (uint32_t i = 0; i <= clients.intake_event_table.mask / EVENT_TABLE_SWEEP_BUCKETS; i++)
        sweep_event_table(&clients.intake_event_table);
    if (clients.intake_event_table.filled != 0)
        abort();
    return 0;
}
