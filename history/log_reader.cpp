// Reading log files (see log_reader.h): the hardened open, the buffer checks with their drop
// reports, and whole files loaded under the reader slots.
#include "history/log_reader.h"


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

// The compressed bytes of a log file, read whole with the daemon's rights.
int read_raw(int fd, off_t size, std::vector<uint8_t>* raw) {
    if (size > (off_t)REPLAY_RAW_MAX) {
        size = REPLAY_RAW_MAX;  // far beyond what a log file holds; the rest is not read
    }
    raw->resize((size_t)size);
    size_t got = 0;
    while (got < raw->size()) {
        ssize_t n = read(fd, raw->data() + got, raw->size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            break;  // shrank meanwhile: what is there is read
        got += (size_t)n;
    }
    raw->resize(got);
    return 0;
}

// Frees an inflate stream's state on every way out.
struct inflater {
    z_stream stream{};
    bool started = false;
    ~inflater() {
        if (started)
            inflateEnd(&stream);
    }
};

// Makes room for more output in out. False (out freed) without memory.
bool grow_image(disk_log_image* out, uint32_t* capacity) {
    *capacity = *capacity == 0 ? REPLAY_AREA_SIZE : *capacity * 2;
    auto* grown = static_cast<uint8_t*>(realloc(out->data, *capacity));
    if (!grown) {
        free_disk_log_image(out);
        return false;
    }
    out->data = grown;
    return true;
}

// Inflates the gzip members of raw, back to back, into out. What a damaged file still yields
// before the damage is kept, and out->damage says what ended it. 0 or ENOMEM.
int inflate_members(const std::vector<uint8_t>& raw, disk_log_image* out) {
    constexpr int GZIP_WINDOW_BITS = 15 + 16;  // gzip members only
    inflater z;
    if (inflateInit2(&z.stream, GZIP_WINDOW_BITS) != Z_OK)
        return ENOMEM;
    z.started = true;
    z.stream.next_in = const_cast<Bytef*>(raw.data());
    z.stream.avail_in = static_cast<uInt>(raw.size());
    uint32_t capacity = 0;
    while (z.stream.avail_in > 0) {
        if (out->size == capacity) {
            if (capacity >= REPLAY_IMAGE_MAX) {
                out->damage = "it holds more than a log file can";
                return 0;
            }
            if (!grow_image(out, &capacity))
                return ENOMEM;
        }
        z.stream.next_out = out->data + out->size;
        z.stream.avail_out = capacity - out->size;
        int r = inflate(&z.stream, Z_NO_FLUSH);
        out->size = capacity - z.stream.avail_out;
        if (r == Z_STREAM_END) {
            inflateReset(&z.stream);  // the next member, if any
        } else if (r == Z_MEM_ERROR) {
            free_disk_log_image(out);
            return ENOMEM;
        } else if (r != Z_OK && r != Z_BUF_ERROR) {
            out->damage = "its compressed data is damaged";
            return 0;
        } else if (r == Z_BUF_ERROR && z.stream.avail_out > 0) {
            break;  // no progress with room to spare: the input ended inside a member
        }
    }
    if (z.stream.total_in > 0 || z.stream.total_out > 0) {
        // Started on a member that never ended (Z_STREAM_END resets both counts).
        out->damage = "it is cut short";
    }
    return 0;
}

// Reads the file into out (slot held by the caller). Results as for load_disk_log.
int read_log_image(const char* path, disk_log_image* out) {
    unique_fd fd;
    off_t size = 0;
    int err = log_file_open(path, &fd, &size);
    if (err != 0) {
        free_disk_log_image(out);
        return err == ELOOP || err == EINVAL ? EINVAL : err;
    }
    std::vector<uint8_t> raw;
    if ((err = read_raw(fd.get(), size, &raw)) != 0) {
        free_disk_log_image(out);
        return err;
    }
    if (raw.empty()) {
        out->damage = "it is empty";
        return 0;
    }
    if ((err = inflate_members(raw, out)) != 0) {
        free_disk_log_image(out);
    }
    return err;
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

int load_disk_log(const char* path, disk_log_image* out) {
    take_reader_slot(out);
    int err = read_log_image(path, out);
    // The slot bounds the reading of files only: what is done with the image goes at its
    // reader's pace, and a client that never reads must not keep other users' replays waiting.
    give_back_reader_slot(out);
    return err;
}

void free_disk_log_image(disk_log_image* image) {
    free(image->data);
    image->data = nullptr;
    image->size = 0;
    image->damage = nullptr;
    give_back_reader_slot(image);
}
