// Mutex, MutexLock and CondVar: the one lock type of the code base, annotated for
// clang's thread-safety analysis (-Wthread-safety). A field that a lock guards says so
// with GUARDED_BY(lock); a function that must be called with a lock held says
// REQUIRES(lock), one that takes the lock itself EXCLUDES(lock). The clang build turns
// every analysis warning into an error, so a field read without its lock does not build.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#if defined(__clang__)
#define NIMBREL_TSA(x) __attribute__((x))
#else
#define NIMBREL_TSA(x)
#endif

#define CAPABILITY(x) NIMBREL_TSA(capability(x))
#define SCOPED_CAPABILITY NIMBREL_TSA(scoped_lockable)
#define GUARDED_BY(x) NIMBREL_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) NIMBREL_TSA(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) NIMBREL_TSA(acquired_before(__VA_ARGS__))
#define REQUIRES(...) NIMBREL_TSA(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) NIMBREL_TSA(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) NIMBREL_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) NIMBREL_TSA(release_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) NIMBREL_TSA(lock_returned(x))
// For the few places the analysis cannot follow (a lock handed over between
// functions); each use says why.
#define NO_THREAD_SAFETY_ANALYSIS NIMBREL_TSA(no_thread_safety_analysis)

class CAPABILITY("mutex") Mutex {
public:
    constexpr Mutex() = default;
    void Lock() ACQUIRE() { m.lock(); }
    void Unlock() RELEASE() { m.unlock(); }

    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

private:
    friend class CondVar;
    std::mutex m;
};

// Holds a Mutex for the rest of the scope.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu(mu) { mu.Lock(); }
    ~MutexLock() RELEASE() { mu.Unlock(); }

    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& mu;
};

// A lock that others wait on often (the event manager's) must never be held across
// file-system, database or network work. NoIoLock holds the Mutex and marks the scope
// as a no-I/O zone on this thread; code that does such work calls AssertIoAllowed()
// first, which aborts in every build when called inside a zone (a thread-local read).
class NoIoZone {
public:
    NoIoZone() { ++Depth(); }
    ~NoIoZone() { --Depth(); }
    static bool Active() { return Depth() != 0; }

    NoIoZone(const NoIoZone&) = delete;
    NoIoZone& operator=(const NoIoZone&) = delete;

private:
    static int& Depth() {
        thread_local int depth = 0;
        return depth;
    }
};

inline void AssertIoAllowed(const char* what) {
    if (!NoIoZone::Active()) return;
    std::fprintf(stderr, "%s called while a no-I/O lock is held\n", what);
    std::abort();
}

class SCOPED_CAPABILITY NoIoLock {
public:
    explicit NoIoLock(Mutex& mu) ACQUIRE(mu) : mu(mu) { mu.Lock(); }
    ~NoIoLock() RELEASE() { mu.Unlock(); }

    NoIoLock(const NoIoLock&) = delete;
    NoIoLock& operator=(const NoIoLock&) = delete;

private:
    Mutex& mu;
    NoIoZone zone;
};

// A condition variable waited on with a held Mutex. Callers loop on their own
// predicate: wake-ups may be spurious.
class CondVar {
public:
    void Wait(Mutex& mu) REQUIRES(mu) {
        std::unique_lock<std::mutex> lk(mu.m, std::adopt_lock);
        cv.wait(lk);
        lk.release();
    }
    // false when the time ran out without a signal.
    bool WaitFor(Mutex& mu, std::chrono::milliseconds d) REQUIRES(mu) {
        std::unique_lock<std::mutex> lk(mu.m, std::adopt_lock);
        const bool signalled = cv.wait_for(lk, d) == std::cv_status::no_timeout;
        lk.release();
        return signalled;
    }
    void Signal() { cv.notify_one(); }
    void Broadcast() { cv.notify_all(); }

private:
    std::condition_variable cv;
};
