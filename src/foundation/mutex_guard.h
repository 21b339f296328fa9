// MutexGuard: holds a pthread mutex for the rest of a scope.
#pragma once

#include <pthread.h>

class MutexGuard {
public:
    explicit MutexGuard(pthread_mutex_t* m) : m(m) { pthread_mutex_lock(m); }
    ~MutexGuard() { pthread_mutex_unlock(m); }

    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    pthread_mutex_t* m;
};
