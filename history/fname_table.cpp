// The pending-name table of a volume's history: insertion with growth, sorted iteration and
// clearing. Entries are single heap blocks (header and name); a bucket's chain is doubly
// linked through prev_link so that an entry can be unlinked without walking its bucket.
#include "history/fname_table.h"

#include "common/buckets.h"
#include "common/crc.h"
#include "common/log.h"
#include "common/vantle_assert.h"
#include "history/dls.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

uint32_t bucket_of(const dls* state, const char* name) {
    return log_checksum(name, 0) & state->fname_mask;
}

void link_at_head(fname_entry** slot, fname_entry* e) {
    e->next = *slot;
    e->prev_link = slot;
    if (*slot) {
        (*slot)->prev_link = &e->next;
    }
    *slot = e;
}

// Doubles the bucket array when three quarters of the buckets hold entries. Runs on the only
// writer's thread; the readers are kept out by fname_lock while entries move.
void maybe_grow(dls* state) {
    if ((uint64_t)state->fname_filled * 4 < (uint64_t)state->fname_mask * 3 + 3) {
        return;
    }
    uint32_t wanted = 2 * (state->fname_mask + 1);
    if (wanted >= FNAME_MAX_BUCKETS) {
        if (!state->fname_too_large) {
            log_critical("fname table has grown too large. (filled %d / mask 0x%x)\n",
                         (int)state->fname_filled, state->fname_mask);
            state->fname_too_large = 1;
        }
        return;
    }
    uint32_t mask = 0;
    auto** fresh = reinterpret_cast<fname_entry**>(alloc_buckets(wanted, &mask));
    if (!fresh) {
        log_critical("failed to resize the hash table.");
        return;
    }
    pthread_rwlock_wrlock(&state->fname_lock);
    fname_entry** old = state->fname_buckets;
    uint32_t old_count = state->fname_mask + 1;
    state->fname_buckets = fresh;
    state->fname_mask = mask;
    state->fname_filled = 0;
    for (uint32_t b = 0; b < old_count; b++) {
        fname_entry* e = old[b];
        while (e) {
            fname_entry* next = e->next;
            fname_entry** slot = &fresh[bucket_of(state, e->name)];
            if (!*slot) {
                state->fname_filled++;
                if (state->fname_filled > state->fname_mask) {
                    log_critical("fname table is screwed up! filled buckets %u / table_mask %u)",
                                 state->fname_filled, state->fname_mask);
                    vantle_assert_fail(__func__, "fname_filled <= fname_mask");
                }
            }
            link_at_head(slot, e);
            e = next;
        }
    }
    pthread_rwlock_unlock(&state->fname_lock);
    free(old);
}

}  // namespace

bool fname_record(dls* state, const char* name, uint32_t len, uint64_t id, uint32_t flags) {
    if (len == 0) {
        return false;
    }
    maybe_grow(state);

    pthread_rwlock_wrlock(&state->fname_lock);
    fname_entry** slot = &state->fname_buckets[bucket_of(state, name)];
    fname_entry* found = nullptr;
    for (fname_entry* e = *slot; e; e = e->next) {
        // The length first: an entry's block ends at its name's NUL, so comparing len - 1
        // bytes of a shorter name would read past the block.
        if (strnlen(e->name, len) == len - 1 && memcmp(e->name, name, len - 1) == 0) {
            found = e;
            break;
        }
    }
    if (!found) {
        found = static_cast<fname_entry*>(malloc(sizeof(fname_entry) + len));
        if (!found) {
            pthread_rwlock_unlock(&state->fname_lock);
            return false;
        }
        state->fname_count++;
        found->flags = 0;
        memcpy(found->name, name, len - 1);
        found->name[len - 1] = '\0';
        if (!*slot) {
            state->fname_filled++;
        }
        state->fname_bytes += len;
        link_at_head(slot, found);
    }
    // Still under the lock: a reader copying the table sees each entry whole.
    found->event_id = id;
    found->flags |= flags;
    pthread_rwlock_unlock(&state->fname_lock);
    return true;
}

namespace {

// The entries in ascending strcmp order of their names, in a new array (*n of them), taken
// under fname_lock for reading; null without entries or memory.
fname_entry** sorted_entries(dls* state, uint32_t* n) {
    *n = 0;
    pthread_rwlock_rdlock(&state->fname_lock);
    uint32_t count = state->fname_count;
    auto** entries =
        count ? static_cast<fname_entry**>(malloc(count * sizeof(fname_entry*))) : nullptr;
    for (uint32_t b = 0; entries && b <= state->fname_mask && *n < count; b++) {
        for (fname_entry* e = state->fname_buckets[b]; e && *n < count; e = e->next) {
            entries[(*n)++] = e;
        }
    }
    pthread_rwlock_unlock(&state->fname_lock);
    std::sort(entries, entries + *n, [](const fname_entry* a, const fname_entry* b) {
        return strcmp(a->name, b->name) < 0;
    });
    return entries;
}

}  // namespace

void iterate_fnames_sorted(dls* state, int (*cb)(fname_entry* e, void* arg), void* arg) {
    // Held across the callbacks too: the writer must not change or free an entry meanwhile.
    pthread_rwlock_rdlock(&state->fname_lock);
    uint32_t n = 0;
    fname_entry** entries = sorted_entries(state, &n);
    for (uint32_t i = 0; i < n; i++) {
        if (cb(entries[i], arg) != 0) {
            break;
        }
    }
    pthread_rwlock_unlock(&state->fname_lock);
    free(entries);
}

void iterate_own_fnames_sorted(dls* state, int (*cb)(fname_entry* e, void* arg), void* arg) {
    uint32_t n = 0;
    fname_entry** entries = sorted_entries(state, &n);
    for (uint32_t i = 0; i < n; i++) {
        if (cb(entries[i], arg) != 0) {
            break;
        }
    }
    free(entries);
}

void clear_fname_table(dls* state) {
    pthread_rwlock_wrlock(&state->fname_lock);
    for (uint32_t b = 0; b <= state->fname_mask; b++) {
        fname_entry* e = state->fname_buckets[b];
        while (e) {
            fname_entry* next = e->next;
            free(e);
            e = next;
        }
        state->fname_buckets[b] = nullptr;
    }
    state->fname_filled = 0;
    state->fname_count = 0;
    state->fname_bytes = 0;
    pthread_rwlock_unlock(&state->fname_lock);
}
