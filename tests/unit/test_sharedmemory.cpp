// Named mappings, slot tables and run mutexes within one process.
#include "modulecontract.h"
#include "platform/net.h"
#include "platform/system.h"
#include "sharedmemory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>

using namespace vnx;

namespace {
// Unique per test so that suites may also run side by side.
std::string uniqueName(const char* base) {
    static int n = 0;
    return std::string("VnxUnit_") + base + "_" + std::to_string(vnxplat::currentProcessId()) + "_" +
           std::to_string(++n);
}

// claimSlot on another thread, so a mutex left held would show as a hang.
void* claimElsewhere(SlotTable& t) {
    auto f = std::async(std::launch::async, [&t] { return t.claimSlot(); });
    if (f.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "claimSlot did not return: mutex still held";
        std::abort();
    }
    return f.get();
}
}  // namespace

TEST(SharedMemory, CreateOpenAndKeepContents) {
    std::string name = uniqueName("mem");
    SharedMemory missing(name.c_str(), 4096, false);
    EXPECT_EQ(missing.view(), nullptr);
    EXPECT_FALSE(missing.open());

    SharedMemory creator(name.c_str(), 4096, true);
    ASSERT_NE(creator.view(), nullptr);
    auto* bytes = static_cast<unsigned char*>(creator.view());
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(bytes[4095], 0);
    std::strcpy(static_cast<char*>(creator.view()), "kept");

    // A failed open is retried by the next call and now succeeds.
    EXPECT_TRUE(missing.open());
    EXPECT_STREQ(static_cast<char*>(missing.view()), "kept");

    SharedMemory again(name.c_str(), 4096, true);
    ASSERT_NE(again.view(), nullptr);
    EXPECT_STREQ(static_cast<char*>(again.view()), "kept");
    EXPECT_TRUE(again.open());  // idempotent
}

TEST(SlotTable, FullTableReturnsNullAndReleasesTheMutex) {
    std::string name = uniqueName("full");
    SlotTable t(name.c_str(), kTcpSlotSize, true);
    t.clearAll();
    int idx = -1;
    for (int i = 0; i < kSlotCount; ++i) {
        void* r = t.claimSlot(&idx);
        ASSERT_NE(r, nullptr) << i;
        ASSERT_EQ(idx, i);
        EXPECT_EQ(static_cast<TcpSlot*>(r)->owner_pid, vnxplat::currentProcessId());
    }
    EXPECT_EQ(t.claimSlot(), nullptr);
    EXPECT_EQ(claimElsewhere(t), nullptr);
    t.clearSlot(t.record(1234));
    EXPECT_EQ(claimElsewhere(t), t.record(1234));
}

TEST(SlotTable, FindersMatchKeysInIndexOrder) {
    std::string name = uniqueName("find");
    SlotTable t(name.c_str(), kTcpSlotSize, true);
    t.clearAll();
    auto* free0 = static_cast<TcpSlot*>(t.record(0));
    free0->local_port = htons(4000);  // owner 0: never matches
    REndpoint dst;
    dst.ipv4 = inet_addr("198.51.100.7");
    dst.port = htons(80);
    TcpSlot* a = publishTcpDestination(t, htons(4000), false, dst);
    TcpSlot* b = publishTcpDestination(t, htons(4000), false, dst);
    TcpSlot* v6 = publishTcpDestination(t, htons(4000), true, dst);
    ASSERT_TRUE(a && b && v6);
    EXPECT_EQ(t.findTcpSlot(htons(4000), 0), a);
    EXPECT_EQ(t.findTcpSlot(htons(4000), 1), v6);
    EXPECT_EQ(t.findTcpSlot(htons(4001), 0), nullptr);
    t.clearSlot(a);
    EXPECT_EQ(t.findTcpSlot(htons(4000), 0), b);
    EXPECT_EQ(slotDestination(*b), dst);

    std::string uname = uniqueName("findudp");
    SlotTable u(uname.c_str(), kUdpSlotSize, true);
    u.clearAll();
    UdpSlot* d1 = publishUdpDestination(u, htons(5000), false, dst, "abc", 3, 77);
    UdpSlot* d2 = publishUdpDestination(u, htons(5000), false, dst, "abc", 3, 78);
    ASSERT_TRUE(d1 && d2);
    EXPECT_EQ(d1->checksum, 0x9D3B);
    EXPECT_EQ(d1->length, 3);
    EXPECT_EQ(d1->stamp, 77u);
    EXPECT_EQ(u.findUdpSlot(htons(5000), 0x9D3B, 3, 0), d1);
    u.clearSlot(d1);
    EXPECT_EQ(u.findUdpSlot(htons(5000), 0x9D3B, 3, 0), d2);
    EXPECT_EQ(u.findUdpSlot(htons(5000), 0x9D3B, 4, 0), nullptr);
    EXPECT_EQ(u.findUdpSlot(htons(5000), 0x9D3B, 3, 1), nullptr);
}

