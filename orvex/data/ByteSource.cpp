#include "orvex/data/ByteSource.h"

#include "orvex/data/MemStream.h"

#include <cstring>
#include <vector>

namespace orvex {

namespace {

constexpr std::uint32_t kEmptyStringCount = 0xFFFFFFFFu;

} // namespace

// Whether fewer than `count` bytes remain; the first such request is noted.
bool ByteSource::refuseShort(std::uint64_t count) {
    if (count <= remaining())
        return false;
    if (unmetEnd_ == 0)
        unmetEnd_ = position_ + count;
    return true;
}

bool ByteSource::read(void* bytes, std::size_t count) {
    if (refuseShort(count) || !get(bytes, count))
        return false;
    position_ += count;
    return true;
}

bool ByteSource::pop_u32(std::uint32_t& value) {
    unsigned char bytes[4];
    if (!read(bytes, sizeof bytes))
        return false;
    value = std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 | bytes[3];
    return true;
}

bool ByteSource::pop_string(std::string& text) {
    std::uint32_t byteCount = 0;
    if (!pop_u32(byteCount))
        return false;
    // The count and the units it announces, decoded as one piece by MemStream.
    const std::size_t unitBytes = byteCount == kEmptyStringCount ? 0 : byteCount;
    if (refuseShort(unitBytes))
        return false;
    std::vector<char> piece(4 + unitBytes);
    MemStream(piece.data(), 4).push_u32(byteCount);
    if (!read(piece.data() + 4, unitBytes))
        return false;
    MemStream stream(static_cast<const char*>(piece.data()), static_cast<int>(piece.size()));
    return stream.pop_string(text);
}

BufferSource::BufferSource(const char* buffer, int length)
    : ByteSource(buffer && length > 0 ? static_cast<std::uint64_t>(length) : 0), next_(buffer) {}

bool BufferSource::get(void* bytes, std::size_t count) {
    if (count > 0)
        std::memcpy(bytes, next_, count);
    next_ += count;
    return true;
}

} // namespace orvex
