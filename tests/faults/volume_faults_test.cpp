// A logged volume failing under the running daemon: it fills up while a storm runs, it is
// remounted read-only, it is unmounted (lazily and plainly) with clients registered under it.
// In each case the daemon stays up and answers, goes on delivering live events, logs what
// failed, keeps no descriptor it should not, and its history works again as far as the volume
// lets it.
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
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

// Distinct names that make the disk logger write a log file.
constexpr int FAULT_FLUSH_NAMES = 5000;
constexpr const char* FAULT_VAR_LOG_DIR = "/var/.vantlesd";
constexpr int FAULT_STORM_PAUSE_US = 2000;
// Tries of a remount that fails while something writes to the volume.
constexpr int FAULT_REMOUNT_TRIES = 200;
constexpr uid_t FAULT_NOBODY = 65534;
// How soon the daemon lets go of an unmounted volume: well before an idle client's delivery
// thread ends (15 s).
constexpr int FAULT_LET_GO_MS = 5000;
// Ids a clean stop and start may number between them (the stop's own last changes).
constexpr uint64_t FAULT_CLEAN_STOP_IDS = 1000;

class VolumeFaults : public ::testing::Test {
protected:
    void SetUp() override {
        if (!scratch_root_available())
            GTEST_SKIP() << "needs root and mount namespaces";
    }

    void TearDown() override {
        if (HasFailure() && !daemon_.log_path.empty())
            printf("---- daemon log ----\n%s---- end of log ----\n", log_tail(daemon_).c_str());
        test_daemon_stop(&daemon_);
        if (!socket_dir_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(socket_dir_, ignored);
        }
    }

    ::testing::AssertionResult start(std::vector<scratch_volume> volumes) {
        daemon_.volumes = std::move(volumes);
        daemon_.settle = false;  // the cases take their resting count with resting_fd_count
        // The socket in a directory any user may enter: clients of other users take part.
        char socket_dir[] = "/tmp/vantles-faults.XXXXXX";
        if (!mkdtemp(socket_dir) || chmod(socket_dir, 0755) != 0)
            return ::testing::AssertionFailure() << "socket directory: " << strerror(errno);
        socket_dir_ = socket_dir;
        int err = test_daemon_start(&daemon_, {"-d"}, socket_dir_ + "/vantlesd.sock");
        if (err != 0)
            return ::testing::AssertionFailure() << "daemon start: " << strerror(err) << "\n"
                                                 << test_daemon_log(daemon_);
        return ::testing::AssertionSuccess();
    }

    std::string host(const std::string& path) const { return live_root_path(daemon_, path); }

    // Makes count files dir/<prefix><i> (dir as the daemon sees it), then waits until the disk
    // logger has filed them: the daemon holds no event for any client any more.
    ::testing::AssertionResult make_and_file(const std::string& dir, const std::string& prefix,
                                             int count) {
        if (int err = live_make_dir(daemon_, dir))
            return ::testing::AssertionFailure() << "mkdir " << dir << ": " << strerror(err);
        if (int err = make_files(host(dir), prefix, count))
            return ::testing::AssertionFailure() << "files in " << dir << ": " << strerror(err);
        if (int err = live_sync(daemon_, dir))
            return ::testing::AssertionFailure() << "sync " << dir << ": " << strerror(err);
        int64_t deadline = live_now_ms() + FAULT_WAIT_MS;
        for (live_state state; live_read_state(&daemon_, &state) == 0;) {
            if (state.pending_events == 0)
                return ::testing::AssertionSuccess();
            if (live_now_ms() >= deadline)
                return ::testing::AssertionFailure()
                       << state.pending_events << " events still held after the sync";
            live_nudge_disk_logger(daemon_);
        }
        return ::testing::AssertionFailure() << "no state dump";
    }

