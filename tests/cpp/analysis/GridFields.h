#pragma once
// Reference positions, displacements and blanking of a small planar or curved grid,
// filled from closed-form fields, for the strain and smoothing tests.

#include "orvex/core/Vector.h"

#include <functional>
#include <vector>

struct GridFields {
    int columns;
    int rows;
    std::vector<float> X, Y, Z, U, V, W, blanking;

    // Reference position of (row, column) from `position`, displacement from `displacement`
    // of that position; every point valid.
    GridFields(int columns_, int rows_, const std::function<orvex::Vector3(int row, int column)>& position,
               const std::function<orvex::Vector3(const orvex::Vector3&)>& displacement)
        : columns(columns_), rows(rows_) {
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < columns; ++c) {
                const orvex::Vector3 p = position(r, c);
                const orvex::Vector3 d = displacement(p);
                X.push_back(float(p.x)), Y.push_back(float(p.y)), Z.push_back(float(p.z));
                U.push_back(float(d.x)), V.push_back(float(d.y)), W.push_back(float(d.z));
                blanking.push_back(0.5f);
            }
    }

    int size() const { return columns * rows; }
    int index(int row, int column) const { return row * columns + column; }
};

// A planar grid with X growing along a row and Y down a column, spacing `step`.
inline std::function<orvex::Vector3(int, int)> planarGrid(double step = 0.5) {
    return [step](int r, int c) { return orvex::Vector3(c * step, r * step, 0.0); };
}
