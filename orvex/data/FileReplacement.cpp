#include "orvex/data/FileReplacement.h"

#include "orvex/core/TextUtils.h"
#include "orvex/data/DescriptorStreamBuffer.h"
#include "orvex/data/TemporaryFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace orvex {

namespace {

// The links followed in a row before a name is refused, as the kernel counts them.
constexpr int kMaxLinks = 40;

std::error_code errorOf(int number) { return {number, std::generic_category()}; }
std::error_code lastError() { return errorOf(errno); }

// (folder, name) of a path: split at its last "/", the folder "." for a bare name.
std::pair<std::string, std::string> splitPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// Whether the last element of a path names a folder whatever it holds ("a/", "a/.", "a/..").
bool namesAFolder(const std::string& name) { return name.empty() || name == "." || name == ".."; }

// The text of the symbolic link open as `link` (O_PATH | O_NOFOLLOW).
std::error_code readLink(int link, std::string& text) {
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t length = ::readlinkat(link, "", buffer.data(), buffer.size());
        if (length < 0)
            return lastError();
        if (static_cast<std::size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(length));
            text = std::move(buffer);
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
}

// Fills the open descriptor with `write`.
std::error_code writeThrough(int descriptor, const FileReplacement::WriteFunction& write) {
    DescriptorStreamBuffer buffer(descriptor);
    std::ostream stream(&buffer);
    if (write(stream) && stream.flush().good())
        return {};
    return errorOf(buffer.error() ? buffer.error() : EIO);
}

} // namespace

FileReplacement::FileReplacement(const std::string& fileName) {
    if (hasEmbeddedNul(fileName)) {
        error_ = errorOf(EINVAL);
        return;
    }
    error_ = lookUp(fileName);
    if (!error_ && kind_ == Kind::NewFile)
        error_ = FilePermissions::ofNewFile(folder_.get(), permissions_);
}

// Follows symbolic links from folder to folder, each opened relative to the one before,
// until the name holds no link.
std::error_code FileReplacement::lookUp(const std::string& fileName) {
    if (fileName.empty())
        return errorOf(ENOENT);
    std::string path = fileName;
    for (int links = 0; links <= kMaxLinks; ++links) {
        auto [folder, name] = splitPath(path);
        if (namesAFolder(name))
            return errorOf(EISDIR);
        if (const std::error_code error = openFolder(folder_.valid() ? folder_.get() : AT_FDCWD, folder))
            return error;
        name_ = std::move(name);
        target_.reset(::openat(folder_.get(), name_.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!target_.valid())
            return errno == ENOENT ? std::error_code() : lastError();
        if (::fstat(target_.get(), &targetStatus_) != 0)
            return lastError();
        if (!S_ISLNK(targetStatus_.st_mode))
            return classifyTarget();
        if (const std::error_code error = readLink(target_.get(), path))
            return error;
    }
    return errorOf(ELOOP);
}

// Opens the folder `path`, relative to the folder open as `base`, without read permission.
std::error_code FileReplacement::openFolder(int base, const std::string& path) {
    const int folder = ::openat(base, path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return lastError();
    folder_.reset(folder);
    return {};
}

std::error_code FileReplacement::classifyTarget() {
    switch (targetStatus_.st_mode & S_IFMT) {
    case S_IFREG:
        kind_ = Kind::RegularFile;
        return FilePermissions::ofFile(target_.get(), targetStatus_, permissions_);
    case S_IFIFO:
    case S_IFCHR:
        kind_ = Kind::InPlace;
        return {};
    case S_IFDIR:
        return errorOf(EISDIR);
    case S_IFSOCK:
        return errorOf(ENXIO); // what opening it gives
    default:
        return errorOf(EOPNOTSUPP); // a block device: never written
    }
}

int FileReplacement::openTargetForReading() const {
    if (error_ || kind_ != Kind::RegularFile) {
        errno = ENOENT;
        return -1;
    }
    FileDescriptor file(
        ::openat(folder_.get(), name_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat status {};
    if (!file.valid() || ::fstat(file.get(), &status) != 0)
        return -1;
    if (status.st_dev != targetStatus_.st_dev || status.st_ino != targetStatus_.st_ino) {
        errno = EAGAIN; // another file took the name meanwhile
        return -1;
    }
    return file.release();
}

std::error_code FileReplacement::write(const WriteFunction& write, WriteDurability durability) {
    if (error_)
        return error_;
    if (kind_ == Kind::InPlace)
        return writeInPlace(write);
    TemporaryFile temporary(folder_.get(), name_);
    if (temporary.error())
        return temporary.error();
    if (const std::error_code error = writeThrough(temporary.descriptor(), write))
        return error;
    if (const std::error_code error = permissions_.applyTo(temporary.descriptor()))
        return error;
    if (durability == WriteDurability::Synced && ::fsync(temporary.descriptor()) != 0)
        return lastError();
    if (const std::error_code error = temporary.close())
        return error;
    return temporary.renameOver(name_);
}

// A FIFO or character device, which a rename would replace by a regular file, is written
// as it is; never opened for reading, and a FIFO without a reader is refused, not waited for.
std::error_code FileReplacement::writeInPlace(const WriteFunction& write) const {
    FileDescriptor file(
        ::openat(folder_.get(), name_.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!file.valid() || ::fstat(file.get(), &status) != 0)
        return lastError();
    if ((status.st_mode & S_IFMT) != (targetStatus_.st_mode & S_IFMT))
        return errorOf(EAGAIN); // another kind of file took the name meanwhile
    const int flags = ::fcntl(file.get(), F_GETFL);
    if (flags < 0 || ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return lastError();
    if (const std::error_code error = writeThrough(file.get(), write))
        return error;
    return ::close(file.release()) == 0 ? std::error_code() : lastError();
}

} // namespace orvex
