// A logged volume failing under the running daemon: mounted late and unmounted, filled up
// under a storm, remounted read-only, unmounted (lazily and plainly) under clients. The daemon
// stays up, goes on delivering, logs what failed, keeps no descriptor it should not, and its
// history works again as far as the volume lets it.
#include "tests/faults/fault_support.h"

#include "vantles/stream.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int FLUSH = 5000;  // distinct names that make the disk logger write a log file
constexpr const char* LOG_DIR = "/var/.vantlesd";
constexpr uint32_t FILES = VANTLES_FLAG_FILE_EVENTS;

class VolumeFaults : public FaultTest {
protected:
    // Makes count files dir/<prefix><i> (dir as the daemon sees it) and waits until the disk
    // logger has filed them: the daemon holds no event any more.
    ::testing::AssertionResult make_and_file(const std::string& dir, const std::string& prefix,
                                             int count) {
        if (live_make_dir(daemon_, dir) || make_files(host(dir), prefix, count) ||
            live_sync(daemon_, dir))
            return ::testing::AssertionFailure() << "files in " << dir;
        if (live_state_becomes(&daemon_, LIVE_INTERNAL_CLIENTS, 0, FAULT_WAIT_MS))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "events still held after the sync of " << dir;
    }

    // Replays dir since 0 soundly: whether it holds every name dir/<prefix><i>, i < count
    // (all), or none of them.
    ::testing::AssertionResult replays(const std::string& dir, const std::string& prefix, int count,
                                       bool all = true) {
        std::set<std::string> names;
        auto in_dir = [&](const std::string& p) { return p == dir || p.starts_with(dir + "/"); };
        if (auto ok = replays_soundly({dir}, 0, in_dir, &names); !ok)
            return ok;
        int found = 0;
        for (int i = 0; i < count; i++)
            found += names.count(dir + "/" + prefix + std::to_string(i));
        if (found == (all ? count : 0))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << found << " of " << count << " names replayed";
    }

    // An event of s after the current id: delivery goes on.
    ::testing::AssertionResult delivers(live_stream* s) {
        uint64_t id = current_id();
        if (live_wait_event(
                &s->sink, [id](const live_event& e) { return e.id > id; }, FAULT_WAIT_MS))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "no event after id " << id;
    }

    // Runs op (a mount call) in the daemon's namespace, retrying while the volume is busy (a
    // file of it open for writing). 0 or an errno value.
    int retry_busy(const std::function<int()>& op) {
        return in_daemon_namespace(daemon_, [&] {
            for (int i = 0; i < 200; i++, usleep(10000))
                if (int r = op(); r == 0 || errno != EBUSY)
                    return r == 0 ? 0 : errno;
            return EBUSY;
        });
    }
};

