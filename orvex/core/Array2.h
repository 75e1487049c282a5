#pragma once
// A two-dimensional array with a table of row pointers: element (i, j) is element j
// of the row that entry i of the table points to.
//
// Array2<double> keeps the table and the rows·cols doubles in one allocation (table
// first, then the data row after row, so all data is one contiguous run starting at
// row 0) and leaves new elements uninitialised. Every other element type has the
// table and the element storage as two allocations, elements value-initialised.

#include <algorithm>
#include <cstddef>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

namespace orvex {

// Releases element storage and row table made for an Array2 of a type other than
// double, and nulls both pointers.
template <typename T>
void free2DArray(T*& storage, T**& rowTable) {
    delete[] storage;
    delete[] rowTable;
    storage = nullptr;
    rowTable = nullptr;
}

template <typename T>
class Array2 {
public:
    Array2() = default;
    // rows × cols elements; empty when either is below 1.
    Array2(int rows, int cols) { allocData(rows, cols); }
    Array2(const Array2& other) { *this = other; }
    Array2(Array2&& other) noexcept { swap(other); }
    virtual ~Array2() { release(); }

    // Reallocates only when the dimensions differ, then copies row by row.
    Array2& operator=(const Array2& other) {
        if (this == &other) return *this;
        allocData(other.rows_, other.cols_);
        for (int i = 0; i < rows_; ++i)
            std::copy(other.rowTable_[i], other.rowTable_[i] + cols_, rowTable_[i]);
        return *this;
    }
    Array2& operator=(Array2&& other) noexcept {
        Array2 old(std::move(*this));
        swap(other);
        return *this;
    }

    // Gives the array rows × cols elements. Same dimensions: nothing changes.
    // Otherwise the old storage is released and new storage allocated (none when
    // either dimension is below 1); new doubles are not initialised.
    void allocData(int rows, int cols) {
        if (rows < 1 || cols < 1) rows = cols = 0;
        if (rows == rows_ && cols == cols_) return;
        release();
        if (rows == 0) return;
        allocate(rows, cols);
    }

    int rows() const { return rows_; }
    int cols() const { return cols_; }
    // Bytes of element data: rows·cols·sizeof(T).
    std::size_t byteSize() const {
        return static_cast<std::size_t>(rows_) * static_cast<std::size_t>(cols_) * sizeof(T);
    }
    bool empty() const { return rowTable_ == nullptr; }

    // Row pointers: a[i][j] is element (i, j).
    T* operator[](int row) { return rowTable_[row]; }
    const T* operator[](int row) const { return rowTable_[row]; }
    T& operator()(int row, int col) { return rowTable_[row][col]; }
    const T& operator()(int row, int col) const { return rowTable_[row][col]; }
    T** rowTable() { return rowTable_; }
    const T* const* rowTable() const { return rowTable_; }

    // Row 0's first element; for Array2<double> all rows·cols elements follow it
    // contiguously. Null when empty.
    T* data() { return rowTable_ ? rowTable_[0] : nullptr; }
    const T* data() const { return rowTable_ ? rowTable_[0] : nullptr; }

    void fill(const T& value) {
        for (int i = 0; i < rows_; ++i) std::fill(rowTable_[i], rowTable_[i] + cols_, value);
    }

    void swap(Array2& other) noexcept {
        std::swap(rowTable_, other.rowTable_);
        std::swap(storage_, other.storage_);
        std::swap(rows_, other.rows_);
        std::swap(cols_, other.cols_);
    }

private:
    static constexpr bool kOneBlock = std::is_same<T, double>::value;

    // rows, cols ≥ 1 on an empty array. Sizes that overflow throw std::bad_alloc.
    void allocate(int rows, int cols) {
        const std::size_t count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
        const std::size_t tableBytes = static_cast<std::size_t>(rows) * sizeof(T*);
        if (count > (std::numeric_limits<std::size_t>::max() - tableBytes) / sizeof(T))
            throw std::bad_alloc();
        if constexpr (kOneBlock) {
            void* block = ::operator new(tableBytes + count * sizeof(T));
            rowTable_ = static_cast<T**>(block);
            storage_ = block;
            T* first = reinterpret_cast<T*>(static_cast<char*>(block) + tableBytes);
            linkRows(first, rows, cols);
        } else {
            T* elements = new T[count]();
            try {
                rowTable_ = new T*[static_cast<std::size_t>(rows)];
            } catch (...) {
                delete[] elements;
                throw;
            }
            storage_ = elements;
            linkRows(elements, rows, cols);
        }
        rows_ = rows;
        cols_ = cols;
    }

    void linkRows(T* first, int rows, int cols) {
        for (int i = 0; i < rows; ++i)
            rowTable_[i] = first + static_cast<std::size_t>(i) * static_cast<std::size_t>(cols);
    }

    void release() {
        if constexpr (kOneBlock) {
            ::operator delete(storage_);
            storage_ = nullptr;
            rowTable_ = nullptr;
        } else {
            free2DArray(storage_, rowTable_);
        }
        rows_ = cols_ = 0;
    }

    using Storage = std::conditional_t<kOneBlock, void*, T*>;

    T** rowTable_ = nullptr;
    Storage storage_ = nullptr;
    int rows_ = 0;
    int cols_ = 0;
};

} // namespace orvex
