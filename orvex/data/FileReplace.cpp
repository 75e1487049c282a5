#include "orvex/data/FileReplace.h"

#include "orvex/data/FileReplacement.h"

namespace orvex {

bool writeFileReplacing(const std::string& fileName, const std::function<bool(std::ostream&)>& write) {
    return !FileReplacement(fileName).write(write);
}

} // namespace orvex
