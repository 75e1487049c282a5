#include "orvex/core/LargeBuffer.h"

#include <sys/mman.h>

#include <stdlib.h>

namespace orvex {

namespace {

constexpr std::size_t kHugePageSize = std::size_t{2} << 20;

// The bytes to reserve for a block of at least one huge page: whole huge pages,
// rounded up only when the block fills at least 7/8 of its last one, so that at
// most 256 KiB per block go unused.
std::size_t hugePageSpan(std::size_t bytes) {
    const std::size_t tail = bytes % kHugePageSize;
    return tail >= kHugePageSize / 8 * 7 ? bytes - tail + kHugePageSize : bytes;
}

} // namespace

void* allocateLargeBlock(std::size_t bytes) {
    if (bytes < kHugePageSize) {
        void* block = std::malloc(bytes == 0 ? 1 : bytes);
        if (!block)
            throw std::bad_alloc();
        return block;
    }
    const std::size_t span = hugePageSpan(bytes);
    if (span < bytes)
        throw std::bad_alloc(); // rounding overflowed
    void* block = nullptr;
    if (::posix_memalign(&block, kHugePageSize, span) != 0)
        throw std::bad_alloc();
    // Only a hint: where huge pages are off or exhausted, the block uses small pages.
    ::madvise(block, span - span % kHugePageSize, MADV_HUGEPAGE);
    return block;
}

} // namespace orvex
