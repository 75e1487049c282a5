"""A data set changed while a call is working on it: from another thread, or from
Python code that the call itself runs (an argument's own methods). Every case runs
in a child interpreter, so that a crash fails its test instead of the whole run; the
outcome must be a correct result or a clean exception."""
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

SETUP = f"""
import sys, threading, time
import numpy as np
sys.path.insert(0, {str(Path(__file__).resolve().parents[2] / "examples")!r})
import make_synthetic
from zelpyx.zelpy.zelpy import ZelDataSet
raw = make_synthetic.synthetic_image()
ds = ZelDataSet()
ds.load_from_data(raw, "a")
U = ds.get_values(["U"])["U"].copy()
CLEAN = (ValueError, RuntimeError)

def hammer(action, seconds=0.5):
    stop = time.monotonic() + seconds
    def loop():
        while time.monotonic() < stop:
            action()
    worker = threading.Thread(target=loop, daemon=True)
    worker.start()
    return stop, worker
"""

CASES = {
    "get_values while another thread reloads": """
        stop, worker = hammer(lambda: ds.load_from_data(raw, "b"))
        while time.monotonic() < stop:
            assert np.array_equal(ds.get_values(["U", "V", "W", "X"])["U"], U)
        worker.join()
    """,
    "area get_values while another thread reloads": """
        stop, worker = hammer(lambda: ds.load_from_data(raw, "b"))
        while time.monotonic() < stop:
            try:
                ds.data(0).get_values(["U", "X"])
            except CLEAN:
                pass
        worker.join()
    """,
    "set_values and add_variable while another thread deletes and re-adds": """
        ds.add_variable("extra", "extra", values=np.zeros(ds.matrix_size(), np.float32))
        def churn():
            ds.delete_variable("extra")
            ds.add_variable("extra", "extra")
        stop, worker = hammer(churn)
        column = np.arange(ds.matrix_size(), dtype=np.float32)
        while time.monotonic() < stop:
            try:
                ds.set_values({"extra": column})
                ds.add_variable("more", "more", values=column)
                ds.get_values(["extra"])
            except CLEAN:
                pass
        worker.join()
    """,
    "set_values while another thread swaps its variable for another": """
        sys.setswitchinterval(1e-5)
        ds.add_variable("t", "t")
        others = [name for name in ds.variables() if name != "t"]
        before = ds.get_values(others)
        column = np.arange(1, ds.matrix_size() + 1, dtype=np.float32)
        misdirected = []
        def churn():
            ds.delete_variable("t")
            ds.add_variable("n", "n")
            time.sleep(0)
            misdirected.append(ds.get_values(["n"])["n"].any())
            ds.delete_variable("n")
            ds.add_variable("t", "t")
            time.sleep(0)
        stop, worker = hammer(churn)
        while time.monotonic() < stop:
            try:
                ds.set_values({"t": column})
            except CLEAN:
                pass
        worker.join()
        assert not any(misdirected)
        assert np.array_equal(ds.get_values(others), before)
    """,
    "set_values with a column whose indexing reloads": """
        class Column:
            def __getitem__(self, part):
                ds.load_from_data(raw, "b")
                return np.zeros(part.stop - part.start, np.float32)
        try:
            ds.set_values({"U": Column()})
            raise AssertionError("no exception")
        except RuntimeError as error:
            assert str(error) == "The data set changed during the call."
    """,
    "names whose encode reloads": """
        class Name(str):
            def encode(self, *args):
                ds.load_from_data(raw, "b")
                return str.encode(self, *args)
        assert np.array_equal(ds.get_values([Name("U")])["U"], U)
        assert np.array_equal(ds.data(0).get_values([Name("U")])["U"], U[:600])
        try:
            ds.set_values({Name("U"): np.zeros(len(U))})
            raise AssertionError("no exception")
        except RuntimeError:
            pass
        assert np.array_equal(ds.get_values(["U"])["U"], U)
    """,
    "indexes whose comparison reloads": """
        class Index(int):
            def __lt__(self, other):
                ds.load_from_data(raw, "b")
                return int(self) < other
        for call in (lambda area: area.set_value(0, Index(1), 5.0),
                     lambda area: area.set_values(Index(1), np.zeros(600)),
                     lambda area: area.find_maximum(Index(1))):
            try:
                call(ds.data(0))
                raise AssertionError("no exception")
            except ValueError as error:
                assert "has not been initialized properly" in str(error)
        assert np.array_equal(ds.get_values(["U"])["U"], U)
    """,
}


@pytest.mark.parametrize("case", CASES)
def test_no_crash(case):
    code = SETUP + textwrap.dedent(CASES[case]) + "\nprint('ok')\n"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr[-2000:]
