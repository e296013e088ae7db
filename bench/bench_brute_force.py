"""Throughput of NolithEngine.brute_force, in element-query pairs per second.

Runs with either build of the module: the host flavour (NumPy arrays, CPU) or
the cuda flavour (CuPy arrays, GPU). Sizes are smaller in the host flavour so
that the whole run stays around a minute on a small CPU.

    python bench/bench_brute_force.py [--repeats R]
"""

import argparse
import os
import sys
import time

import numpy as np

import nolith_module

F32 = np.float32


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))

from nolith_demo.engine import Backend, native_stdout_silenced  # noqa: E402


def make_engine(backend, kind, n, rng):
    if kind == "triangles":
        centres = rng.uniform(-1, 1, (n, 1, 3))
        tris = centres + rng.uniform(-0.05, 0.05, (n, 3, 3))
        return nolith_module.NolithEngine(backend.array(tris.astype(F32)))
    pts = rng.uniform(-1, 1, (n, 3)).astype(F32)
    nrm = (rng.normal(size=(n, 3)) / n).astype(F32)
    return nolith_module.NolithEngine(backend.array(pts), backend.array(nrm))


def time_once(backend, engine, queries):
    backend.sync()
    start = time.perf_counter()
    engine.brute_force(queries)
    backend.sync()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=None, help="timed runs per row (best is kept)")
    args = parser.parse_args()

    backend = Backend()
    if backend.flavour == "host":
        sizes_n, sizes_q, repeats = (1_000, 10_000, 100_000), (1_000, 3_000), 2
        note = "host flavour: CPU figures, not GPU figures"
    else:
        sizes_n, sizes_q, repeats = (10_000, 100_000, 1_000_000), (10_000, 100_000), 5
        note = "cuda flavour: GPU figures"
    repeats = args.repeats or repeats

    print(f"nolith brute_force | flavour: {backend.flavour} | device: {backend.describe()} | {note}")
    header = f"{'kind':<10} {'N':>10} {'Q':>10} {'best s':>10} {'pairs/s':>12}"
    rows = []
    rng = np.random.default_rng(0)
    for kind in ("triangles", "points"):
        for n in sizes_n:
            with native_stdout_silenced():  # the engine's banner line
                engine = make_engine(backend, kind, n, rng)
            for q in sizes_q:
                queries = backend.array(rng.uniform(-1.5, 1.5, (q, 3)).astype(F32))
                time_once(backend, engine, queries)  # warm-up
                best = min(time_once(backend, engine, queries) for _ in range(repeats))
                rows.append(f"{kind:<10} {n:>10,} {q:>10,} {best:>10.4f} {n * q / best:>12.3e}")
    print(header)
    print("-" * len(header))
    print("\n".join(rows))


if __name__ == "__main__":
    main()
