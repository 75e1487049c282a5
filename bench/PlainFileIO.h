#pragma once
// The plain file I/O that load and save benchmarks are measured against:
// open(2) and read(2) or write(2) in as few calls as the kernel allows.

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>

// The whole file read into new memory from `allocate(size)`.
template <class Allocate>
bool plainRead(const std::filesystem::path& path, std::size_t size, Allocate allocate) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        return false;
    const auto buffer = allocate(size);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(descriptor, buffer.get() + done, size - done);
        if (got <= 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    ::close(descriptor);
    return done == size;
}

// `size` bytes written into a new file at `path`.
inline bool plainWrite(const std::filesystem::path& path, const char* bytes, std::size_t size) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (descriptor < 0)
        return false;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t put = ::write(descriptor, bytes + done, size - done);
        if (put <= 0)
            break;
        done += static_cast<std::size_t>(put);
    }
    return ::close(descriptor) == 0 && done == size;
}
