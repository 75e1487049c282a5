#pragma once
// The destination of an encoded image, written front to back in pieces: small
// ones (tags, counts, strings) encoded through a scratch buffer, large ones
// (variable values) handed over straight from where they are stored.

#include "orvex/data/MemStream.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvex {

class ByteSink {
public:
    virtual ~ByteSink() = default;

    // Appends `count` bytes; false when they cannot all be written.
    bool write(const void* bytes, std::size_t count) {
        if (!put(bytes, count))
            return false;
        written_ += count;
        return true;
    }
    // Bytes appended so far.
    std::uint64_t written() const { return written_; }

    // Encodes a piece of exactly `size` bytes with `fill(MemStream&) -> bool` in
    // `scratch` and appends it; false when `fill` fails or writes another size.
    template <typename Fill>
    bool writePiece(std::vector<char>& scratch, std::size_t size, Fill&& fill) {
        scratch.resize(size);
        MemStream piece(scratch.data(), static_cast<int>(size));
        return fill(piece) && static_cast<std::size_t>(piece.position()) == size && write(scratch.data(), size);
    }

private:
    virtual bool put(const void* bytes, std::size_t count) = 0;

    std::uint64_t written_ = 0;
};

// Fills buffer[0, capacity) and refuses bytes past its end.
class BufferSink : public ByteSink {
public:
    BufferSink(char* buffer, int capacity) : stream_(buffer, capacity) {}

private:
    bool put(const void* bytes, std::size_t count) override { return stream_.push_bytes(bytes, count); }

    MemStream stream_;
};

} // namespace orvex
