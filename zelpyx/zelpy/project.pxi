# Project files: ".q3d" zip archives whose member "project.xml" holds the project
# document (image lists, start points, AOI polygon masks, the analog-data reference),
# and the AOI polygons stored in them.
from contextlib import ExitStack as _ExitStack
from io import BytesIO as _BytesIO
import stat as _stat
import struct as _struct
from libc.errno cimport errno, ENOENT
from libcpp cimport bool as cpp_bool
from zipfile import BadZipFile as _BadZipFile

_PROJECT_XML = "project.xml"
# Members larger than these are refused before they are read (a damaged or hostile archive).
# A project of 100,000 images has a "project.xml" of about 8.5 MB.
_MAX_XML_BYTES = 64 << 20
_MAX_CSV_BYTES = 1 << 30
# The budget of a parsed project document, in nodes of its tree, each of which costs it
# about 128 bytes (measured: an element or a text 128, an attribute with its value 240, or
# 330 when its name is its own, an entity reference 160). Before the body is parsed, its
# nodes are counted from the text (_tree_nodes): a start tag makes an element and the text
# after it, an end tag the text after it, an attribute itself and its value; each byte of
# the document type counts half a node (a content model builds two 64-byte particles out of
# a name and its separator). No document makes more than a node per two bytes, so only a
# document of more than twice the budget in bytes is counted. The module writes less than a
# node per 7 bytes (the densest: start-point guesses, 9 nodes in 64 bytes, and empty polygon
# masks, 8 in 60), so that every document it writes up to the size limit loads. A tree
# within the budget takes at most about 1.5 GB (measured: elements each with a text), 2.0 GB
# if every attribute has a name of its own; 64 MiB of start-point guesses take 1.0 GB.
_MAX_XML_NODES = _MAX_XML_BYTES // 6
# Members are read in chunks of this size: no read inflates more, whatever size the archive
# declares.
_READ_CHUNK = 1 << 20
# The analog CSV: a record, the header included, may hold at most this many characters
# (with the blank lines before it) before the csv reader splits it, and the values kept may
# take at most this much memory (each value's size and its list slot). Analog data of
# 100,000 images and 16 channels keep about 100 MiB.
_MAX_CSV_RECORD = 1 << 20
_MAX_CSV_KEPT = 1 << 30
_LIST_SLOT = sizeof(void*)

# The files elements in reading order; writing uses files_3d, then files, never files_2d.
_FILES_TAGS = ("files", "files_3d", "files_2d")
_STARTPOINT_SOURCES = ("startpoint", "startpoint_3d", "startpoint_2d")

_NOT_INITIALIZED = "ProjectFile is not initialized"
_NO_REFERENCE_IMAGE = "The project does not have a reference image"
_NOT_EVEN = "The size of the list must be even (x, y pairs)"


# ---------------------------------------------------------------------------------------
# Raw member copy. A save rewrites "project.xml" and carries the other members of an
# archive over unchanged: the local header and the compressed bytes (with the data
# descriptor, when the member has one) are copied as they are, never decompressed; only
# the central directory, which holds the members' offsets, is written anew.

_LOCAL_HEADER = _struct.Struct("<4s2B4HL2L2H")
_CENTRAL_HEADER = _struct.Struct("<4s4B4HL2L5H2L")
_END_RECORD = _struct.Struct("<4s4H2LH")
_ZIP64_END_RECORD = _struct.Struct("<4sQ2H2L4Q")
_ZIP64_LOCATOR = _struct.Struct("<4sLQL")
_ZIP64_EXTRA = 0x0001
# Values above this go to the ZIP64 fields (the bound zipfile itself uses).
_ZIP64_LIMIT = (1 << 31) - 1
_COUNT_LIMIT = 0xFFFF
_DATA_DESCRIPTOR_FLAG = 0x08
_UTF8_NAME_FLAG = 0x800


def _extra_fields(bytes extra):
    """Splits a zip extra field into its (id, data) records."""
    cdef Py_ssize_t position = 0
    records = []
    while position + 4 <= len(extra):
        field_id, size = _struct.unpack_from("<2H", extra, position)
        records.append((field_id, extra[position + 4:position + 4 + size]))
        position += 4 + size
    return records


def _without_zip64(bytes extra):
    return b"".join(_struct.pack("<2H", field_id, len(data)) + data
                    for field_id, data in _extra_fields(extra) if field_id != _ZIP64_EXTRA)


def _copy_bytes(source, destination, Py_ssize_t count):
    while count > 0:
        chunk = source.read(min(count, _READ_CHUNK))
        if not chunk:
            raise _BadZipFile("Truncated zip member")
        destination.write(chunk)
        count -= len(chunk)


