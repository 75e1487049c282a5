"""Times numpy.savetxt(fmt="%g", delimiter=",") of the table that bench_text_export
writes through the library's CSV export: 10^6 points x 10 float32 variables."""
import tempfile
import timeit
from pathlib import Path

import numpy as np

POINTS = 1000 * 1000
VARIABLES = 10


def table():
    points = np.arange(POINTS, dtype=np.uint64)
    columns = [((points * 2654435761 + k * 40503) % 2**32) / 2**32 * 2000.0 - 1000.0 for k in range(VARIABLES)]
    return np.stack(columns, axis=1).astype(np.float32)


def main():
    values = table()
    with tempfile.TemporaryDirectory() as directory:
        path = Path(directory) / "table.csv"
        best = min(timeit.repeat(lambda: np.savetxt(path, values, fmt="%g", delimiter=","), number=1, repeat=3))
        megabytes = path.stat().st_size / 1e6
    print(f"numpy.savetxt(fmt='%g') of 10^6 points x 10 variables ({megabytes:.1f} MB): "
          f"{best * 1e3:8.1f} ms, {megabytes / best:7.1f} MB/s")


if __name__ == "__main__":
    main()
