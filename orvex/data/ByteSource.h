#pragma once
// The origin of an encoded image, read front to back in pieces: small ones (tags,
// counts, strings) and large ones (variable values) copied straight to where they
// are kept. Its size is known in advance, so every count read from it can be
// checked against the bytes that remain before anything is allocated.

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvex {

class ByteSource {
public:
    virtual ~ByteSource() = default;

    std::uint64_t size() const { return size_; }
    std::uint64_t position() const { return position_; }
    // Bytes between the position and the end.
    std::uint64_t remaining() const { return size_ - position_; }
    // Where the first read that found too few bytes would have ended; 0 when every
    // read found its bytes.
    std::uint64_t unmetEnd() const { return unmetEnd_; }

    // Copies the next `count` bytes; false when fewer remain or they cannot be read.
    bool read(void* bytes, std::size_t count);
    // A 32-bit value in big-endian byte order.
    bool pop_u32(std::uint32_t& value);
    // A string in the form MemStream reads; bounded by the bytes that remain.
    bool pop_string(std::string& text);

protected:
    explicit ByteSource(std::uint64_t size) : size_(size) {}

private:
    bool refuseShort(std::uint64_t count);
    // Copies the next `count` bytes, which are known to be within the size.
    virtual bool get(void* bytes, std::size_t count) = 0;

    std::uint64_t size_;
    std::uint64_t position_ = 0;
    std::uint64_t unmetEnd_ = 0;
};

// Reads buffer[0, length); a null buffer or a negative length reads as empty.
class BufferSource : public ByteSource {
public:
    BufferSource(const char* buffer, int length);

private:
    bool get(void* bytes, std::size_t count) override;

    const char* next_;
};

} // namespace orvex
