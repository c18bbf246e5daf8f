// One session of the publisher on the daemon's side (see publish.h): where to resume, the
// stream of events, their order, and their messages.
//
// Messages go out in id order per batch, and a replay is gathered whole (up to a bound) and
// sorted before it goes out: the history replays each log file in path order, and the stream's
// last message is where the next session resumes, so it must be the highest id published.
//
// The daemon holds only a few hundred events for a client that does not read, so the stream is
// read on the client library's thread into an inbox while this thread publishes; an inbox that
// reaches its bound ends the session, which the next one resumes from the history.
#include "platform/unique_fd.h"
#include "tools/json_out.h"
#include "tools/options.h"
#include "tools/publish/publish.h"
#include "tools/tool.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace {

constexpr size_t FEED_MAX_REPLAY_HELD = 1 << 20;  // events of a replay sorted at once
constexpr size_t FEED_MAX_INBOX = 1 << 18;        // events read ahead of the publishing
constexpr int FEED_POLL_MS = 200;                 // how often the broker's health is checked
constexpr int FEED_DRAIN_MS = 5000;
constexpr uint32_t FEED_NOTICES =
    VANTLES_EVENT_USER_DROPPED | VANTLES_EVENT_KERNEL_DROPPED | VANTLES_EVENT_IDS_WRAPPED;

struct feed_event {
    uint64_t id;
    uint32_t flags;
    std::string path;
};

// A watched path and the history uuid of its volume, which the messages of its events carry.
struct feed_root {
    std::string path;
    std::string uuid;
};

struct feed {
    const publish_settings& settings;
    publish_broker* broker;
    std::vector<feed_root> roots = {};
    std::vector<feed_event> arrived = {};  // taken from the inbox
    // Filled by the library's thread; the pipe's write end wakes this one when it was empty.
    std::mutex inbox_lock{};
    std::vector<feed_event> inbox = {};
    bool inbox_overflowed = false;
    unique_fd wake_read{}, wake_write{};
    std::vector<feed_event> replay = {};
    bool replaying = false;
    bool fell_behind = false;
    uint64_t* behind_at = nullptr;  // the last notice that ended a session, kept across them
    std::string line = {}, event_json = {};
    std::string batch_time = {};  // when the batch being published arrived
    std::string failure = {};     // why the session ends, when the broker failed

    // Whether path is dir or under it.
    static bool under(const std::string& path, const std::string& dir) {
        return path.compare(0, dir.size(), dir) == 0 &&
               (path.size() == dir.size() || dir == "/" || path[dir.size()] == '/');
    }

    // The root whose path is the longest prefix of path (the first one when none is).
    const feed_root& root_of(const std::string& path) const {
        const feed_root* best = &roots.front();
        size_t best_length = 0;
        for (const feed_root& root : roots) {
            if (under(path, root.path) && root.path.size() > best_length) {
                best = &root;
                best_length = root.path.size();
            }
        }
        return *best;
    }

    bool send(uint64_t id, uint32_t flags, const std::string& path) {
        const feed_root& root = root_of(path);
        line = "{\"host\":";
        json_append_string(&line, settings.host);
        line += ",\"uuid\":";
        json_append_string(&line, root.uuid);
        line += ',';
        event_json.clear();
        json_append_event(&event_json, vantles_event{id, flags, path.c_str()}, batch_time);
        line.append(event_json, 1);  // its members after the opening brace
        return publish_broker_send(broker, id, line,
                                   settings.host + "/" + root.uuid + "/" + std::to_string(id),
                                   &failure) == 0;
    }

