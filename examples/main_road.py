"""The main road of zelpyx: load a data set, compute strain, read the values as numpy arrays.

The data set in examples/data/ is synthetic (made by examples/make_synthetic.py): a
plate stretched by 0.2 % in x, seen in two areas of interest.
"""
from pathlib import Path

from zelpyx.zelpy.zelpy import ZelDataSet

data_file = Path(__file__).resolve().parent / "data" / "step-0001_0.out"

ds = ZelDataSet()
ds.load(str(data_file))
created = ds.compute_strain(window_size=15)
values = ds.get_values(["exx", "eyy", "sigma"])

valid = values["sigma"] >= 0
print(f"{ds.file_name()}: {ds.num_data()} areas, {ds.matrix_size()} points, "
      f"variables {', '.join(ds.variables())}")
print(f"strain variables created: {created}")
print(f"mean exx = {values['exx'][valid].mean():.6f}, mean eyy = {values['eyy'][valid].mean():.6f}")
