// Linux named objects: /dev/shm/<name>.<uid>, mode 0600, alive while held.
//
// Each holder keeps a descriptor with a shared flock. An object on which an
// exclusive non-blocking flock succeeds is held by nobody (its holders have
// exited, perhaps by SIGKILL): opening it fails as if it were missing and
// creating it yields fresh, zeroed memory. Creation and the stale test are
// serialised by an exclusive flock on /dev/shm/veilnox.<uid>.lock, which,
// like the objects, must be ours and private. No lock is waited for longer
// than kLockWaitMs.
#include "../namedobjects.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace vnxplat {
namespace {

constexpr std::uint32_t kMutexObjectSize = 64;
static_assert(sizeof(pthread_mutex_t) <= kMutexObjectSize, "mutex must fit its object");

// "/name.uid" for shm_open. Names are at most 127 characters.
bool objectPath(const char* name, char* out, std::size_t outSize) {
    int n = snprintf(out, outSize, "/%s.%u", name, static_cast<unsigned>(getuid()));
    return n > 0 && static_cast<std::size_t>(n) < outSize && strchr(name, '/') == nullptr;
}

int flockRetry(int fd, int op) {
    int r;
    do {
        r = flock(fd, op);
    } while (r != 0 && errno == EINTR);
    return r;
}

// The object must belong to us and be private: another user could otherwise
// plant a file under our name in the world-writable /dev/shm.
bool ownedPrivately(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    return st.st_uid == geteuid() && (st.st_mode & 077) == 0 && S_ISREG(st.st_mode);
}

// Takes a flock, waiting at most kLockWaitMs: whoever holds it for longer
// (a stuck process, or a file someone else holds) makes the call fail
// instead of freezing the program. errno is ETIMEDOUT then.
int flockBounded(int fd, int op) {
    unsigned waited = 0;
    unsigned step = 1;
    for (;;) {
        if (flock(fd, op | LOCK_NB) == 0) return 0;
        if (errno != EWOULDBLOCK && errno != EINTR) return -1;
        if (waited >= kLockWaitMs) {
            errno = ETIMEDOUT;
            return -1;
        }
        usleep(step * 1000);
        waited += step;
        if (step < 10) ++step;
    }
}

// Holds the per-user creation lock for the lifetime of the object. A lock
// file that is not ours and private (planted by another user, who could
// then hold it) is refused like a planted object.
class CreationLock {
public:
    CreationLock() {
        char path[64];
        snprintf(path, sizeof path, "/dev/shm/veilnox.%u.lock", static_cast<unsigned>(getuid()));
        fd_ = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
        if (fd_ < 0) return;
        if (!ownedPrivately(fd_)) {
            close(fd_);
            fd_ = -1;
            errno = EACCES;
            return;
        }
        if (flockBounded(fd_, LOCK_EX) != 0) {
            const int e = errno;
            close(fd_);
            fd_ = -1;
            errno = e;
        }
    }
    ~CreationLock() {
        if (fd_ >= 0) close(fd_);  // closing releases the lock
    }
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// true when nobody holds the object (we could take it exclusively); the
// exclusive lock is dropped again.
bool isStale(int fd) {
    if (flockRetry(fd, LOCK_EX | LOCK_NB) == 0) {
        flockRetry(fd, LOCK_UN);
        return true;
    }
    return false;
}

using InitFn = bool (*)(int fd);

// Opens (create=false) or creates the object. On success the descriptor holds
// a shared lock. init runs on fresh objects while creation is serialised.
int acquire(const char* name, std::uint32_t size, bool create, bool* fresh, int* err, InitFn init) {
    if (fresh) *fresh = false;
    char path[160];
    if (!objectPath(name, path, sizeof path)) {
        if (err) *err = ENAMETOOLONG;
        return -1;
    }
    CreationLock guard;
    if (!guard.held()) {
        if (err) *err = errno;
        return -1;
    }
    int fd = shm_open(path, O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0);
    bool isNew = false;
    if (fd >= 0) {
        if (!ownedPrivately(fd)) {
            close(fd);
            if (err) *err = EACCES;
            return -1;
        }
        if (isStale(fd)) {
            if (!create) {
                close(fd);
                if (err) *err = ENOENT;
                return -1;
            }
            isNew = true;
        }
    } else {
        if (!create || errno != ENOENT) {
            if (err) *err = errno;
            return -1;
        }
        fd = shm_open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            if (err) *err = errno;
            return -1;
        }
        fchmod(fd, 0600);  // exactly 0600 whatever the umask
        isNew = true;
    }
    if (isNew) {
        // Truncating to 0 first discards the contents of a stale object.
        if (ftruncate(fd, 0) != 0 || ftruncate(fd, size) != 0 || (init && !init(fd))) {
            if (err) *err = errno;
            close(fd);
            return -1;
        }
    } else if (create) {
        struct stat st;
        if (fstat(fd, &st) == 0 && st.st_size < static_cast<off_t>(size) && ftruncate(fd, size) != 0) {
            if (err) *err = errno;
            close(fd);
            return -1;
        }
    }
    if (flockBounded(fd, LOCK_SH) != 0) {
        if (err) *err = errno;
        close(fd);
        return -1;
    }
    if (fresh) *fresh = isNew;
    return fd;
}

bool initMutexObject(int fd) {
    void* p = mmap(nullptr, kMutexObjectSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return false;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    int r = pthread_mutex_init(static_cast<pthread_mutex_t*>(p), &attr);
    pthread_mutexattr_destroy(&attr);
    munmap(p, kMutexObjectSize);
    if (r != 0) errno = r;
    return r == 0;
}

// A mutex handle is the mapped pthread_mutex_t; its descriptor stays open
// (and locked shared) for as long as the process uses it.
ObjHandle mapMutex(int fd, int* err) {
    void* p = mmap(nullptr, kMutexObjectSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        if (err) *err = errno;
        close(fd);
        return kNoHandle;
    }
    return reinterpret_cast<ObjHandle>(p);
}

// Waits for a held table mutex up to kLockWaitMs.
int timedLock(pthread_mutex_t* m) {
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += kLockWaitMs / 1000;
    until.tv_nsec += static_cast<long>(kLockWaitMs % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    return pthread_mutex_timedlock(m, &until);
}
}  // namespace

ObjHandle createMapping(const char* name, std::uint32_t size, bool* fresh, int* err) {
    int fd = acquire(name, size, true, fresh, err, nullptr);
    return fd < 0 ? kNoHandle : fd;
}

ObjHandle openMapping(const char* name, int* err) {
    int fd = acquire(name, 0, false, nullptr, err, nullptr);
    return fd < 0 ? kNoHandle : fd;
}

void* mapView(ObjHandle mapping, std::uint32_t* mappedSize, int* err) {
    int fd = static_cast<int>(mapping);
    struct stat st;
    if (fstat(fd, &st) != 0) {
        if (err) *err = errno;
        return nullptr;
    }
    if (st.st_size <= 0 || st.st_size > 0x7fffffff) {
        if (err) *err = EINVAL;
        return nullptr;
    }
    void* p = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        if (err) *err = errno;
        return nullptr;
    }
    if (mappedSize) *mappedSize = static_cast<std::uint32_t>(st.st_size);
    return p;
}

bool applyLowIntegrityLabel(ObjHandle, ObjectKind) { return true; }

ObjHandle createTableMutex(const char* name, int* err) {
    int fd = acquire(name, kMutexObjectSize, true, nullptr, err, initMutexObject);
    return fd < 0 ? kNoHandle : mapMutex(fd, err);
}

ObjHandle openTableMutex(const char* name, int* err) {
    int fd = acquire(name, 0, false, nullptr, err, nullptr);
    if (fd < 0) return kNoHandle;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(kMutexObjectSize)) {
        if (err) *err = EINVAL;
        close(fd);
        return kNoHandle;
    }
    return mapMutex(fd, err);
}

