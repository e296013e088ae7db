"""Throughput of NolithEngine.compute (default beta) and its speed-up over brute_force.

The geometry is a torus: N triangles, or N oriented points (the triangles'
centroids with their area-scaled normals). Queries are uniform in the
bounding box or near the surface (within 1% of the torus size of it). compute
is timed on all Q queries; brute_force costs the same per query whatever Q is,
so it is timed on at most `pair budget / N` of them and its rate is used for
the speed-up. `max err` is |compute - brute_force| over the queries both ran.

Runs with either build of the module. The cuda flavour (CuPy arrays) gives GPU
figures. The host flavour runs the kernels on a CPU emulation and is scaled
down to about a minute: its figures are CPU-emulation figures, not GPU ones.

    python bench/bench_compute.py [--sizes-n 10000,100000] [--sizes-q 10000,1000000] [--repeats R]
"""

import argparse
import math
import os
import sys
import time

import numpy as np

import nolith_module

F32 = np.float32


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))

from nolith_demo.engine import Backend, native_stdout_silenced  # noqa: E402


# ------------------------------------------------------------------ geometry


def torus_triangles(n, major=1.0, minor=0.35):
    """About n outward-oriented triangles of a torus, as an (n, 3, 3) float64 array."""
    nu = max(3, round(math.sqrt(n)))
    nv = max(3, round(n / (2 * nu)))
    i, j = np.meshgrid(np.arange(nu), np.arange(nv), indexing="ij")
    u, w = 2 * math.pi * i / nu, 2 * math.pi * j / nv
    ring = major + minor * np.cos(w)
    grid = np.stack([ring * np.cos(u), ring * np.sin(u), minor * np.sin(w)], -1)
    a, b = grid, np.roll(grid, -1, axis=0)
    c, d = np.roll(b, -1, axis=1), np.roll(grid, -1, axis=1)
    tris = np.concatenate([np.stack([a, b, c], -2), np.stack([a, c, d], -2)]).reshape(-1, 3, 3)
    # Outward: away from the core circle of the tube.
    centre = tris.mean(axis=1)
    core = centre * [1.0, 1.0, 0.0]
    core *= major / np.linalg.norm(core, axis=1, keepdims=True)
    normal = np.cross(tris[:, 1] - tris[:, 0], tris[:, 2] - tris[:, 0])
    flip = np.einsum("nk,nk->n", normal, centre - core) < 0
    tris[flip] = tris[flip][:, [0, 2, 1]]
    return tris


def surface_samples(tris):
    """Centroids and area-scaled normals of the triangles."""
    return tris.mean(axis=1), 0.5 * np.cross(tris[:, 1] - tris[:, 0], tris[:, 2] - tris[:, 0])


def query_sets(tris, count, rng):
    """{"uniform": ..., "near": ...}, each (count, 3) float32."""
    centres, normals = surface_samples(tris)
    lo, hi = tris.reshape(-1, 3).min(axis=0), tris.reshape(-1, 3).max(axis=0)
    pad = 0.05 * (hi - lo)
    uniform = rng.uniform(lo - pad, hi + pad, (count, 3))
    pick = rng.integers(0, len(centres), count)
    unit = normals[pick] / np.linalg.norm(normals[pick], axis=1, keepdims=True)
    near = centres[pick] + unit * rng.uniform(-0.01, 0.01, (count, 1)) * np.max(hi - lo)
    return {"uniform": uniform.astype(F32), "near": near.astype(F32)}


def make_engine(backend, kind, tris):
    with native_stdout_silenced():
        if kind == "triangles":
            engine = nolith_module.NolithEngine(backend.array(tris.astype(F32)))
        else:
            centres, normals = surface_samples(tris)
            engine = nolith_module.NolithEngine(backend.array(centres.astype(F32)),
                                                backend.array(normals.astype(F32)))
    backend.sync()
    return engine


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes-n", help="comma-separated element counts")
    parser.add_argument("--sizes-q", help="comma-separated query counts")
    parser.add_argument("--repeats", type=int, help="timed runs per row (median is shown)")
    args = parser.parse_args()

    backend = Backend()
    if backend.flavour == "host":
        sizes_n, repeats, pair_budget = (10_000, 30_000), 1, 3e7
        sizes_q = (2_000, 8_000)
        note = "host flavour: CPU-emulation figures, not GPU figures"
    else:
        sizes_n, repeats, pair_budget = (10_000, 100_000, 1_000_000), 3, 2e10
        sizes_q = (10_000, 100_000, 1_000_000, 10_000_000)
        note = "cuda flavour: GPU figures"
    if args.sizes_n:
        sizes_n = tuple(int(float(s)) for s in args.sizes_n.split(","))
    if args.sizes_q:
        sizes_q = tuple(int(float(s)) for s in args.sizes_q.split(","))
    repeats = args.repeats or repeats

    print(f"nolith compute vs brute_force | flavour: {backend.flavour} | device: {backend.describe()} | {note}")
    print(f"torus geometry, default beta and epsilon; median of {repeats} run(s) after a warm-up; "
          f"brute_force timed on at most {pair_budget:.0e} element-query pairs")
    header = (f"{'kind':<10} {'N':>10} {'queries':<8} {'Q':>11} {'compute s':>10} {'compute q/s':>12} "
              f"{'brute Q':>9} {'brute q/s':>10} {'speed-up':>9} {'max err':>9}")
    print(header)
    print("-" * len(header))
    rng = np.random.default_rng(0)
    started = time.perf_counter()
    for kind in ("triangles", "points"):
        for n_target in sizes_n:
            tris = torus_triangles(n_target)
            n = len(tris)
            engine = make_engine(backend, kind, tris)
            for name, all_queries in query_sets(tris, max(sizes_q), rng).items():
                device_queries = backend.array(all_queries)
                engine.compute(device_queries[:256])  # warm-up
                for q in sizes_q:
                    queries = device_queries[:q]
                    fast_s, fast = backend.median_time(lambda: engine.compute(queries), repeats)
                    qb = int(max(32, min(q, pair_budget // n)))
                    subset = device_queries[:qb]
                    brute_s, brute = backend.median_time(lambda: engine.brute_force(subset), repeats)
                    err = np.abs(backend.numpy(fast)[:qb] - backend.numpy(brute)).max()
                    fast_rate, brute_rate = q / fast_s, qb / brute_s
                    print(f"{kind:<10} {n:>10,} {name:<8} {q:>11,} {fast_s:>10.4f} {fast_rate:>12.3e} "
                          f"{qb:>9,} {brute_rate:>10.3e} {fast_rate / brute_rate:>9.1f} {err:>9.1e}",
                          flush=True)
    print(f"total {time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    main()
