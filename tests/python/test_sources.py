"""Data-set sources and outputs: ZelDataSetReader, ZelDataSetWriter, ZelDataSetIO and
change_file_extension, over directories and HDF5 files written with ZelDataSet.save."""
import os
import zipfile

import h5py
import numpy as np
import pytest

import zelpyx.zelpy.zelpy as zelpy
from zelpyx.zelpy.zelpy import (ZelDataSet, ZelDataSetIO, ZelDataSetReader, ZelDataSetWriter,
                                change_file_extension)


def h5_open_count():
    return h5py.h5f.get_obj_count(h5py.h5f.OBJ_ALL, h5py.h5f.OBJ_FILE)


@pytest.fixture
def marked(encoder, loader):
    """make(marker): a one-area data set whose first x value is marker."""
    def make(marker):
        x = marker + np.arange(6, dtype=np.float32)
        area = encoder.encode_area(2, 3, [("x", "x [pixel]", encoder.PIXEL_COORDINATE, x),
                                          ("sigma", "sigma", encoder.CORRELATION, np.zeros(6))])
        return loader(encoder.encode_data_set([area]))
    return make


def marker(data_set):
    return int(data_set.data(0).get_values(["x"])["x"][0])


STEPS = {"step-0001_0.out": 1, "step-0002_0.out": 2, "step-0010_0.out": 10, "run-2_0.out": 20,
         "run-10_0.out": 100}


@pytest.fixture
def steps(tmp_path, marked):
    """A directory of data sets (markers in STEPS) beside files that are no data sets."""
    directory = tmp_path / "steps"
    directory.mkdir()
    for name, value in STEPS.items():
        marked(value).save(str(directory / name))
    (directory / "notes.txt").write_text("not a data set")
    (directory / "UPPER.OUT").write_bytes(b"")
    return directory


@pytest.fixture
def h5_steps(tmp_path, marked):
    """An HDF5 file whose group "out" holds the entries 1, 2 and 10 (markers alike)."""
    path = str(tmp_path / "res.h5")
    for key in (1, 2, 10):
        marked(key).save(f"{path}:out:{key}")
    return path


# ---------------------------------------------------------------- reader sources

def test_directory_is_listed_in_code_point_order_and_iterated(steps):
    reader = ZelDataSetReader(str(steps))
    names = ["run-10_0.out", "run-2_0.out", "step-0001_0.out", "step-0002_0.out", "step-0010_0.out"]
    assert reader.get_dataset_list() == [str(steps / name) for name in names]
    assert reader.out_directory == str(steps) and reader.h5_file_path is None
    assert reader.get_data_source() == str(steps)
    loaded = list(reader)
    assert [marker(data_set) for data_set in loaded] == [STEPS[name] for name in names]
    assert [data_set.file_name() for data_set in loaded] == reader.get_dataset_list()
    assert reader[-1].file_name() == str(steps / "step-0010_0.out")
    assert marker(reader[1.9]) == 20
    assert marker(reader.dataset(str(steps / "step-0002_0.out"))) == 2


def test_positions_and_names_out_of_the_list(steps):
    reader = ZelDataSetReader(str(steps))
    with pytest.raises(IndexError) as raised:
        reader[5]
    assert raised.value.args == ()
    with pytest.raises(IndexError):
        reader[-6]
    with pytest.raises(TypeError, match="expected int, got str"):
        reader["0"]
    unlisted = str(steps / "UPPER.OUT")
    with pytest.raises(ValueError, match=f"^{unlisted} not in dataset$"):
        reader.dataset(unlisted)


def test_positions_load_through_the_dataset_method(steps):
    class Logged(ZelDataSetReader):
        def dataset(self, dataset_name):
            names.append(os.path.basename(dataset_name))
            return super().dataset(dataset_name)
    names = []
    reader = Logged(str(steps))
    assert marker(reader[0]) == 100 and len(list(reader)) == 5
    io = ZelDataSetIO(str(steps))
    io.set_reader(reader)
    assert marker(io[-1]) == 10
    assert names == ["run-10_0.out", "run-10_0.out", "run-2_0.out", "step-0001_0.out", "step-0002_0.out",
                     "step-0010_0.out", "step-0010_0.out"]


def test_relative_directory_is_made_absolute(steps, monkeypatch):
    monkeypatch.chdir(steps.parent)
    reader = ZelDataSetReader("steps")
    assert reader.out_directory == str(steps)
    assert reader.get_dataset_list()[0] == str(steps / "run-10_0.out")


