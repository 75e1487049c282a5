#pragma once
// One area of interest: a grid of rows x columns points and a list of named,
// typed float variables holding one value per point.
//
// Point p = r * columns + c lies at row r, column c; every variable stores its
// values row by row. The blanking variable is the first variable of type
// Correlation: a point is valid when its blanking value is >= 0 (negative and NaN
// values mark it invalid). Operations that need validity fail without it.

#include "orvex/core/Vector.h"
#include "orvex/data/ZelDataTypes.h"
#include "orvex/data/ZelDataVarInfo.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvex {

class ByteSink;
class ByteSource;

class ZelData {
public:
    // The data type of the gridded form that every grid operation requires.
    static constexpr int GriddedDataType = 2;

    ZelData();
    // A grid of the given size with `variableCount` zero-filled variables of type
    // Unknown, without names or descriptions.
    ZelData(int columns, int rows, int variableCount, const std::string& title);
    ZelData(const ZelData& other);
    // Deep copy of variables, grid, title and data type; drops the search trees.
    ZelData& operator=(const ZelData& other);
    ~ZelData();

    // Removes every variable and empties grid and title; drops the search trees.
    void clear();

    int numRows() const;
    int numColumns() const;
    std::size_t numVariables() const;
    int matrixSize() const;
    int dataType() const;
    std::string title() const;

    // Attributes of variable i; empty strings and Unknown when i is out of range.
    std::string varName(int i) const;
    std::string varDescription(int i) const;
    ZelDataVariableType varType(int i) const;
    int varTypeInt(int i) const;

    // The matrixSize() values of variable i, owned by the area; null out of range.
    float* data(std::size_t i) const;
    std::vector<ZelDataVarInfo> variables() const;
    // Names the current list of variables: every change of the list (a variable added,
    // deleted, relabelled or moved, the area cleared or decoded) takes a stamp that no
    // area had before, and an assignment takes the source's. So while the stamp stays,
    // every index names the variable it named when the stamp was read.
    std::uint64_t variableListStamp() const;

    // Searches walk the list from index 0 and return the first match or -1.
    int varIndex(const std::string& name) const;
    int findVariable(const std::string& name) const;
    int varIndexFromDescription(const std::string& description) const;
    // Matches name, or failing that description; `out` untouched when none matches.
    bool findVariable(const std::string& nameOrDescription, float*& out) const;
    int findVariable(ZelDataVariableType type, const std::string& nameOrDescription) const;
    bool findVariable(ZelDataVariableType type, const std::string& nameOrDescription, float*& out) const;
    bool findBlankingVariable(float*& out) const;

    // Point index of the largest (smallest) valid value of variable `var`, or -1.
    int findMaxIndex(int var, float& value) const;
    int findMinIndex(int var, float& value) const;
    // Extremes of the valid values; false when there is none.
    bool calculateRange(int var, float& min, float& max) const;
    // Appends the valid values of a, or of a + b when variable b exists.
    bool copyValidDataInto(std::vector<double>& out, int a, int b);
    // Sample standard deviation of all values of variable vars[k].
    double stddev(int k, std::vector<int> vars);
    bool extractAllValidIndexes(std::vector<int>& out) const;

    // Indexes of the first complete coordinate set: stereo (X Y Z / U V W), planar
    // world (x_c y_c / u_c v_c) or pixel (x y / u v); z and w are -1 unless stereo.
    bool coordinateVariableIdxs(int& x, int& y, int& z, int& u, int& v, int& w) const;
    // The same as value arrays; z and w point at `fallback` when the set is planar.
    bool coordinateVariablePointers(float*& x, float*& y, float*& z, float*& u, float*& v, float*& w,
                                    float* fallback) const;
    CsDataSystemType currentDataType() const;

    // Triangles over every `subSampling`-th row and column as vertex index triples;
    // the array (3 * count ints) belongs to the caller (delete[]); null when none.
    int* triangulation(int& count, int subSampling) const;

