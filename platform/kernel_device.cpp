// The kernel event device: handles, clone, control requests, read and close.
//
// Every handle is an eventfd registered in a small fixed table of slots. An opened device is
// only good for the clone request; a clone owns a source (fanotify or record stream). Linux
// does not wake a thread blocked on a descriptor that another thread closes, so a read polls
// the source beside the clone's eventfd, and closing a clone only marks the slot closing,
// writes the eventfd and marks it closed: all async-signal-safe, no locks, no allocation.
// The read that sees the mark waits for the closer to finish, releases the source, the
// eventfd and the slot, and fails with EBADF, as does every read after it. Slots are found by
// a lock-free scan; taking a free slot is serialised by a mutex (never taken in a handler).
#include "platform/kernel_device.h"

#include "common/poll_until.h"
#include "platform/kernel_records.h"
#include "platform/kernel_source.h"

#include <sched.h>
#include <sys/eventfd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace {

constexpr int KDEV_MAX_SLOTS = 32;
constexpr unsigned KDEV_SYNC_POLL_US = 500;

constexpr uint32_t KDEV_OPENED = 0x1;   // opened device, waiting for the clone request
constexpr uint32_t KDEV_CLONE = 0x2;    // clone with a source
constexpr uint32_t KDEV_CLOSING = 0x4;  // close started: no new use
constexpr uint32_t KDEV_CLOSED = 0x8;   // closer finished with the eventfd

struct device_slot {
    std::atomic<int> fd{-1};          // the handle; -1 when the slot is free
    std::atomic<uint32_t> state{0};   // KDEV_*
    char stream_path[4096];           // opened device: record stream path, "" for fanotify
    kernel_source* source = nullptr;  // clone: owned, released by the read that sees it closed
    // Fills are numbered as they start; empty_fill is the number of the latest that found
    // nothing to hand out. A sync waits for an empty fill that started after it. kickers
    // counts syncs writing the eventfd: it is closed only when none does.
    std::atomic<uint64_t> fills{0};
    std::atomic<uint64_t> empty_fill{0};
    std::atomic<int> kickers{0};
    std::atomic<uint32_t> markers{0};  // sync markers made (kernel_device_mark)
};

// Every open device and clone; descriptors map to slots by find_slot.
struct device_slots {
    device_slot slots[KDEV_MAX_SLOTS];
    std::mutex slot_lock;  // serialises taking a free slot
};
device_slots g_devices;

device_slot* find_slot(int fd) {
    if (fd < 0)
        return nullptr;
    for (auto& slot : g_devices.slots) {
        if (slot.fd.load(std::memory_order_acquire) == fd)
            return &slot;
    }
    return nullptr;
}

// Registers a new eventfd handle with state. 0 or errno.
int take_slot(uint32_t state, device_slot** out) {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0)
        return errno;
    std::lock_guard<std::mutex> hold(g_devices.slot_lock);
    for (auto& slot : g_devices.slots) {
        if (slot.fd.load(std::memory_order_acquire) == -1) {
            slot.state.store(state, std::memory_order_relaxed);
            slot.stream_path[0] = 0;
            slot.source = nullptr;
            slot.fd.store(fd, std::memory_order_release);
            *out = &slot;
            return 0;
        }
    }
    close(fd);
    return EMFILE;
}

void free_slot(device_slot* slot) {
    int fd = slot->fd.load(std::memory_order_acquire);
    slot->state.store(0, std::memory_order_relaxed);
    slot->fd.store(-1, std::memory_order_release);
    close(fd);
}

// The clone was closed: wait for the closer to finish, release everything (once).
void release_clone(device_slot* slot) {
    while (!(slot->state.load(std::memory_order_acquire) & KDEV_CLOSED) ||
           slot->kickers.load() != 0)
        sched_yield();
    uint32_t state = slot->state.fetch_and(~KDEV_CLONE, std::memory_order_acq_rel);
    if (!(state & KDEV_CLONE))
        return;  // another reader released it
    kernel_source* src = slot->source;
    slot->source = nullptr;
    if (src)
        src->ops->destroy(src);
    free_slot(slot);
}

int do_clone(device_slot* opened, const krec_clone_args* args) {
    if (!args || !args->actions || !args->fd_out || args->num_types < 0)
        return EINVAL;
    uint32_t types = 0;
    for (int i = 0; i < args->num_types && i < KREC_NUM_TYPES; i++) {
        if (args->actions[i] == KREC_ACTION_REPORT)
            types |= 1u << i;
    }
    kernel_source* src = nullptr;
    int err = opened->stream_path[0] ? stream_source_create(opened->stream_path, &src)
                                     : fanotify_source_create(types, &src);
    if (err)
        return err;
    device_slot* clone = nullptr;
    err = take_slot(KDEV_CLONE, &clone);
    if (err) {
        src->ops->destroy(src);
        return err;
    }
    clone->source = src;
    *args->fd_out = clone->fd.load(std::memory_order_relaxed);
    return 0;
}

}  // namespace

int kernel_device_open(int* fd_out) {
    const char* path = getenv("VANTLESD_DEVICE");
    return kernel_device_open_source(path && path[0] ? path : nullptr, fd_out);
}

int kernel_device_open_source(const char* stream_path, int* fd_out) {
    if (stream_path && strlen(stream_path) >= sizeof(g_devices.slots[0].stream_path))
        return ENAMETOOLONG;
    device_slot* slot = nullptr;
    int err = take_slot(KDEV_OPENED, &slot);
    if (err)
        return err;
    if (stream_path)
        strcpy(slot->stream_path, stream_path);
    *fd_out = slot->fd.load(std::memory_order_relaxed);
    return 0;
}