def test_single_file_source(steps, monkeypatch):
    monkeypatch.chdir(steps)
    for source in ("step-0002_0.out", ["step-0002_0.out"], ("step-0002_*.out",)):
        reader = ZelDataSetReader(source)
        assert reader.get_dataset_list() == [str(steps / "step-0002_0.out")]
        assert (reader.out_directory, reader.h5_file_path) == (None, None)
        assert reader.get_data_source() == str(steps / "step-0002_0.out")
        assert [marker(data_set) for data_set in reader] == [2]


def test_several_entries_are_listed_as_given(steps, monkeypatch):
    pattern = str(steps / "step-*_0.out")
    reader = ZelDataSetReader(pattern)
    assert reader.get_dataset_list() == sorted(
        str(steps / name) for name in ("step-0001_0.out", "step-0002_0.out", "step-0010_0.out"))
    assert reader.out_directory == str(steps)
    # Directories and repeats are listed themselves, not expanded.
    other = steps.parent / "other"
    other.mkdir()
    assert ZelDataSetReader([str(other), str(steps)]).get_dataset_list() == [str(other), str(steps)]
    twice = ZelDataSetReader((str(steps / "run-2_0.out"),) * 2)
    assert twice.get_dataset_list() == [str(steps / "run-2_0.out")] * 2
    # Bare names in the working directory: no source directory to report.
    monkeypatch.chdir(steps)
    bare = ZelDataSetReader(["step-0002_0.out", "run-2_0.out"])
    assert bare.out_directory == "" and bare.get_data_source() is None
    assert bare.get_dataset_list() == ["run-2_0.out", "step-0002_0.out"]
    assert [marker(data_set) for data_set in bare] == [20, 2]


@pytest.mark.parametrize("source", ["", "{d}/UPPER.OUT", "{d}/notes.txt", "{d}/none-*.out", [], ["{d}/none"]])
def test_nothing_collected(steps, source):
    if isinstance(source, str):
        source = source.format(d=steps)
    else:
        source = [item.format(d=steps) for item in source]
    with pytest.raises(ValueError, match="^Cannot find any valid files$"):
        ZelDataSetReader(source)


def test_empty_directory_lists_nothing(tmp_path):
    reader = ZelDataSetReader(str(tmp_path))
    assert reader.get_dataset_list() == [] and reader.get_data_source() == str(tmp_path)
    assert list(reader) == []


def test_load_from_directory_errors(steps):
    reader = ZelDataSetReader(str(steps))
    kept = reader.get_dataset_list()
    with pytest.raises(NameError, match=r"^Cannot find path 'missing'\.$"):
        reader.load_from_directory("missing")
    assert (reader.out_directory, reader.h5_file_path, reader.dataset_list) == (None, None, [])
    assert len(kept) == 5  # a list handed out earlier keeps its names
    with pytest.raises(NotADirectoryError):
        reader.load_from_directory(str(steps / "notes.txt"))
    assert reader.out_directory == str(steps / "notes.txt")


# ---------------------------------------------------------------- HDF5 sources

def test_hdf5_source(h5_steps):
    reader = ZelDataSetReader(h5_steps)
    assert reader.get_dataset_list() == [f"{h5_steps}:out:{key}" for key in ("1", "10", "2")]
    assert reader.h5_file_path == h5_steps and reader.out_directory is None
    assert reader.get_data_source() == h5_steps
    assert [marker(data_set) for data_set in reader] == [1, 10, 2]
    assert h5_open_count() == 0


def test_hdf5_entries_are_checked_before_the_reader_loads_them(h5_steps, peak_memory):
    with h5py.File(h5_steps, "a") as h5:
        # 1 GiB of compressed zeros, a few kilobytes in the file.
        h5["out"].create_dataset("3", shape=(1 << 30,), dtype=np.uint8, compression="gzip")
    reader = ZelDataSetReader(h5_steps)
    with peak_memory() as peak:
        with pytest.raises(ValueError, match="^Unable to decode memory buffer$"):
            reader.dataset(f"{h5_steps}:out:3")
    assert peak.rise < 32 << 20
    assert h5_open_count() == 0 and marker(reader[0]) == 1


