// Sync requests (66007): "which event id covers every change I made before asking, and which
// history keeps this volume?" The answer needs the intake to have read and routed everything
// the kernel queued before the request, which can take a while under a storm; the request
// server never waits for that. It holds the reply (a descriptor of the asker's socket) and
// queues it for the sync thread, which makes the intake catch up once for every request
// waiting by then, and answers them all.
//
// Bounds: SYNC_PENDING_MAX requests waiting in all and SYNC_PENDING_PER_USER of one non-root
// uid; beyond, a request is answered at once with VANTLES_SYNC_BUSY.
//
// Lock order: sync_lock alone (the sync thread takes no other lock while it holds it).
#include "server/queries.h"
#include "server/server.h"

#include "common/log.h"
#include "intake/producer.h"
#include "platform/messages.h"
#include "platform/port.h"

#include <pthread.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr size_t SYNC_PENDING_MAX = 1024;
constexpr size_t SYNC_PENDING_PER_USER = 32;
// How long one catch-up may take before the waiting requests are answered that it failed.
constexpr int SYNC_INTAKE_MS = 2000;

struct sync_request {
    int held;                // the asker's socket
    mach_msg_header_t head;  // the reply's header, as the request server laid it out
    uint32_t device;
    uint32_t uid;
};

// The queue between the request server (producer) and the sync thread (consumer), made on
// first use and never destroyed: the thread waits on it until the process exits, and a
// condition variable destroyed under a waiter (by exit's destructors) can hang the exit.
struct sync_queue {
    std::mutex lock;
    std::condition_variable ready;
    std::vector<sync_request> pending;
    bool thread_started = false;
};

sync_queue& queue() {
    static auto* q = new sync_queue();
    return *q;
}

void answer(const sync_request& r, kern_return_t code, uint64_t event_id) {
    sync_volume_reply_t reply;
    memset(&reply, 0, sizeof reply);
    reply.head = r.head;
    reply.head.msgh_size = sizeof reply;
    reply.head.msgh_remote_port = static_cast<mach_port_t>(r.held);
    reply.NDR = NDR_record;
    reply.ret_code = code;
    if (code == KERN_SUCCESS) {
        char text[VOLUME_UUID_TEXT_BUFFER] = {};
        get_history_uuid(r.device, text);
        reply.event_id = event_id;
        memcpy(reply.uuid, text, sizeof reply.uuid);
    } else {
        reply.head.msgh_size = sizeof(error_reply_t);
    }
    port_send_held_reply(r.held, &reply.head);
}

void sync_thread() {
    sync_queue& q = queue();
    for (;;) {
        std::vector<sync_request> batch;
        {
            std::unique_lock<std::mutex> hold(q.lock);
            q.ready.wait(hold, [&] { return !q.pending.empty(); });
            batch.swap(q.pending);
        }
        uint64_t id = 0;
        bool up = get_current_event_id(&id);  // waits for the event thread's start
        int err = up ? intake_sync(SYNC_INTAKE_MS) : ETIMEDOUT;
        get_current_event_id(&id);
        for (const sync_request& r : batch) {
            answer(r, err == 0 ? KERN_SUCCESS : VANTLES_SYNC_TIMED_OUT, id);
        }
    }
}

}  // namespace

kern_return_t implementation_sync_volume_rpc(mach_port_t reply_port, uint32_t device,
                                             uint32_t sender_uid, const mach_msg_header_t* head,
                                             bool* deferred) {
    *deferred = false;
    sync_queue& q = queue();
    std::lock_guard<std::mutex> hold(q.lock);
    size_t mine = 0;
    for (const sync_request& r : q.pending) {
        mine += r.uid == sender_uid;
    }
    if (q.pending.size() >= SYNC_PENDING_MAX ||
        (sender_uid != 0 && mine >= SYNC_PENDING_PER_USER)) {
        return VANTLES_SYNC_BUSY;
    }
    int held = -1;
    if (port_hold_reply(reply_port, &held) != 0) {
        return VANTLES_SYNC_BUSY;
    }
    if (!q.thread_started) {
        std::thread(sync_thread).detach();
        q.thread_started = true;
    }
    q.pending.push_back({held, *head, device, sender_uid});
    q.ready.notify_one();
    *deferred = true;
    return KERN_SUCCESS;
}
