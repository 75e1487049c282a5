"""Times cv2.projectPoints on the 10^5 points of bench/camera.cpp (same camera,
same distortion, skew 0), for comparison with the library's pinhole project.

Needs OpenCV (pip install opencv-python-headless); without it the script says so.
"""
import timeit

import numpy as np

POINT_COUNT = 100_000


def bench_points():
    i = np.arange(POINT_COUNT)
    return np.stack(
        [((i * 37) % 1000 - 500) * 0.3, ((i * 91) % 800 - 400) * 0.3, 600.0 + i % 500], axis=1
    ).astype(np.float64)


def main():
    try:
        import cv2
    except ImportError:
        print("OpenCV is not installed: nothing to compare with")
        return
    cv2.setNumThreads(1)
    points = bench_points()
    matrix = np.array([[2400.0, 0.0, 801.5], [0.0, 2395.5, 598.25], [0.0, 0.0, 1.0]])
    # k1 k2 p1 p2 k3 k4 k5 k6 s1 s2 s3 s4, the distortion of bench/camera.cpp
    coefficients = np.array([0.12, -0.05, -9e-4, 6e-4, 0.01, 0, 0, 0, 1e-3, -6e-4, 4e-4, 3e-4])
    rvec = np.zeros(3)
    tvec = np.zeros(3)
    best = min(
        timeit.repeat(lambda: cv2.projectPoints(points, rvec, tvec, matrix, coefficients), number=1, repeat=5)
    )
    print(f"cv2.projectPoints (OpenCV {cv2.__version__}): {best * 1e9 / POINT_COUNT:.1f} ns per point")


if __name__ == "__main__":
    main()
