#pragma once
// A one-dimensional array of any element type; its only state is the standard
// vector it derives from.

#include <cstddef>
#include <vector>

namespace orvex {

template <typename T>
class Array1 : public std::vector<T> {
public:
    using std::vector<T>::vector;
    Array1() = default;

    // n default-constructed elements (zeros for numbers). A negative n throws
    // std::length_error, as resizing a vector beyond its maximum size does.
    explicit Array1(int n) { this->resize(static_cast<std::size_t>(n)); }
};

} // namespace orvex
