// Windows-only checks of the Win32 platform layer: named objects, their
// lifetime and label, the abandoned table mutex, process and thread services,
// and the Winsock wrappers on loopback. Built into test_shared for Windows and
// run under Wine (which accepts the integrity label but does not enforce it,
// so only the call's success is checked).
#include "platform/namedobjects.h"
#include "platform/net.h"
#include "platform/system.h"
#include "sharedmemory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <utility>

using namespace vnx;

namespace {
std::string uniqueName(const char* base) {
    static int n = 0;
    return std::string("VnxWin_") + base + "_" + std::to_string(vnxplat::currentProcessId()) + "_" +
           std::to_string(++n);
}

// Runs f on another thread and gives up (failing the test) after 10 s, so a
// mutex left held shows as a failure instead of a hung run.
template <typename F>
auto withinTenSeconds(F f) -> decltype(f()) {
    auto fut = std::async(std::launch::async, f);
    if (fut.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "call did not return: mutex still held";
        std::abort();
    }
    return fut.get();
}
}  // namespace

TEST(WinObjects, MappingSizeFreshnessAndLifetime) {
    std::string name = uniqueName("map");
    int err = 0;
    EXPECT_EQ(vnxplat::openMapping(name.c_str(), &err), vnxplat::kNoHandle);
    EXPECT_NE(err, 0);

    bool fresh = false;
    vnxplat::ObjHandle first = vnxplat::createMapping(name.c_str(), kProxyDataSize, &fresh, &err);
    ASSERT_NE(first, vnxplat::kNoHandle);
    EXPECT_TRUE(fresh);
    std::uint32_t size = 0;
    void* view = vnxplat::mapView(first, &size, &err);
    ASSERT_NE(view, nullptr);
    // Whole pages, at least what was asked for.
    EXPECT_GE(size, kProxyDataSize);
    EXPECT_EQ(size % 4096, 0u);
    EXPECT_LT(size - kProxyDataSize, 4096u);
    auto* bytes = static_cast<unsigned char*>(view);
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(bytes[size - 1], 0);
    std::strcpy(static_cast<char*>(view), "kept");

    // Creating it again opens the same memory.
    vnxplat::ObjHandle second = vnxplat::createMapping(name.c_str(), kProxyDataSize, &fresh, &err);
    ASSERT_NE(second, vnxplat::kNoHandle);
    EXPECT_FALSE(fresh);
    std::uint32_t size2 = 0;
    void* view2 = vnxplat::mapView(second, &size2, &err);
    ASSERT_NE(view2, nullptr);
    EXPECT_STREQ(static_cast<char*>(view2), "kept");
    vnxplat::unmapView(view2, size2);
    vnxplat::closeObject(second);

    // Once nobody holds it, it is gone: open fails and create starts over.
    vnxplat::unmapView(view, size);
    vnxplat::closeObject(first);
    EXPECT_EQ(vnxplat::openMapping(name.c_str(), &err), vnxplat::kNoHandle);
    vnxplat::ObjHandle again = vnxplat::createMapping(name.c_str(), kProxyDataSize, &fresh, &err);
    ASSERT_NE(again, vnxplat::kNoHandle);
    EXPECT_TRUE(fresh);
    void* view3 = vnxplat::mapView(again, &size, &err);
    ASSERT_NE(view3, nullptr);
    EXPECT_EQ(static_cast<char*>(view3)[0], 0);
    vnxplat::unmapView(view3, size);
    vnxplat::closeObject(again);

    // Names longer than 127 characters are refused, not cut.
    std::string longName(200, 'n');
    EXPECT_EQ(vnxplat::createMapping(longName.c_str(), 4096, &fresh, &err), vnxplat::kNoHandle);
}

