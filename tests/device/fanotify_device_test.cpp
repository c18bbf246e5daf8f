// The fanotify source in scratch roots (tmpfs and ext4 volumes): changes come out as records
// of the right types, paths, device numbers and modes, whole in reads of any room; a directory
// gone before its events are read gives correct or dropped records; a queue overflow gives a
// dropped record; unmounting a watched volume neither fails nor hangs. Only records under each
// case's own directory are checked: the machine's volumes bound into the root are watched too.
#include "platform/kernel_device.h"
#include "platform/mounts.h"
#include "tests/device/record_parser.h"
#include "tests/support/scratch_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <atomic>
#include <functional>
#include <thread>
#include <unistd.h>

namespace {

using record_test = std::function<bool(const parsed_record&)>;

int clone_fanotify() {
    int dev = -1;
    int8_t actions[KREC_NUM_TYPES];
    memset(actions, KREC_ACTION_REPORT, sizeof actions);
    int32_t clone = -1;
    krec_clone_args args = {actions, KREC_NUM_TYPES, KREC_DEFAULT_QUEUE_DEPTH, &clone};
    if (kernel_device_open_source(nullptr, &dev) != 0)
        return -1;
    int err = kernel_device_ioctl(dev, KREC_IOC_CLONE, &args);
    kernel_device_close(dev);
    return err ? -1 : clone;
}

// Reads until done(record) holds for one record; keeps dropped records and those whose first
// path starts with prefix. False on a failed or malformed read, or when a watchdog had to
// close the device after 30 seconds.
bool read_until(int clone, const std::string& prefix, std::vector<parsed_record>* kept,
                const record_test& done, size_t room = 256 * 1024) {
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 300 && !finished; i++)
            usleep(100 * 1000);
        if (!finished)
            kernel_device_close(clone);
    });
    static char buf[256 * 1024];
    bool stop = false;
    for (ssize_t n;
         !stop && (n = kernel_device_read(clone, buf, std::min(room, sizeof buf))) > 0;) {
        std::vector<parsed_record> recs;
        if (!parse_records(buf, static_cast<size_t>(n), &recs))
            break;
        for (const auto& r : recs) {
            if (r.type == KREC_TYPE_DROPPED ||
                r.items[0].path.compare(0, prefix.size(), prefix) == 0)
                kept->push_back(r);
            stop = stop || done(r);
        }
    }
    finished = true;
    watchdog.join();
    return stop;
}

record_test record_of(uint32_t type, const std::string& path) {
    return [=](const parsed_record& r) { return r.type == type && r.items[0].path == path; };
}

bool touch(const std::string& path) {
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && write(fd, "x", 1) == 1;  // creates, then modifies
    close(fd);
    return ok;
}

// Each change on base is read back at once, as by a running daemon, and must give exactly one
// record (paths resolve at read time: read late, a directory's old path would be its new one).
int check_changes_on(const std::string& base) {
    int clone = clone_fanotify();
    SCRATCH_CHECK(clone >= 0);
    SCRATCH_CHECK(kernel_device_ioctl(clone, KREC_IOC_EXTENDED_INFO, nullptr) == 0);
    std::string t = base + "/t";
    struct stat st;
    SCRATCH_CHECK(mkdir(t.c_str(), 0755) == 0 && stat(t.c_str(), &st) == 0);
    auto p = [&](const char* rel) { return t + rel; };
    struct step {
        std::function<int()> change;  // 0 on success
        uint32_t type;
        std::vector<const char*> paths;
        uint32_t file_type;
    } steps[] = {
        {[&] { return mkdir(p("/d").c_str(), 0755); }, KREC_TYPE_CREATE_DIR, {"/d"}, S_IFDIR},
        {[&] { return mknod(p("/d/f").c_str(), S_IFREG | 0644, 0); },
         KREC_TYPE_CREATE_FILE,
         {"/d/f"},
         S_IFREG},
        {[&] { return truncate(p("/d/f").c_str(), 10); },
         KREC_TYPE_CONTENT_MODIFIED,
         {"/d/f"},
         S_IFREG},
        {[&] { return chmod(p("/d/f").c_str(), 0600); }, KREC_TYPE_STAT_CHANGED, {"/d/f"}, S_IFREG},
        {[&] { return rename(p("/d/f").c_str(), p("/d/g").c_str()); },
         KREC_TYPE_RENAME,
         {"/d/f", "/d/g"},
         S_IFREG},
        {[&] { return mkdir(p("/e").c_str(), 0755); }, KREC_TYPE_CREATE_DIR, {"/e"}, S_IFDIR},
        {[&] { return rename(p("/d/g").c_str(), p("/e/h").c_str()); },
         KREC_TYPE_RENAME,
         {"/d/g", "/e/h"},
         S_IFREG},
        {[&] { return unlink(p("/e/h").c_str()); }, KREC_TYPE_DELETE, {"/e/h"}, S_IFREG},
        {[&] { return rmdir(p("/e").c_str()); }, KREC_TYPE_DELETE, {"/e"}, S_IFDIR},
        {[&] { return mknod(p("/d/y").c_str(), S_IFREG | 0644, 0); },
         KREC_TYPE_CREATE_FILE,
         {"/d/y"},
         S_IFREG},
        {[&] { return rename(p("/d").c_str(), p("/r").c_str()); },
         KREC_TYPE_RENAME,
         {"/d", "/r"},
         S_IFDIR},
        {[&] { return mknod(p("/r/x").c_str(), S_IFREG | 0644, 0); },
         KREC_TYPE_CREATE_FILE,
         {"/r/x"},
         S_IFREG},
        {[&] { return chmod(p("/r").c_str(), 0700); }, KREC_TYPE_STAT_CHANGED, {"/r"}, S_IFDIR},
    };
    for (const step& w : steps) {
        std::vector<parsed_record> got;
        SCRATCH_CHECK(w.change() == 0);
        SCRATCH_CHECK(read_until(clone, t + "/", &got, record_of(w.type, t + w.paths[0])));
        // Dropped records here come from the machine's own file systems (bound into the
        // scratch root and watched too); a lost change of ours would never reach its record.
        std::erase_if(got, [](const parsed_record& r) { return r.type == KREC_TYPE_DROPPED; });
        if (got.size() != 1)
            fprintf(stderr, "%s: %zu records for %s\n", base.c_str(), got.size(), w.paths[0]);
        SCRATCH_CHECK(got.size() == 1 && got[0].items.size() == w.paths.size());
        SCRATCH_CHECK(got[0].pid == getpid());
        SCRATCH_CHECK(got[0].flags == (w.file_type == S_IFDIR ? KREC_FLAG_DIR_LEVEL : 0));
        for (size_t k = 0; k < w.paths.size(); k++) {
            SCRATCH_CHECK(got[0].items[k].path == t + w.paths[k]);
            SCRATCH_CHECK(got[0].items[k].dev == device_number_32(st.st_dev));
            SCRATCH_CHECK((got[0].items[k].mode & S_IFMT) == w.file_type);
        }
    }
    kernel_device_close(clone);
    return 0;
}

