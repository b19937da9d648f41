#pragma once
// Fixed-size relay buffers, lent to a TCP relay direction only while it holds
// bytes the other side has not taken yet (or is busy), so idle connections
// own no buffer at all. Event-loop thread only.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vnxrelay {

class BufferPool {
public:
    BufferPool(std::size_t bufferSize, std::size_t maxSpare);
    ~BufferPool();
    BufferPool(const BufferPool&) = delete;
    BufferPool& operator=(const BufferPool&) = delete;

    // A buffer of bufferSize() bytes, or null when memory is exhausted.
    std::uint8_t* acquire();
    // Returns a buffer from acquire(); null is ignored.
    void release(std::uint8_t* buf);

    std::size_t bufferSize() const { return size_; }
    std::size_t inUse() const { return inUse_; }

private:
    std::size_t size_;
    std::size_t maxSpare_;
    std::size_t inUse_ = 0;
    std::vector<std::uint8_t*> spare_;
};

}  // namespace vnxrelay
