#pragma once
// An output stream buffer that appends to an open file descriptor.

#include <cstddef>
#include <streambuf>

namespace orvex {

// Writes to a descriptor, retrying short and interrupted writes; blocks of at least its
// own size go to the descriptor directly. Remembers why a write failed.
class DescriptorStreamBuffer : public std::streambuf {
public:
    explicit DescriptorStreamBuffer(int descriptor);

    // The errno of the write that failed; 0 while none has.
    int error() const { return error_; }

protected:
    int overflow(int c) override;
    int sync() override;
    std::streamsize xsputn(const char* data, std::streamsize count) override;

private:
    bool flush();
    bool writeAll(const char* next, std::size_t count);

    int descriptor_;
    int error_ = 0;
    char buffer_[64 * 1024];
};

} // namespace orvex
