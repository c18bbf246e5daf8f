// What `vantles run` leaves out of a run because git ignores it (see run.h): a build's output,
// editors' swap files, the repository's own .git directory. git itself decides (git
// check-ignore), so every rule of .gitignore files, .git/info/exclude and the user's global
// excludes holds as git applies it; without git, or outside a work tree, nothing is left out.
#include "tools/run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace {

// Runs git with args, its standard input read from in (null: /dev/null), and returns its
// standard output; false when it could not run or did not exit with one of the codes ok.
bool run_git(std::vector<std::string> args, FILE* in, std::string* out,
             std::initializer_list<int> ok) {
    FILE* output = tmpfile();
    if (output == nullptr) {
        return false;
    }
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    if (in != nullptr) {
        posix_spawn_file_actions_adddup2(&files, fileno(in), STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&files, fileno(output), STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&files, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    args.insert(args.begin(), "git");
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    int err = posix_spawnp(&pid, "git", &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    int status = 0;
    bool ran = err == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
               std::find(ok.begin(), ok.end(), WEXITSTATUS(status)) != ok.end();
    if (ran) {
        rewind(output);
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, output)) > 0;) {
            out->append(buffer, n);
        }
    }
    fclose(output);
    return ran;
}

bool under(const std::string& path, const std::string& dir) {
    return path.compare(0, dir.size(), dir) == 0 &&
           (path.size() == dir.size() || path[dir.size()] == '/');
}

}  // namespace

void run_vcs_open(const std::vector<std::string>& watched, run_vcs* vcs) {
    for (const std::string& path : watched) {
        std::string top;
        if (run_git({"-C", path, "rev-parse", "--show-toplevel"}, nullptr, &top, {0}) &&
            !top.empty()) {
            top.erase(top.find_last_not_of('\n') + 1);
            if (std::find(vcs->tops.begin(), vcs->tops.end(), top) == vcs->tops.end()) {
                vcs->tops.push_back(top);
            }
        }
    }
}

void run_vcs_drop_ignored(const run_vcs& vcs, std::vector<std::string>* paths) {
    for (const std::string& top : vcs.tops) {
        std::string git_dir = top + "/.git";
        std::erase_if(*paths, [&](const std::string& p) { return under(p, git_dir); });
        FILE* list = tmpfile();
        if (list == nullptr) {
            return;
        }
        bool any = false;
        for (const std::string& p : *paths) {
            if (under(p, top) && p != top) {
                fwrite(p.c_str(), 1, p.size() + 1, list);  // NUL-ended, as -z reads them
                any = true;
            }
        }
        std::string ignored;
        // check-ignore exits with 1 when nothing is ignored.
        bool ran = any && fflush(list) == 0 && fseek(list, 0, SEEK_SET) == 0 &&
                   run_git({"-C", top, "check-ignore", "-z", "--stdin"}, list, &ignored, {0, 1});
        fclose(list);
        if (!ran || ignored.empty()) {
            continue;
        }
        std::vector<std::string> out;
        for (size_t at = 0, end; (end = ignored.find('\0', at)) != std::string::npos;
             at = end + 1) {
            out.emplace_back(ignored, at, end - at);
        }
        std::erase_if(*paths, [&](const std::string& p) {
            return std::find(out.begin(), out.end(), p) != out.end();
        });
    }
}
