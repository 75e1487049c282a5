#include "orvex/data/MemStream.h"

#include "orvex/core/Utf.h"

#include <cstring>
#include <utility>

namespace orvex {

namespace {

constexpr std::uint32_t kEmptyStringCount = 0xFFFFFFFFu;

// No room at all without a buffer or with a negative capacity.
int usableCapacity(const char* buffer, int capacity) { return buffer && capacity > 0 ? capacity : 0; }

} // namespace

MemStream::MemStream(char* buffer, int capacity, bool ownsBuffer)
    : buffer_(buffer), capacity_(usableCapacity(buffer, capacity)), ownsBuffer_(ownsBuffer), writable_(true) {}

MemStream::MemStream(const char* buffer, int capacity)
    : buffer_(const_cast<char*>(buffer)), capacity_(usableCapacity(buffer, capacity)) {}

MemStream::MemStream(MemStream&& other) noexcept
    : buffer_(std::exchange(other.buffer_, nullptr)), capacity_(std::exchange(other.capacity_, 0)),
      position_(std::exchange(other.position_, 0)), ownsBuffer_(std::exchange(other.ownsBuffer_, false)),
      writable_(std::exchange(other.writable_, false)) {}

MemStream& MemStream::operator=(MemStream&& other) noexcept {
    if (this != &other) {
        release();
        buffer_ = std::exchange(other.buffer_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
        position_ = std::exchange(other.position_, 0);
        ownsBuffer_ = std::exchange(other.ownsBuffer_, false);
        writable_ = std::exchange(other.writable_, false);
    }
    return *this;
}

MemStream::~MemStream() { release(); }

void MemStream::release() {
    if (ownsBuffer_)
        delete[] buffer_;
    buffer_ = nullptr;
    ownsBuffer_ = false;
}

bool MemStream::push_bytes(const void* bytes, std::size_t count) {
    if (!writable_ || count > remaining())
        return false;
    if (count > 0)
        std::memcpy(buffer_ + position_, bytes, count);
    position_ += static_cast<int>(count);
    return true;
}

bool MemStream::pop_bytes(void* bytes, std::size_t count) {
    if (count > remaining())
        return false;
    if (count > 0)
        std::memcpy(bytes, buffer_ + position_, count);
    position_ += static_cast<int>(count);
    return true;
}

bool MemStream::push_u32(std::uint32_t value) {
    const unsigned char bytes[4] = {static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
                                    static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    return push_bytes(bytes, sizeof bytes);
}

bool MemStream::pop_u32(std::uint32_t& value) {
    unsigned char bytes[4];
    if (!pop_bytes(bytes, sizeof bytes))
        return false;
    value = std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 | bytes[3];
    return true;
}

bool MemStream::push_string(const std::string& text) {
    const std::u16string units = utfStrToU16(text);
    if (units.empty())
        return push_u32(kEmptyStringCount);
    const std::size_t byteCount = 2 * units.size();
    if (!push_u32(static_cast<std::uint32_t>(byteCount)) || byteCount > remaining())
        return false;
    for (char16_t unit : units) {
        const unsigned char bytes[2] = {static_cast<unsigned char>(unit >> 8), static_cast<unsigned char>(unit)};
        if (!push_bytes(bytes, sizeof bytes))
            return false;
    }
    return true;
}

std::size_t MemStream::stringSize(const std::string& text) { return 4 + 2 * utfStrToU16(text).size(); }

bool MemStream::pop_string(std::string& text) {
    std::uint32_t byteCount = 0;
    if (!pop_u32(byteCount))
        return false;
    text.clear();
    if (byteCount == kEmptyStringCount)
        return true;
    if (byteCount % 2 != 0)
        return false;
    // Bounded by the bytes present before anything is allocated; a string cut short
    // consumes the whole units that are present, as reading unit by unit would.
    if (byteCount > remaining()) {
        position_ += static_cast<int>(remaining() & ~std::size_t{1});
        return false;
    }
    std::u16string units(byteCount / 2, u'\0');
    for (char16_t& unit : units) {
        unsigned char bytes[2];
        pop_bytes(bytes, sizeof bytes);
        unit = static_cast<char16_t>(bytes[0] << 8 | bytes[1]);
    }
    text = utf16ToStr(units);
    return true;
}

} // namespace orvex
