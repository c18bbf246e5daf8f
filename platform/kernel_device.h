// The kernel event device: open, clone, control requests, blocking read of whole records and
// a close that is safe in a signal handler. The calls mirror open/ioctl/read/close on the
// device, and every handle is a real descriptor number (an eventfd owned by the device layer),
// so the daemon keeps it in a plain int such as kernel_fd.
//
// Use: kernel_device_open, then kernel_device_ioctl(KREC_IOC_CLONE) with a krec_clone_args,
// then kernel_device_close on the opened handle; the clone is read with kernel_device_read
// (one reader at a time) and closed with kernel_device_close from any thread or a signal
// handler. A read blocked at that moment, and every later read, fails with EBADF; the clone's
// resources are released by that failing read. Handles are not valid for plain read(2)/close(2).
//
// Sources: with VANTLESD_DEVICE=PATH the clone replays raw records from PATH (a FIFO or a
// file, waiting at its end like a quiet device); otherwise fanotify watches every mounted
// file system (needs CAP_SYS_ADMIN and CAP_DAC_READ_SEARCH).
#pragma once

#include <cstdint>

#include <sys/types.h>

#include <cstddef>

// Opens the device, choosing the source by VANTLESD_DEVICE. *fd_out receives the handle.
// 0 or errno.
int kernel_device_open(int* fd_out);

// Opens the device with an explicit source: stream_path for a record stream, nullptr for
// fanotify. 0 or errno.
int kernel_device_open_source(const char* stream_path, int* fd_out);

// Control request on a handle. KREC_IOC_CLONE on an opened device (arg: krec_clone_args*; the
// clone's handle is stored through fd_out); KREC_IOC_COMPACT and KREC_IOC_EXTENDED_INFO on a
// clone (arg unused; both accepted; extended info sets KREC_FLAG_DIR_LEVEL on directory
// events). 0 or errno (EBADF unknown handle, ENOTTY unknown request, EINVAL bad argument).
int kernel_device_ioctl(int fd, unsigned long request, void* arg);

// Blocks until records are available and copies a whole number of them (at most size bytes)
// into buf. Returns the byte count, or -1 with errno set: EBADF once the clone is closed,
// EINVAL when fd is not a clone or size cannot hold a dropped-events record.
ssize_t kernel_device_read(int fd, void* buf, size_t size);

// Waits until the clone has found nothing more to hand out after the call began, so that
// every event the kernel queued before the call has been returned by a read, at most
// timeout_ms (events that wait for their directory's name may still be held). 0, ETIMEDOUT
// (under a storm the queue may never run dry), or EBADF when fd is not an open clone.
int kernel_device_sync(int fd, int timeout_ms);

// Makes a sync marker on the clone (see KREC_TYPE_SYNC): a change of the device's own whose
// record comes after every event the kernel queued before the call. *number: the marker's
// number, which its record carries. 0, ENOTSUP when the clone's source makes none (then
// kernel_device_sync is the way), EBADF, or the errno of making it.
int kernel_device_mark(int fd, uint32_t* number);

// Asks the clone's source to watch (add) the directory at path on the volume dev, and every
// directory below it there, one by one, or to drop one such request (see the source's
// watch_dir). 0, ENOTSUP when its source cannot, or EBADF.
int kernel_device_watch_dir(int fd, const char* path, uint32_t dev, bool add);

// Closes a handle. Async-signal-safe. 0 or EBADF. A read after the close still returns what
// the clone's source holds and what the kernel queued for it by then (a bounded amount), then
// fails with EBADF.
int kernel_device_close(int fd);

// A fanotify group kept open across a restart of the daemon (by the service manager's
// descriptor store): the next fanotify clone adopts it, with the events the kernel queued
// meanwhile, instead of making a new group. The descriptor is owned by the device layer.
void kernel_device_adopt_fanotify(int fd);
// True from the adoption of a readable group until the fanotify clone takes it: the kernel
// queued every change of the group's file systems while no daemon ran.
bool kernel_device_has_adopted_fanotify();
// Called with every new fanotify group's descriptor (still owned by the device layer), so
// that it can be kept across a restart.
void kernel_device_on_new_fanotify(void (*fn)(int fd));
