# Writing files through the library's writer (orvex::FileReplacement): a file is written as
# a plain write would write it, but whole or not at all, and a long write can be
# interrupted by a signal (Ctrl-C) as a plain write can.
from contextlib import ExitStack as _ExitStack
from io import BytesIO as _BytesIO
from cpython.exc cimport PyErr_CheckSignals
from libc.errno cimport errno, ENOENT
from libc.signal cimport SIGINT
from libcpp cimport bool as cpp_bool


cdef extern from "Python.h":
    int PyOS_InterruptOccurred()
    int PyErr_SetInterruptEx(int signal)


cdef class _Interruption:
    """The interruption check of a library write, asked after every interrupted or short
    write. Where runs_handlers is true it runs the signal handlers that are due, and the
    exception one raises (KeyboardInterrupt for Ctrl-C) ends the write and is kept in error.
    Otherwise no Python code runs meanwhile (a handler could change the data set the library
    is writing from): a SIGINT ends the write and is delivered again, and its handler runs
    in raise_error, once the library has returned."""
    cdef readonly object error
    cdef bint runs_handlers

    def __init__(self, bint runs_handlers):
        self.runs_handlers = runs_handlers

    cdef orvex.InterruptionCheck check(self):
        return orvex.interruption_check(_interrupted, <void*>self)

    def raise_error(self):
        """Raises the exception that ended the write, if any."""
        if not self.runs_handlers:
            PyErr_CheckSignals()
        if self.error is not None:
            raise self.error


cdef cpp_bool _interrupted(void* context) noexcept with gil:
    interruption = <_Interruption>context
    if not interruption.runs_handlers:
        if not PyOS_InterruptOccurred():
            return False
        PyErr_SetInterruptEx(SIGINT)
        return True
    try:
        PyErr_CheckSignals()
        return False
    except BaseException as error:
        interruption.error = error
        return True


class _OutputFailed(Exception):
    """The library's output stream failed; the library reports why."""


cdef class _LibraryOutput:
    """The output stream of a library write while its write function runs: a file object
    with write() alone, which writes without the GIL (a reader of a FIFO may be another
    thread of this process). fill(output) writes it; an exception that ends fill, other
    than a failed write, is kept in error."""
    cdef orvex.ostream* stream
    cdef bint writing
    cdef object fill
    cdef readonly object error

    def __init__(self, fill):
        self.fill = fill

    def write(self, data):
        cdef const unsigned char[::1] view = data
        cdef orvex.ostream* stream = self.stream
        cdef Py_ssize_t size = view.shape[0]
        cdef bint failed
        if stream == NULL or self.writing:
            raise ValueError("write to a closed or busy output")
        self.writing = True
        try:
            with nogil:
                if size:
                    stream.write(<const char*>&view[0], size)
                failed = stream.fail()
        finally:
            self.writing = False
        if failed:
            raise _OutputFailed()
        return size


cdef cpp_bool _fill_output(void* context, orvex.ostream& stream) noexcept with gil:
    output = <_LibraryOutput>context
    output.stream = &stream
    try:
        output.fill(output)
        return True
    except _OutputFailed:
        return False
    except BaseException as error:
        output.error = error
        return False
    finally:
        output.stream = NULL


cdef _raise_write_error(int number, str name):
    if number:
        raise OSError(number, os.strerror(number), name)


cdef object _open_replaced_file(orvex.FileReplacement* replacement, str name, _Interruption interruption):
    """The regular file that replacement replaces, opened for reading; None where it
    replaces none (a new file, a FIFO or device, which are never read). A lease holder is
    waited for, and the exception of a signal handler ends the wait."""
    cdef orvex.InterruptionCheck interrupted = interruption.check()
    cdef int descriptor, number
    with nogil:
        descriptor = replacement.openTargetForReading(interrupted)
        number = errno
    if descriptor >= 0:
        return open(descriptor, "rb")
    interruption.raise_error()
    if number == ENOENT:
        return None
    raise OSError(number, os.strerror(number), name)


def _write_project_archive(str target, bytes document, source_path):
    """Writes target as "project.xml" holding document followed by the other members of
    the archive at source_path, or, where source_path is None, of the zip archive that
    target replaces, if any. The name is checked and the source opened before the target
    is touched, and the archive is complete before the target is truncated or replaced. On
    failure target is untouched, and the file system's OSError names it. A symbolic link
    stays a link: the file it points to is written. True when the archive became a regular
    file, false when it went into a FIFO or device."""
    cdef unique_ptr[orvex.FileReplacement] replacement
    cdef orvex.error_code error
    cdef _LibraryOutput output
    cdef _Interruption interruption = _Interruption(True)
    cdef orvex.InterruptionCheck interrupted = interruption.check()
    staging = _BytesIO()
    with ZipFile(staging, "w") as staged:
        staged.writestr(_PROJECT_XML, document)
    with ZipFile(staging) as staged:
        document_spans = _member_spans(staged, staging)
    replacement.reset(new orvex.FileReplacement(os.fsencode(target)))
    _raise_write_error(replacement.get().error().value(), target)
    with _ExitStack() as stack:
        if source_path is None:
            source = _archive_members(stack, _open_replaced_file(replacement.get(), target, interruption), True)
        else:
            source = _archive_members(stack, _open_regular_file(source_path), False)
        output = _LibraryOutput(lambda stream: _write_archive(stream, staging, document_spans, source))
        with nogil:
            error = replacement.get().write(orvex.write_function(_fill_output, <void*>output),
                                            orvex.WriteDurability.Synced, interrupted)
        interruption.raise_error()
        if output.error is not None:
            raise output.error
        _raise_write_error(error.value(), target)
    return not replacement.get().writesToStream()
