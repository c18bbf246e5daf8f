// The storm of the storm benchmark: FILES empty files created, then all of them removed, spread
// round-robin over DIRS directories under DIR (file i is DIR/d<i % DIRS>/f<i>), so that
// consecutive events name different directories. The directories are made first and left in
// place. Prints its own figures, one per line.
// Usage: storm_driver DIR [FILES] [DIRS] (defaults 100000 and 1000)
#include "bench/bench_clock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int STORM_DEFAULT_FILES = 100000;
constexpr int STORM_DEFAULT_DIRS = 1000;

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s DIR [FILES] [DIRS]\n", argv[0]);
        return 2;
    }
    const char* base = argv[1];
    int files = argc > 2 ? atoi(argv[2]) : STORM_DEFAULT_FILES;
    int dirs = argc > 3 ? atoi(argv[3]) : STORM_DEFAULT_DIRS;
    if (files <= 0 || dirs <= 0) {
        fprintf(stderr, "storm_driver: FILES and DIRS must be positive\n");
        return 2;
    }
    char path[4096];
    if (mkdir(base, 0755) != 0 && errno != EEXIST) {
        fprintf(stderr, "mkdir %s: %s\n", base, strerror(errno));
        return 1;
    }
    for (int d = 0; d < dirs; d++) {
        snprintf(path, sizeof path, "%s/d%d", base, d);
        if (mkdir(path, 0755) != 0) {
            fprintf(stderr, "mkdir %s: %s\n", path, strerror(errno));
            return 1;
        }
    }
    double start = now_seconds();
    for (int i = 0; i < files; i++) {
        snprintf(path, sizeof path, "%s/d%d/f%d", base, i % dirs, i);
        int fd = open(path, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
        if (fd < 0) {
            fprintf(stderr, "create %s: %s\n", path, strerror(errno));
            return 1;
        }
        close(fd);
    }
    double created = now_seconds();
    for (int i = 0; i < files; i++) {
        snprintf(path, sizeof path, "%s/d%d/f%d", base, i % dirs, i);
        if (unlink(path) != 0) {
            fprintf(stderr, "unlink %s: %s\n", path, strerror(errno));
            return 1;
        }
    }
    double removed = now_seconds();
    printf("storm_directories %d\n", dirs);
    printf("storm_files %d\n", files);
    printf("storm_create_seconds %.3f\n", created - start);
    printf("storm_remove_seconds %.3f\n", removed - created);
    return 0;
}
