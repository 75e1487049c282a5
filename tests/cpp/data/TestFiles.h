#pragma once
// Files for the tests that write: a temporary directory, a lowered file-size
// limit that makes writes fail, a umask for a scope, and the content of a file.

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace orvex::testing {

// A directory under the system's temporary directory, removed with its content.
struct TemporaryDirectory {
    std::filesystem::path path;
    TemporaryDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "zelds-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~TemporaryDirectory() { std::filesystem::remove_all(path); }
};

// Lowers the soft limit on the size of written files; writes beyond it fail
// (with the signal that would end the process ignored).
class ScopedFileSizeLimit {
public:
    explicit ScopedFileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &previous_);
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = previous_;
        lowered.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~ScopedFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }

private:
    rlimit previous_{};
    void (*previousHandler_)(int) = SIG_DFL;
};

// Sets the process's umask for a scope.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(previous_); }

private:
    mode_t previous_;
};

// The bytes of a file, read whole.
inline std::string fileContent(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

} // namespace orvex::testing
