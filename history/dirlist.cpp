// Listing a log directory: the ids of the files named by hexadecimal event ids, and the
// ordering the file list is kept in.
#include "history/dls.h"
#include "platform/unique_fd.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int32_t DIRLIST_GROWTH = 100;
constexpr uint64_t DIRLIST_ID_NONE = 0;
constexpr uint64_t DIRLIST_ID_ALL_ONES = ~0ull;

}  // namespace

bool is_hex_name(const char* name) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
        unsigned char c = *p;
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) {
            return false;
        }
    }
    return true;
}

int compare_event_ids(const void* a, const void* b) {
    uint64_t x = *static_cast<const uint64_t*>(a);
    uint64_t y = *static_cast<const uint64_t*>(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

int get_dirlist(int dir_fd, int32_t* count, int32_t* capacity, uint64_t** ids,
                bool (*filter)(const char* name), uint64_t* smallest, uint64_t* largest) {
    *count = 0;
    *capacity = 0;
    *ids = nullptr;
    *smallest = 0;
    *largest = 0;

    unique_fd owned(dir_fd);
    DIR* dir = fdopendir(owned.get());
    if (dir == nullptr) {
        return errno;
    }
    owned.release();  // closed by closedir from here on

    int32_t used = 0;
    int32_t room = 0;
    uint64_t* list = nullptr;
    uint64_t low = 0;
    uint64_t high = 0;
    while (struct dirent* entry = readdir(dir)) {
        if (!filter(entry->d_name)) {
            continue;
        }
        if (used == room) {
            auto* grown = static_cast<uint64_t*>(calloc(room + DIRLIST_GROWTH, sizeof(uint64_t)));
            if (grown == nullptr) {
                free(list);
                closedir(dir);
                return ENOMEM;
            }
            if (list != nullptr) {
                memcpy(grown, list, used * sizeof(uint64_t));
            }
            free(list);
            list = grown;
            room += DIRLIST_GROWTH;
        }
        uint64_t id = strtoull(entry->d_name, nullptr, 16);
        if (id == DIRLIST_ID_NONE || id == DIRLIST_ID_ALL_ONES) {
            continue;  // the slot is reused by the next name
        }
        if (used == 0 || id < low) {
            low = id;
        }
        if (used == 0 || id > high) {
            high = id;
        }
        list[used++] = id;
    }
    closedir(dir);

    *count = used;
    *capacity = room;
    *ids = list;
    *smallest = low;
    *largest = high;
    return 0;
}
