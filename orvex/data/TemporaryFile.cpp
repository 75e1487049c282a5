#include "orvex/data/TemporaryFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

namespace orvex {

namespace {

constexpr char kSuffix[] = ".tmp-";
constexpr std::size_t kRandomLength = 6;
constexpr long kDefaultNameMax = 255;
constexpr int kAttempts = 100;

std::error_code lastError() { return {errno, std::generic_category()}; }

// `target` cut to at most `length` bytes, at the start of a UTF-8 character.
std::string leadingCharacters(const std::string& target, std::size_t length) {
    if (length >= target.size())
        return target;
    while (length > 0 && (static_cast<unsigned char>(target[length]) & 0xC0) == 0x80)
        --length;
    return target.substr(0, length);
}

// The part of the temporary file's name taken from `target`.
std::string nameStem(int folder, const std::string& target) {
    const long nameMax = ::fpathconf(folder, _PC_NAME_MAX);
    const std::size_t limit = static_cast<std::size_t>(nameMax > 0 ? nameMax : kDefaultNameMax);
    const std::size_t added = sizeof kSuffix - 1 + kRandomLength;
    return leadingCharacters(target, limit > added ? limit - added : 0) + kSuffix;
}

std::string randomCharacters() {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device device;
    std::string text(kRandomLength, ' ');
    for (char& character : text)
        character = alphabet[device() % (sizeof alphabet - 1)];
    return text;
}

} // namespace

TemporaryFile::TemporaryFile(int folder, const std::string& target) : folder_(folder) {
    const std::string stem = nameStem(folder, target);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        name_ = stem + randomCharacters();
        descriptor_ = ::openat(folder, name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (descriptor_ >= 0 || errno != EEXIST)
            break;
    }
    if (descriptor_ < 0)
        error_ = lastError();
}

TemporaryFile::~TemporaryFile() {
    if (descriptor_ >= 0)
        ::close(descriptor_);
    if (!error_ && !renamed_)
        ::unlinkat(folder_, name_.c_str(), 0);
}

// Each close of a descriptor of the file reports what the file system's flush reports.
std::error_code TemporaryFile::flush() const {
    const int copy = ::fcntl(descriptor_, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return lastError();
    return ::close(copy) == 0 ? std::error_code() : lastError();
}

std::error_code TemporaryFile::renameOver(const std::string& target) {
    if (::renameat(folder_, name_.c_str(), folder_, target.c_str()) != 0)
        return lastError();
    renamed_ = true;
    return {};
}

// A file system that renames only over what is there (NFS) takes a link instead, which
// never replaces; the destructor removes the temporary name.
std::error_code TemporaryFile::renameAsNew(const std::string& target) {
    if (::renameat2(folder_, name_.c_str(), folder_, target.c_str(), RENAME_NOREPLACE) == 0) {
        renamed_ = true;
        return {};
    }
    if (errno != EINVAL)
        return lastError();
    return ::linkat(folder_, name_.c_str(), folder_, target.c_str(), 0) == 0 ? std::error_code() : lastError();
}

} // namespace orvex
