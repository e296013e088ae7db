"""nolith against its peers: one table, every figure from this run and these inputs.

For each input (the generated ring with a hole and its sampled point cloud,
meshes and point clouds from Debian's libcgal-demo data) the same query points
go to:

- nolith `compute` (tree traversal) and `brute_force` (exact);
- libigl's CPU fast winding number (PyPI `libigl`) at its default accuracy,
  on all cores (one query slice per core), as a black box for comparison;
- a plain exact evaluation written with array operations, in chunks: the
  baseline a user would write (CuPy or PyTorch on a GPU, NumPy on a CPU).

Each is timed (build and queries) and its error is measured against a float64
exact evaluation on a subsample of the queries. Half of the queries are
uniform in the bounding box, half lie close to the surface.

    python bench/bench_compare.py [--queries Q] [--subsample S] [--only NAME,...]

The CGAL data come from /usr/share/doc/libcgal-demo/data.tar.gz
(`apt-get install libcgal-demo`); what is used is unpacked into
build/bench-data. Without it, or without libigl, the table says what it left out.
"""

import argparse
import math
import os
import sys
import tarfile
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))

from nolith_demo import inputs  # noqa: E402
from nolith_demo.engine import Backend, build, native_stdout_silenced  # noqa: E402
from nolith_demo.shapes import sample_surface  # noqa: E402

F32 = np.float32
CGAL_ARCHIVE = "/usr/share/doc/libcgal-demo/data.tar.gz"
DATA_DIR = os.path.join(ROOT, "build", "bench-data")
# (label, path inside the CGAL archive): meshes of several sizes, one with
# holes, and point clouds with consistently oriented normals.
CGAL_INPUTS = [
    ("elephant", "data/meshes/elephant.off"),
    ("elephant-with-holes", "data/meshes/elephant-with-holes.off"),
    ("armadillo", "data/meshes/armadillo.off"),
    ("refined_elephant", "data/meshes/refined_elephant.off"),
    ("kitten", "data/points_3/kitten.xyz"),
    ("sphere_20k", "data/points_3/sphere_20k_normal.xyz"),
]
POINT_EPSILON = 1.0 / 250.0  # nolith's default regularisation radius


# ------------------------------------------------------------------ inputs


def cgal_file(member, data_dir, notes):
    """Path of a CGAL data file, unpacked from the package's archive if needed."""
    target = os.path.join(data_dir, member)
    if os.path.exists(target):
        return target
    if not os.path.exists(CGAL_ARCHIVE):
        notes.add(f"CGAL inputs left out: neither {data_dir} nor {CGAL_ARCHIVE} "
                  "(apt-get install libcgal-demo)")
        return None
    with tarfile.open(CGAL_ARCHIVE) as archive:
        try:
            archive.extract(member, data_dir, filter="data")
        except TypeError:  # Python without extraction filters
            archive.extract(member, data_dir)
    return target


def load_inputs(on_gpu, data_dir, only, notes):
    mesh, cloud = inputs.default_inputs(large=on_gpu)
    found = [("generated ring", mesh), ("generated ring points", cloud)]
    for label, member in CGAL_INPUTS:
        path = None if only and label not in only else cgal_file(member, data_dir, notes)
        if path is None:
            continue
        found.append((label, inputs.read_off(path) if path.endswith(".off") else inputs.load(path)))
    found = [(label, g) for label, g in found if not only or label in only]
    return [(label, inputs.normalise([g])[0]) for label, g in found]


