"""The demo job of nolith: winding numbers of a mesh and a point cloud on a slice.

Run it with `scripts/demo [PATH]`; `bench/bench_compare.py` reuses the shape
generator, the loaders and the array helpers from here.
"""
