"""ZelDataSet: construction, files and HDF5 entries, structure, values and strain."""
import os
import stat
import subprocess
import sys
import zlib

import h5py
import numpy as np
import pytest

from zelpyx.zelpy.zelpy import (CsDataSystemType, TensorType, ZelData, ZelDataSet,
                                ZelDataVariableType)


def is_hdf5(name):
    return ZelDataSet()._ZelDataSet__is_hdf5(name)


def h5_open_count():
    return h5py.h5f.get_obj_count(h5py.h5f.OBJ_ALL, h5py.h5f.OBJ_FILE)


# ---------------------------------------------------------------- construction

@pytest.mark.parametrize("source", [None, 0, [], False, ""])
def test_false_source_gives_an_empty_data_set(source):
    data_set = ZelDataSet(source)
    assert data_set.num_data() == 0
    assert data_set.file_name() is None
    assert data_set.current_data_type() is CsDataSystemType.Type2d
    assert list(data_set) == []
    assert data_set and data_set.matrix_size() == 0
    with pytest.raises(IndexError, match=r"^Index 0 outside valid range \(0, -1\)$"):
        data_set[0]


@pytest.mark.parametrize("source", [5, "x", ZelData])
def test_source_must_be_a_data_set(source):
    with pytest.raises(TypeError, match="^other is not a ZelDataSet$"):
        ZelDataSet(source)


@pytest.mark.parametrize("make_copy", [
    lambda s: ZelDataSet(s), lambda s: ZelDataSet(other=s), lambda s: s.copy()])
def test_copy_is_independent(plate, make_copy):
    copied = make_copy(plate)
    assert type(copied) is ZelDataSet
    assert copied.file_name() == "synthetic.out"
    assert copied.export_raw() == plate.export_raw()
    copied.add_variable("extra", "extra")
    copied.set_reference_image("other.tif")
    assert "extra" not in plate.variables()
    assert plate.reference_image() == "plate-0000_0.tif"


def test_copy_of_a_subclass_is_a_plain_data_set(plate):
    class Derived(ZelDataSet):
        pass

    assert type(Derived(plate).copy()) is ZelDataSet


def test_areas_by_index_and_iteration(plate):
    with pytest.raises(TypeError):
        len(plate)
    assert [area.num_rows() for area in plate] == [20, 16]
    assert plate[1].num_columns() == 24
    for bad in (-1, 2):
        with pytest.raises(IndexError, match=rf"^Index {bad} outside valid range \(0, 1\)$"):
            plate.data(bad)
        with pytest.raises(IndexError):
            plate[bad]
    assert plate.current_data_type() is CsDataSystemType.Type3d


# ---------------------------------------------------------------- files

@pytest.mark.parametrize("name, parts", [
    ("a.h5:out:1", ["a.h5", "1"]),
    ("dir/a.h5:out:", ["dir/a.h5", ""]),
    ("a.H5:out:1", None),
    ("a.h5", None),
    ("a.out", None),
    ("a.h5:out:1:out:2", None),
])
def test_hdf5_entry_names(name, parts):
    assert is_hdf5(name) == parts


@pytest.mark.parametrize("name", [None, 5])
def test_hdf5_entry_name_that_is_no_text(name):
    with pytest.raises(AttributeError, match="object has no attribute 'split'"):
        is_hdf5(name)


def test_raw_image_round_trip(plate, loader):
    image = plate.export_raw()
    assert image[:8] == b"\xa2QRZ1.00"
    copied = loader(image, "x")
    assert copied.file_name() == "x"
    assert copied.export_raw() == image
    assert (copied.reference_image(), copied.deformed_image()) == ("plate-0000_0.tif", "plate-0001_0.tif")


@pytest.mark.parametrize("image", [b"", b"garbage", b"\xa2QRZ1.00"])
def test_undecodable_buffer(plate, image):
    before = plate.export_raw()
    with pytest.raises(ValueError, match="^Unable to decode memory buffer$"):
        plate.load_from_data(image, "y")
    assert plate.file_name() == "synthetic.out"
    assert plate.export_raw() == before


def test_failed_decode_leaves_the_data_set_as_it_was(plate, two_areas):
    # The areas of a damaged image are decoded before the damage is found.
    before = plate.export_raw()
    with pytest.raises(ValueError):
        plate.load_from_data(two_areas.export_raw()[:-30], "damaged.out")
    assert plate.export_raw() == before


