// Time per call of the closed-form 3×3 symmetric inverse, and its heap allocations.

#include "orvex/core/Decompositions.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long> heapAllocations{0};
}

void* operator new(std::size_t size) {
    heapAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

int main() {
    constexpr int kCalls = 20'000'000;
    orvex::Matrix3x3 in{4, 1, 2, 1, 5, 1, 2, 1, 6};
    orvex::Matrix3x3 out;
    double checksum = 0.0;
    int failures = 0;

    const long allocationsBefore = heapAllocations.load();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kCalls; ++i) {
        in(0, 0) = 4.0 + (i & 7);  // keep the compiler from hoisting the call
        failures += !orvex::invertSymmetricMatrix(out, in);
        checksum += out(0, 0);
    }
    const auto stop = std::chrono::steady_clock::now();
    const long allocations = heapAllocations.load() - allocationsBefore;

    const double ns = std::chrono::duration<double, std::nano>(stop - start).count() / kCalls;
    std::printf("invertSymmetricMatrix(Matrix3x3&, const Matrix3x3&): %.2f ns/call, "
                "%ld heap allocations in %d calls (checksum %.6g, failures %d)\n",
                ns, allocations, kCalls, checksum, failures);
    return 0;
}
