// `vantles publish`: its usage, and the hand-over to the publisher program vantles-publish,
// which alone links the NATS client (so that the other commands stay small). The program is
// looked for beside this one, then where the package installs it.
#include "platform/process_name.h"
#include "tools/tool.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#ifndef VANTLES_LIBEXEC_DIR
#define VANTLES_LIBEXEC_DIR "/usr/libexec/vantles"
#endif

int publish_command(int argc, char** argv) {
    // Beside this program (a build tree), then in the libexec directory beside its bin
    // directory (an install under any prefix), then where this build would install it.
    std::vector<std::string> candidates;
    std::string self;
    if (process_own_path(&self) == 0) {
        std::string dir = self.substr(0, self.rfind('/') + 1);
        candidates.push_back(dir + "vantles-publish");
        candidates.push_back(dir + "../libexec/vantles/vantles-publish");
    }
    candidates.emplace_back(VANTLES_LIBEXEC_DIR "/vantles-publish");
    std::vector<char*> args;
    args.push_back(const_cast<char*>("vantles-publish"));
    for (int i = 0; i < argc; i++) {
        args.push_back(argv[i]);
    }
    args.push_back(nullptr);
    int err = ENOENT;
    for (const std::string& program : candidates) {
        execv(program.c_str(), args.data());
        err = errno == ENOENT ? err : errno;
    }
    tool_error("publish: the publisher program %s: %s (is the package complete?)",
               candidates.back().c_str(), strerror(err));
    return TOOL_EXIT_FAILURE;
}
