"""Cubic B-spline interpolation of a 2000 x 2000 image at 10^6 sub-pixel positions:
scipy.ndimage.map_coordinates (order 3, mirror boundaries, coefficients prefiltered
beforehand, one thread) beside the library's InterpArray2 as bench_splines times it,
over the same two position sets: a raster as an image warp visits it, and random
positions.

scipy is a benchmark-only extra: without it this prints a note and stops.
"""
import re
import subprocess
import timeit
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[2]
SIZE = 2000
POINTS = 1_000_000
LIBRARY_BENCH = ROOT / "build" / "bench" / "bench" / "bench_splines"


def library_ns_per_point():
    """{"raster": ns, "random": ns} from bench_splines, or {} when it is not built."""
    if not LIBRARY_BENCH.exists():
        return {}
    output = subprocess.run([str(LIBRARY_BENCH)], capture_output=True, text=True, check=True).stdout
    return {name: float(ns) for name, ns in
            re.findall(r"cubic interpolation of .* (raster|random) positions: ([0-9.]+) ns per point", output)}


def position_sets():
    i, j = np.meshgrid(np.arange(1000), np.arange(1000), indexing="ij")
    raster = np.stack([0.37 + 1.998 * i + 0.1 * np.sin(j / 50.0), 0.61 + 1.998 * j]).reshape(2, -1)
    random = np.random.default_rng(12345).random((2, POINTS)) * (SIZE - 1.0)
    return {"raster": raster, "random": random}


def main():
    try:
        from scipy import ndimage
    except ImportError:
        print("scipy is not installed; skipped")
        return
    i, j = np.meshgrid(np.arange(SIZE), np.arange(SIZE), indexing="ij")
    image = 128.0 + 60.0 * np.sin(i * 0.05) * np.cos(j * 0.03) + (i * 7 + j * 13) % 17
    coefficients = ndimage.spline_filter(image, order=3, mode="mirror")
    ours = library_ns_per_point()
    for name, coordinates in position_sets().items():
        seconds = min(timeit.repeat(
            lambda: ndimage.map_coordinates(coefficients, coordinates, order=3, mode="mirror", prefilter=False),
            number=1, repeat=5))
        scipy_ns = seconds * 1e9 / POINTS
        line = f"{name} positions: scipy map_coordinates order 3 {scipy_ns:.1f} ns per point"
        if name in ours:
            line += f", InterpArray2 degree 3 {ours[name]:.1f} ns per point, ratio {scipy_ns / ours[name]:.1f}"
        print(line)


if __name__ == "__main__":
    main()