def _dos_date_time(date_time):
    year, month, day, hour, minute, second = date_time
    return (hour << 11) | (minute << 5) | (second // 2), ((year - 1980) << 9) | (month << 5) | day


def _member_span(raw, info):
    """The number of bytes of a member from its local header to the end of its data
    (and data descriptor)."""
    header = b""
    if info.header_offset >= 0:
        raw.seek(info.header_offset)
        header = raw.read(_LOCAL_HEADER.size)
    if len(header) != _LOCAL_HEADER.size or header[:4] != b"PK\x03\x04":
        raise _BadZipFile("Bad local file header of " + info.filename)
    name_length, extra_length = _LOCAL_HEADER.unpack(header)[10:]
    length = _LOCAL_HEADER.size + name_length + extra_length + info.compress_size
    if info.flag_bits & _DATA_DESCRIPTOR_FLAG:
        extra = raw.read(name_length + extra_length)[name_length:]
        zip64 = any(field_id == _ZIP64_EXTRA for field_id, _ in _extra_fields(extra))
        raw.seek(info.header_offset + length)
        length += 4 * (raw.read(4) == b"PK\x07\x08") + (20 if zip64 else 12)
    return length


def _member_spans(archive, raw):
    """(info, offset, length) of every member of archive (raw is its file), in directory
    order. Members that share bytes, or run into the central directory, are refused as
    `unzip -t` refuses them: a copy would repeat the bytes once per member."""
    spans = [(info, info.header_offset, _member_span(raw, info)) for info in archive.infolist()]
    end = archive.start_dir
    for _, offset, length in sorted(spans, key=lambda span: span[1], reverse=True):
        if offset + length > end:
            raise _BadZipFile("Overlapping or misplaced zip members")
        end = offset
    return spans


class _RawZipWriter:
    """Writes a zip archive out of members copied raw from other archives. It counts the
    bytes it writes: the output need not tell its position (a pipe cannot)."""

    def __init__(self, output):
        self.output = output
        self.position = 0
        self.members = []

    def write(self, data):
        self.output.write(data)
        self.position += len(data)

    def copy_members(self, raw, spans, skip=None):
        """Copies the members of spans (from _member_spans of raw) except those named skip."""
        for info, offset, length in spans:
            if info.filename != skip:
                self.members.append((info, self.position))
                raw.seek(offset)
                _copy_bytes(raw, self, length)

    def finish(self, bytes comment=b""):
        start = self.position
        for info, offset in self.members:
            self.write(_central_record(info, offset))
        size = self.position - start
        count = len(self.members)
        if count >= _COUNT_LIMIT or start > _ZIP64_LIMIT or size > _ZIP64_LIMIT:
            end64 = self.position
            self.write(_ZIP64_END_RECORD.pack(b"PK\x06\x06", 44, 45, 45, 0, 0, count, count, size, start))
            self.write(_ZIP64_LOCATOR.pack(b"PK\x06\x07", 0, end64, 1))
            count, size, start = min(count, _COUNT_LIMIT), min(size, 0xFFFFFFFF), min(start, 0xFFFFFFFF)
        self.write(_END_RECORD.pack(b"PK\x05\x06", 0, 0, count, count, size, start, len(comment)))
        self.write(comment)


def _central_record(info, offset):
    """The central directory record of a member copied to offset, ZIP64 fields as needed."""
    sizes = [info.file_size, info.compress_size, offset]
    zip64 = [value for value in sizes if value > _ZIP64_LIMIT]
    sizes = [0xFFFFFFFF if value > _ZIP64_LIMIT else value for value in sizes]
    extra = _without_zip64(info.extra)
    extract_version = info.extract_version
    if zip64:
        extra = _struct.pack(f"<2H{len(zip64)}Q", _ZIP64_EXTRA, 8 * len(zip64), *zip64) + extra
        extract_version = max(extract_version, 45)
    name = info.orig_filename.encode("utf-8" if info.flag_bits & _UTF8_NAME_FLAG else "cp437")
    dos_time, dos_date = _dos_date_time(info.date_time)
    header = _CENTRAL_HEADER.pack(
        b"PK\x01\x02", info.create_version, info.create_system, extract_version, info.reserved,
        info.flag_bits, info.compress_type, dos_time, dos_date, info.CRC, sizes[1], sizes[0],
        len(name), len(extra), len(info.comment), 0, info.internal_attr, info.external_attr, sizes[2])
    return header + name + extra + info.comment


# ---------------------------------------------------------------------------------------
# Replacing the project file through the library's writer: the archive goes into a
# temporary file beside the target, readable by its owner only until it has all its bytes;
# it then takes the permissions of the file it replaces, or those the folder gives a new
# file, and is renamed over the target. A FIFO or character device is written in place.

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


cdef object _open_replaced_file(orvex.FileReplacement* replacement, str name):
    """The regular file that replacement replaces, opened for reading; None where it
    replaces none (a new file, a FIFO or device, which are never read)."""
    cdef int descriptor = replacement.openTargetForReading()
    cdef int number = errno
    if descriptor >= 0:
        return open(descriptor, "rb")
    if number == ENOENT:
        return None
    raise OSError(number, os.strerror(number), name)


def _open_regular_file(str path):
    """The regular file at path (through links) opened for reading, None where there is
    no file. Anything else is no zip archive, and is never opened: a FIFO would wait for a
    writer, a device would act."""
    try:
        if not _stat.S_ISREG(os.stat(path).st_mode):
            raise _BadZipFile("File is not a zip file")
        raw = open(os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC), "rb")
    except FileNotFoundError:
        return None
    if not _stat.S_ISREG(os.fstat(raw.fileno()).st_mode):
        raw.close()
        raise _BadZipFile("File is not a zip file")
    return raw


def _archive_members(stack, raw, bint only_archives):
    """(raw, ZipFile, member spans) of the archive in the open file raw, closed with stack;
    None where raw is None, or, when only_archives is true, where raw holds no zip archive.
    A zip archive whose members cannot be read is refused with zipfile's exception."""
    if raw is None:
        return None
    stack.enter_context(raw)
    try:
        archive = stack.enter_context(ZipFile(raw))
    except _BadZipFile:
        if only_archives:
            return None
        raise
    return raw, archive, _member_spans(archive, raw)


def _write_archive(output, staging, document_spans, source):
    """Writes "project.xml" (the one member of staging) followed by the other members of
    source (from _archive_members, or None)."""
    writer = _RawZipWriter(output)
    writer.copy_members(staging, document_spans)
    comment = b""
    if source is not None:
        raw, archive, spans = source
        writer.copy_members(raw, spans, skip=_PROJECT_XML)
        comment = archive.comment
    writer.finish(comment)


