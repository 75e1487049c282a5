#include "orvex/core/LargeBuffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>

using orvex::LargeBuffer;
using orvex::makeLargeBuffer;

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

} // namespace

TEST(LargeBuffer, EveryByteIsUsableAndHugeBlocksAreAligned) {
    // Below, at and above one huge page; 4,000,000 bytes fill 7/8 of their last huge page, 2 MiB + 1 do not.
    for (std::size_t bytes : {std::size_t{0}, std::size_t{1}, kHugePage - 1, kHugePage, kHugePage + 1,
                              std::size_t{4'000'000}, 5 * kHugePage}) {
        const LargeBuffer<char> buffer = makeLargeBuffer<char>(bytes);
        ASSERT_NE(buffer, nullptr) << bytes;
        if (bytes >= kHugePage) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.get()) % kHugePage, 0u) << bytes;
        }
        std::memset(buffer.get(), 0x5A, bytes); // the sanitizers flag any byte outside the block
        if (bytes > 0) {
            EXPECT_EQ(buffer[bytes - 1], 0x5A) << bytes;
        }
    }
}

TEST(LargeBuffer, ByteSizeBeyondTheAddressRangeThrows) {
    EXPECT_THROW(makeLargeBuffer<float>(SIZE_MAX / 2), std::bad_alloc);
}
