"""Does nolith give the same answers, at the same speed, in any units?

Winding numbers do not depend on units. Each scene below is built at unit
size (its longest extent 1) and at scales s = 1e-3 and 1e3 (points' scaled
normals times s^2, epsilon times s), and in its file's own units where that
differs. Per row: compute time relative to unit size (the same work should
take the same time), the largest difference of brute_force from its
unit-size values and the number of inside/outside flips among queries whose
unit-size value is clearly inside or outside, and compute's largest error
against brute_force at that scale. Queries: uniform in the padded box and
near the surface.

Runs with either build of the module; the host flavour's times are CPU
emulation times, and ratios between rows are what matter.

    python bench/bench_units.py [--queries Q] [--repeats R]
"""

import argparse
import os
import sys

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))

import cgal_data  # noqa: E402
import nolith_module  # noqa: E402
from nolith_demo.engine import Backend, native_stdout_silenced  # noqa: E402

F32 = np.float32
EPSILON = 1.0 / 250.0
MESHES = ["elephant", "ALSTOM_TEST4", "armadillo"]


def mesh_scene(name):
    verts, idx = cgal_data.load_off(f"data/meshes/{name}.off")
    return "mesh", verts.astype(np.float64), idx


def cloud_scene(n=20_000):
    rng = np.random.default_rng(1)
    p = rng.normal(size=(n, 3))
    p /= np.linalg.norm(p, axis=1, keepdims=True)
    return "points", p, p * (4 * np.pi / n)


def queries_for(kind, a, b, count, rng):
    """Uniform in the padded box, and near the surface, in the scene's units."""
    lo, hi = a.min(axis=0), a.max(axis=0)
    pad = 0.1 * (hi - lo)
    uniform = rng.uniform(lo - pad, hi + pad, (count // 2, 3))
    if kind == "mesh":
        t = a[b]
        centres, normals = t.mean(axis=1), np.cross(t[:, 1] - t[:, 0], t[:, 2] - t[:, 0])
    else:
        centres, normals = a, b
    pick = rng.integers(0, len(centres), count - count // 2)
    unit = normals[pick] / np.linalg.norm(normals[pick], axis=1, keepdims=True)
    near = centres[pick] + unit * rng.uniform(-0.01, 0.01, (len(pick), 1)) * np.ptp(a, axis=0).max()
    return np.concatenate([uniform, near])


def evaluate(backend, kind, a, b, queries, scale, repeats):
    """(compute seconds, compute values, brute_force values) with everything scaled by `scale`."""
    with native_stdout_silenced():
        if kind == "mesh":
            engine = nolith_module.NolithEngine(backend.array((a * scale).astype(F32)),
                                                backend.array(b.astype(np.uint32)))
        else:
            engine = nolith_module.NolithEngine(backend.array((a * scale).astype(F32)),
                                                backend.array((b * scale * scale).astype(F32)))
    q = backend.array((queries * scale).astype(F32))
    eps = EPSILON * scale
    engine.compute(q[:64], -1.0, eps)  # warm-up
    seconds, fast = backend.median_time(lambda: engine.compute(q, -1.0, eps), repeats)
    exact = engine.brute_force(q, eps)
    return seconds, backend.numpy(fast).astype(np.float64), backend.numpy(exact).astype(np.float64)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--queries", type=int)
    parser.add_argument("--repeats", type=int)
    args = parser.parse_args()
    backend = Backend()
    count = args.queries or (3_000 if backend.flavour == "host" else 1_000_000)
    repeats = args.repeats or (1 if backend.flavour == "host" else 5)
    print(f"nolith in any units | flavour: {backend.flavour} | device: {backend.describe()} | "
          f"{count} queries, median of {repeats}")
    header = (f"{'scene':<14} {'N':>8} {'scale':>10} {'compute s':>10} {'vs unit':>8} "
              f"{'brute diff':>11} {'flips':>6} {'compute err':>12}")
    print(header)
    print("-" * len(header))
    rng = np.random.default_rng(0)
    scenes = []
    if cgal_data.archive() is not None:
        scenes += [(name, *mesh_scene(name)) for name in MESHES]
    scenes.append(("sphere points", *cloud_scene()))
    for name, kind, a, b in scenes:
        extent = np.ptp(a, axis=0).max()
        origin = a.min(axis=0)
        unit_a = (a - origin) / extent
        unit_b = b if kind == "mesh" else b / extent**2
        queries = queries_for(kind, unit_a, unit_b, count, rng)
        base_s, _, base_exact = evaluate(backend, kind, unit_a, unit_b, queries, 1.0, repeats)
        clear = np.abs(base_exact - 0.5) > 0.1
        scales = [1e-3, 1.0, 1e3] + ([extent] if abs(np.log10(extent)) > 0.5 else [])
        for scale in scales:
            seconds, fast, exact = evaluate(backend, kind, unit_a, unit_b, queries, scale, repeats)
            flips = int((clear & ((exact > 0.5) != (base_exact > 0.5))).sum())
            label = f"{scale:.3g}" + (" (own)" if scale == extent else "")
            print(f"{name:<14} {len(b if kind == 'mesh' else a):>8,} {label:>10} {seconds:>10.3f} "
                  f"{seconds / base_s:>8.2f} {np.abs(exact - base_exact).max():>11.2e} {flips:>6} "
                  f"{np.abs(fast - exact).max():>12.2e}", flush=True)


if __name__ == "__main__":
    main()
