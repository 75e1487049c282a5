#include "orvex/data/FileReplace.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
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

// An output buffer that appends to an open file descriptor, retrying short and
// interrupted writes.
class DescriptorBuffer : public std::streambuf {
public:
    explicit DescriptorBuffer(int descriptor) : descriptor_(descriptor) { setp(buffer_, buffer_ + sizeof buffer_); }

private:
    int overflow(int c) override {
        if (!flush())
            return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override { return flush() ? 0 : -1; }

    bool flush() {
        const char* next = pbase();
        std::size_t count = static_cast<std::size_t>(pptr() - pbase());
        while (count > 0) {
            const ssize_t written = ::write(descriptor_, next, count);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                return false;
            next += written;
            count -= static_cast<std::size_t>(written);
        }
        setp(buffer_, buffer_ + sizeof buffer_);
        return true;
    }

    int descriptor_;
    char buffer_[64 * 1024];
};

// Writes into an existing FIFO or character device, which a rename would replace
// by a regular file. A FIFO without a reader is refused rather than waited for.
bool writeInPlace(const fs::path& path, const std::function<bool(std::ostream&)>& write) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0)
        return false;
    bool written = false;
    try {
        const int flags = ::fcntl(descriptor, F_GETFL);
        if (flags >= 0 && ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == 0) {
            DescriptorBuffer buffer(descriptor);
            std::ostream stream(&buffer);
            written = write(stream) && stream.flush().good();
        }
    } catch (...) {
        ::close(descriptor);
        throw;
    }
    return ::close(descriptor) == 0 && written;
}

} // namespace

bool writeFileReplacing(const std::string& fileName, const std::function<bool(std::ostream&)>& write) {
    const fs::path target = resolvedTarget(fileName);
    std::error_code error;
    // Only a regular file or a new name is replaced through a temporary file.
    const fs::file_status targetStatus = fs::status(target, error);
    if (fs::is_fifo(targetStatus) || fs::is_character_file(targetStatus))
        return writeInPlace(target, write);
    if (fs::exists(targetStatus) && !fs::is_regular_file(targetStatus))
        return false;
    const fs::path temporary = temporaryPathBeside(target);
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
