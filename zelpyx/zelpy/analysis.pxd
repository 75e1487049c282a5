# The field analyses of the library that the binding runs on data sets.
from libcpp cimport bool
from libcpp.string cimport string
from libcpp.vector cimport vector
from zelpyx.zelpy.data cimport ZelDataSet, StrainComputationSettings, StrainVariableIds

cdef extern from "orvex/analysis/Strain.h" namespace "orvex":
    bool computeStrain(ZelDataSet*, const StrainComputationSettings&, vector[StrainVariableIds]*) except +

cdef extern from "orvex/analysis/WindowSmoothing.h" namespace "orvex":
    bool smoothVariable(ZelDataSet&, const string&, int, bool, int*) except +
