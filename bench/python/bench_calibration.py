"""Times ProjectCalibration per call, Python argument handling included, on the camera
pair of bench/camera.cpp (pinhole, radial, tangential and prismatic distortion):

- project, ray and triangulate, one point per call, beside a numpy pinhole projection
  of the same points (vectorised, per point) and the library's own per-point figures
  (bench/camera.cpp: pinhole project, ray with undistortion, Calibration3D::triangulate);
- read_calibration and write_calibration of a calibration subtree with inverse mappings
  of 20 x 20 patches both ways for both cameras, beside the plain work of the same
  numbers (float() of every token; "{}" of every value joined).
"""
import timeit

import lxml.etree as etree
import numpy as np

from zelpyx.zelpy.zelpy import ProjectCalibration

POINT_COUNT = 20_000
PATCHES = 20


def e_text(values):
    return " ".join("{:e}".format(v) for v in values)


def camera(camera_id, orientation):
    # The pinhole camera of bench/camera.cpp.
    distortion = [0.12, -0.05, 0.01, -9e-4, 6e-4, 0, 0, 1e-3, 4e-4, -6e-4, 3e-4]
    return (f'<camera id="{camera_id}" type="pinhole"><intrinsics>801.5 598.25 2400 2395.5 0</intrinsics>'
            f'<distortion r="3" t="2" p="4">{e_text(distortion)}</distortion>'
            f"<orientation>{e_text(orientation)}</orientation></camera>")


def spline(direction, rng):
    count = (3 + PATCHES) ** 2
    u, v = (" ".join(map(str, rng.uniform(-1, 1, count))) for _ in range(2))
    return (f'<spline dir="{direction}" nx="{PATCHES}" ny="{PATCHES}" tlx="0.0" tly="0.0" brx="1600.0" '
            f'bry="1200.0"><u_coeff>{u}</u_coeff><v_coeff>{v}</v_coeff></spline>')


def document(with_mappings):
    rng = np.random.default_rng(1)
    mappings = "".join(f'<imap id="{k}">{spline("fwd", rng)}{spline("rev", rng)}</imap>' for k in range(2)) \
        if with_mappings else ""
    return etree.fromstring(f'<project><calibration lri="calibration">{camera(0, [0] * 6)}'
                            f"{camera(1, [0.5, -12.0, 0.3, -150.0, 2.0, 15.0])}{mappings}</calibration></project>")


def bench_points():
    i = np.arange(POINT_COUNT)
    return np.stack([((i * 37) % 1000 - 500) * 0.3, ((i * 91) % 800 - 400) * 0.3, 600.0 + i % 500], axis=1)


def best(function, repeat=5):
    return min(timeit.repeat(function, number=1, repeat=repeat))


def per_call(label, seconds, count):
    print(f"{label:52s} {seconds * 1e9 / count:9.1f} ns per call")


def main():
    calibration = ProjectCalibration()
    calibration.read_calibration(document(False))
    points = bench_points()
    world = [tuple(p) for p in points.tolist()]
    pixels = [calibration.project(p) for p in world]
    left = [pair[0] for pair in pixels]
    right = [pair[1] for pair in pixels]

    per_call("project (pinhole pair with distortion)",
             best(lambda: [calibration.project(p) for p in world]), POINT_COUNT)
    per_call("ray (camera 0, undistortion)", best(lambda: [calibration.ray(0, p) for p in left]), POINT_COUNT)
    per_call("triangulate (pinhole pair with distortion)",
             best(lambda: [calibration.triangulate(a, b) for a, b in zip(left, right)]), POINT_COUNT)
    k = calibration.intrinsic_matrix(0)
    per_call("numpy pinhole projection without distortion (baseline)",
             best(lambda: (points[:, :2] / points[:, 2:]) @ k[:2, :2].T + k[:2, 2]), POINT_COUNT)
    print("library per point (bench/camera.cpp): pinhole project, ray with undistortion and "
          "Calibration3D::triangulate; run bench/run.sh for its figures")

    root = document(True)
    subtree = root.find("calibration")
    texts = [element.text for element in subtree.iter() if element.text]
    values = [float(t) for text in texts for t in text.split()]
    print(f"calibration subtree: {len(values)} numbers, {sum(map(len, texts)) / 1e3:.0f} kB of text")
    full = ProjectCalibration()
    print(f"{'read_calibration':52s} {best(lambda: full.read_calibration(root)) * 1e3:9.3f} ms"
          f"   float() of every token: {best(lambda: [float(t) for s in texts for t in s.split()]) * 1e3:.3f} ms")
    target = etree.Element("project")
    print(f"{'write_calibration':52s} {best(lambda: full.write_calibration(target)) * 1e3:9.3f} ms"
          f"   str() of every value joined: {best(lambda: ' '.join(map(str, values))) * 1e3:.3f} ms")


if __name__ == "__main__":
    main()
