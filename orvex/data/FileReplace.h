#pragma once
// Writing a file whole or not at all: the content goes into a temporary file
// beside the target, which is renamed over the target once it is complete. An
// existing FIFO or character device is written in place instead; other targets
// that are not regular files (sockets, directories, block devices) are refused.

#include <functional>
#include <ostream>
#include <string>

namespace orvex {

// Fills a temporary file beside `fileName` (beside the file it points to, for a
// symbolic link) with `write` and renames it over the target. The temporary file gets
// a unique name and is created exclusively, readable by its owner only; just before the
// rename it takes the permissions of an existing target, or 0666 less the umask for a
// new file. False, before anything is opened, for a name with an embedded NUL; false
// when the temporary cannot be created, `write` returns false, writing or closing fails
// or the rename fails: the temporary is then removed and an existing target kept as it
// was. An exception from `write` propagates after the temporary is removed. A FIFO
// without a reader is refused.
bool writeFileReplacing(const std::string& fileName, const std::function<bool(std::ostream&)>& write);

} // namespace orvex
