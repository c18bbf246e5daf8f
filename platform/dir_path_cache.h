// The event source's cache from directory handle to path: two generations of at most
// `limit` entries each. A new entry that finds the current generation full makes it the
// previous one (the older one is dropped), and a hit in the previous generation moves the entry
// back into the current one while that has room: the directories in use stay cached however
// many the volume has, and the cache never holds more than twice `limit`.
// Single-threaded: only the reading thread of one source uses it.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

struct dir_path_cache {
    std::unordered_map<std::string, std::string> current, previous;
    size_t limit = 0;
};

// The cached path of key, or null. The pointer is good until the next change of the cache.
inline const std::string* dir_cache_find(dir_path_cache* cache, const std::string& key) {
    auto it = cache->current.find(key);
    if (it != cache->current.end())
        return &it->second;
    auto old = cache->previous.find(key);
    if (old == cache->previous.end())
        return nullptr;
    if (cache->current.size() >= cache->limit)
        return &old->second;  // found, but left to go with its generation
    std::string path = std::move(old->second);
    cache->previous.erase(old);
    return &cache->current.emplace(key, std::move(path)).first->second;
}

inline void dir_cache_insert(dir_path_cache* cache, const std::string& key, std::string path) {
    if (cache->current.size() >= cache->limit) {
        cache->previous = std::move(cache->current);
        cache->current.clear();
    }
    cache->current.insert_or_assign(key, std::move(path));
}

inline void dir_cache_erase(dir_path_cache* cache, const std::string& key) {
    cache->current.erase(key);
    cache->previous.erase(key);
}

inline void dir_cache_clear(dir_path_cache* cache) {
    cache->current.clear();
    cache->previous.clear();
}

inline size_t dir_cache_size(const dir_path_cache* cache) {
    return cache->current.size() + cache->previous.size();
}