int kernel_device_ioctl(int fd, unsigned long request, void* arg) {
    device_slot* slot = find_slot(fd);
    if (!slot)
        return EBADF;
    uint32_t state = slot->state.load(std::memory_order_acquire);
    if (state & KDEV_CLOSING)
        return EBADF;
    switch (request) {
        case KREC_IOC_CLONE:
            if (!(state & KDEV_OPENED))
                return EINVAL;
            return do_clone(slot, static_cast<const krec_clone_args*>(arg));
        case KREC_IOC_COMPACT:  // our records are always compact
            return (state & KDEV_CLONE) ? 0 : EINVAL;
        case KREC_IOC_EXTENDED_INFO:
            if (!(state & KDEV_CLONE))
                return EINVAL;
            slot->source->extended_info = true;
            return 0;
        default:
            return ENOTTY;
    }
}

ssize_t kernel_device_read(int fd, void* buf, size_t size) {
    device_slot* slot = find_slot(fd);
    if (!slot) {
        errno = EBADF;
        return -1;
    }
    uint32_t state = slot->state.load(std::memory_order_acquire);
    if (!(state & KDEV_CLONE) || size < KREC_DROPPED_SIZE) {
        errno = (state & KDEV_CLOSING) ? EBADF : EINVAL;
        if (state & KDEV_CLOSING)
            release_clone(slot);
        return -1;
    }
    kernel_source* src = slot->source;
    for (;;) {
        if (slot->state.load(std::memory_order_acquire) & KDEV_CLOSING) {
            // What the source already holds, and what the kernel has queued for it by now
            // (a bounded number of reads, see KSRC_DRAIN_READS), is still handed out before
            // the close takes effect.
            src->draining = true;
            src->drain_fills++;
            size_t produced = 0;
            if (src->ops->fill(src, static_cast<char*>(buf), size, &produced) == 0 && produced > 0)
                return static_cast<ssize_t>(produced);
            release_clone(slot);
            errno = EBADF;
            return -1;
        }
        size_t produced = 0;
        uint64_t number = slot->fills.fetch_add(1) + 1;
        int err = src->ops->fill(src, static_cast<char*>(buf), size, &produced);
        if (err == 0)
            return static_cast<ssize_t>(produced);
        if (err != EAGAIN) {
            errno = err;
            return -1;
        }
        slot->empty_fill.store(number);
        err = src->ops->wait(src, fd);
        if (err != 0) {
            errno = err;
            return -1;
        }
        uint64_t kicks;  // a sync's wake-up; a close is seen by its state at the loop's top
        ssize_t ignored = read(fd, &kicks, sizeof kicks);
        (void)ignored;
    }
}

int kernel_device_sync(int fd, int timeout_ms) {
    device_slot* slot = find_slot(fd);
    if (!slot)
        return EBADF;
    uint64_t started = slot->fills.load();
    // Seen by release_clone before it closes the eventfd, or this sees the close coming.
    slot->kickers.fetch_add(1);
    uint32_t state = slot->state.load();
    if (!(state & KDEV_CLONE) || (state & KDEV_CLOSING)) {
        slot->kickers.fetch_sub(1);
        return EBADF;
    }
    uint64_t one = 1;
    ssize_t ignored = write(fd, &one, sizeof one);
    (void)ignored;
    slot->kickers.fetch_sub(1);
    bool dry = poll_until([&] { return slot->empty_fill.load() > started; }, timeout_ms,
                          KDEV_SYNC_POLL_US);
    return dry ? 0 : ETIMEDOUT;
}

int kernel_device_mark(int fd, uint32_t* number) {
    device_slot* slot = find_slot(fd);
    if (!slot)
        return EBADF;
    // As a sync: seen by release_clone before it destroys the source, or this sees the close.
    slot->kickers.fetch_add(1);
    uint32_t state = slot->state.load();
    int err = EBADF;
    if ((state & KDEV_CLONE) && !(state & KDEV_CLOSING)) {
        const kernel_source* src = slot->source;
        *number = slot->markers.fetch_add(1) + 1;
        err = src->ops->mark ? src->ops->mark(src, *number) : ENOTSUP;
    }
    slot->kickers.fetch_sub(1);
    return err;
}

int kernel_device_watch_dir(int fd, const char* path, uint32_t dev, bool add) {
    device_slot* slot = find_slot(fd);
    if (!slot)
        return EBADF;
    slot->kickers.fetch_add(1);  // as a mark: the source outlives the call
    uint32_t state = slot->state.load();
    int err = EBADF;
    if ((state & KDEV_CLONE) && !(state & KDEV_CLOSING)) {
        kernel_source* src = slot->source;
        err = src->ops->watch_dir ? src->ops->watch_dir(src, path, dev, add) : ENOTSUP;
    }
    slot->kickers.fetch_sub(1);
    return err;
}

int kernel_device_close(int fd) {
    device_slot* slot = find_slot(fd);
    if (!slot)
        return EBADF;
    // Sequentially consistent, like the syncs' count of kickers: a sync either sees the close
    // or is seen by release_clone.
    uint32_t state = slot->state.fetch_or(KDEV_CLOSING);
    if (state & KDEV_CLOSING)
        return EBADF;
    if (state & KDEV_OPENED) {
        free_slot(slot);  // nobody reads an opened device
        return 0;
    }
    uint64_t one = 1;
    ssize_t ignored = write(fd, &one, sizeof one);  // wakes a blocked read
    (void)ignored;
    slot->state.fetch_or(KDEV_CLOSED, std::memory_order_release);
    return 0;
}