TEST(SlotTable, PurgeBoundaryAndWrappedTicks) {
    std::string name = uniqueName("purge");
    SlotTable t(name.c_str(), kUdpSlotSize, true);
    t.clearAll();
    REndpoint dst;
    dst.ipv4 = inet_addr("192.0.2.1");
    const std::uint32_t now = 50000;
    UdpSlot* keep = publishUdpDestination(t, htons(1), false, dst, "x", 1, now - 1000);
    UdpSlot* drop = publishUdpDestination(t, htons(2), false, dst, "x", 1, now - 1001);
    // Stamped just before the tick counter wrapped: 0xFFFFFF00 is 356 ms
    // before 100 and 1356 ms before 1100.
    UdpSlot* wrappedKeep = publishUdpDestination(t, htons(3), false, dst, "x", 1, 0xFFFFFF00u);
    ASSERT_TRUE(keep && drop && wrappedKeep);
    t.purgeStale(now);
    EXPECT_NE(keep->owner_pid, 0u);
    EXPECT_EQ(drop->owner_pid, 0u);
    EXPECT_EQ(drop->local_port, 0);
    // 50000 - 0xFFFFFF00 wraps to 50256: stale.
    EXPECT_EQ(wrappedKeep->owner_pid, 0u);

    UdpSlot* w = publishUdpDestination(t, htons(4), false, dst, "x", 1, 0xFFFFFF00u);
    t.purgeStale(100);
    EXPECT_NE(w->owner_pid, 0u);
    t.purgeStale(1100);
    EXPECT_EQ(w->owner_pid, 0u);
}

TEST(SlotTable, ModuleReadsTheServersReceiveRecord) {
    std::string name = uniqueName("recv");
    SlotTable t(name.c_str(), kUdpSlotSize, true);
    t.clearAll();
    auto* rec = static_cast<UdpSlot*>(t.claimSlot());
    ASSERT_NE(rec, nullptr);
    rec->local_port = htons(40000);
    rec->length = 12;
    rec->peer_addr4 = inet_addr("203.0.113.5");
    rec->peer_port = htons(53);
    REndpoint src;
    EXPECT_FALSE(takeUdpSource(t, htons(40000), 13, false, src));
    ASSERT_TRUE(takeUdpSource(t, htons(40000), 12, false, src));
    EXPECT_EQ(src.ipv4, inet_addr("203.0.113.5"));
    EXPECT_EQ(src.port, htons(53));
    EXPECT_EQ(rec->owner_pid, 0u);  // consumed
    EXPECT_FALSE(takeUdpSource(t, htons(40000), 12, false, src));
}

TEST(RunMutex, ExistsOnceCreated) {
    std::string name = uniqueName("run");
    RunMutex probe(name.c_str());
    EXPECT_FALSE(probe.exists());
    RunMutex owner(name.c_str());
    EXPECT_TRUE(owner.create());
    EXPECT_TRUE(probe.exists());
    EXPECT_TRUE(owner.exists());
}

TEST(LazyAccessors, ProxyDataAppearsWithoutRestartAndStatusIsCached) {
    // Nothing holds the block yet: open mode finds nothing.
    EXPECT_EQ(proxyData(false), nullptr);
    SharedMemory client(kProxyDataName, kProxyDataSize, true);
    ASSERT_NE(client.view(), nullptr);
    static_cast<ProxyData*>(client.view())->tcp_port = 9111;
    ProxyData* pd = proxyData(false);
    ASSERT_NE(pd, nullptr);
    EXPECT_EQ(pd->tcp_port, 9111);
    EXPECT_EQ(proxyData(true), pd);

    ServerStatus* s = serverStatus(true);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(serverStatus(false), s);
    EXPECT_EQ(s->app_count, 0);
}

TEST(Factories, TablesHaveTheirNamesAndSizes) {
    SlotTable* tcp = createTcpTable(true);
    SlotTable* send = createUdpSendTable(true);
    SlotTable* recv = createUdpRecvTable(true);
    EXPECT_STREQ(tcp->memory().name(), "GlobalVEILNOX_TCP");
    EXPECT_EQ(tcp->memory().size(), 65536u);
    EXPECT_STREQ(send->memory().name(), "GlobalVEILNOX_UDPSEND");
    EXPECT_EQ(send->memory().size(), 81920u);
    EXPECT_STREQ(recv->memory().name(), "GlobalVEILNOX_UDPRECV");
    EXPECT_EQ(recv->memory().size(), 81920u);
    // Another opener (as the module does) shares the records.
    SlotTable moduleSide("GlobalVEILNOX_TCP", kTcpSlotSize, false);
    tcp->clearAll();
    REndpoint dst;
    dst.ipv4 = inet_addr("192.0.2.10");
    ASSERT_NE(publishTcpDestination(moduleSide, htons(777), false, dst), nullptr);
    EXPECT_NE(tcp->findTcpSlot(htons(777), 0), nullptr);
    delete tcp;
    delete send;
    delete recv;
}
