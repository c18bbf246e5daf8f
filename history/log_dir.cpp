// A volume's log directory and the identity of its history.
//
// At start-up create_dls finds (or makes) the directory ".vantlesd" at the root of every
// logged volume, refuses anything that is not a real directory on that very volume, lists the
// log files already there, and decides whether that old history can still be trusted: its
// files must run forward in time, its uuid file must be readable, and the volume must not
// have been changed behind the daemon's back since the history was last closed. Any doubt
// throws every listed log file away and gives the history a new uuid, so a client holding the
// old uuid knows its history is gone. A trusted history resumes the event id counter above
// the newest id it holds.
#include "history/dls.h"

#include "common/buckets.h"
#include "common/log.h"
#include "history/last_event_id.h"
#include "history/log_format.h"
#include "intake/event_ids.h"
#include "platform/files.h"
#include "platform/kernel_device.h"
#include "platform/mounts.h"
#include "platform/unique_fd.h"
#include "platform/volume_times.h"
#include "volumes/dev_info.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

history_state histories;

namespace {

constexpr uint32_t DLS_LOGGER_QUEUE_SIZE = 8192;
constexpr int64_t DLS_FNAME_BUCKETS = 4096;
constexpr uint64_t DLS_ORDER_CHECK_SPAN = 1ull << 31;
constexpr int DLS_UUID_TEXT_LENGTH = 36;
constexpr const char* DLS_TMP_DIR = "/tmp";
constexpr const char* DLS_ROOT_LOG_DIR = "/.vantlesd";
constexpr int DLS_IDS_TEXT_LENGTH = 17;  // "%.16llx\n"

bool is_root_volume(const dev_info* di) {
    return (di->flags & DEV_IS_ROOT) != 0;
}

// The root volume's last resort: no uuid messages there.
bool quiet_tmp_dir(const dev_info* di, const dls* state) {
    return is_root_volume(di) && strcmp(state->log_dir, DLS_TMP_DIR) == 0;
}

// A directory that is not on the volume itself cannot hold its history.
bool on_wrong_device(const struct stat& st, const dev_info* di) {
    uint32_t dev = device_number_32(st.st_dev);
    return dev != di->dev || (dev == volumes.root_dev && !is_root_volume(di));
}

void free_dls(dls* state, bool fname_ready) {
    free(state->file_ids);
    free(state->fname_buckets);
    pthread_rwlock_destroy(&state->lock);
    if (fname_ready) {
        pthread_rwlock_destroy(&state->fname_lock);
    }
    free(state);
}

enum dir_outcome { DIR_OUTCOME_FOUND, DIR_OUTCOME_TMP, DIR_OUTCOME_NONE };

// Finds or makes the log directory of di into state->log_dir; *dir gets it open.
dir_outcome find_log_dir(const dev_info* di, dls* state, unique_fd* dir) {
    const char* mp = di->mount_point;
    bool root_named = strcmp(mp, "/") == 0 || mp[0] != '/';
    char candidates[2][PATH_BUFFER_SIZE];
    if (root_named) {
        path_copy(candidates[0], DLS_ROOT_LOG_DIR, PATH_BUFFER_SIZE);
        path_copy(candidates[1], "/private/var/db/vantlesd", PATH_BUFFER_SIZE);
    } else {
        int n = snprintf(candidates[0], PATH_BUFFER_SIZE, "%s/.vantlesd", mp);
        int m = snprintf(candidates[1], PATH_BUFFER_SIZE, "%s/private/var/db/vantlesd", mp);
        if (n < 0 || m < 0 || static_cast<size_t>(m) >= PATH_BUFFER_SIZE) {
            return DIR_OUTCOME_NONE;  // a mount point too long to hold a history
        }
    }

    struct stat st;
    for (const char* candidate : candidates) {
        path_copy(state->log_dir, candidate, PATH_BUFFER_SIZE);
        unique_fd fd(open(candidate, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!fd.valid()) {
            continue;
        }
        if (fstat(fd.get(), &st) != 0 || on_wrong_device(st, di)) {
            return DIR_OUTCOME_NONE;
        }
        if (S_ISDIR(st.st_mode)) {
            *dir = std::move(fd);
            return DIR_OUTCOME_FOUND;
        }
    }

    // Make it: a stray file of that name goes first.
    path_copy(state->log_dir, candidates[0], PATH_BUFFER_SIZE);
    unlink(state->log_dir);
    if (mkdir(state->log_dir, 0700) != 0) {
        int err = errno;
        if (!(is_root_volume(di) && err == EROFS)) {
            log_error("failed to make the directory %s (%d/%s)", state->log_dir, err,
                      strerror(err));
        }
    }
    unique_fd fd(open(state->log_dir, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        if (!is_root_volume(di)) {
            return DIR_OUTCOME_NONE;
        }
        path_copy(state->log_dir, DLS_TMP_DIR, PATH_BUFFER_SIZE);
        dir->reset(open(DLS_TMP_DIR, O_RDONLY | O_CLOEXEC));
        return DIR_OUTCOME_TMP;
    }
    if (fstat(fd.get(), &st) != 0 || on_wrong_device(st, di)) {
        fd.reset();
        rmdir(state->log_dir);
        return DIR_OUTCOME_NONE;
    }
    *dir = std::move(fd);
    return DIR_OUTCOME_FOUND;
}

// The log files must have been written in id order: a file of a higher id whose status
// changed before that of a lower one means the history mixes runs. Only checked when the ids
// span 2^31 or more. True when the history must be discarded.
bool log_files_out_of_order(const dls* state) {
    if (state->num_files < 2 ||
        state->file_ids[state->num_files - 1] - state->file_ids[0] < DLS_ORDER_CHECK_SPAN) {
        return false;
    }
    long latest = 0;
    int32_t i = 0;
    for (; i < state->num_files; ++i) {
        char path[PATH_BUFFER_SIZE];
        struct stat st;
        if (!dls_log_file_path(state, state->file_ids[i], path) || lstat(path, &st) != 0) {
            log_critical("Can't stat log file: %s", path);
            break;
        }
        if (st.st_size == 0) {
            continue;
        }
        long changed = static_cast<long>(st.st_ctime);
        if (changed < latest) {
            log_critical("Log files out of order (%ld < %ld) in %s.", changed, latest,
                         state->log_dir);
            break;
        }
        latest = changed;
    }
    if (i < state->num_files) {
        log_critical("Problem with log files.  Removing all old log files in %s", state->log_dir);
        return true;
    }
    return false;
}

// Continues the event id counter above the newest id the history holds.
void resume_event_ids(const dev_info* di, const dls* state) {
    for (int32_t i = state->num_files - 1; i >= 0; --i) {
        uint64_t next = 0;
        if (get_last_event_id(state, state->file_ids[i], &next) == 0) {
            if (next > current_event_id()) {
                publish_event_id(next);
            }
            return;
        }
        struct stat st;
        if (stat(di->mount_point, &st) != 0 || device_number_32(st.st_dev) != di->dev) {
            return;  // the volume went away under us
        }
    }
}

// Continues the event id counter above the id ceiling a killed daemon may have left, which
// covers the ids it numbered but never wrote.
void resume_above_ceiling(const dls* state) {
    uint64_t ceiling = 0;
    if (load_id_ceiling(state, &ceiling) == 0 && ceiling > current_event_id()) {
        publish_event_id(ceiling);
    }
}

}  // namespace

bool dls_log_file_path(const dls* state, uint64_t id, char* out) {
    int n = snprintf(out, PATH_BUFFER_SIZE, DISK_LOG_PATH_FORMAT, state->log_dir,
                     static_cast<unsigned long long>(id));
    return n >= 0 && static_cast<size_t>(n) < PATH_BUFFER_SIZE;
}

bool dls_uuid_path(const dls* state, char* out) {
    int n = snprintf(out, PATH_BUFFER_SIZE, "%s/%s", state->log_dir, DLS_UUID_FILE);
    return n >= 0 && static_cast<size_t>(n) < PATH_BUFFER_SIZE;
}

bool dls_ids_path(const dls* state, char* out) {
    int n = snprintf(out, PATH_BUFFER_SIZE, "%s/%s", state->log_dir, DLS_IDS_FILE);
    return n >= 0 && static_cast<size_t>(n) < PATH_BUFFER_SIZE;
}

int store_id_ceiling(const dls* state, uint64_t id) {
    if (strcmp(state->log_dir, DLS_TMP_DIR) == 0) {
        return 0;  // the shared last resort holds no ceiling of ours
    }
    char path[PATH_BUFFER_SIZE];
    if (!dls_ids_path(state, path)) {
        return ENAMETOOLONG;
    }
    if (int err = dls_log_dir_in_place(state)) {
        return err;
    }
    unique_fd fd(open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        return errno;
    }
    if (!S_ISREG(st.st_mode)) {
        return EINVAL;
    }
    // Always the same length, written over the old text in one call: a reader never finds a
    // mix of two ceilings.
    char text[DLS_IDS_TEXT_LENGTH + 1];
    snprintf(text, sizeof text, "%.16llx\n", static_cast<unsigned long long>(id));
    ssize_t n = pwrite(fd.get(), text, DLS_IDS_TEXT_LENGTH, 0);
    if (n != DLS_IDS_TEXT_LENGTH) {
        return n < 0 ? errno : EIO;
    }
    return 0;
}

int load_id_ceiling(const dls* state, uint64_t* id) {
    char path[PATH_BUFFER_SIZE];
    if (strcmp(state->log_dir, DLS_TMP_DIR) == 0) {
        return ENOENT;
    }
    if (!dls_ids_path(state, path)) {
        return EINVAL;
    }
    unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        return errno == ENOENT ? ENOENT : EINVAL;
    }
    struct stat st;
    char text[DLS_IDS_TEXT_LENGTH + 1] = {};
    // Only a ceiling the daemon wrote itself counts: anyone else's could push the counter
    // to its end.
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        pread(fd.get(), text, DLS_IDS_TEXT_LENGTH, 0) != DLS_IDS_TEXT_LENGTH ||
        text[DLS_IDS_TEXT_LENGTH - 1] != '\n') {
        return EINVAL;
    }
    text[DLS_IDS_TEXT_LENGTH - 1] = '\0';
    if (!is_hex_name(text)) {
        return EINVAL;
    }
    *id = strtoull(text, nullptr, 16);
    return 0;
}

