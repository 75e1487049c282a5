#pragma once
// Writing a file whole or not at all (see FileReplacement), reporting only whether it worked.

#include "orvex/data/InterruptionCheck.h"

#include <functional>
#include <ostream>
#include <string>

namespace orvex {

// Writes `fileName` with `write` through a FileReplacement, asking `interrupted` after every
// interrupted or short write: false when the name cannot be written (a NUL in it, a
// directory, a FIFO without a reader, a file the process may not write, ...) or the write
// fails, the target then kept as it was. An exception from `write` propagates after the
// new file is removed.
bool writeFileReplacing(const std::string& fileName, const std::function<bool(std::ostream&)>& write,
                        const InterruptionCheck& interrupted = {});

} // namespace orvex
