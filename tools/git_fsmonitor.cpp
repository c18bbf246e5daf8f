// `vantles git-fsmonitor`: git's core.fsmonitor hook (protocol version 2), and its installation
// in a repository.
//
// As a hook git runs it in the work tree with the version and the token of its last answer;
// it prints the new token and a NUL, then each path that changed since, relative to the work
// tree and ended by a NUL (a directory also once more with a trailing "/"), or the one path "/"
// when git must look at everything. Paths under .git/ are left out. It is one connection and
// one or two requests (a replay only when something happened since), so git status pays a few
// milliseconds for it. Installed, it is a symbolic link named vantles-git-fsmonitor in the
// repository's hooks directory, which git runs without a shell; the program tells by that
// name that it is the hook.
#include "tools/options.h"
#include "tools/tool.h"
#include "vantles/changes.h"

#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr char GIT_HOOK_NAME[] = "vantles-git-fsmonitor";
constexpr char GIT_DIR_NAME[] = ".git";
// Where --install notes what core.untrackedCache was, so that --uninstall can put it back.
constexpr char GIT_NOTE_KEY[] = "vantles.untrackedCacheWas";
constexpr char GIT_NOTE_UNSET[] = "unset";

// How far ahead of git's token the daemon's may be for an answer of no changes to give git its
// own token back: the next replay starts there, and reads that much more history.
constexpr uint64_t GIT_TOKEN_KEEP_IDS = 20000;

enum fsmonitor_key { FSM_INSTALL, FSM_UNINSTALL };

// The event id of a token ("vantles:ID:UUIDS"), 0 when it is not one.
uint64_t token_id(const std::string& token) {
    return token.rfind("vantles:", 0) == 0 ? strtoull(token.c_str() + 8, nullptr, 10) : 0;
}

// Whether two tokens name the same histories (what follows the id).
bool same_histories(const std::string& a, const std::string& b) {
    size_t i = a.find(':', 8), j = b.find(':', 8);
    return i != std::string::npos && j != std::string::npos && a.compare(i, a.npos, b, j) == 0;
}

constexpr tool_option FSM_OPTIONS[] = {{"install", false, FSM_INSTALL},
                                       {"uninstall", false, FSM_UNINSTALL}};

// The hook's line on standard error, for git's user.
void hook_error(const char* what, const char* why) {
    fprintf(stderr, "vantles git-fsmonitor: %s: %s; git looks at every file itself\n", what, why);
}

// Appends path (a change under work_tree) to out as git wants it, unless it is the work tree
// itself or lies in .git. A directory comes twice, as "dir/" and as "dir": git takes "dir/" for
// everything under it and only "dir" for an index entry of that very name, and a change can be
// both (a tracked file replaced by a directory, or the reverse), whose merged flags say only
// that a directory was involved.
void append_relative(const std::string& work_tree, const vantles_change& c, std::string* out) {
    if (c.path.size() <= work_tree.size() + 1 || c.path.compare(0, work_tree.size(), work_tree) != 0 ||
        c.path[work_tree.size()] != '/') {
        return;
    }
    std::string rel = c.path.substr(work_tree.size() + 1);
    if (rel == GIT_DIR_NAME || rel.starts_with(std::string(GIT_DIR_NAME) + "/")) {
        return;
    }
    if (rel.back() == '/') {
        rel.pop_back();
    }
    if (rel.empty()) {
        return;
    }
    out->append(rel).push_back('\0');
    if (c.flags & (VANTLES_EVENT_DIR | VANTLES_EVENT_DIR_LEVEL)) {
        out->append(rel).append("/").push_back('\0');
    }
}

int run_hook(const char* version, const char* token) {
    if (strcmp(version, "2") != 0) {
        hook_error("protocol version", "only version 2 is spoken");
        return TOOL_EXIT_FAILURE;
    }
    char cwd[PATH_MAX];
    char* work_tree = getcwd(cwd, sizeof cwd) ? realpath(cwd, nullptr) : nullptr;
    if (!work_tree) {
        hook_error("the work tree", strerror(errno));
        return TOOL_EXIT_FAILURE;
    }
    vantles_changes_options options;
    options.paths = {work_tree};
    options.excludes = {std::string(work_tree) + "/" + GIT_DIR_NAME};
    options.since = token;
    options.files = true;
    free(work_tree);

    const char* socket = tool_socket_path(nullptr);
    vantles_connection conn;
    int err = vantles_connect(socket, &conn);
    if (err != 0) {
        hook_error(socket, "the daemon is not running");
        return TOOL_EXIT_FAILURE;
    }
    vantles_changes answer;
    if ((err = vantles_get_changes(&conn, options, &answer)) != 0) {
        hook_error("the daemon did not answer", tool_describe_code(err));
        return TOOL_EXIT_FAILURE;
    }
    std::string paths;
    if (!answer.rescan.empty()) {
        paths.append("/").push_back('\0');
    }
    for (const vantles_change& c : answer.changes) {
        append_relative(options.paths[0], c, &paths);
    }
    // Nothing changed: git's own token back, so that git has no reason to write its index
    // again (some 30 ms for 100,000 entries), unless the next replay would grow too long.
    bool keep = paths.empty() && token_id(token) != 0 &&
                token_id(answer.token) - token_id(token) <= GIT_TOKEN_KEEP_IDS &&
                same_histories(token, answer.token);
    std::string out = keep ? std::string(token) : answer.token;
    out.push_back('\0');
    out += paths;
    if (fwrite(out.data(), 1, out.size(), stdout) != out.size() || fflush(stdout) != 0) {
        return TOOL_EXIT_FAILURE;
    }
    return TOOL_EXIT_OK;
}

