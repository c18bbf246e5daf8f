// Shared fixture of the client tests: an event table of its own, empty client tables, clients
// made and removed synchronously (as a delivery thread's teardown would), events routed
// through the real router, and a callback that records every batch it is handed.
#pragma once

#include "clients/client_info.h"
#include "clients/prefix_table.h"
#include "clients/route.h"
#include "common/crc.h"
#include "common/log.h"
#include "intake/event_table.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

struct recorded_event {
    std::string path;
    uint32_t flags;
    uint64_t id;
};

// Batches handed to the callback, with a result to answer for the next calls.
struct recording_sink {
    std::mutex lock;
    std::vector<std::vector<recorded_event>> batches;
    int32_t result = 0;

    std::vector<recorded_event> all() {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<recorded_event> out;
        for (auto& batch : batches) {
            out.insert(out.end(), batch.begin(), batch.end());
        }
        return out;
    }
};

// The sink of the running test. The callback context stays free for what the record owns (a
// registration, whose reference the teardown drops).
// The tree both permission tests judge, made as root inside a scratch root: /tmp/p (0755,
// root) with "open" (0644), "secret" (0600) and "locked" (0700) holding "x" (0644); and
// /tmp/q owned by uid 1000 with a subdirectory "sub" (0311, root) that may be searched but
// not listed. False when any step fails.
inline bool make_permission_tree() {
    auto file = [](const char* path, mode_t mode, uid_t owner) {
        int fd = open(path, O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        return fd >= 0 && close(fd) == 0 && chmod(path, mode) == 0 &&
               chown(path, owner, owner) == 0;
    };
    auto dir = [](const char* path, mode_t mode, uid_t owner) {
        return mkdir(path, 0700) == 0 && chmod(path, mode) == 0 && chown(path, owner, owner) == 0;
    };
    return dir("/tmp/p", 0755, 0) && file("/tmp/p/open", 0644, 0) &&
           file("/tmp/p/secret", 0600, 0) && dir("/tmp/p/locked", 0700, 0) &&
           file("/tmp/p/locked/x", 0644, 0) && dir("/tmp/q", 0755, 1000) &&
           dir("/tmp/q/sub", 0311, 0);
}

inline recording_sink* active_sink = nullptr;

// Called with each batch before it is recorded, outside the sink's lock (a test may route
// from it, as the event thread would meanwhile).
using sink_hook_fn = void (*)(int32_t count, const uint32_t* flags, const uint64_t* ids);
inline std::atomic<sink_hook_fn> sink_hook{nullptr};

inline int32_t recording_callback(void* /*ctx*/, int32_t count, const int32_t* lengths,
                                  const char* const* paths, const uint32_t* flags,
                                  const uint32_t* /*devices*/, const uint64_t* ids) {
    if (sink_hook_fn hook = sink_hook.load()) {
        hook(count, flags, ids);
    }
    recording_sink* sink = active_sink;
    std::lock_guard<std::mutex> guard(sink->lock);
    std::vector<recorded_event> batch;
    for (int32_t i = 0; i < count; i++) {
        EXPECT_EQ((size_t)lengths[i], strlen(paths[i]) + 1);
        batch.push_back({paths[i], flags[i], ids[i]});
    }
    sink->batches.push_back(batch);
    return sink->result;
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
        // Each test starts without a table, as the daemon does before its first client.
        prefix_table* old = publish_prefix_table(nullptr);
        if (old) {
            free(old->entries);
            free(old);
        }
        event_table_free(&table);
    }

    struct client_options {
        std::vector<std::string> paths{"/a/b"};
        std::vector<std::string> excluded;
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
        while (client_num_pending(fci) != 0) {
            uint32_t rd = fci->rd.load();
            client_map_clear(fci->ring[rd], fci->index);
            remove_event_ref(fci->ring[rd]);
            fci->rd.store((rd + 1) % fci->ring_size);
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

    // Routes an ordinary event: directory-level clients are told the parent directory. The
    // router may only normalise the path (doubled slashes, the cut) in the caller's buffer.
    void route(const std::string& path, uint64_t id, uint32_t flags = EVENT_CONTENT_MODIFIED,
               uint32_t dev = 0, int32_t pid = 7) {
        std::vector<char> buffer(path.begin(), path.end());
        buffer.push_back('\0');
        uint32_t dir_length = (uint32_t)path.rfind('/') + 2;
        route_event(&table, pid, dev, buffer.data(), (uint32_t)buffer.size(), dir_length, flags,
                    id);
        std::string normalised = path;
        for (size_t at; (at = normalised.find("//")) != std::string::npos;) {
            normalised.erase(at, 1);
        }
        normalised.resize(std::min(normalised.size(), (size_t)EVENT_TABLE_PATH_MAX));
        EXPECT_EQ(std::string(buffer.data()), normalised);  // restored
    }

    // The ring's contents, oldest first.
    static std::vector<recorded_event> ring_of(const client_info* fci) {
        std::vector<recorded_event> out;
        uint32_t rd = fci->rd.load();
        for (uint32_t i = 0; i < client_num_pending(fci); i++) {
            const event_record* e = fci->ring[(rd + i) % fci->ring_size];
            out.push_back({e->path, e->flags, e->id});
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
