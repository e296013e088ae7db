"""scripts/demo: winding numbers of a mesh and a point cloud, fast and exact.

With no PATH, runs on a generated ring with a hole and a point cloud sampled
from it. With a PATH, loads a mesh (OBJ, OFF, PLY, STL) or a point cloud with
normals (.xyz/.pwn text, PLY without faces, .npz) and, for a mesh, also
samples a point cloud from it. For each input it builds an engine, evaluates
the slice grid and random points with `compute` and `brute_force`, prints the
timings and the error of `compute`, and writes a PNG of the slice. Then it
withholds the normals of a point set, solves them with solve_normals and
pictures the solved field beside the true one (normal_orientation.png).
"""

import argparse
import math
import os
import sys

import numpy as np

from . import inputs, orientation, plot, shapes, slicing
from .engine import Backend, build, evaluate

F32 = np.float32
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEFAULT_OUT = os.path.join(ROOT, "build", "demo", "winding_slice.png")
# Sizes that keep the default run around half a minute on a 2-core CPU in
# the host flavour, and a real workload on a GPU.
HOST = {"grid": 160, "random": 6_000, "chunk": 1 << 12}
GPU = {"grid": 1024, "random": 1_000_000, "chunk": 1 << 18}


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="scripts/demo", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("path", nargs="?", help="mesh or point cloud file (default: generated shape)")
    parser.add_argument("--out", default=DEFAULT_OUT, help="PNG to write (default: build/demo/winding_slice.png in the repository)")
    parser.add_argument("--grid", type=int, help="grid cells along the slice's longer side")
    parser.add_argument("--random", type=int, help="random query points in the bounding box")
    parser.add_argument("--axis", choices="xyz", help="normal of the slice (default: shortest side)")
    parser.add_argument("--offset", type=float, help="slice position along the axis, after scaling "
                        "the input into [-1, 1]^3 (default: the middle)")
    parser.add_argument("--points", type=int, help="points to sample from a mesh (0: none)")
    parser.add_argument("--beta", type=float, default=-1.0, help="accuracy of compute (default: the engine's)")
    parser.add_argument("--epsilon", type=float, default=-1.0, help="point-cloud regularisation radius")
    parser.add_argument("--orient", type=int, help="points of the normal-orientation example (0: skip it; "
                        "default: 800 on the host flavour, the whole point set on a GPU)")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)
    for name in ("grid", "random", "points", "orient"):
        value = getattr(args, name)
        if value is not None and value < (2 if name == "grid" else 0):
            parser.error(f"--{name} is too small: {value}")
    if args.orient is not None and 0 < args.orient < 32:
        parser.error(f"--orient needs at least 32 points: {args.orient}")
    return args


def gather_inputs(args, large):
    """The input (generated or loaded) and, for a mesh, points sampled from it."""
    count = args.points if args.points is not None else (200_000 if large else 8_000)
    if args.path is None:
        mesh, cloud = inputs.default_inputs(large=large, points=max(count, 1))
        return [mesh, cloud] if count > 0 else [mesh]
    loaded = inputs.load(args.path)
    if not isinstance(loaded, inputs.Mesh) or count == 0:
        return [loaded]
    points, normals = shapes.sample_surface(loaded.vertices, loaded.faces, count, seed=args.seed)
    return [loaded, inputs.PointCloud("points sampled from it", points, normals)]


def summarise(values, exact):
    err = np.abs(values.astype(np.float64) - exact.astype(np.float64))
    return float(err.max(initial=0.0)), float(err.mean()) if err.size else 0.0


