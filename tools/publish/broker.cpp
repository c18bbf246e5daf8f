// The publisher's session with NATS JetStream (see publish.h); the only file that uses the NATS
// client. The client's own reconnection is off: a lost connection ends the session, and the
// next session finds its place from the stream itself, which is what makes a broker restart
// safe (messages buffered for a reconnect would be neither acknowledged nor known to be lost).
#include "tools/publish/publish.h"

#include <nats/nats.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <string_view>

namespace {

constexpr int64_t BROKER_CONNECT_TIMEOUT_MS = 2000;
constexpr int64_t BROKER_API_WAIT_MS = 5000;
constexpr int64_t BROKER_ACK_WAIT_MS = 5000;  // a publish not acknowledged by then failed

std::string status_text(natsStatus s, const char* what) {
    std::string text = std::string(what) + ": " + natsStatus_GetText(s);
    natsStatus last = NATS_OK;
    const char* detail = nats_GetLastError(&last);
    if (detail != nullptr && detail[0] != '\0' &&
        strstr(detail, natsStatus_GetText(s)) == nullptr) {
        text += std::string(" (") + detail + ")";
    }
    return text;
}

// The first token of the subject prefix, whose ".>" a stream made here takes.
std::string subject_root(const std::string& prefix) {
    return prefix.substr(0, prefix.find('.')) + ".>";
}

// The value of a string or number member of a flat JSON object written by this program (no
// nesting before it, and no escaped quote in the values read).
bool json_member(std::string_view json, std::string_view name, std::string* value) {
    std::string key = "\"" + std::string(name) + "\":";
    size_t at = json.find(key);
    if (at == std::string_view::npos) {
        return false;
    }
    at += key.size();
    if (at < json.size() && json[at] == '"') {
        size_t end = json.find('"', at + 1);
        while (end != std::string_view::npos && json[end - 1] == '\\') {
            end = json.find('"', end + 1);
        }
        if (end == std::string_view::npos) {
            return false;
        }
        *value = std::string(json.substr(at + 1, end - at - 1));
        return true;
    }
    size_t end = json.find_first_of(",}", at);
    if (end == std::string_view::npos) {
        return false;
    }
    *value = std::string(json.substr(at, end - at));
    return true;
}

}  // namespace

struct publish_broker {
    natsConnection* connection = nullptr;
    jsCtx* js = nullptr;
    std::string subject;
    std::atomic<bool> failed{false};
    std::string failure;  // written once, before failed is set
    std::atomic<bool> failure_claimed{false};
    // The ids of the messages sent and not yet acknowledged, and the highest id sent. Ids go out
    // in increasing order, so everything below the lowest unacknowledged one is stored.
    std::mutex unacked_lock;
    std::multiset<uint64_t> unacked;
    uint64_t highest_sent = 0;
    bool sent_any = false;

    ~publish_broker() {
        jsCtx_Destroy(js);
        natsConnection_Destroy(connection);
    }
};