def test_file_round_trip(plate, tmp_path):
    path = str(tmp_path / "step-0001_0.out")
    plate.save(path)
    loaded = ZelDataSet()
    loaded.load(path)
    assert loaded.file_name() == path
    assert loaded.export_raw() == plate.export_raw()


@pytest.mark.parametrize("content", [None, b"", b"\xa2QRZ1.00\xa0\x00\x00\x02\x00"])
def test_unloadable_file(plate, tmp_path, content):
    path = tmp_path / "bad.out"
    if content is not None:
        path.write_bytes(content)
    before = plate.export_raw()
    with pytest.raises(NameError, match=f"^Unable to find file: {path} or file is corrupted$"):
        plate.load(str(path))
    assert plate.file_name() == "synthetic.out"
    assert plate.export_raw() == before


def test_save_names(plate, tmp_path):
    with pytest.raises(NameError, match="^A file name is required$"):
        ZelDataSet().save()
    first, second = str(tmp_path / "a.out"), str(tmp_path / "b.out")
    plate.set_file_name(first)
    plate.save()
    plate.save(second)
    assert plate.file_name() == first
    for path in (first, second):
        assert ZelDataSet().load(path) is None
    with pytest.raises(OSError, match=f"^Unable to save file: {tmp_path}/missing/c.out$"):
        plate.save(str(tmp_path / "missing" / "c.out"))
    plate.set_file_name(None)
    assert plate.file_name() is None


def test_hdf5_entries(plate, two_areas, tmp_path):
    path = str(tmp_path / "r.h5")
    plate.save(path + ":out:3")
    two_areas.save(path + ":out:3")
    plate.save(path + ":out:4")
    with h5py.File(path, "r") as h5:
        assert sorted(h5["out"].keys()) == ["3", "4"]
        entry = h5["out"]["3"]
        assert entry.dtype == np.uint8 and entry.shape == (len(two_areas.export_raw()),)
    loaded = ZelDataSet()
    loaded.load(path + ":out:3")
    assert loaded.file_name() == path + ":out:3"
    assert loaded.export_raw() == two_areas.export_raw()
    assert h5_open_count() == 0


def test_hdf5_errors_close_the_file(plate, tmp_path):
    path = str(tmp_path / "r.h5")
    plate.save(path + ":out:1")
    with h5py.File(path, "a") as h5:
        h5.create_group("other")
        h5["out"].create_dataset("junk", data=np.frombuffer(b"junk", dtype=np.uint8))
        h5["other"].create_dataset("x", data=np.zeros(2))
    empty = str(tmp_path / "empty.h5")
    h5py.File(empty, "w").close()
    cases = [
        (path + ":out:9", ValueError, f"{path} does not contain 'out:9' dataset."),
        (empty + ":out:1", ValueError, f"{empty} does not contain an 'out' group."),
        (path + ":out:junk", ValueError, "Unable to decode memory buffer"),
        (str(tmp_path / "none.h5") + ":out:1", OSError, f"Cannot open {tmp_path}/none.h5."),
    ]
    for name, error, message in cases:
        with pytest.raises(error) as raised:
            plate.load(name)
        assert str(raised.value) == message
        assert plate.file_name() == "synthetic.out"
        assert h5_open_count() == 0
    with pytest.raises(OSError, match="^Cannot open "):
        plate.save(str(tmp_path / "missing" / "x.h5") + ":out:1")
    # A member "out" that is no group: h5py's own error, and the file is closed.
    odd = str(tmp_path / "odd.h5")
    with h5py.File(odd, "w") as h5:
        h5.create_dataset("out", data=np.zeros(2))
    for attempt in (plate.load, plate.save):
        with pytest.raises(AttributeError):
            attempt(odd + ":out:1")
        assert h5_open_count() == 0


MiB = 1 << 20


def store_entry(path, prefix=b"", items=None, **dataset):
    """Writes the HDF5 file at path with the one entry out/e made by create_dataset(**dataset),
    then sets its items to items and its first bytes to prefix, where given."""
    with h5py.File(path, "w") as h5:
        entry = h5.create_group("out").create_dataset("e", **dataset)
        if items is not None:
            entry[()] = items
        if prefix:
            entry[:len(prefix)] = np.frombuffer(prefix, np.uint8)


