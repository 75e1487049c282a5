#pragma once
// A question a long write asks after every interrupted or short write: whether to give up.

#include <functional>

namespace orvex {

// True: the write stops and fails with EINTR. An empty check never stops a write.
using InterruptionCheck = std::function<bool()>;

} // namespace orvex
