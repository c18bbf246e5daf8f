// One run of the command of `vantles run` (see run.h). The list of changed paths goes through
// an unlinked temporary file rather than a pipe: a command that never reads its standard input
// must not stall the watch, however long the list. Each run is a process group of its own,
// which is what is stopped: a shell's children (a build's compilers, a server's workers) go
// with it instead of living on without a parent.
#include "tools/run.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int run_child_start(std::span<char* const> command, const run_input& input, pid_t* pid) {
    FILE* list = nullptr;
    if (!input.rescan) {
        list = tmpfile();
        if (list == nullptr) {
            return errno;
        }
        char end = input.nul ? '\0' : '\n';
        for (const std::string& path : input.paths) {
            fwrite(path.data(), 1, path.size(), list);
            fputc(end, list);
        }
        if (fflush(list) != 0 || fseek(list, 0, SEEK_SET) != 0) {
            int err = errno;
            fclose(list);
            return err;
        }
    }
    std::string count = std::to_string(input.rescan ? 0 : input.paths.size());
    fflush(nullptr);  // nothing buffered here is written twice
    pid_t child = fork();
    if (child < 0) {
        int err = errno;
        if (list != nullptr) {
            fclose(list);
        }
        return err;
    }
    if (child == 0) {
        setpgid(0, 0);  // a group of its own, so that its own children are stopped with it
        int in = list != nullptr ? fileno(list) : open("/dev/null", O_RDONLY);
        if (in < 0 || dup2(in, STDIN_FILENO) < 0) {
            _exit(127);
        }
        setenv("VANTLES_CHANGES", count.c_str(), 1);
        if (input.rescan) {
            setenv("VANTLES_RESCAN", "1", 1);
        } else {
            unsetenv("VANTLES_RESCAN");
        }
        execvp(command[0], command.data());
        fprintf(stderr, "vantles: run: %s: %s\n", command[0], strerror(errno));
        _exit(127);
    }
    setpgid(child, child);  // also here, so that no signal finds it still in ours
    if (list != nullptr) {
        fclose(list);
    }
    *pid = child;
    return 0;
}

void run_group_stop(pid_t group, int signal, int grace_ms) {
    kill(-group, signal);
    for (int waited = 0; waited < grace_ms && kill(-group, 0) == 0; waited += 10) {
        usleep(10000);
    }
    kill(-group, SIGKILL);
}
