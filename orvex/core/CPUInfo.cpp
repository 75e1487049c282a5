#include "orvex/core/CPUInfo.h"

#include <atomic>
#include <thread>

namespace orvex {

namespace {
std::atomic<int> forcedThreadCount{-1};
std::atomic<int> featureMask{0};
std::atomic<int> featureState{-1}; // -1: not yet determined
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

int CPUInfo::features() {
    if (featureState.load(std::memory_order_relaxed) == -1)
        featureMask.store(detectFeatures(), std::memory_order_relaxed);
    featureState.store(0, std::memory_order_relaxed);
    return featureMask.load(std::memory_order_relaxed);
}

void CPUInfo::forceFeatures(int mask) {
    featureMask.store(mask, std::memory_order_relaxed);
    featureState.store(0, std::memory_order_relaxed);
}

} // namespace orvex
