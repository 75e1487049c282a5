"""Writes the small synthetic data set that examples/main_road.py loads.

A flat plate seen by a stereo system and stretched in x: each area holds the grid's
pixel positions x, y, world coordinates X, Y, Z (mm), displacements U, V, W (mm) and
the correlation residual sigma. The data-set file image is encoded here byte for
byte, then loaded into a ZelDataSet and saved through the module, so the file on
disk is the library's own.

    python examples/make_synthetic.py [output.out]
"""
import struct
import sys
from pathlib import Path

import numpy as np

# Variable type codes (ZelDataVariableType values).
PIXEL_COORDINATE, GLOBAL_COORDINATE, GLOBAL_DISPLACEMENT, CORRELATION = 0, 1, 3, 5

DEFAULT_OUTPUT = Path(__file__).resolve().parent / "data" / "step-0001_0.out"


def _tag(code):
    return struct.pack(">I", code)


def _int(value):
    return struct.pack(">i", value)


def _string(text):
    """Byte count, then big-endian UTF-16 units; FF FF FF FF for the empty text."""
    units = text.encode("utf-16-be")
    return struct.pack(">I", len(units) if units else 0xFFFFFFFF) + units


def encode_area(rows, columns, variables):
    """One area block; variables are (name, description, type code, values) tuples."""
    block = [_tag(0xA0000101), _tag(0xA0000110), _tag(0xA0110002),
             _tag(0xA0000103), _int(len(variables)),
             _tag(0xA0000104), _int(rows), _tag(0xA0000105), _int(columns)]
    for name, description, type_code, values in variables:
        values = np.asarray(values, dtype="<f4").ravel()
        assert values.size == rows * columns, name
        block += [_tag(0xA0000201), _tag(0xA0000202), _tag(0xA0201001 + type_code),
                  _tag(0xA0000203), _string(name), _tag(0xA0000204), _string(description),
                  _tag(0xA0201001), _int(values.size), values.tobytes()]
    return b"".join(block)


def encode_data_set(areas, reference_image="", deformed_image=""):
    """A whole data-set file image (no metadata trailer) from encoded area blocks."""
    header = [b"\xa2QRZ", b"1.00", _tag(0xA0000002), _int(len(areas)),
              _tag(0xA0000003), _string(reference_image), _tag(0xA0000004), _string(deformed_image)]
    return b"".join(header + list(areas))


def stretched_plate(rows, columns, origin=(0.0, 0.0), strain=0.002, spacing=0.5):
    """A stereo area of a plate stretched by `strain` in x and contracted by a third of it in y."""
    row, column = np.mgrid[0:rows, 0:columns].astype(np.float32)
    X = origin[0] + column * spacing
    Y = origin[1] + row * spacing
    Z = 0.01 * np.sin(X / 5.0)
    return encode_area(rows, columns, [
        ("x", "x [pixel]", PIXEL_COORDINATE, 100 + column * 8),
        ("y", "y [pixel]", PIXEL_COORDINATE, 100 + row * 8),
        ("X", "X [mm]", GLOBAL_COORDINATE, X),
        ("Y", "Y [mm]", GLOBAL_COORDINATE, Y),
        ("Z", "Z [mm]", GLOBAL_COORDINATE, Z),
        ("U", "U [mm]", GLOBAL_DISPLACEMENT, strain * X),
        ("V", "V [mm]", GLOBAL_DISPLACEMENT, -strain / 3 * Y),
        ("W", "W [mm]", GLOBAL_DISPLACEMENT, np.zeros_like(X)),
        ("sigma", "sigma [pixel]", CORRELATION, np.full_like(X, 0.01)),
    ])


def synthetic_image():
    """The example's data set: two areas of one stretched plate."""
    return encode_data_set([stretched_plate(20, 30), stretched_plate(16, 24, origin=(0.0, 12.0))],
                           reference_image="plate-0000_0.tif", deformed_image="plate-0001_0.tif")


def main(output=DEFAULT_OUTPUT):
    from zelpyx.zelpy.zelpy import ZelDataSet

    output = Path(output)
    output.parent.mkdir(parents=True, exist_ok=True)
    data_set = ZelDataSet()
    data_set.load_from_data(synthetic_image(), output.name)
    data_set.save(str(output))
    print(f"wrote {output}: {data_set.num_data()} areas, {data_set.matrix_size()} points")


if __name__ == "__main__":
    main(*sys.argv[1:])
