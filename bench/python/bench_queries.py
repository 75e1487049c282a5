"""Times the queries and analyses of a data set on one stereo 1000 x 1000 area:

- range, find_minimum/find_maximum and triangulation beside the numpy work of the
  same scan (min/max of the column, numpy.copy of an index array of the same size);
- at_global_xy per call with the point-search tree, the Python call included;
- smooth, compute_curvature and transform (compare with the library's own benchmarks).
"""
import importlib.util
import timeit
from pathlib import Path

import numpy as np

import zelpyx.zelpy.zelpy as zelpy

ROOT = Path(__file__).resolve().parents[2]
ROWS = COLUMNS = 1000


def load_encoder():
    spec = importlib.util.spec_from_file_location("make_synthetic", ROOT / "examples" / "make_synthetic.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def best_ms(function, repeat=5, number=1):
    return min(timeit.repeat(function, number=number, repeat=repeat)) * 1e3 / number


def report(label, ms, baseline_label=None, baseline_ms=None):
    line = f"{label:44s} {ms:9.3f} ms"
    if baseline_ms is not None:
        line += f"   {baseline_label}: {baseline_ms:8.3f} ms (ratio {ms / baseline_ms:.2f})"
    print(line)


def main():
    encoder = load_encoder()
    data_set = zelpy.ZelDataSet()
    data_set.load_from_data(encoder.encode_data_set([encoder.stretched_plate(ROWS, COLUMNS)]), "b.out")
    area = data_set.data(0)
    u = data_set.get_values(["U"])["U"]

    report("range('U')", best_ms(lambda: data_set.range("U")),
           "numpy min and max", best_ms(lambda: (u.min(), u.max())))
    report("find_maximum('U')", best_ms(lambda: area.find_maximum("U")),
           "numpy argmax", best_ms(lambda: u.argmax()))
    triangles = data_set.triangulation()
    report(f"triangulation ({len(triangles)} triangles)", best_ms(data_set.triangulation),
           "numpy.copy of the result", best_ms(lambda: np.copy(triangles)))

    rng = np.random.default_rng(3)
    xs = rng.uniform(1.0, 0.5 * (COLUMNS - 2), 10_000)
    ys = rng.uniform(1.0, 0.5 * (ROWS - 2), 10_000)
    names = ["U", "V", "W"]
    build_ms = best_ms(lambda: (area.clear_search_trees(), area.at_global_xy(10.0, 10.0, names, True)),
                       repeat=3)
    report("at_global_xy tree build and first query", build_ms)

    def queries():
        for x, y in zip(xs, ys):
            area.at_global_xy(x, y, names, True)
    per_call_us = best_ms(queries, repeat=3) / len(xs) * 1e3
    print(f"{'at_global_xy with the tree, per call':44s} {per_call_us:9.3f} us")

    report("smooth('U', 15)", best_ms(lambda: data_set.smooth("U", 15), repeat=3))
    report("compute_curvature(15)", best_ms(lambda: data_set.compute_curvature(15), repeat=3))
    move = zelpy.RigidTransformation(10, 20, 30, 1, 2, 3)
    report("transform", best_ms(lambda: data_set.transform(move), repeat=3))
    fit = zelpy.RigidTransformation()
    report("from_displacement", best_ms(lambda: fit.from_displacement(data_set), repeat=3))
    report("plane_fit", best_ms(lambda: fit.plane_fit(data_set), repeat=3))


if __name__ == "__main__":
    main()