int dls_log_dir_in_place(const dls* state) {
    struct stat st;
    if (stat(state->log_dir, &st) != 0) {
        return errno;
    }
    return st.st_dev == state->log_dir_dev ? 0 : EXDEV;
}

bool history_out_of_step(int64_t last_mod_time, int64_t mount_time, int64_t uuid_ctime,
                         int64_t now) {
    return last_mod_time - uuid_ctime >= DLS_SKEW_LIMIT ||
           (now - uuid_ctime >= DLS_FRESH_STAMP && now - mount_time >= DLS_SKEW_LIMIT);
}

namespace {

// A directory found (not made) must be the one its path names, on the volume itself: a
// directory swapped in under the path, or one on another volume mounted over it, is not ours.
// real_path gets the directory's own path ("" when it has none). False after the message.
bool found_dir_is_ours(const dev_info* di, const dls* state, const unique_fd& dir,
                       char* real_path, size_t size) {
    struct stat st;
    bool named = fd_get_path(dir.get(), real_path, size) == 0;
    if (!named) {
        real_path[0] = '\0';
    }
    bool same = named && fstat(dir.get(), &st) == 0 && device_number_32(st.st_dev) == di->dev &&
                strcmp(real_path, state->log_dir) == 0;
    if (!same) {
        log_critical("log dir %s does not match path %s.  bailing out.", state->log_dir,
                     real_path);
    }
    return same;
}

// Lists the log files of the directory open on dir (closed here), sorted by id. The shared
// last resort's hex-named files belong to whoever made them, so none is taken for a log file
// of ours (and later deleted as one). 0 or the error of the listing.
int list_log_files(const dev_info* di, dls* state, unique_fd dir) {
    if (quiet_tmp_dir(di, state)) {
        return 0;
    }
    uint64_t smallest = 0;
    uint64_t largest = 0;
    int err = get_dirlist(dir.release(), &state->num_files, &state->max_files, &state->file_ids,
                          is_hex_name, &smallest, &largest);
    if (err == 0 && state->num_files >= 2) {
        qsort(state->file_ids, state->num_files, sizeof(uint64_t), compare_event_ids);
    }
    return err;
}

// Picks up the history's uuid, or starts a new history when there is none or the files are
// out of order; a first look at a history the kernel's queue did not follow notes a gap.
void settle_uuid(dev_info* di, dls* state, bool discard) {
    if (load_uuid_file(di, state) != 0) {
        if (!quiet_tmp_dir(di, state)) {
            log_critical("Failed to load UUID.  Removing all old log files in %s", state->log_dir);
        }
        remove_old_logs(state, 1);
        create_uuid_file(di, state);
    } else if (discard) {
        remove_old_logs(state, 1);
        create_uuid_file(di, state);
    } else if (state->generation == 1 && !kernel_device_has_adopted_fanotify() &&
               !quiet_tmp_dir(di, state)) {
        state->gap_at_start = 1;
    }
}

}  // namespace