def _write_project_archive(str target, bytes document, source_path):
    """Writes target as "project.xml" holding document followed by the other members of
    the archive at source_path, or, where source_path is None, of the zip archive that
    target replaces, if any. Everything is read and checked before a byte is written. On
    failure target is untouched, and the file system's OSError names it. A symbolic link
    stays a link: the file it points to is replaced. True when the archive replaced a file
    (or became a new one), false when it went into a FIFO or device."""
    cdef unique_ptr[orvex.FileReplacement] replacement
    cdef orvex.error_code error
    cdef _LibraryOutput output
    staging = _BytesIO()
    with ZipFile(staging, "w") as staged:
        staged.writestr(_PROJECT_XML, document)
    with ZipFile(staging) as staged:
        document_spans = _member_spans(staged, staging)
    replacement.reset(new orvex.FileReplacement(os.fsencode(target)))
    _raise_write_error(replacement.get().error().value(), target)
    with _ExitStack() as stack:
        if source_path is None:
            source = _archive_members(stack, _open_replaced_file(replacement.get(), target), True)
        else:
            source = _archive_members(stack, _open_regular_file(source_path), False)
        output = _LibraryOutput(lambda stream: _write_archive(stream, staging, document_spans, source))
        with nogil:
            error = replacement.get().write(orvex.write_function(_fill_output, <void*>output),
                                            orvex.WriteDurability.Synced)
        if output.error is not None:
            raise output.error
        _raise_write_error(error.value(), target)
    return not replacement.get().writesInPlace()


# ---------------------------------------------------------------------------------------
# Reading the archive and its document.

from libc.string cimport memchr, memcmp

import codecs as _codecs
import copy as _copy
import zlib as _zlib
from io import BufferedReader as _BufferedReader, RawIOBase as _RawIOBase
import zipfile as _zipfile


def _member_info(archive, str name, Py_ssize_t limit):
    """The member's zip info, once its declared size is known to be within limit."""
    info = archive.getinfo(name)
    if info.file_size > limit:
        raise _BadZipFile(f"Member {name} is too large ({info.file_size} bytes)")
    return info


def _open_member(archive, str name, Py_ssize_t limit):
    """A reader of the member's bytes, once its declared size is known to be within limit."""
    return _MemberReader(archive, _member_info(archive, name, limit))


class _MemberReader(_RawIOBase):
    """The bytes of an archive member, read as zipfile reads them (up to the declared size,
    then the CRC-32 checked), but no read inflates more than it asks for, whatever the
    method: the compressed bytes are read in pieces of that size and decompressed with the
    decompressor's own output bound."""

    def __init__(self, archive, info):
        # zipfile's own refusals: an encrypted member, an unknown method, a bad local header.
        archive.open(info.filename).close()
        compressed = _copy.copy(info)
        compressed.compress_type = _zipfile.ZIP_STORED
        compressed.file_size = info.compress_size
        del compressed.CRC
        self._decompressor = _DECOMPRESSORS[info.compress_type]()
        self._compressed = archive.open(compressed)
        self._info = info
        self._left = info.file_size
        self._crc = 0

    def readable(self):
        return True

    def read(self, Py_ssize_t size=_READ_CHUNK):
        """At most size bytes (a chunk for a negative size); b"" at the end."""
        if size < 0:
            size = _READ_CHUNK
        while self._left > 0 and not self._decompressor.eof:
            data = self._compressed.read(size) if self._decompressor.needs_input else b""
            piece = self._decompressor.decompress(data, min(size, self._left))
            if piece:
                piece = piece[:self._left]
                self._left -= len(piece)
                self._crc = _zlib.crc32(piece, self._crc)
                return piece
            if not data and self._decompressor.needs_input:
                break
        if self._crc != self._info.CRC:
            raise _BadZipFile(f"Bad CRC-32 for file {self._info.filename!r}")
        return b""

    def readinto(self, buffer):
        data = self.read(len(buffer))
        buffer[:len(data)] = data
        return len(data)

    def close(self):
        if not self.closed:
            self._compressed.close()
        super().close()


class _Stored:
    """The bytes of a stored member, as a decompressor."""
    eof = False
    needs_input = True

    def decompress(self, data, max_length):
        return data


class _Inflater:
    """A raw deflate stream decompressor that keeps the input max_length leaves over, as the
    bz2 and lzma decompressors do."""

    def __init__(self):
        self._inflater = _zlib.decompressobj(-15)

    @property
    def eof(self):
        return self._inflater.eof

    @property
    def needs_input(self):
        return not self._inflater.unconsumed_tail

    def decompress(self, data, max_length):
        return self._inflater.decompress(self._inflater.unconsumed_tail + data, max_length)


class _ZipLZMA:
    """The LZMA stream of a zip member: two bytes of version and two of the properties' size,
    the LZMA1 properties (decoded as zipfile decodes them), then the raw stream."""

    def __init__(self):
        self._header = b""
        self._decompressor = None

    @property
    def eof(self):
        return self._decompressor is not None and self._decompressor.eof

    @property
    def needs_input(self):
        return self._decompressor is None or self._decompressor.needs_input

    def decompress(self, data, max_length):
        if self._decompressor is None:
            self._header += data
            if len(self._header) < 4:
                return b""
            end = 4 + _struct.unpack_from("<H", self._header, 2)[0]
            if len(self._header) < end:
                return b""
            import lzma
            self._decompressor = lzma.LZMADecompressor(lzma.FORMAT_RAW, filters=[
                lzma._decode_filter_properties(lzma.FILTER_LZMA1, self._header[4:end])])
            data, self._header = self._header[end:], None
        return self._decompressor.decompress(data, max_length)


def _bzip2_decompressor():
    import bz2
    return bz2.BZ2Decompressor()


def _zstandard_decompressor():
    from compression import zstd
    return zstd.ZstdDecompressor()


# The decompressors of the methods the interpreter's zipfile reads.
_DECOMPRESSORS = {_zipfile.ZIP_STORED: _Stored, _zipfile.ZIP_DEFLATED: _Inflater,
                  _zipfile.ZIP_BZIP2: _bzip2_decompressor, _zipfile.ZIP_LZMA: _ZipLZMA}
if hasattr(_zipfile, "ZIP_ZSTANDARD"):
    _DECOMPRESSORS[_zipfile.ZIP_ZSTANDARD] = _zstandard_decompressor


# The encodings that a document's first bytes tell: byte order marks, then the layout of
# "<?" (of "<" in UTF-32). Otherwise the XML declaration names it, or it is UTF-8.
_ENCODING_MARKS = ((b"\x00\x00\xfe\xff", "utf-32"), (b"\xff\xfe\x00\x00", "utf-32"),
                   (b"\x00\x00\x00<", "utf-32-be"), (b"<\x00\x00\x00", "utf-32-le"),
                   (b"\xfe\xff", "utf-16"), (b"\xff\xfe", "utf-16"),
                   (b"\x00<\x00?", "utf-16-be"), (b"<\x00?\x00", "utf-16-le"),
                   (b"\xef\xbb\xbf", "utf-8"))
