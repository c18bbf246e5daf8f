// The mount list from /proc/self/mountinfo, and the lookup of the mount that holds a path.
//
// A mountinfo line reads
//   id parent major:minor root mount-point mount-options [optional fields...] - type source
//   super-options
// with single spaces between fields and space, tab, newline and backslash in the strings
// written as octal escapes (\040, \011, \012, \134). The kernel may hand out a torn list while
// mounts change under the reader; callers that care read again.
#include "platform/mounts.h"

#include "platform/unique_fd.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int MOUNTINFO_FIELDS_MAX = 64;  // a line with more fields is malformed

// File systems whose data lives on another machine: never local.
constexpr const char* NETWORK_FS_TYPES[] = {
    "nfs",         "nfs4",      "cifs",        "smb3",         "smbfs",     "smb",
    "ceph",        "9p",        "afs",         "glusterfs",    "lustre",    "ncpfs",
    "coda",        "davfs",     "orangefs",    "fuse.sshfs",   "fuse.ceph", "fuse.glusterfs",
    "fuse.davfs2", "fuse.s3fs", "fuse.rclone", "fuse.gcsfuse",
};

uint32_t encode_dev32(uint32_t major_number, uint32_t minor_number) {
    return (major_number << 8) | (minor_number & 0xff) | ((minor_number & ~0xffu) << 12);
}

bool is_octal(char c) {
    return c >= '0' && c <= '7';
}

// A heap copy of field with \ooo escapes decoded, or null without memory.
char* unescape(const char* field, size_t len) {
    char* out = static_cast<char*>(malloc(len + 1));
    if (!out)
        return nullptr;
    size_t n = 0;
    for (size_t i = 0; i < len; i++) {
        if (field[i] == '\\' && i + 3 < len && field[i + 1] <= '3' && is_octal(field[i + 1]) &&
            is_octal(field[i + 2]) && is_octal(field[i + 3])) {
            out[n++] = static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) |
                                         (field[i + 3] - '0'));
            i += 3;
        } else {
            out[n++] = field[i];
        }
    }
    out[n] = '\0';
    return out;
}

// Parses "major:minor" into a 32-bit device number. False when malformed.
bool parse_dev(const char* field, size_t len, uint32_t* dev) {
    uint64_t parts[2] = {0, 0};
    int part = 0;
    size_t digits = 0;
    for (size_t i = 0; i < len; i++) {
        char c = field[i];
        if (c == ':' && part == 0 && digits > 0) {
            part = 1;
            digits = 0;
        } else if (c >= '0' && c <= '9' && digits < 10) {
            parts[part] = parts[part] * 10 + static_cast<uint64_t>(c - '0');
            digits++;
        } else {
            return false;
        }
    }
    if (part != 1 || digits == 0 || parts[0] > 0xfff || parts[1] > 0xfffff)
        return false;
    *dev = encode_dev32(static_cast<uint32_t>(parts[0]), static_cast<uint32_t>(parts[1]));
    return true;
}

