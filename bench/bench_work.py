"""The work of compute, counted: a census of the walk per query, and what it costs on an H100 by the SASS model.

Every scene is walked with the census instantiation of the traversal
(nolith_census), which counts per batch of 32 Morton-ordered queries the
nodes popped, the far-field evaluations of nodes and leaf packets, the exact
packet sums and the lanes taking part. The counts do not depend on the
machine, so any machine (the host flavour too) gives the figures a GPU would
do. bench/cost_model.py turns them into modelled warp-instructions per query
and modelled H100 queries per second (see bench/README.md for what the model
leaves out). `max_error` and `rms_error` compare compute with brute_force on
the first 2,048 queries of each set (the same queries from run to run: every
scene draws its queries from a generator seeded by its name). Each row also
gives the tree: leaf packets, their mean size, BVH8 nodes, device bytes of
the tree per element, and the host's wall-clock build time of the engine.
The full run adds cube-sphere 1M at 262,144 queries, where warps are as
dense as a large query batch makes them.

It also measures the packets that straddle a jump of the Morton curve (two
consecutive elements far apart, which makes the packet's radius a large part
of the scene): their share of the exact work, and the exact work a packet
rule that split them at the jump would save, estimated by giving each half
the exact passes of an ordinary packet.

Prints one JSON object per scene and query kind.

    python bench/bench_work.py [--quick] [--queries Q] [--beta B] [--scenes NAME,...]
"""

import argparse
import json
import math
import os
import sys
import time
import zlib

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))
sys.path.insert(0, os.path.join(ROOT, "bench"))

import cgal_data  # noqa: E402
import cost_model  # noqa: E402
import nolith_census  # noqa: E402
import nolith_module  # noqa: E402
from nolith_demo.engine import Backend, native_stdout_silenced  # noqa: E402

F32 = np.float32


# ------------------------------------------------------------------ scenes


def cube_sphere(triangles):
    """About `triangles` outward triangles of a cube's faces pushed onto the unit sphere."""
    n = max(2, round(math.sqrt(triangles / 12)))
    t = np.linspace(-1, 1, n + 1)
    u, v = np.meshgrid(t, t, indexing="ij")
    grid = np.stack([u, v, np.ones_like(u)], -1)
    faces = []
    for axis in range(3):
        for sign in (1, -1):
            g = np.roll(grid * [1, 1, sign], axis, axis=-1)
            a, b, c, d = g[:-1, :-1], g[1:, :-1], g[1:, 1:], g[:-1, 1:]
            quads = np.concatenate([np.stack([a, b, c], -2), np.stack([a, c, d], -2)]).reshape(-1, 3, 3)
            faces.append(quads)
    tris = np.concatenate(faces)
    tris /= np.linalg.norm(tris, axis=-1, keepdims=True)
    normal = np.cross(tris[:, 1] - tris[:, 0], tris[:, 2] - tris[:, 0])
    flip = np.einsum("nk,nk->n", normal, tris.mean(axis=1)) < 0
    tris[flip] = tris[flip][:, [0, 2, 1]]
    return tris


def fibonacci_cloud(n):
    i = np.arange(n) + 0.5
    phi = np.arccos(1 - 2 * i / n)
    theta = math.pi * (1 + 5**0.5) * i
    p = np.stack([np.cos(theta) * np.sin(phi), np.sin(theta) * np.sin(phi), np.cos(phi)], 1)
    return p, p * (4 * math.pi / n)


def scenes(quick):
    """(name, kind, arrays) with kind 'triangles' (arrays: soup) or 'points' (points, normals)."""
    size = 20_000 if quick else 1_000_000
    yield f"cube-sphere {size // 1000}k", "triangles", (cube_sphere(size),)
    yield f"sphere cloud {size // 1000}k", "points", fibonacci_cloud(size)
    if cgal_data.archive() is None:
        return
    for name in ("armadillo", "bunny00"):
        verts, idx = cgal_data.load_off(f"data/meshes/{name}.off")
        soup = verts.astype(np.float64)[idx]
        yield name, "triangles", (soup,)
        lo, extent = soup.reshape(-1, 3).min(0), np.ptp(soup.reshape(-1, 3), 0).max()
        yield f"{name} (unit size)", "triangles", ((soup - lo) / extent,)