// Volumes mounted after the start (a tmpfs, and an ext4 image when it can be made) are watched;
// once unmounted nothing more comes of them, not even a dropped notice, and the daemon answers
// for them as for a device it does not know.
TEST_F(VolumeFaults, VolumesMountedLaterAreWatchedUntilUnmounted) {
    ASSERT_TRUE(start({}));
    std::vector<std::string> later = {"/mnt/later-tmp"};
    unique_fd loop;
    std::string loop_path;
    if (scratch_ext4_available() &&
        make_ext4_loop(socket_dir_ + "/later.img", "32m", false, &loop, &loop_path) == 0)
        later.push_back("/mnt/later-ext");
    for (const std::string& m : later) {
        const bool ext = m.ends_with("ext");
        const char* from = ext ? loop_path.c_str() : "later";
        EXPECT_EQ(0, in_daemon_namespace(daemon_,
                                         [&] {
                                             return mkdir(m.c_str(), 0755) |
                                                            mount(from, m.c_str(),
                                                                  ext ? "ext4" : "tmpfs", 0, 0)
                                                        ? errno
                                                        : 0;
                                         }))
            << m;
    }
    std::vector<std::string> paths = later;
    paths.push_back("/tmp");
    live_stream s;
    ASSERT_EQ(0, live_stream_start(&s, live_options(daemon_, paths, FILES, 50000)));
    std::vector<uint32_t> devices;
    for (const std::string& m : later) {
        ASSERT_EQ(0, live_make_dir(daemon_, m + "/d"));
        ASSERT_EQ(0, live_create_file(daemon_, m + "/d/f"));
        EXPECT_TRUE(live_wait_event(&s.sink, live_path_is(m + "/d/f"), FAULT_WAIT_MS)) << m;
        devices.push_back(live_device_of(daemon_, m));
    }
    for (const std::string& m : later)
        ASSERT_EQ(0, in_daemon_namespace(daemon_, [&] { return umount(m.c_str()) ? errno : 0; }));
    size_t before = live_sink_events(&s.sink).size();
    ASSERT_EQ(0, live_create_file(daemon_, "/tmp/after"));
    ASSERT_TRUE(live_wait_event(&s.sink, live_path_is("/tmp/after"), FAULT_WAIT_MS));
    std::vector<live_event> after = live_sink_events(&s.sink);
    after.erase(after.begin(), after.begin() + static_cast<ptrdiff_t>(before));
    EXPECT_EQ(1u, after.size()) << live_describe(after);
    for (uint32_t dev : devices)
        EXPECT_EQ("NO-UUID-UNKNOWN-DEVICE", uuid(dev));
}

