#include "orvex/core/CPUInfo.h"

#include <atomic>
#include <thread>

namespace orvex {

namespace {
std::atomic<int> forcedThreadCount{-1};

// Detected when first used; a mask forced later replaces it.
std::atomic<int>& featureMask() {
    static std::atomic<int> mask{CPUInfo::detectFeatures()};
    return mask;
}
} // namespace

int CPUInfo::numCPU() {
    const int forced = forcedThreadCount.load(std::memory_order_relaxed);
    if (forced > 0)
        return forced;
    return static_cast<int>(std::thread::hardware_concurrency());
}

void CPUInfo::forceThreads(int count) {
    forcedThreadCount.store(count, std::memory_order_relaxed);
}

int CPUInfo::detectFeatures() {
    return 7;
}

int CPUInfo::features() { return featureMask().load(std::memory_order_relaxed); }

void CPUInfo::forceFeatures(int mask) { featureMask().store(mask, std::memory_order_relaxed); }

} // namespace orvex
