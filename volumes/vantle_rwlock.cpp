// The counted read lock: per-thread hold counts over one pthread rwlock.
//
// The underlying lock is read-locked by a thread exactly while its LockCount is above 0, so a
// thread that already holds it can call code that takes it again without a second
// rdlock (which a waiting writer could otherwise block, deadlocking the thread on itself).
// When a thread's count cannot be had (no memory), the hold falls back to a plain rdlock.
#include "volumes/vantle_rwlock.h"

#include "common/log.h"
#include "common/vantle_assert.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

static int32_t* get_count(vantle_rwlock* lock) {
    auto* count = static_cast<int32_t*>(pthread_getspecific(lock->key));
    if (count)
        return count;
    count = static_cast<int32_t*>(malloc(sizeof(int32_t)));
    if (!count)
        return nullptr;
    *count = 0;
    if (pthread_setspecific(lock->key, count) != 0) {
        free(count);
        return nullptr;
    }
    return count;
}

int vantle_rwlock_init(vantle_rwlock* lock) {
    int err = pthread_rwlock_init(&lock->lock, nullptr);
    if (err) {
        log_error("%s Unable to initialize rwlock [%s]\n", "vantle_rwlock_init", strerror(err));
        return err;
    }
    err = pthread_key_create(&lock->key, free);
    if (err) {
        log_error("%s Unable to create rwlock key [%s]\n", "vantle_rwlock_init", strerror(err));
        return err;
    }
    return 0;
}

int vantle_rwlock_rdlock(vantle_rwlock* lock) {
    int32_t* pLockCount = get_count(lock);
    if (!pLockCount) {
        log_error("%s Unable to acquire LockCount\n", "vantle_rwlock_rdlock");
        return pthread_rwlock_rdlock(&lock->lock);
    }
    VANTLE_ASSERT(*pLockCount >= 0);
    if ((*pLockCount)++ > 0)
        return 0;
    int err = pthread_rwlock_rdlock(&lock->lock);
    if (err)
        log_error("%s Unable to acquire rdlock %s [%d]\n", "vantle_rwlock_rdlock", strerror(err),
                  *pLockCount);
    return err;
}

int vantle_rwlock_unlock(vantle_rwlock* lock) {
    int32_t* pLockCount = get_count(lock);
    if (!pLockCount) {
        log_error("%s Unable to acquire LockCount\n", "vantle_rwlock_unlock");
        return pthread_rwlock_unlock(&lock->lock);
    }
    VANTLE_ASSERT(*pLockCount != 0);
    if (--*pLockCount > 0)
        return 0;
    return pthread_rwlock_unlock(&lock->lock);
}
