// Named objects shared by real processes: claims across processes, a holder
// killed inside the table mutex, object lifetime, privacy.
#include "modulecontract.h"
#include "platform/namedobjects.h"
#include "platform/net.h"
#include "platform/system.h"
#include "sharedmemory.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

using namespace vnx;

namespace {

std::string shmPath(const char* name) { return std::string("/dev/shm/") + name + "." + std::to_string(getuid()); }

// A child process running fn; it reports readiness by writing one byte.
struct Child {
    pid_t pid = -1;
    int readyFd = -1;

    static Child start(const std::function<int(int readyFd)>& fn) {
        int p[2];
        if (pipe(p) != 0) std::abort();
        Child c;
        c.pid = fork();
        if (c.pid == 0) {
            close(p[0]);
            _exit(fn(p[1]));
        }
        close(p[1]);
        c.readyFd = p[0];
        return c;
    }
    // Waits (at most 10 s) for the child's ready byte.
    bool waitReady() {
        struct pollfd pfd = {readyFd, POLLIN, 0};
        if (poll(&pfd, 1, 10000) != 1) return false;
        char b;
        return read(readyFd, &b, 1) == 1;
    }
    int wait() {
        int st = 0;
        waitpid(pid, &st, 0);
        close(readyFd);
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    int kill9() {
        ::kill(pid, SIGKILL);
        return wait();
    }
};

void signalReady(int fd) {
    char b = 1;
    if (write(fd, &b, 1) != 1) _exit(90);
}

// Runs fn in a fresh process and returns its exit code (0 = passed).
int inFreshProcess(const std::function<int()>& fn) {
    Child c = Child::start([&](int) { return fn(); });
    return c.wait();
}

}  // namespace

TEST(CrossProcess, SecondProcessClaimsFindsAndClears) {
    SlotTable* table = createTcpTable(true);
    table->clearAll();
    REndpoint dst;
    dst.ipv4 = inet_addr("192.0.2.44");
    dst.port = htons(443);
    TcpSlot* mine = publishTcpDestination(*table, htons(41000), false, dst);
    ASSERT_NE(mine, nullptr);
    const std::uint32_t parentPid = getpid();

    int rc = inFreshProcess([&] {
        SlotTable other(kTcpTableName, kTcpSlotSize, false);  // open mode, as the module
        TcpSlot* found = other.findTcpSlot(htons(41000), 0);
        if (!found || found->owner_pid != parentPid) return 1;
        if (!(slotDestination(*found) == dst)) return 2;
        REndpoint d2;
        d2.ipv4 = inet_addr("192.0.2.45");
        d2.port = htons(80);
        TcpSlot* claimed = publishTcpDestination(other, htons(41001), false, d2);
        if (!claimed || claimed->owner_pid != static_cast<std::uint32_t>(getpid())) return 3;
        other.clearSlot(found);
        // Fill the table: the next claim must fail and leave the mutex free.
        while (other.claimSlot()) {
        }
        return 0;
    });
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(table->findTcpSlot(htons(41000), 0), nullptr);
    TcpSlot* theirs = table->findTcpSlot(htons(41001), 0);
    ASSERT_NE(theirs, nullptr);
    EXPECT_NE(theirs->owner_pid, static_cast<std::uint32_t>(getpid()));
    EXPECT_EQ(table->claimSlot(), nullptr);  // full; not an abandoned mutex
    table->clearSlot(theirs);
    EXPECT_EQ(table->claimSlot(), static_cast<void*>(theirs));
    delete table;
}

TEST(CrossProcess, HolderKilledInsideTheMutex) {
    SlotTable* table = createUdpSendTable(true);
    table->clearAll();
    Child holder = Child::start([](int ready) {
        int err = 0;
        vnxplat::ObjHandle m = vnxplat::openTableMutex("GlobalVEILNOX_UDPSENDMutex", &err);
        if (m == vnxplat::kNoHandle) return 1;
        if (vnxplat::lockTableMutex(m, &err) != vnxplat::LockResult::Locked) return 2;
        signalReady(ready);
        pause();
        return 0;
    });
    ASSERT_TRUE(holder.waitReady());
    EXPECT_EQ(holder.kill9(), 128 + SIGKILL);
    // The first claimer finds the mutex abandoned: null, mutex released.
    EXPECT_EQ(table->claimSlot(), nullptr);
    int idx = -1;
    EXPECT_NE(table->claimSlot(&idx), nullptr);
    EXPECT_EQ(idx, 0);
    // And another process can use it too.
    EXPECT_EQ(inFreshProcess([] {
                  SlotTable t(kUdpSendTableName, kUdpSlotSize, false);
                  return t.claimSlot() ? 0 : 1;
              }),
              0);
    delete table;
}

TEST(CrossProcess, ObjectLivesWhileHeldAndIsFreshAfterwards) {
    const char* name = "VnxLifetime";
    Child creator = Child::start([&](int ready) {
        SharedMemory m(name, 8192, true);
        if (!m.view()) return 1;
        std::strcpy(static_cast<char*>(m.view()), "held");
        signalReady(ready);
        pause();
        return 0;
    });
    ASSERT_TRUE(creator.waitReady());
    {
        SharedMemory reader(name, 8192, false);
        ASSERT_NE(reader.view(), nullptr);
        EXPECT_STREQ(static_cast<char*>(reader.view()), "held");
    }
    // Still held by the creator alone: its contents stay.
    {
        SharedMemory reader(name, 8192, false);
        ASSERT_NE(reader.view(), nullptr);
        EXPECT_STREQ(static_cast<char*>(reader.view()), "held");
    }
    creator.kill9();
    // The file is still there, but nobody holds it: it counts as missing.
    struct stat st;
    EXPECT_EQ(stat(shmPath(name).c_str(), &st), 0);
    SharedMemory gone(name, 8192, false);
    EXPECT_EQ(gone.view(), nullptr);
    SharedMemory fresh(name, 8192, true);
    ASSERT_NE(fresh.view(), nullptr);
    EXPECT_EQ(static_cast<char*>(fresh.view())[0], 0);
}

TEST(CrossProcess, ProxyDataGoneWhenTheClientIsGone) {
    Child client = Child::start([](int ready) {
        ProxyData* pd = proxyData(true);
        if (!pd) return 1;
        pd->tcp_port = 1234;
        signalReady(ready);
        pause();
        return 0;
    });
    ASSERT_TRUE(client.waitReady());
    EXPECT_EQ(inFreshProcess([] {
                  ProxyData* pd = proxyData(false);
                  return pd && pd->tcp_port == 1234 ? 0 : 1;
              }),
              0);
    client.kill9();
    EXPECT_EQ(inFreshProcess([] { return proxyData(false) == nullptr ? 0 : 1; }), 0);
    EXPECT_EQ(inFreshProcess([] {
                  ProxyData* pd = proxyData(true);
                  return pd && pd->tcp_port == 0 ? 0 : 1;
              }),
              0);
}

TEST(CrossProcess, RunMutexEndsWithItsHolder) {
    Child server = Child::start([](int ready) {
        RunMutex m(kServerRunMutexName);
        if (!m.create()) return 1;
        signalReady(ready);
        pause();
        return 0;
    });
    ASSERT_TRUE(server.waitReady());
    RunMutex probe(kServerRunMutexName);
    EXPECT_TRUE(probe.exists());
    server.kill9();
    EXPECT_FALSE(probe.exists());
    // And it can be taken again.
    RunMutex again(kServerRunMutexName);
    EXPECT_TRUE(again.create());
    EXPECT_TRUE(probe.exists());
}

TEST(CrossProcess, ObjectsArePrivateToTheirUser) {
    ASSERT_EQ(geteuid(), 0u) << "needs root to act as another user";
    SharedMemory mine("VnxPrivate", 4096, true);
    ASSERT_NE(mine.view(), nullptr);
    struct stat st;
    ASSERT_EQ(stat(shmPath("VnxPrivate").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Paths name the owner's uid, so the other user opens the owner's file.
    const std::string path = shmPath("VnxPrivate");
    int rc = inFreshProcess([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0) return 10;
        int fd = open(path.c_str(), O_RDONLY);
        return fd < 0 && errno == EACCES ? 0 : 1;
    });
    EXPECT_EQ(rc, 0);

    // A file planted under our name with open permissions is refused.
    std::string planted = shmPath("VnxPlanted");
    int fd = open(planted.c_str(), O_CREAT | O_RDWR, 0666);
    ASSERT_GE(fd, 0);
    fchmod(fd, 0666);
    ASSERT_EQ(ftruncate(fd, 4096), 0);
    close(fd);
    SharedMemory victim("VnxPlanted", 4096, true);
    EXPECT_EQ(victim.view(), nullptr);
}

TEST(CrossProcess, SquattedOrHeldLocksNeverFreezeAProgram) {
    ASSERT_EQ(geteuid(), 0u) << "needs root to act as another user";
    const std::string lock = "/dev/shm/veilnox." + std::to_string(getuid()) + ".lock";
    // Each attempt runs in a fresh process that an alarm ends should it hang.
    auto bounded = [](const std::function<int()>& fn) {
        return inFreshProcess([&] {
            alarm(20);
            return fn();
        });
    };
    struct Squat {
        const char* what;
        bool otherUser;
        mode_t mode;
        int wantErr;
    } squats[] = {
        {"another user's open lock file, held", true, 0666, EACCES},
        {"our own lock file left open to all", false, 0666, EACCES},
        {"our own private lock file, held by a stuck process", false, 0600, ETIMEDOUT},
    };
    for (const Squat& q : squats) {
        SCOPED_TRACE(q.what);
        unlink(lock.c_str());
        Child holder = Child::start([&](int ready) {
            if (q.otherUser && (setgid(65534) != 0 || setuid(65534) != 0)) return 10;
            int fd = open(lock.c_str(), O_CREAT | O_RDWR, q.mode);
            if (fd < 0 || fchmod(fd, q.mode) != 0 || flock(fd, LOCK_EX) != 0) return 11;
            signalReady(ready);
            pause();
            return 0;
        });
        ASSERT_TRUE(holder.waitReady());
        EXPECT_EQ(bounded([&] {
                      int err = 0;
                      if (vnxplat::openMapping("VnxSquatted", &err) != vnxplat::kNoHandle) return 1;
                      if (err != q.wantErr) return 2;
                      SharedMemory created("VnxSquatted", 4096, true);
                      return created.view() == nullptr ? 0 : 3;
                  }),
                  0);
        holder.kill9();
    }
    unlink(lock.c_str());
    SharedMemory fine("VnxSquatted", 4096, true);
    EXPECT_NE(fine.view(), nullptr) << "a fresh lock file of our own works again";

    // A live process that keeps a table's mutex: claims give up.
    SlotTable* table = createTcpTable(true);
    table->clearAll();
    Child stuck = Child::start([](int ready) {
        int err = 0;
        vnxplat::ObjHandle m = vnxplat::openTableMutex("GlobalVEILNOX_TCPMutex", &err);
        if (m == vnxplat::kNoHandle || vnxplat::lockTableMutex(m, &err) != vnxplat::LockResult::Locked) return 1;
        signalReady(ready);
        pause();
        return 0;
    });
    ASSERT_TRUE(stuck.waitReady());
    EXPECT_EQ(bounded([] {
                  SlotTable t(kTcpTableName, kTcpSlotSize, false);
                  return t.claimSlot() == nullptr ? 0 : 1;
              }),
              0);
    stuck.kill9();
    delete table;
}

TEST(CrossProcess, ProcessNameFollowsExec) {
    std::string self;
    ASSERT_TRUE(vnxplat::processNameOf(getpid(), self));
    EXPECT_EQ(self, "test_crossprocess");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    if (pid == 0) {
        // Same id, new program: the name must follow the exec.
        close(ready[0]);
        fcntl(ready[1], F_SETFD, FD_CLOEXEC);
        execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ready[1]);
    char b;
    EXPECT_EQ(read(ready[0], &b, 1), 0);  // closed by the exec
    close(ready[0]);
    std::string name;
    EXPECT_TRUE(vnxplat::processNameOf(static_cast<std::uint32_t>(pid), name));
    EXPECT_EQ(name, "sleep");
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_FALSE(vnxplat::processNameOf(static_cast<std::uint32_t>(pid), name));
}
