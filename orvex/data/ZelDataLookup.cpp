// Value lookups and interpolation at image positions.
#include "orvex/data/ZelDataPrivate.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

namespace orvex {

namespace {

// A located grid cell: its corners 00, 01, 10, 11 with validity and weights.
struct Cell {
    std::array<int, 4> corners{};
    std::array<bool, 4> valid{};
    std::array<float, 4> weights{};
};

// Finds the cell holding (px, py) by the pixel coordinates of column 0 (rows) and
// row 0 (columns), then weights its corners. T is float, or double for positions
// compared against the float grid widened to double.
template <class T>
bool locateCell(const ZelData::Private& d, const float* x, const float* y, const float* blanking, T px, T py,
                Cell& cell) {
    const int columns = d.columns;
    if (d.rows < 2 || columns < 2)
        return false;
    int row = -1;
    for (int r = 0; r + 1 < d.rows && row < 0; ++r)
        if (T(y[r * columns]) <= py && py <= T(y[(r + 1) * columns]))
            row = r;
    int column = -1;
    for (int c = 0; c + 1 < columns && column < 0; ++c)
        if (T(x[c]) <= px && px <= T(x[c + 1]))
            column = c;
    if (row < 0 || column < 0)
        return false;
    const int index = row * columns + column;
    const float s = static_cast<float>((px - T(x[index])) / T(x[index + 1] - x[index]));
    const float t = static_cast<float>((py - T(y[index])) / T(y[index + columns] - y[index]));
    cell.corners = {index, index + 1, index + columns, index + columns + 1};
    for (std::size_t k = 0; k < 4; ++k)
        cell.valid[k] = isValidPoint(blanking[cell.corners[k]]);
    // A cell of zero width or height (0 / 0) or unbounded coordinates give no usable weights.
    return ZelData::ipol_coeff(cell.weights[0], cell.weights[1], cell.weights[2], cell.weights[3], s, t,
                               cell.valid[0], cell.valid[1], cell.valid[2], cell.valid[3]) &&
           std::all_of(cell.weights.begin(), cell.weights.end(), [](float w) { return std::isfinite(w); });
}

// Locates the cell through the gridded pixel coordinates "x" and "y".
template <class T>
bool locatePixelCell(const ZelData::Private& d, T px, T py, Cell& cell) {
    const float *x, *y, *blanking;
    return d.griddedPixelGrid(x, y, blanking) && locateCell(d, x, y, blanking, px, py, cell);
}

// Weighted sum over the valid corners, in corner order; invalid corners are not read.
float interpolate(const float* values, const Cell& cell) {
    float sum = 0.0f;
    for (std::size_t k = 0; k < 4; ++k)
        if (cell.valid[k])
            sum += values[cell.corners[k]] * cell.weights[k];
    return sum;
}

// Means of the named variables over the valid points p with inside(p); false when a
// name is unknown or no point counts (`out` then holds zeros).
template <class Inside>
bool averageOver(const ZelData& area, const float* blanking, const std::vector<std::string>& names, Vector& out,
                 Inside inside) {
    out.assign(names.size(), 0.0);
    std::vector<const float*> variables;
    for (const std::string& name : names) {
        float* values = nullptr;
        if (!area.findVariable(name, values))
            return false;
        variables.push_back(values);
    }
    std::size_t count = 0; // exact at any size, where a float count would stop at 2^24
    const int pointCount = area.matrixSize();
    for (int p = 0; p < pointCount; ++p) {
        if (!isValidPoint(blanking[p]) || !inside(p))
            continue;
        for (std::size_t i = 0; i < variables.size(); ++i)
            out[i] += static_cast<double>(variables[i][p]);
        ++count;
    }
    if (count == 0)
        return false;
    for (double& mean : out)
        mean /= static_cast<double>(count);
    return true;
}

} // namespace

bool ZelData::ipol_coeff(float& w00, float& w01, float& w10, float& w11, float s, float t, bool valid00,
                         bool valid01, bool valid10, bool valid11) {
    auto set = [&](float a, float b, float c, float e) {
        w00 = a;
        w01 = b;
        w10 = c;
        w11 = e;
        return true;
    };
    if (valid00 && valid01 && valid10 && valid11) {
        const double sComplement = 1.0 - static_cast<double>(s);
        return set(static_cast<float>(static_cast<double>(1.0f - t) * sComplement), s * (1.0f - t),
                   static_cast<float>(static_cast<double>(t) * sComplement), s * t);
    }
    const float sc = 1.0f - s;
    const float tc = 1.0f - t;
    if (valid00 && valid01 && valid10 && !valid11)
        return s + t <= 1.0 && set(sc - t, s, t, 0.0f);
    if (valid00 && valid01 && !valid10 && valid11)
        return sc + t <= 1.0 && set(sc, (1.0f - sc) - t, 0.0f, t);
    if (valid00 && !valid01 && valid10 && valid11)
        return s + tc <= 1.0 && set(tc, 0.0f, sc - tc, s);
    if (!valid00 && valid01 && valid10 && valid11)
        return sc + tc <= 1.0 && set(0.0f, tc, sc, (1.0f - sc) - tc);
    return false;
}

bool ZelData::lookupXYZ(float x, float y, float& X, float& Y, float& Z, CsDataSystemType cs) const {
    const float* blanking = d->blanking();
    float *pixelX = nullptr, *pixelY = nullptr, *worldX = nullptr, *worldY = nullptr, *worldZ = nullptr;
    const bool found =
        cs == Type3d
            ? findVariable(PixelCoordinate, "x", pixelX) && findVariable(PixelCoordinate, "y", pixelY) &&
                  findVariable(GlobalCoordinate, "X", worldX) && findVariable(GlobalCoordinate, "Y", worldY) &&
                  findVariable(GlobalCoordinate, "Z", worldZ)
            : findVariable("x", pixelX) && findVariable("y", pixelY) && findVariable("x_c", worldX) &&
                  findVariable("y_c", worldY);
    Cell cell;
    if (d->dataType != GriddedDataType || !found || !blanking ||
        !locateCell(*d, pixelX, pixelY, blanking, x, y, cell))
        return false;
    X = interpolate(worldX, cell);
    Y = interpolate(worldY, cell);
    Z = worldZ ? interpolate(worldZ, cell) : 0.0f;
    return true;
}

bool ZelData::lookupUVW(float x, float y, float& U, float& V, float& W) const {
    float *u = nullptr, *v = nullptr, *w = nullptr;
    Cell cell;
    if (!findVariable(GlobalDisplacement, "U", u) || !findVariable(GlobalDisplacement, "V", v) ||
        !findVariable(GlobalDisplacement, "W", w) || !locatePixelCell(*d, x, y, cell))
        return false;
    U = interpolate(u, cell);
    V = interpolate(v, cell);
    W = interpolate(w, cell);
    return true;
}

bool ZelData::lookupVar(float x, float y, int var, float& value) const {
    const float* values = d->values(var);
    Cell cell;
    if (!values || !locatePixelCell(*d, x, y, cell))
        return false;
    value = interpolate(values, cell);
    return true;
}

bool ZelData::lookupVar(float x, float y, const std::string& name, float& value) const {
    const int var = varIndex(name);
    return var >= 0 && lookupVar(x, y, var, value);
}

bool ZelData::lookupVariables(float x, float y, const std::vector<std::string>& names,
                              std::vector<float>& out) const {
    Cell cell;
    if (!locatePixelCell(*d, x, y, cell))
        return false;
    out.resize(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        float* values = nullptr;
        if (!findVariable(names[i], values))
            return false;
        out[i] = interpolate(values, cell);
    }
    return true;
}

bool ZelData::extractPoint(std::vector<float>& out, const Vector2& p) const {
    const float *x, *y, *blanking;
    if (!d->griddedPixelGrid(x, y, blanking))
        return false;
    out.assign(numVariables(), std::numeric_limits<float>::infinity());
    Cell cell;
    if (!locateCell(*d, x, y, blanking, p.x, p.y, cell))
        return false;
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = interpolate(data(i), cell);
    return true;
}

bool ZelData::lookupVariableAverage(float x0, float y0, float x1, float y1, const std::vector<std::string>& names,
                                    Vector& out) const {
    const float *x, *y, *blanking;
    if (!d->griddedPixelGrid(x, y, blanking))
        return false;
    return averageOver(*this, blanking, names, out,
                       [&](int p) { return x0 <= x[p] && x[p] <= x1 && y0 <= y[p] && y[p] <= y1; });
}

bool ZelData::lookupVariableAverage(float x, float y, float radius, const std::vector<std::string>& names,
                                    Vector& out) const {
    const float *px, *py, *blanking;
    if (!d->griddedPixelGrid(px, py, blanking) || matrixSize() <= 0)
        return false;
    const int last = matrixSize() - 1;
    if (!(px[0] <= x && x <= px[last] && py[0] <= y && y <= py[last]))
        return false;
    const float radiusSquared = radius * radius;
    return averageOver(*this, blanking, names, out, [&](int p) {
        const float dx = px[p] - x;
        const float dy = py[p] - y;
        return radiusSquared > dx * dx + dy * dy;
    });
}

bool pointInTriangle(float& l1, float& l2, float& l3, float px, float py, float x1, float y1, float x2, float y2,
                     float x3, float y3) {
    const float denominator = (y1 - y3) * (x3 - x2) + (y2 - y3) * (x1 - x3);
    if (denominator == 0.0f)
        return false;
    l1 = ((y2 - y3) * (px - x3) + (x3 - x2) * (py - y3)) / denominator;
    l2 = ((y3 - y1) * (px - x3) + (x1 - x3) * (py - y3)) / denominator;
    l3 = 1.0f - l1 - l2;
    auto inside = [](float l) { return static_cast<double>(l) >= -1e-8 && static_cast<double>(l) <= 1.00000001; };
    return inside(l1) && inside(l2) && inside(l3);
}

bool interpolateCell(const ZelData& area, std::vector<float>& out, bool deformed, int tl, int tr, int bl, int br,
                     float x, float y, const CellArrays& arrays) {
    const std::array<int, 4> corners = {tl, tr, bl, br};
    std::array<bool, 4> valid{};
    std::array<float, 4> cornerX{}, cornerY{};
    float minX = std::numeric_limits<float>::max(), minY = minX;
    float maxX = std::numeric_limits<float>::lowest(), maxY = maxX;
    int validCount = 0;
    for (std::size_t k = 0; k < 4; ++k) {
        const int p = corners[k];
        valid[k] = isValidPoint(arrays.blanking[p]);
        if (!valid[k])
            continue;
        ++validCount;
        cornerX[k] = deformed ? arrays.x[p] + arrays.u[p] : arrays.x[p];
        cornerY[k] = deformed ? arrays.y[p] + arrays.v[p] : arrays.y[p];
        minX = std::min(minX, cornerX[k]);
        maxX = std::max(maxX, cornerX[k]);
        minY = std::min(minY, cornerY[k]);
        maxY = std::max(maxY, cornerY[k]);
    }
    if (validCount < 3 || !(minX <= x && x <= maxX && minY <= y && y <= maxY))
        return false;

    // Corner positions in `corners` of the triangles, tried in this order.
    static constexpr std::array<std::array<std::size_t, 3>, 4> triangles = {
        {{0, 1, 2}, {0, 1, 3}, {0, 3, 2}, {1, 3, 2}}};
    for (const auto& [a, b, c] : triangles) {
        float l1, l2, l3;
        if (!valid[a] || !valid[b] || !valid[c] ||
            !pointInTriangle(l1, l2, l3, x, y, cornerX[a], cornerY[a], cornerX[b], cornerY[b], cornerX[c],
                             cornerY[c]))
            continue;
        out.resize(area.numVariables());
        for (std::size_t i = 0; i < out.size(); ++i) {
            const float* values = area.data(i);
            out[i] = (values[corners[a]] * l1 + values[corners[b]] * l2) + values[corners[c]] * l3;
        }
        return true;
    }
    return false;
}

int interpolateFirstCell(const ZelData& area, std::vector<float>& out, bool deformed, float x, float y,
                         const CellArrays& arrays) {
    const int rows = area.numRows();
    const int columns = area.numColumns();
    for (int r = 0; r + 1 < rows; ++r) {
        for (int c = 0; c + 1 < columns; ++c) {
            const int tl = r * columns + c;
            if (interpolateCell(area, out, deformed, tl, tl + 1, tl + columns, tl + columns + 1, x, y, arrays))
                return tl;
        }
    }
    return -1;
}

std::optional<Vector2> ZelData::deformedToReference(const Vector2& p) const {
    const float* blanking = d->blanking();
    float *x = nullptr, *y = nullptr, *u = nullptr, *v = nullptr;
    if (!blanking || !findVariable(PixelCoordinate, "x", x) || !findVariable(PixelCoordinate, "y", y) ||
        !findVariable(PixelDisplacement, "u", u) || !findVariable(PixelDisplacement, "v", v))
        return std::nullopt;
    // The answer is read from the variables named "x" and "y" (a description alone does not do).
    const int xIndex = varIndex("x");
    const int yIndex = varIndex("y");
    if (xIndex < 0 || yIndex < 0)
        return std::nullopt;
    const CellArrays arrays{blanking, x, y, u, v};
    std::vector<float> values;
    if (interpolateFirstCell(*this, values, true, static_cast<float>(p.x), static_cast<float>(p.y), arrays) < 0)
        return std::nullopt;
    return Vector2(values[static_cast<std::size_t>(xIndex)], values[static_cast<std::size_t>(yIndex)]);
}

} // namespace orvex
