// Scratch roots: every mount made private first, a staging tmpfs over the namespace's /tmp
// holding the new root (a tmpfs of its own, for pivot_root) and the ext4 images. Loop devices
// clear themselves once unmounted and closed, also when the child dies (the namespace's end
// unmounts). Machine directories to bind are opened before /tmp is covered and bound through
// their /proc/self/fd links.
#include "tests/support/scratch_root.h"

#include "platform/unique_fd.h"

#include <linux/loop.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char* SCRATCH_STAGING = "/tmp";
constexpr const char* SCRATCH_ROOT = "/tmp/root";
constexpr const char* SCRATCH_ROOT_OPTIONS = "size=256m,mode=0755";
constexpr int SCRATCH_FAILED = 126;
constexpr int SCRATCH_DIED = 127;
constexpr int LOOP_ATTACH_TRIES = 16;  // free loop devices taken by someone else meanwhile

const char* const MKFS_EXT4_PATHS[] = {"/sbin/mkfs.ext4", "/usr/sbin/mkfs.ext4"};
const char* const SYSTEM_DIRS[] = {"/usr", "/lib", "/lib64", "/bin", "/sbin", "/etc"};

int fail(const char* what, const std::string& detail = "") {
    fprintf(stderr, "scratch root: %s %s: %s\n", what, detail.c_str(), strerror(errno));
    return SCRATCH_FAILED;
}

const char* mkfs_ext4_path() {
    for (const char* path : MKFS_EXT4_PATHS) {
        if (access(path, X_OK) == 0)
            return path;
    }
    return nullptr;
}

// "64m" and friends in bytes; 0 when malformed.
off_t parse_size(const std::string& size) {
    char* end;
    unsigned long long value = strtoull(size.c_str(), &end, 10);
    const char* units = "kmg";
    const char* unit = *end ? strchr(units, tolower(*end)) : nullptr;
    if (unit) {
        value <<= 10 * (unit - units + 1);
        end++;
    }
    return *end ? 0 : static_cast<off_t>(value);
}

int mkdir_p(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return -1;
        if (slash == std::string::npos)
            return 0;
    }
}

// Runs program with args, output to /dev/null; 0 when it exits with 0.
int run_quietly(const char* program, const std::vector<const char*>& args) {
    std::vector<char*> argv;
    for (const char* arg : args)
        argv.push_back(const_cast<char*>(arg));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd >= 0)
            dup2(null_fd, STDOUT_FILENO);
        execv(program, argv.data());
        _exit(127);
    }
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

