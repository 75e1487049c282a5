"""Hostile project archives: members that inflate beyond what they declare, whatever their
compression, documents of countless tiny nodes in any encoding or of nodes a document type
adds, entity declarations, and members that share their bytes. Each is refused with the
reading method's own error, within bounded memory, and a save writes nothing. Long strings,
long document types, references and attributes a document type defaults cost what they
build. Every document the module writes up to the size limit loads back, and a save refuses
what a load would refuse."""
import io
import os
import struct
import subprocess
import sys
import textwrap
import tracemalloc
import zipfile

import lxml.etree as etree
import pytest

from zelpyx.zelpy.zelpy import ProjectCalibration, ProjectFile

# Every compression method the interpreter's zipfile reads.
METHODS = [zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED, zipfile.ZIP_BZIP2, zipfile.ZIP_LZMA,
           *([zipfile.ZIP_ZSTANDARD] if hasattr(zipfile, "ZIP_ZSTANDARD") else [])]
METHOD_NAMES = {zipfile.ZIP_STORED: "stored", zipfile.ZIP_DEFLATED: "deflate", zipfile.ZIP_BZIP2: "bzip2",
                zipfile.ZIP_LZMA: "lzma", getattr(zipfile, "ZIP_ZSTANDARD", None): "zstandard"}
READERS = {"ProjectFile": ("project.xml", lambda path: ProjectFile(path)),
           "ProjectCalibration": ("project.xml", lambda path: ProjectCalibration(path)),
           "analog CSV": ("pfs/analog.csv", lambda path: ProjectFile(path).get_analog_data_csv())}


@pytest.fixture(scope="module")
def lying_archives(tmp_path_factory):
    """Builds, once per member and method, a project whose member declares 1,000 bytes and
    inflates to 64 MiB."""
    built = {}
    directory = tmp_path_factory.mktemp("lying")

    def lying(archives, member, compression):
        if (member, compression) not in built:
            path = directory / f"{METHOD_NAMES[compression]}-{member.replace('/', '-')}.q3d"
            built[member, compression] = archives.lying_member(path, member, 64 << 20, compression=compression)
        return built[member, compression]
    return lying


@pytest.mark.parametrize("compression", METHODS, ids=METHOD_NAMES.get)
@pytest.mark.parametrize("reader", READERS)
def test_member_inflating_beyond_its_declared_size(archives, lying_archives, reader, compression):
    member, read = READERS[reader]
    path = lying_archives(archives, member, compression)
    tracemalloc.start()
    try:
        with pytest.raises(ValueError) as raised:
            read(path)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert str(raised.value) == "Could not process " + path
    assert isinstance(raised.value.__context__, zipfile.BadZipFile)
    # A chunk or two, and the 8 MiB dictionary that zipfile's LZMA streams declare.
    assert peak < (8 << 20) + (8 << 20) * (compression == zipfile.ZIP_LZMA)


def numbered_project(count):
    return ("<project dir='/d'><files_3d><reference>r\u00e9f.tif</reference>"
            + "".join(f"<deformed>d\u00e9f_{n:06d}.tif</deformed>" for n in range(count))
            + "</files_3d></project>").encode()


@pytest.mark.parametrize("compression", METHODS, ids=METHOD_NAMES.get)
def test_members_of_every_method_are_read_whole(tmp_path, archives, compression):
    """Members of several chunks, of each method, read back as zipfile reads them."""
    xml = numbered_project(40_000)
    csv = b"t,v\n" + b"".join(b"%d,%d.5\n" % (n, n) for n in range(150_000))
    path = tmp_path / "methods.q3d"
    with zipfile.ZipFile(path, "w", compression) as archive:
        archive.writestr("project.xml", xml.replace(b"<files_3d>", archives.CSV_XML[9:-10].encode() + b"<files_3d>"))
        archive.writestr("pfs/analog.csv", csv)
    project = ProjectFile(str(path))
    assert project.get_deformed_images() == [f"d\u00e9f_{n:06d}.tif" for n in range(40_000)]
    analog = project.get_analog_data_csv()
    assert analog["t"] == [str(n) for n in range(150_000)] and analog["v"][-1] == "149999.5"


def with_header_fields(data, name, **fields):
    """The archive data with fields (flags, method: values) of member name set in its local
    header and its central record."""
    data = bytearray(data)
    for signature, name_offset, offsets in ((b"PK\x03\x04", 30, {"flags": 6, "method": 8}),
                                            (b"PK\x01\x02", 46, {"flags": 8, "method": 10})):
        position = data.find(signature)
        while position >= 0:
            if data[position + name_offset:].startswith(name.encode()):
                for field, value in fields.items():
                    struct.pack_into("<H", data, position + offsets[field], value)
            position = data.find(signature, position + 4)
    return bytes(data)


