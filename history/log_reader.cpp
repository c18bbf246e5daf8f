// Reading log files (see log_reader.h): the hardened open, the buffer checks with their drop
// reports, and whole files loaded under the reader slots.
#include "history/log_reader.h"

#include "common/log.h"
#include "volumes/dev_info.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

int log_file_open(const char* path, unique_fd* fd, off_t* size) {
    unique_fd opened(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!opened.valid()) {
        return errno;
    }
    struct stat st;
    if (fstat(opened.get(), &st) != 0) {
        return errno;
    }
    if (!S_ISREG(st.st_mode)) {
        return EINVAL;
    }
    *size = st.st_size;
    *fd = std::move(opened);
    return 0;
}

int log_reader_take_buffer(const log_reader& reader, uint8_t* buffer, uint32_t available,
                           bool verify, log_buffer_header* header, log_buffer_checksum* sum) {
    *sum = {0, 0, false};
    if (available < DISK_LOG_HEADER_SIZE) {
        return EAGAIN;
    }
    int err = log_buffer_check_header(buffer, header);
    if (err == EINVAL) {
        reader.dropped(reader.ctx, {LOG_DROP_HEADER, header, nullptr, nullptr});
        return EINVAL;
    }
    if (err == EFBIG && verify) {
        return EFBIG;
    }
    if (header->length > available) {
        return EAGAIN;
    }
    bool swapped = header->order == LOG_ORDER_SWAPPED;
    if (verify && log_buffer_check_checksum(buffer, header->length, swapped, sum) != 0) {
        reader.dropped(reader.ctx, {LOG_DROP_CHECKSUM, header, sum, nullptr});
        return EINVAL;
    }
    if (swapped) {
        swap_log_buffer(buffer, available);
    }
    return 0;
}

int log_reader_next_record(const log_reader& reader, const log_buffer_header& header,
                           log_record_walk* walk, log_record* record) {
    int err = log_record_next(walk, record);
    if (err == ERANGE) {
        reader.dropped(reader.ctx, {LOG_DROP_RECORD, &header, nullptr, record});
    }
    return err;
}

namespace {

// The reader slots: REPLAY_MAX_READERS in the whole daemon, of which one non-root uid holds at
// most REPLAY_READERS_PER_USER, so that one user's replays can not keep every other user's
// waiting. holders has one entry per slot in use.
struct reader_slots {
    std::mutex lock;
    std::condition_variable freed;
    std::vector<uint32_t> holders;
};

// Created on first use and kept for the life of the process.
reader_slots& slots() {
    static auto* s = new reader_slots();
    return *s;
}

bool may_read(const reader_slots& s, uint32_t uid) {
    return s.holders.size() < REPLAY_MAX_READERS &&
           (uid == 0 || std::count(s.holders.begin(), s.holders.end(), uid) <
                            static_cast<std::ptrdiff_t>(REPLAY_READERS_PER_USER));
}

// Reads the file into out (slot held by the caller). Results as for load_disk_log.
int read_log_image(dev_info* v, const char* path, disk_log_image* out) {
    unique_fd fd;
    off_t size = 0;
    int err = log_file_open(path, &fd, &size);
    if (err != 0) {
        if (!(v->flags & DEV_LOG_DISABLED)) {
            log_critical(
                "read_disk_log: problems with history file: %s (fd %d, errno %d ; "
                "is_reg %d; uid %d/%d gid %d/%d)",
                path, -1, err, 0, (int)getuid(), (int)geteuid(), (int)getgid(), (int)getegid());
        }
        free_disk_log_image(out);
        return EINVAL;
    }
    if (size == 0) {
        return 0;
    }
    errno = 0;
    gzFile gz = gzdopen(fd.get(), "r");
    if (!gz) {
        err = errno ? errno : EIO;
        log_critical("read_disk_log: failed to gzopen %s", path);
        free_disk_log_image(out);
        return err;
    }
    fd.release();  // closed by gzclose from here on
    uint32_t capacity = 0;
    for (;;) {
        if (out->size == capacity) {
            if (capacity >= REPLAY_IMAGE_MAX) {
                log_critical("read_disk_log: %s holds more than %u bytes; the rest is not read",
                             path, REPLAY_IMAGE_MAX);
                break;
            }
            capacity = capacity == 0 ? REPLAY_AREA_SIZE : capacity * 2;
            auto* grown = static_cast<uint8_t*>(realloc(out->data, capacity));
            if (!grown) {
                gzclose(gz);
                free_disk_log_image(out);
                return ENOMEM;
            }
            out->data = grown;
        }
        uint32_t want = std::min(capacity - out->size, REPLAY_READ_SIZE);
        int got = gzread(gz, out->data + out->size, want);
        if (got <= 0) {
            break;  // the end, or a torn member: what came before it stands
        }
        out->size += (uint32_t)got;
    }
    gzclose(gz);
    return 0;
}

}  // namespace

void take_reader_slot(disk_log_image* image) {
    if (image->holds_slot) {
        return;
    }
    reader_slots& s = slots();
    std::unique_lock<std::mutex> lock(s.lock);
    s.freed.wait(lock, [&] { return may_read(s, image->uid); });
    s.holders.push_back(image->uid);
    image->holds_slot = true;
}

void give_back_reader_slot(disk_log_image* image) {
    if (!image->holds_slot) {
        return;
    }
    reader_slots& s = slots();
    {
        std::lock_guard<std::mutex> lock(s.lock);
        s.holders.erase(std::find(s.holders.begin(), s.holders.end(), image->uid));
    }
    // Waiters differ in what they wait for (a slot, or one of their user's share): all look.
    s.freed.notify_all();
    image->holds_slot = false;
}

int load_disk_log(dev_info* v, const char* path, disk_log_image* out) {
    take_reader_slot(out);
    int err = read_log_image(v, path, out);
    // The slot bounds the reading of files only: what is done with the image goes at its
    // reader's pace, and a client that never reads must not keep other users' replays waiting.
    give_back_reader_slot(out);
    return err;
}

void free_disk_log_image(disk_log_image* image) {
    free(image->data);
    image->data = nullptr;
    image->size = 0;
    give_back_reader_slot(image);
}
