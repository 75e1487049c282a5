#pragma once
// A view over the code points of a UTF-8 string, decoded leniently.

#include <cstddef>
#include <iterator>
#include <string>

namespace orvex {

// Iterates the code points of a string up to the first place where decoding
// fails (a 0 byte, an invalid sequence or the end). The string must outlive the
// view and its iterators.
class UtfCharsIterable {
public:
    // A position in the byte range and the end it may decode up to.
    class ConstIterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = char32_t;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = char32_t;

        ConstIterator(const char* position, const char* end) : position_(position), end_(end) {}

        // Equal positions compare equal; the ends are not compared.
        bool operator==(const ConstIterator& other) const { return position_ == other.position_; }
        bool operator!=(const ConstIterator& other) const { return !(*this == other); }

        // The code point at the position, or 0 when nothing decodes there.
        char32_t operator*() const;
        // Moves past one code point; stays where decoding fails.
        ConstIterator& operator++();
        ConstIterator operator++(int);
        // A copy moved by up to n steps, stopping at the end; n <= 0 moves nothing.
        ConstIterator operator+(int n) const;

    private:
        const char* position_;
        const char* end_;
    };

    explicit UtfCharsIterable(const std::string& text) : text_(&text) {}

    ConstIterator begin() const;
    // Where decoding the whole string first fails, not necessarily its end.
    ConstIterator end() const;

private:
    const std::string* text_;
};

} // namespace orvex
