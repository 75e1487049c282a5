# The field analyses of the library that the binding runs on data sets.
from libcpp cimport bool
from libcpp.string cimport string
from libcpp.vector cimport vector
from zelpyx.zelpy.core cimport RigidTransform
from zelpyx.zelpy.data cimport CsDataSystemType, ZelDataSet, StrainComputationSettings, StrainVariableIds

cdef extern from "orvex/analysis/Strain.h" namespace "orvex":
    bool computeStrain(ZelDataSet*, const StrainComputationSettings&, vector[StrainVariableIds]*) except +

cdef extern from "orvex/analysis/WindowSmoothing.h" namespace "orvex":
    bool smoothVariable(ZelDataSet&, const string&, int, bool, int*) except +

cdef extern from "orvex/analysis/CoordinateTransformation.h" namespace "orvex":
    void applyTransformation(ZelDataSet&, const RigidTransform&, bool, CsDataSystemType) except +

cdef extern from "orvex/analysis/BestPlaneFit.h" namespace "orvex":
    bool computeBestPlaneFit(RigidTransform&, const ZelDataSet&, bool) except +

cdef extern from "orvex/analysis/RigidFit.h" namespace "orvex":
    bool fitRigidTransform(RigidTransform&, double&, const ZelDataSet&) except +

cdef extern from "orvex/analysis/Curvature.h" namespace "orvex":
    bool computeCurvature(ZelDataSet&, int, bool, bool, bool, int*) except +
