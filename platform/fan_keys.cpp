// The fanotify source's lookups: handles as keys (the one form every part stores and compares
// handles in) and a volume by its file system's id. Calls none of the parts, so each may use
// them.
#include "platform/fan_source.h"

#include <cstring>

void fan_handle_key(std::string* key, const file_handle* handle) {
    key->assign(reinterpret_cast<const char*>(&handle->handle_type), sizeof handle->handle_type);
    key->append(reinterpret_cast<const char*>(handle->f_handle), handle->handle_bytes);
}

fan_volume* fan_find_volume(fan_source* src, const fsid_t& fsid) {
    for (auto& vol : src->volumes) {
        if (memcmp(&vol->fsid, &fsid, sizeof fsid) == 0)
            return vol.get();
    }
    return nullptr;
}
