# Project archives: their members read within a size limit whatever the zip method, and
# copied raw, never decompressed, into a new archive.
import copy as _copy
from io import BufferedReader as _BufferedReader, RawIOBase as _RawIOBase
import stat as _stat
import struct as _struct
import zipfile as _zipfile
from zipfile import BadZipFile as _BadZipFile
import zlib as _zlib

# The member that holds the project document.
_PROJECT_XML = "project.xml"
# Members are read in chunks of this size: no read inflates more, whatever size the archive
# declares.
_READ_CHUNK = 1 << 20


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


def _open_regular_file(str path):
    """The regular file at path (through links) opened for reading, None where there is
    no file. Anything else is no zip archive, and is never opened: a FIFO would wait for a
    writer, a device would act. A lease holder is waited for, as by a plain open."""
    flags = os.O_RDONLY | os.O_NOCTTY | os.O_CLOEXEC
    try:
        if not _stat.S_ISREG(os.stat(path).st_mode):
            raise _BadZipFile("File is not a zip file")
        try:
            descriptor = os.open(path, flags | os.O_NONBLOCK)
        except BlockingIOError:
            descriptor = os.open(path, flags)
        raw = open(descriptor, "rb")
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


# ---------------------------------------------------------------------------------------
# Bounded member reading.

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
