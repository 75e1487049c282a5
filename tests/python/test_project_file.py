"""ProjectFile: the archive, its document, loading, creating, saving and the image lists."""
import io
import os
import stat
import subprocess
import sys
import textwrap
import zipfile
from pathlib import Path

import lxml.etree as etree
import pytest

from zelpyx.zelpy.zelpy import ProjectFile

FILES_XML = """<?xml version='1.0' encoding='utf-8'?>
<!DOCTYPE kdrx>
<project structure_version="3" activeWorkspace="main" dir="/data/run">
  <files lri="files">
    <reference>ref_0000_0.tif</reference>
    <deformed>def_0001_0.tif</deformed>
    <datafile>run-0001_0.out</datafile>
    <csvfile type="tolvani">prj:/analog.csv</csvfile>
  </files>
</project>
"""

FOREIGN = {
    "pfs/analog.csv": b"time,volts\n0,1.5\n",
    "images/ref_0000_0.tif": bytes(range(256)) * 64,
    "notes/unknown.bin": b"\x00\xffkeep me\r\n",
    "images/bild_\u00e4_0001.tif": b"\x01" * 1000,
}


def tostring(root):
    return etree.tostring(root)


@pytest.mark.parametrize("call", [
    lambda p: p.get_reference_image(),
    lambda p: p.get_data_files(),
    lambda p: p.get_deformed_images(),
    lambda p: p.set_data_files([]),
    lambda p: p.set_deformed_images([]),
    lambda p: p.set_reference_image("a"),
    lambda p: p.save_project(),
    lambda p: p.save_project("x.q3d"),
])
def test_empty_object_refuses_access(call):
    project = ProjectFile()
    assert project.is_empty()
    with pytest.raises(AttributeError, match="^ProjectFile is not initialized$"):
        call(project)


def test_created_project_lives_in_memory_until_saved(tmp_path):
    name = str(tmp_path / "new.q3d")
    project = ProjectFile(name)
    assert not project.is_empty()
    assert project.project_file == name
    assert list(project.root.attrib.items()) == [
        ("structure_version", "3"), ("activeWorkspace", "main"), ("dir", str(tmp_path))]
    assert project.get_reference_image() is None
    assert project.get_deformed_images() == [] and project.get_data_files() == []
    assert not os.path.exists(name)
    project.save_project()
    assert zipfile.ZipFile(name).namelist() == ["project.xml"]


def test_create_with_directory_and_name_without_extension(tmp_path):
    project = ProjectFile()
    project.create_project_file(str(tmp_path / "plain"), "/images")
    assert project.project_file == str(tmp_path / "plain") + ".q3d"
    assert project.root.get("dir") == "/images"


@pytest.mark.parametrize("exists", [False, True])
def test_names_with_another_extension_are_refused(tmp_path, make_project, exists):
    name = str(tmp_path / "other.zip")
    if exists:
        os.replace(make_project(FILES_XML), name)
    message = r"^.*other\.zip is not a valid Zel3D project file\.$"
    with pytest.raises(ValueError, match=message):
        ProjectFile(name)
    for action in (ProjectFile.load, ProjectFile.create_project_file):
        project = ProjectFile(make_project(FILES_XML, name="loaded.q3d"))
        with pytest.raises(ValueError, match=message):
            action(project, name)
        assert project.is_empty() and project.project_file is None


def test_set_project_file_name(tmp_path):
    project = ProjectFile(str(tmp_path / "a.q3d"))
    project.set_project_file_name("b")
    assert project.project_file == "b.q3d"
    with pytest.raises(ValueError, match=r"^c\.Q3D is not a valid Zel3D project file\.$"):
        project.set_project_file_name("c.Q3D")
    assert project.project_file == "b.q3d"


@pytest.mark.parametrize("given, written", [("plain", "plain.q3d"), ("copy.zip", "copy.zip.q3d"),
                                            ("same.q3d", "same.q3d")])
def test_save_under_another_name_keeps_the_default(tmp_path, given, written):
    project = ProjectFile(str(tmp_path / "a.q3d"))
    project.save_project(str(tmp_path / given))
    assert (tmp_path / written).is_file()
    assert project.project_file == str(tmp_path / "a.q3d")
    assert not (tmp_path / "a.q3d").exists()