TEST(WinObjects, LowIntegrityLabelOnMappingAndMutex) {
    std::string name = uniqueName("label");
    bool fresh = false;
    int err = 0;
    vnxplat::ObjHandle mapping = vnxplat::createMapping(name.c_str(), 4096, &fresh, &err);
    ASSERT_NE(mapping, vnxplat::kNoHandle);
    EXPECT_TRUE(vnx::applyLowIntegrityLabel(mapping, vnxplat::ObjectKind::Mapping));
    std::string mutexName = name + "Mutex";
    vnxplat::ObjHandle mutex = vnxplat::createTableMutex(mutexName.c_str(), &err);
    ASSERT_NE(mutex, vnxplat::kNoHandle);
    EXPECT_TRUE(vnx::applyLowIntegrityLabel(mutex, vnxplat::ObjectKind::Mutex));
    // The labelled objects stay usable through their names.
    vnxplat::ObjHandle opened = vnxplat::openTableMutex(mutexName.c_str(), &err);
    ASSERT_NE(opened, vnxplat::kNoHandle);
    EXPECT_EQ(vnxplat::lockTableMutex(opened, &err), vnxplat::LockResult::Locked);
    vnxplat::unlockTableMutex(opened);
    EXPECT_FALSE(vnx::applyLowIntegrityLabel(vnxplat::kNoHandle, vnxplat::ObjectKind::Mutex));
    vnxplat::closeObject(opened);
    vnxplat::closeObject(mutex);
    vnxplat::closeObject(mapping);
}

TEST(WinObjects, AbandonedTableMutexFailsOneClaimThenWorks) {
    std::string name = uniqueName("abandon");
    SlotTable table(name.c_str(), kTcpSlotSize, true);
    table.clearAll();
    std::string mutexName = name + "Mutex";
    // A thread (standing in for a module thread of a program that dies) takes
    // the table's mutex and ends without releasing it.
    std::thread holder([&mutexName] {
        int err = 0;
        vnxplat::ObjHandle m = vnxplat::openTableMutex(mutexName.c_str(), &err);
        ASSERT_NE(m, vnxplat::kNoHandle);
        EXPECT_EQ(vnxplat::lockTableMutex(m, &err), vnxplat::LockResult::Locked);
    });
    holder.join();

    EXPECT_EQ(withinTenSeconds([&table] { return table.claimSlot(); }), nullptr);
    EXPECT_EQ(static_cast<TcpSlot*>(table.record(0))->owner_pid, 0u);
    int index = -1;
    void* rec = withinTenSeconds([&table, &index] { return table.claimSlot(&index); });
    EXPECT_EQ(rec, table.record(0));
    EXPECT_EQ(index, 0);
    // The wait result of an abandoned mutex is reported as such by the layer.
    std::thread again([&mutexName] {
        int err = 0;
        vnxplat::ObjHandle m = vnxplat::openTableMutex(mutexName.c_str(), &err);
        ASSERT_NE(m, vnxplat::kNoHandle);
        vnxplat::lockTableMutex(m, &err);
    });
    again.join();
    int code = 0;
    int openErr = 0;
    vnxplat::ObjHandle m = vnxplat::openTableMutex(mutexName.c_str(), &openErr);
    ASSERT_NE(m, vnxplat::kNoHandle);
    EXPECT_EQ(vnxplat::lockTableMutex(m, &code), vnxplat::LockResult::Abandoned);
    EXPECT_EQ(code, 0x80);  // WAIT_ABANDONED
    vnxplat::unlockTableMutex(m);
    EXPECT_EQ(vnxplat::lockTableMutex(m, &code), vnxplat::LockResult::Locked);
    EXPECT_EQ(code, 0);
    vnxplat::unlockTableMutex(m);
    vnxplat::closeObject(m);
}

TEST(WinObjects, RunMutexLivesWithItsHolder) {
    std::string name = uniqueName("run");
    RunMutex probe(name.c_str());
    EXPECT_FALSE(probe.exists());
    RunMutex owner(name.c_str());
    ASSERT_TRUE(owner.create());
    EXPECT_TRUE(probe.exists());
    EXPECT_TRUE(owner.create());  // already held: kept

    // The layer's own handle: gone again as soon as its holder lets go.
    std::string other = uniqueName("run");
    vnxplat::ObjHandle h = vnxplat::runMutexCreate(other.c_str());
    ASSERT_NE(h, vnxplat::kNoHandle);
    EXPECT_TRUE(vnxplat::runMutexExists(other.c_str()));
    vnxplat::closeObject(h);
    EXPECT_FALSE(vnxplat::runMutexExists(other.c_str()));
    // A mapping of that name is not a run mutex.
    bool fresh = false;
    int err = 0;
    vnxplat::ObjHandle mapping = vnxplat::createMapping(other.c_str(), 4096, &fresh, &err);
    ASSERT_NE(mapping, vnxplat::kNoHandle);
    EXPECT_FALSE(vnxplat::runMutexExists(other.c_str()));
    vnxplat::closeObject(mapping);
}

