// The baseline of the storm benchmark: the least a fanotify reader can do with the events our
// kernel event device asks for. It marks the file systems of the given mount points the way
// the device does (filesystem marks, directory handle and name plus the item's own handle,
// the same event mask) and only counts what it reads, 256 KiB at a time, with plain blocking
// reads. SIGTERM or SIGINT stops it; it then prints its figures, one per line. The CPU time
// is counted from the moment it prints "ready".
// Usage: fanotify_count_reader MOUNT_POINT...
#include <fcntl.h>
#include <signal.h>
#include <sys/fanotify.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t READER_READ_SIZE = 256 * 1024;

std::atomic<bool> reader_stop{false};

void on_stop(int) {
    reader_stop = true;
}

double cpu_seconds(const rusage& ru) {
    auto tv = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
    return tv(ru.ru_utime) + tv(ru.ru_stime);
}

alignas(8) char reader_buffer[READER_READ_SIZE];

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s MOUNT_POINT...\n", argv[0]);
        return 2;
    }
    unsigned int flags = FAN_CLASS_NOTIF | FAN_REPORT_DFID_NAME | FAN_REPORT_FID;
    int fan = fanotify_init(flags | FAN_REPORT_TARGET_FID, O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (fan < 0 && errno == EINVAL)
        fan = fanotify_init(flags, O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (fan < 0) {
        perror("fanotify_init");
        return 1;
    }
    uint64_t mask = FAN_CREATE | FAN_DELETE | FAN_ATTRIB | FAN_RENAME | FAN_MODIFY | FAN_ONDIR;
    for (int i = 1; i < argc; i++) {
        if (fanotify_mark(fan, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, mask, AT_FDCWD, argv[i]) != 0) {
            fprintf(stderr, "fanotify_mark %s: %s\n", argv[i], strerror(errno));
            return 1;
        }
    }
    struct sigaction sa = {};
    sa.sa_handler = on_stop;  // no SA_RESTART: a blocked read ends with EINTR
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    rusage start, end;
    getrusage(RUSAGE_SELF, &start);
    printf("ready\n");
    fflush(stdout);

    uint64_t events = 0, overflows = 0, reads = 0, bytes = 0;
    while (!reader_stop) {
        ssize_t n = read(fan, reader_buffer, sizeof reader_buffer);
        if (n <= 0) {
            if (n < 0 && errno != EINTR) {
                perror("read");
                return 1;
            }
            continue;
        }
        reads++;
        bytes += static_cast<uint64_t>(n);
        auto* meta = reinterpret_cast<const fanotify_event_metadata*>(reader_buffer);
        for (; FAN_EVENT_OK(meta, n); meta = FAN_EVENT_NEXT(meta, n)) {
            events++;
            overflows += (meta->mask & FAN_Q_OVERFLOW) != 0;
        }
    }
    getrusage(RUSAGE_SELF, &end);
    printf("reader_events %llu\n", (unsigned long long)events);
    printf("reader_overflows %llu\n", (unsigned long long)overflows);
    printf("reader_reads %llu\n", (unsigned long long)reads);
    printf("reader_bytes %llu\n", (unsigned long long)bytes);
    printf("reader_cpu_seconds %.3f\n", cpu_seconds(end) - cpu_seconds(start));
    printf("reader_context_switches %ld\n",
           (end.ru_nvcsw + end.ru_nivcsw) - (start.ru_nvcsw + start.ru_nivcsw));
    close(fan);
    return 0;
}
