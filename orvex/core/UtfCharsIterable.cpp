#include "orvex/core/UtfCharsIterable.h"

#include "orvex/core/Utf.h"

namespace orvex {

char32_t UtfCharsIterable::ConstIterator::operator*() const {
    const char* position = position_;
    return utfCharFromRowData(position, end_).value_or(0);
}

UtfCharsIterable::ConstIterator& UtfCharsIterable::ConstIterator::operator++() {
    utfCharFromRowData(position_, end_);
    return *this;
}

UtfCharsIterable::ConstIterator UtfCharsIterable::ConstIterator::operator++(int) {
    ConstIterator before = *this;
    ++*this;
    return before;
}

UtfCharsIterable::ConstIterator UtfCharsIterable::ConstIterator::operator+(int n) const {
    ConstIterator moved = *this;
    for (int step = 0; step < n && moved.position_ != moved.end_; ++step)
        ++moved;
    return moved;
}

UtfCharsIterable::ConstIterator UtfCharsIterable::begin() const {
    const char* first = text_->data();
    return ConstIterator(first, first + text_->size());
}

UtfCharsIterable::ConstIterator UtfCharsIterable::end() const {
    const char* first = text_->data();
    const char* validEnd = utfFindRowDataEnd(first, first + text_->size());
    return ConstIterator(validEnd, validEnd);
}

} // namespace orvex