namespace {

// The event id a message id names: "HOST/UUID/ID", or "HOST/UUID/ID/rescan/N".
uint64_t id_of(natsMsg* message) {
    const char* message_id = nullptr;
    if (natsMsgHeader_Get(message, "Nats-Msg-Id", &message_id) != NATS_OK) {
        return 0;
    }
    std::string_view text(message_id);
    size_t first = text.find('/');
    size_t second = first == std::string_view::npos ? first : text.find('/', first + 1);
    return second == std::string_view::npos ? 0 : strtoull(message_id + second + 1, nullptr, 10);
}

// On the NATS client's thread, once for every message: acknowledged, refused or unanswered.
void on_publish_result(jsCtx*, natsMsg* message, jsPubAck* ack, jsPubAckErr* error, void* closure) {
    auto* broker = static_cast<publish_broker*>(closure);
    if (ack != nullptr) {
        std::lock_guard<std::mutex> hold(broker->unacked_lock);
        auto at = broker->unacked.find(id_of(message));
        if (at != broker->unacked.end()) {
            broker->unacked.erase(at);
        }
    } else if (error != nullptr && !broker->failure_claimed.exchange(true)) {
        broker->failure =
            std::string("a publish was not acknowledged: ") +
            (error->ErrText != nullptr ? error->ErrText : natsStatus_GetText(error->Err));
        broker->failed.store(true);
    }
    natsMsg_Destroy(message);
}

int connect(const publish_settings& settings, publish_broker* broker, std::string* why) {
    natsOptions* options = nullptr;
    natsStatus s = natsOptions_Create(&options);
    std::vector<const char*> servers;
    for (const std::string& server : settings.servers) {
        servers.push_back(server.c_str());
    }
    if (s == NATS_OK) {
        s = natsOptions_SetServers(options, servers.data(), static_cast<int>(servers.size()));
    }
    if (s == NATS_OK) {
        s = natsOptions_SetAllowReconnect(options, false);
    }
    if (s == NATS_OK) {
        s = natsOptions_SetTimeout(options, BROKER_CONNECT_TIMEOUT_MS);
    }
    if (s == NATS_OK) {
        s = natsOptions_SetName(options, ("vantles publish " + settings.host).c_str());
    }
    if (s == NATS_OK && !settings.creds.empty()) {
        s = natsOptions_SetUserCredentialsFromFiles(options, settings.creds.c_str(), nullptr);
    }
    if (s == NATS_OK && !settings.tls_ca.empty()) {
        s = natsOptions_SetSecure(options, true);
        if (s == NATS_OK) {
            s = natsOptions_LoadCATrustedCertificates(options, settings.tls_ca.c_str());
        }
    }
    if (s == NATS_OK && !settings.tls_cert.empty()) {
        s = natsOptions_SetSecure(options, true);
        if (s == NATS_OK) {
            s = natsOptions_LoadCertificatesChain(options, settings.tls_cert.c_str(),
                                                  settings.tls_key.c_str());
        }
    }
    if (s != NATS_OK) {
        *why = status_text(s, "NATS options");
        natsOptions_Destroy(options);
        return EINVAL;
    }
    s = natsConnection_Connect(&broker->connection, options);
    natsOptions_Destroy(options);
    if (s != NATS_OK) {
        *why = status_text(s, "connecting");
        return ECONNREFUSED;
    }
    jsOptions js_options;
    jsOptions_Init(&js_options);
    js_options.Wait = BROKER_API_WAIT_MS;
    js_options.PublishAsync.MaxPending = settings.max_pending;
    js_options.PublishAsync.StallWait = BROKER_ACK_WAIT_MS;  // at the limit, wait for acks
    js_options.PublishAsync.AckHandler = on_publish_result;
    js_options.PublishAsync.AckHandlerClosure = broker;
    s = natsConnection_JetStream(&broker->js, broker->connection, &js_options);
    if (s != NATS_OK) {
        *why = status_text(s, "JetStream");
        return EIO;
    }
    return 0;
}

// Uses the stream as it is, or makes it.
int ensure_stream(const publish_settings& settings, publish_broker* broker, std::string* why) {
    jsStreamInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    natsStatus s =
        js_GetStreamInfo(&info, broker->js, settings.stream_name.c_str(), nullptr, &code);
    jsStreamInfo_Destroy(info);
    if (s == NATS_OK) {
        return 0;
    }
    if (s != NATS_NOT_FOUND) {
        *why = status_text(s, ("stream " + settings.stream_name).c_str());
        return EIO;
    }
    jsStreamConfig config;
    jsStreamConfig_Init(&config);
    std::string subjects = subject_root(settings.subject_prefix);
    const char* list[] = {subjects.c_str()};
    config.Name = settings.stream_name.c_str();
    config.Subjects = list;
    config.SubjectsLen = 1;
    config.Storage = js_FileStorage;
    config.Replicas = settings.replicas;
    config.MaxAge = settings.max_age_ns;
    if (settings.max_bytes > 0) {
        config.MaxBytes = settings.max_bytes;
    }
    if (settings.max_msgs > 0) {
        config.MaxMsgs = settings.max_msgs;
    }
    s = js_AddStream(&info, broker->js, &config, nullptr, &code);
    jsStreamInfo_Destroy(info);
    if (s != NATS_OK) {
        *why = status_text(s, ("making stream " + settings.stream_name).c_str());
        return EIO;
    }
    return 0;
}

int read_last(const publish_settings& settings, publish_broker* broker, publish_last* last,
              std::string* why) {
    natsMsg* message = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    natsStatus s = js_GetLastMsg(&message, broker->js, settings.stream_name.c_str(),
                                 broker->subject.c_str(), nullptr, &code);
    if (s == NATS_NOT_FOUND) {
        *last = {};
        return 0;
    }
    if (s != NATS_OK) {
        *why = status_text(s, "reading the last message");
        return EIO;
    }
    std::string_view json(natsMsg_GetData(message), natsMsg_GetDataLength(message));
    std::string id;
    last->found = json_member(json, "id", &id) && json_member(json, "uuid", &last->uuid) &&
                  json_member(json, "path", &last->path);
    last->id = last->found ? strtoull(id.c_str(), nullptr, 10) : 0;
    natsMsg_Destroy(message);
    if (!last->found) {
        *why = "the last message on " + broker->subject + " is not one of this program's";
        return EINVAL;
    }
    return 0;
}

}  // namespace

