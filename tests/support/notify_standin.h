// A stand-in for the service manager's notify socket: collects the daemon's notices (READY=1,
// STATUS=..., FDSTORE=1 with its descriptor) for suites restarting a daemon with its queue kept.
#pragma once

#include "tests/support/live_client.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <utility>

struct notify_standin {
    static constexpr int WAIT_MS = 30000;
    unique_fd fd;
    std::vector<std::pair<std::string, std::vector<unique_fd>>> received;

    int open_at(const std::string& path) {
        sockaddr_un addr = {AF_UNIX, {}};
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        fd.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        return bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                       chmod(path.c_str(), 0666) == 0
                   ? 0
                   : errno;
    }
    // The index of the first notice containing text (-1 on time-out).
    int wait_for(const std::string& text) {
        for (int64_t deadline = live_now_ms() + WAIT_MS;;) {
            for (size_t i = 0; i < received.size(); i++)
                if (received[i].first.find(text) != std::string::npos)
                    return int(i);
            raw_datagram d;  // a datagram socket reads as well as a sequenced-packet one
            int left = int(std::max<int64_t>(deadline - live_now_ms(), 0));
            if (left == 0 || raw_receive(fd.get(), left, &d) != 0)
                return -1;
            received.push_back({std::string(d.bytes.begin(), d.bytes.end()), std::move(d.fds)});
        }
    }
};