def test_exact_document_written_and_read_back(tmp_path):
    name = str(tmp_path / "exact.q3d")
    project = ProjectFile()
    project.create_project_file(name, "/data/run")
    project.set_reference_image("ref_0000_0.tif")
    project.set_deformed_images(["def_0001_0.tif", "def_0002_0.tif"])
    project.set_data_files(["run-0001_0.out"])
    project.save_project()
    with zipfile.ZipFile(name) as archive:
        assert [(i.filename, i.compress_type) for i in archive.infolist()] == [
            ("project.xml", zipfile.ZIP_STORED)]
        assert archive.read("project.xml").decode("utf-8") == (
            "<?xml version='1.0' encoding='utf-8'?>\n"
            "<!DOCTYPE kdrx>\n"
            '<project structure_version="3" activeWorkspace="main" dir="/data/run">\n'
            '  <files_3d lri="files">\n'
            "    <reference>ref_0000_0.tif</reference>\n"
            "    <deformed>def_0001_0.tif</deformed>\n"
            "    <deformed>def_0002_0.tif</deformed>\n"
            "    <datafile>run-0001_0.out</datafile>\n"
            "  </files_3d>\n"
            "</project>\n")
    loaded = ProjectFile(name)
    assert tostring(loaded.root) == tostring(project.root)
    assert loaded.get_reference_image() == "ref_0000_0.tif"
    assert loaded.get_deformed_images() == ["def_0001_0.tif", "def_0002_0.tif"]
    assert loaded.get_data_files() == ["run-0001_0.out"]


def test_lists_follow_the_reading_order_and_setters_write_files_3d(make_project):
    project = ProjectFile(make_project(
        "<project><files><deformed>a</deformed></files>"
        "<files_3d><deformed>b</deformed><deformed>c<x/>d</deformed><deformed/></files_3d>"
        "<files_2d><deformed>z</deformed></files_2d></project>"))
    assert project.get_deformed_images() == ["a", "b", "cd", "", "z"]
    project.set_deformed_images(["n"])
    assert project.get_deformed_images() == ["a", "n", "z"]
    project.set_data_files([])
    assert project.get_data_files() == []


def test_setter_on_files_2d_only_adds_files_3d(make_project):
    project = ProjectFile(make_project("<project><files_2d><deformed>z</deformed></files_2d></project>"))
    project.set_deformed_images(["n"])
    assert [child.tag for child in project.root] == ["files_2d", "files_3d"]
    assert project.root[1].get("lri") == "files"
    assert project.get_deformed_images() == ["n", "z"]


def test_reference_image(make_project):
    project = ProjectFile(make_project("<project><files_3d><reference a='1'>old</reference></files_3d>"
                                       "</project>"))
    project.set_reference_image("new")
    assert etree.tostring(project.root) == b'<project><files_3d><reference a="1">new</reference></files_3d></project>'
    assert project.get_reference_image() == "new"
    empty = ProjectFile(make_project("<project><files><reference/></files></project>", name="e.q3d"))
    with pytest.raises(IndexError):
        empty.get_reference_image()


def read_members(name):
    """Every member's zip info, raw local bytes (header to end of data) and content."""
    with open(name, "rb") as raw, zipfile.ZipFile(raw) as archive:
        members = {}
        for info in archive.infolist():
            raw.seek(info.header_offset + 26)
            name_length, extra_length = int.from_bytes(raw.read(2), "little"), int.from_bytes(raw.read(2), "little")
            raw.seek(info.header_offset)
            local = raw.read(30 + name_length + extra_length + info.compress_size)
            fields = (info.compress_type, info.CRC, info.compress_size, info.file_size, info.date_time,
                      info.external_attr, info.flag_bits, info.comment, info.extra)
            members[info.filename] = (fields, local, archive.read(info))
        return members, archive.comment


@pytest.mark.parametrize("target", ["project.q3d", "copy.q3d", "sub/over.q3d"])
def test_save_keeps_the_other_members_raw(tmp_path, make_project, target):
    source = make_project(FILES_XML, FOREIGN)
    with zipfile.ZipFile(source, "a") as archive:
        archive.comment = b"archive comment"
    before, _ = read_members(source)
    project = ProjectFile(source)
    project.set_deformed_images(["changed.tif"])
    (tmp_path / "sub").mkdir()
    target = str(tmp_path / target)
    if target.endswith("over.q3d"):
        ProjectFile(make_project("<project/>", {"stale": b"x"}, name="sub/over.q3d")).save_project()
    project.save_project(target)

    after, comment = read_members(target)
    assert list(after) == ["project.xml", *FOREIGN]
    for member in FOREIGN:
        assert after[member] == before[member]
    assert comment == b"archive comment"
    assert ProjectFile(target).get_deformed_images() == ["changed.tif"]
    assert sorted(path.name for path in tmp_path.rglob("*")) == sorted(
        {"project.q3d", "sub", os.path.basename(target)})
    with zipfile.ZipFile(target) as archive:
        assert archive.testzip() is None