int publish_broker_open(const publish_settings& settings, publish_broker** out, publish_last* last,
                        std::string* why) {
    auto* broker = new publish_broker;
    broker->subject = settings.subject_prefix + ".events";
    int err = connect(settings, broker, why);
    if (err == 0) {
        err = ensure_stream(settings, broker, why);
    }
    if (err == 0) {
        err = read_last(settings, broker, last, why);
    }
    if (err != 0) {
        delete broker;
        return err;
    }
    *out = broker;
    return 0;
}

int publish_broker_send(publish_broker* broker, uint64_t id, const std::string& json,
                        const std::string& message_id, std::string* why) {
    natsMsg* message = nullptr;
    natsStatus s = natsMsg_Create(&message, broker->subject.c_str(), nullptr, json.data(),
                                  static_cast<int>(json.size()));
    if (s == NATS_OK) {
        s = natsMsgHeader_Set(message, "Nats-Msg-Id", message_id.c_str());
    }
    if (s == NATS_OK) {
        jsPubOptions options;
        jsPubOptions_Init(&options);
        options.MaxWait = BROKER_ACK_WAIT_MS;
        // Counted before it goes (its acknowledgment may come first); not under the lock,
        // which the acknowledgments need while a publish at the limit waits for them.
        {
            std::lock_guard<std::mutex> hold(broker->unacked_lock);
            broker->unacked.insert(id);
        }
        s = js_PublishMsgAsync(broker->js, &message, &options);
        std::lock_guard<std::mutex> hold(broker->unacked_lock);
        if (s == NATS_OK) {
            broker->highest_sent = std::max(broker->highest_sent, id);
            broker->sent_any = true;
        } else if (auto at = broker->unacked.find(id); at != broker->unacked.end()) {
            broker->unacked.erase(at);
        }
    }
    natsMsg_Destroy(message);  // null when the library took it
    if (s != NATS_OK) {
        *why = status_text(s, "publishing");
        return EIO;
    }
    return 0;
}

bool publish_broker_healthy(publish_broker* broker, std::string* why) {
    if (broker->failed.load()) {
        *why = broker->failure;
        return false;
    }
    if (natsConnection_Status(broker->connection) != NATS_CONN_STATUS_CONNECTED) {
        *why = "the connection to the broker was lost";
        return false;
    }
    return true;
}

int publish_broker_drain(publish_broker* broker, int timeout_ms) {
    jsPubOptions options;
    jsPubOptions_Init(&options);
    options.MaxWait = timeout_ms;
    return js_PublishAsyncComplete(broker->js, &options) == NATS_OK && !broker->failed.load()
               ? 0
               : ETIMEDOUT;
}

uint64_t publish_broker_acked_through(publish_broker* broker, uint64_t from) {
    std::lock_guard<std::mutex> hold(broker->unacked_lock);
    if (!broker->unacked.empty()) {
        uint64_t lowest = *broker->unacked.begin();
        return std::min(from, lowest == 0 ? 0 : lowest - 1);
    }
    return broker->sent_any ? std::max(from, broker->highest_sent) : from;
}

void publish_broker_close(publish_broker* broker) {
    delete broker;
}