// Filled up under a storm: the daemon logs the failed write and throws the history away, live
// events go on, and once there is room the volume has a new history under a new uuid (on disk
// and in the answer alike) that the next daemon keeps, numbering right on after a clean stop.
TEST_F(VolumeFaults, FullVolumeUnderAStormStartsANewHistoryOnceThereIsRoom) {
    ASSERT_TRUE(start({{"/var", "tmpfs", false, "8m"}}));
    const int resting_fds = resting_fd_count();
    const uint32_t var_dev = live_device_of(daemon_, "/var");
    ASSERT_TRUE(make_and_file("/var/old", "o", FLUSH + 200));
    const std::string old_uuid = uuid(var_dev);
    ASSERT_EQ(36u, old_uuid.size());
    ASSERT_EQ(0, live_make_dir(daemon_, "/var/storm"));
    ASSERT_EQ(0, live_make_dir(daemon_, "/tmp/other"));
    {
        live_stream storm_watch, other_watch;
        ASSERT_EQ(0, live_stream_start(&storm_watch, live_options(daemon_, {"/var/storm"}, FILES)));
        ASSERT_EQ(0, live_stream_start(&other_watch, live_options(daemon_, {"/tmp/other"}, FILES)));
        storm_writer writer;
        ASSERT_EQ(0, writer.start(daemon_, "/var/storm", 2000));
        // Fill the volume, then names enough for a flush at once (empty files still fit).
        int fd = open(host("/var/ballast").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        static const std::vector<char> chunk(1 << 16, 0);
        while (write(fd, chunk.data(), chunk.size()) > 0) {
        }
        ASSERT_EQ(ENOSPC, errno);
        close(fd);
        ASSERT_EQ(0, live_make_dir(daemon_, "/var/burst"));
        ASSERT_EQ(0, make_files(host("/var/burst"), "u", FLUSH));
        ASSERT_EQ(0, live_nudge_disk_logger(daemon_));
        EXPECT_TRUE(test_daemon_wait_log(daemon_, "removing all old log files in /var/.vantlesd",
                                         FAULT_WAIT_MS));
        EXPECT_LE(log_files(host(LOG_DIR)).size(), 1u) << "the old files stay";
        EXPECT_TRUE(delivers(&storm_watch));
        ASSERT_EQ(0, live_create_file(daemon_, "/tmp/other/while-full"));
        EXPECT_TRUE(live_wait_event(&other_watch.sink, live_path_is("/tmp/other/while-full"),
                                    FAULT_WAIT_MS));

        ASSERT_EQ(0, unlink(host("/var/ballast").c_str()));
        EXPECT_TRUE(wait_until(
            [&] {
                std::string on_disk = read_text(host("/var/.vantlesd/vantlesd-uuid"));
                return !log_files(host(LOG_DIR)).empty() && on_disk.size() == 36 &&
                       on_disk != old_uuid && on_disk == uuid(var_dev);
            },
            FAULT_WAIT_MS))
            << "no new history once there was room";
        EXPECT_TRUE(delivers(&storm_watch));
    }
    ASSERT_TRUE(make_and_file("/var/new", "k", FLUSH + 200));
    EXPECT_TRUE(replays("/var/old", "o", FLUSH + 200, false)) << "the thrown-away history";
    EXPECT_TRUE(replays("/var/new", "k", FLUSH + 200));
    EXPECT_TRUE(fd_count_returns(daemon_.pid, resting_fds, FAULT_WAIT_MS));

    const std::string new_uuid = uuid(var_dev);
    const uint64_t last_id = current_id();
    ASSERT_EQ(0, test_daemon_restart(&daemon_, {"-d"}));
    EXPECT_EQ(0, daemon_.status) << "the first daemon's wait status";
    EXPECT_EQ(new_uuid, uuid(var_dev));
    const uint64_t first_id = current_id();
    EXPECT_GE(first_id, last_id);
    EXPECT_LT(first_id, last_id + 1000) << "ids skipped at a clean stop";
    EXPECT_TRUE(replays("/var/new", "k", FLUSH + 200));
}

// Remounted read-only: a flush that falls in that time fails cleanly and is logged (its names
// are lost), the history on disk stays readable, other volumes deliver on, and once read-write
// again the history takes new files under the same uuid.
TEST_F(VolumeFaults, ReadOnlyRemountFailsHistoryWritesCleanlyAndRecoversReadWrite) {
    ASSERT_TRUE(start({{"/var", "tmpfs", false, "64m"}, {"/mnt/other", "tmpfs", false, "16m"}}));
    const int resting_fds = resting_fd_count();
    const uint32_t var_dev = live_device_of(daemon_, "/var");
    ASSERT_TRUE(make_and_file("/var/before", "b", FLUSH + 200));
    ASSERT_TRUE(make_and_file("/var/filler", "f", FLUSH));  // the last of /var/before on disk
    const size_t files_before = log_files(host(LOG_DIR)).size();
    ASSERT_GE(files_before, 2u);
    const std::string var_uuid = uuid(var_dev);
    // Names the disk logger holds without filing them (its ring is less than half full) until
    // pushed once the volume is read-only.
    ASSERT_TRUE(make_and_file("/var/held", "h", FLUSH - 1000));
    ASSERT_EQ(0, live_make_dir(daemon_, "/var/late"));
    ASSERT_EQ(0, make_files(host("/var/late"), "l", 1500));
    auto remount = [&](unsigned long flags) {
        return retry_busy(
            [flags] { return mount(nullptr, "/var", nullptr, MS_REMOUNT | flags, nullptr); });
    };
    ASSERT_EQ(0, remount(MS_RDONLY));
    ASSERT_EQ(EROFS, live_create_file(daemon_, "/var/late/refused"));
    ASSERT_EQ(files_before, log_files(host(LOG_DIR)).size()) << "flushed before the remount";
    ASSERT_EQ(0, live_make_dir(daemon_, "/mnt/other/storm"));
    {
        live_stream other;
        ASSERT_EQ(0, live_stream_start(&other, live_options(daemon_, {"/mnt/other/storm"}, FILES)));
        storm_writer writer;
        ASSERT_EQ(0, writer.start(daemon_, "/mnt/other/storm", 2000));
        ASSERT_EQ(0, live_nudge_disk_logger(daemon_));
        EXPECT_TRUE(test_daemon_wait_log(
            daemon_, "disk logger: failed to open output file /var/.vantlesd/", FAULT_WAIT_MS));
        EXPECT_NE(std::string::npos, test_daemon_log(daemon_).find("(Read-only file system)"));
        EXPECT_TRUE(delivers(&other));
        EXPECT_TRUE(replays("/var/before", "b", FLUSH + 200));
        EXPECT_TRUE(delivers(&other));
    }
    ASSERT_EQ(0, remount(0));
    ASSERT_TRUE(make_and_file("/var/after", "a", FLUSH + 200));
    EXPECT_GT(log_files(host(LOG_DIR)).size(), files_before) << "no new log file";
    EXPECT_TRUE(replays("/var/before", "b", FLUSH + 200));
    EXPECT_TRUE(replays("/var/after", "a", FLUSH + 200));
    EXPECT_EQ(var_uuid, uuid(var_dev));
    EXPECT_TRUE(fd_count_returns(daemon_.pid, resting_fds, FAULT_WAIT_MS));
}

// The vantles tool run as user 65534 watching a path relative to a volume: a client of
// another user served relative to the volume. Ended by the destructor.
struct foreign_watch {
    pid_t pid = -1;
    unique_fd out;
    std::string text;  // printed so far
    ~foreign_watch() {
        if (pid > 0 && kill(pid, SIGTERM) == 0)
            waitpid(pid, nullptr, 0);
    }
    int start(const test_daemon& d, dev_t dev, const char* path) {
        std::string device = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
        const char* argv[] = {
            VANTLES_TOOL_PATH,     "watch", "--files", "--device", device.c_str(), "--socket",
            d.socket_path.c_str(), path,    nullptr};
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0 || fcntl(fds[0], F_SETFL, O_NONBLOCK) != 0)
            return errno;
        fflush(nullptr);
        if ((pid = fork()) == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (dup2(fds[1], 1) < 0 || setgroups(0, nullptr) || setgid(65534) || setuid(65534))
                _exit(126);
            execv(argv[0], const_cast<char**>(argv));
            _exit(127);
        }
        close(fds[1]);
        out.reset(fds[0]);
        return pid < 0 ? errno : 0;
    }
    // Reads its output until a line ends with " " + path; false at the deadline.
    bool prints(const std::string& path) {
        return wait_until(
            [&] {
                char buf[4096];
                ssize_t n = read(out.get(), buf, sizeof buf);
                text.append(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
                return text.find(" " + path + "\n") != std::string::npos;
            },
            FAULT_WAIT_MS);
    }
};

// /var unmounted (lazily or plainly, the parameter) under clients registered there: absolute,
// relative to the volume, replaying, and another user's relative one. The daemon lets the
// volume go at once, serves the other volumes on, stops cleanly, and writes nothing of the lost
// volume's history into the directory that the mount point shows now.
class UnmountFaults : public VolumeFaults, public ::testing::WithParamInterface<int> {};

TEST_P(UnmountFaults, UnmountUnderClientsLetsTheVolumeGo) {
    ASSERT_TRUE(start({{"/var", "tmpfs", false, "64m"}, {"/mnt/other", "tmpfs", false, "16m"}}));
    const int resting_fds = resting_fd_count();
    struct stat var_st;
    ASSERT_EQ(0, stat(host("/var").c_str(), &var_st));
    ASSERT_TRUE(make_and_file("/var/w", "f", FLUSH + 200));
    ASSERT_EQ(0, live_make_dir(daemon_, "/mnt/other/storm"));
    {
        live_stream on_var, relative, replayed, other, late;
        ASSERT_EQ(0, live_stream_start(&on_var, live_options(daemon_, {"/var/w"}, FILES)));
        vantles_stream_options by_device = live_options(daemon_, {"w"}, FILES);
        by_device.device = live_device_of(daemon_, "/var");
        ASSERT_EQ(0, live_stream_start(&relative, by_device));
        vantles_stream_options since_0 = live_options(daemon_, {"/var/w"}, FILES);
        since_0.since_when = 0;
        ASSERT_EQ(0, live_stream_start(&replayed, since_0));
        ASSERT_TRUE(live_wait_event(
            &replayed.sink,
            [](const live_event& e) { return e.flags & VANTLES_EVENT_HISTORY_DONE; },
            FAULT_WAIT_MS));
        ASSERT_EQ(0, live_stream_start(&other, live_options(daemon_, {"/mnt/other/storm"}, FILES)));
        foreign_watch foreign;
        ASSERT_EQ(0, foreign.start(daemon_, var_st.st_dev, "w"));
        EXPECT_TRUE(live_state_becomes(&daemon_, LIVE_INTERNAL_CLIENTS + 5, -1, FAULT_WAIT_MS));
        // Each client gets what it may read; the other user not a file closed to it.
        int fd = open(host("/var/w/secret").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_EQ(0, fchmod(fd, 0600));
        close(fd);
        ASSERT_EQ(0, live_create_file(daemon_, "/var/w/seen"));
        EXPECT_TRUE(live_wait_event(&on_var.sink, live_path_is("/var/w/seen"), FAULT_WAIT_MS));
        EXPECT_TRUE(live_wait_event(&relative.sink, live_path_is("w/seen"), FAULT_WAIT_MS));
        EXPECT_TRUE(foreign.prints("w/seen")) << foreign.text;
        EXPECT_EQ(std::string::npos, foreign.text.find("w/secret")) << foreign.text;

        storm_writer writer;
        ASSERT_EQ(0, writer.start(daemon_, "/mnt/other/storm", 2000));
        int flags = GetParam();
        int err = retry_busy([flags] { return umount2("/var", flags); });
        EXPECT_EQ(0, err) << strerror(err) << "; the daemon holds:\n"
                          << held_on_device(daemon_.pid, var_st.st_dev);
        // Promptly: not only once an idle client's delivery thread has ended (15 s).
        EXPECT_TRUE(
            wait_until([&] { return held_on_device(daemon_.pid, var_st.st_dev).empty(); }, 5000))
            << "the daemon still holds:\n"
            << held_on_device(daemon_.pid, var_st.st_dev);
        EXPECT_TRUE(delivers(&other));
        ASSERT_EQ(0, live_stream_start(&late, live_options(daemon_, {"/mnt/other/storm"}, FILES)));
        EXPECT_TRUE(delivers(&late));
        EXPECT_TRUE(replays_soundly({"/"}, 0, [](const std::string&) { return true; }));
    }
    EXPECT_TRUE(live_state_becomes(&daemon_, LIVE_INTERNAL_CLIENTS, -1, FAULT_WAIT_MS));
    EXPECT_TRUE(fd_count_returns(daemon_.pid, resting_fds, FAULT_WAIT_MS));

    // A directory of the log directory's name under the mount point stays empty, even through
    // the last flush of a clean stop.
    ASSERT_EQ(0, mkdir(host(LOG_DIR).c_str(), 0700));
    DIR* under = opendir(host(LOG_DIR).c_str());
    ASSERT_NE(nullptr, under);
    kill(daemon_.pid, SIGTERM);
    ASSERT_TRUE(test_daemon_wait_exit(&daemon_, FAULT_WAIT_MS)) << "no clean stop";
    EXPECT_EQ(0, daemon_.status);
    std::string written;
    while (dirent* e = readdir(under))
        written +=
            strcmp(e->d_name, ".") && strcmp(e->d_name, "..") ? e->d_name + std::string("\n") : "";
    closedir(under);
    EXPECT_EQ("", written) << "written under the mount point";
}

INSTANTIATE_TEST_SUITE_P(, UnmountFaults, ::testing::Values(MNT_DETACH, 0),
                         [](const auto& p) { return p.param ? "Lazy" : "Plain"; });

}  // namespace
