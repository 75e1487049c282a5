#include "orvex/core/ParallelRows.h"

#include "orvex/core/CPUInfo.h"

#include <algorithm>
#include <exception>
#include <thread>
#include <vector>

namespace orvex {

std::pair<int, int> rowBlock(int rows, int index, int count) {
    const long long total = rows;
    return {static_cast<int>(total * index / count), static_cast<int>(total * (index + 1) / count)};
}

void parallelForRows(int rows, const std::function<void(int begin, int end)>& body) {
    if (rows < 1)
        return;
    const int count = std::min(rows, std::max(1, CPUInfo::numCPU()));
    if (count == 1) {
        body(0, rows);
        return;
    }
    // One slot per worker, sized before any thread starts, so no slot moves while one runs.
    std::vector<std::exception_ptr> errors(static_cast<std::size_t>(count));
    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(count));
    auto joinAll = [&threads] {
        for (std::thread& thread : threads) thread.join();
    };
    try {
        for (int index = 0; index < count; ++index) {
            const std::pair<int, int> block = rowBlock(rows, index, count);
            std::exception_ptr* error = &errors[static_cast<std::size_t>(index)];
            threads.emplace_back([&body, block, error] {
                try {
                    body(block.first, block.second);
                } catch (...) {
                    *error = std::current_exception();
                }
            });
        }
    } catch (...) {
        joinAll();
        throw;
    }
    joinAll();
    for (const std::exception_ptr& error : errors)
        if (error) std::rethrow_exception(error);
}

} // namespace orvex
