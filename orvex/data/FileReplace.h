#pragma once
// Writing a file whole or not at all (see FileReplacement), reporting only whether it worked.

#include <functional>
#include <ostream>
#include <string>

namespace orvex {

// Writes `fileName` with `write` through a FileReplacement: false when the name cannot be
// written (a NUL in it, a directory, a FIFO without a reader, ...) or the write fails, the
// target then kept as it was. An exception from `write` propagates after the temporary file
// is removed.
bool writeFileReplacing(const std::string& fileName, const std::function<bool(std::ostream&)>& write);

} // namespace orvex