def test_hdf5_errors_leave_the_reader_empty_and_the_file_closed(h5_steps, tmp_path):
    no_out = str(tmp_path / "no_out.h5")
    with h5py.File(no_out, "w") as h5:
        h5.create_group("other")
    empty_out = str(tmp_path / "empty_out.h5")
    with h5py.File(empty_out, "w") as h5:
        h5.create_group("out")
    not_hdf5 = tmp_path / "text.h5"
    not_hdf5.write_text("no HDF5 file")
    reader = ZelDataSetReader(h5_steps)
    with pytest.raises(ValueError, match=f"^{no_out} does not contain an 'out' group.$"):
        reader.load_from_hdf5(no_out)
    assert (reader.h5_file_path, reader.dataset_list) == (None, [])
    with pytest.raises(NameError, match=f"^Cannot open {not_hdf5}.$") as raised:
        reader.load_from_hdf5(str(not_hdf5))
    assert raised.value.__context__ is not None
    reader.load_from_hdf5(empty_out)
    assert reader.get_dataset_list() == [] and reader.get_data_source() == empty_out
    assert h5_open_count() == 0


# ---------------------------------------------------------------- project sources

def write_project(path, data_files):
    entries = "".join(f"<datafile>{name}</datafile>" for name in data_files)
    xml = ('<?xml version="1.0" encoding="utf-8"?>\n<!DOCTYPE kdrx>\n<project structure_version="3" '
           f'activeWorkspace="main"><files_3d lri="files">{entries}</files_3d></project>')
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("project.xml", xml)
    return str(path)


def test_project_selects_its_data_files_from_its_directory(steps):
    project = write_project(steps / "p.q3d", ["step-0010_0.out", "step-0001_0.out", "missing-3_0.out",
                                              "step-0001_0.out"])
    reader = ZelDataSetReader(project)
    assert reader.get_dataset_list() == [str(steps / "step-0001_0.out"), str(steps / "step-0010_0.out")]
    assert reader.get_data_source() == str(steps)
    empty = ZelDataSetReader(write_project(steps / "empty.q3d", []))
    assert empty.get_dataset_list() == [] and empty.get_data_source() is None
    # A project that does not exist yet names no data files either.
    empty.load_from_project(str(steps / "new.q3d"))
    assert empty.get_dataset_list() == [] and not (steps / "new.q3d").exists()


def test_project_selects_its_entries_of_an_hdf5_file(h5_steps, tmp_path):
    project = write_project(tmp_path / "p.q3d", ["res.h5:out:2", "res.h5:out:10", "res.h5:out:7"])
    reader = ZelDataSetReader(project)
    assert reader.get_dataset_list() == [f"{h5_steps}:out:10", f"{h5_steps}:out:2"]
    assert reader.get_data_source() == h5_steps
    assert [marker(data_set) for data_set in reader] == [10, 2]


def test_unreadable_project(tmp_path):
    for name in ("p.q2d", "p.q3d"):
        path = tmp_path / name
        path.write_bytes(b"no archive")
        with pytest.raises(ValueError, match=f"^Could not process {path}$"):
            ZelDataSetReader(str(path))


# ---------------------------------------------------------------- argument and result types

def test_argument_and_result_types(steps):
    class Text(str):
        pass

    reader = ZelDataSetReader(str(steps))
    for call in (lambda: reader.load_from_directory(None), lambda: reader.load_from_hdf5(Text("a.h5")),
                 lambda: reader.dataset(1), lambda: ZelDataSetWriter(output_dest=5),
                 lambda: ZelDataSetWriter().save(None), lambda: change_file_extension("a.out", None)):
        with pytest.raises(TypeError, match="^Argument '.*' has incorrect type"):
            call()
    reader.dataset_list = ("a",)
    with pytest.raises(TypeError, match="^Expected list, got tuple$"):
        reader.get_dataset_list()
    reader.dataset_list, reader.out_directory = [], b"dir"
    with pytest.raises(TypeError, match="^Expected str, got bytes$"):
        reader.get_data_source()


def test_embedded_nul_is_refused_before_any_file_is_touched(steps, marked):
    named = marked(7)
    named.set_file_name(str(steps / "a\0b-7_0.out"))
    writer = ZelDataSetWriter(output_dest=str(steps))
    reader = ZelDataSetReader(str(steps))
    calls = [lambda: ZelDataSetReader(str(steps) + "\0x"), lambda: ZelDataSetReader([str(steps), "a\0"]),
             lambda: reader.load_from_directory(str(steps) + "\0"), lambda: reader.load_from_hdf5("r.h5\0x"),
             lambda: reader.load_from_project("p.q3d\0"), lambda: writer.set_output(str(steps) + "\0.h5"),
             lambda: writer.save(named)]
    before = sorted(os.listdir(steps))
    for call in calls:
        with pytest.raises(ValueError, match="^embedded null byte$"):
            call()
    reader.dataset_list = [str(steps / "step-0001_0.out\0x")]
    with pytest.raises(ValueError, match="^embedded null byte$"):
        reader[0]
    assert sorted(os.listdir(steps)) == before


