"""solve_normals: the products it takes, its modelled GPU time, and how well it orients.

Two parts (both by default):

products: points sampled on CGAL's bunny00 (else a generated sphere), unit
size, normals withheld; 0.5 at the points and 0 on a sphere around them. Per
size: CGLS iterations, the walks of compute (forward) and of its transpose
over the solver's queries, the queries of its other walks (the field's
slope at the points and its level there), the seconds on this machine, the
share of normals that point the true way, and the modelled GPU time: the
work census of one compute over the solver's queries at the solver's
epsilon (bench/cost_model.py), times the products in compute equivalents (a
transpose counts as two, the other walks by their queries). The neighbour
search that sets the normals' lengths is not a product and is not modelled
(about a hundred distances per point).

quality: CGAL's meshes (elephant, fandisk: points sampled by area, true
normals from the faces) and point sets with normals (kitten, sphere_20k_normal,
oni; cube.pwn's normals are unoriented, so its truth is the nearest face of
its box), in their own units, normals withheld and solved, with 0 on a sphere
of radius the longest side around them; clean, with Gaussian noise of 0.5% of
the longest side, and unevenly sampled (half the points with x above the
median dropped). True scaled normals of the point sets: the file's unit
normals times pi r^2 / 8, r the distance to the 8th nearest point. On 3,000
uniform queries in the box: inside/outside by the mesh (or by the field of the
true normals), the solved field's median inside and outside, the share
classed alike at 0.5, and the same share for the true normals' field.

Prints one JSON object per row, then the quality table in Markdown.

    python bench/bench_solve.py [--part products|quality] [--sizes 2000,5000] [--cap K]
                                [--scenes elephant,kitten] [--points 1500]
"""

import argparse
import json
import os
import sys
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))
sys.path.insert(0, os.path.join(ROOT, "bench"))

import cgal_data  # noqa: E402
import cost_model  # noqa: E402
import nolith_census  # noqa: E402
import nolith_module  # noqa: E402
from nolith_demo import shapes  # noqa: E402
from nolith_demo.engine import Backend, native_stdout_silenced  # noqa: E402

F32 = np.float32
Engine = nolith_module.NolithEngine
MESHES = {"elephant": "data/meshes/elephant.off", "fandisk": "data/meshes/fandisk.off"}
SCANS = {"kitten": "data/points_3/kitten.xyz", "sphere_20k_normal": "data/points_3/sphere_20k_normal.xyz",
         "oni": "data/points_3/oni.pwn", "cube": "data/points_3/cube.pwn"}
VARIANTS = ("clean", "noisy", "uneven")


def outside_sphere(points, count, rng):
    centre = (points.min(0) + points.max(0)) / 2
    d = rng.normal(size=(count, 3))
    return (centre + d / np.linalg.norm(d, axis=1, keepdims=True) * np.ptp(points, 0).max()).astype(F32)


def solve(backend, points, outside, max_iterations=0):
    """(report, solved normals (NumPy), seconds)."""
    arrays = [backend.array(a) for a in (points.astype(F32), outside, np.zeros(len(outside), F32))]
    start = time.perf_counter()
    with native_stdout_silenced():
        report = nolith_census.solve_report(*arrays, max_iterations=max_iterations)
    seconds = time.perf_counter() - start
    normals = report.pop("normals", None)
    if normals is None and not max_iterations:  # builds that did not report the normals: solve again
        with native_stdout_silenced():
            normals = backend.numpy(Engine.solve_normals(*arrays).scaled_normals)
    # Builds before the walks were counted ran one compute and one transpose more than their iterations.
    report.setdefault("forward_products", report["iterations"] + 1)
    report.setdefault("transpose_products", report["iterations"] + 1)
    return report, normals, seconds


def bunny():
    if cgal_data.archive() is not None:
        verts, faces = cgal_data.load_off("data/meshes/bunny00.off")
        return "bunny00", verts.astype(np.float64), faces
    from test_brute_force import icosphere

    verts, faces = icosphere(5)
    return "sphere", verts.astype(np.float64), faces


