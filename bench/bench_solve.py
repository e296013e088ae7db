"""solve_normals: iterations, residual, time, and how well it orients.

Points are sampled on a closed CGAL mesh (bunny00, else a generated sphere)
with the true normals withheld; the solver gets 0.5 at the points and 0 on a
sphere around them. Per size: CGLS iterations, the residual before and after,
the seconds on this machine, the share of points whose solved normal points
the true way, and the modelled GPU time: the work census of one compute over
the solver's queries with the true normals (bench/cost_model.py), times the
products of the solve (per iteration one compute, and one gradient walk,
counted as two computes). `--cap K` stops solves of more than 20,000 points
after K iterations, to time large clouds on slow machines: their modelled
time then assumes the iterations of the largest full solve of the run
(measured: 45 at 2,000 points, 28 at 5,000 on bunny00; they do not grow
with the points).

Prints one JSON object per size.

    python bench/bench_solve.py [--sizes 2000,20000] [--cap K]
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
from nolith_demo import shapes  # noqa: E402
from nolith_demo.engine import Backend, native_stdout_silenced  # noqa: E402

F32 = np.float32


def surface():
    if cgal_data.archive() is not None:
        verts, faces = cgal_data.load_off("data/meshes/bunny00.off")
        return "bunny00", verts.astype(np.float64), faces
    from test_brute_force import icosphere

    verts, faces = icosphere(5)
    return "sphere", verts.astype(np.float64), faces


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", help="comma-separated point counts")
    parser.add_argument("--cap", type=int, default=0, help="stop solves above 20,000 points after this many iterations")
    args = parser.parse_args()
    backend = Backend()
    sizes = [int(float(s)) for s in args.sizes.split(",")] if args.sizes else (
        [100_000] if backend.on_gpu else [2_000, 5_000])
    name, verts, faces = surface()
    scale = 1.0 / np.ptp(verts, 0).max()
    verts = (verts - verts.mean(0)) * scale
    rng = np.random.default_rng(0)
    full_solve = None
    for n in sizes:
        cap = args.cap if n > 20_000 else 0
        points, scaled = shapes.sample_surface(verts, faces, n, seed=n)
        true_unit = scaled / np.linalg.norm(scaled, axis=1, keepdims=True)
        d = rng.normal(size=(max(200, n // 4), 3))
        outside = (0.9 * d / np.linalg.norm(d, axis=1, keepdims=True)).astype(F32)
        arrays = [backend.array(a) for a in (points.astype(F32), outside, np.zeros(len(outside), F32))]
        start = time.perf_counter()
        with native_stdout_silenced():
            report = nolith_census.solve_report(*arrays, max_iterations=cap)
        seconds = time.perf_counter() - start
        row = {"points": n, "extra_points": len(outside), "surface": name, **report,
               "seconds": round(seconds, 2), "seconds_per_iteration": round(seconds / max(report["iterations"], 1), 3)}
        if not cap:
            import nolith_module

            with native_stdout_silenced():
                solved = nolith_module.NolithEngine.solve_normals(*arrays)
            normals = backend.numpy(solved.scaled_normals)
            row["oriented"] = round(float(np.mean(np.einsum("nk,nk->n", normals, true_unit) > 0)), 4)
            full_solve = row
        # Modelled GPU time: the census of one compute over the solver's queries.
        queries = backend.array(np.concatenate([points, outside]).astype(F32))
        with native_stdout_silenced():
            census = nolith_census.census_points(backend.array(points.astype(F32)),
                                                 backend.array((scaled * 1.0).astype(F32)), queries)
        model = cost_model.model(census, "point")
        compute_seconds = (n + len(outside)) / model["queries_per_second"]
        iterations = report["iterations"]
        if cap and full_solve:
            iterations = full_solve["iterations"]
            row["iterations_estimated"] = round(iterations)
        row["modelled_h100_seconds"] = float(f"{compute_seconds * (3 * iterations + 2):.3e}")
        print(json.dumps(row), flush=True)


if __name__ == "__main__":
    main()
