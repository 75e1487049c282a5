"""Times the queries and analyses of a data set on one stereo 1000 x 1000 area:

- range, find_minimum/find_maximum and triangulation beside the numpy work of the
  same scan (min/max of the column, numpy.copy of an index array of the same size);
- at_global_xy per call with the point-search tree, the Python call included;
- smooth (windows 15 and 51, beside compute_strain with window 15), compute_curvature
  and transform of the library benchmarks' stereo area (bench/StereoBenchArea.h),
  beside bench_analyses and bench_curvature, which time the same work in C++.
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


def bench_area_image(encoder):
    """The stereo area of bench/StereoBenchArea.h: a curved surface with a round hole."""
    r, c = np.mgrid[0:ROWS, 0:COLUMNS].astype(np.float64)
    x, y = c * 0.5, r * 0.5
    hole = (r - 500) ** 2 + (c - 300) ** 2 < 80 * 80
    fields = [("X", 1, x), ("Y", 1, y), ("Z", 1, 1e-4 * (x - 250) * (y - 250)),
              ("U", 3, 0.01 * x + 0.002 * np.sin(0.05 * y)),
              ("V", 3, -0.003 * y + 0.001 * np.cos(0.04 * x)), ("W", 3, 0.0005 * x),
              ("sigma", 5, np.where(hole, -1.0, 0.01))]
    area = encoder.encode_area(ROWS, COLUMNS, [(n, n, code, v.astype(np.float32)) for n, code, v in fields])
    return encoder.encode_data_set([area])


def time_on_fresh_set(image, work):
    """Best time of work on a freshly loaded copy of the set, loading not counted."""
    best = float("inf")
    for _ in range(5):
        data_set = zelpy.ZelDataSet()
        data_set.load_from_data(image, "bench.out")
        best = min(best, timeit.timeit(lambda: work(data_set), number=1))
    return best * 1e3


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

    image = bench_area_image(encoder)
    smooth15 = time_on_fresh_set(image, lambda s: s.smooth("W", 15))
    strain15 = time_on_fresh_set(image, lambda s: s.compute_strain(window_size=15))
    report("smooth('W', 15)", smooth15, "compute_strain(15), all threads", strain15)
    report("smooth('W', 51)", time_on_fresh_set(image, lambda s: s.smooth("W", 51)), "smooth('W', 15)", smooth15)
    report("compute_curvature(15), all threads", time_on_fresh_set(image, lambda s: s.compute_curvature(15)))
    move = zelpy.RigidTransformation(10, 20, 30, 1, 2, 3)
    report("transform", time_on_fresh_set(image, lambda s: s.transform(move)))
    fit = zelpy.RigidTransformation()
    report("from_displacement", best_ms(lambda: fit.from_displacement(data_set), repeat=3))
    report("plane_fit", best_ms(lambda: fit.plane_fit(data_set), repeat=3))


if __name__ == "__main__":
    main()
