// Copying a history's pending names into one log buffer (see pending_names.h), sized from the
// table's counts and filled in path order by the log buffer builder.
//
// Lock order: the caller's state->lock (read), then fname_lock (read).
#include "history/pending_names.h"

#include "common/log.h"
#include "history/dls.h"
#include "history/fname_table.h"
#include "history/log_buffer.h"

#include <cstdlib>
#include <cstring>

namespace {

// Room in the copy beyond the names counted: the table may grow between the count and the copy.
constexpr uint64_t PENDING_NAMES_SLACK = 4096;

// Stops the walk (1) once the buffer is full.
int append_pending(fname_entry* e, void* arg) {
    auto* b = static_cast<log_buffer_builder*>(arg);
    uint32_t length = (uint32_t)strlen(e->name);
    return log_buffer_append_name(b, e->name, length, e->event_id, e->flags) == 0 ? 0 : 1;
}

}  // namespace

uint8_t* copy_pending_names(dls* state, uint32_t* length) {
    pthread_rwlock_rdlock(&state->fname_lock);
    uint32_t names = state->fname_count;
    uint64_t name_bytes = state->fname_bytes;
    pthread_rwlock_unlock(&state->fname_lock);
    if (names == 0) {
        return nullptr;
    }
    uint64_t capacity = (uint64_t)names * DISK_LOG_RECORD_TAIL + name_bytes + PENDING_NAMES_SLACK;
    if ((int64_t)capacity < 0 || capacity > UINT32_MAX) {
        log_critical("in mem disk log size is bad: 0x%zx (string size: %d num items %d)\n",
                     (size_t)capacity, (int)name_bytes, (int)names);
        return nullptr;
    }
    auto* area = static_cast<uint8_t*>(malloc(capacity));
    if (!area) {
        return nullptr;
    }
    log_buffer_builder b;
    log_buffer_start(&b, area, (uint32_t)capacity);
    iterate_fnames_sorted(state, append_pending, &b);
    *length = log_buffer_finish_unsealed(&b);
    return area;
}