class Unseekable(io.RawIOBase):
    """A write-only stream: zipfile writes its members with data descriptors."""

    def __init__(self):
        self.buffer = io.BytesIO()

    def writable(self):
        return True

    def write(self, data):
        return self.buffer.write(data)


def test_members_with_data_descriptors_are_copied(tmp_path):
    stream = Unseekable()
    with zipfile.ZipFile(stream, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("project.xml", FILES_XML)
        for member, data in FOREIGN.items():
            archive.writestr(member, data)
    source = tmp_path / "streamed.q3d"
    source.write_bytes(stream.buffer.getvalue())
    assert all(i.flag_bits & 0x08 for i in zipfile.ZipFile(source).infolist())
    before, _ = read_members(source)
    ProjectFile(str(source)).save_project()
    after, _ = read_members(source)
    with zipfile.ZipFile(source) as archive:
        assert archive.testzip() is None
        assert {member: archive.read(member) for member in FOREIGN} == FOREIGN
    for member in FOREIGN:
        assert after[member][:2] == before[member][:2]


def test_many_members_go_through_the_zip64_directory(make_project):
    extra = {f"m/{n}": b"%d" % n for n in range(0x10000)}
    source = make_project(FILES_XML, extra, stored=True)
    ProjectFile(source).save_project()
    with zipfile.ZipFile(source) as archive:
        infos = archive.infolist()
        assert len(infos) == 0x10001
        assert archive.read("m/65535") == b"65535" and archive.read(infos[0]) == FILES_XML.encode()


def test_save_keeps_the_file_mode(tmp_path, make_project):
    source = make_project(FILES_XML)
    os.chmod(source, 0o604)
    ProjectFile(source).save_project()
    assert stat.S_IMODE(os.stat(source).st_mode) == 0o604
    umask = os.umask(0o027)
    try:
        ProjectFile(source).save_project(str(tmp_path / "new.q3d"))
    finally:
        os.umask(umask)
    assert stat.S_IMODE(os.stat(tmp_path / "new.q3d").st_mode) == 0o640


@pytest.mark.parametrize("open_through_link", [True, False])
def test_save_through_a_symbolic_link_replaces_the_file_it_points_to(tmp_path, make_project, open_through_link):
    source = make_project(FILES_XML, FOREIGN)
    (tmp_path / "links").mkdir()
    link = tmp_path / "links" / "project.q3d"
    link.symlink_to(source)
    project = ProjectFile(str(link) if open_through_link else source)
    project.set_deformed_images(["changed.tif"])
    project.save_project(str(link))
    assert link.is_symlink() and os.readlink(link) == source
    assert ProjectFile(source).get_deformed_images() == ["changed.tif"]
    with zipfile.ZipFile(source) as archive:
        assert {member: archive.read(member) for member in FOREIGN} == FOREIGN
    assert sorted(path.name for path in tmp_path.rglob("*")) == ["links", "project.q3d", "project.q3d"]


def test_failed_save_leaves_the_original(tmp_path, make_project):
    source = make_project(FILES_XML, FOREIGN)
    project = ProjectFile(source)
    intact = Path(source).read_bytes()
    damaged = intact[:-30]
    with open(source, "wb") as output:
        output.write(damaged)
    with pytest.raises(zipfile.BadZipFile):
        project.save_project()
    assert Path(source).read_bytes() == damaged
    assert os.listdir(tmp_path) == ["project.q3d"]
    # The source is read before anything is written: a damaged one would fail first.
    Path(source).write_bytes(intact)
    with pytest.raises(FileNotFoundError):
        project.save_project(str(tmp_path / "missing" / "x.q3d"))
    assert os.listdir(tmp_path) == ["project.q3d"]


def test_embedded_nul_is_refused_before_opening(tmp_path):
    with pytest.raises(ValueError, match="embedded null byte"):
        ProjectFile(str(tmp_path / "a\0b.q3d"))
    project = ProjectFile(str(tmp_path / "a.q3d"))
    with pytest.raises(ValueError, match="embedded null byte"):
        project.save_project(str(tmp_path / "b\0.q3d"))
    with pytest.raises(ValueError, match="^Could not process"):
        project.load(str(tmp_path / "b\0.q3d"))
    assert os.listdir(tmp_path) == []


def zip_with_declared_size(tmp_path, size):
    """A project whose central directory claims a "project.xml" of size bytes."""
    path = tmp_path / "bomb.q3d"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("project.xml", "<project/>")
    data = bytearray(path.read_bytes())
    central = data.rindex(b"PK\x01\x02")
    data[central + 24:central + 28] = size.to_bytes(4, "little")
    path.write_bytes(bytes(data))
    return str(path)


XXE = b"""<?xml version="1.0"?>
<!DOCTYPE project [<!ENTITY secret SYSTEM "file://%s">]>
<project><files><reference>&secret;</reference></files></project>"""

BOMB = (b'<?xml version="1.0"?><!DOCTYPE project [<!ENTITY a "aaaaaaaaaa">'
        + b"".join(b'<!ENTITY %c "%s">' % (ord("b") + n, (b"&%c;" % (ord("a") + n)) * 10) for n in range(8))
        + b']><project><files><reference>&i;</reference></files></project>')


@pytest.mark.parametrize("build, cause", [
    (lambda tmp, make: str(tmp / "missing.q3d"), FileNotFoundError),
    (lambda tmp, make: (tmp / "text.q3d").write_text("not a zip") and str(tmp / "text.q3d"),
     zipfile.BadZipFile),
    (lambda tmp, make: (tmp / "cut.q3d").write_bytes(Path(make(FILES_XML, FOREIGN)).read_bytes()[:200])
     and str(tmp / "cut.q3d"), zipfile.BadZipFile),
    (lambda tmp, make: make(None, {"other.xml": b"<project/>"}), KeyError),
    (lambda tmp, make: make("<project><files></project>"), etree.XMLSyntaxError),
    (lambda tmp, make: make(""), etree.XMLSyntaxError),
    (lambda tmp, make: make(XXE % str(tmp / "secret.txt").encode()), etree.XMLSyntaxError),
    (lambda tmp, make: make(BOMB), etree.XMLSyntaxError),
    (lambda tmp, make: make('<!DOCTYPE project [<!ENTITY % e "x">]><project/>'), etree.XMLSyntaxError),
    (lambda tmp, make: make('<!DOCTYPE kdrx [<!ENTITY a "x">]><project/>'), etree.XMLSyntaxError),
    (lambda tmp, make: make('<!DOCTYPE project [<!NOTATION n SYSTEM "n"><!ENTITY a SYSTEM "a" NDATA n>]><project/>'),
     etree.XMLSyntaxError),
    (lambda tmp, make: make('<!DOCTYPE project SYSTEM "p.dtd"><project>&e;</project>'), etree.XMLSyntaxError),
    (lambda tmp, make: zip_with_declared_size(tmp, 0x7FFFFFFF), zipfile.BadZipFile),
    (lambda tmp, make: (tmp / "dir.q3d").mkdir() or str(tmp / "dir.q3d"), IsADirectoryError),
])
def test_unreadable_projects(tmp_path, make_project, build, cause):
    (tmp_path / "secret.txt").write_text("do not read")
    name = build(tmp_path, make_project)
    project = ProjectFile(make_project(FILES_XML, name="loaded.q3d"))
    with pytest.raises(ValueError) as raised:
        project.load(name)
    assert str(raised.value) == "Could not process " + name
    assert isinstance(raised.value.__context__, cause)
    assert project.is_empty() and project.project_file is None and project.startpoint_list is None
    if os.path.exists(name):
        with pytest.raises(ValueError, match="^Could not process "):
            ProjectFile(name)


# Loads documents that refer to a FIFO, which an open would wait on, and prints whether
# each loads.
LOAD_EACH = textwrap.dedent("""
    import sys
    from zelpyx.zelpy.zelpy import ProjectFile
    for name in sys.argv[1:]:
        try:
            ProjectFile(name)
            print("loads")
        except ValueError as error:
            print(type(error.__context__).__name__)
""")


def test_nothing_a_document_refers_to_is_opened(tmp_path, make_project):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    documents = {
        f'<!DOCTYPE project SYSTEM "{fifo}"><project/>': "loads",
        f'<!DOCTYPE project [<!ENTITY % p SYSTEM "{fifo}"> %p;]><project/>': "XMLSyntaxError",
        f'<project xmlns:xi="http://www.w3.org/2001/XInclude"><xi:include href="{fifo}"/></project>': "loads",
        f'<?xml-stylesheet href="{fifo}"?><project/>': "loads",
    }
    names = [make_project(document, name=f"{n}.q3d") for n, document in enumerate(documents)]
    result = subprocess.run([sys.executable, "-c", LOAD_EACH, *names], capture_output=True, text=True, timeout=60)
    assert result.stdout.split() == list(documents.values())


def test_declared_entities_are_never_expanded(make_project, tmp_path):
    (tmp_path / "secret.txt").write_text("do not read")
    name = make_project(XXE % str(tmp_path / "secret.txt").encode())
    with pytest.raises(ValueError) as raised:
        ProjectFile(name)
    assert "do not read" not in repr(raised.value.__context__)


ENCODED = ("<project dir='/d'>\n <files_3d><reference>r\u00e9f.tif</reference>"
           "<deformed>\u00fc &amp; b</deformed></files_3d></project>")


def declared(encoding, body=ENCODED):
    return f"<?xml version='1.0' encoding='{encoding}'?>\n<!DOCTYPE kdrx>\n" + body


def utf7_with_encoded_markup():
    head, body = declared("utf-7").split("?>", 1)
    return head.encode() + b"?>" + body.encode("utf-7").replace(b"<", b"+ADw-")


@pytest.mark.parametrize("data", [
    declared("utf-8").encode(), b"\xef\xbb\xbf" + declared("UTF-8").encode(), ENCODED.encode(),
    declared("utf-16").encode("utf-16"), declared("utf-16").encode("utf-16-le"),
    declared("UTF-16").encode("utf-16-be"), declared("utf-32").encode("utf-32"),
    declared("utf-32").encode("utf-32-le"), declared("UTF-32").encode("utf-32-be"),
    ("<!DOCTYPE kdrx>" + ENCODED).encode("utf-32"), declared("ISO-8859-1").encode("latin-1"),
    declared("gb18030").encode("gb18030"), utf7_with_encoded_markup(),
], ids=["utf-8", "utf-8 mark", "undeclared", "utf-16", "utf-16-le", "utf-16-be", "utf-32", "utf-32-le",
        "utf-32-be", "utf-32 mark", "latin-1", "gb18030", "utf-7"])
def test_documents_in_every_encoding_the_parser_reads_load(make_project, data):
    expected = etree.fromstring(data, etree.XMLParser(remove_blank_text=True))
    project = ProjectFile(make_project(data))
    assert etree.tostring(project.root) == etree.tostring(expected)
    assert project.get_deformed_images() == ["\u00fc & b"]


@pytest.mark.parametrize("data, loads", [
    (b"<?xml version='1.0'" + b" " * (2 << 20) + b"encoding='ISO-8859-1'?><project>\xe9</project>", True),
    (b"<?xml version='1.0' encoding='LATIN-9'?><project>\xa4</project>", True),
    *[(f"<?xml version='1.0' encoding='{codec}'?><project>\\u00e9</project>".encode(), False)
      for codec in ("unicode_escape", "quopri", "base64", "rot13", "latin-1")],
], ids=["declared after 2 MiB of blanks", "a name of iconv's",
        "unicode_escape", "quopri", "base64", "rot13", "latin-1"])
def test_encodings_are_decided_as_the_parser_decides_them(make_project, data, loads):
    """A document loads as fromstring reads it, or is refused with fromstring's error:
    Python's codecs play no part."""
    name = make_project(data)
    parser = etree.XMLParser(remove_blank_text=True)
    if loads:
        assert etree.tostring(ProjectFile(name).root) == etree.tostring(etree.fromstring(data, parser))
        return
    with pytest.raises(etree.XMLSyntaxError) as expected:
        etree.fromstring(data, parser)
    with pytest.raises(ValueError) as raised:
        ProjectFile(name)
    cause = raised.value.__context__
    assert (type(cause), str(cause)) == (etree.XMLSyntaxError, str(expected.value))


def test_blank_text_is_not_read_back(tmp_path, make_project):
    project = ProjectFile(make_project(FILES_XML))
    assert all(element.tail is None for element in project.root.iter())
    assert project.get_data_files() == ["run-0001_0.out"]
    assert project.get_reference_image() == "ref_0000_0.tif"


@pytest.mark.parametrize("call, message", [
    (lambda p: p.set_deformed_images(("a",)), "Argument 'deformed_images' has incorrect type (expected list, got tuple)"),
    (lambda p: p.set_data_files(None), "Argument 'data_files' has incorrect type (expected list, got NoneType)"),
    (lambda p: p.set_reference_image(None), "Argument 'reference_image' has incorrect type (expected str, got NoneType)"),
    (lambda p: p.load(1), "Argument 'source' has incorrect type (expected str, got int)"),
    (lambda p: p.save_project(b"x.q3d"), "Argument 'file_name' has incorrect type (expected str, got bytes)"),
    (lambda p: p.set_data_files([1]), None),
])
def test_argument_types(tmp_path, call, message):
    project = ProjectFile(str(tmp_path / "a.q3d"))
    with pytest.raises(TypeError) as raised:
        call(project)
    if message is not None:
        assert str(raised.value) == message