@pytest.mark.parametrize("fields", [{"flags": 0x1}, {"method": 9}, {"method": 77}],
                         ids=["encrypted", "deflate64", "unknown method"])
@pytest.mark.parametrize("reader", READERS)
def test_members_zipfile_cannot_read_keep_its_exception(tmp_path, archives, reader, fields):
    member, read = READERS[reader]
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        archive.writestr("project.xml", archives.CSV_XML)
        archive.writestr("pfs/analog.csv", b"t\n1\n")
    path = tmp_path / "unreadable.q3d"
    path.write_bytes(with_header_fields(buffer.getvalue(), member, **fields))
    with zipfile.ZipFile(path) as archive, pytest.raises(Exception) as expected:
        archive.read(member)
    with pytest.raises(ValueError, match="^Could not process ") as raised:
        read(str(path))
    cause = raised.value.__context__
    assert (type(cause), str(cause)) == (expected.type, str(expected.value))


# Loads a project in a child process whose address space may grow by the bytes given, and
# prints how much its peak resident memory grew, and the load's error with its cause.
PEAK_OF_LOAD = textwrap.dedent("""
    import resource, sys
    from zelpyx.zelpy.zelpy import ProjectCalibration, ProjectFile

    def status(field):
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith(field + ":")) << 10

    limit = status("VmSize") + int(sys.argv[3])
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    reader = {"ProjectFile": ProjectFile, "ProjectCalibration": ProjectCalibration}[sys.argv[2]]
    before = status("VmHWM")
    try:
        reader(sys.argv[1])
        error = "none"
    except ValueError as exception:
        error = type(exception.__context__).__name__ + ": " + str(exception.__context__)
    print(status("VmHWM") - before)
    print(error)
""")


def document_of(path, text):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("project.xml", text)
    return str(path)


