// The fanotify source in scratch roots, where the whole intake's tests cannot reach: directories
// gone before their events are read (tmpfs and ext4), volumes mounted and unmounted while
// watching, a volume seen only through a bind mount. Plain changes and queue overflow are
// covered by tests/intake/intake_pipeline_test.cpp. Only records under each case's own
// directory count: the machine's volumes bound into the root are watched too.
#include "platform/kernel_device.h"
#include "platform/mounts.h"
#include "tests/device/record_parser.h"
#include "tests/support/scratch_root.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>

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

// Reads until done(record) holds; keeps dropped records and those whose first path starts
// with prefix. False on a failed or malformed read, or when the watchdog closed the device.
bool read_until(int clone, const std::string& prefix, std::vector<parsed_record>* kept,
                const record_test& done) {
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 300 && !finished; i++)
            usleep(100 * 1000);
        if (!finished)
            kernel_device_close(clone);
    });
    static char buf[256 * 1024];
    bool stop = false;
    for (ssize_t n; !stop && (n = kernel_device_read(clone, buf, sizeof buf)) > 0;) {
        std::vector<parsed_record> recs;
        if (!parse_records(buf, static_cast<size_t>(n), &recs))
            break;
        for (const auto& r : recs) {
            if (r.type == KREC_TYPE_DROPPED || r.items[0].path.starts_with(prefix))
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

#define NEEDS_SCRATCH_ROOT()       \
    if (!scratch_root_available()) \
    GTEST_SKIP() << "needs root and mount namespaces"

// Changes made while nothing reads the device: every path they gave a name to (a tree renamed
// is named under its new name too) and the records they owe.
struct workload {
    std::string base;
    std::set<std::string> named;
    std::vector<std::pair<uint32_t, std::string>> owed;  // type and path(s) of a record
    std::function<bool(const parsed_record&)> check = [](const parsed_record&) { return true; };
    bool ok = true;

    std::string at(const std::string& rel) { return base + "/" + rel; }
    void note(bool done, const std::string& rel) { ok = ok && done, named.insert(at(rel)); }
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
        for (const std::string& p : std::set<std::string>(named))
            if (p.starts_with(at(from) + "/"))
                named.insert(at(to) + p.substr(at(from).size()));
        named.insert(at(to));
    }
};

// The records of work, read once it is done: only paths it named, every record it owes, and
// no dropped record for this volume.
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
        bool ours = r.items.empty() || base.starts_with(r.items[0].path + "/");
        if (r.type == KREC_TYPE_DROPPED && !ours)
            continue;  // another volume's (the machine's own, bound into the root)
        SCRATCH_CHECK(r.type != KREC_TYPE_DROPPED);
        std::string paths;
        for (const auto& item : r.items) {
            paths += (paths.empty() ? "" : " ") + item.path;
            if (!w.named.count(item.path) && ++wrong)
                fprintf(stderr, "%s: wrong path %u %s\n", base.c_str(), r.type, item.path.c_str());
        }
        seen.emplace(r.type, paths);
        if (!w.check(r) && ++wrong)
            fprintf(stderr, "%s: wrong record %u %s\n", base.c_str(), r.type, paths.c_str());
    }
    for (const auto& record : w.owed)
        if (!seen.count(record) && ++wrong)
            fprintf(stderr, "%s: missing %u %s\n", base.c_str(), record.first,
                    record.second.c_str());
    SCRATCH_CHECK(wrong == 0);
    return 0;
}

// Trees made and removed at once, trees older than the device removed with rm -rf, directories
// renamed and written in at once (also below a renamed ancestor), a directory removed and made
// again under its name, and hard links removed.
int check_gone_directories(const std::string& volume) {
    auto none = [](workload*) {};
    auto short_lived = [](workload* w) {
        for (int i = 0; i < 20; i++) {
            w->dir("t"), w->dir("t/x"), w->dir("t/x/y");
            for (int k = 0; k < 5; k++)
                w->file("t/x/y/f" + std::to_string(k));
            w->remove_tree("t");
        }
    };
    auto old_trees = [](workload* w) {
        for (int i = 0; i < 10; i++) {
            std::string t = "p" + std::to_string(i);
            w->dir(t), w->dir(t + "/e"), w->file(t + "/e/f"), w->file(t + "/g");
        }
    };
    auto remove_old = [](workload* w) {
        for (int i = 0; i < 10; i++)
            w->remove_tree("p" + std::to_string(i));
    };
    auto moved = [](workload* w) {
        for (int i = 0; i < 10; i++) {
            w->dir("a" + std::to_string(i));
            w->move("a" + std::to_string(i), "b" + std::to_string(i));
            w->file("b" + std::to_string(i) + "/f");
        }
        w->file("m/n/f"), w->move("m", "m2"), w->file("m2/n/g");
        w->move("q", "q2"), w->file("q2/f");
        w->dir("d"), w->file("d/f"), w->remove_tree("d"), w->dir("d"), w->file("d/g");
    };
    auto links = [](workload* w) {
        w->file("f"), w->link("f", "g"), w->file("h"), w->link("h", "i"), w->link("h", "j");
    };
    // The name left is reported as changed, flagged when it is the item's last link.
    auto unlink_some = [](workload* w) {
        w->remove("g"), w->remove("j");
        w->owed.emplace_back(KREC_TYPE_STAT_CHANGED, w->at("f"));
        w->check = [f = w->at("f")](const parsed_record& r) {
            return r.type != KREC_TYPE_STAT_CHANGED ||
                   ((r.items[0].mode & KREC_MODE_LAST_HARDLINK) != 0) == (r.items[0].path == f);
        };
    };
    SCRATCH_CHECK(check_named(volume + "/short", none, short_lived) == 0);
    SCRATCH_CHECK(check_named(volume + "/old", old_trees, remove_old) == 0);
    SCRATCH_CHECK(check_named(
                      volume + "/moved",
                      [](workload* w) { w->dir("m"), w->dir("m/n"), w->dir("q"); }, moved) == 0);
    return check_named(volume + "/links", links, unlink_some);
}

