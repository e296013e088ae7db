"""Build time of NolithEngine against the element count, for triangles and points.

Each row is the median of a few timed builds after one warm-up build. In the
cuda flavour the clock stops after a device synchronisation (construction
returns before its last kernels finish), and the device memory the engine
holds is read with cudaMemGetInfo before and after the build. The host flavour
runs the kernels on a CPU emulation: its timings show the trend only, not GPU
figures, and it has no device memory to report.

    python bench/bench_build.py [--sizes 10000,100000] [--repeats R]
"""

import argparse
import os
import statistics
import sys
import time

import numpy as np

import nolith_module

F32 = np.float32
MIB = 1024.0 * 1024.0


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))

from nolith_demo.engine import Backend, native_stdout_silenced  # noqa: E402


def make_inputs(backend, kind, n, rng):
    """Engine arguments for n random elements in the unit cube."""
    if kind == "triangles":
        centres = rng.uniform(-1, 1, (n, 1, 3))
        tris = centres + rng.uniform(-0.02, 0.02, (n, 3, 3))
        return (backend.array(tris.astype(F32)),)
    pts = rng.uniform(-1, 1, (n, 3)).astype(F32)
    nrm = (rng.normal(size=(n, 3)) / n).astype(F32)
    return backend.array(pts), backend.array(nrm)


def timed_build(backend, args):
    """(seconds, engine) of one construction, device work included."""
    backend.sync()
    with native_stdout_silenced():
        start = time.perf_counter()
        engine = nolith_module.NolithEngine(*args)
        backend.sync()
        elapsed = time.perf_counter() - start
    return elapsed, engine


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", help="comma-separated element counts")
    parser.add_argument("--repeats", type=int, help="timed builds per row (median is shown)")
    args = parser.parse_args()

    backend = Backend()
    if backend.flavour == "host":
        sizes, repeats = (1_000, 10_000, 30_000, 100_000), 3
        note = "host flavour: CPU emulation of the kernels, timings show the trend only (not GPU figures)"
    else:
        sizes, repeats = (10_000, 100_000, 1_000_000), 5
        note = "cuda flavour: GPU figures"
    if args.sizes:
        sizes = tuple(int(float(s)) for s in args.sizes.split(","))
    repeats = args.repeats or repeats

    print(f"nolith build | flavour: {backend.flavour} | device: {backend.describe()} | {note}")
    print(f"median of {repeats} builds after one warm-up; memory: device memory held by the engine "
          "(cudaMemGetInfo difference across the build) against the input arrays")
    header = (f"{'kind':<10} {'N':>10} {'median s':>10} {'min s':>10} {'elements/s':>12} "
              f"{'input MiB':>10} {'engine MiB':>11} {'engine/input':>13}")
    print(header)
    print("-" * len(header))
    rng = np.random.default_rng(0)
    for kind in ("triangles", "points"):
        for n in sizes:
            inputs = make_inputs(backend, kind, n, rng)
            input_bytes = sum(a.nbytes for a in inputs)
            timed_build(backend, inputs)  # warm-up
            times = []
            held = None
            for _ in range(repeats):
                before = backend.used_bytes()
                elapsed, engine = timed_build(backend, inputs)
                after = backend.used_bytes()
                times.append(elapsed)
                if before is not None:
                    held = after - before
                del engine
            median = statistics.median(times)
            if held is None:
                memory = f"{input_bytes / MIB:>10.2f} {'n/a':>11} {'n/a':>13}"
            else:
                memory = f"{input_bytes / MIB:>10.2f} {held / MIB:>11.2f} {held / input_bytes:>13.2f}"
            print(f"{kind:<10} {n:>10,} {median:>10.4f} {min(times):>10.4f} {n / median:>12.3e} {memory}",
                  flush=True)


if __name__ == "__main__":
    main()