_DECLARED_ENCODING = re.compile(
    rb"<\?xml\s+version\s*=\s*(?:'[^']*'|\"[^\"]*\")\s+encoding\s*=\s*(['\"])([A-Za-z][\w.-]*)\1")
# The encoding is decided on this many first bytes (or on a shorter document).
_HEAD_BYTES = 1 << 10
# The document type is parsed in pieces of this size, until the root element starts.
_PROLOG_PIECE = 1 << 10
_ENTITIES_REFUSED = "Entities are not accepted in a project document"
# Every document is parsed in UTF-8; entities are neither expanded nor loaded, nothing is
# fetched. huge_tree lifts libxml2's bounds on one text or name, which the size limit and
# the node budget take over.
_PARSER_OPTIONS = dict(remove_blank_text=True, resolve_entities=False, no_network=True, load_dtd=False,
                       huge_tree=True, encoding="utf-8")


# Counting what the parser builds out of a document's UTF-8 text, without building it: each
# start tag makes an element and the text after it, each end tag the text after it, each
# attribute itself and its value, each comment, processing instruction or CDATA section a
# node and the text after it, each entity reference (other than the predefined ones and
# character references) a node and the text after it. The document type is charged by its
# bytes (see _MAX_XML_NODES). Texts, attribute values, comments, processing instructions and
# literals are skipped whatever they hold, so that a text of "<", "&" or "=" counts nothing.

cdef inline Py_ssize_t _past(const unsigned char* text, Py_ssize_t size, Py_ssize_t start,
                             const char* word, Py_ssize_t length) noexcept nogil:
    """The offset just past the first word at or after start, or size."""
    cdef const unsigned char* found
    while start < size:
        found = <const unsigned char*>memchr(text + start, word[0], size - start)
        if found == NULL:
            return size
        start = found - text
        if start + length <= size and memcmp(found, word, length) == 0:
            return start + length
        start += 1
    return size


cdef inline bint _at(const unsigned char* text, Py_ssize_t size, Py_ssize_t start,
                     const char* word, Py_ssize_t length) noexcept nogil:
    return start + length <= size and memcmp(text + start, word, length) == 0


cdef Py_ssize_t _references(const unsigned char* text, Py_ssize_t start, Py_ssize_t end, bint any) noexcept nogil:
    """The entity references between start and end that may become nodes (none unless any)."""
    cdef Py_ssize_t count = 0
    cdef const unsigned char* found
    while any and start < end:
        found = <const unsigned char*>memchr(text + start, b"&", end - start)
        if found == NULL:
            break
        start = found - text + 1
        if not (_at(text, end, start, "#", 1) or _at(text, end, start, "lt;", 3) or _at(text, end, start, "gt;", 3)
                or _at(text, end, start, "amp;", 4) or _at(text, end, start, "apos;", 5)
                or _at(text, end, start, "quot;", 5)):
            count += 1
    return count


cdef Py_ssize_t _past_literal(const unsigned char* text, Py_ssize_t size, Py_ssize_t start) noexcept nogil:
    """Past the quoted literal that starts at start."""
    cdef const unsigned char* found = <const unsigned char*>memchr(text + start + 1, text[start], size - start - 1)
    return size if found == NULL else found - text + 1


cdef Py_ssize_t _past_document_type(const unsigned char* text, Py_ssize_t size, Py_ssize_t start) noexcept nogil:
    """Past the declaration "<!" that starts at start, with its internal subset."""
    cdef bint subset = False
    cdef unsigned char c
    start += 2
    while start < size:
        c = text[start]
        if c == b'"' or c == b"'":
            start = _past_literal(text, size, start)
        elif subset and _at(text, size, start, "<!--", 4):
            start = _past(text, size, start + 4, "-->", 3)
        elif subset and _at(text, size, start, "<?", 2):
            start = _past(text, size, start + 2, "?>", 2)
        elif c == b"[" or c == b"]":
            subset = c == b"["
            start += 1
        elif c == b">" and not subset:
            return start + 1
        else:
            start += 1
    return size


cdef Py_ssize_t _tree_nodes(const unsigned char* text, Py_ssize_t size) noexcept nogil:
    """An upper bound of the nodes that parsing the text builds, but for its document type."""
    cdef Py_ssize_t nodes = 0, start = 0, tag, value
    cdef const unsigned char* found
    cdef unsigned char c
    cdef bint references = memchr(text, b"&", size) != NULL
    while start < size:
        found = <const unsigned char*>memchr(text + start, b"<", size - start)
        tag = size if found == NULL else found - text
        nodes += 2 * _references(text, start, tag, references)
        if tag == size:
            break
        nodes += 2
        if _at(text, size, tag, "<!--", 4):
            start = _past(text, size, tag + 4, "-->", 3)
        elif _at(text, size, tag, "<![CDATA[", 9):
            start = _past(text, size, tag + 9, "]]>", 3)
        elif _at(text, size, tag, "<?", 2):
            start = _past(text, size, tag + 2, "?>", 2)
        elif _at(text, size, tag, "<!", 2):
            start = _past_document_type(text, size, tag)
        elif _at(text, size, tag, "</", 2):
            nodes -= 1
            start = _past(text, size, tag + 2, ">", 1)
        else:
            start = tag + 1
            while start < size and text[start] != b">":
                c = text[start]
                if c == b'"' or c == b"'":
                    value = _past_literal(text, size, start)
                    nodes += 2 * _references(text, start + 1, value - 1, references)
                    start = value
                else:
                    nodes += 2 * (c == b"=")
                    start += 1
            start += 1
    return nodes