def make_queries(geometry, count, rng):
    """Half uniform in the padded bounding box, half within ~2% of the surface."""
    corners = geometry.corners
    lo, hi = corners.min(axis=0), corners.max(axis=0)
    pad = 0.1 * (hi - lo)
    uniform = rng.uniform(lo - pad, hi + pad, (count - count // 2, 3))
    if isinstance(geometry, inputs.Mesh):
        on_surface, _ = sample_surface(geometry.vertices, geometry.faces, count // 2, seed=1)
    else:
        on_surface = geometry.points[rng.integers(0, geometry.size, count // 2)]
    near = on_surface + rng.normal(0, 0.02, (count // 2, 3))
    queries = np.concatenate([uniform, near]).astype(F32)
    return queries[rng.permutation(count)]


# ------------------------------------------------ exact array evaluations


def exact_triangles(xp, tris, queries, chunk_pairs):
    """Sum of signed solid angles / 4 pi, in the arrays' own library and precision.

    `tris` holds (9, N): x, y, z of the first, second, third corner; `queries`
    is (Q, 3). Van Oosterom and Strackee's formula, evaluated pair by pair.
    """
    n = tris.shape[1]
    step = max(1, chunk_pairs // max(n, 1))
    out = []
    for start in range(0, queries.shape[0], step):
        q = queries[start:start + step]
        ax, ay, az = (tris[k][None, :] - q[:, k:k + 1] for k in (0, 1, 2))
        bx, by, bz = (tris[3 + k][None, :] - q[:, k:k + 1] for k in (0, 1, 2))
        cx, cy, cz = (tris[6 + k][None, :] - q[:, k:k + 1] for k in (0, 1, 2))
        la = xp.sqrt(ax * ax + ay * ay + az * az)
        lb = xp.sqrt(bx * bx + by * by + bz * bz)
        lc = xp.sqrt(cx * cx + cy * cy + cz * cz)
        det = ax * (by * cz - bz * cy) + ay * (bz * cx - bx * cz) + az * (bx * cy - by * cx)
        den = (la * lb * lc + (ax * bx + ay * by + az * bz) * lc
               + (ax * cx + ay * cy + az * cz) * lb + (bx * cx + by * cy + bz * cz) * la)
        out.append(xp.arctan2(det, den).sum(1) / (2 * math.pi))
    return out


def exact_points(xp, cloud, queries, chunk_pairs):
    """Sum of dipoles (p - q) . n / (4 pi |p - q|^3); `cloud` holds (6, N)."""
    n = cloud.shape[1]
    step = max(1, chunk_pairs // max(n, 1))
    out = []
    for start in range(0, queries.shape[0], step):
        q = queries[start:start + step]
        dx, dy, dz = (cloud[k][None, :] - q[:, k:k + 1] for k in (0, 1, 2))
        r2 = dx * dx + dy * dy + dz * dz
        dot = dx * cloud[3][None, :] + dy * cloud[4][None, :] + dz * cloud[5][None, :]
        out.append((dot / (r2 * xp.sqrt(r2))).sum(1) / (4 * math.pi))
    return out


def columns(geometry, dtype):
    """The geometry as (9, N) corner columns or (6, N) point-and-normal columns."""
    if isinstance(geometry, inputs.Mesh):
        t = geometry.vertices[geometry.faces].reshape(-1, 9)
    else:
        t = np.concatenate([geometry.points, geometry.normals], axis=1)
    return np.ascontiguousarray(t.T.astype(dtype))


class ArrayBaseline:
    """The exact evaluation with array operations on the engine's device."""

    def __init__(self, backend):
        self.backend = backend
        self.xp = backend.cupy or backend.torch or np
        where = "GPU" if backend.on_gpu else "CPU"
        self.name = f"{backend.array_library} exact ({where}, naive)"
        # Pairs per chunk: a few hundred MB of temporaries on a GPU, cache-sized on a CPU.
        self.chunk_pairs = 1 << 25 if backend.on_gpu else 1 << 20

    def run(self, geometry, queries, dtype=F32):
        cols = self.backend.array(columns(geometry, dtype))
        q = self.backend.array(queries.astype(dtype))
        kernel = exact_triangles if isinstance(geometry, inputs.Mesh) else exact_points
        self.backend.sync()
        start = time.perf_counter()
        parts = kernel(self.xp, cols, q, self.chunk_pairs)
        self.backend.sync()
        elapsed = time.perf_counter() - start
        return np.concatenate([self._numpy(p) for p in parts]), elapsed

    def _numpy(self, part):
        if self.backend.torch is not None:
            return part.cpu().numpy()
        return part.get() if self.backend.cupy is not None else part


# ------------------------------------------------------------------ methods


def time_nolith(backend, geometry, queries, repeats):
    with native_stdout_silenced():
        engine, build_s = build(backend, geometry)
    q = backend.array(queries)
    rows = []
    for method in ("compute", "brute_force"):
        run = getattr(engine, method)
        run(q[:1024])  # warm-up: first launch, code paging
        best, values = math.inf, None
        for _ in range(repeats):
            backend.sync()
            start = time.perf_counter()
            result = run(q)
            backend.sync()
            best = min(best, time.perf_counter() - start)
            values = result
        rows.append((f"nolith {method}", build_s if method == "compute" else None, best,
                     backend.numpy(values)))
    return rows


def load_igl(notes):
    try:
        import igl
    except ImportError as exc:
        notes.add(f"libigl left out: cannot import igl ({exc}); pip install libigl")
        return None
    return igl


def time_igl(igl, geometry, queries):
    """libigl's fast winding number at its default accuracy (expansion order 2, beta 2).

    Its Python calls evaluate on one thread and release the GIL, so the queries
    go out in one slice per core to a thread pool, ready before the clock starts.
    """
    q = queries.astype(np.float64)
    workers = os.cpu_count() or 1
    slices = np.array_split(q, workers)
    cpu0, wall0 = time.process_time(), time.perf_counter()
    start = time.perf_counter()
    if isinstance(geometry, inputs.Mesh):
        tree = igl.FastWindingNumberBVH()
        tree.init(geometry.vertices.astype(np.float64), geometry.faces.astype(np.int64))

        def job(part):
            return tree.winding_number(part)
    else:
        p = geometry.points.astype(np.float64)
        area = np.linalg.norm(geometry.normals.astype(np.float64), axis=1)
        unit = geometry.normals / np.where(area > 0, area, 1.0)[:, None]
        point_indices, children, _, _ = igl.octree(p)
        centres, radii, coefficients = igl.fast_winding_number_precompute(
            p, unit, area, point_indices, children)

        def job(part):
            return igl.fast_winding_number(p, unit, area, point_indices, children, centres, radii,
                                           coefficients, part)
    build_s = time.perf_counter() - start
    with ThreadPoolExecutor(workers) as pool:
        start = time.perf_counter()
        values = np.concatenate(list(pool.map(job, slices)))
        query_s = time.perf_counter() - start
    busy = (time.process_time() - cpu0) / max(time.perf_counter() - wall0, 1e-9)
    return ("libigl fast winding (CPU)", build_s, query_s, values), busy


def nearest_distance(queries, points, block=16):
    out = np.empty(len(queries))
    for start in range(0, len(queries), block):
        d = queries[start:start + block, None, :].astype(np.float64) - points[None]
        out[start:start + block] = np.sqrt(np.einsum("qnk,qnk->qn", d, d).min(axis=1))
    return out


# --------------------------------------------------------------------- table


def error_stats(values, reference, keep):
    err = np.abs(values[keep].astype(np.float64) - reference[keep])
    return err.max(initial=0.0), err.mean() if err.size else float("nan")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--queries", type=int, help="queries per input (default: 4,096 on a CPU, "
                        "262,144 on a GPU)")
    parser.add_argument("--subsample", type=int, default=256, help="queries checked against float64")
    parser.add_argument("--repeats", type=int, help="timed runs of nolith per row (best is kept)")
    parser.add_argument("--only", help="comma-separated input labels")
    parser.add_argument("--data", default=DATA_DIR, help="folder of unpacked CGAL data")
    parser.add_argument("--unpack", action="store_true", help="only unpack the CGAL inputs, then stop")
    args = parser.parse_args()
    if args.unpack:
        notes = set()
        found = [cgal_file(member, args.data, notes) for _, member in CGAL_INPUTS]
        print("\n".join(sorted(notes)) or f"{len(found)} CGAL inputs in {args.data}")
        return 1 if notes else 0

    backend = Backend()
    on_gpu = backend.on_gpu
    n_queries = args.queries or (1 << 18 if on_gpu else 4_096)
    repeats = args.repeats or (3 if on_gpu else 1)
    subsample = min(args.subsample, n_queries)
    notes = set()
    only = set(args.only.split(",")) if args.only else None
    igl = load_igl(notes)
    baseline = ArrayBaseline(backend)
    reference = ArrayBaseline(backend)
    reference.chunk_pairs //= 2  # float64 temporaries are twice as large

    if on_gpu:
        where = f"cuda flavour on {backend.describe()}: nolith and {baseline.name} figures are GPU figures"
    else:
        where = (f"host flavour on {backend.describe()}: the nolith figures are host-flavour figures "
                 "(its kernels run on the CPU through the host runtime), not GPU figures")
    print(f"nolith vs peers | {where}")
    print(f"{n_queries:,} queries per input (half uniform in the box, half near the surface); "
          f"errors on {subsample} of them against float64 exact values")
    header = (f"{'input':<22} {'kind':<6} {'elements':>9}  {'method':<27} {'build s':>8} {'query s':>9} "
              f"{'queries/s':>10} {'t/t(compute)':>12} {'max |err|':>9} {'mean |err|':>10}")
    print(header)
    print("-" * len(header))

    busy_cores = []
    rng = np.random.default_rng(7)
    for label, geometry in load_inputs(on_gpu, args.data, only, notes):
        queries = make_queries(geometry, n_queries, rng)
        pick = rng.choice(n_queries, subsample, replace=False)
        exact, _ = reference.run(geometry, queries[pick], np.float64)
        keep = np.ones(subsample, bool)
        if isinstance(geometry, inputs.PointCloud):
            # nolith smooths the dipoles within 2 epsilon of a point; compare elsewhere.
            keep = nearest_distance(queries[pick], geometry.points) >= 2 * POINT_EPSILON
        rows = time_nolith(backend, geometry, queries, repeats)
        if igl is not None:
            row, busy = time_igl(igl, geometry, queries)
            rows.append(row)
            busy_cores.append(busy)
        values, seconds = baseline.run(geometry, queries)
        rows.append((baseline.name, None, seconds, values))

        compute_s = rows[0][2]
        kind = "mesh" if isinstance(geometry, inputs.Mesh) else "points"
        for i, (method, build_s, query_s, values) in enumerate(rows):
            max_err, mean_err = error_stats(values[pick], exact, keep)
            name, kind_text = (label, kind) if i == 0 else ("", "")
            size = f"{geometry.size:,}" if i == 0 else ""
            build_text = f"{build_s:.4f}" if build_s is not None else "-"
            print(f"{name:<22} {kind_text:<6} {size:>9}  {method:<27} {build_text:>8} {query_s:>9.4f} "
                  f"{n_queries / query_s:>10.3g} {query_s / compute_s:>12.3g} "
                  f"{max_err:>9.1e} {mean_err:>10.1e}")
        sys.stdout.flush()

    print("-" * len(header))
    print("t/t(compute): query time over nolith compute's (above 1: slower than compute). "
          "build: nolith engine (brute_force uses the same one), libigl tree or octree and expansions.")
    print("point clouds: queries within 2 x epsilon (1/250) of a point, where nolith regularises, "
          "are left out of the errors.")
    if busy_cores:
        print(f"libigl: {os.cpu_count()} cores available; busy per input {min(busy_cores):.1f} to "
              f"{max(busy_cores):.1f} (process CPU time / wall time of its build and queries)")
    for note in sorted(notes):
        print(note)


if __name__ == "__main__":
    sys.exit(main())
