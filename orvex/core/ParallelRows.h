#pragma once
// Row-parallel loops over a grid on the library's worker-thread count.

#include <functional>
#include <utility>

namespace orvex {

// Rows [begin, end) of block `index` when `rows` rows are split into `count`
// contiguous blocks of nearly equal size (empty blocks when count > rows).
std::pair<int, int> rowBlock(int rows, int index, int count);

// Calls body(begin, end) for the row blocks of min(rows, CPUInfo::numCPU()) threads (at
// least one) and returns when all have finished. An exception thrown by a body is
// rethrown here after every thread has been joined; if a thread cannot be started,
// the started ones are joined before that error propagates.
void parallelForRows(int rows, const std::function<void(int begin, int end)>& body);

} // namespace orvex
