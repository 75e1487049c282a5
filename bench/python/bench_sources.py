"""Iterating a ZelDataSetReader over a directory of 1,000 small data sets (one area of
20 x 30 points, 6 variables) against a bare loop of ZelDataSet.load over the same
sorted file names, and against reading the files' bytes alone.
"""
import importlib.util
import os
import tempfile
import timeit
from pathlib import Path

import numpy as np

from zelpyx.zelpy.zelpy import ZelDataSet, ZelDataSetReader

ROOT = Path(__file__).resolve().parents[2]
COUNT = 1000


def load_encoder():
    spec = importlib.util.spec_from_file_location("make_synthetic", ROOT / "examples" / "make_synthetic.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def write_steps(encoder, directory):
    rng = np.random.default_rng(1)
    variables = [(name, name, 5 if name == "sigma" else 0, rng.random(600, dtype=np.float32))
                 for name in ("x", "y", "u", "v", "q", "sigma")]
    data_set = ZelDataSet()
    data_set.load_from_data(encoder.encode_data_set([encoder.encode_area(20, 30, variables)]), "step.out")
    for k in range(COUNT):
        data_set.save(os.path.join(directory, f"step-{k:04d}_0.out"))


def best_seconds(function, repeat=7):
    return min(timeit.repeat(function, number=1, repeat=repeat))


def read_bytes(names):
    for name in names:
        with open(name, "rb") as file:
            file.read()


def main():
    with tempfile.TemporaryDirectory() as directory:
        write_steps(load_encoder(), directory)
        names = sorted(os.path.join(directory, name) for name in os.listdir(directory))
        size = os.path.getsize(names[0])

        def bare_loop():
            for name in names:
                ZelDataSet().load(name)

        def reader_loop():
            for _ in ZelDataSetReader(directory):
                pass

        reader = bare = files = float("inf")
        for _ in range(7):  # interleaved, so that both see the same machine
            bare = min(bare, best_seconds(bare_loop, 1))
            reader = min(reader, best_seconds(reader_loop, 1))
            files = min(files, best_seconds(lambda: read_bytes(names), 1))
    print(f"{COUNT} data sets of {size / 1e3:.1f} kB in one directory")
    print(f"ZelDataSetReader, list and iterate: {COUNT / reader:9.0f} data sets/s")
    print(f"bare ZelDataSet().load loop:        {COUNT / bare:9.0f} data sets/s  (reader/bare time {reader / bare:.2f})")
    print(f"open and read the bytes only:       {COUNT / files:9.0f} files/s")


if __name__ == "__main__":
    main()
