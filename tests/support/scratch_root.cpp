// Scratch roots: every mount made private first, a staging tmpfs over the namespace's /tmp
// holding the new root (a tmpfs of its own, for pivot_root) and the ext4 images, whose loop
// devices clear themselves once unmounted and closed. Machine directories to bind are opened
// before /tmp is covered and bound through their /proc/self/fd links.
#include "tests/support/scratch_root.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <sstream>

namespace {

constexpr const char* STAGING = "/tmp";
constexpr const char* ROOT = "/tmp/root";
constexpr int SCRATCH_FAILED = 126, SCRATCH_DIED = 127;
constexpr const char* MKFS_EXT4 = "/sbin/mkfs.ext4";

int fail(const char* what, const std::string& detail = "") {
    fprintf(stderr, "scratch root: %s %s: %s\n", what, detail.c_str(), strerror(errno));
    return SCRATCH_FAILED;
}

int mkdir_p(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return ec ? (errno = ec.value(), -1) : 0;
}

int wait_child(pid_t pid) {
    int status;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return SCRATCH_DIED;
    return WIFEXITED(status) ? WEXITSTATUS(status) : SCRATCH_DIED;
}

// A new ext4 image of size at image on a free loop device (*loop_path) that clears itself once
// unmounted and *loop closed; the attach is retried while others take the free device first.
// 0 or an errno value (ENOEXEC when mkfs.ext4 failed).
int make_ext4_loop(const std::string& image, const std::string& size, bool read_only,
                   unique_fd* loop, std::string* loop_path) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {  // makes the image file of that size too
        dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
        execl(MKFS_EXT4, "mkfs.ext4", "-q", "-F", image.c_str(), size.c_str(), nullptr);
        _exit(127);
    }
    if (pid < 0 || wait_child(pid) != 0)
        return ENOEXEC;
    unique_fd control(open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    unique_fd backing(open(image.c_str(), (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC));
    for (int i = 0; control.valid() && backing.valid() && i < 16; i++) {
        int number = ioctl(control.get(), LOOP_CTL_GET_FREE);
        *loop_path = "/dev/loop" + std::to_string(number);
        loop->reset(number < 0 ? -1 : open(loop_path->c_str(), O_RDWR | O_CLOEXEC));
        if (!loop->valid())
            break;
        loop_config config = {};
        config.fd = static_cast<uint32_t>(backing.get());
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR | (read_only ? LO_FLAGS_READ_ONLY : 0);
        strncpy(reinterpret_cast<char*>(config.info.lo_file_name), image.c_str(), LO_NAME_SIZE - 1);
        if (ioctl(loop->get(), LOOP_CONFIGURE, &config) == 0)
            return 0;
        loop->reset();
        if (errno != EBUSY)
            break;
    }
    return errno ? errno : EBUSY;
}

struct mounted_image {
    std::string mount_point;  // inside the new root
    unique_fd loop;
};

int mount_volume(const scratch_volume& volume, int index, std::vector<mounted_image>* images) {
    std::string target = std::string(ROOT) + volume.mount_point, loop_path;
    std::string image = std::string(STAGING) + "/volume-" + std::to_string(index) + ".img";
    std::string options = "size=" + volume.size + ",mode=0755";
    unsigned long flags = volume.read_only ? MS_RDONLY : 0;
    unique_fd loop;
    if (mkdir_p(target) != 0)
        return fail("mkdir", target);
    if (volume.fs_type == "tmpfs")
        return mount("scratch-volume", target.c_str(), "tmpfs", flags, options.c_str()) != 0
                   ? fail("mount tmpfs", target)
                   : 0;
    errno = EINVAL;
    if (volume.fs_type != "ext4" ||
        make_ext4_loop(image, volume.size, volume.read_only, &loop, &loop_path) != 0)
        return fail("ext4 image on a loop device", image);
    if (mount(loop_path.c_str(), target.c_str(), "ext4", flags, nullptr) != 0)
        return fail("mount ext4", target);
    images->push_back(mounted_image{volume.mount_point, std::move(loop)});
    return 0;
}

// An overlay, mounted once the new root is "/" so that the mount table names its directories
// as they are seen there (a daemon inside the root can reach its upper layer), each made first.
int mount_overlay(const scratch_volume& volume) {
    if (mkdir_p(volume.mount_point) != 0)
        return fail("mkdir", volume.mount_point);
    std::istringstream options(volume.overlay);
    for (std::string option; std::getline(options, option, ',');)
        if (mkdir_p(option.substr(option.find('=') + 1)) != 0)
            return fail("mkdir", option);
    unsigned long flags = volume.read_only ? MS_RDONLY : 0;
    return mount("scratch-overlay", volume.mount_point.c_str(), "overlay", flags,
                 volume.overlay.c_str()) != 0
               ? fail("mount overlay", volume.mount_point)
               : 0;
}

// Shows the directory open as source at path (read-only if asked) inside the new root.
int bind_into_root(const std::string& from, const std::string& path, bool read_only) {
    std::string target = std::string(ROOT) + path;
    if (mkdir_p(target) != 0)
        return fail("mkdir", target);
    if (mount(from.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return fail("bind", path);
    if (read_only &&
        mount(nullptr, target.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
        return fail("read-only bind", path);
    return 0;
}

int build_root(const std::vector<scratch_volume>& volumes, const std::vector<scratch_bind>& binds,
               std::vector<mounted_image>* images) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
        return fail("private mount namespace");
    // Opened in the new namespace (a bind's source must belong to it) before /tmp is covered.
    std::vector<unique_fd> sources;
    for (const scratch_bind& bind : binds) {
        sources.emplace_back(open(bind.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (bind.path[0] != '/' || !sources.back().valid())
            return fail("open", bind.path);
    }
    if (mount("scratch-staging", STAGING, "tmpfs", 0, "size=4g,mode=0700") != 0 ||
        mkdir(ROOT, 0755) != 0 || mount("scratch-root", ROOT, "tmpfs", 0, "size=256m,mode=0755"))
        return fail("mount root", ROOT);
    // "/" an overlay, as a container's is: its layers in the staging area, out of view from "/".
    if (std::ranges::any_of(volumes, [](const scratch_volume& v) {
            return v.mount_point == "/" && v.fs_type == "overlay";
        })) {
        std::string layers = std::string(STAGING) + "/root-layers";
        for (const char* dir : {"", "/upper", "/work"})
            if (mkdir((layers + dir).c_str(), 0755) != 0)
                return fail("mkdir", layers + dir);
        std::string options = "lowerdir=" + std::string(ROOT) + ",upperdir=" + layers +
                              "/upper,workdir=" + layers + "/work";
        if (mount("scratch-root-overlay", ROOT, "overlay", 0, options.c_str()) != 0)
            return fail("mount overlay", ROOT);
    }
    for (const char* dir : {"/proc", "/tmp", "/var", "/mnt", "/dev", "/oldroot"})
        if (mkdir((std::string(ROOT) + dir).c_str(), 0755) != 0)
            return fail("mkdir", dir);
    chmod((std::string(ROOT) + "/tmp").c_str(), 01777);
    if (bind_into_root("/dev", "/dev", false) != 0)
        return SCRATCH_FAILED;
    // The machine's system directories: links as links, directories as read-only binds.
    for (const char* dir : {"/usr", "/lib", "/lib64", "/bin", "/sbin", "/etc"}) {
        std::error_code ec;
        if (std::filesystem::is_symlink(dir, ec))
            std::filesystem::copy_symlink(dir, std::string(ROOT) + dir, ec);
        else if (std::filesystem::is_directory(dir, ec))
            bind_into_root(dir, dir, true);
    }
    for (size_t i = 0; i < volumes.size(); i++)
        if (volumes[i].fs_type != "overlay")
            if (int err = mount_volume(volumes[i], static_cast<int>(i), images))
                return err;
    // A bind shown inside another's target (the binary's directory under a directory shown at
    // "/var", say) is made after it, or the outer one would hide it: shorter targets first.
    auto target = [&](size_t i) {
        return binds[i].target.empty() ? binds[i].path : binds[i].target;
    };
    std::vector<size_t> order(binds.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return target(a).size() < target(b).size(); });
    for (size_t i : order)
        if (bind_into_root("/proc/self/fd/" + std::to_string(sources[i].get()), target(i),
                           binds[i].read_only) != 0)
            return SCRATCH_FAILED;
    std::string old_root = std::string(ROOT) + "/oldroot";
    if (syscall(SYS_pivot_root, ROOT, old_root.c_str()) != 0)
        return fail("pivot_root", ROOT);
    if (chdir("/") != 0 || umount2("/oldroot", MNT_DETACH) != 0 || rmdir("/oldroot") != 0)
        return fail("leave old root");
    if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        return fail("mount", "/proc");
    for (const scratch_volume& volume : volumes)
        if (volume.fs_type == "overlay" && volume.mount_point != "/")
            if (int err = mount_overlay(volume))
                return err;
    return 0;
}

}  // namespace

bool scratch_root_available() {
    static int available = -1;
    if (available < 0) {
        fflush(nullptr);
        pid_t pid = geteuid() == 0 ? fork() : -1;
        if (pid == 0)
            _exit(unshare(CLONE_NEWNS) == 0 &&
                          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                          mount("scratch-probe", STAGING, "tmpfs", 0, "size=1m") == 0
                      ? 0
                      : 1);
        available = pid > 0 && wait_child(pid) == 0;
    }
    return available == 1;
}

bool scratch_ext4_available() {
    std::ifstream list("/proc/filesystems");
    std::string all((std::istreambuf_iterator<char>(list)), std::istreambuf_iterator<char>());
    return scratch_root_available() && access(MKFS_EXT4, X_OK) == 0 &&
           access("/dev/loop-control", R_OK | W_OK) == 0 &&
           all.find("\text4\n") != std::string::npos;
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
        // The ext4 volumes, latest first, are unmounted and their loop devices let go.
        for (auto it = images.rbegin(); it != images.rend(); ++it) {
            umount2(it->mount_point.c_str(), MNT_DETACH);
            it->loop.reset();
        }
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