int create_dls(dev_info* di, void* /*arg*/) {
    if (di->dls != nullptr && di->dls != histories.global_dls) {
        log_critical("creating a dls for %s but it already has one...", di->mount_point);
        return 0;
    }
    if ((di->flags & DEV_LOGGED) == 0 ||
        ((di->flags & DEV_LOG_DISABLED) != 0 && !is_root_volume(di))) {
        log_critical("volume %s does not support logging (flags 0x%x).", di->mount_point,
                     di->flags.load());
        return 0;
    }

    auto* state = static_cast<dls*>(calloc(1, sizeof(dls)));
    if (state == nullptr) {
        return 0;
    }
    state->logger_queue_size = DLS_LOGGER_QUEUE_SIZE;
    state->active = 1;
    pthread_rwlock_init(&state->lock, nullptr);

    unique_fd dir;
    dir_outcome found = find_log_dir(di, state, &dir);
    if (found == DIR_OUTCOME_NONE) {
        free_dls(state, false);
        return 0;
    }
    struct stat where;
    if (stat(state->log_dir, &where) == 0) {
        state->log_dir_dev = where.st_dev;
    }
    char real_path[PATH_BUFFER_SIZE];
    path_copy(real_path, state->log_dir, sizeof real_path);
    if (found == DIR_OUTCOME_FOUND && !found_dir_is_ours(di, state, dir, real_path, sizeof real_path)) {
        unlink(state->log_dir);
        free_dls(state, false);
        return 0;
    }
    int err = list_log_files(di, state, std::move(dir));
    if (err != 0) {
        log_critical("create_dls: failed to get dirlist for %s, error %d", real_path, err);
        free_dls(state, false);
        return 0;
    }

    state->generation = 1;
    state->purged = 1;
    pthread_rwlock_init(&state->fname_lock, nullptr);
    state->fname_buckets =
        reinterpret_cast<fname_entry**>(alloc_buckets(DLS_FNAME_BUCKETS, &state->fname_mask));
    if (state->fname_buckets == nullptr) {
        free_dls(state, true);
        return 0;
    }

    bool discard = log_files_out_of_order(state);
    check_vol_last_mod_time(di, state);
    resume_event_ids(di, state);
    resume_above_ceiling(state);
    state->last_event_id = 0;
    settle_uuid(di, state, discard);

    di->dls = state;
    if (is_root_volume(di)) {
        histories.global_dls = state;
    }
    if (histories.global_dls != nullptr && histories.global_dls->fci != nullptr) {
        state->fci.store(histories.global_dls->fci.load());
    }
    return 0;
}