# ---------------------------------------------------------------- writer names

@pytest.mark.parametrize("source, prefix, written", [
    ("/data/run-12_0.out", None, "run-12_0.out"),
    ("/data/run-12_0.out", "p", "p_run-12_0.out"),
    ("/data/run-12_0.out", "", "_run-12_0.out"),
    ("/d/scan_0012_0.out", None, "scan-0012_0.out"),
    ("/d/run-7_1.out", None, "run-7_0.out"),
    ("data_00004_0.out", None, "data-00004_0.out"),
    ("/d/a_b-3_4_5_0.out", None, "a_b-3_4-5_0.out"),
    ("/d/exp_out.h5:out:5", None, "exp_out-5_0.out"),
    ("/d/exp.h5:out:abc", None, "exp-abc_0.out"),
])
def test_directory_output_names(marked, tmp_path, source, prefix, written):
    data_set = marked(3)
    data_set.set_file_name(source)
    writer = ZelDataSetWriter(output_dest=str(tmp_path), output_prefix=prefix)
    assert writer.save(data_set) == str(tmp_path / written)
    copy = ZelDataSet()
    copy.load(str(tmp_path / written))
    assert copy.export_raw() == data_set.export_raw()


@pytest.mark.parametrize("source, message", [
    (None, "A filename is required"),
    ("/home/my data/run-3_0.out", "Could not get index from name"),
    ("run-3.out", "Could not get index from name"),
    ("/d/run.H5:out:3", "Could not get index from name"),
])
def test_names_without_an_index(marked, tmp_path, source, message):
    data_set = marked(3) if source else ZelDataSet()
    if source is not None:
        data_set.set_file_name(source)
    with pytest.raises(NameError, match=f"^{message}$"):
        ZelDataSetWriter(output_dest=str(tmp_path)).save(data_set)
    assert os.listdir(tmp_path) == []


def test_hdf5_output_and_prefixes(marked, tmp_path):
    destination = tmp_path / "res.h5"
    writer = ZelDataSetWriter(output_dest=str(destination), output_prefix="p")
    assert writer.output_dest == str(tmp_path / "p_res.h5") and writer.dest_is_h5
    first, second = marked(1), marked(2)
    first.set_file_name("/data/run-12_0.out")
    second.set_file_name(str(tmp_path / "exp.h5:out:12"))
    assert writer.save(first) == f"{tmp_path}/p_res.h5:out:12"
    assert writer.save(second) == f"{tmp_path}/p_res.h5:out:12"
    with h5py.File(str(tmp_path / "p_res.h5"), "r") as h5:
        assert list(h5["out"].keys()) == ["12"]
    assert marker(ZelDataSetReader(str(tmp_path / "p_res.h5"))[0]) == 2
    assert h5_open_count() == 0
    for prefix, expected in (("a", "a_p_res.h5"), (None, "a_p_res.h5"), ("", "_a_p_res.h5")):
        writer.set_output_prefix(prefix)
        assert writer.output_dest == str(tmp_path / expected)
    writer.set_output(str(destination))
    assert writer.output_dest == str(tmp_path / "_res.h5")


def test_output_destinations(steps, tmp_path, monkeypatch):
    (tmp_path / "results.h5").mkdir()
    writer = ZelDataSetWriter()
    assert (writer.output_dest, writer.output_prefix, writer.dest_is_h5) == (None, None, False)
    writer.set_output(str(tmp_path / "results.h5"))
    assert (writer.output_dest, writer.dest_is_h5) == (str(tmp_path / "results.h5"), False)
    writer.set_output_prefix("p")
    assert writer.output_dest == str(tmp_path / "results.h5")
    for bad in (str(tmp_path / "res.H5"), str(tmp_path / "missing"), ""):
        with pytest.raises(AttributeError, match="^Only HDF5 files and directories can be used as output "
                                                 "destination$"):
            writer.set_output(bad)
        assert (writer.output_dest, writer.dest_is_h5) == (str(tmp_path / "results.h5"), False)
    monkeypatch.chdir(tmp_path)
    writer.set_output("steps")
    assert writer.output_dest == str(steps)
    # A reader's source wins over output_dest.
    from_reader = ZelDataSetWriter(ZelDataSetReader(str(steps)), output_dest="/x/out.h5")
    assert (from_reader.output_dest, from_reader.dest_is_h5) == (str(steps), False)
    h5_reader = ZelDataSetReader.__new__(ZelDataSetReader)
    h5_reader.out_directory, h5_reader.h5_file_path = "", "rel/r.h5"
    assert ZelDataSetWriter(h5_reader, output_prefix="q").output_dest == "rel/q_r.h5"


