// Copying a history's pending names into one log buffer (see pending_names.h), sized from the
// table's counts and filled in path order by the log buffer builder.
//
// Lock order: the caller's state->lock (read), then fname_lock (read).
#include "history/pending_names.h"

#include "common/log.h"
#include "history/dls.h"
#include "history/fname_table.h"
#include "history/log_buffer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

struct pending_copy {
    log_buffer_builder buffer;
    bool cut;  // a name found no room: the counts and the table disagree
};

int append_pending(fname_entry* e, void* arg) {
    auto* copy = static_cast<pending_copy*>(arg);
    uint32_t length = (uint32_t)strlen(e->name);
    copy->cut = log_buffer_append_name(&copy->buffer, e->name, length, e->event_id, e->flags) != 0;
    return copy->cut ? 1 : 0;
}

// The copy, made while the caller holds fname_lock for reading.
int copy_held(dls* state, uint8_t** page, uint32_t* length) {
    uint32_t names = state->fname_count;
    if (names == 0) {
        return 0;
    }
    uint64_t name_bytes = state->fname_bytes;  // each name's bytes and its NUL
    // The header, every record, and the byte the builder never fills.
    uint64_t capacity =
        DISK_LOG_HEADER_SIZE + (uint64_t)names * DISK_LOG_RECORD_TAIL + name_bytes + 1;
    if (capacity > UINT32_MAX) {
        log_critical("in mem disk log size is bad: 0x%zx (string size: %d num items %d)\n",
                     (size_t)capacity, (int)name_bytes, (int)names);
        return EFBIG;
    }
    auto* area = static_cast<uint8_t*>(malloc(capacity));
    if (!area) {
        return ENOMEM;
    }
    pending_copy copy = {{}, false};
    log_buffer_start(&copy.buffer, area, (uint32_t)capacity);
    iterate_fnames_sorted(state, append_pending, &copy);
    *length = log_buffer_finish_unsealed(&copy.buffer);
    *page = area;
    if (copy.cut) {
        log_critical("pending names of %s do not fit their counted size", state->log_dir);
        return EFBIG;
    }
    return 0;
}

}  // namespace

int copy_pending_names(dls* state, uint8_t** page, uint32_t* length) {
    *page = nullptr;
    *length = 0;
    // Sized and filled under one hold of fname_lock. The disk logger files names at any time:
    // a copy sized before some came in would run out of room at the names last in path order,
    // and lose them without a word.
    pthread_rwlock_rdlock(&state->fname_lock);
    int err = copy_held(state, page, length);
    pthread_rwlock_unlock(&state->fname_lock);
    return err;
}