    // A rescan of the watched root at index i, for the notice (or the start) with this id.
    bool send_rescan(uint64_t id, size_t i) {
        const feed_root& root = roots[i];
        line = "{\"host\":";
        json_append_string(&line, settings.host);
        line += ",\"uuid\":";
        json_append_string(&line, root.uuid);
        line += ",\"id\":" + std::to_string(id) + ",\"flags\":[\"rescan\"],\"path\":";
        json_append_string(&line, root.path);
        line += '}';
        std::string message_id = settings.host + "/" + root.uuid + "/" + std::to_string(id) +
                                 "/rescan/" + std::to_string(i);
        return publish_broker_send(broker, id, line, message_id, &failure) == 0;
    }

    // A notice of lost events under path: a rescan of every watched root it touches.
    bool send_notice(uint64_t id, const std::string& path) {
        for (size_t i = 0; i < roots.size(); i++) {
            const std::string& r = roots[i].path;
            if (under(r, path) || under(path, r)) {
                if (!send_rescan(id, i)) {
                    return false;
                }
            }
        }
        return true;
    }

    bool send_sorted(std::vector<feed_event>* events) {
        std::stable_sort(events->begin(), events->end(),
                         [](const feed_event& a, const feed_event& b) { return a.id < b.id; });
        for (const feed_event& e : *events) {
            bool sent = (e.flags & FEED_NOTICES) != 0 ? send_notice(e.id, e.path)
                                                      : send(e.id, e.flags, e.path);
            if (!sent) {
                return false;
            }
        }
        events->clear();
        return true;
    }

    // Publishes what the last dispatch brought. False when the broker failed.
    bool take_arrived() {
        batch_time = json_time_now();
        std::vector<feed_event> live;
        for (feed_event& e : arrived) {
            if ((e.flags & VANTLES_EVENT_USER_DROPPED) != 0 && e.id != *behind_at) {
                // This stream fell behind (also while a replay runs: live changes wait in a
                // small ring meanwhile), and the history has what it missed: the next session
                // takes it from there. The same notice again is the history's own gap, which
                // only a rescan covers.
                *behind_at = e.id;
                fell_behind = true;
                break;
            }
            if ((e.flags & VANTLES_EVENT_HISTORY_DONE) != 0) {
                replaying = false;
                if (!send_sorted(&replay)) {
                    return false;
                }
            } else if (replaying) {
                replay.push_back(std::move(e));
                if (replay.size() >= FEED_MAX_REPLAY_HELD && !send_sorted(&replay)) {
                    return false;
                }
            } else {
                live.push_back(std::move(e));
            }
        }
        arrived.clear();
        return send_sorted(&live);
    }
};

// On the client library's thread.
void collect(void* ctx, std::span<const vantles_event> events) {
    auto* f = static_cast<feed*>(ctx);
    bool was_empty = false;
    {
        std::lock_guard<std::mutex> hold(f->inbox_lock);
        was_empty = f->inbox.empty();
        for (const vantles_event& e : events) {
            if (!tool_filter_keeps(f->settings.stream.output.filter, e)) {
                continue;
            }
            if (f->inbox.size() >= FEED_MAX_INBOX) {
                f->inbox_overflowed = true;
                break;
            }
            f->inbox.push_back({e.id, e.flags, e.path});
        }
    }
    char byte = 1;
    if (was_empty && write(f->wake_write.get(), &byte, 1) < 0) {
        // a full pipe already wakes the publishing thread
    }
}

// Moves the inbox to f->arrived, emptying the wake-up pipe first so no wake-up is lost.
void take_inbox(feed* f) {
    char bytes[64];
    while (read(f->wake_read.get(), bytes, sizeof bytes) > 0) {
    }
    std::lock_guard<std::mutex> hold(f->inbox_lock);
    f->arrived.swap(f->inbox);
    f->inbox.clear();
    f->fell_behind = f->fell_behind || f->inbox_overflowed;
}

