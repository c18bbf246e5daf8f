// NATS for the publisher's suite: nats-server children on the loopback of the test's own
// network namespace, each with its JetStream store in a directory of its own (killed and
// started again on it), and a reader that takes a stream back message by message.
#pragma once

#include "tests/support/test_daemon.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <nats/nats.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

inline std::string nats_server_binary() {  // empty when the machine has none
    for (const char* path : {"/usr/sbin/nats-server", "/usr/bin/nats-server"})
        if (access(path, X_OK) == 0)
            return path;
    return "";
}

// Moves this thread, and so every child it forks later, into a new network namespace whose
// loopback is up: nothing started there reaches the machine's network. 0 or an errno value.
inline int private_loopback() {
    ifreq ifr = {};
    strcpy(ifr.ifr_name, "lo");
    int fd = unshare(CLONE_NEWNET) == 0 ? socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1;
    int err = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 &&
                      (ifr.ifr_flags |= IFF_UP, ioctl(fd, SIOCSIFFLAGS, &ifr) == 0)
                  ? 0
                  : errno;
    close(fd);
    return err;
}

struct nats_server {
    std::string name, store, log;    // its JetStream directory; its output (appended)
    int port = 0, cluster_port = 0;  // cluster_port 0: a lone server
    std::vector<int> peers;          // the other members' cluster ports
    pid_t pid = -1;

