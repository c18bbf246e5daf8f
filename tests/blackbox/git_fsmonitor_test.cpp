// `vantles git-fsmonitor` as git's hook, differentially: after each round of random work, git
// status with the hook prints what it prints looking at every file itself.
#include "tests/support/scratch_daemon.h"

#include <random>

namespace {

constexpr char GIT_BIN[] = "/usr/bin/git";
constexpr char GIT_REPO[] = "/var/repo";
constexpr unsigned GIT_SEED = 20250611;
constexpr int GIT_DIRS = 12, GIT_FILES_PER_DIR = 25;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int GIT_ROUNDS = 60;  // a sanitizer slows the daemon and the hook many times over
#else
constexpr int GIT_ROUNDS = 300;
#endif
constexpr int GIT_STOPPED_ROUNDS = 10;

class GitFsmonitor : public ScratchDaemonTest {
protected:
    void prepare() override {
        if (access(GIT_BIN, X_OK) != 0)
            GTEST_SKIP() << "git is not installed";
        show_tool();
        ASSERT_TRUE(start({{"/var", "tmpfs", false, "256m"}}));
        ASSERT_EQ(0, live_make_dir(daemon_, GIT_REPO));
        // Both outlive the daemon, for the rounds after it has stopped.
        ns_.reset(open_namespace(daemon_));
        tree_fd_.reset(open(host(GIT_REPO).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(ns_.valid() && tree_fd_.valid()) << strerror(errno);
        tree_ = "/proc/self/fd/" + std::to_string(tree_fd_.get());
    }

    // argv in the repository, in the daemon's namespace, with the hook's socket; its exit status.
    int run(std::vector<std::string> argv, std::string* out = nullptr) {
        std::string ignored;
        return run_in_namespace(
            ns_.get(), GIT_REPO, std::move(argv),
            {"VANTLESD_SOCKET=" + daemon_.socket_path, "HOME=/tmp", "GIT_CONFIG_NOSYSTEM=1",
             "GIT_AUTHOR_NAME=t", "GIT_AUTHOR_EMAIL=t@t", "GIT_COMMITTER_NAME=t",
             "GIT_COMMITTER_EMAIL=t@t"},
            out ? out : &ignored);
    }
    int git(std::vector<std::string> args, std::string* out = nullptr) {
        args.insert(args.begin(), GIT_BIN);
        return run(std::move(args), out);
    }

    // The hook's exit status, and its answer to the token in git's index (after its own token).
    int hook_answer(std::string* paths) {
        std::string index = read_text(tree_ + "/.git/index"), out;
        size_t at = index.find("vantles:");
        if (at == std::string::npos)
            return -1;
        int status = run({std::string(GIT_REPO) + "/.git/hooks/vantles-git-fsmonitor", "2",
                          index.substr(at, index.find('\0', at) - at)},
                         &out);
        *paths = out.substr(std::min(out.size(), out.find('\0') + 1));
        return status;
    }

    std::string path(const std::string& rel) const { return tree_ + "/" + rel; }

    // Failures are part of the random work (a file in a directory that is a file now).
    void write_file(const std::string& rel, const std::string& text, bool append = false) {
        int fd = open(path(rel).c_str(),
                      O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644);
        if (fd >= 0 && write(fd, text.data(), text.size()) < 0)
            ADD_FAILURE() << rel << ": " << strerror(errno);
        close(fd);
    }

    void make_repository() {
        for (int d = 0; d < GIT_DIRS; d++) {
            std::string dir = d % 3 == 2 ? "d" + std::to_string(d - 1) + "/s" + std::to_string(d)
                                         : "d" + std::to_string(d);
            std::filesystem::create_directories(path(dir), ec_);
            for (int f = 0; f < GIT_FILES_PER_DIR; f++)
                write_file(dir + "/f" + std::to_string(f) + ".txt",
                           dir + " file " + std::to_string(f) + "\n");
        }
        write_file(".gitignore", "*.log\n");
        ASSERT_EQ(0, git({"init", "-q", "-b", "main"}));
        ASSERT_EQ(0, git({"add", "-A"}));
        ASSERT_EQ(0, git({"commit", "-q", "-m", "start"}));
        // A branch that differs from main in contents, modes, files and whole directories.
        ASSERT_EQ(0, git({"checkout", "-q", "-b", "other"}));
        for (int f = 0; f < 10; f++)
            write_file("d0/f" + std::to_string(f) + ".txt", "other\n", true);
        std::filesystem::remove_all(path("d3"), ec_);
        std::filesystem::rename(path("d4"), path("d4moved"), ec_);
        std::filesystem::create_directories(path("only-other/x"), ec_);
        write_file("only-other/x/new.txt", "new\n");
        chmod(path("d6/f1.txt").c_str(), 0755);
        ASSERT_EQ(0, git({"add", "-A"}));
        ASSERT_EQ(0, git({"commit", "-q", "-m", "other"}));
        ASSERT_EQ(0, git({"checkout", "-q", "main"}));
        std::string out;
        ASSERT_EQ(0, run({SCRATCH_TOOL, "git-fsmonitor", "--install"}, &out)) << out;
    }

    // One to three random changes; what they were, for the failure message.
    std::string random_work(std::mt19937* rng) {
        std::string done;
        auto pick = [&](const std::vector<std::string>& from) {
            return from.empty() ? std::string() : from[(*rng)() % from.size()];
        };
        auto fresh = [&] {
            static const char* const EXTS[] = {"", ".txt", ".tmp", ".log", ".o"};
            return "n" + std::to_string(names_++) + EXTS[(*rng)() % 5];
        };
        auto change = [&](const std::string& f, const std::string& d,
                          const std::string& to) -> std::string {
            switch (int op = (*rng)() % 13; f.empty() && op < 4 ? 5 : op) {
                case 0:  // the same size and a new content, or another size
                    write_file(f, std::string(read_text(path(f)).size(), 'a' + (*rng)() % 26));
                    return "edit " + f;
                case 1:
                    write_file(f, "more\n", true);
                    return "append " + f;
                case 2:
                    unlink(path(f).c_str());
                    return "rm " + f;
                case 3:
                    std::filesystem::rename(path(f), path(to), ec_);
                    return "mv " + f + " " + to;
                case 4:
                    if (!d.empty() && !to.starts_with(d + "/"))
                        std::filesystem::rename(path(d), path(to), ec_);
                    return "mv " + d + "/ " + to + "/";
                case 5:
                    std::filesystem::create_directories(path(to + "/a/b"), ec_);
                    write_file(to + "/a/" + fresh(), "u\n");
                    write_file(to + "/a/b/" + fresh(), "u\n");
                    return "untracked tree " + to;
                case 6: {
                    static const char* const PATTERNS[] = {
                        "*.tmp\n", "*.log\n", "!keep.log\n", "n1*/\n", "s*/\n", "*.o\n", "/n2*\n"};
                    std::string text;
                    for (const char* p : PATTERNS)
                        text += (*rng)() % 3 == 0 ? p : "";
                    write_file((d.empty() ? "" : d + "/") + ".gitignore", text);
                    return d + "/.gitignore = " + text;
                }
                case 7:
                    if (git({"checkout", "-q", "-f", branch_ == "main" ? "other" : "main"}) == 0)
                        branch_ = branch_ == "main" ? "other" : "main";
                    return "checkout " + branch_;
                case 8:
                    if (git({"rev-parse", "-q", "--verify", "refs/stash"}) != 0) {
                        bool untracked = (*rng)() % 2;
                        git(untracked ? std::vector<std::string>{"stash", "-q", "-u"}
                                      : std::vector<std::string>{"stash", "-q"});
                        return untracked ? "stash -u" : "stash";
                    }
                    if (git({"stash", "pop", "-q"}) == 0)
                        return "stash pop";
                    git({"reset", "-q", "--hard"});
                    git({"stash", "drop", "-q"});
                    return "stash pop (conflict: reset --hard)";
                case 9: {
                    struct stat st = {};
                    stat(path(f).c_str(), &st);
                    chmod(path(f).c_str(), st.st_mode & 0100 ? 0644 : 0755);
                    return "chmod " + f;
                }
                case 10:
                    git({"add", "-A"});
                    git({"commit", "-q", "-m", "round"});
                    return "commit";
                case 11:  // a directory turned into a file of that name, or back
                    if (!d.empty() && (f.empty() || (*rng)() % 2)) {
                        std::filesystem::remove_all(path(d), ec_);
                        write_file(d, "was a directory\n");
                        return "directory to file " + d;
                    } else if (!f.empty()) {
                        unlink(path(f).c_str());
                        std::filesystem::create_directories(path(f), ec_);
                        write_file(f + "/inside", "was a file\n");
                        return "file to directory " + f;
                    }
                    return "";
                default:
                    if (!d.empty())
                        std::filesystem::remove_all(path(d), ec_);
                    return "rm -r " + d;
            }
        };
        for (int n = 1 + (*rng)() % 3; n > 0; n--) {
            std::vector<std::string> files,
                dirs;  // the work tree's (.git left out), relative to it
            std::error_code ec;
            auto it = std::filesystem::recursive_directory_iterator(tree_, ec);
            for (; !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
                std::string rel = it->path().string().substr(tree_.size() + 1);
                if (rel == ".git")
                    it.disable_recursion_pending();
                else
                    (it->is_directory(ec) ? dirs : files).push_back(rel);
            }
            dirs.push_back("");
            std::string f = pick(files), d = pick(dirs), to = pick(dirs);
            done += change(f, d, to.empty() ? fresh() : to + "/" + fresh()) + "; ";
        }
        return done;
    }

    unique_fd ns_, tree_fd_;
    std::string tree_;  // the work tree, through tree_fd_
    std::string branch_ = "main";
    int names_ = 0;
    std::error_code ec_;  // the random work's failures (a rename into itself) are part of it
};

// Rounds with a restart halfway (a rescan its first answer), then with the daemon stopped. The
// hook is seen answering with the paths that changed, not by making git look at everything.
TEST_F(GitFsmonitor, StatusWithTheHookIsStatusLookingAtEverything) {
    SCOPED_TRACE("seed " + std::to_string(GIT_SEED));
    ASSERT_NO_FATAL_FAILURE(make_repository());
    std::mt19937 rng(GIT_SEED);
    std::string paths;
    for (int round = 0; round < GIT_ROUNDS + GIT_STOPPED_ROUNDS; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        if (round == GIT_ROUNDS / 2) {
            write_file("probe", "p\n");
            ASSERT_EQ(0, hook_answer(&paths));
            EXPECT_NE(std::string::npos,
                      (std::string(1, '\0') + paths).find(std::string("\0probe\0", 7)))
                << paths;
            EXPECT_NE(0u, paths.find(std::string("/\0", 2))) << "a rescan";
            ASSERT_EQ(0, test_daemon_restart(&daemon_, {"-d"}));
            ASSERT_EQ(0, hook_answer(&paths));
            EXPECT_EQ(std::string("/\0", 2), paths) << "the first answer after a restart";
        }
        if (round == GIT_ROUNDS) {
            test_daemon_stop(&daemon_);
            EXPECT_NE(0, hook_answer(&paths)) << "the hook fails with no daemon";
        }
        // git status with the hook, then looking at everything itself (with neither the hook nor
        // the untracked cache, and leaving the index alone, whose token it would drop).
        std::string work = random_work(&rng), hooked, full;
        ASSERT_EQ(0, git({"status", "--porcelain=v2", "--untracked-files=all"}, &hooked)) << work;
        ASSERT_EQ(0, git({"--no-optional-locks", "-c", "core.fsmonitor=false", "-c",
                          "core.untrackedCache=false", "status", "--porcelain=v2",
                          "--untracked-files=all"},
                         &full));
        ASSERT_EQ(full, hooked) << "after " << work;
    }
}

}  // namespace
