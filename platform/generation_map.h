// A map with a bounded size that keeps what is in use: two generations of at most `limit`
// entries each. A new entry that finds the current generation full makes it the previous one
// (the older one is dropped), and a hit in the previous generation moves the entry back into
// the current one while that has room: the entries in use stay however many others come and
// go, and the map never holds more than twice `limit`. The fanotify source keeps the
// directories it knows by handle in one per volume. Single-threaded.
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>
#include <unordered_map>

template <typename V>
struct generation_map {
    std::unordered_map<std::string, V> current, previous;
    size_t limit = 0;
};

// The entry of key, or null. The pointer is good until the next change of the map.
template <typename V>
V* gen_find(generation_map<V>* map, const std::string& key) {
    auto it = map->current.find(key);
    if (it != map->current.end())
        return &it->second;
    auto old = map->previous.find(key);
    if (old == map->previous.end())
        return nullptr;
    if (map->current.size() >= map->limit)
        return &old->second;  // found, but left to go with its generation
    // The node itself moves: no allocation, and the entry's address stays as it was.
    return &map->current.insert(map->previous.extract(old)).position->second;
}

// Sets key's entry to value (replacing any) and returns it.
template <typename V>
V* gen_insert(generation_map<V>* map, const std::string& key, std::type_identity_t<V> value) {
    map->previous.erase(key);
    if (map->current.size() >= map->limit && !map->current.count(key)) {
        map->previous = std::move(map->current);
        map->current.clear();
    }
    return &map->current.insert_or_assign(key, std::move(value)).first->second;
}

template <typename V>
void gen_erase(generation_map<V>* map, const std::string& key) {
    map->current.erase(key);
    map->previous.erase(key);
}

template <typename V>
void gen_clear(generation_map<V>* map) {
    map->current.clear();
    map->previous.clear();
}

template <typename V>
size_t gen_size(const generation_map<V>* map) {
    return map->current.size() + map->previous.size();
}
