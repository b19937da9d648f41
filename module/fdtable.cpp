#include "fdtable.h"

#include <sched.h>
#include <sys/mman.h>
#include <atomic>
#include <cerrno>

namespace vnxmod {

namespace {
constexpr int kChunkBits = 9;
constexpr int kChunkSize = 1 << kChunkBits;
constexpr int kChunkCount = FdTable::kMaxFd >> kChunkBits;

struct Entry {
    std::atomic<std::uint8_t> lock;
    std::atomic<std::uint8_t> kind;
    FdInfo info;
};

struct Chunk {
    Entry entries[kChunkSize];
};

// Zero-initialised static storage: no constructor, usable before main.
std::atomic<Chunk*> gChunks[kChunkCount] = {};

Entry* entryFor(int fd, bool create) {
    if (fd < 0 || fd >= FdTable::kMaxFd) return nullptr;
    std::atomic<Chunk*>& slot = gChunks[fd >> kChunkBits];
    Chunk* c = slot.load(std::memory_order_acquire);
    if (!c) {
        if (!create) return nullptr;
        int saved = errno;
        void* p = mmap(nullptr, sizeof(Chunk), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        errno = saved;
        if (p == MAP_FAILED) return nullptr;
        // Zero-filled pages are valid entries (unlocked, kind None).
        Chunk* fresh = static_cast<Chunk*>(p);
        if (slot.compare_exchange_strong(c, fresh, std::memory_order_acq_rel)) {
            c = fresh;
        } else {
            munmap(p, sizeof(Chunk));
        }
    }
    return &c->entries[fd & (kChunkSize - 1)];
}

void lock(Entry* e) {
    for (int spins = 0; e->lock.exchange(1, std::memory_order_acquire) != 0; ++spins)
        if (spins > 64) sched_yield();
}
void unlock(Entry* e) { e->lock.store(0, std::memory_order_release); }
}  // namespace

FdKind FdTable::kind(int fd) {
    Entry* e = entryFor(fd, false);
    return e ? static_cast<FdKind>(e->kind.load(std::memory_order_acquire)) : FdKind::None;
}

bool FdTable::get(int fd, FdInfo& out) {
    Entry* e = entryFor(fd, false);
    if (!e || e->kind.load(std::memory_order_acquire) == 0) return false;
    lock(e);
    out = e->info;
    bool tracked = e->kind.load(std::memory_order_relaxed) != 0;
    unlock(e);
    out.kind = tracked ? out.kind : FdKind::None;
    return tracked;
}

bool FdTable::set(int fd, const FdInfo& in) {
    Entry* e = entryFor(fd, true);
    if (!e) return false;
    lock(e);
    e->info = in;
    e->kind.store(static_cast<std::uint8_t>(in.kind), std::memory_order_release);
    unlock(e);
    return true;
}

void FdTable::clear(int fd) {
    Entry* e = entryFor(fd, false);
    if (e) e->kind.store(0, std::memory_order_release);
}

bool FdTable::take(int fd, FdInfo& out) {
    Entry* e = entryFor(fd, false);
    if (!e || e->kind.load(std::memory_order_acquire) == 0) return false;
    lock(e);
    out = e->info;
    bool tracked = e->kind.exchange(0, std::memory_order_acq_rel) != 0;
    unlock(e);
    return tracked;
}

void FdTable::copy(int from, int to) {
    if (from == to) return;
    FdInfo info;
    if (get(from, info)) {
        // The duplicate shares the connection but not the pending record:
        // only one of them may clean it up.
        info.pendingSlot = nullptr;
        set(to, info);
    } else {
        clear(to);
    }
}

}  // namespace vnxmod
