#include "hoppool.h"

#include "platform/serversupport.h"
#include "platform/system.h"
#include "serverstate.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace {

// A relay keeps an authenticated connection that has not sent its header
// for its idle time-out (180 s by default); the pool gives its connections
// up well before.
constexpr std::uint32_t kKeepMs = 120000;
// The pool stops refilling when no tunnel has taken a connection this long.
constexpr std::uint32_t kUnusedMs = 60000;
constexpr int kDefaultSize = 8;

struct Target {
    std::uint32_t ipv4 = 0;
    std::uint16_t port = 0;
    std::uint8_t key[vnxhop::kKeySize] = {};
    bool operator==(const Target& o) const {
        return ipv4 == o.ipv4 && port == o.port && std::memcmp(key, o.key, sizeof key) == 0;
    }
};

struct Ready {
    PooledHop hop;
    std::uint32_t madeAt = 0;
};

class HopPool {
public:
    PooledHop take(const Target& t, int connectLimitMs) {
        std::unique_lock<std::mutex> guard(lock_);
        if (!(t == target_)) {
            target_ = t;
            ready_.clear();  // another server: what was made for the old one goes
        }
        connectLimitMs_ = connectLimitMs;
        lastTake_ = vnxplat::tickCount();
        active_ = true;
        PooledHop out;
        while (!ready_.empty() && !out.sock) {
            Ready r = std::move(ready_.front());
            ready_.pop_front();
            // Anything to read, or an end, on an idle authenticated connection
            // means the relay has let it go.
            if (lastTake_ - r.madeAt < kKeepMs && stillIdle(r.hop.sock.get())) out = std::move(r.hop);
        }
        if (!started_ && size_.load() > 0) {
            started_ = true;
            try {
                std::thread([this] { run(); }).detach();
            } catch (...) {
                started_ = false;
            }
        }
        guard.unlock();
        wake_.notify_one();
        return out;
    }

    void setSize(int n) {
        size_.store(n > 0 ? n : 0);
        std::lock_guard<std::mutex> guard(lock_);
        while (static_cast<int>(ready_.size()) > size_.load())
            ready_.pop_back();
    }

private:
    static bool stillIdle(vnxplat::socket_t s) {
        vnxplat::pollfd_t p{};
        p.fd = s;
        p.events = POLLIN;
        return vnxplat::pollSockets(&p, 1, 0) == 0;
    }

    void run() {
        try {
            serve();
        } catch (...) {
            logCaughtException("HopPool::run");
            std::lock_guard<std::mutex> guard(lock_);
            started_ = false;
        }
    }

    void serve() {
        std::unique_lock<std::mutex> guard(lock_);
        for (;;) {
            const std::uint32_t now = vnxplat::tickCount();
            // Old connections go; an unused pool empties and sleeps.
            while (!ready_.empty() && now - ready_.front().madeAt >= kKeepMs)
                ready_.pop_front();
            if (active_ && now - lastTake_ >= kUnusedMs) {
                active_ = false;
                ready_.clear();
            }
            if (!active_ || static_cast<int>(ready_.size()) >= size_.load()) {
                wake_.wait_for(guard, std::chrono::milliseconds(active_ ? 5000 : 60000));
                continue;
            }
            const Target t = target_;
            const int limit = connectLimitMs_;
            guard.unlock();
            PooledHop hop = make(t, limit);
            guard.lock();
            if (!hop.sock) {
                // The relay cannot be reached now: tunnels make their own
                // connections (and see why); try again a little later.
                wake_.wait_for(guard, std::chrono::milliseconds(1000));
                continue;
            }
            if (t == target_ && active_) {
                Ready r;
                r.hop = std::move(hop);
                r.madeAt = vnxplat::tickCount();
                ready_.push_back(std::move(r));
            }
        }
    }

    static PooledHop make(const Target& t, int connectLimitMs) {
        PooledHop hop;
        vnxplat::Socket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        if (!s) return hop;
        vnxplat::setNoDelay(s.get());
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = t.ipv4;
        sa.sin_port = t.port;
        if (vnxplat::connectWithin(s.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa, connectLimitMs) != 0)
            return hop;
        auto tls = std::make_unique<HopTls>();
        if (!tls->start(s.get(), t.key, connectLimitMs)) return hop;
        hop.sock = std::move(s);
        hop.tls = std::move(tls);
        return hop;
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<Ready> ready_;
    Target target_;
    int connectLimitMs_ = 20000;
    std::uint32_t lastTake_ = 0;
    bool active_ = false;
    bool started_ = false;
    std::atomic<int> size_{kDefaultSize};
};

HopPool& pool() {
    // Never destroyed: its thread may still run while the process ends.
    static HopPool* p = new HopPool();
    return *p;
}

}  // namespace

PooledHop takePooledHop(std::uint32_t ipv4, std::uint16_t port, const std::uint8_t key[vnxhop::kKeySize],
                        int connectLimitMs) {
    Target t;
    t.ipv4 = ipv4;
    t.port = port;
    std::memcpy(t.key, key, sizeof t.key);
    return pool().take(t, connectLimitMs);
}

void setHopPoolSize(int connections) { pool().setSize(connections); }
