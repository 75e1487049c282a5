# cython: language_level=3, binding=True, embedsignature=True
# distutils: language = c++
#
# The module zelpyx.zelpy.zelpy: start-up, enums and the extension types over the
# orvex library. The body below runs in source order at import; each class's
# methods are bound when the body reaches its definition.
cimport cython
cimport numpy as cnp
from zelpyx.zelpy.logging cimport init_plog_all_statically_message_only_console_cerr, error
from libcpp.optional cimport optional
cimport zelpyx.zelpy.core as core

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


def change_file_extension(full_file_name: str, extension: str) -> str:
    """Returns the Zel data file name with the requested extension.

    An HDF5 entry name (path/to/file.h5:out:key) names the data file beside the HDF5
    file, path/to/file-key_0, with the extension put on.

    Args:
        full_file_name: A data file name or an HDF5 entry name.
        extension: The new extension, with or without its leading '.'.
    """
    cdef optional[string] changed = core.changeFileExtension(
        full_file_name.encode("utf-8"), extension.encode("utf-8"))
    if not changed.has_value():
        raise ValueError(f"Error in changing the extension for '{full_file_name}' to '{extension}'.")
    return changed.value().decode("utf-8")


include "zeldata.pxi"
include "zeldataset.pxi"
include "transforms.pxi"
include "calibration.pxi"
include "sources.pxi"
include "project_archive.pxi"
include "project_document.pxi"
include "file_replacement.pxi"
include "analog_csv.pxi"
include "project.pxi"
include "rtclient.pxi"
