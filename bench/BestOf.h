#pragma once
// The timing rule of the benchmarks: the best of several runs.

#include <algorithm>
#include <chrono>
#include <limits>

// Best wall time of `runs` calls of `work`, in milliseconds; `prepare` runs
// untimed before each call.
template <class Work, class Prepare>
double bestMilliseconds(int runs, Work work, Prepare prepare) {
    double best = std::numeric_limits<double>::infinity();
    for (int run = 0; run < runs; ++run) {
        prepare();
        const auto start = std::chrono::steady_clock::now();
        work();
        const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }
    return best;
}

template <class Work>
double bestMilliseconds(int runs, Work work) {
    return bestMilliseconds(runs, work, [] {});
}
