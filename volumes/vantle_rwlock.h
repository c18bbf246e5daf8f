// vantle_rwlock: a read lock that one thread may take any number of times without deadlocking
// against a waiting writer. Each thread keeps its own count of read holds (thread-specific
// data, freed with the thread); only the first hold takes the underlying pthread rwlock and
// only the last release gives it back. Every rdlock is matched by exactly one unlock on the
// same thread, whatever rdlock returned. An unlock without a hold stops the daemon.
#pragma once

#include <pthread.h>

struct vantle_rwlock {
    pthread_key_t key;  // per-thread int32_t LockCount, destructor free()
    pthread_rwlock_t lock;
};

int vantle_rwlock_init(vantle_rwlock* lock);
int vantle_rwlock_rdlock(vantle_rwlock* lock);
int vantle_rwlock_unlock(vantle_rwlock* lock);