void check_vol_last_mod_time(dev_info* di, dls* state) {
    char path[PATH_BUFFER_SIZE];
    if (!dls_uuid_path(state, path)) {
        return;
    }
    unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        return;  // a missing uuid file is dealt with when it is loaded
    }
    struct stat st;
    bool examined = fstat(fd.get(), &st) == 0;
    if (!examined || !S_ISREG(st.st_mode)) {
        log_critical("check_vol_last_mod_time: problems with history file: %s (%d ; is_reg %d)",
                     path, examined ? 0 : errno, 0);
        return;
    }
    int64_t uuid_ctime = st.st_ctime;
    int64_t now = time(nullptr);

    uint32_t mount_time = 0;
    uint32_t last_mod_time = 0;
    int err = volume_mount_time(path, &mount_time);
    if (err != 0) {
        log_critical(
            "check_vol_last_mod_time:XXX failed to get mount time (%d; &mount_time == "
            "%p)\n",
            err, static_cast<void*>(&mount_time));
    } else if ((err = volume_last_mod_time(path, &last_mod_time)) != 0) {
        log_critical("check_vol_last_mod_time: failed to get last mtime (%d)\n", err);
    }
    if (err != 0) {
        // Without the volume's times the directory cannot be trusted after this run either.
        di->flags |= DEV_LOG_DIR_UNTRUSTED;
        fd.reset();
        remove_old_logs(state, 1);
        create_uuid_file(di, state);
        return;
    }

    if (!history_out_of_step(last_mod_time, mount_time, uuid_ctime, now)) {
        return;
    }
    if (kernel_device_has_adopted_fanotify() && mount_time <= uuid_ctime) {
        // The previous daemon's kernel queue, handed over by the service manager, holds every
        // change made since it stopped (or says it lost some): the history goes on however
        // long the restart took. A volume mounted since then was not in that queue's view.
        return;
    }
    fd.reset();
    log_critical("event logs in %s out of sync with volume.  destroying old logs. (%d %d %d)",
                 state->log_dir, static_cast<int>(last_mod_time - uuid_ctime),
                 static_cast<int>(now - mount_time), static_cast<int>(now - uuid_ctime));
    remove_old_logs(state, 1);
    create_uuid_file(di, state);
}