    // `name` and `description`, each made unique with "_n" and " (n)" suffixes.
    std::pair<std::string, std::string> findUniqueNameAndDescription(const std::string& name,
                                                                     const std::string& description) const;
    // Appends a zero-filled variable with unique name and description; returns its index.
    int addVariable(ZelDataVariableType type, const std::string& name, const std::string& description);
    int addVariable(int type, const std::string& name, const std::string& description);
    float* allocateVariable(ZelDataVariableType type, const std::string& name, const std::string& description);
    float* allocateVariable(const ZelDataVarInfo& info);
    bool setVarAttributes(int i, const std::string& name, const std::string& description,
                          ZelDataVariableType type);
    void deleteVariable(int i);
    // Deletes the listed variables, indexes counted before the call; each once.
    void deleteVariables(const std::vector<int>& indexes);

    // Size in bytes of the encoded area block.
    std::size_t diskSize() const;
    // Writes the area block into buffer[0, length). Refuses an area without
    // variables, rows or columns (it could not be read back).
    bool encode(char* buffer, int length) const;
    // The same block appended to `sink`, the values straight from their storage.
    bool encode(ByteSink& sink) const;
    // Replaces the content by the block at buffer; the bytes consumed, or -1.
    int decode(const char* buffer, int length);
    // The same from `source`, each variable's values read straight into their storage.
    bool decode(ByteSource& source);
    // Canonical variable order for the area's coordinate system.
    void shuffle();
    // Variables named in `names` first, then those of each of `types`, then the rest.
    void shuffle(const std::vector<std::string>& names, const std::vector<ZelDataVariableType>& types);

    // Lookups at a reference pixel position (x, y). The cell is located through the
    // pixel coordinates "x" (growing along a row) and "y" (growing down a column);
    // valid corners are weighted bilinearly, or by a triangle when one is invalid.
    // Outputs are written only on success.

    // Interpolation weights of the corners 00, 01, 10, 11 at fractions s (along the
    // row) and t (down the column); false when fewer than three corners are valid or
    // (s, t) lies outside the triangle of the three valid ones.
    static bool ipol_coeff(float& w00, float& w01, float& w10, float& w11, float s, float t, bool valid00,
                           bool valid01, bool valid10, bool valid11);
    // World position: X, Y, Z for Type3d; "x_c", "y_c" and Z = 0 otherwise.
    bool lookupXYZ(float x, float y, float& X, float& Y, float& Z, CsDataSystemType cs) const;
    bool lookupUVW(float x, float y, float& U, float& V, float& W) const;
    bool lookupVar(float x, float y, int var, float& value) const;
    bool lookupVar(float x, float y, const std::string& name, float& value) const;
    // Each named variable (name or description) in order; stops at the first unknown name.
    bool lookupVariables(float x, float y, const std::vector<std::string>& names, std::vector<float>& out) const;
    // Every variable at p; `out` is all +infinity when the lookup fails after the checks.
    bool extractPoint(std::vector<float>& out, const Vector2& p) const;
    // Means of the named variables over the valid points with x0 <= x <= x1 and y0 <= y <= y1.
    bool lookupVariableAverage(float x0, float y0, float x1, float y1, const std::vector<std::string>& names,
                               Vector& out) const;
    // Means over the valid points strictly inside the circle of `radius` around (x, y).
    bool lookupVariableAverage(float x, float y, float radius, const std::vector<std::string>& names,
                               Vector& out) const;
    // The reference pixel position of the deformed pixel position p.
    std::optional<Vector2> deformedToReference(const Vector2& p) const;

    // Values of every variable at a world position (X, Y, or x_c, y_c), in the
    // reference state or displaced by (U, V) / (u_c, v_c) when `deformed`, with the
    // index of a nearby grid point; (-1, empty) when no cell holds the position.
    // With `useTree` a KD-tree over the interior valid points finds the cell; it is
    // built on first use and kept until clearSearchTrees(), which every operation of
    // the area that changes variables or values calls. Not thread-safe then.
    std::pair<int, std::vector<float>> extractGlobalPoint(const Vector2& position, bool deformed,
                                                          bool useTree) const;
    // Drops both search trees; call it after writing positions or validity through data().
    void clearSearchTrees();

    struct Private;

private:
    std::unique_ptr<Private> d;
};

} // namespace orvex
