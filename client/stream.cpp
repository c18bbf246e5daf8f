// Event streams (see vantles/stream.h): registration through the request calls, reception and
// checking of event messages (67000), the optional library thread, and the flag names.
//
// A received message is trusted only as far as it was checked: id, size, four regions of the
// sizes the counts give, every offset inside the paths blob and the blob ending in a NUL, so
// every path handed to the callback ends inside the blob.
#include "vantles/stream.h"

#include "platform/messages.h"
#include "platform/port.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>
#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

struct vantles_stream {
    vantles_stream_options options;
    vantles_batch_callback callback = nullptr;
    void* ctx = nullptr;
    vantles_registration reg;
    bool started = false;
    // Library thread: stop_pipe[1] is written to end it.
    bool thread_running = false;
    pthread_t thread{};
    int stop_pipe[2] = {-1, -1};
    std::atomic<int> thread_result{0};
    std::vector<vantles_event> events;  // reused for each batch
};

namespace {

union event_buffer {
    mach_msg_header_t head;
    uint8_t bytes[sizeof(events_message_t) + MACH_MSG_TRAILER_AUDIT_SIZE + 64];
};

// Checks a received batch and hands it to the callback. 0 or EPROTO.
int deliver(vantles_stream* s, mach_msg_header_t* head) {
    auto* m = reinterpret_cast<events_message_t*>(head);
    if (head->msgh_id != VANTLES_MSG_EVENTS || !(head->msgh_bits & MACH_MSGH_BITS_COMPLEX) ||
        head->msgh_size != sizeof(events_message_t) || m->body.msgh_descriptor_count != 4) {
        return EPROTO;
    }
    uint32_t n = m->num_events;
    uint32_t blob_size = m->paths_blob_size;
    const mach_msg_ool_descriptor_t* regions[4] = {&m->path_offsets, &m->flags, &m->ids, &m->paths};
    for (const auto* r : regions) {
        if (r->type != MACH_MSG_OOL_DESCRIPTOR || (r->size != 0 && r->address == 0)) {
            return EPROTO;
        }
    }
    if (m->offset_count != n || m->flag_count != n || m->id_count != n ||
        m->path_offsets.size != uint64_t{n} * 4 || m->flags.size != uint64_t{n} * 4 ||
        m->ids.size != uint64_t{n} * 8 || m->paths.size != blob_size) {
        return EPROTO;
    }
    if (n == 0) {
        return 0;
    }
    const auto* blob = reinterpret_cast<const char*>(m->paths.address);
    if (blob_size == 0 || blob[blob_size - 1] != '\0') {
        return EPROTO;
    }
    s->events.resize(n);
    for (uint32_t i = 0; i < n; i++) {
        uint32_t offset, flags;
        uint64_t id;
        memcpy(&offset, reinterpret_cast<const uint8_t*>(m->path_offsets.address) + 4 * i, 4);
        memcpy(&flags, reinterpret_cast<const uint8_t*>(m->flags.address) + 4 * i, 4);
        memcpy(&id, reinterpret_cast<const uint8_t*>(m->ids.address) + 8 * i, 8);
        if (offset >= blob_size) {
            return EPROTO;
        }
        s->events[i] = {id, flags, blob + offset};
    }
    s->callback(s->ctx, std::span<const vantles_event>(s->events.data(), n));
    return 0;
}

// Receives one waiting message and delivers it. 0, ECONNRESET, EPROTO or EIO.
int receive_one(vantles_stream* s) {
    event_buffer buffer;
    kern_return_t kr = mach_msg_receive(s->reg.event_port, &buffer.head, sizeof buffer.bytes,
                                        MACH_MSG_TIMEOUT_NONE);
    if (kr == MACH_RCV_PORT_DIED) {
        return ECONNRESET;
    }
    if (kr == MACH_RCV_TOO_LARGE || kr == MACH_RCV_INVALID_DATA) {
        return EPROTO;
    }
    if (kr != KERN_SUCCESS) {
        return EIO;
    }
    int err = deliver(s, &buffer.head);
    mach_msg_destroy(&buffer.head);
    return err;
}

// dispatch, also returning early (EINTR) when wake_fd becomes readable.
int dispatch(vantles_stream* s, int timeout_ms, int wake_fd) {
    if (!s->started) {
        return EBADF;
    }
    pollfd fds[2] = {{static_cast<int>(s->reg.event_port), POLLIN, 0}, {wake_fd, POLLIN, 0}};
    nfds_t count = wake_fd >= 0 ? 2 : 1;
    int ready = poll(fds, count, timeout_ms);
    if (ready < 0) {
        return errno;
    }
    if (count == 2 && fds[1].revents != 0) {
        return EINTR;
    }
    if (ready == 0) {
        return ETIMEDOUT;
    }
    int result = 0;
    // Every batch already waiting, without blocking again.
    while (result == 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
        result = receive_one(s);
        if (result == ECONNRESET) {
            return result;
        }
        fds[0].revents = 0;
        if (poll(fds, 1, 0) < 0) {
            return errno;
        }
    }
    return result;
}

void* stream_thread(void* arg) {
    auto* s = static_cast<vantles_stream*>(arg);
    for (;;) {
        int err = dispatch(s, -1, s->stop_pipe[0]);
        if (err == EINTR) {
            return nullptr;  // stopped
        }
        if (err != 0 && err != ETIMEDOUT && err != EPROTO) {
            s->thread_result.store(err);
            return nullptr;
        }
    }
}

void stop_thread(vantles_stream* s) {
    if (!s->thread_running) {
        return;
    }
    char byte = 1;
    ssize_t written = write(s->stop_pipe[1], &byte, 1);
    (void)written;  // a full pipe already wakes the thread
    pthread_join(s->thread, nullptr);
    s->thread_running = false;
    close(s->stop_pipe[0]);
    close(s->stop_pipe[1]);
    s->stop_pipe[0] = s->stop_pipe[1] = -1;
}

}  // namespace