// Runs git with args in the working directory; its standard output, trimmed, in *out (may be
// null). The exit status, or -1 when it could not run.
int git(std::initializer_list<const char*> args, std::string* out = nullptr) {
    std::string command = "git";
    for (const char* a : args) {
        command += " '";
        for (const char* p = a; *p; p++) {
            command += *p == '\'' ? std::string("'\\''") : std::string(1, *p);
        }
        command += "'";
    }
    command += " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        return -1;
    }
    std::string text;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) {
        text.append(buf, n);
    }
    int status = pclose(pipe);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    if (out) {
        *out = text;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The absolute path of the repository's hooks directory (shared by its worktrees).
int hooks_dir(std::string* out) {
    std::string common;
    if (git({"rev-parse", "--is-inside-work-tree"}) != 0 ||
        git({"rev-parse", "--path-format=absolute", "--git-common-dir"}, &common) != 0) {
        tool_error("git-fsmonitor: not inside a git work tree");
        return TOOL_EXIT_USAGE;
    }
    *out = common + "/hooks";
    mkdir(out->c_str(), 0755);
    return 0;
}

int install() {
    std::string hooks;
    if (int status = hooks_dir(&hooks)) {
        return status;
    }
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        tool_error("git-fsmonitor: where is this program? (%m)");
        return TOOL_EXIT_FAILURE;
    }
    self[n] = '\0';
    std::string hook = hooks + "/" + GIT_HOOK_NAME;
    unlink(hook.c_str());
    if (symlink(self, hook.c_str()) != 0) {
        tool_error("git-fsmonitor: cannot make %s: %m", hook.c_str());
        return TOOL_EXIT_FAILURE;
    }
    std::string was, noted;
    if (git({"config", "--get", "core.untrackedCache"}, &was) != 0) {
        was = GIT_NOTE_UNSET;
    }
    if (git({"config", "--get", GIT_NOTE_KEY}, &noted) != 0 &&
        git({"config", GIT_NOTE_KEY, was.c_str()}) != 0) {
        tool_error("git-fsmonitor: git config failed");
        return TOOL_EXIT_FAILURE;
    }
    if (git({"config", "core.fsmonitor", hook.c_str()}) != 0 ||
        git({"config", "core.untrackedCache", "true"}) != 0) {
        tool_error("git-fsmonitor: git config failed");
        return TOOL_EXIT_FAILURE;
    }
    printf("core.fsmonitor = %s (-> %s)\ncore.untrackedCache = true (was %s)\n", hook.c_str(),
           self, noted.empty() ? was.c_str() : noted.c_str());
    printf("git status now asks the daemon what changed; 'vantles git-fsmonitor --uninstall' "
           "undoes this.\n");
    return TOOL_EXIT_OK;
}

int uninstall() {
    std::string hooks;
    if (int status = hooks_dir(&hooks)) {
        return status;
    }
    std::string was;
    git({"config", "--unset", "core.fsmonitor"});
    if (git({"config", "--get", GIT_NOTE_KEY}, &was) == 0) {
        if (was == GIT_NOTE_UNSET) {
            git({"config", "--unset", "core.untrackedCache"});
        } else {
            git({"config", "core.untrackedCache", was.c_str()});
        }
        git({"config", "--unset", GIT_NOTE_KEY});
    }
    unlink((hooks + "/" + GIT_HOOK_NAME).c_str());
    printf("core.fsmonitor unset; core.untrackedCache %s\n",
           was.empty() ? "left as it was"
                       : (was == GIT_NOTE_UNSET ? "unset again" : ("back to " + was).c_str()));
    return TOOL_EXIT_OK;
}

}  // namespace

void git_fsmonitor_help(FILE* out) {
    fputs(
        "vantles git-fsmonitor --install | --uninstall | VERSION TOKEN\n"
        "  --install          in a git repository: makes this program its core.fsmonitor hook\n"
        "                     and sets core.untrackedCache, so that git status asks the daemon\n"
        "                     what changed instead of looking at every file\n"
        "  --uninstall        undoes --install\n"
        "  VERSION TOKEN      the hook itself, as git runs it (protocol version 2)\n"
        "  When the daemon is not running the hook says so on standard error and fails, and git\n"
        "  looks at every file itself; after a restart that lost track, its first answer tells\n"
        "  git to do so once.\n",
        out);
}

int git_fsmonitor_command(int argc, char** argv) {
    // As a hook, as fast as can be: no option parsing when git calls.
    if (argc == 2 && argv[0][0] != '-') {
        return run_hook(argv[0], argv[1]);
    }
    std::vector<tool_parsed_option> parsed;
    std::vector<const char*> operands;
    int status = tool_parse_args(argc, argv, FSM_OPTIONS, &parsed, &operands);
    if (status != 0) {
        return status;
    }
    if (parsed.size() != 1 || !operands.empty()) {
        git_fsmonitor_help(parsed.size() == 1 && parsed[0].key == TOOL_OPTION_HELP ? stdout
                                                                                   : stderr);
        return parsed.size() == 1 && parsed[0].key == TOOL_OPTION_HELP ? TOOL_EXIT_OK
                                                                       : TOOL_EXIT_USAGE;
    }
    if (parsed[0].key == TOOL_OPTION_HELP) {
        git_fsmonitor_help(stdout);
        return TOOL_EXIT_OK;
    }
    return parsed[0].key == FSM_INSTALL ? install() : uninstall();
}

bool git_fsmonitor_invoked_as_hook(const char* argv0) {
    const char* base = strrchr(argv0, '/');
    return strcmp(base ? base + 1 : argv0, GIT_HOOK_NAME) == 0;
}
