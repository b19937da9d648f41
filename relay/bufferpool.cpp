#include "bufferpool.h"

#include <cstdlib>

namespace vnxrelay {

BufferPool::BufferPool(std::size_t bufferSize, std::size_t maxSpare) : size_(bufferSize), maxSpare_(maxSpare) {
    spare_.reserve(maxSpare);
}

BufferPool::~BufferPool() {
    for (std::uint8_t* b : spare_)
        std::free(b);
}

std::uint8_t* BufferPool::acquire() {
    std::uint8_t* b = nullptr;
    if (!spare_.empty()) {
        b = spare_.back();
        spare_.pop_back();
    } else {
        b = static_cast<std::uint8_t*>(std::malloc(size_));
        if (!b) return nullptr;
    }
    ++inUse_;
    return b;
}

void BufferPool::release(std::uint8_t* buf) {
    if (!buf) return;
    --inUse_;
    if (spare_.size() < maxSpare_)
        spare_.push_back(buf);
    else
        std::free(buf);
}

}  // namespace vnxrelay