TEST(FanotifyDevice, ChangesOnTmpfsAndExt4) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    bool ext4 = scratch_ext4_available();
    std::vector<scratch_volume> volumes = {{"/mnt/tmp"}};
    if (ext4)
        volumes.push_back({"/mnt/ext", "ext4"});
    EXPECT_EQ(run_in_scratch_root(volumes,
                                  [ext4] {
                                      int r = check_changes_on("/mnt/tmp");
                                      return r || !ext4 ? r : check_changes_on("/mnt/ext");
                                  }),
              0);
}

// Reads with room for one record at a time still get every record, whole. A directory gone
// before its events are read gives correct records or dropped ones, never wrong ones.
int check_small_reads_and_gone_directory() {
    int clone = clone_fanotify();
    SCRATCH_CHECK(clone >= 0);
    std::vector<parsed_record> got;
    SCRATCH_CHECK(mknod("/mnt/tmp/r", S_IFREG | 0600, 0) == 0);
    SCRATCH_CHECK(read_until(clone, "/", &got, record_of(KREC_TYPE_CREATE_FILE, "/mnt/tmp/r")));
    got.clear();
    SCRATCH_CHECK(unlink("/mnt/tmp/r") == 0 && mknod("/mnt/tmp/r", S_IFREG | 0600, 0) == 0);
    SCRATCH_CHECK(mkdir("/mnt/tmp/gone", 0755) == 0 && touch("/mnt/tmp/gone/f"));
    SCRATCH_CHECK(unlink("/mnt/tmp/gone/f") == 0 && rmdir("/mnt/tmp/gone") == 0);
    SCRATCH_CHECK(touch("/mnt/tmp/end"));
    SCRATCH_CHECK(read_until(clone, "/mnt/tmp/", &got,
                             record_of(KREC_TYPE_CONTENT_MODIFIED, "/mnt/tmp/end"), 100));
    kernel_device_close(clone);
    // Dropped records can also come from the machine's own file systems, which the scratch
    // root binds in and the device watches too: only one between the directory's removal and
    // the last file's creation may stand for the gone directory's events.
    std::string seen;
    bool dropped_for_gone = false;
    for (const auto& r : got) {
        if (r.type != KREC_TYPE_DROPPED) {
            seen += std::to_string(r.type) + r.items[0].path + " ";
            continue;
        }
        dropped_for_gone |= seen.ends_with("1/mnt/tmp/gone ");
    }
    // r replaced by another file: delete, then create. fanotify merges unread events of one
    // item: f's create and modify, and the directory's create and delete, which thus comes
    // before its content's events.
    std::string head = "1/mnt/tmp/r 0/mnt/tmp/r 7/mnt/tmp/gone 1/mnt/tmp/gone ";
    std::string tail = "0/mnt/tmp/end 4/mnt/tmp/end ";
    bool resolved = seen == head + "0/mnt/tmp/gone/f 4/mnt/tmp/gone/f 1/mnt/tmp/gone/f " + tail;
    if (!resolved)
        fprintf(stderr, "%s%s\n", seen.c_str(), dropped_for_gone ? "(dropped)" : "");
    SCRATCH_CHECK(resolved || (seen == head + tail && dropped_for_gone));
    return 0;
}

