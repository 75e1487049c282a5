#pragma once
// An output stream buffer that appends to an open file descriptor.

#include "orvex/data/InterruptionCheck.h"

#include <cstddef>
#include <streambuf>

namespace orvex {

// Writes to a descriptor, retrying short and interrupted writes once `interrupted` (when
// given) lets them go on; blocks of at least its own size go to the descriptor directly.
// Remembers why a write failed.
class DescriptorStreamBuffer : public std::streambuf {
public:
    explicit DescriptorStreamBuffer(int descriptor, InterruptionCheck interrupted = {});

    // Writes `count` bytes straight to the descriptor, after what is buffered.
    bool writeDirectly(const char* data, std::size_t count) { return flush() && writeAll(data, count); }

    // The errno of the write that failed; 0 while none has.
    int error() const { return error_; }

protected:
    int overflow(int c) override;
    int sync() override;
    std::streamsize xsputn(const char* data, std::streamsize count) override;

private:
    bool flush();
    bool writeAll(const char* next, std::size_t count);
    bool goesOn();

    int descriptor_;
    InterruptionCheck interrupted_;
    int error_ = 0;
    char buffer_[64 * 1024];
};

} // namespace orvex