int vantles_stream_create(const vantles_stream_options& options, vantles_batch_callback callback,
                          void* ctx, vantles_stream** out) {
    *out = nullptr;
    if (callback == nullptr || options.paths.empty()) {
        return EINVAL;
    }
    auto* s = new (std::nothrow) vantles_stream;
    if (s == nullptr) {
        return ENOMEM;
    }
    s->options = options;
    s->callback = callback;
    s->ctx = ctx;
    *out = s;
    return 0;
}

int vantles_stream_start(vantles_stream* s) {
    if (s->started) {
        return EALREADY;
    }
    // The connection serves the registration only: the stream's own ports carry the rest, and
    // the daemon's descriptor for it is free again at once.
    vantles_connection conn;
    int err = vantles_connect(s->options.socket_path, &conn);
    if (err != 0) {
        return err;
    }
    conn.timeout_ms = s->options.timeout_ms;
    return vantles_stream_start_on(s, &conn);
}

int vantles_stream_start_on(vantles_stream* s, const vantles_connection* conn) {
    if (s->started) {
        return EALREADY;
    }
    std::vector<const char*> paths, excludes;
    for (const std::string& p : s->options.paths) {
        paths.push_back(p.c_str());
    }
    for (const std::string& p : s->options.excludes) {
        excludes.push_back(p.c_str());
    }
    vantles_register_args args;
    args.device = s->options.device;
    args.paths = paths;
    args.excludes = excludes;
    args.latency_us = s->options.latency_us;
    args.create_flags = s->options.create_flags;
    args.since_when = s->options.since_when;
    int err = vantles_register(conn, args, &s->reg);
    if (err != 0) {
        return err;
    }
    s->started = true;
    s->thread_result.store(0);
    return 0;
}

int vantles_stream_fd(const vantles_stream* s) {
    return s->started ? static_cast<int>(s->reg.event_port) : -1;
}

int vantles_stream_dispatch(vantles_stream* s, int timeout_ms) {
    if (s->thread_running) {
        return EALREADY;
    }
    return dispatch(s, timeout_ms, -1);
}

