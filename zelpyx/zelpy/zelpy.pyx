# cython: language_level=3, binding=False, embedsignature=False
# distutils: language = c++
from zelpyx.zelpy.logging cimport init_plog_all_statically_message_only_console_cerr, error

init_plog_all_statically_message_only_console_cerr(error)
