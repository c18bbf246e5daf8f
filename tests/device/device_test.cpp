// The kernel event device: whole records over a record stream; over fanotify in scratch roots,
// renamed directories, volumes coming and going, and queue overflows with their log line.
#include "common/log.h"
#include "platform/kernel_device.h"
#include "platform/kernel_records.h"
#include "platform/mounts.h"
#include "platform/unique_fd.h"
#include "tests/support/scratch_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <set>

namespace {

struct record {  // the type without the record flags, the paths, the first path's device and mode
    uint32_t type;
    std::vector<std::string> paths;
    uint32_t dev, mode;
};

// A record of type with one path and its file information, or without a path none.
std::string make_record(uint32_t type, const std::string& path, int32_t pid = 42) {
    std::string r;
    auto put = [&r](const auto& v) { r.append(reinterpret_cast<const char*>(&v), sizeof v); };
    put(krec_header{type, pid});
    if (!path.empty()) {
        put(krec_arg_header{KREC_ARG_PATH, uint16_t(path.size() + 1)}), r += path + '\0';
        put(krec_arg_header{KREC_ARG_FILE_INFO, KREC_FILE_INFO_SIZE}), put(krec_file_info{});
    }
    put(uint16_t{KREC_ARG_DONE});
    return r;
}

// The device on stream_path (nullptr: fanotify) cloned as the daemon does: the clone or -1.
int clone_source(const char* stream_path) {
    int dev = -1;
    int32_t clone = -1;
    std::vector<int8_t> actions(KREC_NUM_TYPES, KREC_ACTION_REPORT);
    krec_clone_args args = {actions.data(), KREC_NUM_TYPES, KREC_DEFAULT_QUEUE_DEPTH, &clone};
    if (kernel_device_open_source(stream_path, &dev) != 0)
        return -1;
    int err = kernel_device_ioctl(dev, KREC_IOC_CLONE, &args);
    kernel_device_close(dev);
    return err ? -1 : clone;
}

TEST(StreamDevice, ReadsHandOutWholeRecords) {
    int mem = memfd_create("records", MFD_CLOEXEC);
    std::string a = make_record(KREC_TYPE_CREATE_FILE, "/a/b");
    std::string b = make_record(KREC_TYPE_DELETE, "/a/longer-name");
    std::string big = make_record(KREC_TYPE_DELETE, "/" + std::string(3000, 'x'));
    std::string all = a + b + big + a;
    ASSERT_EQ(write(mem, all.data(), all.size()), ssize_t(all.size()));
    std::string path = "/proc/self/fd/" + std::to_string(mem);
    int clone = clone_source(path.c_str()), opened = -1;
    // The opened handle is no clone: it neither reads nor compacts, and closes once.
    ASSERT_TRUE(clone >= 0 && kernel_device_open_source(path.c_str(), &opened) == 0);
    char buf[4096];
    EXPECT_TRUE(kernel_device_read(opened, buf, sizeof buf) == -1 && errno == EINVAL);
    EXPECT_EQ(kernel_device_ioctl(opened, KREC_IOC_COMPACT, nullptr), EINVAL);
    EXPECT_TRUE(kernel_device_close(opened) == 0 && kernel_device_close(opened) == EBADF);
    EXPECT_EQ(kernel_device_ioctl(clone, 0x1234, nullptr), ENOTTY);
    // Less room than a dropped record is refused; room for a and all of b but one byte: only a;
    // a record longer than the whole room comes out as a dropped record in its place.
    EXPECT_TRUE(kernel_device_read(clone, buf, KREC_DROPPED_SIZE - 1) == -1 && errno == EINVAL);
    auto read = [&](size_t room) {
        return std::string(buf, size_t(std::max(kernel_device_read(clone, buf, room), ssize_t{0})));
    };
    EXPECT_EQ(read(a.size() + b.size() - 1), a);
    EXPECT_EQ(read(b.size()), b);
    EXPECT_EQ(read(big.size() - 1), make_record(KREC_TYPE_DROPPED, "", -1) + a);
    EXPECT_EQ(kernel_device_close(clone), 0);
    close(mem);
}

// Reads until done(record), keeping dropped records and those under prefix; false on a failed
// or partial read. An alarm ends the scratch root's process after 30 s.
bool read_until(int clone, const std::string& prefix, std::vector<record>* kept,
                const std::function<bool(const record&)>& done) {
    alarm(30);
    static char buf[256 * 1024];
    auto word = [](size_t at, size_t size) {
        uint32_t v = 0;
        memcpy(&v, buf + at, size);
        return v;
    };
    bool stop = false;
    ssize_t n = 0;
    for (size_t off = 0;
         !stop && off == size_t(n) && (n = kernel_device_read(clone, buf, sizeof buf)) > 0;) {
        for (off = 0; off + sizeof(krec_header) <= size_t(n);) {
            record r{word(off, 4) & KREC_TYPE_MASK, {}, 0, 0};
            for (off += sizeof(krec_header); word(off, 2) == KREC_ARG_PATH;) {
                r.paths.emplace_back(buf + off + 4, strnlen(buf + off + 4, word(off + 2, 2)));
                off += 4 + word(off + 2, 2) + 4;  // the path, then its file information
                if (r.paths.size() == 1) {
                    r.dev = word(off + KREC_FILE_INFO_DEV_OFFSET, 4);
                    r.mode = word(off + KREC_FILE_INFO_MODE_OFFSET, 4);
                }
                off += KREC_FILE_INFO_SIZE;
            }
            off += 2;  // the terminator
            if (r.type == KREC_TYPE_DROPPED || (!r.paths.empty() && r.paths[0].starts_with(prefix)))
                kept->push_back(r);
            stop = stop || done(r);
        }
    }
    alarm(0);
    return stop;
}

std::function<bool(const record&)> record_of(uint32_t type, const std::string& path) {
    return [=](const record& r) { return r.type == type && r.paths == std::vector{path}; };
}

bool touch(const std::string& path) {  // creates, then modifies
    unique_fd fd(open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    return fd.valid() && write(fd.get(), "x", 1) == 1;
}

// Directories renamed, written in, removed and made again before the first read: every rename
// and removal is reported under true names, nothing dropped; links keep their kinds.
int check_renames(const std::string& volume) {
    const std::string t = volume + "/r/";
    SCRATCH_CHECK(mkdir(t.c_str(), 0755) == 0 && mkdir((t + "m").c_str(), 0755) == 0 &&
                  mkdir((t + "m/n").c_str(), 0755) == 0 && touch(t + "m/n/f0"));
    sync();
    int clone = clone_source(nullptr);
    SCRATCH_CHECK(symlink("m", (t + "s").c_str()) == 0 &&
                  link((t + "m/n/f0").c_str(), (t + "m/n/h").c_str()) == 0);
    // clang-format off
    std::set<std::string> named = {"m", "m/n", "m/n/f", "m2", "m2/n", "m2/n/f", "m2/n/g", "d",
                                   "d/f", "d/g", "END", "s", "m/n/h", "m/n/f0", "m2/n/h", "m2/n/f0"};
    std::multiset<std::pair<uint32_t, std::string>> owed = {
        {KREC_TYPE_RENAME, "m m2"}, {KREC_TYPE_CREATE_FILE, "m2/n/g"}, {KREC_TYPE_DELETE, "d/f"},
        {KREC_TYPE_DELETE, "d"}, {KREC_TYPE_CREATE_FILE, "d/g"}, {KREC_TYPE_CREATE_FILE, "s"},
        {KREC_TYPE_CREATE_FILE, "m/n/h"}};
    // clang-format on
    for (int i = 0; i < 10; i++) {
        std::string a = "a" + std::to_string(i), b = "b" + std::to_string(i);
        SCRATCH_CHECK(clone >= 0 && mkdir((t + a).c_str(), 0755) == 0 &&
                      rename((t + a).c_str(), (t + b).c_str()) == 0 && touch(t + b + "/f"));
        named.insert({a, b, b + "/f"});
        owed.insert({{KREC_TYPE_RENAME, a + " " + b}, {KREC_TYPE_CREATE_FILE, b + "/f"}});
    }
    SCRATCH_CHECK(touch(t + "m/n/f") && rename((t + "m").c_str(), (t + "m2").c_str()) == 0);
    SCRATCH_CHECK(touch(t + "m2/n/g") && mkdir((t + "d").c_str(), 0755) == 0 && touch(t + "d/f"));
    SCRATCH_CHECK(!unlink((t + "d/f").c_str()) && !rmdir((t + "d").c_str()) &&
                  !mkdir((t + "d").c_str(), 0755) && touch(t + "d/g") && touch(t + "END"));
    std::vector<record> got;
    SCRATCH_CHECK(read_until(clone, t, &got, record_of(KREC_TYPE_CREATE_FILE, t + "END")));
    kernel_device_close(clone);
    for (const record& r : got) {
        if (r.type == KREC_TYPE_DROPPED && !r.paths.empty() && !t.starts_with(r.paths[0] + "/"))
            continue;  // another volume's (the machine's own, bound into the root)
        std::string paths;
        bool wrong = r.type == KREC_TYPE_DROPPED;
        for (const std::string& p : r.paths) {
            wrong = wrong || !p.starts_with(t) || !named.count(p.substr(t.size()));
            paths += (paths.empty() ? "" : " ") + (p.starts_with(t) ? p.substr(t.size()) : p);
        }
        if (wrong)
            return fprintf(stderr, "%s: wrong record %u %s\n", t.c_str(), r.type, paths.c_str()), 1;
        if (r.type == KREC_TYPE_CREATE_FILE && (paths == "s" || paths == "m/n/h"))
            SCRATCH_CHECK(paths == "s" ? S_ISLNK(r.mode) : (r.mode & KREC_MODE_HARDLINK) != 0);
        if (auto it = owed.find({r.type, paths}); it != owed.end())
            owed.erase(it);
    }
    for (const auto& [type, paths] : owed)
        fprintf(stderr, "%s: missing %u %s\n", t.c_str(), type, paths.c_str());
    return owed.empty() ? 0 : 1;
}

// Volumes mounted later are watched, bind mounts too, after a storm of mounts; none is kept
// busy; events of a volume unmounted before the read come out as they happened or not at all.
int check_mounts_after_start() {
    int clone = clone_source(nullptr);
    SCRATCH_CHECK(clone >= 0 && touch("/mnt/gone/f") && mkdir("/mnt/gone/d", 0755) == 0 &&
                  touch("/mnt/gone/d/g"));
    SCRATCH_CHECK(umount("/mnt/gone") == 0 && mkdir("/mnt/new", 0755) == 0 &&
                  mount("scratch", "/mnt/new", "tmpfs", 0, nullptr) == 0 &&
                  mkdir("/mnt/bind", 0755) == 0);
    std::vector<record> got;  // the next read marks the new volume
    SCRATCH_CHECK(
        touch("/mnt/tmp/read") &&
        read_until(clone, "/mnt/", &got, record_of(KREC_TYPE_CREATE_FILE, "/mnt/tmp/read")));
    for (int i = 0; i < 1000; i++)
        SCRATCH_CHECK(mount("/mnt/new", "/mnt/bind", nullptr, MS_BIND, nullptr) == 0 &&
                      umount("/mnt/bind") == 0);
    SCRATCH_CHECK(mkdir("/mnt/new/sub", 0755) == 0 && touch("/mnt/new/f") &&
                  !mount("/mnt/new/sub", "/mnt/bind", nullptr, MS_BIND, nullptr) &&
                  touch("/mnt/bind/g"));
    struct stat st;
    SCRATCH_CHECK(
        stat("/mnt/new", &st) == 0 &&
        read_until(clone, "/mnt/", &got, record_of(KREC_TYPE_CONTENT_MODIFIED, "/mnt/bind/g")));
    SCRATCH_CHECK(umount("/mnt/bind") == 0 && umount("/mnt/new") == 0);
    kernel_device_close(clone);
    const std::set<std::string> allowed = {"/mnt/gone/f",   "/mnt/gone/d", "/mnt/gone/d/g",
                                           "/mnt/tmp/read", "/mnt/new",    "/mnt/bind",
                                           "/mnt/new/sub",  "/mnt/new/f",  "/mnt/bind/g"};
    bool new_seen = false;
    for (const record& r : got) {
        SCRATCH_CHECK(r.type != KREC_TYPE_DROPPED && allowed.count(r.paths[0]));
        if (r.paths[0].starts_with("/mnt/new/"))
            SCRATCH_CHECK(r.dev == device_number_32(st.st_dev));
        new_seen = new_seen || r.paths[0] == "/mnt/new/f";
    }
    SCRATCH_CHECK(new_seen);
    return 0;
}

// Twice more changes than the kernel queues: a dropped record, fewer creations, a later change
// still read; the log reports the first overflow only (one line a minute).
int check_overflow() {
    int max_queued = 16384;
    FILE* f = fopen("/proc/sys/fs/fanotify/max_queued_events", "re");
    SCRATCH_CHECK((!f || (fscanf(f, "%d", &max_queued) == 1 && fclose(f) == 0)) &&
                  max_queued <= 200000);  // else too many files to make here
    int clone = clone_source(nullptr);
    log_open("device_tests", LOG_PERROR);  // the log, captured while reading
    SCRATCH_CHECK(clone >= 0);
    std::string logged;
    for (const std::string dir : {"/mnt/tmp/o", "/mnt/tmp/p"}) {
        SCRATCH_CHECK(mkdir(dir.c_str(), 0755) == 0);
        for (int i = 0; i < max_queued + 1000; i++)
            SCRATCH_CHECK(mknod((dir + "/" + std::to_string(i)).c_str(), S_IFREG | 0600, 0) == 0);
        std::vector<record> got;
        ::testing::internal::CaptureStderr();
        bool read =
            read_until(
                clone, "/mnt/tmp/", &got,
                [](const record& r) { return r.type == KREC_TYPE_DROPPED && r.paths.empty(); }) &&
            touch(dir + "-end") &&
            read_until(clone, "/mnt/tmp/", &got, record_of(KREC_TYPE_CREATE_FILE, dir + "-end"));
        logged += ::testing::internal::GetCapturedStderr();
        SCRATCH_CHECK(read);
        int created = 0;
        for (const record& r : got)
            created += r.type == KREC_TYPE_CREATE_FILE && r.paths[0].starts_with(dir + "/");
        fprintf(stderr, "overflow: %d of %d creations read\n", created, max_queued + 1000);
        SCRATCH_CHECK(created > max_queued / 2 && created <= max_queued);
    }
    kernel_device_close(clone);
    const std::string line = "kernel queue overflowed: events lost (1 times since the last report)";
    SCRATCH_CHECK(logged.find(line) != std::string::npos &&
                  logged.find("overflowed", logged.find(line) + line.size()) == std::string::npos);
    return 0;
}

// The scenarios in turn in one scratch root, the renames on tmpfs and, where it can be made, ext4.
TEST(FanotifyDevice, RenamesMountsAndAnOverflow) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    bool ext4 = scratch_ext4_available();
    std::vector<scratch_volume> volumes = {{"/mnt/tmp", "tmpfs", false, "256m"}, {"/mnt/gone"}};
    if (ext4)
        volumes.push_back({"/mnt/ext", "ext4"});
    int failed = run_in_scratch_root(volumes, [=] {
        return check_renames("/mnt/tmp") || (ext4 && check_renames("/mnt/ext")) ||
               check_mounts_after_start() || check_overflow();
    });
    EXPECT_EQ(failed, 0);
}

}  // namespace
