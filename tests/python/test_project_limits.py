"""Hostile project archives: members that inflate beyond what they declare, documents of
countless tiny elements, and members that share their bytes. Each is refused with the
reading method's own error, within bounded memory, and a save writes nothing."""
import io
import os
import struct
import subprocess
import sys
import textwrap
import tracemalloc
import zipfile

import pytest

from zelpyx.zelpy.zelpy import ProjectCalibration, ProjectFile


@pytest.mark.parametrize("member, read", [
    ("project.xml", lambda path: ProjectFile(path)),
    ("project.xml", lambda path: ProjectCalibration(path)),
    ("pfs/analog.csv", lambda path: ProjectFile(path).get_analog_data_csv()),
])
def test_member_inflating_beyond_its_declared_size(tmp_path, archives, member, read):
    path = archives.lying_member(tmp_path / "lying.q3d", member, 64 << 20)
    tracemalloc.start()
    try:
        with pytest.raises(ValueError) as raised:
            read(path)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert str(raised.value) == "Could not process " + path
    assert isinstance(raised.value.__context__, zipfile.BadZipFile)
    assert peak < 8 << 20


# Loads a project in a child process and prints how much its peak resident memory grew,
# and the load's error with its cause.
PEAK_OF_LOAD = textwrap.dedent("""
    import sys
    from zelpyx.zelpy.zelpy import ProjectCalibration, ProjectFile

    def peak():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:")) << 10

    reader = {"ProjectFile": ProjectFile, "ProjectCalibration": ProjectCalibration}[sys.argv[2]]
    before = peak()
    try:
        reader(sys.argv[1])
        error = "none"
    except ValueError as exception:
        error = type(exception.__context__).__name__ + ": " + str(exception.__context__)
    print(peak() - before)
    print(error)
""")


def document_of(path, text):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("project.xml", text)
    return str(path)


@pytest.mark.parametrize("reader", ["ProjectFile", "ProjectCalibration"])
@pytest.mark.parametrize("text", [
    b"<p>" + b"<a/>" * (4 << 20) + b"</p>",
    b"<p>" + b"<a/>x" * (3 << 20) + b"</p>",
    b"<p " + b" ".join(b"a%x=''" % n for n in range(5 << 19)) + b"/>",
], ids=["empty elements", "elements and text", "attributes"])
def test_document_of_countless_nodes_is_refused_before_it_is_parsed(tmp_path, reader, text):
    path = document_of(tmp_path / "many.q3d", text)
    result = subprocess.run([sys.executable, "-c", PEAK_OF_LOAD, path, reader], capture_output=True,
                            text=True, timeout=120)
    growth, error = result.stdout.splitlines()
    assert error.startswith("ValueError: The project document holds more than"), result.stderr[-2000:]
    # Parsed, each of these documents takes more than 500 MB; refused, it costs a copy or two
    # of its text.
    assert int(growth) < 2 * len(text) + (64 << 20)


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
