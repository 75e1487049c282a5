// Statistics, coordinate sets and triangulation of an area.
#include "orvex/data/ZelDataPrivate.h"

#include <cmath>
#include <functional>
#include <limits>

namespace orvex {

namespace {

// Index of the valid point whose value of variable `var` beats every other by
// `better` (earliest on ties), starting from `start`; -1 when none does. The
// callers start beyond every finite float, so that valid values beyond +-1e32
// still count. Without the variable or a blanking variable `value` is untouched.
template <class Better>
int findExtremeIndex(const ZelData::Private& d, int var, int pointCount, float start, float& value, Better better) {
    const float* values = d.values(var);
    const float* blanking = d.blanking();
    if (!d.variable(var) || !blanking)
        return -1;
    if (!values)
        pointCount = 0;
    float best = start;
    int index = -1;
    for (int p = 0; p < pointCount; ++p) {
        if (isValidPoint(blanking[p]) && better(values[p], best)) {
            best = values[p];
            index = p;
        }
    }
    value = best;
    return index;
}

} // namespace

bool ZelData::Private::griddedPixelGrid(const float*& x, const float*& y, const float*& blankingValues) const {
    if (dataType != GriddedDataType)
        return false;
    const float* blankingFound = blanking();
    const float* xFound = values(findTyped(PixelCoordinate, "x"));
    const float* yFound = values(findTyped(PixelCoordinate, "y"));
    if (!blankingFound || !xFound || !yFound)
        return false;
    x = xFound;
    y = yFound;
    blankingValues = blankingFound;
    return true;
}

int ZelData::findMaxIndex(int var, float& value) const {
    return findExtremeIndex(*d, var, matrixSize(), std::numeric_limits<float>::lowest(), value, std::greater<float>());
}

int ZelData::findMinIndex(int var, float& value) const {
    return findExtremeIndex(*d, var, matrixSize(), std::numeric_limits<float>::max(), value, std::less<float>());
}

bool ZelData::calculateRange(int var, float& min, float& max) const {
    min = std::numeric_limits<float>::max();
    max = std::numeric_limits<float>::lowest();
    const float* values = d->values(var);
    const float* blanking = d->blanking();
    if (!values || !blanking)
        return false;
    bool found = false;
    const int pointCount = matrixSize();
    for (int p = 0; p < pointCount; ++p) {
        if (!isValidPoint(blanking[p]))
            continue;
        found = true;
        if (values[p] < min)
            min = values[p];
        if (values[p] > max)
            max = values[p];
    }
    return found;
}

bool ZelData::copyValidDataInto(std::vector<double>& out, int a, int b) {
    const float* valuesA = d->values(a);
    const float* valuesB = d->values(b);
    const float* blanking = d->blanking();
    if (!valuesA || !blanking)
        return false;
    const int pointCount = matrixSize();
    for (int p = 0; p < pointCount; ++p) {
        if (isValidPoint(blanking[p]))
            out.push_back(valuesB ? valuesA[p] + valuesB[p] : valuesA[p]);
    }
    return true;
}

double ZelData::stddev(int k, std::vector<int> vars) {
    const float* values = d->values(vars.at(static_cast<std::size_t>(k)));
    const int n = matrixSize();
    if (n <= 0 || !values)
        return 0.0;
    double sum = 0.0;
    for (int p = 0; p < n; ++p)
        sum += values[p];
    const double mean = sum / n;
    double squares = 0.0;
    for (int p = 0; p < n; ++p)
        squares += (values[p] - mean) * (values[p] - mean);
    return std::sqrt(squares / (n - 1));
}

bool ZelData::extractAllValidIndexes(std::vector<int>& out) const {
    const float *x, *y, *blanking;
    if (!d->griddedPixelGrid(x, y, blanking))
        return false;
    out.clear();
    const int pointCount = matrixSize();
    for (int p = 0; p < pointCount; ++p)
        if (isValidPoint(blanking[p]))
            out.push_back(p);
    return true;
}

bool ZelData::coordinateVariableIdxs(int& x, int& y, int& z, int& u, int& v, int& w) const {
    // Sets x, y, u, v to the named variables of the two types; true when all four exist.
    auto findPlanarSet = [&](ZelDataVariableType positionType, ZelDataVariableType displacementType,
                             const char* xName, const char* yName, const char* uName, const char* vName) {
        x = findVariable(positionType, xName);
        y = findVariable(positionType, yName);
        u = findVariable(displacementType, uName);
        v = findVariable(displacementType, vName);
        return x >= 0 && y >= 0 && u >= 0 && v >= 0;
    };
    z = findVariable(GlobalCoordinate, "Z");
    w = findVariable(GlobalDisplacement, "W");
    if (findPlanarSet(GlobalCoordinate, GlobalDisplacement, "X", "Y", "U", "V") && z >= 0 && w >= 0)
        return true;
    z = w = -1;
    if (findPlanarSet(GlobalCoordinate, GlobalDisplacement, "x_c", "y_c", "u_c", "v_c") ||
        findPlanarSet(PixelCoordinate, PixelDisplacement, "x", "y", "u", "v"))
        return true;
    x = y = u = v = -1;
    return false;
}

bool ZelData::coordinateVariablePointers(float*& x, float*& y, float*& z, float*& u, float*& v, float*& w,
                                         float* fallback) const {
    x = y = z = u = v = w = nullptr;
    int ix, iy, iz, iu, iv, iw;
    if (!coordinateVariableIdxs(ix, iy, iz, iu, iv, iw))
        return false;
    auto values = [this](int i) { return data(static_cast<std::size_t>(i)); };
    x = values(ix);
    y = values(iy);
    u = values(iu);
    v = values(iv);
    const bool planar = iz < 0 || iw < 0;
    z = planar ? fallback : values(iz);
    w = planar ? fallback : values(iw);
    return true;
}

CsDataSystemType ZelData::currentDataType() const {
    int x, y, z, u, v, w;
    return coordinateVariableIdxs(x, y, z, u, v, w) && z >= 0 && w >= 0 ? Type3d : Type2d;
}

int* ZelData::triangulation(int& count, int subSampling) const {
    count = 0;
    const float *x, *y, *blanking;
    if (!d->griddedPixelGrid(x, y, blanking) || subSampling < 1)
        return nullptr;
    const int s = subSampling;
    const int sampledColumns = d->columns / s;
    const int sampledRows = d->rows / s;
    if (sampledRows < 2 || sampledColumns < 2)
        return nullptr;
    std::unique_ptr<int[]> triangles(
        new int[std::size_t{6} * static_cast<std::size_t>(sampledColumns - 1) * static_cast<std::size_t>(sampledRows - 1)]);
    int* next = triangles.get();
    auto emit = [&](int a, int b, int c) {
        *next++ = a;
        *next++ = b;
        *next++ = c;
        ++count;
    };
    for (int i = 0; i + 1 < sampledRows; ++i) {
        for (int j = 0; j + 1 < sampledColumns; ++j) {
            const int tl = i * s * d->columns + j * s;
            const int tr = tl + s;
            const int bl = tl + s * d->columns;
            const int br = bl + s;
            const bool vtl = isValidPoint(blanking[tl]), vtr = isValidPoint(blanking[tr]);
            const bool vbl = isValidPoint(blanking[bl]), vbr = isValidPoint(blanking[br]);
            if (vtl && vtr && vbl && vbr) {
                emit(tl, tr, bl);
                emit(tr, br, bl);
            } else if (vtl && vtr && vbl != vbr) {
                emit(tl, tr, vbl ? bl : br);
            } else if (vbl && vbr && vtl != vtr) {
                emit(br, bl, vtl ? tl : tr);
            }
        }
    }
    if (count == 0)
        return nullptr;
    return triangles.release();
}

} // namespace orvex