int vantles_stream_start_thread(vantles_stream* s) {
    if (!s->started) {
        return EBADF;
    }
    if (s->thread_running) {
        return EALREADY;
    }
    if (pipe2(s->stop_pipe, O_CLOEXEC) != 0) {
        return errno;
    }
    int err = pthread_create(&s->thread, nullptr, stream_thread, s);
    if (err != 0) {
        close(s->stop_pipe[0]);
        close(s->stop_pipe[1]);
        s->stop_pipe[0] = s->stop_pipe[1] = -1;
        return err;
    }
    s->thread_running = true;
    return 0;
}

int vantles_stream_thread_result(const vantles_stream* s) {
    return s->thread_result.load();
}

int vantles_stream_flush(vantles_stream* s, uint64_t* last_id) {
    if (!s->started) {
        return EBADF;
    }
    return vantles_flush(&s->reg, last_id);
}

int vantles_stream_stop(vantles_stream* s) {
    stop_thread(s);
    if (!s->started) {
        return 0;
    }
    int result = vantles_unregister(&s->reg);
    s->started = false;
    return result;
}

void vantles_stream_destroy(vantles_stream* s) {
    if (s == nullptr) {
        return;
    }
    vantles_stream_stop(s);
    delete s;
}

const char* vantles_event_flag_name(uint32_t bit) {
    switch (bit) {
        case VANTLES_EVENT_CREATED:
            return "created";
        case VANTLES_EVENT_REMOVED:
            return "removed";
        case VANTLES_EVENT_STAT_CHANGED:
            return "stat-changed";
        case VANTLES_EVENT_RENAMED:
            return "renamed";
        case VANTLES_EVENT_MODIFIED:
            return "modified";
        case VANTLES_EVENT_EXCHANGED:
            return "exchanged";
        case VANTLES_EVENT_INFO_CHANGED:
            return "info-changed";
        case VANTLES_EVENT_DIR_CREATED:
            return "dir-created";
        case VANTLES_EVENT_OWNER_CHANGED:
            return "owner-changed";
        case VANTLES_EVENT_XATTR_MODIFIED:
            return "xattr-modified";
        case VANTLES_EVENT_XATTR_REMOVED:
            return "xattr-removed";
        case VANTLES_EVENT_DOCID_CREATED:
            return "docid-created";
        case VANTLES_EVENT_DOCID_CHANGED:
            return "docid-changed";
        case VANTLES_EVENT_LAST_HARDLINK:
            return "last-hardlink";
        case VANTLES_EVENT_HARDLINK:
            return "hardlink";
        case VANTLES_EVENT_OWN:
            return "own";
        case VANTLES_EVENT_SYMLINK:
            return "symlink";
        case VANTLES_EVENT_FILE:
            return "file";
        case VANTLES_EVENT_DIR:
            return "dir";
        case VANTLES_EVENT_HISTORY_DONE:
            return "history-done";
        case VANTLES_EVENT_IDS_WRAPPED:
            return "ids-wrapped";
        case VANTLES_EVENT_DIR_LEVEL:
            return "dir-level";
        case VANTLES_EVENT_USER_DROPPED:
            return "user-dropped";
        case VANTLES_EVENT_KERNEL_DROPPED:
            return "kernel-dropped";
        default:
            return nullptr;
    }
}

size_t vantles_format_flags(uint32_t flags, const char* sep, char* out, size_t size) {
    size_t needed = 0;
    auto append = [&](const char* text) {
        size_t len = strlen(text);
        if (needed < size) {
            size_t room = size - needed;
            memcpy(out + needed, text, len < room ? len : room);
        }
        needed += len;
    };
    bool first = true;
    for (uint32_t bit = 1; bit != 0; bit <<= 1) {
        if (!(flags & bit)) {
            continue;
        }
        if (!first) {
            append(sep);
        }
        first = false;
        const char* name = vantles_event_flag_name(bit);
        char hex[16];
        if (name == nullptr) {
            snprintf(hex, sizeof hex, "0x%x", bit);
            name = hex;
        }
        append(name);
    }
    if (size > 0) {
        out[needed < size ? needed : size - 1] = '\0';
    }
    return needed;
}