def _document_encoding(bytes head):
    """The codec of a document that starts with head."""
    for mark, encoding in _ENCODING_MARKS:
        if head.startswith(mark):
            return encoding
    declaration = _DECLARED_ENCODING.match(head)
    return _codecs.lookup(declaration[2].decode()).name if declaration else "utf-8"


def _refuse_declared_entities(element):
    dtd = element.getroottree().docinfo.internalDTD
    if dtd is not None and next(dtd.iterentities(), None) is not None:
        raise etree.XMLSyntaxError(_ENTITIES_REFUSED, None, 0, 0)


class _DocumentReader:
    """Takes the bytes of a project document as they are read and keeps its text in UTF-8,
    in which its nodes are counted and which is parsed (a document in another encoding is
    decoded as it comes). The document is refused as soon as it passes the size limit, or
    its document type declares entities or passes the node budget, and once all of it is
    read, when it passes the node budget: before its body is parsed."""

    def __init__(self):
        self._size = 0
        self._head = b""
        self._decided = False
        self._decoder = None
        self._chunks = []
        self._text = None
        self._prolog = etree.XMLPullParser(("start",), **_PARSER_OPTIONS)
        self._prolog_bytes = 0

    def read(self, bytes data):
        """Takes data, the bytes that follow those read before."""
        self._size += len(data)
        if self._size > _MAX_XML_BYTES:
            raise ValueError(f"The project document holds more than {_MAX_XML_BYTES} bytes")
        if not self._decided:
            self._head += data
            if len(self._head) < _HEAD_BYTES:
                return
            data = self._decide()
        self._take(self._decoded(data, False))

    def finish(self):
        """Checks the whole document, once every byte is read."""
        self._take(self._decoded(b"" if self._decided else self._decide(), True))
        self._text = b"".join(self._chunks)
        self._chunks = None
        cdef const char* text = self._text
        cdef Py_ssize_t size = len(self._text)
        # No document makes more than a node per two bytes (the densest: an entity
        # reference and a character of text), so only a larger one is counted.
        if size // 2 > _MAX_XML_NODES and \
                _tree_nodes(<const unsigned char*>text, size) + self._prolog_bytes // 2 > _MAX_XML_NODES:
            raise _too_many_nodes()

    def parse(self):
        """The root element of the whole document, once every byte is read."""
        self.finish()
        self._prolog = None
        root = etree.fromstring(self._text, etree.XMLParser(**_PARSER_OPTIONS))
        # With an external document type, a reference to an entity it would declare is
        # well-formed: it becomes an entity node.
        if b"&" in self._text and next(root.iter(etree.Entity), None) is not None:
            raise etree.XMLSyntaxError(_ENTITIES_REFUSED, None, 0, 0)
        return root

    def _decide(self):
        """Decides the encoding on the bytes read so far, and returns them."""
        encoding = _document_encoding(self._head)
        if encoding != "utf-8":
            self._decoder = _codecs.getincrementaldecoder(encoding)()
        head, self._head, self._decided = self._head, None, True
        return head

    def _decoded(self, bytes data, bint final):
        if self._decoder is None:
            return data
        return self._decoder.decode(data, final).encode("utf-8")

    def _take(self, bytes text):
        self._chunks.append(text)
        if self._prolog is not None:
            self._parse_prolog(text)

    def _parse_prolog(self, bytes text):
        """Parses text up to where the root element starts, then checks the document type.
        The pieces end at fixed offsets of the document, and the bytes up to the end of the
        piece in which the root starts are charged, so that the charge does not depend on
        how the document was read."""
        cdef Py_ssize_t start = 0, end
        while start < len(text) and self._prolog is not None:
            end = min(len(text), start + _PROLOG_PIECE - self._prolog_bytes % _PROLOG_PIECE)
            self._prolog.feed(text[start:end])
            self._prolog_bytes += end - start
            start = end
            for _, element in self._prolog.read_events():
                _refuse_declared_entities(element)
                self._prolog = None
                self._prolog_bytes += -self._prolog_bytes % _PROLOG_PIECE
                break
            if self._prolog_bytes // 2 > _MAX_XML_NODES:
                raise _too_many_nodes()


def _too_many_nodes():
    return ValueError(f"The project document holds more than {_MAX_XML_NODES} nodes")


def _read_project_document(archive):
    """The root element of the archive's "project.xml", read in chunks and refused as soon
    as it is found to pass a limit, before its body is parsed."""
    reader = _DocumentReader()
    with _open_member(archive, _PROJECT_XML, _MAX_XML_BYTES) as member:
        while True:
            chunk = member.read(_READ_CHUNK)
            if not chunk:
                break
            reader.read(chunk)
    return reader.parse()


def _check_loadable(bytes document):
    """Refuses a serialised project document that a load would refuse for its size or its
    node count."""
    reader = _DocumentReader()
    reader.read(document)
    reader.finish()


class _RecordLines:
    """The lines of the analog CSV for the csv reader, refused as soon as the record in
    progress (its count of characters is reset for each new record) passes _MAX_CSV_RECORD."""

    def __init__(self, text):
        self._text = text
        self.record = 0

    def __iter__(self):
        return self

    def __next__(self):
        line = self._text.readline(_MAX_CSV_RECORD + 1 - self.record)
        if not line:
            raise StopIteration
        self.record += len(line)
        if self.record > _MAX_CSV_RECORD:
            raise ValueError(f"A record of the analog data holds more than {_MAX_CSV_RECORD} characters")
        return line


class _KeptValues:
    """The memory that the values kept of the analog CSV take, refused beyond _MAX_CSV_KEPT."""

    def __init__(self):
        self._size = 0

    def add(self, values):
        self._size += sum(map(sys.getsizeof, values)) + _LIST_SLOT * len(values)
        if self._size > _MAX_CSV_KEPT:
            raise ValueError(f"The analog data take more than {_MAX_CSV_KEPT} bytes of memory")


# ---------------------------------------------------------------------------------------
# Numbers in the document: blank-separated texts that float() reads back.

def _number_text(value):
    # A bool is written as its number: "True" would not read back.
    if isinstance(value, bool):
        return "1" if value else "0"
    return "{}".format(value)