// True when the comma-separated option list holds the option exactly.
bool has_option(const char* options, size_t len, const char* option) {
    size_t option_len = strlen(option);
    size_t start = 0;
    while (start <= len) {
        size_t end = start;
        while (end < len && options[end] != ',')
            end++;
        if (end - start == option_len && memcmp(options + start, option, option_len) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

bool is_network_type(const char* type) {
    for (const char* network : NETWORK_FS_TYPES) {
        if (strcmp(type, network) == 0)
            return true;
    }
    return false;
}

void free_entry(mount_entry* entry) {
    free(entry->mount_point);
    free(entry->mounted_from);
    free(entry->fs_type);
    free(entry->super_options);
}

struct field {
    const char* start;
    size_t len;
};

// Fills *entry from one line. 1 parsed, 0 malformed (skipped), ENOMEM.
int parse_line(const char* line, size_t len, mount_entry* entry) {
    field fields[MOUNTINFO_FIELDS_MAX];
    int count = 0;
    size_t start = 0;
    for (size_t i = 0; i <= len; i++) {
        if (i == len || line[i] == ' ') {
            if (count == MOUNTINFO_FIELDS_MAX)
                return 0;
            fields[count++] = field{line + start, i - start};
            start = i + 1;
        }
    }
    // Optional fields run from the seventh field to the lone "-".
    int separator = -1;
    for (int i = 6; i < count; i++) {
        if (fields[i].len == 1 && fields[i].start[0] == '-') {
            separator = i;
            break;
        }
    }
    if (separator < 0 || count < separator + 3 || fields[4].len == 0)
        return 0;
    *entry = mount_entry{};
    char* id_end = nullptr;
    unsigned long id = strtoul(fields[0].start, &id_end, 10);
    if (id_end != fields[0].start + fields[0].len || id > UINT32_MAX)
        return 0;
    entry->mount_id = static_cast<uint32_t>(id);
    if (!parse_dev(fields[2].start, fields[2].len, &entry->dev))
        return 0;
    const field& type = fields[separator + 1];
    const field& source = fields[separator + 2];
    entry->mount_point = unescape(fields[4].start, fields[4].len);
    entry->fs_type = unescape(type.start, type.len);
    entry->mounted_from = unescape(source.start, source.len);
    entry->super_options = count > separator + 3
                               ? unescape(fields[separator + 3].start, fields[separator + 3].len)
                               : strdup("");
    if (!entry->mount_point || !entry->fs_type || !entry->mounted_from || !entry->super_options) {
        free_entry(entry);
        return ENOMEM;
    }
    if (has_option(fields[5].start, fields[5].len, "ro"))
        entry->flags |= MOUNT_RDONLY;
    if (!is_network_type(entry->fs_type))
        entry->flags |= MOUNT_LOCAL;
    if (strcmp(entry->mount_point, "/") == 0)
        entry->flags |= MOUNT_ROOTFS;
    return 1;
}

// Reads the whole file into a heap buffer (*out, freed by the caller). 0 or errno.
int read_file(const char* path, char** out, size_t* out_len) {
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return errno;
    size_t capacity = 16384;
    size_t len = 0;
    char* buffer = static_cast<char*>(malloc(capacity));
    if (!buffer)
        return ENOMEM;
    for (;;) {
        if (len == capacity) {
            char* bigger = static_cast<char*>(realloc(buffer, capacity * 2));
            if (!bigger) {
                free(buffer);
                return ENOMEM;
            }
            buffer = bigger;
            capacity *= 2;
        }
        ssize_t n = read(fd.get(), buffer + len, capacity - len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int err = errno;
            free(buffer);
            return err;
        }
        if (n == 0)
            break;
        len += static_cast<size_t>(n);
    }
    *out = buffer;
    *out_len = len;
    return 0;
}

// True when prefix is "/" or names path or one of its ancestors.
bool is_path_prefix(const char* prefix, const char* path) {
    size_t len = strlen(prefix);
    if (len == 1 && prefix[0] == '/')
        return path[0] == '/';
    return strncmp(prefix, path, len) == 0 && (path[len] == '\0' || path[len] == '/');
}

}  // namespace

uint32_t device_number_32(dev_t st_dev) {
    return encode_dev32(major(st_dev), minor(st_dev));
}

void mount_list_free(mount_entry* list, int count) {
    if (!list)
        return;
    for (int i = 0; i < count; i++)
        free_entry(&list[i]);
    free(list);
}

int mount_list_parse(const char* text, size_t len, mount_entry** out, int* count) {
    mount_entry* list = nullptr;
    int used = 0;
    int capacity = 0;
    size_t start = 0;
    while (start < len) {
        const char* newline = static_cast<const char*>(memchr(text + start, '\n', len - start));
        size_t end = newline ? static_cast<size_t>(newline - text) : len;
        if (used == capacity) {
            int grown = capacity ? capacity * 2 : 32;
            auto* bigger =
                static_cast<mount_entry*>(realloc(list, sizeof(mount_entry) * size_t(grown)));
            if (!bigger) {
                mount_list_free(list, used);
                return ENOMEM;
            }
            list = bigger;
            capacity = grown;
        }
        int parsed = parse_line(text + start, end - start, &list[used]);
        if (parsed == ENOMEM) {
            mount_list_free(list, used);
            return ENOMEM;
        }
        used += parsed;
        start = end + 1;
    }
    if (used == 0) {
        free(list);
        list = nullptr;
    }
    *out = list;
    *count = used;
    return 0;
}

int mount_list_read(mount_entry** out, int* count) {
    char* text = nullptr;
    size_t len = 0;
    int err = read_file("/proc/self/mountinfo", &text, &len);
    if (err)
        return err;
    err = mount_list_parse(text, len, out, count);
    free(text);
    return err;
}

uint32_t mount_device_of(const char* path) {
    mount_entry* list = nullptr;
    int count = 0;
    if (mount_list_read(&list, &count) != 0)
        return 0;
    uint32_t dev = 0;
    size_t best = 0;
    for (int i = 0; i < count; i++) {
        const char* m = list[i].mount_point;
        size_t n = strlen(m);
        bool holds = strncmp(path, m, n) == 0 && (n == 1 || path[n] == '/' || path[n] == '\0');
        if (holds && n >= best) {  // the last of equal length is the one on top
            best = n;
            dev = list[i].dev;
        }
    }
    mount_list_free(list, count);
    return dev;
}

int mount_status(const char* path, mount_entry** out) {
    char resolved[PATH_MAX];
    if (!realpath(path, resolved))
        return errno;
    struct stat st;
    if (stat(resolved, &st) != 0)
        return errno;
    uint32_t dev = device_number_32(st.st_dev);

    mount_entry* list = nullptr;
    int count = 0;
    int err = mount_list_read(&list, &count);
    if (err)
        return err;
    int best = -1;
    size_t best_len = 0;
    bool best_dev_matches = false;
    for (int i = 0; i < count; i++) {
        if (!is_path_prefix(list[i].mount_point, resolved))
            continue;
        size_t len = strlen(list[i].mount_point);
        bool dev_matches = list[i].dev == dev;
        if (best >= 0 && best_dev_matches && !dev_matches)
            continue;
        if (best < 0 || (dev_matches && !best_dev_matches) || len >= best_len) {
            best = i;
            best_len = len;
            best_dev_matches = dev_matches;
        }
    }
    if (best < 0) {
        mount_list_free(list, count);
        return ENOENT;
    }
    auto* one = static_cast<mount_entry*>(malloc(sizeof(mount_entry)));
    if (!one) {
        mount_list_free(list, count);
        return ENOMEM;
    }
    *one = list[best];
    list[best] = mount_entry{};
    mount_list_free(list, count);
    *out = one;
    return 0;
}
