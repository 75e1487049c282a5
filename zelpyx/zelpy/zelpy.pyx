# cython: language_level=3, binding=True, embedsignature=True
# distutils: language = c++
#
# The module zelpyx.zelpy.zelpy: start-up, enums and the extension types over the
# orvex library. The body below runs in source order at import; each class's
# methods are bound when the body reaches its definition.
cimport cython
cimport numpy as cnp
from zelpyx.zelpy.logging cimport init_plog_all_statically_message_only_console_cerr, error

import csv
import glob
import os
import re
import select
import socket
import sys
import threading
from enum import Enum
from io import TextIOWrapper
from typing import Callable
from zipfile import PyZipFile, ZipFile

import h5py
import lxml.etree as etree
import numpy as np

init_plog_all_statically_message_only_console_cerr(error)

include "conversions.pxi"

class ZelDataVariableType(Enum):
    PixelCoordinate = 0
    GlobalCoordinate = 1
    PixelDisplacement = 2
    GlobalDisplacement = 3
    Strain = 4
    Correlation = 5
    Unknown = 6
    Disparity = 7
    CylinderCoordinate = 8
    CylinderDisplacement = 9
    PixelVelocity = 10
    GlobalVelocity = 11
    StrainRate = 12
    Curvature = 13
    Angle = 14
    AngularVelocity = 15
    GlobalAcceleration = 16
    PixelAcceleration = 17
    Stress = 18
    AngularAcceleration = 19


class CsDataSystemType(Enum):
    Type2d = 0
    Type3d = 1


class TensorType(Enum):
    LagrangeStrainTensor = 0
    HenckyStrainTensor = 1
    EulerStrainTensor = 2
    LogarithmicEulerTensor = 3
    EngineeringStrain = 4
    BiotStrainTensor = 5


class AngleType(Enum):
    Rad = 0
    Deg = 1


# Switch of the one-time deprecation notice printed by ZelData.as_array.
__warn_deprecated__ = True

include "zeldata.pxi"
include "zeldataset.pxi"
include "transforms.pxi"