def _read_numbers(text):
    return [float(part) for part in text.split()]


def _all_numbers(values):
    for value in values:
        if not isinstance(value, (float, int)):
            return False
    return True


def _check_coordinates(list values, str kind):
    if len(values) % 2:
        raise ValueError(_NOT_EVEN)
    if not _all_numbers(values):
        raise TypeError(kind + " coordinates must be numbers")


def _coordinates_text(values, str kind):
    """The text of a coordinate list; refuses one that would not read back."""
    if len(values) % 2:
        raise ValueError(_NOT_EVEN)
    texts = [_number_text(value) for value in values]
    try:
        for text in texts:
            float(text)
    except (TypeError, ValueError):
        raise TypeError(kind + " coordinates must be numbers")
    return " ".join(texts)


def _polygon_texts(polygon):
    """The step size, subset size, outline and non-empty cutout texts of a polygon, checked
    as the AOIPolygon setters check them, so that everything written reads back."""
    sizes = AOIPolygon()
    sizes.set_subset_size(polygon.subset_size)
    sizes.set_step_size(polygon.step_size)
    return (str(sizes.step_size), str(sizes.subset_size), _coordinates_text(polygon.outline, "Outline"),
            [_coordinates_text(cut, "Cutout") for cut in polygon.cutouts if len(cut) > 0])


def _check_pair(values, str name):
    if not isinstance(values, (list, tuple)):
        raise TypeError(name + " must be a tuple or list of size 2")
    if len(values) != 2:
        raise ValueError(name + " must be a tuple or list of size 2")
    if not _all_numbers(values):
        raise TypeError(name + " coordinates must be numbers")


def _startpoint_names(project):
    """The start-point name cache, read from the document when it is not filled yet."""
    if project.startpoint_list is None:
        project.get_startpoints()
    if project.startpoint_list is None:
        raise AttributeError("startpoint list should not be None at this point")
    return project.startpoint_list


def _child(parent, str tag):
    """The first child of that tag; a new one, with its lri attribute, when there is none."""
    element = parent.find(tag)
    if element is None:
        element = etree.SubElement(parent, tag)
        element.set("lri", tag)
    return element


def _check_initialized(project):
    if project.is_empty():
        raise AttributeError(_NOT_INITIALIZED)


def _files_entries(root, str path):
    """The whole texts of the elements at path below the first files element of each tag."""
    entries = []
    for tag in _FILES_TAGS:
        files = root.find(tag)
        if files is not None:
            entries.extend([_whole_text(element) for element in files.xpath(path)])
    return entries


def _whole_text(element):
    """All text below element, in document order."""
    if len(element) == 0:
        return element.text or ""
    return "".join(element.itertext())


def _files_for_writing(root):
    files = root.find("files_3d")
    if files is None:
        files = root.find("files")
    if files is None:
        files = etree.SubElement(root, "files_3d")
        files.set("lri", "files")
    return files


def _replace_files_entries(root, str tag, str path, list entries):
    files = _files_for_writing(root)
    if files.find(tag) is not None:
        for element in files.xpath(path):
            element.getparent().remove(element)
    for entry in entries:
        etree.SubElement(files, tag).text = entry


# ---------------------------------------------------------------------------------------

class AOIPolygon:
    """Implements a polygon with cutouts used to define AOIs.

    This class is used to define an AOI polygon that can include holes. It also defines the subset and step
    sizes used during correlation.
    """
    outline: list[float] | None
    cutouts: list[list[float]]
    subset_size: int
    step_size: int

    def __init__(self, outline: list[float] | None = None):
        """Initializes the instance using a list of points that specify the outline.

        Args:
            outline: The outline as a flat list of coordinates x0, y0, x1, y1, ...
        """
        self.outline = None
        self.cutouts = []
        self.subset_size = 29
        self.step_size = 7
        if outline is not None:
            self.set_outline(outline)

    def set_outline(self, outline: list[float]) -> None:
        """Sets the polygon outline.

        Args:
            outline: A flat list of coordinates x0, y0, x1, y1, ...
        """
        _check_coordinates(outline, "Outline")
        self.outline = outline

    def set_cutouts(self, cutouts: list) -> None:
        """Sets the polygon cutouts.

        Args:
            cutouts: A list of cutouts, each a flat list of coordinates like the outline.
        """
        self.cutouts.clear()
        for cutout in cutouts:
            self.add_cutout(cutout)

    def add_cutout(self, cutout: list[float]) -> None:
        """Adds a cutout to the polygon.

        Args:
            cutout: A flat list of coordinates x0, y0, x1, y1, ...
        """
        _check_coordinates(cutout, "Cutout")
        self.cutouts.append(cutout)

    def set_subset_size(self, subset_size: int) -> None:
        """Sets the subset size for the AOI.

        Args:
            subset_size: An odd number from 9 to 151.
        """
        if subset_size % 2 == 0:
            raise ValueError("The subset size should be an odd number")
        if subset_size > 151 or subset_size < 9:
            raise ValueError("The subset size should be between 9 and 151")
        self.subset_size = subset_size

    def set_step_size(self, step_size: int) -> None:
        """Sets the step size for the AOI.

        Args:
            step_size: A number from 1 to 30.
        """
        if step_size > 30 or step_size < 1:
            raise ValueError("The step size should be between 1 and 30")
        self.step_size = step_size