    // Replays dir since 0 and checks it; the names of the files dir/<prefix><i> it holds.
    ::testing::AssertionResult replay_names(const std::string& dir, std::set<std::string>* names) {
        live_stream s;
        replay_outcome r;
        if (auto ok = replay_from(daemon_, &s, {dir}, 0, &r); !ok)
            return ok;
        uint64_t now = 0;
        if (int err = current_event_id_of(daemon_, &now))
            return ::testing::AssertionFailure() << "current id: " << err;
        auto under_dir = [&](const std::string& p) {
            return p == dir || p.compare(0, dir.size() + 1, dir + "/") == 0;
        };
        if (auto ok = replay_is_sound(r, 0, now + 1, under_dir); !ok)
            return ok;
        names->clear();
        for (const live_event& e : r.replayed)
            if (e.path != dir && e.path.find("/.sync-") == std::string::npos &&
                !(e.flags & (VANTLES_EVENT_USER_DROPPED | VANTLES_EVENT_KERNEL_DROPPED)))
                names->insert(e.path.substr(dir.size() + 1));
        return ::testing::AssertionSuccess();
    }

    // Waits for an event of s with an id above id (the daemon's current id when the caller
    // asked): delivery is going on.
    ::testing::AssertionResult delivers_after(live_stream* s, uint64_t id) {
        if (live_wait_event(
                &s->sink, [id](const live_event& e) { return e.id > id; }, FAULT_WAIT_MS))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "no event after id " << id;
    }

    uint64_t current_id() {
        uint64_t id = 0;
        EXPECT_EQ(0, current_event_id_of(daemon_, &id));
        return id;
    }

    test_daemon daemon_;
    std::string socket_dir_;
};

// Makes an empty file with exactly this mode. 0 or an errno value.
int make_file_mode(const std::string& path, mode_t mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return errno;
    int err = fchmod(fd, mode) == 0 ? 0 : errno;
    close(fd);
    return err;
}

// The entries of the directory open at fd, one per line.
std::string entries_of(int fd) {
    std::string out;
    int copy = dup(fd);
    DIR* dir = copy >= 0 ? fdopendir(copy) : nullptr;
    if (!dir)
        return "(cannot list)";
    while (dirent* e = readdir(dir))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            out += std::string(e->d_name) + "\n";
    closedir(dir);
    return out;
}

bool has_all(const std::set<std::string>& names, const std::string& prefix, int count) {
    for (int i = 0; i < count; i++)
        if (!names.count(prefix + std::to_string(i)))
            return false;
    return true;
}

// Writes a file of zeros at path until the volume is full. 0 or an errno value other than
// ENOSPC.
int fill_volume(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    static const std::vector<char> chunk(1 << 16, 0);
    int err = 0;
    for (;;) {
        ssize_t n = write(fd, chunk.data(), chunk.size());
        if (n < 0) {
            err = errno == ENOSPC ? 0 : errno;
            break;
        }
    }
    close(fd);
    return err;
}