def padded(image, unit):
    """The image followed by zero bytes up to a multiple of unit; the decoder ignores them."""
    return image + bytes(-len(image) % unit)


@pytest.mark.parametrize("dataset", [
    lambda image: {"data": np.frombuffer(image, np.uint8)},
    lambda image: {"data": np.frombuffer(image, np.uint8), "compression": "gzip", "chunks": (1000,)},
    lambda image: {"data": np.frombuffer(image, np.int8).reshape(-1, 1)},
    lambda image: {"data": np.frombuffer(padded(image, 6), np.uint8).reshape(2, -1, 3)},
    lambda image: {"data": np.frombuffer(padded(image, 2), ">u2")},
    lambda image: {"data": np.frombuffer(image, "S1")},
    lambda image: {"data": np.void(image)},
    lambda image: {"shape": (), "dtype": h5py.vlen_dtype(np.uint8), "items": np.frombuffer(image, np.uint8)},
    lambda image: {"shape": (len(padded(image, 8)) // 8,), "dtype": np.dtype("(8,)u1"),
                   "items": np.frombuffer(padded(image, 8), np.uint8).reshape(-1, 8)},
    lambda image: {"shape": (len(padded(image, 12)) // 12, 1), "dtype": np.dtype("(2, 3)>u2"),
                   "items": np.frombuffer(padded(image, 12), ">u2").reshape(-1, 1, 2, 3)},
], ids=["uint8", "gzip", "int8 column", "3-D", "big-endian uint16", "strings", "opaque scalar",
        "variable-length bytes scalar", "array items", "2-D big-endian array items"])
def test_hdf5_entries_of_any_array_kind_load_from_their_bytes(plate, tmp_path, dataset):
    path = str(tmp_path / "k.h5")
    image = plate.export_raw()
    store_entry(path, **dataset(image))
    loaded = ZelDataSet()
    loaded.load(path + ":out:e")
    assert loaded.export_raw() == image and loaded.file_name() == path + ":out:e"
    assert h5_open_count() == 0


def test_hdf5_entries_of_unusual_headers_load(plate, tmp_path):
    # A set without areas ends its header at the metadata; names of 80 kB outgrow the bytes checked first.
    plate.set_reference_image("r" * 40_000)
    for key, data_set in (("empty", ZelDataSet()), ("long names", plate)):
        name = f"{tmp_path}/u.h5:out:{key}"
        data_set.save(name)
        loaded = ZelDataSet()
        loaded.load(name)
        assert loaded.export_raw() == data_set.export_raw()


# Compressed entries of 1 GiB that hold no more than a few kilobytes in the file.
ZEROS = {"shape": (1 << 30,), "dtype": np.uint8, "compression": "gzip"}


@pytest.mark.parametrize("store", [
    lambda path, image: store_entry(path, **ZEROS),
    lambda path, image: store_entry(path, **dict(ZEROS, shape=(1 << 31,))),
    lambda path, image: store_entry(path, image[:8], **ZEROS),
    # The reference name, then a tag no header holds; then a name longer than the entry.
    lambda path, image: store_entry(path, image[:20] + b"\xff" * 4 + b"\xa0\x00\x00\x07", **ZEROS),
    lambda path, image: store_entry(path, image[:20] + (0x7FFFFFF0).to_bytes(4, "big"), **ZEROS),
    lambda path, image: store_entry(path, data=np.frombuffer(image[:11], np.uint8)),
    lambda path, image: store_entry(path, data=np.frombuffer(image[:len(image) // 2], np.uint8)),
    lambda path, image: store_entry(path, data=np.zeros((0, 4), np.uint8)),
], ids=["zeros", "zeros beyond 2 GiB", "magic then zeros", "unknown header tag", "name beyond the entry",
        "cut in the header", "cut in half", "empty"])
def test_hdf5_entries_that_are_no_image_fail_before_they_are_read(plate, tmp_path, peak_memory, store):
    path = str(tmp_path / "bad.h5")
    store(path, plate.export_raw())
    assert os.path.getsize(path) < MiB
    with peak_memory() as peak:
        with pytest.raises(ValueError, match="^Unable to decode memory buffer$"):
            plate.load(path + ":out:e")
    assert peak.rise < 32 * MiB
    assert plate.file_name() == "synthetic.out" and h5_open_count() == 0


def store_shared_heap_entry(path, image, count=1 << 15, size=1 << 16):
    """out/e of count variable-length byte items that all reference one heap object of
    size bytes (the image's start): the file holds the object once."""
    with h5py.File(path, "w") as h5:
        entry = h5.create_group("out").create_dataset(
            "e", (count,), h5py.vlen_dtype(np.uint8), chunks=(count,), compression="gzip")
        entry[0] = np.frombuffer(padded(image, size)[:size], np.uint8)
        mask, chunk = entry.id.read_direct_chunk((0,))
        references = zlib.decompress(chunk)
        first = references[:len(references) // count]
        entry.id.write_direct_chunk((0,), zlib.compress(first * count), mask)


def variable_length_items(image, convert, size=1000):
    """The image in parts of size bytes, each converted, as an array of objects."""
    items = np.empty(-(-len(image) // size), dtype=object)
    items[:] = [convert(image[k:k + size]) for k in range(0, len(image), size)]
    return items


# Loads the entry sys.argv[1] under an address-space limit; prints the error and the rise
# of the peak resident memory.
_LOAD_UNDER_A_LIMIT = """
import resource, sys
from zelpyx.zelpy.zelpy import ZelDataSet
def status(field):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) << 10 for line in lines if line.startswith(field + ":"))
resource.setrlimit(resource.RLIMIT_AS, (status("VmSize") + (512 << 20), resource.RLIM_INFINITY))
start = status("VmRSS")
try:
    ZelDataSet().load(sys.argv[1])
except Exception as error:
    print(type(error).__name__, error)
print(status("VmHWM") - start)
"""


@pytest.mark.parametrize("store", [
    store_shared_heap_entry,
    lambda path, image: store_entry(path, data=variable_length_items(image, lambda part: np.frombuffer(
        part, np.uint8)), dtype=h5py.vlen_dtype(np.uint8)),
    lambda path, image: store_entry(path, data=variable_length_items(image, bytes.hex), dtype=h5py.string_dtype()),
], ids=["items sharing one heap object", "byte items", "string items"])
def test_hdf5_entries_of_variable_length_items_are_refused_before_they_are_read(plate, tmp_path, store):
    # Such items read as references to their contents, never as an image.
    path = str(tmp_path / "items.h5")
    store(path, plate.export_raw())
    assert os.path.getsize(path) < MiB
    child = subprocess.run([sys.executable, "-c", _LOAD_UNDER_A_LIMIT, path + ":out:e"],
                           capture_output=True, text=True, timeout=60)
    error, rise = child.stdout.splitlines()
    assert error == "ValueError Unable to decode memory buffer", child.stderr[-2000:]
    assert int(rise) < 32 * MiB


# ---------------------------------------------------------------- structure and variables

@pytest.fixture
def mixed(encoder, loader):
    """Area 0 with k1, k2 and area 1 with k2, k3."""
    return loader(encoder.encode_data_set([
        encoder.encode_area(1, 2, [("k1", "d1", 6, [0, 0]), ("k2", "d2a", 6, [0, 0])]),
        encoder.encode_area(1, 3, [("k2", "d2b", 13, [0] * 3), ("k3", "d3", 5, [0] * 3)]),
    ]))


def test_variable_lists_follow_the_first_occurrence(mixed):
    assert mixed.variables() == ["k1", "k2", "k3"]
    assert mixed.variable_descriptions() == ["d1", "d2a", "d3"]
    assert mixed.variable_types() == [ZelDataVariableType.Unknown, ZelDataVariableType.Unknown,
                                      ZelDataVariableType.Correlation]
    assert mixed.matrix_size() == 5


def test_empty_data_set_structure():
    empty = ZelDataSet()
    assert (empty.variables(), empty.variable_types(), empty.variable_descriptions()) == ([], [], [])
    assert empty.add_variable("a", "b") == ""
    assert empty.add_variable(None, None) == ""
    empty.delete_variable("a")
    empty.set_variable_description("a", "b")


def test_add_variable_makes_names_unique_per_area(mixed):
    assert mixed.add_variable("k2", "d2a", ZelDataVariableType.Strain) == "k2_1"
    first, second = mixed.data(0), mixed.data(1)
    assert first.variable_name(2) == "k2_1" and first.variable_description(2) == "d2a (1)"
    assert second.variable_name(2) == "k2_1" and second.variable_description(2) == "d2a"
    assert mixed.add_variable("k1", "new") == "k1"
    assert second.variable_type(3) is ZelDataVariableType.Unknown


@pytest.mark.parametrize("values, area_1", [
    (list(range(10)), [4, 5, 6, 7, 8, 9]),
    (list(range(12)), [4, 5, 6, 7, 8, 9]),
    (np.arange(10, dtype=np.int64), [4, 5, 6, 7, 8, 9]),
])
def test_add_variable_spreads_values_over_the_areas(two_areas, values, area_1):
    assert two_areas.add_variable("n", "d", ZelDataVariableType.Unknown, values) == "n"
    assert two_areas.data(0).get_values(["n"])["n"].tolist() == [0, 1, 2, 3]
    assert two_areas.data(1).get_values(["n"])["n"].tolist() == area_1


def test_add_variable_with_too_few_values(two_areas):
    with pytest.raises(IndexError, match="^Size mismatch. Matrix size is 6 while values are 5.$"):
        two_areas.add_variable("n", "d", values=range(9))
    assert two_areas.data(0).get_values(["n"])["n"].tolist() == [0, 1, 2, 3]
    assert two_areas.data(1).get_values(["n"])["n"].tolist() == [0] * 6


@pytest.mark.parametrize("action, error, message", [
    (lambda s: s.add_variable("n", "d", 4), TypeError, "variable_type must be a ZelDataVariableType"),
    (lambda s: s.add_variable("n", "d", values=[1, "a"]), TypeError, None),
    (lambda s: s.add_variable(None, "d"), AttributeError, "'NoneType' object has no attribute 'encode'"),
    (lambda s: s.add_variables([("a", "b")]), TypeError, "variables must be a dictionary"),
    (lambda s: s.delete_variable(None), TypeError, "variable_name must be a string"),
    (lambda s: s.delete_variable("x_c"), ValueError, "You cannot delete this variable"),
    (lambda s: s.delete_variable("sigma"), ValueError, "You cannot delete this variable"),
    (lambda s: s.set_variable_description(None, "d"), TypeError, "variable must be a string"),
    (lambda s: s.set_variable_description("x", None), TypeError,
     "variable_description must be a string"),
    (lambda s: s.set_deformed_image(None), AttributeError, "'NoneType' object has no attribute 'encode'"),
])
def test_structure_errors(two_areas, action, error, message):
    before = two_areas.export_raw()
    with pytest.raises(error) as raised:
        action(two_areas)
    if message is not None:
        assert str(raised.value) == message
    assert two_areas.export_raw() == before


def test_add_delete_and_describe_variables(two_areas):
    assert two_areas.add_variables({}) == []
    assert two_areas.add_variables({"a": "first", "b": "second"}) == ["a", "b"]
    two_areas.add_variable("SIGMA", "upper case")
    two_areas.delete_variable("a")
    two_areas.delete_variable("SIGMA")
    two_areas.delete_variable("nothing")
    two_areas.set_variable_description("b", "renamed")
    two_areas.set_variable_description("nothing", "ignored")
    assert "a" not in two_areas.variables() and "SIGMA" not in two_areas.variables()
    for area in two_areas:
        index = area.variable_index("b")
        assert area.variable_description(index) == "renamed"
        assert area.variable_type(index) is ZelDataVariableType.Unknown


def test_image_names(plate, loader):
    plate.set_reference_image("")
    plate.set_deformed_image("déformé.tif")
    assert plate.reference_image() == ""
    assert loader(plate.export_raw()).deformed_image() == "déformé.tif"


# ---------------------------------------------------------------- values

def test_get_values_follows_the_area_order(two_areas):
    values = two_areas.get_values(["y", "x"])
    assert values.dtype.names == ("y", "x")
    assert values["x"].tolist() == [0, 1, 2, 3, 100, 101, 102, 103, 104, 105]
    assert two_areas.get_values("x").dtype.names == ("x",)


@pytest.mark.parametrize("variables, error, message", [
    (("x",), TypeError, "variables must be a list of strings"),
    (["x", 1], TypeError, "Each variable must be a string"),
    (["x", "nope"], ValueError, "Could not find variable nope"),
])
def test_get_values_errors(two_areas, variables, error, message):
    with pytest.raises(error, match=f"^{message}$"):
        two_areas.get_values(variables)


def test_get_values_of_an_empty_data_set():
    result = ZelDataSet().get_values(["nope"])
    assert result.shape == (0,) and result.dtype.names == ("nope",)
    ZelDataSet().set_values({"nope": []})
    # Names are read per area: keys that are no text pass where there is no area.
    ZelDataSet().set_values({5: [], b"x": [1.0]})


def test_set_values_round_trip(plate):
    values = plate.get_values(plate.variables())
    plate.set_values(values)
    assert np.array_equal(plate.get_values(plate.variables()), values)
    values["U"] *= 2
    plate.set_values(values[["U"]])
    assert np.array_equal(plate.get_values(["U"])["U"], values["U"])


@pytest.mark.parametrize("column", [
    list(range(12)), tuple(range(12)), np.arange(12, dtype=np.int32), np.arange(12.0)])
def test_set_values_columns(two_areas, column):
    two_areas.set_values({"x": column})
    assert two_areas.get_values("x")["x"].tolist() == list(range(10))


def test_set_values_from_integer_fields(two_areas):
    values = np.zeros(10, dtype=[("x", np.int64), ("y", np.float64)])
    values["x"] = np.arange(10) * 3
    two_areas.set_values(values)
    assert two_areas.get_values("x")["x"].tolist() == list(range(0, 30, 3))


def test_set_values_with_a_short_column(two_areas):
    with pytest.raises(IndexError, match="^Size mismatch. Matrix size is 6 while values are 5.$"):
        two_areas.set_values({"x": [7] * 9})
    assert two_areas.get_values("x")["x"].tolist() == [7] * 4 + [100, 101, 102, 103, 104, 105]


def test_set_values_writes_through_the_views_that_data_hands_out(two_areas):
    calls = []

    class View:
        def __init__(self, area, n):
            self.area, self.n = area, n

        def set_values(self, index, values):
            calls.append((self.n, type(index), index, list(values)))
            self.area.set_values(index, values)

    class Logged(ZelDataSet):
        def data(self, n):
            return View(super().data(n), n)
    data_set = Logged(two_areas)
    data_set.set_values({"y": range(1000, 1012)})
    y = two_areas.data(0).variable_index("y")
    assert calls == [(0, int, y, list(range(1000, 1004))), (1, int, y, list(range(1004, 1010)))]
    assert data_set.get_values("y")["y"].tolist() == list(range(1000, 1010))


def once(change):
    """A function that calls change() on its first call only."""
    pending = [change]

    def call():
        while pending:
            pending.pop()()
    return call


class ChangeOnData(ZelDataSet):
    change = staticmethod(lambda: None)

    def data(self, n):
        self.change()
        return super().data(n)


class ChangeOnSlice:
    def __init__(self, values, change):
        self.values, self.change = values, change

    def __getitem__(self, part):
        self.change()
        return self.values[part]


class ChangeOnFloat:
    def __init__(self, value, change):
        self.value, self.change = value, change

    def __float__(self):
        self.change()
        return self.value


def change_in_data(data_set, column, change):
    data_set.change = change
    return column


def change_in_slicing(data_set, column, change):
    return ChangeOnSlice(column, change)


def change_in_float(data_set, column, change):
    return [ChangeOnFloat(value, change) for value in column]


def ramp(data_set):
    return [float(k) for k in range(1, data_set.matrix_size() + 1)]


@pytest.mark.parametrize("arrange", [change_in_data, change_in_slicing, change_in_float],
                         ids=["data", "column slicing", "item __float__"])
def test_set_values_never_writes_into_the_variable_that_takes_the_index(plate, arrange):
    data_set = ChangeOnData(plate)
    data_set.add_variable("t", "t")
    before = data_set.get_values(plate.variables())

    def swap_t_for_n():
        data_set.delete_variable("t")
        data_set.add_variable("n", "n")  # at the index t had
    column = arrange(data_set, ramp(data_set), once(swap_t_for_n))
    with pytest.raises(RuntimeError, match="^The data set changed during the call.$"):
        data_set.set_values({"t": column})
    assert data_set.get_values(["n"])["n"].tolist() == [0] * data_set.matrix_size()
    assert np.array_equal(data_set.get_values(plate.variables()), before)


@pytest.mark.parametrize("change", [
    lambda data_set: data_set.add_variable("u", "u"),
    lambda data_set: data_set.delete_variable("s"),
    lambda data_set: data_set.set_variable_description("s", "relabelled"),
    lambda data_set: data_set.compute_strain(window_size=5),
    lambda data_set: data_set.compute_curvature(window_size=5),
    lambda data_set: data_set.data(0).clear(),
    lambda data_set: data_set.load_from_data(data_set.export_raw(), "reloaded.out"),
], ids=["add_variable", "delete_variable", "set_variable_description", "compute_strain",
        "compute_curvature", "clear", "load_from_data"])
def test_set_values_writes_nothing_after_any_change_of_the_variables(plate, change):
    plate.add_variables({"s": "s", "t": "t"})
    column = change_in_float(plate, ramp(plate), once(lambda: change(plate)))
    with pytest.raises(RuntimeError, match="^The data set changed during the call.$"):
        plate.set_values({"t": column})
    assert all(area.variable_index("t") < 0 or not area.get_values(["t"])["t"].any() for area in plate)


@pytest.mark.parametrize("variables, error, message", [
    ([1, 2], TypeError, "Expected dict or numpy structured array."),
    (np.zeros(10), TypeError, None),
    ({"x": (v for v in range(10))}, TypeError, "'generator' object is unsliceable"),
    # The name is looked up before the column is cut.
    ({"nope": (v for v in range(10))}, ValueError, "Could not find variable nope"),
    ({"nope": list(range(10))}, ValueError, "Could not find variable nope"),
    ({b"x": list(range(10))}, AttributeError, None),
])
def test_set_values_errors(two_areas, variables, error, message):
    with pytest.raises(error) as raised:
        two_areas.set_values(variables)
    if message is not None:
        assert str(raised.value) == message


# ---------------------------------------------------------------- strain

STRAIN = ["exx", "exy", "eyy", "e1", "e2", "gamma"]


@pytest.mark.parametrize("options, keys", [
    ({}, STRAIN),
    ({"compute_tresca": True, "compute_von_mises": True}, STRAIN + ["tresca", "vonmises"]),
    ({"output_gradient": True, "compute_principal_strain": False},
     ["exx", "exy", "eyy", "fxx", "fxy", "fyx", "fyy"]),
    ({"suffix": "run_2"}, STRAIN),
    ({"suffix": ""}, STRAIN),
    ({"tensor_type": TensorType.HenckyStrainTensor}, STRAIN),
    ({"displacement_variables": ["U", "V", "W"]}, STRAIN),
])
def test_compute_strain_names_the_created_variables(plate, options, keys):
    created = plate.compute_strain(**options)
    assert list(created) == keys
    names = plate.variables()
    assert all(name in names for name in created.values())
    if options.get("suffix"):
        assert created["exx"] == "exx_run_2"


def test_strain_of_the_stretched_plate(plate):
    created = plate.compute_strain(window_size=5)
    values = plate.get_values([created["exx"], created["eyy"], "sigma"])
    valid = values["sigma"] >= 0
    assert values[created["exx"]][valid] == pytest.approx(0.002002, abs=1e-4)
    assert values[created["eyy"]][valid] == pytest.approx(-0.000667, abs=1e-4)


@pytest.mark.parametrize("options, error, message", [
    ({"displacement_variables": ["U"]}, ValueError,
     "The size of the displacement variables must be three for 3D data, 2 for 2D data or zero to "
     "use the default ones"),
    ({"displacement_variables": ["U", "V", "W", "X"]}, ValueError, None),
    ({"displacement_variables": None}, TypeError, "object of type 'NoneType' has no len()"),
    ({"displacement_variables": [b"U", b"V"]}, AttributeError, None),
    ({"suffix": "a-b"}, ValueError, "The suffix can only contain alphanumericals and underscores"),
    ({"suffix": "a b"}, ValueError, None),
    ({"window_size": 1}, ValueError, "Error in calculating strain."),
])
def test_compute_strain_errors(plate, options, error, message):
    before = plate.export_raw()
    with pytest.raises(error) as raised:
        plate.compute_strain(**options)
    if message is not None:
        assert str(raised.value) == message
    assert plate.export_raw() == before


def test_strain_names_come_from_the_first_area(encoder, loader):
    # A name held twice shifts the data set's variable list against the area's indexes.
    rows, columns = 10, 12
    row, column = np.mgrid[0:rows, 0:columns].astype(np.float32)
    X, Y = column * 0.5, row * 0.5
    variables = [("X", "X", 1, X), ("Y", "Y", 1, Y), ("Z", "Z", 1, 0 * X),
                 ("U", "U", 3, 0.002 * X), ("V", "V", 3, 0 * X), ("W", "W", 3, 0 * X),
                 ("sigma", "s", 5, 0 * X), ("q", "q", 6, X), ("q", "q again", 6, X)]
    data_set = loader(encoder.encode_data_set([encoder.encode_area(rows, columns, variables)]))
    created = data_set.compute_strain(window_size=5)
    assert created == {key: key for key in STRAIN}


def test_compute_strain_without_areas():
    assert ZelDataSet().compute_strain() == {}


def test_planar_areas_without_grid_displacements_fail(two_areas):
    with pytest.raises(ValueError, match="^Error in calculating strain.$"):
        two_areas.compute_strain()


# ---------------------------------------------------------------- file names and failed writes

@pytest.mark.parametrize("suffix", ["\0junk", ":out:1\0x"])
def test_names_with_a_nul_character_are_refused(plate, two_areas, tmp_path, suffix):
    real, h5 = str(tmp_path / "real.out"), str(tmp_path / "r.h5")
    plate.save(real)
    plate.save(h5 + ":out:1")
    before = {path: open(path, "rb").read() for path in (real, h5)}
    for name in (real + suffix, h5 + suffix, h5 + ":out:1" + suffix):
        with pytest.raises(ValueError, match="^embedded null byte$"):
            two_areas.save(name)
        with pytest.raises(ValueError, match="^embedded null byte$"):
            two_areas.load(name)
    assert {path: open(path, "rb").read() for path in before} == before
    assert two_areas.file_name() == "synthetic.out" and two_areas.num_data() == 2
    assert sorted(p.name for p in tmp_path.iterdir()) == ["r.h5", "real.out"]


@pytest.mark.parametrize("mode", [0o600, 0o640])
def test_save_keeps_the_mode_of_the_file_it_replaces(plate, tmp_path, mode):
    path = tmp_path / "kept.out"
    path.write_bytes(b"previous")
    path.chmod(mode)
    plate.save(str(path))
    assert stat.S_IMODE(os.stat(path).st_mode) == mode
    loaded = ZelDataSet()
    loaded.load(str(path))
    assert loaded.export_raw() == plate.export_raw()
    assert [p.name for p in tmp_path.iterdir()] == ["kept.out"]


def test_save_into_a_fifo_keeps_the_fifo(two_areas, tmp_path):
    fifo = tmp_path / "pipe.out"
    os.mkfifo(fifo)
    with pytest.raises(OSError, match=f"^Unable to save file: {fifo}$"):
        two_areas.save(str(fifo))  # nobody reads: refused instead of blocking
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        two_areas.save(str(fifo))  # small enough for the pipe's buffer
        received = os.read(reader, 1 << 16)
    finally:
        os.close(reader)
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)
    assert received == two_areas.export_raw()


_SAVE_OVER_THE_LIMIT = """
import resource, signal, sys
from zelpyx.zelpy.zelpy import ZelDataSet
big = ZelDataSet()
big.load(sys.argv[1])
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv[3]), resource.RLIM_INFINITY))
try:
    big.save(sys.argv[2])
except Exception as error:
    print(type(error).__name__)
"""


def test_failed_hdf5_save_keeps_the_old_entry(plate, encoder, loader, tmp_path):
    h5 = str(tmp_path / "r.h5")
    plate.save(h5 + ":out:1")
    big = tmp_path / "big.out"
    values = np.arange(400 * 400, dtype=np.float32)
    area = encoder.encode_area(400, 400, [("x", "x", encoder.PIXEL_COORDINATE, values),
                                          ("sigma", "sigma", encoder.CORRELATION, values)])
    loader(encoder.encode_data_set([area])).save(str(big))
    limit = os.path.getsize(h5) + 65536
    child = subprocess.run([sys.executable, "-c", _SAVE_OVER_THE_LIMIT, str(big), h5 + ":out:1", str(limit)],
                           capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip(), "the save over the file-size limit should have failed"
    kept = ZelDataSet()
    kept.load(h5 + ":out:1")
    assert kept.export_raw() == plate.export_raw()
    with h5py.File(h5, "r") as h5_file:
        assert list(h5_file["out"].keys()) == ["1"]
