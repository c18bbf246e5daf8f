// Handles as lookup keys: the one form every part of the fanotify source stores and compares
// handles in. Calls none of those parts, so each may use it.
#include "platform/fan_source.h"

void fan_handle_key(std::string* key, const file_handle* handle) {
    key->assign(reinterpret_cast<const char*>(&handle->handle_type), sizeof handle->handle_type);
    key->append(reinterpret_cast<const char*>(handle->f_handle), handle->handle_bytes);
}