def products(backend, sizes, cap):
    name, verts, faces = bunny()
    verts = (verts - verts.mean(0)) / np.ptp(verts, 0).max()
    rng = np.random.default_rng(0)
    for n in sizes:
        capped = cap if n > 20_000 else 0
        points, scaled = shapes.sample_surface(verts, faces, n, seed=n)
        d = rng.normal(size=(max(200, n // 4), 3))
        outside = (0.9 * d / np.linalg.norm(d, axis=1, keepdims=True)).astype(F32)
        report, normals, seconds = solve(backend, points, outside, capped)
        row = {"points": n, "extra_points": len(outside), "surface": name, **report, "seconds": round(seconds, 2)}
        if normals is not None:
            row["oriented"] = round(float(np.mean(np.einsum("nk,nk->n", normals, scaled) > 0)), 4)
        queries = backend.array(np.concatenate([points, outside]).astype(F32))
        with native_stdout_silenced():
            census = nolith_census.census_points(backend.array(points.astype(F32)), backend.array(scaled), queries,
                                                 -1.0, report.get("epsilon", -1.0))
        compute_seconds = (n + len(outside)) / cost_model.model(census, "point")["queries_per_second"]
        walks = (report["forward_products"] + 2 * report["transpose_products"]
                 + report.get("other_queries", 0) / (n + len(outside)))
        row["compute_equivalents"] = round(walks, 1)
        row["modelled_h100_seconds"] = float(f"{compute_seconds * walks:.3e}")
        print(json.dumps(row), flush=True)


def kth_neighbour_areas(points, k=8):
    """pi r^2 / k, r the distance to the k-th nearest other point (float64, blockwise)."""
    p = np.asarray(points, np.float64)
    r2 = np.empty(len(p))
    for start in range(0, len(p), 512):
        d2 = ((p[start:start + 512, None] - p[None]) ** 2).sum(-1)
        r2[start:start + 512] = np.partition(d2, k, axis=1)[:, k]
    return np.pi * r2 / k


def drop_one_side(points, normals, rng, keep):
    side = points[:, 0] > np.median(points[:, 0])
    kept = np.flatnonzero(~side | (rng.random(len(points)) < 0.5))
    kept = rng.choice(kept, min(keep, len(kept)), replace=False)
    return points[kept], normals[kept]


def scene(backend, name, variant, count, rng):
    """(points, true scaled normals, queries, inside by the truth, true field)."""
    wanted = 2 * count if variant == "uneven" else count
    if name in MESHES:
        verts, faces = cgal_data.load_off(MESHES[name])
        points, normals = shapes.sample_surface(verts.astype(np.float64), faces, wanted, seed=count)
        units = normals / np.linalg.norm(normals, axis=1, keepdims=True)
    else:
        points, units = cgal_data.load_points(SCANS[name])
        pick = rng.choice(len(points), min(wanted, len(points)), replace=False)
        points, units = points[pick], units[pick]
        if name == "cube":  # its normals have random signs: the nearest face of its box instead
            half = (points.max(0) - points.min(0)) / 2
            centre = (points.max(0) + points.min(0)) / 2
            face = np.argmin(half - np.abs(points - centre), axis=1)
            units = np.zeros_like(units)
            units[np.arange(len(points)), face] = np.sign((points - centre)[np.arange(len(points)), face])
        normals = None
    if variant == "uneven":
        points, units = drop_one_side(points, units, rng, count)
        normals = None
    if normals is None:
        normals = units * kth_neighbour_areas(points)[:, None]
    extent = np.ptp(points, 0).max()
    if variant == "noisy":
        points = points + rng.normal(size=points.shape) * 0.005 * extent
    points, normals = points.astype(F32), normals.astype(F32)
    queries = rng.uniform(points.min(0), points.max(0), (3000, 3)).astype(F32)
    with native_stdout_silenced():
        true_field = backend.numpy(Engine(backend.array(points), backend.array(normals)).compute(backend.array(queries)))
        if name in MESHES:
            mesh = Engine(backend.array(verts), backend.array(faces))
            inside = backend.numpy(mesh.brute_force(backend.array(queries))) > 0.5
        else:
            inside = true_field > 0.5
    return points, normals, queries, inside, true_field


def quality(backend, names, count):
    rows = []
    for name in names:
        for variant in VARIANTS:
            rng = np.random.default_rng(7)
            n = count if name in SCANS else 1000
            points, normals, queries, inside, true_field = scene(backend, name, variant, n, rng)
            outside = outside_sphere(points, max(200, len(points) // 4), rng)
            report, solved_normals, seconds = solve(backend, points, outside)
            with native_stdout_silenced():
                solved = Engine(backend.array(points), backend.array(solved_normals))
                field = backend.numpy(solved.compute(backend.array(queries)))
            row = {"scene": name, "variant": variant, "points": len(points),
                   "oriented": round(float(np.mean(np.einsum("nk,nk->n", solved_normals, normals) > 0)), 4),
                   "inside": round(float(np.median(field[inside])), 3),
                   "outside": round(float(np.median(field[~inside])), 3),
                   "agreement": round(float(np.mean((field > 0.5) == inside)), 4),
                   "agreement_true_normals": round(float(np.mean((true_field > 0.5) == inside)), 4),
                   "iterations": report["iterations"], "forward_products": report["forward_products"],
                   "transpose_products": report["transpose_products"], "seconds": round(seconds, 1)}
            print(json.dumps(row), flush=True)
            rows.append(row)
    print()
    print("| scene | variant | points | oriented | field inside | field outside | agreement | true normals' "
          "agreement | iterations |")
    print("| --- | --- | --- | --- | --- | --- | --- | --- | --- |")
    for r in rows:
        print(f"| {r['scene']} | {r['variant']} | {r['points']} | {r['oriented']:.1%} | {r['inside']:.2f} | "
              f"{r['outside']:.3f} | {r['agreement']:.1%} | {r['agreement_true_normals']:.1%} | {r['iterations']} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--part", choices=("products", "quality"), help="run one part only")
    parser.add_argument("--sizes", help="comma-separated point counts (products)")
    parser.add_argument("--cap", type=int, default=0, help="stop solves above 20,000 points after this many iterations")
    parser.add_argument("--scenes", default=",".join([*MESHES, *SCANS]), help="comma-separated scenes (quality)")
    parser.add_argument("--points", type=int, default=1500, help="points taken from each point set (quality)")
    args = parser.parse_args()
    backend = Backend()
    if args.part != "quality":
        sizes = [int(float(s)) for s in args.sizes.split(",")] if args.sizes else (
            [100_000] if backend.on_gpu else [2_000, 5_000])
        products(backend, sizes, args.cap)
    if args.part != "products":
        if cgal_data.archive() is None:
            sys.exit("the quality part needs CGAL's data: apt-get install libcgal-demo")
        quality(backend, args.scenes.split(","), args.points)


if __name__ == "__main__":
    main()