// Volumes mounted after the daemon started (a tmpfs, and an ext4 image on a loop device) are
// watched: a stream on paths there gets their changes. Once they are unmounted nothing more
// comes for them, not even a dropped notice, and the daemon answers for them as for a device
// it does not know (no history).
TEST_F(VolumeFaults, VolumesMountedLaterAreWatchedUntilUnmounted) {
    ASSERT_TRUE(start({}));
    std::vector<std::string> later = {"/mnt/later-tmp"};
    unique_fd loop;
    std::string loop_path;
    if (scratch_ext4_available() &&
        make_ext4_loop(socket_dir_ + "/later.img", "32m", false, &loop, &loop_path) == 0)
        later.push_back("/mnt/later-ext");
    for (const std::string& m : later) {
        const char* from = m.ends_with("ext") ? loop_path.c_str() : "later";
        const char* type = m.ends_with("ext") ? "ext4" : "tmpfs";
        ASSERT_EQ(0, in_daemon_namespace(daemon_,
                                         [&] {
                                             return mkdir(m.c_str(), 0755) == 0 &&
                                                            mount(from, m.c_str(), type, 0,
                                                                  nullptr) == 0
                                                        ? 0
                                                        : errno;
                                         }))
            << m;
    }
    live_stream s;
    std::vector<std::string> paths = later;
    paths.push_back("/tmp");
    ASSERT_EQ(0,
              live_stream_start(&s, live_options(daemon_, paths, VANTLES_FLAG_FILE_EVENTS, 50000)));
    std::vector<uint32_t> devices;
    for (const std::string& m : later) {
        ASSERT_EQ(0, live_make_dir(daemon_, m + "/d"));
        ASSERT_EQ(0, live_create_file(daemon_, m + "/d/f"));
        EXPECT_TRUE(live_wait_event(&s.sink, live_path_is(m + "/d/f"), FAULT_WAIT_MS)) << m;
        devices.push_back(live_device_of(daemon_, m));
    }
    for (const std::string& m : later)
        ASSERT_EQ(0,
                  in_daemon_namespace(daemon_, [&] { return umount(m.c_str()) == 0 ? 0 : errno; }));
    size_t before = live_sink_events(&s.sink).size();
    ASSERT_EQ(0, live_create_file(daemon_, "/tmp/after"));
    ASSERT_TRUE(live_wait_event(&s.sink, live_path_is("/tmp/after"), FAULT_WAIT_MS));
    std::vector<live_event> after = live_sink_events(&s.sink);
    after.erase(after.begin(), after.begin() + static_cast<ptrdiff_t>(before));
    EXPECT_EQ(1u, after.size()) << live_describe(after);
    for (uint32_t dev : devices)
        EXPECT_EQ("NO-UUID-UNKNOWN-DEVICE", volume_uuid_of(daemon_, dev));
}

