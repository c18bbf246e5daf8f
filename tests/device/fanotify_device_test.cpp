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

#include <dirent.h>

#include <atomic>
#include <functional>
#include <set>
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

// Runs check on a tmpfs volume and, where ext4 volumes can be made, on an ext4 one.
int run_on_tmpfs_and_ext4(int (*check)(const std::string& volume)) {
    bool ext4 = scratch_ext4_available();
    std::vector<scratch_volume> volumes = {{"/mnt/tmp"}};
    if (ext4)
        volumes.push_back({"/mnt/ext", "ext4"});
    return run_in_scratch_root(volumes, [=] {
        int r = check("/mnt/tmp");
        return r || !ext4 ? r : check("/mnt/ext");
    });
}

TEST(FanotifyDevice, ChangesOnTmpfsAndExt4) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    EXPECT_EQ(run_on_tmpfs_and_ext4(check_changes_on), 0);
}

// Reads with room for one record at a time still get every record, whole.
int check_small_reads() {
    int clone = clone_fanotify();
    SCRATCH_CHECK(clone >= 0);
    std::vector<parsed_record> got;
    SCRATCH_CHECK(touch("/mnt/tmp/a") && mkdir("/mnt/tmp/d", 0755) == 0 && touch("/mnt/tmp/end"));
    SCRATCH_CHECK(read_until(clone, "/mnt/tmp/", &got,
                             record_of(KREC_TYPE_CONTENT_MODIFIED, "/mnt/tmp/end"), 100));
    kernel_device_close(clone);
    std::string seen;
    for (const auto& r : got)
        seen += std::to_string(r.type) + (r.items.empty() ? "" : r.items[0].path) + " ";
    // fanotify merges unread events of one item: a's create and modify come together.
    SCRATCH_CHECK(seen == "0/mnt/tmp/a 4/mnt/tmp/a 7/mnt/tmp/d 0/mnt/tmp/end 4/mnt/tmp/end ");
    return 0;
}

TEST(FanotifyDevice, SmallReads) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    EXPECT_EQ(run_in_scratch_root({{"/mnt/tmp"}}, check_small_reads), 0);
}

// Changes made under a directory while nothing reads the device, with every path they gave a
// name to (a tree renamed is recorded under its new name too) and the records they owe.
struct workload {
    std::string base;
    std::set<std::string> named;
    std::vector<std::pair<uint32_t, std::string>> owed;  // type and path of a record
    bool ok = true;

    std::string at(const std::string& rel) { return base + "/" + rel; }
    void note(bool done, const std::string& rel) {
        ok = ok && done;
        named.insert(at(rel));
    }
    void dir(const std::string& rel) { note(::mkdir(at(rel).c_str(), 0755) == 0, rel); }
    void file(const std::string& rel) { note(touch(at(rel)), rel); }
    void link(const std::string& from, const std::string& rel) {
        note(::link(at(from).c_str(), at(rel).c_str()) == 0, rel);
    }
    void remove(const std::string& rel) {
        ok = ok && ::remove(at(rel).c_str()) == 0;
        owed.emplace_back(KREC_TYPE_DELETE, at(rel));
    }
    void remove_tree(const std::string& rel) {  // as rm -rf: what is inside first
        if (DIR* d = opendir(at(rel).c_str())) {
            std::vector<std::string> names;
            while (dirent* e = readdir(d))
                if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
                    names.push_back(e->d_name);
            closedir(d);
            for (const auto& n : names)
                remove_tree(rel + "/" + n);
        }
        remove(rel);
    }
    void move(const std::string& from, const std::string& to) {
        ok = ok && ::rename(at(from).c_str(), at(to).c_str()) == 0;
        owed.emplace_back(KREC_TYPE_RENAME, at(from) + " " + at(to));
        for (const std::string& p : std::set<std::string>(named))  // the tree, under its new name
            if (p.starts_with(at(from) + "/"))
                named.insert(at(to) + p.substr(at(from).size()));
        named.insert(at(to));
    }
};

