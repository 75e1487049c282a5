"""Fixtures: synthetic data sets built with the example's own encoder, a fake
real-time server, hostile project archives, and the process's peak memory."""
import faulthandler
import importlib.util
from pathlib import Path

import numpy as np
import pytest

from zelpyx.zelpy.zelpy import ZelDataSet


def _load_module(name, path):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


synthetic = _load_module("make_synthetic", Path(__file__).resolve().parents[2] / "examples" / "make_synthetic.py")
rt_server = _load_module("rt_server", Path(__file__).resolve().parent / "rt_server.py")
project_archives = _load_module("project_archives", Path(__file__).resolve().parent / "project_archives.py")


def pixel_area(rows, columns, names=("x", "y"), first=0.0):
    """A planar pixel area whose variables hold first, first + 1, ... point by point."""
    values = first + np.arange(rows * columns, dtype=np.float32)
    variables = [(name, f"{name} [pixel]", synthetic.PIXEL_COORDINATE, values + 1000 * k)
                 for k, name in enumerate(names)]
    variables.append(("sigma", "sigma [pixel]", synthetic.CORRELATION, np.zeros(rows * columns)))
    return synthetic.encode_area(rows, columns, variables)


def load_image(image, file_name="synthetic.out"):
    data_set = ZelDataSet()
    data_set.load_from_data(image, file_name)
    return data_set


@pytest.fixture
def encoder():
    """The example's data-set file encoder (examples/make_synthetic.py)."""
    return synthetic


@pytest.fixture
def loader():
    """Decodes a data-set file image into a new ZelDataSet."""
    return load_image


@pytest.fixture
def plate():
    """The example's data set: two stereo areas (20 x 30 and 16 x 24 points)."""
    return load_image(synthetic.synthetic_image())


@pytest.fixture
def two_areas():
    """Planar areas of 4 (2 x 2) and 6 (2 x 3) points; x counts 0..3 and 100..105."""
    return load_image(synthetic.encode_data_set([pixel_area(2, 2), pixel_area(2, 3, first=100)]))


@pytest.fixture
def area(two_areas):
    """A view of the first area of two_areas."""
    return two_areas.data(0)


@pytest.fixture
def make_project(tmp_path):
    """Writes a project archive: "project.xml" holding xml (str or bytes, left out when None),
    then the members of extra (name: bytes), deflated unless stored is true."""
    import zipfile

    def make(xml, extra=None, name="project.q3d", stored=False):
        path = tmp_path / name
        compression = zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED
        with zipfile.ZipFile(path, "w", compression) as archive:
            if xml is not None:
                archive.writestr("project.xml", xml)
            for member, data in (extra or {}).items():
                archive.writestr(member, data)
        return str(path)
    return make


@pytest.fixture
def fake_server():
    """The fake real-time server module (tests/python/rt_server.py)."""
    return rt_server


def resident_bytes(field="VmRSS"):
    """The process's resident memory (VmRSS) or its peak since the last reset (VmHWM)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise LookupError(field)


class PeakMemory:
    """A with block after which rise holds how far the peak resident memory of the
    process went above what it held when the block began."""

    def __enter__(self):
        try:
            with open("/proc/self/clear_refs", "w") as clear:
                clear.write("5")  # the peak starts again from the current size
        except OSError:
            pytest.skip("the peak resident memory cannot be reset here")
        self.start = resident_bytes()
        return self

    def __exit__(self, *exception):
        self.rise = resident_bytes("VmHWM") - self.start


@pytest.fixture
def peak_memory():
    """PeakMemory: `with peak_memory() as peak: ...`, then peak.rise in bytes."""
    return PeakMemory


@pytest.fixture
def resident_memory():
    """The process's resident memory in bytes, as a function."""
    return resident_bytes


@pytest.fixture
def archives():
    """Builders of damaged and hostile project archives (tests/python/project_archives.py)."""
    return project_archives


@pytest.fixture
def no_hang():
    """Ends the test run with a traceback when the test hangs."""
    faulthandler.dump_traceback_later(30, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()
