#include "orvex/data/DescriptorStreamBuffer.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace orvex {

DescriptorStreamBuffer::DescriptorStreamBuffer(int descriptor, InterruptionCheck interrupted)
    : descriptor_(descriptor), interrupted_(std::move(interrupted)) {
    setp(buffer_, buffer_ + sizeof buffer_);
}

int DescriptorStreamBuffer::overflow(int c) {
    if (!flush())
        return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

int DescriptorStreamBuffer::sync() { return flush() ? 0 : -1; }

std::streamsize DescriptorStreamBuffer::xsputn(const char* data, std::streamsize count) {
    if (count < static_cast<std::streamsize>(sizeof buffer_))
        return std::streambuf::xsputn(data, count);
    return writeDirectly(data, static_cast<std::size_t>(count)) ? count : 0;
}

bool DescriptorStreamBuffer::flush() {
    if (!writeAll(pbase(), static_cast<std::size_t>(pptr() - pbase())))
        return false;
    setp(buffer_, buffer_ + sizeof buffer_);
    return true;
}

// After an interrupted or short write, as a signal leaves them, the check decides.
bool DescriptorStreamBuffer::writeAll(const char* next, std::size_t count) {
    while (count > 0) {
        const ssize_t written = ::write(descriptor_, next, count);
        if (written < 0 && errno == EINTR) {
            if (!goesOn())
                return false;
            continue;
        }
        if (written <= 0) {
            // A write of nothing would repeat forever.
            error_ = written < 0 ? errno : EIO;
            return false;
        }
        next += written;
        count -= static_cast<std::size_t>(written);
        if (count > 0 && !goesOn())
            return false;
    }
    return true;
}

bool DescriptorStreamBuffer::goesOn() {
    if (interrupted_ && interrupted_()) {
        error_ = EINTR;
        return false;
    }
    return true;
}

} // namespace orvex