// A volume that fills up while a storm runs on it: the daemon logs the failed write and throws
// the history away (its old names are gone from replays), live events go on all along, and
// once there is room again the volume has a new history under a new uuid, on disk and in the
// daemon's answer alike, which the next daemon keeps. No descriptor is left behind.
TEST_F(VolumeFaults, FullVolumeUnderAStormStartsANewHistoryOnceThereIsRoom) {
    ASSERT_TRUE(start({{"/var", "tmpfs", false, "8m"}}));
    int resting_fds = resting_fd_count(daemon_);
    ASSERT_GT(resting_fds, 0);
    uint32_t var_dev = live_device_of(daemon_, "/var");
    ASSERT_TRUE(make_and_file("/var/old", "o", FAULT_FLUSH_NAMES + 200));
    ASSERT_FALSE(log_files(host(FAULT_VAR_LOG_DIR)).empty());
    std::string old_uuid = volume_uuid_of(daemon_, var_dev);
    ASSERT_EQ(36u, old_uuid.size());

    ASSERT_EQ(0, live_make_dir(daemon_, "/var/storm"));
    ASSERT_EQ(0, live_make_dir(daemon_, "/tmp/other"));
    {
        live_stream storm_watch, other_watch;
        ASSERT_EQ(0, live_stream_start(&storm_watch, live_options(daemon_, {"/var/storm"},
                                                                  VANTLES_FLAG_FILE_EVENTS)));
        ASSERT_EQ(0, live_stream_start(&other_watch, live_options(daemon_, {"/tmp/other"},
                                                                  VANTLES_FLAG_FILE_EVENTS)));
        storm_writer writer;
        ASSERT_EQ(0, storm_start(&writer, daemon_, "/var/storm", FAULT_STORM_PAUSE_US));
        ASSERT_EQ(0, fill_volume(host("/var/ballast")));
        // Names enough for a flush at once (empty files still fit), filed at once.
        ASSERT_EQ(0, live_make_dir(daemon_, "/var/burst"));
        ASSERT_EQ(0, make_files(host("/var/burst"), "u", FAULT_FLUSH_NAMES));
        ASSERT_EQ(0, live_nudge_disk_logger(daemon_));
        EXPECT_TRUE(test_daemon_wait_log(daemon_, "removing all old log files in /var/.vantlesd",
                                         FAULT_WAIT_MS))
            << "no full-volume message";
        EXPECT_TRUE(log_files(host(FAULT_VAR_LOG_DIR)).size() <= 1) << "the old files stay";

        // While the volume is full: the storm's changes (removals, renames, empty files) and
        // changes elsewhere are delivered.
        uint64_t full_at = current_id();
        EXPECT_TRUE(delivers_after(&storm_watch, full_at));
        ASSERT_EQ(0, live_create_file(daemon_, "/tmp/other/while-full"));
        EXPECT_TRUE(live_wait_event(&other_watch.sink, live_path_is("/tmp/other/while-full"),
                                    FAULT_WAIT_MS));

        // Room again, and the storm still going: a new history is written.
        ASSERT_EQ(0, unlink(host("/var/ballast").c_str()));
        EXPECT_TRUE(wait_until(
            [&] {
                std::string on_disk = read_text(host("/var/.vantlesd/vantlesd-uuid"));
                return !log_files(host(FAULT_VAR_LOG_DIR)).empty() && on_disk.size() == 36 &&
                       on_disk != old_uuid && on_disk == volume_uuid_of(daemon_, var_dev);
            },
            FAULT_WAIT_MS))
            << "no new history once there was room; uuid file "
            << read_text(host("/var/.vantlesd/vantlesd-uuid")) << ", answer "
            << volume_uuid_of(daemon_, var_dev);
        EXPECT_TRUE(delivers_after(&storm_watch, current_id()));
        storm_stop(&writer);
    }
    ASSERT_TRUE(make_and_file("/var/new", "k", FAULT_FLUSH_NAMES + 200));
    std::set<std::string> names;
    ASSERT_TRUE(replay_names("/var/old", &names));
    EXPECT_TRUE(names.empty()) << names.size() << " names of the thrown-away history replayed";
    ASSERT_TRUE(replay_names("/var/new", &names));
    EXPECT_TRUE(has_all(names, "k", FAULT_FLUSH_NAMES + 200)) << names.size() << " names";
    EXPECT_TRUE(fd_count_returns(daemon_.pid, resting_fds, FAULT_WAIT_MS));

    // The next daemon takes the new history as it is, and numbers on right after the last id
    // (a clean stop brings the id ceiling down to it).
    std::string new_uuid = volume_uuid_of(daemon_, var_dev);
    uint64_t last_id = current_id();
    ASSERT_EQ(0, test_daemon_restart(&daemon_, {"-d"}));
    EXPECT_EQ(0, daemon_.status) << "the first daemon's wait status";
    EXPECT_EQ(new_uuid, volume_uuid_of(daemon_, var_dev)) << "the new history was thrown away";
    uint64_t first_id = current_id();
    EXPECT_GE(first_id, last_id);
    EXPECT_LT(first_id, last_id + FAULT_CLEAN_STOP_IDS) << "ids skipped at a clean stop";
    ASSERT_TRUE(replay_names("/var/new", &names));
    EXPECT_TRUE(has_all(names, "k", FAULT_FLUSH_NAMES + 200)) << names.size() << " names";
}

// Remounts the volume at mount_point (as the daemon sees it) read-only or read-write, retrying
// while something holds a file of it open for writing. 0 or an errno value.
int remount(const test_daemon& d, const char* mount_point, bool read_only) {
    return in_daemon_namespace(d, [mount_point, read_only] {
        unsigned long flags = MS_REMOUNT | (read_only ? MS_RDONLY : 0);
        timespec pause = {0, 10 * 1000 * 1000};
        for (int i = 0; i < FAULT_REMOUNT_TRIES; i++) {
            if (mount(nullptr, mount_point, nullptr, flags, nullptr) == 0)
                return 0;
            if (errno != EBUSY)
                return errno;
            nanosleep(&pause, nullptr);
        }
        return EBUSY;
    });
}