def surface(kind, arrays):
    """Sample points on the surface and their unit normals."""
    if kind == "triangles":
        t = arrays[0]
        n = np.cross(t[:, 1] - t[:, 0], t[:, 2] - t[:, 0])
        return t.mean(axis=1), n / np.maximum(np.linalg.norm(n, axis=1, keepdims=True), 1e-30)
    p, n = arrays
    return p, n / np.linalg.norm(n, axis=1, keepdims=True)


def query_sets(kind, arrays, count, rng):
    coords = arrays[0].reshape(-1, 3)
    lo, hi = coords.min(0), coords.max(0)
    pad = 0.05 * (hi - lo)
    centres, normals = surface(kind, arrays)
    pick = rng.integers(0, len(centres), count)
    offset = rng.uniform(-0.01, 0.01, (count, 1)) * np.ptp(coords, 0).max()
    return {
        "uniform": rng.uniform(lo - pad, hi + pad, (count, 3)).astype(F32),
        "near": (centres[pick] + normals[pick] * offset).astype(F32),
    }


# ------------------------------------------------------------------ figures


def census_of(backend, kind, arrays, queries, beta):
    device_arrays = [backend.array(a.astype(F32)) for a in arrays]
    with native_stdout_silenced():
        if kind == "triangles":
            return nolith_census.census_triangles(*device_arrays, backend.array(queries), beta)
        return nolith_census.census_points(*device_arrays, backend.array(queries), beta)


def packet_firsts(result, elements):
    """First sorted element of every leaf packet (fixed packets of 32 where the census gives no table)."""
    if "packet_first" in result:
        return np.asarray(result["packet_first"], dtype=np.int64)
    return np.arange(len(result["packet_passes"]), dtype=np.int64) * 32


def straddling(kind, arrays, result):
    """Share of exact passes in packets that straddle a jump of the curve, and what splitting them would save."""
    points = (arrays[0].mean(axis=1) if kind == "triangles" else arrays[0])[result["order"]]
    firsts = packet_firsts(result, len(points))
    sizes = np.diff(np.append(firsts, len(points)))
    steps = np.linalg.norm(np.diff(points, axis=0), axis=-1)
    inside = np.ones(len(steps), bool)  # steps between two elements of the same packet
    inside[firsts[1:] - 1] = False
    gaps = np.where(inside, steps, 0.0)
    starts = np.minimum(firsts, len(steps) - 1)
    gap_sums = np.add.reduceat(gaps, starts) * (sizes > 1)
    largest = np.maximum.reduceat(gaps, starts) * (sizes > 1)
    centres = np.add.reduceat(points, firsts) / sizes[:, None]
    spread = np.maximum.reduceat(np.linalg.norm(points - np.repeat(centres, sizes, 0), axis=-1), firsts)
    typical_gap = np.median(steps[inside]) if inside.any() else 0.0
    # A jump: one step of the curve longer than the packet's other steps together.
    jumps = largest > np.maximum(gap_sums - largest, 8 * typical_gap)
    passes = result["packet_passes"].astype(np.float64)
    total = passes.sum()
    ordinary = np.median(passes[~jumps]) if (~jumps).any() else 0.0
    saved = np.maximum(passes[jumps] - 2 * ordinary, 0).sum()
    return {
        "straddling_packets": float(jumps.mean()),
        "straddling_exact_share": float(passes[jumps].sum() / total) if total else 0.0,
        "split_rule_saves_exact": float(saved / total) if total else 0.0,
        "straddling_radius_ratio": float(np.median(spread[jumps]) / np.median(spread[~jumps]))
        if jumps.any() and (~jumps).any() else 0.0,
    }


