#pragma once
// The plain file I/O that load and save benchmarks are measured against:
// open(2) and read(2) or write(2) in as few calls as the kernel allows.

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>

// Moves `size` bytes with transfer(descriptor, bytes + done, size - done), which
// returns what it moved like read(2) and write(2); false when it stops short.
template <class Byte, class Transfer>
bool transferAll(int descriptor, Byte* bytes, std::size_t size, Transfer transfer) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t moved = transfer(descriptor, bytes + done, size - done);
        if (moved <= 0)
            return false;
        done += static_cast<std::size_t>(moved);
    }
    return true;
}

// The whole file read into new memory from `allocate(size)`.
template <class Allocate>
bool plainRead(const std::filesystem::path& path, std::size_t size, Allocate allocate) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        return false;
    const auto buffer = allocate(size);
    const bool read = transferAll(descriptor, buffer.get(), size, ::read);
    return ::close(descriptor) == 0 && read;
}

// `size` bytes written into a new file at `path`.
inline bool plainWrite(const std::filesystem::path& path, const char* bytes, std::size_t size) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (descriptor < 0)
        return false;
    const bool written = transferAll(descriptor, bytes, size, ::write);
    return ::close(descriptor) == 0 && written;
}
