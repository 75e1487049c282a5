#pragma once
// Uninitialised arrays that may be large, such as file images and area variables.
//
// Blocks of at least one huge page (2 MiB) are aligned to it and advised for
// transparent huge pages, so that first touch of fresh memory faults once per
// 2 MiB rather than once per 4 KiB page. Any block is released with std::free.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

namespace orvex {

struct FreeDeleter {
    void operator()(void* block) const noexcept { std::free(block); }
};

template <typename T>
using LargeBuffer = std::unique_ptr<T[], FreeDeleter>;

// `bytes` of uninitialised memory to release with std::free; throws
// std::bad_alloc when there is not enough.
void* allocateLargeBlock(std::size_t bytes);

// `count` uninitialised values of a trivial type.
template <typename T>
LargeBuffer<T> makeLargeBuffer(std::size_t count) {
    static_assert(std::is_trivial_v<T>, "the values stay uninitialised");
    if (count > SIZE_MAX / sizeof(T))
        throw std::bad_alloc();
    return LargeBuffer<T>(static_cast<T*>(allocateLargeBlock(count * sizeof(T))));
}

} // namespace orvex