TEST(FanotifyDevice, DirectoriesGoneBeforeTheReadAreNamedFromTheEvents) {
    NEEDS_SCRATCH_ROOT();
    EXPECT_EQ(run_on_tmpfs_and_ext4(check_gone_directories), 0);
}

// Volumes mounted after the device was opened are watched, bind mounts included, also after
// a storm of mounts; no volume is kept busy; the events of a volume unmounted before they are
// read come out as they happened or not at all, never as a dropped record.
int check_mounts_after_start() {
    int clone = clone_fanotify();
    SCRATCH_CHECK(clone >= 0);
    SCRATCH_CHECK(touch("/mnt/gone/f") && mkdir("/mnt/gone/d", 0755) == 0 &&
                  touch("/mnt/gone/d/g"));
    SCRATCH_CHECK(umount("/mnt/gone") == 0);
    SCRATCH_CHECK(mkdir("/mnt/new", 0755) == 0 && mkdir("/mnt/bind", 0755) == 0);
    SCRATCH_CHECK(mount("scratch", "/mnt/new", "tmpfs", 0, nullptr) == 0);
    std::vector<parsed_record> got;  // the next read marks the new volume
    SCRATCH_CHECK(
        touch("/mnt/tmp/read") &&
        read_until(clone, "/mnt/", &got, record_of(KREC_TYPE_CREATE_FILE, "/mnt/tmp/read")));
    for (int i = 0; i < 1000; i++)
        SCRATCH_CHECK(mount("/mnt/new", "/mnt/bind", nullptr, MS_BIND, nullptr) == 0 &&
                      umount("/mnt/bind") == 0);
    SCRATCH_CHECK(mkdir("/mnt/new/sub", 0755) == 0);
    SCRATCH_CHECK(mount("/mnt/new/sub", "/mnt/bind", nullptr, MS_BIND, nullptr) == 0);
    SCRATCH_CHECK(touch("/mnt/new/f") && touch("/mnt/bind/g"));
    struct stat st;
    SCRATCH_CHECK(stat("/mnt/new", &st) == 0);
    SCRATCH_CHECK(
        read_until(clone, "/mnt/", &got, record_of(KREC_TYPE_CONTENT_MODIFIED, "/mnt/bind/g")));
    SCRATCH_CHECK(umount("/mnt/bind") == 0 && umount("/mnt/new") == 0);
    kernel_device_close(clone);
    const std::set<std::string> allowed = {"/mnt/gone/f",   "/mnt/gone/d", "/mnt/gone/d/g",
                                           "/mnt/tmp/read", "/mnt/new",    "/mnt/bind",
                                           "/mnt/new/sub",  "/mnt/new/f",  "/mnt/bind/g"};
    bool new_seen = false;
    for (const parsed_record& r : got) {
        SCRATCH_CHECK(r.type != KREC_TYPE_DROPPED && allowed.count(r.items[0].path));
        if (r.items[0].path.starts_with("/mnt/new/"))
            SCRATCH_CHECK(r.items[0].dev == device_number_32(st.st_dev));
        new_seen = new_seen || r.items[0].path == "/mnt/new/f";
    }
    SCRATCH_CHECK(new_seen);
    return 0;
}

TEST(FanotifyDevice, VolumesMountedAndUnmountedWhileWatching) {
    NEEDS_SCRATCH_ROOT();
    EXPECT_EQ(run_in_scratch_root({{"/mnt/tmp"}, {"/mnt/gone"}}, check_mounts_after_start), 0);
}

// A volume seen only through a bind mount of one of its directories: changes elsewhere on it
// give no records (they once came out under made-up paths); an item moved into view is
// created there, and moved out again is removed.
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
    NEEDS_SCRATCH_ROOT();
    EXPECT_EQ(run_in_scratch_root({{"/mnt/whole"}}, check_partly_visible_volume), 0);
}

}  // namespace
