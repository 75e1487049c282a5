#include "orvex/core/AnalysisContext.h"
#include "orvex/core/Decompositions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using orvex::AnalysisContext;

TEST(AnalysisContext, CountsProgressAndResets) {
    AnalysisContext context;
    EXPECT_EQ(context.progress(), 0);
    EXPECT_FALSE(context.wasCanceled());
    context.incrementProgress();
    context.incrementProgress();
    EXPECT_EQ(context.progress(), 2);
    context.resetProgress();
    EXPECT_EQ(context.progress(), 0);

    context.incrementProgress();
    context.cancel();
    EXPECT_TRUE(context.wasCanceled());
    context.reset();
    EXPECT_FALSE(context.wasCanceled());
    EXPECT_EQ(context.progress(), 0);
}

TEST(AnalysisContext, CancelFromAnotherThreadStopsAnInversion) {
    AnalysisContext context;
    std::vector<std::thread> counters;
    for (int t = 0; t < 4; ++t)
        counters.emplace_back([&] { for (int i = 0; i < 1000; ++i) context.incrementProgress(); });
    for (auto& thread : counters) thread.join();
    EXPECT_EQ(context.progress(), 4000);

    orvex::Matrix m(60, 60), out;
    m.setZero();
    for (int i = 0; i < 60; ++i) m(i, i) = 2.0;
    std::thread canceller([&] { context.cancel(); });
    canceller.join();
    EXPECT_FALSE(orvex::invertMatrix(out, m, &context));
}