def test_writer_failures(marked, steps, tmp_path):
    data_set = marked(5)
    data_set.set_file_name("/d/run-5_0.out")
    with pytest.raises(NameError, match="^An output destination should have been set by now$"):
        ZelDataSetWriter(output_dest="").save(data_set)
    single = ZelDataSetReader(str(steps / "run-2_0.out"))
    with pytest.raises(AttributeError, match="^ZelDatasetReader needs to be initialized$"):
        ZelDataSetWriter(single)
    gone = tmp_path / "gone"
    gone.mkdir()
    writer = ZelDataSetWriter(output_dest=str(gone))
    gone.rmdir()
    with pytest.raises(OSError, match=f"^Unable to save file: {gone}/run-5_0.out$") as raised:
        writer.save(data_set)
    assert raised.value.__context__ is not None


# ---------------------------------------------------------------- IO facade

def test_io_writes_back_into_its_source(steps):
    io = ZelDataSetIO(str(steps))
    assert io.get_data_source() == str(steps) and len(io.get_dataset_list()) == 5
    assert [marker(data_set) for data_set in io] == [100, 20, 1, 2, 10]
    data_set = io[2]
    data_set.add_variable("extra", "extra")
    assert io.save(data_set) == str(steps / "step-0001_0.out")
    assert "extra" in io.dataset(str(steps / "step-0001_0.out")).variables()
    assert marker(io[-1]) == 10 and marker(io[1.9]) == 20
    with pytest.raises(IndexError):
        io[5]
    io.set_output_prefix("p")
    assert io.save(data_set) == str(steps / "p_step-0001_0.out")
    with pytest.raises(TypeError):
        io.set_output_prefix(None)


def test_io_over_hdf5(h5_steps, tmp_path):
    io = ZelDataSetIO(h5_steps)
    data_set = io[0]
    data_set.add_variable("extra", "extra")
    assert io.save(data_set) == f"{h5_steps}:out:1"
    assert "extra" in io.dataset(f"{h5_steps}:out:1").variables()
    # Loading changes only the reader; the writer keeps its destination.
    io.load_from_directory(str(tmp_path))
    assert io.get_dataset_list() == [] and io.dataset_writer.output_dest == h5_steps
    io.set_output(str(tmp_path))
    io.set_reader(ZelDataSetReader(h5_steps))
    assert io.dataset_writer.output_dest == h5_steps
    io._reset()
    assert io.get_dataset_list() == [] and io.dataset_writer.output_dest is None
    assert h5_open_count() == 0


def test_io_needs_a_source_directory(steps):
    with pytest.raises(AttributeError, match="^ZelDatasetReader needs to be initialized$"):
        ZelDataSetIO(str(steps / "run-2_0.out"))


# ---------------------------------------------------------------- file extensions

@pytest.mark.parametrize("name, extension, changed", [
    ("/d/run-5_0.out", ".csv", "/d/run-5_0.csv"),
    ("/d/run-5_0.out", "csv", "/d/run-5_0.csv"),
    ("/d/run_out.h5:out:5", ".csv", "/d/run-5_0.csv"),
    ("/d/run.h5:out:5", ".mat", "/d/run-5_0.mat"),
    ("/d/name", ".dat", "/d/name.dat"),
    ("/d/é-1_0.out", ".csv", "/d/é-1_0.csv"),
])
def test_change_file_extension(name, extension, changed):
    assert change_file_extension(name, extension) == changed


@pytest.mark.parametrize("name, extension", [("", ".csv"), ("/d/a.out", "")])
def test_change_file_extension_needs_both(name, extension):
    with pytest.raises(ValueError, match=f"^Error in changing the extension for '{name}' to '{extension}'.$"):
        change_file_extension(name, extension)