LockResult lockTableMutex(ObjHandle mutex, int* code) {
    auto* m = reinterpret_cast<pthread_mutex_t*>(mutex);
    // Free (or left by a holder that died) in the common case: taken at once.
    // Only a held mutex is waited for, and not for ever.
    int r = pthread_mutex_trylock(m);
    if (r == EBUSY) r = timedLock(m);
    if (code) *code = r;
    if (r == 0) return LockResult::Locked;
    if (r == EOWNERDEAD) {
        // We own it now; make it usable again for everybody after us.
        pthread_mutex_consistent(m);
        return LockResult::Abandoned;
    }
    return LockResult::Failed;
}

void unlockTableMutex(ObjHandle mutex) { pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(mutex)); }

bool runMutexExists(const char* name) {
    char path[160];
    if (!objectPath(name, path, sizeof path)) return false;
    CreationLock guard;
    int fd = shm_open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0);
    if (fd < 0) return false;
    bool held = ownedPrivately(fd) && !isStale(fd);
    close(fd);
    return held;
}

ObjHandle runMutexCreate(const char* name) {
    int fd = acquire(name, 0, true, nullptr, nullptr, nullptr);
    return fd < 0 ? kNoHandle : fd;
}

void closeObject(ObjHandle object) {
    if (object >= 0) close(static_cast<int>(object));
}

void unmapView(void* view, std::uint32_t size) {
    if (view) munmap(view, size);
}

}  // namespace vnxplat
