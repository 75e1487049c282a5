# Library declarations and helpers shared by the extension types: conversions between
# Python and library values, and the block copies behind the numpy results.
from cython.operator cimport dereference as deref
from libc.limits cimport INT_MAX
from libc.stdint cimport uint64_t
from libc.string cimport memcpy
from libcpp.memory cimport unique_ptr
from libcpp.string cimport string
from libcpp.utility cimport pair
from libcpp.vector cimport vector

cimport zelpyx.zelpy.data as orvex
cimport zelpyx.zelpy.analysis as analysis

cdef extern from *:
    """
    // Releases an array that the library allocated with new[].
    template <typename T> inline void zelpy_delete_array(T* array) { delete[] array; }
    """
    void delete_array "zelpy_delete_array"(char* array)


cdef str _missing_object_message(object instance):
    return f"C++ object pointer for {instance.__class__.__name__} has not been initialized properly."


cdef string _encoded(str text) except *:
    """Text as UTF-8; None fails as calling its encode would."""
    if text is None:
        raise AttributeError("'NoneType' object has no attribute 'encode'")
    return text.encode("utf-8")


cdef object _checked_file_name(object name):
    """name, refused with ValueError when it holds a NUL character: the file system
    would read only the part before it, another file."""
    if isinstance(name, str) and "\0" in name:
        raise ValueError("embedded null byte")
    return name


cdef unsigned int _enum_code(object value, str enum_name) except? 0xFFFFFFFF:
    """The library enum code of an integer: an unsigned 32-bit number."""
    cdef long long code
    try:
        code = value
    except OverflowError:
        code = -1
    if code < 0 or code > 0xFFFFFFFF:
        raise OverflowError("value too large to convert to enum " + enum_name)
    return <unsigned int>code


cdef void _interleave(float* rows, const vector[const float*]& columns, Py_ssize_t count) noexcept nogil:
    """Writes count rows of len(columns) packed floats: rows[r * F + f] = columns[f][r].

    Works in blocks of rows so that every column is read sequentially while the
    block of output rows stays in cache.
    """
    cdef Py_ssize_t fields = columns.size()
    cdef Py_ssize_t start = 0
    cdef Py_ssize_t stop, r, f
    cdef const float* column
    cdef float* out
    while start < count:
        stop = min(start + 1024, count)
        for f in range(fields):
            column = columns[f]
            out = rows + f
            for r in range(start, stop):
                out[r * fields] = column[r]
        start = stop


cdef bint _is_numeric_vector(object values):
    """A one-dimensional numpy array whose items convert to float without Python."""
    return (isinstance(values, np.ndarray) and values.ndim == 1
            and values.dtype.kind in "biuf")


cdef vector[float] _as_floats(object values) except *:
    """Converts an iterable of numbers to 32-bit floats, each as a double first.

    Numeric one-dimensional numpy arrays are converted by numpy in C; every other
    iterable goes through the item-by-item conversion and its errors.
    """
    cdef vector[float] result
    cdef cnp.ndarray contiguous
    if not _is_numeric_vector(values):
        result = values
        return result
    # Narrowing saturates to infinity like the C conversion, without numpy's warning.
    with np.errstate(over="ignore"):
        contiguous = np.ascontiguousarray(values.astype(np.float64, copy=False).astype(np.float32))
    result.resize(contiguous.shape[0])
    if result.size():
        memcpy(result.data(), cnp.PyArray_DATA(contiguous), result.size() * sizeof(float))
    return result
