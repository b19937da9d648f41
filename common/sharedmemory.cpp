#include "sharedmemory.h"

#include "platform/system.h"

#include <cstdio>
#include <cstring>

namespace vnx {

namespace {
void copyName(char* dst, std::size_t size, const char* src) { std::snprintf(dst, size, "%s", src ? src : ""); }
}  // namespace

SharedMemory::SharedMemory(const char* name, std::uint32_t size, bool create) : size_(size), create_(create) {
    copyName(name_, sizeof name_, name);
    open();
}

SharedMemory::~SharedMemory() {
    vnxplat::unmapView(view_.load(), mappedSize_);
    vnxplat::closeObject(handle_);
}

bool SharedMemory::open() {
    if (view()) return true;
    std::lock_guard<std::mutex> g(openLock_);
    if (view()) return true;
    int err = 0;
    if (handle_ == vnxplat::kNoHandle) {
        if (create_) {
            bool fresh = false;
            handle_ = vnxplat::createMapping(name_, size_, &fresh, &err);
            if (handle_ == vnxplat::kNoHandle) {
                vnxplat::debugOutputf("CreateFileMappingW error: %d", err);
                return false;
            }
            vnx::applyLowIntegrityLabel(handle_, vnxplat::ObjectKind::Mapping);
        } else {
            handle_ = vnxplat::openMapping(name_, &err);
            if (handle_ == vnxplat::kNoHandle) return false;
        }
    }
    std::uint32_t mapped = 0;
    void* v = vnxplat::mapView(handle_, &mapped, &err);
    if (!v) {
        vnxplat::debugOutputf("MapViewOfFile error: %d", err);
        return false;
    }
    // A mapping smaller than its record would let readers run past its end.
    if (mapped < size_) {
        vnxplat::unmapView(v, mapped);
        vnxplat::debugOutputf("MapViewOfFile error: %d", -1);
        return false;
    }
    mappedSize_ = mapped;
    view_.store(v, std::memory_order_release);
    return true;
}

bool applyLowIntegrityLabel(vnxplat::ObjHandle object, vnxplat::ObjectKind kind) {
    return vnxplat::applyLowIntegrityLabel(object, kind);
}

SlotTable::SlotTable(const char* name, std::uint32_t recordSize, bool create)
    : memory_(new SharedMemory(name, recordSize << 11, create)), recordSize_(recordSize) {
    std::snprintf(mutexName_, sizeof mutexName_, "%sMutex", memory_->name());
    if (create) {
        int err = 0;
        vnxplat::ObjHandle m = vnxplat::createTableMutex(mutexName_, &err);
        if (m == vnxplat::kNoHandle) {
            vnxplat::debugOutput("CreateMutex failed.");
        } else {
            vnx::applyLowIntegrityLabel(m, vnxplat::ObjectKind::Mutex);
            mutex_.store(m);
        }
    }
}

SlotTable::~SlotTable() { delete memory_; }

void* SlotTable::base() {
    if (!memory_->view() && !memory_->open()) return nullptr;
    return memory_->view();
}

void* SlotTable::record(int index) {
    auto* b = static_cast<std::uint8_t*>(base());
    if (!b || index < 0 || index >= kSlotCount) return nullptr;
    return b + static_cast<std::size_t>(index) * recordSize_;
}

bool SlotTable::ensureMutex() {
    if (mutex_.load() != vnxplat::kNoHandle) return true;
    std::lock_guard<std::mutex> g(mutexInit_);
    if (mutex_.load() != vnxplat::kNoHandle) return true;
    int err = 0;
    vnxplat::ObjHandle m = vnxplat::openTableMutex(mutexName_, &err);
    if (m == vnxplat::kNoHandle) {
        vnxplat::debugOutput("OpenMutex failed.");
        return false;
    }
    mutex_.store(m);
    return true;
}

void* SlotTable::claimSlot(int* index) {
    auto* b = static_cast<std::uint8_t*>(base());
    if (!b || !ensureMutex()) return nullptr;
    vnxplat::ObjHandle m = mutex_.load();
    int code = 0;
    vnxplat::LockResult r = vnxplat::lockTableMutex(m, &code);
    if (r == vnxplat::LockResult::Failed) {
        vnxplat::debugOutputf("OpenMutex WaitForSingleObject failed.: %d", code);
        return nullptr;
    }
    if (r == vnxplat::LockResult::Abandoned) {
        vnxplat::debugOutputf("OpenMutex WaitForSingleObject failed.: %d", code);
        vnxplat::unlockTableMutex(m);
        return nullptr;
    }
    const std::uint32_t pid = vnxplat::currentProcessId();
    for (int i = 0; i < kSlotCount; ++i) {
        std::uint8_t* rec = b + static_cast<std::size_t>(i) * recordSize_;
        std::uint32_t owner;
        std::memcpy(&owner, rec, 4);
        if (owner == 0) {
            std::memcpy(rec, &pid, 4);
            vnxplat::unlockTableMutex(m);
            if (index) *index = i;
            return rec;
        }
    }
    vnxplat::unlockTableMutex(m);
    return nullptr;
}

TcpSlot* SlotTable::findTcpSlot(std::uint16_t localPort, std::uint8_t isIpv6) {
    auto* b = static_cast<std::uint8_t*>(base());
    if (!b || recordSize_ < sizeof(TcpSlot)) return nullptr;
    for (int i = 0; i < kSlotCount; ++i) {
        auto* s = reinterpret_cast<TcpSlot*>(b + static_cast<std::size_t>(i) * recordSize_);
        if (s->owner_pid != 0 && s->local_port == localPort && s->is_ipv6 == isIpv6) return s;
    }
    return nullptr;
}

UdpSlot* SlotTable::findUdpSlot(std::uint16_t localPort, std::uint16_t checksum, std::uint16_t length,
                                std::uint8_t isIpv6) {
    auto* b = static_cast<std::uint8_t*>(base());
    if (!b || recordSize_ < sizeof(UdpSlot)) return nullptr;
    for (int i = 0; i < kSlotCount; ++i) {
        auto* s = reinterpret_cast<UdpSlot*>(b + static_cast<std::size_t>(i) * recordSize_);
        if (s->owner_pid != 0 && s->local_port == localPort && s->checksum == checksum && s->length == length &&
            s->is_ipv6 == isIpv6)
            return s;
    }
    return nullptr;
}

void SlotTable::purgeStale() { purgeStale(vnxplat::tickCount()); }

void SlotTable::purgeStale(std::uint32_t now) {
    auto* b = static_cast<std::uint8_t*>(base());
    if (!b || recordSize_ < sizeof(UdpSlot)) return;
    for (int i = 0; i < kSlotCount; ++i) {
        auto* s = reinterpret_cast<UdpSlot*>(b + static_cast<std::size_t>(i) * recordSize_);
        if (s->owner_pid != 0 && static_cast<std::uint32_t>(now - s->stamp) > 1000u) std::memset(s, 0, sizeof(UdpSlot));
    }
}

void SlotTable::clearSlot(void* rec) {
    if (rec) std::memset(rec, 0, recordSize_);
}

void SlotTable::clearAll() {
    if (void* b = base()) std::memset(b, 0, static_cast<std::size_t>(recordSize_) * kSlotCount);
}

SlotTable* createTcpTable(bool create) { return new SlotTable(kTcpTableName, kTcpSlotSize, create); }
SlotTable* createUdpSendTable(bool create) { return new SlotTable(kUdpSendTableName, kUdpSlotSize, create); }
SlotTable* createUdpRecvTable(bool create) { return new SlotTable(kUdpRecvTableName, kUdpSlotSize, create); }

RunMutex::RunMutex(const char* name) { copyName(name_, sizeof name_, name); }

bool RunMutex::exists() const { return vnxplat::runMutexExists(name_); }

bool RunMutex::create() {
    if (handle_ != vnxplat::kNoHandle) return true;
    handle_ = vnxplat::runMutexCreate(name_);
    if (handle_ == vnxplat::kNoHandle) return false;
    vnx::applyLowIntegrityLabel(handle_, vnxplat::ObjectKind::Mutex);
    return true;
}

ProxyData* proxyData(bool create) {
    static SharedMemory memory(kProxyDataName, kProxyDataSize, create);
    if (!memory.view()) memory.open();
    return static_cast<ProxyData*>(memory.view());
}

ServerStatus* serverStatus(bool create) {
    static SharedMemory memory(kServerStatusName, kServerStatusSize, create);
    static std::atomic<ServerStatus*> cached{nullptr};
    if (ServerStatus* s = cached.load(std::memory_order_acquire)) return s;
    if (!memory.view()) memory.open();
    auto* s = static_cast<ServerStatus*>(memory.view());
    if (s) cached.store(s, std::memory_order_release);
    return s;
}

}  // namespace vnx
