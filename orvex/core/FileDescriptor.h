#pragma once
// An owned file descriptor, closed with its owner.

#include <unistd.h>

#include <utility>

namespace orvex {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
    FileDescriptor(FileDescriptor&& other) noexcept : descriptor_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        reset(other.release());
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    // The descriptor; negative when none is held.
    int get() const { return descriptor_; }
    bool valid() const { return descriptor_ >= 0; }

    // Gives the descriptor up without closing it.
    int release() { return std::exchange(descriptor_, -1); }

    // Closes the descriptor held, if any, and holds `descriptor` instead.
    void reset(int descriptor = -1) {
        if (descriptor_ >= 0)
            ::close(descriptor_);
        descriptor_ = descriptor;
    }

private:
    int descriptor_ = -1;
};

} // namespace orvex