def peak_of_load(path, reader="ProjectFile", timeout=120, allowance=1 << 30):
    """The growth of peak resident memory of a load of path in a child process whose address
    space may grow by allowance bytes, and the load's error ("ValueError: ..." for the cause
    of "Could not process ...")."""
    result = subprocess.run([sys.executable, "-c", PEAK_OF_LOAD, path, reader, str(allowance)],
                            capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, result.stderr[-2000:]
    growth, error = result.stdout.splitlines()
    return int(growth), error


# Documents of more than 11,184,810 nodes, each over 500 MB once parsed.
COUNTLESS = {
    "empty elements": lambda archives: b"<p>" + b"<a/>" * (12 << 20) + b"</p>",
    "elements and text": lambda archives: b"<p>" + b"<a/>x" * (6 << 20) + b"</p>",
    "attributes": lambda archives: b"<p>" + b"<a b='' c='' d='' e='' f=''/>" * (1 << 20) + b"</p>",
    "namespace defaults": lambda archives: archives.namespace_defaults(),
    "UTF-7 elements": lambda archives: archives.utf7_elements(6 << 20),
    "UTF-16 elements": lambda archives: archives.utf16_elements(6 << 20),
    "comments": lambda archives: b"<p>" + b"<!---->x" * (7 << 20) + b"</p>",
    "processing instructions": lambda archives: b"<p>" + b"<?a?>" * (12 << 20) + b"</p>",
    "content model": lambda archives: b"<!DOCTYPE p [<!ELEMENT p (a" + b"|a" * (6 << 20) + b")>]><p/>",
    "content model after a long comment":
        lambda archives: b"<!--" + b"c" * (30 << 20) + b"-->" + COUNTLESS["content model"](archives),
}


@pytest.mark.parametrize("document, reader", [
    *[(document, reader) for document in ("empty elements", "elements and text", "attributes", "namespace defaults")
      for reader in ("ProjectFile", "ProjectCalibration")],
    *[(document, "ProjectFile")
      for document in ("UTF-7 elements", "UTF-16 elements", "comments", "processing instructions", "content model",
                       "content model after a long comment")]])
def test_document_of_countless_nodes_is_refused_before_it_is_parsed(tmp_path, archives, document, reader):
    text = COUNTLESS[document](archives)
    growth, error = peak_of_load(document_of(tmp_path / "many.q3d", text), reader)
    assert error == "ValueError: The project document holds more than 11184810 nodes"
    # Refused, it costs a copy or two of its text.
    assert growth < 2 * len(text) + (64 << 20)


@pytest.mark.parametrize("document, loads", [
    (lambda archives: archives.references(107_500, "IDREF"), False),
    (lambda archives: archives.references(107_500, "IDREFS"), False),
    (lambda archives: archives.defaulted_attributes(4_000_000), True),
], ids=["IDREF attributes", "IDREFS attributes", "attributes the document type defaults"])
def test_document_is_charged_what_its_tree_holds(tmp_path, archives, document, loads):
    """Within 2.0 GB: 5,375,000 references (54 MB), 2.8 GB as lxml's tree with their table of
    references, are refused; 4,000,000 elements (20 MB) with an attribute the document type
    defaults, which the tree leaves out, load."""
    growth, error = peak_of_load(document_of(tmp_path / "tree.q3d", document(archives)), allowance=2_000_000_000)
    assert error == ("none" if loads else "ValueError: The project document holds more than 11184810 nodes")
    assert growth < 2_000_000_000


def test_entity_declaration_is_refused_before_the_body_is_read(tmp_path, archives):
    """64 MB of references to one entity: refused once the document type is read."""
    growth, error = peak_of_load(document_of(tmp_path / "entity.q3d", archives.entity_references(8_000_000)))
    assert error.startswith("XMLSyntaxError: Entities are not accepted in a project document")
    assert growth < 16 << 20


def test_document_type_of_many_declarations_loads(tmp_path, archives):
    """100,000 attributes declared for one element (2.2 MB): each declaration is read once."""
    _, error = peak_of_load(document_of(tmp_path / "declarations.q3d", archives.attribute_declarations(100_000)),
                            timeout=30)
    assert error == "none"


def module_created_project(path, make_project):
    project = ProjectFile()
    project.create_project_file(path, "/d" * 12_000_000)
    project.save_project()
    return path


@pytest.mark.parametrize("build, long_string, length", [
    (lambda path, make: make(b"<project dir='" + b"d" * (30 << 20) + b"'/>"), lambda root: root.get("dir"), 30 << 20),
    (lambda path, make: make(b"<!--" + b"c" * (30 << 20) + b"--><project/>"), lambda root: root.getprevious().text,
     30 << 20),
    (module_created_project, lambda root: root.get("dir"), 24_000_000),
], ids=["30 MiB attribute", "30 MiB comment before the root", "24 MB folder of a created project"])
def test_long_strings_load(tmp_path, make_project, build, long_string, length):
    """A string costs its bytes, not a node for each."""
    root = ProjectFile(build(str(tmp_path / "long.q3d"), make_project)).root
    assert len(long_string(root)) == length


def test_project_of_100000_images_loads(tmp_path):
    images = [f"def_{n:06d}_0.tif" for n in range(1, 100_000)]
    files = [f"run-{n:06d}_0.out" for n in range(100_000)]
    text = ("<?xml version='1.0' encoding='utf-8'?>\n<!DOCTYPE kdrx>\n<project dir='/data/run'>\n"
            '  <files_3d lri="files">\n    <reference>ref_000000_0.tif</reference>\n'
            + "".join(f"    <deformed>{name}</deformed>\n" for name in images)
            + "".join(f"    <datafile>{name}</datafile>\n" for name in files)
            + '  </files_3d>\n  <projectaois lri="projectaois">\n'
            + "".join(f'    <startpoint lri="startpoint_3d_0"><guess img="{name}" score="-1" type="user">'
                      "1 2 0 0 0 0</guess></startpoint>\n" for name in images[:1000])
            + "  </projectaois>\n</project>\n")
    project = ProjectFile(document_of(tmp_path / "large.q3d", text))
    assert project.get_deformed_images() == images
    assert project.get_data_files() == files
    assert project.get_reference_image() == "ref_000000_0.tif"


# ---------------------------------------------------------------------------------------
# Members that share bytes.

def archive_bytes(members):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name, data in members.items():
            archive.writestr(name, data)
    return buffer.getvalue()


def base_archive():
    """A stored archive of "project.xml" and "data.bin", whose bytes hold a whole local
    entry ("in.bin" with its header); and the archive "in.bin" comes from."""
    inner = archive_bytes({"in.bin": b"x" * 64})
    inner_entry = inner[:inner.index(b"PK\x01\x02")]
    return archive_bytes({"project.xml": "<project/>", "data.bin": b"head" + inner_entry + b"tail" * 1000}), inner


def same_bytes_many_times(archives, data, inner):
    return archives.repeated_member(data, 100)


def entry_inside_another(archives, data, inner):
    xml, member = archives.central_records(data)
    offset = struct.unpack_from("<L", member, 42)[0] + 30 + len(b"data.bin") + 4
    nested = archives.central_records(inner)[0]
    return archives.with_central_directory(data, [xml, member, nested[:42] + struct.pack("<L", offset) + nested[46:]])


def entry_into_the_directory(archives, data, inner):
    xml, member = archives.central_records(data)
    size = struct.unpack_from("<L", member, 20)[0] + 10
    longer = member[:20] + struct.pack("<2L", size, size) + member[28:]
    return archives.with_central_directory(data, [xml, longer])


@pytest.mark.parametrize("layout", [same_bytes_many_times, entry_inside_another, entry_into_the_directory])
@pytest.mark.parametrize("how", ["loaded", "created"])
def test_members_sharing_bytes_are_refused_before_anything_is_written(tmp_path, archives, layout, how):
    path = tmp_path / "shared.q3d"
    path.write_bytes(layout(archives, *base_archive()))
    before = path.read_bytes()
    if how == "loaded":
        project = ProjectFile(str(path))
        targets = [path, tmp_path / "copy.q3d"]
    else:
        project = ProjectFile()
        project.create_project_file(str(path))
        targets = [path]
    for target in targets:
        with pytest.raises(zipfile.BadZipFile):
            project.save_project(str(target))
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == ["shared.q3d"]


def test_member_bytes_that_look_like_an_entry_are_copied(tmp_path):
    data, _ = base_archive()
    path = tmp_path / "plain.q3d"
    path.write_bytes(data)
    ProjectFile(str(path)).save_project()
    with zipfile.ZipFile(path) as archive:
        assert archive.testzip() is None and archive.namelist() == ["project.xml", "data.bin"]


# ---------------------------------------------------------------------------------------
# Documents the module writes load back; a save refuses what a load would refuse.

# Empty deformed entries are among the densest markup the module writes (26 bytes, an
# element and the blanks before it): as many as fill the document up to the size limit.
DENSEST_ENTRIES = ((64 << 20) - 256) // 26


@pytest.mark.parametrize("entries", [
    lambda: [f"def_{n:07d}_0.tif" for n in range(1, 1_100_001)],
    lambda: [""] * DENSEST_ENTRIES,
], ids=["1,100,000 images", "empty entries up to the size limit"])
def test_large_projects_saved_by_the_module_load_back(tmp_path, entries):
    names = entries()
    path = str(tmp_path / "large.q3d")
    project = ProjectFile()
    # The document holds the project's folder: a fixed one keeps it within the margin.
    project.create_project_file(path, "/d")
    project.set_reference_image("ref.tif")
    project.set_deformed_images(names)
    project.save_project()
    del project
    with zipfile.ZipFile(path) as archive:
        assert archive.getinfo("project.xml").file_size > min(len(names) * 26, (64 << 20) - 512)
    assert ProjectFile(path).get_deformed_images() == names


def test_texts_of_markup_characters_load_back(tmp_path):
    """A text or attribute value of "<", "&", "=" and quotes counts no nodes, however long
    (the reference is 24 MB once escaped, in a text and again in an attribute; the image
    name 8.5 MB)."""
    text = "<&=\"'>" * 1_500_000
    image = "=<&\"'" * 500_000
    path = str(tmp_path / "text.q3d")
    project = ProjectFile(path)
    project.set_reference_image(text)
    project.set_startpoint_guess(project.add_startpoint(), image, (1, 2), (0, 0), (0, 0))
    project.save_project()
    loaded = ProjectFile(path)
    assert loaded.get_reference_image() == text
    assert loaded.root.find("projectaois/startpoint/guess").get("img") == image


def over_the_node_budget():
    """5,700,000 empty elements: 11,400,000 nodes."""
    return etree.fromstring(b"<project>" + b"<a/>" * 5_700_000 + b"</project>")


def over_the_size_limit():
    root = etree.Element("project")
    etree.SubElement(root, "reference").text = "x" * (64 << 20)
    return root


@pytest.mark.parametrize("tree, message, load_cause", [
    (over_the_node_budget, "The project document holds more than 11184810 nodes", ValueError),
    (over_the_size_limit, "The project document holds more than 67108864 bytes", zipfile.BadZipFile),
], ids=["nodes", "bytes"])
def test_save_refuses_a_document_the_load_would_refuse(tmp_path, make_project, tree, message, load_cause):
    path = make_project("<project><files><reference>kept.tif</reference></files></project>")
    before = open(path, "rb").read()
    project = ProjectFile(path)
    root = project.root = tree()
    with pytest.raises(ValueError, match=f"^{message}$"):
        project.save_project()
    assert open(path, "rb").read() == before and os.listdir(tmp_path) == ["project.q3d"]
    assert project.root is root and project.project_file == path
    by_hand = make_project(etree.tostring(root, encoding="utf-8", xml_declaration=True, pretty_print=True,
                                          doctype="<!DOCTYPE kdrx>"), name="by_hand.q3d")
    with pytest.raises(ValueError, match="^Could not process ") as raised:
        ProjectFile(by_hand)
    assert isinstance(raised.value.__context__, load_cause)
    if load_cause is ValueError:
        assert str(raised.value.__context__) == message