// The uuid of each root's volume and the current id. 0 or an errno value with *why.
int ask_daemon(const publish_settings& settings, std::vector<feed_root>* roots, uint64_t* current,
               std::string* why) {
    vantles_connection conn;
    const char* socket = settings.stream.options.socket_path;
    if (int err = vantles_connect(socket, &conn); err != 0) {
        *why = std::string("cannot reach the daemon at ") + socket + ": " + strerror(err);
        return err;
    }
    std::vector<std::string> uuids;
    if (int err = tool_volume_uuids(conn, settings.stream.options.paths, &uuids, why); err != 0) {
        return err;
    }
    for (size_t i = 0; i < uuids.size(); i++) {
        roots->push_back({settings.stream.options.paths[i], uuids[i]});
    }
    if (int err = vantles_get_current_event_id(&conn, current); err != 0) {
        *why = std::string("the current event id: ") + tool_describe_code(err);
        return EIO;
    }
    return 0;
}

}  // namespace

int publish_feed_run(const publish_settings& settings, publish_broker* broker,
                     const publish_last& last, int signal_fd, std::string* why,
                     publish_carry* carry, const std::function<void()>& on_start) {
    feed f{.settings = settings, .broker = broker, .behind_at = &carry->behind_at};
    uint64_t current = 0;
    if (ask_daemon(settings, &f.roots, &current, why) != 0) {
        return -1;
    }
    // Where to go on: after the last message when its volume's history is still the one it
    // named (or earlier, where this process saw a message go unacknowledged); otherwise from
    // now, after a rescan message for every path.
    vantles_stream_options options = settings.stream.options;
    options.since_when = current;
    bool rescan = false;
    if (last.found) {
        const feed_root& root = f.root_of(last.path);
        rescan = root.uuid != last.uuid || root.uuid.rfind("NO-UUID", 0) == 0;
        options.since_when = rescan ? current : std::min(last.id, carry->acked_through);
        if (rescan) {
            tool_error(
                "publish: the history of %s is not the one the stream's last message "
                "names (%s, now %s): publishing a rescan",
                root.path.c_str(), last.uuid.c_str(), root.uuid.c_str());
        }
    }
    for (size_t i = 0; rescan && i < f.roots.size(); i++) {
        if (!f.send_rescan(current, i)) {
            *why = f.failure;
            return -1;
        }
    }
    f.replaying = true;  // every session asks for a replay, if only an empty one
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        *why = std::string("pipe: ") + strerror(errno);
        return -1;
    }
    f.wake_read.reset(pipe_fds[0]);
    f.wake_write.reset(pipe_fds[1]);
    vantles_stream* stream = nullptr;
    if (vantles_stream_create(options, collect, &f, &stream) != 0) {
        return TOOL_EXIT_FAILURE;
    }
    int status = tool_start_stream(stream, options) == 0 && vantles_stream_start_thread(stream) == 0
                     ? 1
                     : -1;
    if (status == -1) {
        *why = "the daemon refused the stream";
    } else {
        on_start();
    }
    while (status == 1) {
        pollfd fds[2] = {{signal_fd, POLLIN, 0}, {f.wake_read.get(), POLLIN, 0}};
        if (poll(fds, 2, FEED_POLL_MS) < 0 && errno != EINTR) {
            status = TOOL_EXIT_FAILURE;
            break;
        }
        take_inbox(&f);
        if (fds[0].revents != 0) {
            status = 0;
        } else if (int ended = vantles_stream_thread_result(stream); ended != 0) {
            tool_stream_going_on(ended);  // says why
            *why = "the daemon ended the stream";
            status = -1;  // resume once it is back
        }
        if (!f.take_arrived() || !publish_broker_healthy(broker, &f.failure)) {
            *why = f.failure;
            status = -1;
            break;
        }
        if (f.fell_behind) {
            *why = "fell behind the daemon; going on from its history";
            status = -1;
        }
    }
    if (status != -1 || f.failure.empty()) {
        publish_broker_drain(broker, FEED_DRAIN_MS);  // so the next session reads the true last
    }
    carry->acked_through = publish_broker_acked_through(broker, options.since_when);
    vantles_stream_destroy(stream);  // stops the library thread before f goes
    return status;
}
