#pragma once
// A cursor over a byte buffer. Strings are stored as a big-endian 32-bit byte
// count followed by big-endian UTF-16 units; the empty string is the count
// 0xFFFFFFFF alone. Every read or write of n bytes requires position + n <= capacity;
// a null buffer or a negative capacity gives capacity 0.

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvex {

class MemStream {
public:
    // A stream that writes into (and reads from) buffer[0, capacity); with
    // `ownsBuffer` it releases the buffer (delete[]) when destroyed.
    MemStream(char* buffer, int capacity, bool ownsBuffer = false);
    // A read-only stream over the caller's bytes; every write fails.
    MemStream(const char* buffer, int capacity);
    MemStream(MemStream&& other) noexcept;
    MemStream& operator=(MemStream&& other) noexcept;
    MemStream(const MemStream&) = delete;
    MemStream& operator=(const MemStream&) = delete;
    ~MemStream();

    char* buffer() const { return buffer_; }
    int capacity() const { return capacity_; }
    int position() const { return position_; }
    bool ownsBuffer() const { return ownsBuffer_; }
    // Bytes between the position and the end.
    std::size_t remaining() const { return static_cast<std::size_t>(capacity_ - position_); }

    // Raw bytes at the position; false, with nothing moved, when they do not fit.
    bool push_bytes(const void* bytes, std::size_t count);
    bool pop_bytes(void* bytes, std::size_t count);
    // A 32-bit value in big-endian byte order.
    bool push_u32(std::uint32_t value);
    bool pop_u32(std::uint32_t& value);
    // The string form of UTF-8 text. On failure the position keeps the advance made.
    bool push_string(const std::string& text);
    bool pop_string(std::string& text);
    // Bytes that push_string writes for `text`.
    static std::size_t stringSize(const std::string& text);

private:
    void release();

    char* buffer_ = nullptr;
    int capacity_ = 0;
    int position_ = 0;
    bool ownsBuffer_ = false;
    bool writable_ = false;
};

} // namespace orvex
