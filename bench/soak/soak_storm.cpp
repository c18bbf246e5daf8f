// The storm writer (see soak.h): creates, writes, changes the mode of, renames and deletes files
// in every directory of the tree, and makes, renames and removes empty directories there, at a
// steady pace with bursts at full speed, recording each change with the clock around it.
//
// Directories that hold files are never renamed or removed: the kernel names a file's change by
// its directory's handle, which the daemon resolves when it reads the event, so a file's change
// in a directory renamed meanwhile is reported under the directory's new name, and one in a
// directory already gone cannot be reported at all (a dropped-events notice to every client).
// Neither leaves a per-path expectation to check. Empty directories are changed through their
// parents' handles and are safe.
#include "bench/soak/soak.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <random>

namespace {

constexpr int STORM_FILE_SLOTS = 32;  // names f0..f31 per directory
constexpr int STORM_DIR_SLOTS = 4;    // empty directories x0..x3 per directory
constexpr char STORM_DATA[] = "soak storm data\n";

struct storm_dir {
    std::string path;
    std::array<bool, STORM_FILE_SLOTS> files{};
    std::array<bool, STORM_DIR_SLOTS> subdirs{};
};

struct storm {
    std::vector<storm_dir> dirs;
    std::mt19937_64 rng;
    soak_change_log* log;
};

uint32_t intern(soak_change_log* log, const std::string& path) {
    auto it = log->path_ids.find(path);
    if (it != log->path_ids.end())
        return it->second;
    uint32_t id = static_cast<uint32_t>(log->paths.size());
    log->paths.push_back(path);
    log->path_ids.emplace(path, id);
    return id;
}

void record(storm* s, const std::string& path, soak_change_kind kind, int64_t before,
            int64_t after) {
    std::lock_guard<std::mutex> guard(s->log->lock);
    s->log->changes.push_back({before, after, intern(s->log, path), kind});
    s->log->total++;
    s->log->by_kind[kind]++;
}

void failed(storm* s) {
    std::lock_guard<std::mutex> guard(s->log->lock);
    s->log->failed_ops++;
}

int pick(storm* s, int n) {
    return static_cast<int>(std::uniform_int_distribution<int>(0, n - 1)(s->rng));
}

// A random slot of arr whose value is want, or -1.
template <size_t N>
int pick_slot(storm* s, const std::array<bool, N>& arr, bool want) {
    int start = pick(s, int(N));
    for (size_t i = 0; i < N; i++) {
        int k = int((size_t(start) + i) % N);
        if (arr[size_t(k)] == want)
            return k;
    }
    return -1;
}

std::string file_path(const storm_dir& d, int k) {
    return d.path + "/f" + std::to_string(k);
}

std::string subdir_path(const storm_dir& d, int k) {
    return d.path + "/x" + std::to_string(k);
}

bool write_file(const std::string& path, int flags) {
    int fd = open(path.c_str(), flags | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = write(fd, STORM_DATA, sizeof STORM_DATA - 1) == ssize_t(sizeof STORM_DATA - 1);
    return close(fd) == 0 && ok;
}

void op_create(storm* s, storm_dir& d) {
    int k = pick_slot(s, d.files, false);
    if (k < 0)
        return;
    std::string path = file_path(d, k);
    int64_t before = soak_now_us();
    bool ok = write_file(path, O_CREAT | O_EXCL);
    int64_t after = soak_now_us();
    if (!ok)
        return failed(s);
    d.files[size_t(k)] = true;
    record(s, path, SOAK_CREATE, before, after);
}

void op_modify(storm* s, storm_dir& d) {
    int k = pick_slot(s, d.files, true);
    if (k < 0)
        return op_create(s, d);
    std::string path = file_path(d, k);
    int64_t before = soak_now_us();
    bool ok = write_file(path, O_APPEND);
    int64_t after = soak_now_us();
    if (!ok)
        return failed(s);
    record(s, path, SOAK_MODIFY, before, after);
}

void op_chmod(storm* s, storm_dir& d) {
    int k = pick_slot(s, d.files, true);
    if (k < 0)
        return op_create(s, d);
    std::string path = file_path(d, k);
    int64_t before = soak_now_us();
    bool ok = chmod(path.c_str(), pick(s, 2) ? 0600 : 0644) == 0;
    int64_t after = soak_now_us();
    if (!ok)
        return failed(s);
    record(s, path, SOAK_CHMOD, before, after);
}

void op_delete(storm* s, storm_dir& d) {
    int k = pick_slot(s, d.files, true);
    if (k < 0)
        return op_create(s, d);
    std::string path = file_path(d, k);
    int64_t before = soak_now_us();
    bool ok = unlink(path.c_str()) == 0;
    int64_t after = soak_now_us();
    if (!ok)
        return failed(s);
    d.files[size_t(k)] = false;
    record(s, path, SOAK_DELETE, before, after);
}

// A file to a free name in the same directory or another one.
void op_rename(storm* s, storm_dir& d) {
    int k = pick_slot(s, d.files, true);
    if (k < 0)
        return op_create(s, d);
    storm_dir& to = pick(s, 2) ? d : s->dirs[size_t(pick(s, int(s->dirs.size())))];
    int j = pick_slot(s, to.files, false);
    if (j < 0)
        return op_delete(s, d);
    std::string from_path = file_path(d, k);
    std::string to_path = file_path(to, j);
    int64_t before = soak_now_us();
    bool ok = rename(from_path.c_str(), to_path.c_str()) == 0;
    int64_t after = soak_now_us();
    if (!ok)
        return failed(s);
    d.files[size_t(k)] = false;
    to.files[size_t(j)] = true;
    record(s, from_path, SOAK_RENAME_FROM, before, after);
    record(s, to_path, SOAK_RENAME_TO, before, after);
}

// An empty directory made, removed or moved to a free name.
void op_subdir(storm* s, storm_dir& d) {
    int k = pick_slot(s, d.subdirs, true);
    if (k < 0 || pick(s, 3) == 0) {
        int free = pick_slot(s, d.subdirs, false);
        if (free < 0)
            return;
        std::string path = subdir_path(d, free);
        int64_t before = soak_now_us();
        bool ok = mkdir(path.c_str(), 0755) == 0;
        int64_t after = soak_now_us();
        if (!ok)
            return failed(s);
        d.subdirs[size_t(free)] = true;
        return record(s, path, SOAK_MKDIR, before, after);
    }
    std::string path = subdir_path(d, k);
    if (pick(s, 2)) {
        int64_t before = soak_now_us();
        bool ok = rmdir(path.c_str()) == 0;
        int64_t after = soak_now_us();
        if (!ok)
            return failed(s);
        d.subdirs[size_t(k)] = false;
        return record(s, path, SOAK_RMDIR, before, after);
    }
    storm_dir& to = s->dirs[size_t(pick(s, int(s->dirs.size())))];
    int j = pick_slot(s, to.subdirs, false);
    if (j < 0)
        return;
    std::string to_path = subdir_path(to, j);
    int64_t before = soak_now_us();
    bool ok = rename(path.c_str(), to_path.c_str()) == 0;
    int64_t after = soak_now_us();
    if (!ok)
        return failed(s);
    d.subdirs[size_t(k)] = false;
    to.subdirs[size_t(j)] = true;
    record(s, path, SOAK_RENAME_FROM, before, after);
    record(s, to_path, SOAK_RENAME_TO, before, after);
}

// One random operation in a random directory. Weights: create 28, modify 25, chmod 10,
// rename 15, delete 17, empty directories 5.
void one_op(storm* s) {
    storm_dir& d = s->dirs[size_t(pick(s, int(s->dirs.size())))];
    int r = pick(s, 100);
    if (r < 28)
        op_create(s, d);
    else if (r < 53)
        op_modify(s, d);
    else if (r < 63)
        op_chmod(s, d);
    else if (r < 78)
        op_rename(s, d);
    else if (r < 95)
        op_delete(s, d);
    else
        op_subdir(s, d);
}

void sleep_until_us(int64_t t) {
    int64_t left = t - soak_now_us();
    if (left <= 0)
        return;
    timespec ts = {time_t(left / 1000000), long(left % 1000000) * 1000};
    nanosleep(&ts, nullptr);
}

}  // namespace

int soak_storm_run(const soak_storm_options& options, soak_change_log* log,
                   const std::atomic<bool>* stop) {
    storm s;
    s.rng.seed(options.seed);
    s.log = log;
    for (const std::string& path : soak_tree_dirs())
        s.dirs.push_back({path, {}, {}});
    std::exponential_distribution<double> burst_gap(
        options.burst_every_s > 0 ? 1.0 / options.burst_every_s : 1.0);
    int64_t start = soak_now_us();
    int64_t next_burst =
        options.burst_every_s > 0 ? start + int64_t(burst_gap(s.rng) * 1e6) : INT64_MAX;
    uint64_t paced = 0;
    while (!stop->load()) {
        int64_t now = soak_now_us();
        if (now >= next_burst) {
            for (int i = 0; i < options.burst_ops; i++)
                one_op(&s);
            {
                std::lock_guard<std::mutex> guard(log->lock);
                log->bursts++;
            }
            next_burst = soak_now_us() + int64_t(burst_gap(s.rng) * 1e6);
            // The pace goes on from here rather than catching up on the burst's time.
            start = soak_now_us() - int64_t(double(paced) / options.rate * 1e6);
        }
        one_op(&s);
        paced++;
        sleep_until_us(start + int64_t(double(paced) / options.rate * 1e6));
    }
    std::lock_guard<std::mutex> guard(log->lock);
    return log->total > 0 ? 0 : EIO;
}