namespace {
struct ThreadProbe {
    std::promise<std::uint32_t> ran;
};
void reportThread(void* arg) {
    auto* probe = static_cast<ThreadProbe*>(arg);
    probe->ran.set_value(vnxplat::currentProcessId());
}
}  // namespace

TEST(WinSystem, SnapshotThreadsAndFolders) {
    std::vector<std::pair<std::uint32_t, std::string>> processes;
    ASSERT_TRUE(vnxplat::processSnapshot(processes));
    const std::uint32_t self = vnxplat::currentProcessId();
    std::string ownName;
    for (const auto& p : processes)
        if (p.first == self) ownName = p.second;
    EXPECT_EQ(ownName, "test_shared.exe");

    ThreadProbe probe;
    auto done = probe.ran.get_future();
    ASSERT_TRUE(vnxplat::startDetachedThread(reportThread, &probe, 256 * 1024));
    ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(done.get(), self);

    std::string appData = vnxplat::appDataRoot();
    EXPECT_FALSE(appData.empty());
    EXPECT_NE(appData.find('\\'), std::string::npos) << appData;

    std::uint32_t before = vnxplat::tickCount();
    vnxplat::sleepMs(30);
    EXPECT_GT(static_cast<std::uint32_t>(vnxplat::tickCount() - before), 0u);
    EXPECT_GT(vnxplat::unixSeconds(), 1600000000u);
}

TEST(WinNet, DatagramTruncationNonBlockingAndStream) {
    ASSERT_TRUE(vnxplat::netInit());
    sockaddr_in lo = {};
    lo.sin_family = AF_INET;
    lo.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    vnxplat::socket_t rx = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    vnxplat::socket_t tx = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    ASSERT_NE(rx, vnxplat::kBadSocket);
    ASSERT_NE(tx, vnxplat::kBadSocket);
    EXPECT_TRUE(vnxplat::setReuseAddr(rx));
    ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr*>(&lo), sizeof lo), 0);
    ASSERT_EQ(bind(tx, reinterpret_cast<sockaddr*>(&lo), sizeof lo), 0);
    sockaddr_in rxAddr = {};
    sockaddr_in txAddr = {};
    int len = sizeof rxAddr;
    ASSERT_EQ(getsockname(rx, reinterpret_cast<sockaddr*>(&rxAddr), &len), 0);
    len = sizeof txAddr;
    ASSERT_EQ(getsockname(tx, reinterpret_cast<sockaddr*>(&txAddr), &len), 0);

    // Empty and non-blocking: the error is a would-block one.
    ASSERT_TRUE(vnxplat::setNonBlocking(rx, true));
    char buf[16];
    sockaddr_storage from = {};
    bool truncated = true;
    EXPECT_EQ(vnxplat::recvDatagram(rx, buf, sizeof buf, &from, &truncated), -1);
    EXPECT_TRUE(vnxplat::wouldBlock(vnxplat::lastSocketError()));
    ASSERT_TRUE(vnxplat::setNonBlocking(rx, false));

    char big[100];
    for (int i = 0; i < 100; ++i)
        big[i] = static_cast<char>(i);
    ASSERT_EQ(sendto(tx, big, 100, 0, reinterpret_cast<sockaddr*>(&rxAddr), sizeof rxAddr), 100);
    ASSERT_EQ(sendto(tx, big, 5, 0, reinterpret_cast<sockaddr*>(&rxAddr), sizeof rxAddr), 5);
    vnxplat::pollfd_t pfd = {};
    pfd.fd = rx;
    pfd.events = POLLIN;
    ASSERT_EQ(vnxplat::pollSockets(&pfd, 1, 10000), 1);
    EXPECT_EQ(vnxplat::recvDatagram(rx, buf, sizeof buf, &from, &truncated), 16);
    EXPECT_TRUE(truncated);
    EXPECT_EQ(std::memcmp(buf, big, 16), 0);
    EXPECT_EQ(reinterpret_cast<sockaddr_in*>(&from)->sin_port, txAddr.sin_port);
    // The rest of the large datagram is gone; the next one arrives whole.
    EXPECT_EQ(vnxplat::recvDatagram(rx, buf, sizeof buf, nullptr, &truncated), 5);
    EXPECT_FALSE(truncated);
    vnxplat::closeSocket(rx);
    vnxplat::closeSocket(tx);

    // Stream: sendAll delivers everything the peer reads back.
    vnxplat::socket_t listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(listener, vnxplat::kBadSocket);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&lo), sizeof lo), 0);
    ASSERT_EQ(listen(listener, 2), 0);
    sockaddr_in lAddr = {};
    len = sizeof lAddr;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&lAddr), &len), 0);
    vnxplat::socket_t client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&lAddr), sizeof lAddr), 0);
    vnxplat::socket_t server = accept(listener, nullptr, nullptr);
    ASSERT_NE(server, vnxplat::kBadSocket);
    ASSERT_TRUE(vnxplat::setNonBlocking(client, true));
    const std::size_t total = 4 * 1024 * 1024;  // more than the socket buffers hold
    std::string payload(total, '\0');
    for (std::size_t i = 0; i < total; ++i)
        payload[i] = static_cast<char>(i * 7);
    auto reader = std::async(std::launch::async, [server, total] {
        std::string got;
        char chunk[8192];
        while (got.size() < total) {
            long r = vnxplat::recvSome(server, chunk, sizeof chunk);
            if (r <= 0) break;
            got.append(chunk, static_cast<std::size_t>(r));
        }
        return got;
    });
    EXPECT_EQ(vnxplat::sendAll(client, payload.data(), payload.size()), static_cast<long>(total));
    // Closing ends the reader's loop even when not everything arrived.
    vnxplat::closeSocket(client);
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(reader.get() == payload);
    vnxplat::closeSocket(server);
    vnxplat::closeSocket(listener);
}

