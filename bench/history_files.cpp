// The history benchmarks' shared pieces (see history_files.h): reading a log directory back,
// counting gap messages, and writing a generated history with the daemon's own buffer code.
#include "bench/history_files.h"

#include "common/crc.h"
#include "history/dls.h"
#include "history/log_buffer.h"
#include "history/log_format.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr int HISTORY_UUID_LENGTH = 36;

bool hex_name(const char* name) {
    size_t n = strlen(name);
    if (n != 16)
        return false;
    for (size_t i = 0; i < n; i++) {
        if (!isxdigit((unsigned char)name[i]))
            return false;
    }
    return true;
}

// The whole uncompressed content of a gzip file; false when it cannot be opened.
bool read_gz(const std::string& path, std::vector<uint8_t>* out) {
    gzFile gz = gzopen(path.c_str(), "rb");
    if (!gz)
        return false;
    out->clear();
    uint8_t chunk[65536];
    int n;
    while ((n = gzread(gz, chunk, sizeof chunk)) > 0)
        out->insert(out->end(), chunk, chunk + n);
    gzclose(gz);
    return true;
}

// Walks the buffers of one file's bytes into f.
void scan_buffers(std::vector<uint8_t>* bytes, history_figures* f) {
    size_t at = 0;
    while (at + DISK_LOG_HEADER_SIZE <= bytes->size()) {
        uint8_t* b = bytes->data() + at;
        log_buffer_header h;
        if (log_buffer_check_header(b, &h) != 0 || at + h.length > bytes->size()) {
            f->bad_buffers++;
            return;
        }
        log_buffer_checksum sum;
        if (log_buffer_check_checksum(b, h.length, h.order == LOG_ORDER_SWAPPED, &sum) != 0) {
            f->bad_buffers++;
            return;
        }
        if (h.order == LOG_ORDER_SWAPPED)
            swap_log_buffer(b, h.length);
        f->buffers++;
        f->uncompressed += h.length;
        log_record_walk w = log_record_walk_start(b, h.length);
        log_record r;
        while (log_record_next(&w, &r) == 0) {
            f->records++;
            f->min_id = f->min_id == 0 ? r.id : std::min(f->min_id, r.id);
            f->max_id = std::max(f->max_id, r.id);
            if (f->range_to != 0 && r.id >= f->range_from && r.id <= f->range_to)
                f->records_in_range++;
        }
        at += h.length;
    }
    if (at != bytes->size())
        f->bad_buffers++;  // a cut-off header at the end
}

}  // namespace

int read_history(const char* dir, history_figures* f) {
    DIR* d = opendir(dir);
    if (!d)
        return errno;
    std::vector<std::string> names;
    while (dirent* e = readdir(d))
        names.emplace_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    std::vector<uint8_t> bytes;
    for (const std::string& name : names) {
        std::string path = std::string(dir) + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (name == DLS_UUID_FILE) {
            f->uuid_bytes = uint64_t(st.st_size);
            continue;
        }
        if (!hex_name(name.c_str()))
            continue;
        f->files++;
        f->log_bytes += uint64_t(st.st_size);
        if (!read_gz(path, &bytes)) {
            f->bad_buffers++;
            continue;
        }
        scan_buffers(&bytes, f);
    }
    return 0;
}

size_t count_occurrences(std::string_view log, std::string_view text) {
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string_view::npos; at = log.find(text, at + 1))
        n++;
    return n;
}

int remove_log_dir(const char* dir) {
    DIR* d = opendir(dir);
    if (!d)
        return errno == ENOENT ? 0 : errno;
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            unlinkat(dirfd(d), e->d_name, 0);
    }
    closedir(d);
    return rmdir(dir) == 0 ? 0 : errno;
}

int write_history_file(const char* dir, std::vector<history_record>* records) {
    if (records->empty())
        return 0;
    std::sort(records->begin(), records->end(),
              [](const history_record& a, const history_record& b) { return a.path < b.path; });
    uint64_t highest = 0;
    for (const history_record& r : *records)
        highest = std::max(highest, r.id);
    char path[PATH_MAX];
    snprintf(path, sizeof path, DISK_LOG_PATH_FORMAT, dir, (unsigned long long)(highest + 1));
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    std::unique_ptr<uint8_t[]> area(new uint8_t[DISK_LOG_BUFFER_SIZE]);
    log_buffer_builder b;
    log_buffer_start(&b, area.get());
    int err = 0;
    for (size_t i = 0; i < records->size() && err == 0; i++) {
        const history_record& r = (*records)[i];
        err = log_buffer_append(&b, r.path, r.id, r.flags);
        if (err == ENOSPC) {
            uint32_t length = log_buffer_finish(&b);
            err = log_buffer_write_member(fd, area.get(), length);
            log_buffer_start(&b, area.get());
            if (err == 0)
                err = log_buffer_append(&b, r.path, r.id, r.flags);
        }
    }
    if (err == 0) {
        uint32_t length = log_buffer_finish(&b);
        err = log_buffer_write_member(fd, area.get(), length);
    }
    close(fd);
    return err;
}

int write_uuid_file(const char* dir, std::string* uuid_text) {
    uuid_t uuid;
    char text[HISTORY_UUID_LENGTH + 1];
    uuid_generate(uuid);
    uuid_unparse_lower(uuid, text);
    std::string path = std::string(dir) + "/" + DLS_UUID_FILE;
    unlink(path.c_str());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    bool ok = write(fd, text, HISTORY_UUID_LENGTH) == HISTORY_UUID_LENGTH;
    close(fd);
    if (!ok)
        return EIO;
    *uuid_text = text;
    return 0;
}