// The records of work, read once it is done: every path one the work gave a name to, every
// record it owes there, and no dropped record.
int check_named(const std::string& base, const std::function<void(workload*)>& before,
                const std::function<void(workload*)>& work) {
    workload w;
    w.base = base;
    SCRATCH_CHECK(mkdir(base.c_str(), 0755) == 0);
    before(&w);
    sync();
    int clone = clone_fanotify();
    SCRATCH_CHECK(clone >= 0);
    work(&w);
    w.file("END");
    std::vector<parsed_record> got;
    SCRATCH_CHECK(
        w.ok && read_until(clone, base + "/", &got, record_of(KREC_TYPE_CREATE_FILE, w.at("END"))));
    kernel_device_close(clone);
    int wrong = 0;
    std::multiset<std::pair<uint32_t, std::string>> seen;
    for (const parsed_record& r : got) {
        // A notice for another volume (the machine's own, bound into the root) is not ours.
        bool ours = r.items.empty() || base.starts_with(r.items[0].path + "/");
        if (r.type == KREC_TYPE_DROPPED && !ours)
            fprintf(stderr, "%s: notice for %s\n", base.c_str(), r.items[0].path.c_str());
        if (r.type == KREC_TYPE_DROPPED && !ours)
            continue;
        SCRATCH_CHECK(r.type != KREC_TYPE_DROPPED);
        std::string paths;
        for (const auto& item : r.items) {
            paths += (paths.empty() ? "" : " ") + item.path;
            if (!w.named.count(item.path) && ++wrong)
                fprintf(stderr, "%s: wrong path %u %s\n", base.c_str(), r.type, item.path.c_str());
        }
        seen.emplace(r.type, paths);
    }
    for (const auto& record : w.owed) {
        if (!seen.count(record) && ++wrong)
            fprintf(stderr, "%s: missing %u %s\n", base.c_str(), record.first,
                    record.second.c_str());
    }
    SCRATCH_CHECK(wrong == 0);
    return 0;
}

// Directories gone by the time their events are read are named from the events: trees made
// and removed at once, trees that existed before the device was opened removed with rm -rf,
// directories renamed and written in at once (also below a renamed ancestor), a directory
// removed and made again under its name, hard links.
int check_gone_directories(const std::string& volume) {
    auto none = [](workload*) {};
    int r = check_named(volume + "/short", none, [](workload* w) {
        for (int i = 0; i < 20; i++) {
            w->dir("t"), w->dir("t/x"), w->dir("t/x/y");
            for (int k = 0; k < 5; k++)
                w->file("t/x/y/f" + std::to_string(k));
            w->remove_tree("t");
        }
    });
    r = r ? r
          : check_named(
                volume + "/old",
                [](workload* w) {
                    for (int i = 0; i < 10; i++) {
                        std::string t = "p" + std::to_string(i);
                        w->dir(t), w->dir(t + "/e"), w->file(t + "/e/f"), w->file(t + "/g");
                    }
                },
                [](workload* w) {
                    for (int i = 0; i < 10; i++)
                        w->remove_tree("p" + std::to_string(i));
                });
    r = r ? r
          : check_named(
                volume + "/moved", [](workload* w) { w->dir("m"), w->dir("m/n"), w->dir("q"); },
                [](workload* w) {
                    for (int i = 0; i < 10; i++) {
                        w->dir("a" + std::to_string(i));
                        w->move("a" + std::to_string(i), "b" + std::to_string(i));
                        w->file("b" + std::to_string(i) + "/f");
                    }
                    w->file("m/n/f"), w->move("m", "m2"), w->file("m2/n/g");
                    w->move("q", "q2"), w->file("q2/f");
                    w->dir("d"), w->file("d/f"), w->remove_tree("d"), w->dir("d"), w->file("d/g");
                });
    return r ? r
             : check_named(
                   volume + "/links",
                   [](workload* w) {
                       w->file("f"), w->link("f", "g"), w->file("h"), w->link("h", "i"),
                           w->link("h", "j");
                   },
                   [](workload* w) {
                       w->remove("g"), w->remove("j");
                       w->owed.emplace_back(KREC_TYPE_STAT_CHANGED, w->at("f"));
                   });
}

TEST(FanotifyDevice, DirectoriesGoneBeforeTheReadAreNamedFromTheEvents) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    EXPECT_EQ(run_on_tmpfs_and_ext4(check_gone_directories), 0);
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

