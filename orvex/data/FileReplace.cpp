#include "orvex/data/FileReplace.h"

#include "orvex/core/TextUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace orvex {

namespace {

namespace fs = std::filesystem;

// The file a write replaces: through symbolic links, the file they point to.
fs::path resolvedTarget(const std::string& fileName) {
    const fs::path path = fs::u8path(fileName);
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(path, error);
    return error ? path : resolved;
}

// The process's file mode creation mask, read from /proc/self/status: setting the mask
// to learn it would change it for every thread meanwhile. Where it cannot be read, new
// files are kept to their owner (077).
mode_t processUmask() {
    constexpr mode_t fallback = 077;
    const int descriptor = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        return fallback;
    // The line comes second; one read returns at least the first page of the file.
    char text[4096];
    ssize_t count;
    do
        count = ::read(descriptor, text, sizeof text - 1);
    while (count < 0 && errno == EINTR);
    ::close(descriptor);
    text[count > 0 ? count : 0] = '\0';
    static const char key[] = "\nUmask:";
    const char* value = std::strstr(text, key);
    if (!value)
        return fallback;
    value += sizeof key - 1;
    char* end = nullptr;
    const unsigned long mask = std::strtoul(value, &end, 8);
    return end != value && mask <= 0777 ? static_cast<mode_t>(mask) : fallback;
}

// An output buffer that appends to an open file descriptor, retrying short and
// interrupted writes. Blocks of at least its own size go to the descriptor directly.
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

    std::streamsize xsputn(const char* data, std::streamsize count) override {
        if (count < static_cast<std::streamsize>(sizeof buffer_))
            return std::streambuf::xsputn(data, count);
        return flush() && writeAll(data, static_cast<std::size_t>(count)) ? count : 0;
    }

    bool flush() {
        if (!writeAll(pbase(), static_cast<std::size_t>(pptr() - pbase())))
            return false;
        setp(buffer_, buffer_ + sizeof buffer_);
        return true;
    }

    bool writeAll(const char* next, std::size_t count) const {
        while (count > 0) {
            const ssize_t written = ::write(descriptor_, next, count);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                return false;
            next += written;
            count -= static_cast<std::size_t>(written);
        }
        return true;
    }

    int descriptor_;
    char buffer_[64 * 1024];
};

// Whether `write` fills the open descriptor completely.
bool writeThrough(int descriptor, const std::function<bool(std::ostream&)>& write) {
    DescriptorBuffer buffer(descriptor);
    std::ostream stream(&buffer);
    return write(stream) && stream.flush().good();
}

// Writes into an existing FIFO or character device, which a rename would replace
// by a regular file. A FIFO without a reader is refused rather than waited for.
bool writeInPlace(const fs::path& path, const std::function<bool(std::ostream&)>& write) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0)
        return false;
    bool written = false;
    try {
        const int flags = ::fcntl(descriptor, F_GETFL);
        if (flags >= 0 && ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == 0)
            written = writeThrough(descriptor, write);
    } catch (...) {
        ::close(descriptor);
        throw;
    }
    return ::close(descriptor) == 0 && written;
}

// A new file beside a target under a unique name, created exclusively and readable by
// its owner only; removed again unless it was renamed over the target.
class TemporaryFile {
public:
    // mkostemp creates the file with O_EXCL and mode 0600.
    explicit TemporaryFile(const fs::path& target)
        : path_(target.string() + ".tmp-XXXXXX"), descriptor_(::mkostemp(path_.data(), O_CLOEXEC)),
          created_(descriptor_ >= 0) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (descriptor_ >= 0)
            ::close(descriptor_);
        if (created_ && !renamed_)
            ::unlink(path_.c_str());
    }

    // The open file; negative when it could not be created.
    int descriptor() const { return descriptor_; }

    // Closes the file, checking what the close reports.
    bool close() {
        const int descriptor = descriptor_;
        descriptor_ = -1;
        return ::close(descriptor) == 0;
    }

    bool renameOver(const fs::path& target) {
        renamed_ = ::rename(path_.c_str(), target.c_str()) == 0;
        return renamed_;
    }

private:
    std::string path_;
    int descriptor_;
    bool created_;
    bool renamed_ = false;
};

} // namespace

bool writeFileReplacing(const std::string& fileName, const std::function<bool(std::ostream&)>& write) {
    if (hasEmbeddedNul(fileName))
        return false;
    const fs::path target = resolvedTarget(fileName);
    std::error_code error;
    // Only a regular file or a new name is replaced through a temporary file.
    const fs::file_status targetStatus = fs::status(target, error);
    if (fs::is_fifo(targetStatus) || fs::is_character_file(targetStatus))
        return writeInPlace(target, write);
    if (fs::exists(targetStatus) && !fs::is_regular_file(targetStatus))
        return false;
    // The mode the file ends with: an existing target's, or that of a new file.
    const mode_t mode = fs::exists(targetStatus) ? static_cast<mode_t>(targetStatus.permissions() & fs::perms::mask)
                                                 : 0666 & ~processUmask();
    TemporaryFile temporary(target);
    if (temporary.descriptor() < 0 || !writeThrough(temporary.descriptor(), write))
        return false;
    // A file system without modes keeps the one it gives.
    (void)::fchmod(temporary.descriptor(), mode);
    return temporary.close() && temporary.renameOver(target);
}

} // namespace orvex
