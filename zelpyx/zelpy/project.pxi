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
# The project document is refused before it is parsed when its text holds more tags and
# attributes (each "<" and "=" counts, so this is an upper bound) than this. Each costs the
# parsed tree up to about 250 bytes (an element with the text beside it, or an attribute with
# its value), so a document takes at most about 512 MB plus its text, however well its
# empty elements compress. A project of 100,000 images counts about 410,000; with a guess
# of one start point on every image, about 910,000.
_MAX_XML_MARKUP = 1 << 21
# Members are read in chunks of this size: zipfile inflates no more than one read asks for,
# whatever size the archive declares.
_READ_CHUNK = 1 << 20

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

def _member_info(archive, str name, Py_ssize_t limit):
    """The member's zip info, once its declared size is known to be within limit."""
    info = archive.getinfo(name)
    if info.file_size > limit:
        raise _BadZipFile(f"Member {name} is too large ({info.file_size} bytes)")
    return info


def _markup_count(bytes text):
    """An upper bound of the tags and attributes in an XML text."""
    return text.count(b"<") + text.count(b"=")


def _check_document_limits(Py_ssize_t size, Py_ssize_t markup):
    if size > _MAX_XML_BYTES:
        raise _BadZipFile(f"Member {_PROJECT_XML} is larger than {_MAX_XML_BYTES} bytes")
    if markup > _MAX_XML_MARKUP:
        raise ValueError(f"The project document holds more than {_MAX_XML_MARKUP} tags and attributes")


def _read_project_document(archive):
    """The root element of the archive's "project.xml". The member is read in chunks and
    refused as soon as it passes the size or markup limit, before anything is parsed."""
    cdef Py_ssize_t size = 0, markup = 0
    chunks = []
    with archive.open(_member_info(archive, _PROJECT_XML, _MAX_XML_BYTES)) as stream:
        while True:
            chunk = stream.read(_READ_CHUNK)
            if not chunk:
                break
            size += len(chunk)
            markup += _markup_count(chunk)
            _check_document_limits(size, markup)
            chunks.append(chunk)
    return _parse_project_chunks(chunks)


def _parse_project_chunks(chunks):
    """The root element of the project document made of chunks; entities are neither
    expanded nor accepted."""
    parser = etree.XMLParser(remove_blank_text=True, resolve_entities=False, no_network=True,
                             load_dtd=False, huge_tree=False)
    for chunk in chunks:
        parser.feed(chunk)
    root = parser.close()
    dtd = root.getroottree().docinfo.internalDTD
    if (dtd is not None and next(dtd.iterentities(), None) is not None) or \
            next(root.iter(etree.Entity), None) is not None:
        raise etree.XMLSyntaxError("Entities are not accepted in a project document", None, 0, 0)
    return root


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
        # The text is read in small chunks, and zipfile yields no more than the size that
        # _member_info checks, whatever the member inflates to.
        try:
            with PyZipFile(self.project_file, "r") as archive, \
                    archive.open(_member_info(archive, member, _MAX_CSV_BYTES), "r") as stream, \
                    TextIOWrapper(stream, "utf-8", newline="") as text:
                reader = csv.DictReader(text)
                if reader.fieldnames is None:
                    raise AttributeError("Expected the csv to have a header")
                result["header"] = reader.fieldnames
                for name in reader.fieldnames:
                    result[name] = []
                columns = [(name, result[name]) for name in reader.fieldnames]
                for record in reader:
                    for name, column in columns:
                        column.append(record[name])
        except Exception:
            raise ValueError("Could not process " + str(self.project_file))
        return result