// Volumes mounted after the device was opened are watched too, bind mounts included, also
// after a storm of mounts; the device keeps no volume busy, and the events of a volume
// unmounted before they are read come out as they happened, or not at all: never dropped.
int check_mounts_after_start() {
    int clone = clone_fanotify();
    SCRATCH_CHECK(clone >= 0);
    SCRATCH_CHECK(touch("/mnt/gone/f") && mkdir("/mnt/gone/d", 0755) == 0 &&
                  touch("/mnt/gone/d/g"));
    SCRATCH_CHECK(umount("/mnt/gone") == 0);
    SCRATCH_CHECK(mkdir("/mnt/new", 0755) == 0 && mkdir("/mnt/bind", 0755) == 0);
    SCRATCH_CHECK(mount("scratch", "/mnt/new", "tmpfs", 0, nullptr) == 0);
    // A running reader marks a new volume at once; this one does when it reads next.
    std::vector<parsed_record> got;
    SCRATCH_CHECK(
        touch("/mnt/tmp/read") &&
        read_until(clone, "/mnt/", &got, record_of(KREC_TYPE_CREATE_FILE, "/mnt/tmp/read")));
    for (int i = 0; i < 1000; i++) {
        SCRATCH_CHECK(mount("/mnt/new", "/mnt/bind", nullptr, MS_BIND, nullptr) == 0);
        SCRATCH_CHECK(umount("/mnt/bind") == 0);
    }
    SCRATCH_CHECK(mkdir("/mnt/new/sub", 0755) == 0);
    SCRATCH_CHECK(mount("/mnt/new/sub", "/mnt/bind", nullptr, MS_BIND, nullptr) == 0);
    SCRATCH_CHECK(touch("/mnt/new/f") && touch("/mnt/bind/g"));
    struct stat st;
    SCRATCH_CHECK(stat("/mnt/new", &st) == 0);
    SCRATCH_CHECK(
        read_until(clone, "/mnt/", &got, record_of(KREC_TYPE_CONTENT_MODIFIED, "/mnt/bind/g")));
    SCRATCH_CHECK(umount("/mnt/bind") == 0 && umount("/mnt/new") == 0);
    kernel_device_close(clone);
    std::set<std::string> paths;
    for (const parsed_record& r : got) {
        SCRATCH_CHECK(r.type != KREC_TYPE_DROPPED);
        paths.insert(r.items[0].path);
        if (r.items[0].path.starts_with("/mnt/new/"))
            SCRATCH_CHECK(r.items[0].dev == device_number_32(st.st_dev));
    }
    for (const std::string& p : paths)
        SCRATCH_CHECK(std::set<std::string>({"/mnt/gone/f", "/mnt/gone/d", "/mnt/gone/d/g",
                                             "/mnt/tmp/read", "/mnt/new", "/mnt/bind",
                                             "/mnt/new/sub", "/mnt/new/f", "/mnt/bind/g"})
                          .count(p));
    SCRATCH_CHECK(paths.count("/mnt/new/f"));
    return 0;
}

TEST(FanotifyDevice, VolumesMountedAndUnmountedWhileWatching) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    EXPECT_EQ(run_in_scratch_root({{"/mnt/tmp"}, {"/mnt/gone"}}, check_mounts_after_start), 0);
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
    // Moved into view, an item is created there; moved out of it, it is removed.
    int in = openat(out, "../in", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    SCRATCH_CHECK(in >= 0 && renameat(out, "outside-0", in, "came-in") == 0);
    SCRATCH_CHECK(renameat(in, "came-in", out, "went-out") == 0 && close(in) == 0);
    SCRATCH_CHECK(touch("/mnt/part/inside"));
    std::vector<parsed_record> got;
    SCRATCH_CHECK(
        read_until(clone, "/", &got, record_of(KREC_TYPE_CREATE_FILE, "/mnt/part/inside")));
    kernel_device_close(clone);
    close(out);
    std::string seen;
    for (const parsed_record& r : got) {
        for (const auto& item : r.items)
            SCRATCH_CHECK(item.path.find("outside-") == std::string::npos &&
                          item.path.find("went-out") == std::string::npos);
        if (r.items[0].path.starts_with("/mnt/part/came-in"))
            seen += std::to_string(r.type) + " ";
    }
    SCRATCH_CHECK(seen == "0 1 ");
    return 0;
}

TEST(FanotifyDevice, ChangesOutsideABindMountedPartAreNotReported) {
    if (!scratch_root_available())
        GTEST_SKIP() << "needs root and mount namespaces";
    EXPECT_EQ(run_in_scratch_root({{"/mnt/whole"}}, check_partly_visible_volume), 0);
}

}  // namespace
