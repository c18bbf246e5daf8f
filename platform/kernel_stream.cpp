// The record-stream source: raw kernel records read from a FIFO or a file, for tests and
// benchmarks, plus the record helpers every source uses.
//
// Input is gathered in a buffer and handed out a whole record at a time, as many as fit. At
// the end of a file (or of a FIFO without a writer) the source reports EAGAIN with no
// descriptor to poll, so the device sleeps in short steps like a quiet device, and picks up
// whatever is appended later. A record that does not end within KSRC_MAX_RECORD bytes, or
// that is too long for the reader's room, is replaced by a dropped-events record.
#include "platform/kernel_source.h"

#include "platform/unique_fd.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <unistd.h>

namespace {

constexpr size_t STREAM_BUFFER_SIZE = 2 * KSRC_MAX_RECORD;
constexpr int STREAM_STEP_MS = 20;  // wait step at the end of the input

struct stream_source {
    kernel_source base;
    unique_fd fd;
    bool at_end = false;  // the last read found no data
    size_t have = 0;      // bytes in data
    char data[STREAM_BUFFER_SIZE];
};

int stream_fill(kernel_source* s, char* buf, size_t size, size_t* produced) {
    auto* src = reinterpret_cast<stream_source*>(s);
    if (src->have < sizeof src->data && ksrc_may_read(&src->base)) {
        ssize_t n = read(src->fd.get(), src->data + src->have, sizeof src->data - src->have);
        if (n > 0)
            src->have += static_cast<size_t>(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return errno;
        src->at_end = n == 0;
    }
    size_t used = 0;
    size_t out = 0;
    while (used < src->have) {
        ssize_t len = krec_record_size(src->data + used, src->have - used);
        if (len == 0)
            break;
        if (len < 0 || static_cast<size_t>(len) > size) {
            if (out + KREC_DROPPED_SIZE > size)
                break;
            krec_write_dropped(buf + out);
            out += KREC_DROPPED_SIZE;
            used = len < 0 ? src->have : used + static_cast<size_t>(len);
            continue;
        }
        if (out + static_cast<size_t>(len) > size)
            break;
        memcpy(buf + out, src->data + used, static_cast<size_t>(len));
        out += static_cast<size_t>(len);
        used += static_cast<size_t>(len);
    }
    memmove(src->data, src->data + used, src->have - used);
    src->have -= used;
    *produced = out;
    return out ? 0 : EAGAIN;
}

// At the end of the input there is nothing to poll: a short step, like a quiet device.
int stream_wait(kernel_source* s, int wake_fd) {
    auto* src = reinterpret_cast<stream_source*>(s);
    pollfd fds[2] = {{wake_fd, POLLIN, 0}, {src->fd.get(), POLLIN, 0}};
    if (poll(fds, src->at_end ? 1 : 2, src->at_end ? STREAM_STEP_MS : -1) < 0 && errno != EINTR)
        return errno;
    return 0;
}

void stream_destroy(kernel_source* s) {
    delete reinterpret_cast<stream_source*>(s);
}

const kernel_source_ops STREAM_OPS = {stream_fill, stream_wait, stream_destroy, nullptr, nullptr};

}  // namespace

int stream_source_create(const char* path, kernel_source** out) {
    unique_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid())
        return errno;
    auto* src = new (std::nothrow) stream_source;
    if (!src)
        return ENOMEM;
    src->base = {&STREAM_OPS, false, false, 0};
    src->fd = static_cast<unique_fd&&>(fd);
    *out = &src->base;
    return 0;
}

ssize_t krec_record_size(const char* p, size_t avail) {
    size_t off = KREC_HEADER_SIZE;
    for (;;) {
        if (off + KREC_DONE_SIZE > KSRC_MAX_RECORD)
            return -1;
        if (off + KREC_DONE_SIZE > avail)
            return 0;
        uint16_t type;
        memcpy(&type, p + off, sizeof type);
        if (type == KREC_ARG_DONE)
            return static_cast<ssize_t>(off + KREC_DONE_SIZE);
        if (off + KREC_ARG_HEADER_SIZE > avail)
            return 0;
        krec_arg_header arg;
        memcpy(&arg, p + off, sizeof arg);
        off += KREC_ARG_HEADER_SIZE + arg.len;
    }
}

void krec_write_dropped(char* out) {
    krec_header h = {KREC_TYPE_DROPPED, -1};
    memcpy(out, &h, sizeof h);
    uint16_t done = KREC_ARG_DONE;
    memcpy(out + sizeof h, &done, sizeof done);
}
