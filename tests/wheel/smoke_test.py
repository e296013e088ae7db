"""Smoke test of an installed nolith wheel, run from outside the source tree:
engines from a point cloud and a closed mesh, compute against brute_force,
inside and outside of the closed surface."""

import sys

import numpy as np

import nolith_module

assert "site-packages" in nolith_module.__file__, nolith_module.__file__
flavour = nolith_module.flavour
if flavour == "host":
    to_engine, to_numpy = np.ascontiguousarray, np.from_dlpack
else:
    import cupy

    to_engine = cupy.asarray

    def to_numpy(result):
        cupy.cuda.runtime.deviceSynchronize()
        return cupy.from_dlpack(result).get()


def sphere(n):
    """n points evenly spread on the unit sphere, with normals scaled by area."""
    k = np.arange(n) + 0.5
    z = 1 - 2 * k / n
    r = np.sqrt(1 - z * z)
    phi = k * np.pi * (3 - np.sqrt(5))
    points = np.stack([r * np.cos(phi), r * np.sin(phi), z], 1)
    return points.astype(np.float32), (points * 4 * np.pi / n).astype(np.float32)


rng = np.random.default_rng(0)
inside = rng.normal(size=(50, 3)) * 0.1
outside = rng.normal(size=(50, 3))
outside *= 3 / np.linalg.norm(outside, axis=1, keepdims=True)
queries = np.concatenate([inside, outside]).astype(np.float32)
want = np.r_[np.ones(50), np.zeros(50)]

points, normals = sphere(3000)
vertices = np.array([[1, 0, 0], [-1, 0, 0], [0, 1, 0], [0, -1, 0], [0, 0, 1], [0, 0, -1]], np.float32) * 2
faces = np.array([[0, 2, 4], [2, 1, 4], [1, 3, 4], [3, 0, 4], [2, 0, 5], [1, 2, 5], [3, 1, 5], [0, 3, 5]], np.uint32)
nolith_module._set_console_output(False)
engines = {
    "point cloud": nolith_module.NolithEngine(to_engine(points), to_engine(normals)),
    "mesh": nolith_module.NolithEngine(to_engine(vertices), to_engine(faces)),
}
passed = failed = 0
for name, engine in engines.items():
    fast = to_numpy(engine.compute(to_engine(queries)))
    exact = to_numpy(engine.brute_force(to_engine(queries)))
    ok = np.abs(fast - exact).max() < 1e-2 and np.abs(exact - want).max() < 0.05
    print(f"{flavour} flavour, {name}: compute vs brute_force {np.abs(fast - exact).max():.2e}, "
          f"vs inside/outside {np.abs(exact - want).max():.2e}: {'ok' if ok else 'FAILED'}")
    passed, failed = passed + ok, failed + (not ok)
print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
