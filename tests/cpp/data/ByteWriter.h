#pragma once
// Builds byte images for the decoder tests, independently of the encoder.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace orvex::testing {

struct ByteWriter {
    std::vector<char> bytes;

    ByteWriter& u32(std::uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(static_cast<char>(value >> shift));
        return *this;
    }
    ByteWriter& byte(char value) {
        bytes.push_back(value);
        return *this;
    }
    // The string form: byte count, then big-endian UTF-16 units.
    ByteWriter& units(const std::u16string& text) {
        u32(text.empty() ? 0xFFFFFFFFu : static_cast<std::uint32_t>(2 * text.size()));
        for (char16_t unit : text) {
            bytes.push_back(static_cast<char>(unit >> 8));
            bytes.push_back(static_cast<char>(unit & 0xFF));
        }
        return *this;
    }
    // Little-endian floats as stored in area blocks.
    ByteWriter& floats(const std::vector<float>& values) {
        const std::size_t start = bytes.size();
        bytes.resize(start + 4 * values.size());
        std::memcpy(bytes.data() + start, values.data(), 4 * values.size());
        return *this;
    }
    int size() const { return static_cast<int>(bytes.size()); }
};

} // namespace orvex::testing
