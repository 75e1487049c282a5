#include "orvex/data/FileReplace.h"

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace orvex {

namespace {

namespace fs = std::filesystem;

// A name beside `target` that no other write uses at the same time.
fs::path temporaryPathBeside(const fs::path& target) {
    static std::atomic<unsigned> counter{0};
    fs::path temporary = target;
    temporary += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    return temporary;
}

// The file a write replaces: through symbolic links, the file they point to.
fs::path resolvedTarget(const std::string& fileName) {
    const fs::path path = fs::u8path(fileName);
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(path, error);
    return error ? path : resolved;
}

bool writeFile(const fs::path& path, const std::function<bool(std::ostream&)>& write) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file)
        return false;
    const bool written = write(file);
    file.close();
    return written && !file.fail();
}

} // namespace

bool writeFileReplacing(const std::string& fileName, const std::function<bool(std::ostream&)>& write) {
    const fs::path target = resolvedTarget(fileName);
    const fs::path temporary = temporaryPathBeside(target);
    std::error_code error;
    bool saved = false;
    try {
        saved = writeFile(temporary, write);
    } catch (...) {
        fs::remove(temporary, error);
        throw;
    }
    if (saved && fs::is_regular_file(target, error))
        fs::permissions(temporary, fs::status(target, error).permissions(), error);
    if (saved)
        fs::rename(temporary, target, error);
    saved = saved && !error;
    if (!saved)
        fs::remove(temporary, error);
    return saved;
}

} // namespace orvex