// A logged volume remounted read-only under the daemon: a flush that falls in that time fails
// cleanly and is logged, the history already written stays readable, other volumes go on
// delivering, and after the remount read-write the history takes new files under the same
// uuid. The names of the failed flush are lost: the writer sends a buffer it cannot place in
// the log directory to /dev/null, and the history keeps its uuid.
TEST_F(VolumeFaults, ReadOnlyRemountFailsHistoryWritesCleanlyAndRecoversReadWrite) {
    ASSERT_TRUE(start({{"/var", "tmpfs", false, "64m"}, {"/mnt/other", "tmpfs", false, "16m"}}));
    int resting_fds = resting_fd_count(daemon_);
    ASSERT_GT(resting_fds, 0);
    uint32_t var_dev = live_device_of(daemon_, "/var");
    // Every name of /var/before in a file: the second flush takes the last of them.
    ASSERT_TRUE(make_and_file("/var/before", "b", FAULT_FLUSH_NAMES + 200));
    ASSERT_TRUE(make_and_file("/var/filler", "f", FAULT_FLUSH_NAMES));
    size_t files_before = log_files(host(FAULT_VAR_LOG_DIR)).size();
    ASSERT_GE(files_before, 2u);
    std::string uuid = volume_uuid_of(daemon_, var_dev);

    // The disk logger holds names, and more reach its ring that it does not file before it is
    // pushed (a ring less than half full waits for its 30 s latency): once the volume is
    // read-only, the push makes it flush.
    ASSERT_TRUE(make_and_file("/var/held", "h", FAULT_FLUSH_NAMES - 1000));
    ASSERT_EQ(0, live_make_dir(daemon_, "/var/late"));
    ASSERT_EQ(0, make_files(host("/var/late"), "l", 1500));
    ASSERT_EQ(0, remount(daemon_, "/var", true));
    ASSERT_EQ(EROFS, live_create_file(daemon_, "/var/late/refused"));
    ASSERT_EQ(files_before, log_files(host(FAULT_VAR_LOG_DIR)).size())
        << "the disk logger flushed before the remount";

    ASSERT_EQ(0, live_make_dir(daemon_, "/mnt/other/storm"));
    {
        live_stream other;
        ASSERT_EQ(0, live_stream_start(&other, live_options(daemon_, {"/mnt/other/storm"},
                                                            VANTLES_FLAG_FILE_EVENTS)));
        storm_writer writer;
        ASSERT_EQ(0, storm_start(&writer, daemon_, "/mnt/other/storm", FAULT_STORM_PAUSE_US));
        ASSERT_EQ(0, live_nudge_disk_logger(daemon_));
        EXPECT_TRUE(test_daemon_wait_log(
            daemon_, "disk logger: failed to open output file /var/.vantlesd/", FAULT_WAIT_MS));
        EXPECT_NE(std::string::npos, test_daemon_log(daemon_).find("(Read-only file system)"));
        EXPECT_TRUE(delivers_after(&other, current_id()));
        // What is on disk still reads back.
        std::set<std::string> names;
        ASSERT_TRUE(replay_names("/var/before", &names));
        EXPECT_TRUE(has_all(names, "b", FAULT_FLUSH_NAMES + 200)) << names.size() << " names";
        EXPECT_TRUE(delivers_after(&other, current_id()));
    }

    ASSERT_EQ(0, remount(daemon_, "/var", false));
    ASSERT_TRUE(make_and_file("/var/after", "a", FAULT_FLUSH_NAMES + 200));
    EXPECT_GT(log_files(host(FAULT_VAR_LOG_DIR)).size(), files_before) << "no new log file";
    std::set<std::string> names;
    ASSERT_TRUE(replay_names("/var/before", &names));
    EXPECT_TRUE(has_all(names, "b", FAULT_FLUSH_NAMES + 200)) << names.size() << " names";
    ASSERT_TRUE(replay_names("/var/after", &names));
    EXPECT_TRUE(has_all(names, "a", FAULT_FLUSH_NAMES + 200)) << names.size() << " names";
    EXPECT_EQ(uuid, volume_uuid_of(daemon_, var_dev));
    EXPECT_TRUE(fd_count_returns(daemon_.pid, resting_fds, FAULT_WAIT_MS));
    EXPECT_TRUE(test_daemon_running(&daemon_));
}

