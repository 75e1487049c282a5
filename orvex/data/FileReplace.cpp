#include "orvex/data/FileReplace.h"

#include "orvex/data/FileReplacement.h"

namespace orvex {

bool writeFileReplacing(const std::string& fileName, const std::function<bool(std::ostream&)>& write,
                        const InterruptionCheck& interrupted) {
    return !FileReplacement(fileName).write(write, WriteDurability::Cached, interrupted);
}

} // namespace orvex
