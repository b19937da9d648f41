#pragma once
// Named shared memory, slot tables and run mutexes shared by the client, the
// local server and the network-stack module.
//
// Objects are created once per process and never released by the programs;
// they disappear with the last process that holds them. Every operation is
// safe from any thread. Failures are reported on the debug output channel and
// by a null/false result; a failed open is retried by the next use.
#include "platform/namedobjects.h"
#include "records.h"
#include "statusblock.h"

#include <atomic>
#include <cstdint>
#include <mutex>

namespace vnx {

// One named mapping with a view of all of it.
class SharedMemory {
public:
    // Stores the values and calls open(); its result is not kept.
    SharedMemory(const char* name, std::uint32_t size, bool create);
    ~SharedMemory();
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;

    // Creates (create mode) or opens the mapping and maps it. Idempotent; a
    // present handle or view is kept. Opening never clears memory.
    bool open();
    void* view() const { return view_.load(std::memory_order_acquire); }
    const char* name() const { return name_; }
    std::uint32_t size() const { return size_; }

private:
    vnxplat::ObjHandle handle_ = vnxplat::kNoHandle;
    std::atomic<void*> view_{nullptr};
    std::uint32_t mappedSize_ = 0;
    char name_[128];
    std::uint32_t size_;
    bool create_;
    std::mutex openLock_;
};

// Sets the low-integrity label that lets sandboxed programs open an object.
// Callers ignore the result.
bool applyLowIntegrityLabel(vnxplat::ObjHandle object, vnxplat::ObjectKind kind);

// 2048 fixed-size records in a named mapping, claimed under a named mutex
// ("<mapping name>Mutex"). A record is free while its leading owner_pid is 0.
class SlotTable {
public:
    // create: create the mapping if missing and also create the mutex.
    SlotTable(const char* name, std::uint32_t recordSize, bool create);
    ~SlotTable();
    SlotTable(const SlotTable&) = delete;
    SlotTable& operator=(const SlotTable&) = delete;

    // Takes the first free record for this process (owner_pid set under the
    // mutex; the caller fills the rest). Null when the table is unavailable,
    // full, or its mutex was abandoned by a dead owner (the next claim works).
    void* claimSlot(int* index = nullptr);
    TcpSlot* findTcpSlot(std::uint16_t localPort, std::uint8_t isIpv6);
    UdpSlot* findUdpSlot(std::uint16_t localPort, std::uint16_t checksum, std::uint16_t length, std::uint8_t isIpv6);
    // Zeroes used records stamped more than 1000 ms before now (UDP tables).
    void purgeStale();
    void purgeStale(std::uint32_t now);
    void clearSlot(void* record);
    // Zeroes every record (the server does this right after construction).
    void clearAll();

    SharedMemory& memory() { return *memory_; }
    std::uint32_t recordSize() const { return recordSize_; }
    void* base();  // ensures the view; null when unavailable
    void* record(int index);

private:
    bool ensureMutex();

    SharedMemory* memory_;
    std::uint32_t recordSize_;
    std::atomic<vnxplat::ObjHandle> mutex_{vnxplat::kNoHandle};
    std::mutex mutexInit_;
    char mutexName_[134];
};

SlotTable* createTcpTable(bool create);
SlotTable* createUdpSendTable(bool create);
SlotTable* createUdpRecvTable(bool create);

// A named marker of a running instance, held until the process ends.
class RunMutex {
public:
    explicit RunMutex(const char* name);
    // True while some live process holds the marker.
    bool exists() const;
    // Takes the marker for the rest of the process life. False on failure.
    bool create();

private:
    vnxplat::ObjHandle handle_ = vnxplat::kNoHandle;
    char name_[128];
};

// The process's proxy data block: the first call decides create or open;
// every call that finds no view tries to open again, so a block created
// later by another process is picked up. Null when unavailable.
ProxyData* proxyData(bool create);
// The process's server status block; once mapped the pointer is cached.
ServerStatus* serverStatus(bool create);

}  // namespace vnx