    ~nats_server() { stop(); }
    // Starts it (again) on its store; returns once it takes connections. 0 or an errno value.
    int start() {
        std::vector<std::string> args = {nats_server_binary(), "-js", "-a",  "127.0.0.1", "-p",
                                         std::to_string(port), "-sd", store, "-n",        name};
        std::string routes;
        for (int p : peers)
            routes += (routes.empty() ? "--routes=" : ",") + url(p);
        if (cluster_port != 0)
            args.insert(args.end(),
                        {routes, "--cluster_name", "vantles-test", "--cluster", url(cluster_port)});
        std::vector<char*> argv = c_strings(args);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        fflush(nullptr);
        if (out >= 0 && (pid = fork()) == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(out, 1);
            dup2(out, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out);
        sockaddr_in addr = {AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
        auto up = [&] {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            close(fd);
            return ok;
        };
        bool started =
            pid > 0 && wait_until([&] { return up() || waitpid(pid, nullptr, WNOHANG); }, 20000);
        if (started && waitpid(pid, nullptr, WNOHANG) == 0)
            return 0;
        stop();
        return started ? ECHILD : ETIMEDOUT;
    }
    void stop(int sig = SIGKILL) {  // and reaps it
        if (pid > 0 && kill(pid, sig) == 0)
            waitpid(pid, nullptr, 0);
        pid = -1;
    }
    std::string url(int p = 0) const { return "nats://127.0.0.1:" + std::to_string(p ? p : port); }
};

// One message of the stream, as far as the suite reads it.
struct published {
    uint64_t seq = 0, id = 0;
    std::string subject, msg_id, host, uuid, path;
    std::string flags;  // the array's contents as written: "created","file"
    bool rescan() const { return flags == "\"rescan\""; }
};

// Reads a stream in sequence order, each message once, across reconnections to any server.
class stream_reader {
public:
    ~stream_reader() { close(); }
    natsStatus open(const std::vector<std::string>& urls, const std::string& stream) {
        stream_ = stream;
        std::vector<const char*> servers;
        for (const std::string& u : urls)
            servers.push_back(u.c_str());
        natsOptions* options = nullptr;
        jsOptions js_options;
        jsOptions_Init(&js_options);
        js_options.Wait = 2000;
        natsStatus s = natsOptions_Create(&options);
        for (natsStatus step :
             {natsOptions_SetServers(options, servers.data(), int(servers.size())),
              natsOptions_SetMaxReconnect(options, -1), natsOptions_SetReconnectWait(options, 50)})
            s = s == NATS_OK ? step : s;
        s = s == NATS_OK ? natsConnection_Connect(&conn_, options) : s;
        natsOptions_Destroy(options);
        return s == NATS_OK ? natsConnection_JetStream(&js_, conn_, &js_options) : s;
    }
    void close() {
        jsCtx_Destroy(std::exchange(js_, nullptr));
        natsConnection_Destroy(std::exchange(conn_, nullptr));
        nats_CloseAndWait(2000);  // the library's threads and memory too: the leak check sees them
    }

    // Reads what was stored since the last call; false (why set) when the broker did not answer.
    bool poll(std::string* why) {
        jsErrCode code = jsErrCode(0);
        uint64_t last = 0;
        natsStatus s = info([&](jsStreamInfo* i) { last = i->State.LastSeq; }, &code);
        for (; s == NATS_OK && next_seq_ <= last; next_seq_++) {
            natsMsg* m = nullptr;
            if ((s = js_GetMsg(&m, js_, stream_.c_str(), next_seq_, nullptr, &code)) != NATS_OK)
                break;
            std::string json(natsMsg_GetData(m), natsMsg_GetDataLength(m));
            const char* msg_id = "";
            natsMsgHeader_Get(m, "Nats-Msg-Id", &msg_id);
            messages.push_back({next_seq_, strtoull(field(json, "id").c_str(), nullptr, 10),
                                natsMsg_GetSubject(m), msg_id, field(json, "host"),
                                field(json, "uuid"), field(json, "path"), field(json, "flags")});
            natsMsg_Destroy(m);
        }
        if (s != NATS_OK)
            *why = std::string(natsStatus_GetText(s)) + " (" + std::to_string(code) + ")";
        return s == NATS_OK;
    }
    // "SUBJECTS STORAGE REPLICAS" of the stream's configuration; its leader's name once every
    // other replica has caught up with it (a group killed before that may never elect again).
    std::string config() {
        std::string out;
        info([&](jsStreamInfo* i) {
            for (int n = 0; n < i->Config->SubjectsLen; n++)
                out += i->Config->Subjects[n] + std::string(" ");
            out += i->Config->Storage == js_FileStorage ? "file " : "memory ";
            out += std::to_string(i->Config->Replicas);
            out += " age " + std::to_string(i->Config->MaxAge / 1000000000) + "s bytes " +
                   std::to_string(i->Config->MaxBytes) + " msgs " +
                   std::to_string(i->Config->MaxMsgs);
        });
        return out;
    }
    std::string leader() {
        std::string out;
        info([&](jsStreamInfo* i) {
            jsClusterInfo* c = i->Cluster;
            bool whole = c && c->Leader && c->ReplicasLen == int(i->Config->Replicas) - 1;
            for (int n = 0; whole && n < c->ReplicasLen; n++)
                whole = c->Replicas[n]->Current && !c->Replicas[n]->Offline;
            out = whole ? c->Leader : "";
        });
        return out;
    }

    std::vector<published> messages;

private:
    natsStatus info(const std::function<void(jsStreamInfo*)>& take, jsErrCode* code = nullptr) {
        jsStreamInfo* i = nullptr;
        natsStatus s = js_GetStreamInfo(&i, js_, stream_.c_str(), nullptr, code);
        if (s == NATS_OK)
            take(i);
        jsStreamInfo_Destroy(i);
        return s;
    }
    // The string, number or array contents after "key": in a flat JSON object; strings are
    // unescaped as far as the suite's plain names need.
    static std::string field(const std::string& json, const std::string& key) {
        size_t at = json.find("\"" + key + "\":");
        if (at == std::string::npos)
            return "";
        at += key.size() + 3;
        if (json[at] == '[')
            return json.substr(at + 1, json.find(']', at) - at - 1);
        if (json[at] != '"')
            return json.substr(at, json.find_first_of(",}", at) - at);
        std::string out;
        for (size_t i = at + 1; i < json.size() && json[i] != '"'; i++)
            out += json[i] == '\\' && i + 1 < json.size() ? json[++i] : json[i];
        return out;
    }

    natsConnection* conn_ = nullptr;
    jsCtx* js_ = nullptr;
    std::string stream_;
    uint64_t next_seq_ = 1;
};
