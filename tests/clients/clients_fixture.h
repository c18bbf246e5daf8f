// Fixture of the client tests: an event table of its own, empty client tables, clients made and
// removed synchronously (as a delivery thread's teardown would), events routed through the real
// router, and a callback that records every batch it is handed.
#pragma once

#include "clients/client_info.h"
#include "clients/prefix_table.h"
#include "clients/route.h"
#include "common/crc.h"
#include "common/log.h"
#include "intake/event_table.h"

#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using strings = std::vector<std::string>;

// Polls cond every poll_us until it holds (true) or timeout_ms have passed (false).
template <typename F>
bool wait_until(F cond, int timeout_ms = 20000, int poll_us = 1000) {
    auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (; !cond(); std::this_thread::sleep_for(std::chrono::microseconds(poll_us))) {
        if (std::chrono::steady_clock::now() > give_up) {
            return false;
        }
    }
    return true;
}

struct recorded_event {
    std::string path;
    uint32_t flags;
    uint64_t id;
};

struct recording_sink {
    std::mutex lock;
    std::vector<std::vector<recorded_event>> batches;
    int32_t result = 0;  // what the callback answers

    std::vector<recorded_event> all() {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<recorded_event> out;
        for (auto& batch : batches) {
            out.insert(out.end(), batch.begin(), batch.end());
        }
        return out;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(lock);
        batches.clear();
    }
};

inline recording_sink* active_sink = nullptr;

// Called with each batch before it is recorded, outside the sink's lock.
using sink_hook_fn = void (*)(int32_t count, const uint32_t* flags, const uint64_t* ids);
inline std::atomic<sink_hook_fn> sink_hook{nullptr};

inline int32_t recording_callback(void*, int32_t count, const int32_t* lengths,
                                  const char* const* paths, const uint32_t* flags, const uint32_t*,
                                  const uint64_t* ids) {
    if (sink_hook_fn hook = sink_hook.load()) {
        hook(count, flags, ids);
    }
    std::lock_guard<std::mutex> guard(active_sink->lock);
    std::vector<recorded_event> batch;
    for (int32_t i = 0; i < count; i++) {
        EXPECT_EQ((size_t)lengths[i], strlen(paths[i]) + 1);
        batch.push_back({paths[i], flags[i], ids[i]});
    }
    active_sink->batches.push_back(batch);
    return active_sink->result;
}

// Stands in for the request side's release of a registration: ctx is a reference count.
inline void release_count(void* ctx) {
    static_cast<std::atomic<int32_t>*>(ctx)->fetch_sub(1);
}

class ClientsTest : public ::testing::Test {
protected:
    event_table table{};
    recording_sink sink;
    std::vector<client_info*> made;

    void SetUp() override {
        active_sink = &sink;
        crc_table_init();
        log_open("clients_tests", LOG_PERROR);
        ASSERT_EQ(event_table_init(&table, EVENT_TABLE_INITIAL_BUCKETS), 0);
        clear_client_tables();
    }
    void TearDown() override {
        for (client_info* fci : made) {
            remove_now(fci);
        }
        EXPECT_EQ(table_count(), 0);
        if (prefix_table* old = publish_prefix_table(nullptr)) {
            free(old->entries);
            free(old);
        }
        event_table_free(&table);
    }

    struct client_options {
        strings paths{"/a/b"};
        strings excluded;
        uint32_t flags = CLIENT_FILE_EVENTS;
        uint32_t device = 0;
        uint32_t ring_size = CLIENT_RING_REGISTERED;
        uint32_t pid = 100;
        uint32_t uid = 0;
        uint64_t since_when = EVENT_ID_WRAP;
        uint64_t latency = 1000000;
        void* ctx = nullptr;
    };

    int make(const client_options& o, client_info** out) {
        std::vector<const char*> paths, excluded;
        for (auto& p : o.paths) {
            paths.push_back(p.c_str());
        }
        for (auto& e : o.excluded) {
            excluded.push_back(e.c_str());
        }
        return create_client_info(o.pid, o.device, paths.data(), (int32_t)paths.size(),
                                  excluded.data(), (int32_t)excluded.size(), o.latency, o.ring_size,
                                  o.since_when, o.flags, recording_callback, o.ctx, o.uid, o.uid,
                                  out);
    }
    client_info* make(const client_options& o) {
        client_info* fci = nullptr;
        EXPECT_EQ(make(o, &fci), 0);
        if (fci) {
            made.push_back(fci);
        }
        return fci;
    }

    // What a delivery thread's teardown does, without the thread.
    static void remove_now(client_info* fci) {
        fci->flags.fetch_or(CLIENT_GOING_AWAY);
        pthread_mutex_lock(&clients_lock);
        for (uint32_t rd; client_num_pending(fci) != 0; fci->rd.store((rd + 1) % fci->ring_size)) {
            rd = fci->rd.load();
            client_map_clear(fci->ring[rd], fci->index);
            remove_event_ref(fci->ring[rd]);
        }
        EXPECT_EQ(remove_paths(fci), 0);
        release_client_slot(fci);
        pthread_mutex_unlock(&clients_lock);
        free_client_info(fci);
    }
    void forget(client_info* fci) {
        std::erase(made, fci);
        remove_now(fci);
    }

    // Routes an event (directory part: up to its last slash). The router may only normalise the
    // caller's buffer (doubled slashes, the length cut).
    void route(const std::string& path, uint64_t id, uint32_t flags = EVENT_CONTENT_MODIFIED,
               uint32_t dev = 0, int32_t pid = 7) {
        std::vector<char> buffer(path.begin(), path.end());
        buffer.push_back('\0');
        route_event(&table, pid, dev, buffer.data(), (uint32_t)buffer.size(),
                    (uint32_t)path.rfind('/') + 2, flags, id);
        std::string normalised = path;
        for (size_t at; (at = normalised.find("//")) != std::string::npos;) {
            normalised.erase(at, 1);
        }
        normalised.resize(std::min(normalised.size(), (size_t)EVENT_TABLE_PATH_MAX));
        EXPECT_EQ(std::string(buffer.data()), normalised);
    }

    // The ring's records, oldest first, as "path:id".
    static strings ring_of(const client_info* fci) {
        strings out;
        for (uint32_t i = 0, rd = fci->rd.load(); i < client_num_pending(fci); i++) {
            const event_record* e = fci->ring[(rd + i) % fci->ring_size];
            out.push_back(std::string(e->path) + ":" + std::to_string(e->id));
        }
        return out;
    }
    static void capture_log() {
        log_open("clients_tests", LOG_PERROR);
        ::testing::internal::CaptureStderr();
    }
    static std::string captured_log() { return ::testing::internal::GetCapturedStderr(); }

    static int32_t table_count() {
        prefix_table* t = current_prefix_table.load();
        return t ? t->count : 0;
    }
    static prefix_header* header_at(int32_t i) { return current_prefix_table.load()->entries[i]; }
};
