# The result data model of the library: areas of interest and data sets; and its writer
# that replaces a file whole.
from libcpp cimport bool
from libcpp.string cimport string
from libcpp.optional cimport optional
from libcpp.utility cimport pair
from libcpp.vector cimport vector
from libc.stdint cimport uint64_t
from zelpyx.zelpy.core cimport Vector2

cdef extern from "orvex/data/ZelDataTypes.h" namespace "orvex":
    enum ZelDataVariableType:
        pass
    enum CsDataSystemType:
        pass
    enum TensorType:
        pass

cdef extern from "orvex/data/ZelData.h" namespace "orvex":
    cdef cppclass ZelData:
        ZelData(const ZelData&) except +
        void clear() except +
        int numRows() except +
        int numColumns() except +
        size_t numVariables() except +
        int matrixSize() except +
        string varName(int) except +
        string varDescription(int) except +
        ZelDataVariableType varType(int) except +
        int varTypeInt(int) except +
        int findVariable(const string&) except +
        float* data(size_t) except +
        uint64_t variableListStamp() except +
        CsDataSystemType currentDataType() except +
        int addVariable(int, const string&, const string&) except +
        void deleteVariable(int) except +
        bool setVarAttributes(int, const string&, const string&, ZelDataVariableType) except +
        void clearSearchTrees() except +
        int findMaxIndex(int, float&) except +
        int findMinIndex(int, float&) except +
        bool lookupVariables(float, float, const vector[string]&, vector[float]&) except +
        pair[int, vector[float]] extractGlobalPoint(const Vector2&, bool, bool) except +

cdef extern from "orvex/data/StrainSettings.h" namespace "orvex":
    cdef cppclass StrainComputationSettings:
        int windowSize
        bool computePrincipalStrain
        bool reuseVariables
        TensorType tensorType
        bool computeTresca
        bool computeVonMises
        bool outputGradient
        bool addSizeToDescription
        string suffix
        vector[string] displacementVariables

    cdef cppclass StrainVariableIds:
        int exx, exy, eyy, fxx, fxy, fyx, fyy, e1, e2, gamma, tresca, vonmises

cdef extern from "orvex/data/InterruptionCheck.h" namespace "orvex":
    cdef cppclass InterruptionCheck:
        pass

cdef extern from "orvex/data/ZelDataSet.h" namespace "orvex":
    cdef cppclass ZelDataSet:
        ZelDataSet() except +
        ZelDataSet(const ZelDataSet&) except +
        int numData() except +
        ZelData* data(int) except +
        CsDataSystemType currentDataType() except +
        const string& referenceImage() except +
        const string& deformedImage() except +
        void setReference(const string&) except +
        void setDeformed(const string&) except +
        char* encode(size_t&, bool) except +
        bool decode(const char*, int, bool) except +
        @staticmethod
        bool headPlausible(const char*, int, uint64_t, bool) except +
        bool load(const string&) except +
        bool save(const string&, const InterruptionCheck&) except +
        optional[pair[double, double]] range(const string&) except +
        optional[pair[double, double]] sum_range(const string&, const string&) except +
        vector[int] triangulation(int) except +

cdef extern from "<ostream>" namespace "std":
    cdef cppclass ostream:
        ostream& write(const char*, Py_ssize_t) nogil
        bool fail() nogil

cdef extern from "<system_error>" namespace "std":
    cdef cppclass error_code:
        int value()

cdef extern from "orvex/data/FileReplacement.h" namespace "orvex":
    enum class WriteDurability:
        Cached
        Synced
    cdef cppclass WriteFunction "orvex::FileReplacement::WriteFunction":
        pass
    cdef cppclass FileReplacement:
        FileReplacement(const string&) except +
        error_code error()
        bool writesToStream()
        int openTargetForReading(const InterruptionCheck&) nogil
        error_code write(const WriteFunction&, WriteDurability, const InterruptionCheck&) except + nogil

# A write function and an interruption check of the library, each made of a callback and
# the context it is called with.
ctypedef bool (*StreamCallback)(void*, ostream&) noexcept
ctypedef bool (*CheckCallback)(void*) noexcept
cdef extern from *:
    """
    #include <functional>
    #include <ostream>
    static std::function<bool(std::ostream&)> zelpy_write_function(bool (*write)(void*, std::ostream&),
                                                                   void* context) {
        return [write, context](std::ostream& stream) { return write(context, stream); };
    }
    static std::function<bool()> zelpy_interruption_check(bool (*check)(void*), void* context) {
        return [check, context] { return check(context); };
    }
    """
    WriteFunction write_function "zelpy_write_function"(StreamCallback, void*) nogil
    InterruptionCheck interruption_check "zelpy_interruption_check"(CheckCallback, void*) nogil