class ProjectFile:
    """Implements reading and writing some basic components of a Zel-3D project."""
    root: etree._Element | None
    project_file: str | None
    startpoint_list: list[str] | None
    # The absolute path of the archive the document comes from (its last load, or its
    # last save under project_file into a file), or None: a save carries over that archive's other
    # members, whatever name it writes to.

    def __init__(self, source: str | None = None):
        """Opens the project source when it exists, creates it in memory otherwise.

        Args:
            source: The project file (.q3d), or None for an empty object.
        """
        self.root = None
        self.project_file = None
        self.startpoint_list = None
        self._source = None
        if source is None:
            return
        if not source.endswith(".q3d"):
            raise ValueError(source + " is not a valid Zel3D project file.")
        if os.path.exists(source):
            self.load(source)
        else:
            self.create_project_file(source)

    def reset(self) -> None:
        """Drops the project: the object becomes empty."""
        if self.root is not None:
            self.root = None
        if self.project_file is not None:
            self.project_file = None
        self.startpoint_list = None
        self._source = None

    def is_empty(self) -> bool:
        """Returns True when no project is loaded or created."""
        return self.root is None

    def create_project_file(self, file_name: str, project_directory: str | None = None) -> None:
        """Creates a new project in memory; save_project writes it.

        Args:
            file_name: The project file name; .q3d is added when it has no extension.
            project_directory: The directory of the project's images; by default the directory
                of file_name.
        """
        self.reset()
        self.set_project_file_name(file_name)
        self.root = etree.Element("project")
        self.root.set("structure_version", "3")
        self.root.set("activeWorkspace", "main")
        if project_directory is None:
            project_directory = os.path.dirname(os.path.abspath(file_name))
        self.root.set("dir", project_directory)

    def set_project_file_name(self, file_name: str) -> None:
        """Sets the project file name that save_project writes by default.

        Args:
            file_name: The name; .q3d is added when it has no extension.
        """
        extension = os.path.splitext(file_name)[1]
        if extension == "":
            file_name = file_name + ".q3d"
        elif extension != ".q3d":
            raise ValueError(file_name + " is not a valid Zel3D project file.")
        _checked_file_name(file_name)
        self.project_file = file_name

    def load(self, source: str) -> None:
        """Loads a project file.

        Args:
            source: The project file (.q3d).
        """
        self.reset()
        if not source.endswith(".q3d"):
            raise ValueError(source + " is not a valid Zel3D project file.")
        try:
            with PyZipFile(source, "r") as archive:
                root = _read_project_document(archive)
            path = os.path.abspath(source)
        except Exception:
            raise ValueError("Could not process " + source)
        self.root = root
        self.project_file = source
        self._source = path

    def save_project(self, file_name: str | None = None) -> None:
        """Saves the project.

        The other members of the archive the project was loaded from are kept, whatever the
        name written; a new project keeps those of a project file already at that name.
        A save to the project file makes it the archive the project comes from, unless it
        went into a FIFO or device.

        A document too large to load again is refused with a ValueError before anything is
        written.

        Args:
            file_name: The file to write (.q3d is added when missing); by default the project file.
        """
        _check_initialized(self)
        if self.project_file is None:
            raise AttributeError(_NOT_INITIALIZED)
        name = self.project_file if file_name is None else file_name
        if not name.endswith(".q3d"):
            name = name + ".q3d"
        _checked_file_name(name)
        document = etree.tostring(self.root, encoding="utf-8", xml_declaration=True, pretty_print=True,
                                  doctype="<!DOCTYPE kdrx>")
        _check_loadable(document)
        # A new project keeps the members of an archive already at the target name.
        replaced = _write_project_archive(name, document, getattr(self, "_source", None))
        if file_name is None and replaced:
            self._source = os.path.abspath(name)

    def get_data_files(self) -> list[str]:
        """Returns the list of data files."""
        _check_initialized(self)
        return _files_entries(self.root, "./datafile")

    def set_data_files(self, data_files: list[str]) -> None:
        """Replaces the list of data files.

        Args:
            data_files: The data file names.
        """
        _check_initialized(self)
        _replace_files_entries(self.root, "datafile", "./datafile", data_files)

    def get_deformed_images(self) -> list[str]:
        """Returns the list of deformed images."""
        _check_initialized(self)
        return _files_entries(self.root, "./deformed")

    def set_deformed_images(self, deformed_images: list[str]) -> None:
        """Replaces the list of deformed images.

        Args:
            deformed_images: The deformed image names.
        """
        _check_initialized(self)
        _replace_files_entries(self.root, "deformed", "./deformed", deformed_images)

    def get_reference_image(self) -> str | None:
        """Returns the reference image, or None when the project has none."""
        _check_initialized(self)
        for tag in _FILES_TAGS:
            if self.root.find(tag + "/reference") is not None:
                return str(self.root.xpath("//" + tag + "/reference/text()")[0])
        return None

    def set_reference_image(self, reference_image: str) -> None:
        """Sets the reference image.

        Args:
            reference_image: The reference image name.
        """
        _check_initialized(self)
        files = _files_for_writing(self.root)
        reference = files.find("reference")
        if reference is None:
            reference = etree.SubElement(files, "reference")
        reference.text = reference_image

    def get_project_calibration(self) -> ProjectCalibration:
        """Returns the project calibration."""
        _check_initialized(self)
        calibration = _module_global("ProjectCalibration")()
        calibration.read_calibration(self.root)
        return calibration

    def set_project_calibration(self, project_calibration: ProjectCalibration) -> None:
        """Sets the project calibration.

        The document in memory changes; save_project writes it.

        Args:
            project_calibration: The project calibration as a ProjectCalibration object.
        """
        _check_initialized(self)
        project_calibration.write_calibration(self.root)

    def get_startpoints(self) -> list[str]:
        """Returns the list of startpoints."""
        _check_initialized(self)
        if self.startpoint_list is not None:
            return self.startpoint_list
        self.startpoint_list = []
        for tag in _STARTPOINT_SOURCES:
            if self.root.find("projectaois/" + tag) is not None:
                self.startpoint_list.extend(
                    [element.get("lri") for element in self.root.xpath("//projectaois/" + tag)])
        return self.startpoint_list

    def add_startpoint(self) -> str:
        """Adds a new startpoint.

        The name is kept in the startpoint list; it reaches the project with its first guess.

        Returns:
            The new startpoint's name.
        """
        _check_initialized(self)
        names = _startpoint_names(self)
        base = "startpoint_3d"
        if len(names) > 0 and "startpoint_3d" not in names[0]:
            base = "startpoint"
        try:
            taken = set(names)
        except TypeError:
            taken = names
        name = base
        name_try = 0
        while name in taken:
            name = f"{base}_{name_try}"
            name_try += 1
        names.append(name)
        return name

    def set_startpoint_guess(self, start_point: str, image_name: str,
                             position: tuple[float, float] | list[float, float],
                             du: tuple[float, float] | list[float, float],
                             dv: tuple[float, float] | list[float, float]) -> None:
        """Sets a startpoint guess for the image

        Args:
            start_point: The startpoint's name, from get_startpoints or add_startpoint.
            image_name: The image the guess is for.
            position: The position in the image (x, y).
            du: The u derivatives (du/dx, du/dy).
            dv: The v derivatives (dv/dx, dv/dy).
        """
        _check_initialized(self)
        _check_pair(position, "position")
        _check_pair(du, "du")
        _check_pair(dv, "dv")
        ref_image = self.get_reference_image()
        if ref_image is None:
            raise AttributeError(_NO_REFERENCE_IMAGE)
        if start_point not in _startpoint_names(self):
            raise AttributeError("The startpoint is not in the project. Use add_startpoint first")
        if "dir" not in self.root.keys():
            raise ValueError("Project does not contain directory parameter.")
        full_ref_image = os.path.join(self.root.get("dir"), ref_image)
        projectaois = _child(self.root, "projectaois")
        selected_startpoint = None
        for tag in _STARTPOINT_SOURCES:
            for element in projectaois.iterchildren(tag):
                if element.get("lri") == start_point:
                    selected_startpoint = element
                    break
        if selected_startpoint is None:
            selected_startpoint = etree.SubElement(projectaois, "startpoint")
            selected_startpoint.set("lri", start_point)
            selected_startpoint.set("ref_img", full_ref_image)
        selected_guess = None
        for guess in selected_startpoint.iterchildren("guess"):
            if guess.get("img") == image_name:
                selected_guess = guess
        if selected_guess is None:
            selected_guess = etree.SubElement(selected_startpoint, "guess")
            selected_guess.set("img", image_name)
        selected_guess.set("score", "-1")
        selected_guess.set("type", "ref" if image_name == ref_image else "user")
        selected_guess.text = " ".join([_number_text(value) for value in (*position, *du, *dv)])

    def get_aoi_polygon_masks(self) -> list[AOIPolygon]:
        """Returns the list of AOIPolygon masks.

        Returns:
            One AOIPolygon per stored polygon, of every mask, in document order.
        """
        _check_initialized(self)
        masks = []
        if self.root.find("projectaois/aoinode/polygonmask/polygon") is None:
            return masks
        for polygon in self.root.xpath("//projectaois/aoinode/polygonmask/polygon"):
            p = AOIPolygon()
            p.set_subset_size(int(polygon.get("subsetsize")))
            p.set_step_size(int(polygon.get("stepsize")))
            p.set_outline(_read_numbers(polygon.xpath("./outline/text()")[0]))
            for cutout in polygon.iterchildren("cutout"):
                p.add_cutout(_read_numbers(cutout.xpath("./text()")[0]))
            masks.append(p)
        return masks

    def set_aoi_polygon_masks(self, masks: list[AOIPolygon], width: int, height: int) -> None:
        """Sets the AOIPolygon masks

        Adds one polygon mask of the reference image holding the masks; polygons without an
        outline are left out.

        Args:
            masks: The AOIPolygon masks.
            width: The image width.
            height: The image height.
        """
        _check_initialized(self)
        if self.get_reference_image() is None:
            raise AttributeError(_NO_REFERENCE_IMAGE)
        # An empty outline or cutout, or a value that the setters refuse, would not read back.
        polygons = [_polygon_texts(p) for p in masks if p.outline is not None and len(p.outline) > 0]
        projectaois = _child(self.root, "projectaois")
        aoinode = projectaois.find("aoinode")
        if aoinode is None:
            aoinode = _child(projectaois, "aoinode")
            aoinode.set("img", self.get_reference_image())
        polygonmask = etree.SubElement(aoinode, "polygonmask")
        polygonmask.set("lri", "polygonmask")
        polygonmask.set("height", str(height))
        polygonmask.set("width", str(width))
        for step_size, subset_size, outline, cutouts in polygons:
            polygon = etree.SubElement(polygonmask, "polygon")
            polygon.set("stepsize", step_size)
            polygon.set("height", "7")
            polygon.set("selected", "false")
            polygon.set("subsetsize", subset_size)
            etree.SubElement(polygon, "outline").text = outline
            for cut in cutouts:
                etree.SubElement(polygon, "cutout").text = cut

    def get_analog_data_csv(self) -> dict | None:
        """Returns the analog data csv as a dictionary.

        The dictionary has a key 'header' that contains the csv header and then a key for each element
        in the header.
        """
        _check_initialized(self)
        if self.project_file is None:
            raise AttributeError("Project file is not initialized")
        reference = None
        for tag in _FILES_TAGS:
            if self.root.find(tag + "/csvfile") is not None:
                for element in self.root.xpath("//" + tag + "/csvfile"):
                    if "type" in element.keys() and element.get("type") == "tolvani":
                        reference = str(element.xpath("./text()")[0])
                        break
        if reference is None:
            return None
        member = "pfs" + reference[4:] if reference.startswith("prj:") else reference
        result = {}
        try:
            with PyZipFile(self.project_file, "r") as archive, \
                    _open_member(archive, member, _MAX_CSV_BYTES) as stream, \
                    TextIOWrapper(_BufferedReader(stream, _READ_CHUNK), "utf-8", newline="") as text:
                lines = _RecordLines(text)
                reader = csv.DictReader(lines)
                if reader.fieldnames is None:
                    raise AttributeError("Expected the csv to have a header")
                names = reader.fieldnames
                result["header"] = names
                for name in names:
                    result[name] = []
                columns = [result[name] for name in names]
                kept = _KeptValues()
                kept.add(names)
                lines.record = 0
                for record in reader:
                    lines.record = 0
                    values = [record[name] for name in names]
                    kept.add(values)
                    for column, value in zip(columns, values):
                        column.append(value)
        except Exception:
            raise ValueError("Could not process " + str(self.project_file))
        return result
