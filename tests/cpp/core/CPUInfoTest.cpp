#include "orvex/core/CPUInfo.h"

#include <gtest/gtest.h>

#include <thread>

using orvex::CPUInfo;

TEST(CPUInfo, ThreadCountFollowsForcedValue) {
    const int hardware = static_cast<int>(std::thread::hardware_concurrency());
    EXPECT_EQ(CPUInfo::numCPU(), hardware);
    CPUInfo::forceThreads(3);
    EXPECT_EQ(CPUInfo::numCPU(), 3);
    CPUInfo::forceThreads(0);
    EXPECT_EQ(CPUInfo::numCPU(), hardware);
    CPUInfo::forceThreads(5);
    CPUInfo::forceThreads(-1);
    EXPECT_EQ(CPUInfo::numCPU(), hardware);
}

TEST(CPUInfo, FeaturesDetectedOnceThenForced) {
    EXPECT_EQ(CPUInfo::detectFeatures(), 7);
    EXPECT_EQ(CPUInfo::features(), 7);
    CPUInfo::forceFeatures(2);
    EXPECT_EQ(CPUInfo::features(), 2);
    EXPECT_EQ(CPUInfo::features(), 2);
}