TEST(WinNet, SocketOwnerHandsOnAndClosesOnce) {
    ASSERT_TRUE(vnxplat::netInit());
    sockaddr_in lo = {};
    lo.sin_family = AF_INET;
    lo.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    vnxplat::Socket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    ASSERT_TRUE(listener);
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&lo), sizeof lo), 0);
    ASSERT_EQ(listen(listener.get(), 2), 0);
    int len = sizeof lo;
    ASSERT_EQ(getsockname(listener.get(), reinterpret_cast<sockaddr*>(&lo), &len), 0);
    vnxplat::Socket client(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    ASSERT_EQ(connect(client.get(), reinterpret_cast<sockaddr*>(&lo), sizeof lo), 0);
    vnxplat::Socket server(accept(listener.get(), nullptr, nullptr));
    ASSERT_TRUE(server);
    vnxplat::pollfd_t pfd = {};
    pfd.fd = server.get();
    pfd.events = POLLIN;
    char c = 0;

    // Moved on, then released: the socket outlives both owners.
    vnxplat::socket_t raw = vnxplat::kBadSocket;
    {
        vnxplat::Socket owner(std::move(client));
        raw = owner.release();
    }
    EXPECT_FALSE(client.valid());  // NOLINT(bugprone-use-after-move): what is checked
    ASSERT_EQ(vnxplat::sendAll(raw, "x", 1), 1);
    ASSERT_EQ(vnxplat::pollSockets(&pfd, 1, 10000), 1);
    EXPECT_EQ(vnxplat::recvSome(server.get(), &c, 1), 1);
    // Owned again, then replaced by assignment: closed, the peer sees the end.
    client.reset(raw);
    client = vnxplat::Socket();
    ASSERT_EQ(vnxplat::pollSockets(&pfd, 1, 10000), 1);
    EXPECT_EQ(vnxplat::recvSome(server.get(), &c, 1), 0);
}