void remove_old_logs(dls* state, int take_lock) {
    // Files of these names beneath a lost volume's mount point are not ours to remove.
    bool in_place = dls_log_dir_in_place(state) != EXDEV;
    for (int32_t i = 0; in_place && i < state->num_files; ++i) {
        char path[PATH_BUFFER_SIZE];
        bool fits = dls_log_file_path(state, state->file_ids[i], path);
        if (!fits || unlink(path) != 0) {
            int err = fits ? errno : ENAMETOOLONG;
            if (!(err == EROFS && strcmp(state->log_dir, DLS_ROOT_LOG_DIR) == 0)) {
                log_critical("failed to unlink old log file %s (%s)", path, strerror(err));
            }
        }
    }
    if (take_lock) {
        pthread_rwlock_wrlock(&state->lock);
    }
    dls_forget_all_files(state);
    if (take_lock) {
        pthread_rwlock_unlock(&state->lock);
    }
}

void dls_forget_all_files(dls* state) {
    free(state->file_ids);
    state->file_ids = nullptr;
    state->num_files = 0;
    state->max_files = 0;
    state->generation++;
    state->purged = 1;
}

void create_uuid_file(dev_info* di, dls* state) {
    uuid_generate(di->uuid);
    uuid_unparse_lower(di->uuid, di->uuid_text);

    char path[PATH_BUFFER_SIZE];
    bool fits = dls_uuid_path(state, path) && dls_log_dir_in_place(state) != EXDEV;
    if (fits) {
        unlink(path);
    }
    unique_fd fd(fits ? open_protected_create(path, O_RDWR | O_TRUNC) : -1);
    if (!fd.valid()) {
        if (!(is_root_volume(di) && errno == EROFS)) {
            log_critical("failed to create the uuid file %s", path);
        }
        return;
    }
    if (write(fd.get(), di->uuid_text, DLS_UUID_TEXT_LENGTH) != DLS_UUID_TEXT_LENGTH) {
        unlink(path);
        log_critical("failed to store the uuid in %s.  unlinking it.", path);
        return;
    }
    if (!quiet_tmp_dir(di, state)) {
        log_critical("log dir: %s getting new uuid: %s", state->log_dir, di->uuid_text);
    }
}

int load_uuid_file(dev_info* di, dls* state) {
    char path[PATH_BUFFER_SIZE];
    if (!dls_uuid_path(state, path)) {
        return EINVAL;
    }
    unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        if (!quiet_tmp_dir(di, state)) {
            log_critical("could not open <<%s>> (%s)\n", path, strerror(errno));
        }
        return ENOENT;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return EINVAL;
    }
    ssize_t n = read(fd.get(), di->uuid_text, DEV_UUID_TEXT_SIZE - 1);
    fd.reset();
    if (n <= 0) {
        unlink(path);
        memset(di->uuid_text, 0, sizeof di->uuid_text);
        return ENOENT;
    }
    di->uuid_text[n] = '\0';
    if (uuid_parse(di->uuid_text, di->uuid) != 0) {
        unlink(path);
        return EINVAL;
    }
    return 0;
}