// The vantles tool run as user nobody, watching a path relative to a volume (`--files`): a
// client of another user that the daemon serves relative to the volume. Its output is read
// through a pipe; the destructor ends it.
struct foreign_watch {
    pid_t pid = -1;
    unique_fd out;
    std::string text;  // what it printed so far

    foreign_watch() = default;
    foreign_watch(const foreign_watch&) = delete;
    foreign_watch& operator=(const foreign_watch&) = delete;
    ~foreign_watch() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

int start_foreign_watch(foreign_watch* w, const test_daemon& d, dev_t dev,
                        const std::string& path) {
    std::string device = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    std::vector<std::string> args = {
        VANTLES_TOOL_PATH, "watch", "--files", "--device", device, "--socket", d.socket_path, path};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return errno;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return errno;
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (dup2(fds[1], 1) < 0 || setgroups(0, nullptr) != 0 || setgid(FAULT_NOBODY) != 0 ||
            setuid(FAULT_NOBODY) != 0)
            _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    w->pid = pid;
    w->out.reset(fds[0]);
    return 0;
}

// Reads what the tool prints until a line ends with " " + path, up to timeout_ms. True when
// one did; the output up to there is in w->text.
bool foreign_prints(foreign_watch* w, const std::string& path, int timeout_ms) {
    int64_t deadline = live_now_ms() + timeout_ms;
    for (;;) {
        if (w->text.find(" " + path + "\n") != std::string::npos)
            return true;
        int64_t left = deadline - live_now_ms();
        pollfd p = {w->out.get(), POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
            return false;
        char buf[4096];
        ssize_t n = read(w->out.get(), buf, sizeof buf);
        if (n <= 0)
            return false;
        w->text.append(buf, static_cast<size_t>(n));
    }
}

class UnmountFaults : public VolumeFaults {
protected:
    // Unmounts the logged volume at /var (flags as for umount2) while clients are registered
    // under it: absolute, relative to the volume, replaying its history, and one of another
    // user relative to the volume. The daemon lets the volume go (a plain unmount succeeds, a
    // lazy one leaves nothing of it open in the daemon), serves the other volumes on, stops
    // cleanly afterwards, and never writes the lost volume's history into the directory that
    // the mount point shows now.
    void unmount_under_clients(int flags);
};

void UnmountFaults::unmount_under_clients(int flags) {
    ASSERT_TRUE(start({{"/var", "tmpfs", false, "64m"}, {"/mnt/other", "tmpfs", false, "16m"}}));
    int resting_fds = resting_fd_count(daemon_);
    ASSERT_GT(resting_fds, 0);
    struct stat var_st;
    ASSERT_EQ(0, stat(host("/var").c_str(), &var_st));
    uint32_t var_dev = live_device_of(daemon_, "/var");
    ASSERT_TRUE(make_and_file("/var/w", "f", FAULT_FLUSH_NAMES + 200));
    ASSERT_EQ(0, live_make_dir(daemon_, "/mnt/other/storm"));
    {
        live_stream on_var, relative, replayed, other;
        ASSERT_EQ(0, live_stream_start(
                         &on_var, live_options(daemon_, {"/var/w"}, VANTLES_FLAG_FILE_EVENTS)));
        vantles_stream_options by_device = live_options(daemon_, {"w"}, VANTLES_FLAG_FILE_EVENTS);
        by_device.device = var_dev;
        ASSERT_EQ(0, live_stream_start(&relative, by_device));
        replay_outcome r;
        ASSERT_TRUE(replay_from(daemon_, &replayed, {"/var/w"}, 0, &r));
        ASSERT_EQ(0, live_stream_start(&other, live_options(daemon_, {"/mnt/other/storm"},
                                                            VANTLES_FLAG_FILE_EVENTS)));
        foreign_watch foreign;
        ASSERT_EQ(0, start_foreign_watch(&foreign, daemon_, var_st.st_dev, "w"));
        // The disk logger, four streams and the tool.
        EXPECT_TRUE(live_state_becomes(&daemon_, LIVE_INTERNAL_CLIENTS + 5, -1, FAULT_WAIT_MS));
        // Every client gets what it may read; the other user not a file closed to it.
        ASSERT_EQ(0, make_file_mode(host("/var/w/secret"), 0600));
        ASSERT_EQ(0, live_create_file(daemon_, "/var/w/seen"));
        EXPECT_TRUE(live_wait_event(&on_var.sink, live_path_is("/var/w/seen"), FAULT_WAIT_MS));
        EXPECT_TRUE(live_wait_event(&relative.sink, live_path_is("w/seen"), FAULT_WAIT_MS));
        EXPECT_TRUE(foreign_prints(&foreign, "w/seen", FAULT_WAIT_MS)) << foreign.text;
        EXPECT_EQ(std::string::npos, foreign.text.find("w/secret")) << foreign.text;

        storm_writer writer;
        ASSERT_EQ(0, storm_start(&writer, daemon_, "/mnt/other/storm", FAULT_STORM_PAUSE_US));
        int64_t began = live_now_ms();
        int err = in_daemon_namespace(daemon_, [flags] {
            timespec pause = {0, 10 * 1000 * 1000};
            for (int i = 0; i < FAULT_REMOUNT_TRIES; i++) {
                if (umount2("/var", flags) == 0)
                    return 0;
                if (errno != EBUSY)
                    return errno;
                nanosleep(&pause, nullptr);
            }
            return EBUSY;
        });
        EXPECT_EQ(0, err) << "unmount: " << strerror(err) << " after " << live_now_ms() - began
                          << " ms; the daemon holds:\n"
                          << held_on_device(daemon_.pid, var_st.st_dev);
        // Promptly: not only once an idle client's thread has ended.
        EXPECT_TRUE(wait_until([&] { return held_on_device(daemon_.pid, var_st.st_dev).empty(); },
                               FAULT_LET_GO_MS))
            << "the daemon still holds the unmounted volume:\n"
            << held_on_device(daemon_.pid, var_st.st_dev);

        // The other volumes are served on: live events, new registrations, replays.
        EXPECT_TRUE(delivers_after(&other, current_id()));
        live_stream late;
        ASSERT_EQ(0, live_stream_start(&late, live_options(daemon_, {"/mnt/other/storm"},
                                                           VANTLES_FLAG_FILE_EVENTS)));
        EXPECT_TRUE(delivers_after(&late, current_id()));
        live_stream everything;
        ASSERT_TRUE(replay_from(daemon_, &everything, {"/"}, 0, &r));
        storm_stop(&writer);
    }
    EXPECT_TRUE(live_state_becomes(&daemon_, LIVE_INTERNAL_CLIENTS, -1, FAULT_WAIT_MS));
    EXPECT_TRUE(fd_count_returns(daemon_.pid, resting_fds, FAULT_WAIT_MS));

    // What the mount point shows now may hold a directory of the volume's log directory's
    // name (left from before the volume was mounted there): nothing of the lost volume's
    // history may land in it, not even at the last flush of a clean stop.
    ASSERT_EQ(0, mkdir(host(FAULT_VAR_LOG_DIR).c_str(), 0700));
    unique_fd under(open(host(FAULT_VAR_LOG_DIR).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(under.valid());
    kill(daemon_.pid, SIGTERM);
    ASSERT_TRUE(test_daemon_wait_exit(&daemon_, FAULT_WAIT_MS)) << "no clean stop";
    EXPECT_TRUE(WIFEXITED(daemon_.status) && WEXITSTATUS(daemon_.status) == 0)
        << "wait status 0x" << std::hex << daemon_.status;
    std::string written = entries_of(under.get());
    EXPECT_TRUE(written.empty()) << "written into the directory under the mount point:\n"
                                 << written;
}

TEST_F(UnmountFaults, LazyUnmountUnderClientsLetsTheVolumeGo) {
    unmount_under_clients(MNT_DETACH);
}

TEST_F(UnmountFaults, PlainUnmountUnderClientsSucceeds) {
    unmount_under_clients(0);
}

}  // namespace
