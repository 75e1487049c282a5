"""Times the module's bulk paths on one 1000 x 1000 area with 10 variables:

- get_values of all variables against numpy.copy of a structured array of the same bytes;
- set_values of one variable from a float64 array, through an area and through the data set
  (also over 1000 small areas, where the per-area work shows), beside numpy's own float64 to
  float32 conversion of the same column;
- load of the saved file and load_from_data of its bytes (compare with bench_data_set_load,
  the library's own load of a file of the same layout).
"""
import importlib.util
import tempfile
import timeit
from pathlib import Path

import numpy as np

from zelpyx.zelpy.zelpy import ZelDataSet

ROOT = Path(__file__).resolve().parents[2]
ROWS = COLUMNS = 1000
NAMES = ["x", "y", "X", "Y", "Z", "U", "V", "W", "sigma", "extra"]


def load_encoder():
    spec = importlib.util.spec_from_file_location("make_synthetic", ROOT / "examples" / "make_synthetic.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def make_image(encoder, areas=1, rows=ROWS, columns=COLUMNS):
    rng = np.random.default_rng(1)
    variables = [(name, name, 5 if name == "sigma" else 6, rng.random(rows * columns, dtype=np.float32))
                 for name in NAMES]
    return encoder.encode_data_set([encoder.encode_area(rows, columns, variables)] * areas)


def best_ms(function, repeat=7):
    return min(timeit.repeat(function, number=1, repeat=repeat)) * 1e3


def main():
    encoder = load_encoder()
    image = make_image(encoder)
    data_set = ZelDataSet()
    data_set.load_from_data(image, "bench.out")
    values = data_set.get_values(NAMES)

    get_ms = best_ms(lambda: data_set.get_values(NAMES))
    copy_ms = best_ms(lambda: np.copy(values))
    print(f"get_values, 10 variables x 1e6 points: {get_ms:8.2f} ms")
    print(f"numpy.copy of the same {values.nbytes / 1e6:.0f} MB:   {copy_ms:8.2f} ms  "
          f"(ratio {get_ms / copy_ms:.2f})")

    column = np.linspace(0.0, 1.0, ROWS * COLUMNS)
    area = data_set.data(0)
    print(f"set_values, one float64 variable:       {best_ms(lambda: area.set_values('extra', column)):8.2f} ms")
    print(f"ZelDataSet.set_values of the same:      {best_ms(lambda: data_set.set_values({'extra': column})):8.2f} ms")
    print(f"numpy float64 -> float32 of the same:   {best_ms(lambda: column.astype(np.float32)):8.2f} ms")
    small = ZelDataSet()
    small.load_from_data(make_image(encoder, areas=1000, rows=10, columns=10), "small.out")
    small_column = np.linspace(0.0, 1.0, 1000 * 100)
    print(f"ZelDataSet.set_values, 1000 areas x 100 points: "
          f"{best_ms(lambda: small.set_values({'extra': small_column})):8.2f} ms")
    print(f"numpy float64 -> float32 of the same:           "
          f"{best_ms(lambda: small_column.astype(np.float32)):8.2f} ms")

    with tempfile.TemporaryDirectory() as directory:
        path = str(Path(directory) / "bench-0001_0.out")
        data_set.save(path)
        print(f"load of a {len(image) / 1e6:.0f} MB file:               "
              f"{best_ms(lambda: ZelDataSet().load(path)):8.2f} ms")
    print(f"load_from_data of its bytes:            "
          f"{best_ms(lambda: ZelDataSet().load_from_data(image, 'bench.out')):8.2f} ms")


if __name__ == "__main__":
    main()
