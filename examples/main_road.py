"""The main road of zelpyx: import the module (data sets follow as they land)."""
import zelpyx.zelpy.zelpy as zelpy

print(f"zelpyx module loaded: {zelpy.__name__}")