def run(args):
    backend = Backend()
    sizes = GPU if backend.on_gpu else HOST
    grid = args.grid or sizes["grid"]
    n_random = sizes["random"] if args.random is None else args.random
    geometries = inputs.normalise(gather_inputs(args, backend.on_gpu))

    corners = np.concatenate([g.corners for g in geometries])
    plane = slicing.choose_slice(corners, grid, axis=None if args.axis is None else "xyz".index(args.axis),
                                 offset=args.offset)
    rng = np.random.default_rng(args.seed)
    lo, hi = corners.min(axis=0), corners.max(axis=0)
    pad = 0.1 * (hi - lo)
    random_points = rng.uniform(lo - pad, hi + pad, (n_random, 3)).astype(F32)
    grid_points = plane.points()
    queries = backend.array(np.concatenate([grid_points, random_points]))
    n_grid = len(grid_points)

    where = backend.describe()
    if backend.on_gpu:
        flavour = f"cuda flavour on {where}, arrays through {backend.array_library}"
    else:
        flavour = f"host flavour on {where}: CPU figures, the kernels run on the host runtime"
    print(f"nolith demo | {flavour}")
    for g in geometries:
        note = f" -- {'; '.join(g.notes)}" if g.notes else ""
        print(f"input: {g.kind}, {g.name}: {g.size:,} elements{note}")
    rows, cols = plane.shape
    print(f"queries: slice {plane.title} on a {cols} x {rows} grid + {n_random:,} random points "
          f"= {len(queries):,} per method (inputs scaled into [-1, 1]^3)")
    print()

    results, panels = [], []
    chunk = sizes["chunk"] if backend.on_gpu else max(sizes["chunk"], math.ceil(len(queries) / 40))
    for g in geometries:
        engine, build_s = build(backend, g)
        fast_options = {"beta": args.beta, "epsilon": args.epsilon}
        exact_options = {"epsilon": args.epsilon}
        warm = queries[:256]
        engine.compute(warm, **fast_options), engine.brute_force(warm, **exact_options)
        label = "mesh" if isinstance(g, inputs.Mesh) else "cloud"
        fast, fast_s = evaluate(backend, engine, "compute", queries, chunk, f"{label} compute", **fast_options)
        exact, exact_s = evaluate(backend, engine, "brute_force", queries, chunk, f"{label} brute_force",
                                  **exact_options)
        max_err, mean_err = summarise(fast, exact)
        results.append((g, build_s, fast_s, exact_s, max_err, mean_err))
        grid_max, _ = summarise(fast[:n_grid], exact[:n_grid])
        caption = (f"compute: {len(queries) / fast_s:,.0f} queries/s, {exact_s / fast_s:.1f}x the speed "
                   f"of brute_force\nlargest |compute - exact| on this slice: {grid_max:.1e}")
        panels.append(plot.panel_for(g, plane, fast[:n_grid].reshape(plane.shape), caption))
        del engine

    print_table(results, len(queries))
    where_short = "GPU" if backend.on_gpu else "host flavour, CPU"
    subtitle = " | ".join(f"{g.kind} {g.size:,}" for g, *_ in results) + f" | {where_short}"
    print()
    try:
        path = plot.save_figure(args.out, plane, panels, subtitle)
    except ImportError:  # outside scripts/demo's environment, e.g. on a bare GPU machine
        print("slice picture: skipped, matplotlib is not installed")
        return 0
    shown = os.path.relpath(path)
    print(f"slice picture: {path if shown.startswith('..') else shown}")
    if args.orient != 0:
        print()
        orientation.run_orientation(backend, min(grid, 200), os.path.join(os.path.dirname(args.out),
                                                                          "normal_orientation.png"),
                                    seed=args.seed, points=args.orient)
    return 0


def print_table(results, n_queries):
    header = (f"{'input':<14} {'elements':>10} {'build ms':>9} {'compute q/s':>12} "
              f"{'brute_force q/s':>16} {'speed-up':>9} {'max |err|':>10} {'mean |err|':>10}")
    print(header)
    print("-" * len(header))
    for g, build_s, fast_s, exact_s, max_err, mean_err in results:
        print(f"{g.kind:<14} {g.size:>10,} {build_s * 1e3:>9.1f} {n_queries / fast_s:>12.3g} "
              f"{n_queries / exact_s:>16.3g} {exact_s / fast_s:>8.1f}x {max_err:>10.1e} {mean_err:>10.1e}")
    print("err: compute against brute_force (exact) on the same queries; "
          "speed-up: brute_force time / compute time")


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        return run(args)
    except inputs.InputError as exc:
        print(f"error: {exc}", file=sys.stderr)
    except RuntimeError as exc:  # what nolith raises for geometry it refuses
        print(f"error: nolith refused the input: {inputs.one_line(exc)}", file=sys.stderr)
    except OSError as exc:  # the picture could not be written
        print(f"error: {inputs.one_line(exc)}", file=sys.stderr)
    except KeyboardInterrupt:
        print("error: interrupted", file=sys.stderr)
        return 130
    return 1