// Attaches image to a free loop device that clears itself on last release. Returns the open
// loop device (its path in loop_path) or an invalid descriptor.
unique_fd attach_loop(const std::string& image, bool read_only, std::string* loop_path) {
    unique_fd control(open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    unique_fd backing(open(image.c_str(), (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC));
    if (!control.valid() || !backing.valid())
        return unique_fd();
    for (int i = 0; i < LOOP_ATTACH_TRIES; i++) {
        int number = ioctl(control.get(), LOOP_CTL_GET_FREE);
        if (number < 0)
            return unique_fd();
        *loop_path = "/dev/loop" + std::to_string(number);
        unique_fd loop(open(loop_path->c_str(), O_RDWR | O_CLOEXEC));
        if (!loop.valid())
            return unique_fd();
        loop_config config = {};
        config.fd = static_cast<uint32_t>(backing.get());
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR | (read_only ? LO_FLAGS_READ_ONLY : 0);
        strncpy(reinterpret_cast<char*>(config.info.lo_file_name), image.c_str(), LO_NAME_SIZE - 1);
        if (ioctl(loop.get(), LOOP_CONFIGURE, &config) == 0)
            return loop;
        if (errno != EBUSY)
            return unique_fd();
    }
    errno = EBUSY;
    return unique_fd();
}

}  // namespace

int make_ext4_loop(const std::string& image, const std::string& size, bool read_only,
                   unique_fd* loop, std::string* loop_path) {
    off_t bytes = parse_size(size);
    unique_fd file(open(image.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!file.valid() || bytes == 0 || ftruncate(file.get(), bytes) != 0)
        return errno ? errno : EINVAL;
    file.reset();
    const char* mkfs = mkfs_ext4_path();
    if (!mkfs || run_quietly(mkfs, {"mkfs.ext4", "-q", "-F", image.c_str()}) != 0)
        return ENOEXEC;
    *loop = attach_loop(image, read_only, loop_path);
    return loop->valid() ? 0 : errno;
}

namespace {

// Copies the machine's system directories into the new root: links as links, directories as
// read-only binds. Missing ones are left out.
void bind_system_dirs() {
    for (const char* dir : SYSTEM_DIRS) {
        std::string target = std::string(SCRATCH_ROOT) + dir;
        struct stat st;
        if (lstat(dir, &st) != 0)
            continue;
        if (S_ISLNK(st.st_mode)) {
            char link[4096];
            ssize_t n = readlink(dir, link, sizeof link - 1);
            if (n > 0) {
                link[n] = '\0';
                if (symlink(link, target.c_str()) != 0)
                    fail("symlink", target);
            }
        } else if (S_ISDIR(st.st_mode)) {
            if (mkdir(target.c_str(), 0755) != 0 ||
                mount(dir, target.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
                mount(nullptr, target.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY,
                      nullptr) != 0)
                fail("bind", target);
        }
    }
}

struct mounted_image {
    std::string mount_point;  // inside the new root
    unique_fd loop;
};

int mount_volume(const scratch_volume& volume, int index, std::vector<mounted_image>* images) {
    std::string target = std::string(SCRATCH_ROOT) + volume.mount_point;
    if (mkdir_p(target) != 0)
        return fail("mkdir", target);
    unsigned long flags = volume.read_only ? MS_RDONLY : 0;
    if (volume.fs_type == "tmpfs") {
        std::string options = "size=" + volume.size + ",mode=0755";
        if (mount("scratch-volume", target.c_str(), "tmpfs", flags, options.c_str()) != 0)
            return fail("mount tmpfs", target);
        return 0;
    }
    if (volume.fs_type != "ext4") {
        errno = EINVAL;
        return fail("file system type", volume.fs_type);
    }
    std::string image = std::string(SCRATCH_STAGING) + "/volume-" + std::to_string(index) + ".img";
    std::string loop_path;
    unique_fd loop;
    if (make_ext4_loop(image, volume.size, volume.read_only, &loop, &loop_path) != 0)
        return fail("ext4 image on a loop device", image);
    if (mount(loop_path.c_str(), target.c_str(), "ext4", flags, nullptr) != 0)
        return fail("mount ext4", target);
    images->push_back(mounted_image{volume.mount_point, std::move(loop)});
    return 0;
}

// Shows the directory open as source at path inside the new root.
int bind_into_root(const scratch_bind& bind, const unique_fd& source) {
    std::string target =
        std::string(SCRATCH_ROOT) + (bind.target.empty() ? bind.path : bind.target);
    std::string from = "/proc/self/fd/" + std::to_string(source.get());
    if (mkdir_p(target) != 0)
        return fail("mkdir", target);
    if (mount(from.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return fail("bind", bind.path);
    if (bind.read_only &&
        mount(nullptr, target.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
        return fail("read-only bind", bind.path);
    return 0;
}

int build_root(const std::vector<scratch_volume>& volumes, const std::vector<scratch_bind>& binds,
               std::vector<mounted_image>* images) {
    if (unshare(CLONE_NEWNS) != 0)
        return fail("unshare");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail("make private", "/");
    // Opened in the new namespace (a bind's source must belong to it) before /tmp is covered.
    std::vector<unique_fd> sources;
    for (const scratch_bind& bind : binds) {
        if (bind.path.empty() || bind.path[0] != '/') {
            errno = EINVAL;
            return fail("bind path", bind.path);
        }
        sources.emplace_back(open(bind.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!sources.back().valid())
            return fail("open", bind.path);
    }
    if (mount("scratch-staging", SCRATCH_STAGING, "tmpfs", 0, "size=4g,mode=0700") != 0)
        return fail("mount staging", SCRATCH_STAGING);
    if (mkdir(SCRATCH_ROOT, 0755) != 0 ||
        mount("scratch-root", SCRATCH_ROOT, "tmpfs", 0, SCRATCH_ROOT_OPTIONS) != 0)
        return fail("mount root", SCRATCH_ROOT);
    for (const char* dir : {"proc", "tmp", "var", "mnt", "dev", "oldroot"}) {
        std::string path = std::string(SCRATCH_ROOT) + "/" + dir;
        if (mkdir(path.c_str(), 0755) != 0)
            return fail("mkdir", path);
    }
    chmod((std::string(SCRATCH_ROOT) + "/tmp").c_str(), 01777);
    std::string dev = std::string(SCRATCH_ROOT) + "/dev";
    if (mount("/dev", dev.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return fail("bind", dev);
    bind_system_dirs();
    for (size_t i = 0; i < volumes.size(); i++) {
        int err = mount_volume(volumes[i], static_cast<int>(i), images);
        if (err)
            return err;
    }
    // A bind shown inside another's target (the binary's directory under a directory shown
    // at "/var", say) is made after it, or the outer one would hide it.
    std::vector<size_t> order(binds.size());
    for (size_t i = 0; i < order.size(); i++)
        order[i] = i;
    auto depth = [&](size_t i) {
        const std::string& t = binds[i].target.empty() ? binds[i].path : binds[i].target;
        return std::count(t.begin(), t.end(), '/');
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return depth(a) < depth(b); });
    for (size_t i : order) {
        int err = bind_into_root(binds[i], sources[i]);
        if (err)
            return err;
    }
    std::string old_root = std::string(SCRATCH_ROOT) + "/oldroot";
    if (syscall(SYS_pivot_root, SCRATCH_ROOT, old_root.c_str()) != 0)
        return fail("pivot_root", SCRATCH_ROOT);
    if (chdir("/") != 0 || umount2("/oldroot", MNT_DETACH) != 0 || rmdir("/oldroot") != 0)
        return fail("leave old root");
    if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        return fail("mount", "/proc");
    return 0;
}

// Unmounts the ext4 volumes, latest first, and lets their loop devices clear.
void release_images(std::vector<mounted_image>* images) {
    for (auto it = images->rbegin(); it != images->rend(); ++it) {
        umount2(it->mount_point.c_str(), MNT_DETACH);
        it->loop.reset();
    }
    images->clear();
}

int wait_child(pid_t pid) {
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return SCRATCH_DIED;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : SCRATCH_DIED;
}

}  // namespace

bool scratch_root_available() {
    static int available = -1;
    if (available < 0) {
        available = 0;
        if (geteuid() == 0) {
            fflush(nullptr);
            pid_t pid = fork();
            if (pid == 0) {
                bool ok = unshare(CLONE_NEWNS) == 0 &&
                          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                          mount("scratch-probe", SCRATCH_STAGING, "tmpfs", 0, "size=1m") == 0;
                _exit(ok ? 0 : 1);
            }
            available = pid > 0 && wait_child(pid) == 0;
        }
    }
    return available == 1;
}

bool scratch_ext4_available() {
    if (!scratch_root_available() || !mkfs_ext4_path() ||
        access("/dev/loop-control", R_OK | W_OK) != 0)
        return false;
    FILE* list = fopen("/proc/filesystems", "re");
    if (!list)
        return false;
    char line[256];
    bool found = false;
    while (!found && fgets(line, sizeof line, list))
        found = strcmp(line, "\text4\n") == 0;
    fclose(list);
    return found;
}

int run_in_scratch_root(const std::vector<scratch_volume>& volumes,
                        const std::function<int()>& body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return SCRATCH_DIED;
    if (pid == 0) {
        std::vector<mounted_image> images;
        int result = build_root(volumes, {}, &images);
        if (result == 0)
            result = body();
        release_images(&images);
        fflush(nullptr);
        _exit(result);
    }
    return wait_child(pid);
}

int scratch_root_exec(const std::vector<scratch_volume>& volumes,
                      const std::vector<scratch_bind>& binds, char* const argv[],
                      char* const envp[]) {
    // The loop devices stay open until execve closes them; the mounted volumes keep them.
    std::vector<mounted_image> images;
    int result = build_root(volumes, binds, &images);
    if (result != 0)
        return result;
    execve(argv[0], argv, envp);
    fprintf(stderr, "scratch root: execve %s: %s\n", argv[0], strerror(errno));
    return SCRATCH_DIED;
}
