# Text and file-name utilities of the core library.
from libcpp.optional cimport optional
from libcpp.string cimport string

cdef extern from "orvex/core/TextUtils.h" namespace "orvex":
    optional[string] changeFileExtension(const string&, const string&) except +