def per_query(table):
    f = {name: table[:, i].astype(np.float64).sum() for i, name in enumerate(nolith_census.FIELDS)}
    q, batches = f["queries"], len(table)
    return {
        "node_visits": f["active_lane_pops"] / q,
        "node_far_field": f["node_far_field_evals"] / q,
        "leaf_far_field": f["leaf_far_field_evals"] / q,
        "exact_packets": f["exact_passes"] / q,
        "exact_elements": f["exact_element_evals"] / q,
        "active_lanes_per_pop": f["active_lane_pops"] / max(f["node_pops"], 1),
        "warp_node_pops": f["node_pops"] / batches,
        "warp_node_far_field_steps": f["node_far_field_steps"] / batches,
        "warp_node_descents": f["node_descents"] / batches,
        "warp_leaf_slots": f["leaf_slot_visits"] / batches,
        "warp_leaf_far_field_steps": f["leaf_far_field_steps"] / batches,
        "warp_exact_passes": f["exact_passes"] / batches,
    }


def build_and_errors(backend, arrays, queries, beta):
    """Host wall-clock seconds of the engine's build, then max and RMS |compute - brute_force| on `queries`."""
    device_arrays = [backend.array(a.astype(F32)) for a in arrays]
    started = time.perf_counter()
    with native_stdout_silenced():
        engine = nolith_module.NolithEngine(*device_arrays)
        backend.sync()
    seconds = time.perf_counter() - started
    q = backend.array(queries)
    error = backend.numpy(engine.compute(q, beta)).astype(np.float64) - backend.numpy(engine.brute_force(q))
    return seconds, float(np.abs(error).max()), float(np.sqrt(np.mean(error**2)))


def tree_figures(result, elements):
    packets = len(result["packet_passes"])
    return {"packets": packets, "mean_packet_size": round(elements / packets, 2), "bvh8_nodes": int(result["nodes"]),
            "tree_bytes_per_element": round(result["tree_bytes"] / elements, 2)}


def runs(quick, count):
    """(scene, query count) pairs: every scene at `count`, and in the full run cube-sphere 1M at 262,144."""
    for scene in scenes(quick):
        yield scene, count
    if not quick:
        yield next(iter(scenes(quick))), DENSE_QUERIES


DENSE_QUERIES = 262_144
ERROR_SAMPLE = 2048


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="20k-element scenes and fewer queries")
    parser.add_argument("--queries", type=int, help="queries per scene and kind")
    parser.add_argument("--beta", type=float, default=-1.0, help="compute's beta (default: the engine's)")
    parser.add_argument("--scenes", help="comma-separated scene names to run (default: all)")
    args = parser.parse_args()
    backend = Backend()
    host = backend.flavour == "host"
    count = args.queries or (1024 if args.quick else (8192 if host else 1_000_000))
    wanted = set(args.scenes.split(",")) if args.scenes else None
    started = time.perf_counter()
    for (name, kind, arrays), queries_count in runs(args.quick, count):
        if wanted is not None and name not in wanted:
            continue
        elements = len(arrays[0])
        rng = np.random.default_rng(zlib.crc32(name.encode()))
        for query_kind, drawn in query_sets(kind, arrays, max(queries_count, ERROR_SAMPLE), rng).items():
            queries = drawn[:queries_count]
            result = census_of(backend, kind, arrays, queries, args.beta)
            model = cost_model.model(result["census"], "triangle" if kind == "triangles" else "point")
            row = {"scene": name, "kind": kind, "queries_kind": query_kind, "elements": elements,
                   "queries": int(len(queries)), "beta": args.beta}
            row.update(tree_figures(result, elements))
            row.update({k: round(v, 3) for k, v in per_query(result["census"]).items()})
            row.update({k: round(v, 4) for k, v in straddling(kind, arrays, result).items()})
            seconds, worst, rms = build_and_errors(backend, arrays, drawn[:ERROR_SAMPLE], args.beta)
            row["host_build_seconds"] = round(seconds, 2)
            row["max_error"] = float(f"{worst:.3e}")
            row["rms_error"] = float(f"{rms:.3e}")
            row["modelled_warp_instructions_per_query"] = round(model["warp_instructions_per_query"], 1)
            row["modelled_split"] = {k: round(v, 3) for k, v in model["split_fraction"].items()}
            row["modelled_h100_qps"] = float(f"{model['queries_per_second']:.3e}")
            print(json.dumps(row), flush=True)
    print(json.dumps({"total_seconds": round(time.perf_counter() - started, 1), "flavour": backend.flavour}))


if __name__ == "__main__":
    main()