TEST(FanotifyDevice, SmallReadsAndDirectoriesGoneBeforeTheRead) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    EXPECT_EQ(run_in_scratch_root({{"/mnt/tmp"}}, check_small_reads_and_gone_directory), 0);
}

// More events than fanotify queues give a dropped record at the end of the full queue.
int check_overflow() {
    int max_queued = 16384;
    FILE* f = fopen("/proc/sys/fs/fanotify/max_queued_events", "r");
    SCRATCH_CHECK(!f || (fscanf(f, "%d", &max_queued) == 1 && fclose(f) == 0));
    SCRATCH_CHECK(max_queued <= 200000);  // else too many files to make here
    int clone = clone_fanotify();
    SCRATCH_CHECK(clone >= 0);
    for (int i = 0; i < max_queued + 1000; i++)
        SCRATCH_CHECK(mknod(("/mnt/tmp/" + std::to_string(i)).c_str(), S_IFREG | 0600, 0) == 0);
    std::vector<parsed_record> got;
    // Changes elsewhere on the machine share the queue (not all of it is ours) and may give
    // dropped records of their own before it is full.
    int ours = 0;
    SCRATCH_CHECK(read_until(clone, "/mnt/tmp/", &got, [&](const parsed_record& r) {
        ours += r.type == KREC_TYPE_CREATE_FILE;
        return r.type == KREC_TYPE_DROPPED && ours > max_queued / 2;
    }));
    kernel_device_close(clone);
    SCRATCH_CHECK(ours < max_queued + 1000);
    return 0;
}

TEST(FanotifyDevice, QueueOverflowGivesADroppedRecord) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    EXPECT_EQ(run_in_scratch_root({{"/mnt/tmp", "tmpfs", false, "256m"}}, check_overflow), 0);
}

// The device keeps no watched volume busy; events of a volume unmounted before they are read
// are dropped, not lost, and the device goes on.
int check_unmount() {
    int clone = clone_fanotify();
    SCRATCH_CHECK(clone >= 0);
    SCRATCH_CHECK(touch("/mnt/gone/f"));
    SCRATCH_CHECK(umount("/mnt/gone") == 0);
    SCRATCH_CHECK(touch("/mnt/tmp/end"));
    std::vector<parsed_record> got;
    SCRATCH_CHECK(
        read_until(clone, "/mnt/", &got, record_of(KREC_TYPE_CREATE_FILE, "/mnt/tmp/end")));
    kernel_device_close(clone);
    SCRATCH_CHECK(got.size() >= 2 && got[0].type == KREC_TYPE_DROPPED);
    return 0;
}

TEST(FanotifyDevice, UnmountingAWatchedVolume) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    EXPECT_EQ(run_in_scratch_root({{"/mnt/tmp"}, {"/mnt/gone"}}, check_unmount), 0);
}

// A volume seen only through a bind mount of one of its directories: changes elsewhere on it
// are outside this namespace's view and give no records at all (they used to come out under
// made-up paths), while changes under the bind mount come out with their paths there.
int check_partly_visible_volume() {
    SCRATCH_CHECK(mkdir("/mnt/whole/in", 0755) == 0 && mkdir("/mnt/whole/out", 0755) == 0);
    SCRATCH_CHECK(mkdir("/mnt/part", 0755) == 0);
    SCRATCH_CHECK(mount("/mnt/whole/in", "/mnt/part", nullptr, MS_BIND, nullptr) == 0);
    int out = open("/mnt/whole/out", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    SCRATCH_CHECK(out >= 0 && umount2("/mnt/whole", MNT_DETACH) == 0);
    int clone = clone_fanotify();
    SCRATCH_CHECK(clone >= 0);
    for (int i = 0; i < 20; i++) {
        std::string name = "outside-" + std::to_string(i);
        int fd = openat(out, name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        SCRATCH_CHECK(fd >= 0 && write(fd, "x", 1) == 1 && close(fd) == 0);
        SCRATCH_CHECK(fchmodat(out, name.c_str(), 0600, 0) == 0);
    }
    SCRATCH_CHECK(touch("/mnt/part/inside"));
    std::vector<parsed_record> got;
    SCRATCH_CHECK(
        read_until(clone, "/", &got, record_of(KREC_TYPE_CREATE_FILE, "/mnt/part/inside")));
    kernel_device_close(clone);
    close(out);
    for (const parsed_record& r : got) {
        for (const auto& item : r.items)
            SCRATCH_CHECK(item.path.find("outside-") == std::string::npos);
    }
    return 0;
}

TEST(FanotifyDevice, ChangesOutsideABindMountedPartAreNotReported) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    EXPECT_EQ(run_in_scratch_root({{"/mnt/whole"}}, check_partly_visible_volume), 0);
}

}  // namespace
