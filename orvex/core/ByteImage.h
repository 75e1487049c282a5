#pragma once
// A read-only image of one byte per pixel, such as a selection mask.

namespace orvex {

// The byte of pixel (column i, row j) lies at data + j * stride + i.
struct ByteImage {
    int width = 0;
    int height = 0;
    int stride = 0;
    const unsigned char* data = nullptr;

    unsigned char at(int column, int row) const { return data[row * stride + column]; }
};

} // namespace orvex
