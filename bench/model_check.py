"""Does the cost model meet the GPU? Measured and modelled queries per second of compute's walk.

For the quick scenes of bench_work.py and for cube-sphere 1M, each with 1M
uniform queries: the walk kernel's time (CUDA events around its launch
alone, warm, median of 5 runs) and the whole call's (compute and a
synchronisation, median of 5), the modelled H100 queries per second from
the census of the same queries (bench/cost_model.py), and their ratio.
Where Nsight Compute (`ncu`) is installed and the budget allows, it also
reads the walk kernel's executed warp-instructions (smsp__inst_executed.sum)
per query, set against the modelled count, and the issue-slot utilisation.
Prints one JSON object per scene, and appends it to --out. Scenes are
skipped, not cut, once the budget is spent.

    python bench/model_check.py [--queries Q] [--budget SECONDS] [--out FILE]
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time
import zlib

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench_work  # noqa: E402  (puts scripts/ and tests/python on sys.path)
import cost_model  # noqa: E402
import nolith_census  # noqa: E402
import nolith_module  # noqa: E402
from nolith_demo.engine import Backend, native_stdout_silenced  # noqa: E402

F32 = np.float32
NCU_METRICS = "smsp__inst_executed.sum,smsp__issue_active.avg.pct_of_peak_sustained_active"


def check_scenes():
    yield from bench_work.scenes(quick=True)
    yield next(iter(bench_work.scenes(quick=False)))  # cube-sphere 1M


def uniform_queries(name, kind, arrays, count):
    rng = np.random.default_rng(zlib.crc32(name.encode()))
    return bench_work.query_sets(kind, arrays, count, rng)["uniform"]


def call_seconds(backend, engine, queries, repeats=5):
    """Median seconds of compute and a synchronisation, after a warm-up call."""
    backend.numpy(engine.compute(queries))
    seconds, _ = backend.median_time(lambda: engine.compute(queries), repeats)
    return seconds


def ncu_counts(name, count):
    """Executed warp-instructions of the walk kernel and issue-slot use, from Nsight Compute (None without it)."""
    ncu = shutil.which("ncu")
    if ncu is None:
        return None
    command = [ncu, "--metrics", NCU_METRICS, "--kernel-name", "regex:compute_winding_numbers_kernel",
               "--launch-count", "1", "--csv", sys.executable, os.path.abspath(__file__), "--one", name,
               "--queries", str(count)]
    done = subprocess.run(command, capture_output=True, text=True, timeout=120)
    values = {}
    for line in done.stdout.splitlines():
        cells = [c.strip('"') for c in line.split('","')]
        if len(cells) > 3 and cells[-3] in NCU_METRICS.split(","):
            values[cells[-3]] = float(cells[-1].replace(",", ""))
    return values or None


def run_once(name, count):
    """One compute call on the scene (the process Nsight Compute profiles)."""
    backend = Backend()
    for scene, kind, arrays in check_scenes():
        if scene == name:
            with native_stdout_silenced():
                engine = nolith_module.NolithEngine(*[backend.array(a.astype(F32)) for a in arrays])
            backend.numpy(engine.compute(backend.array(uniform_queries(name, kind, arrays, count))))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--queries", type=int, default=1_000_000)
    parser.add_argument("--budget", type=float, default=100.0, help="seconds after which no scene is started")
    parser.add_argument("--out", help="a JSON-lines file to append to")
    parser.add_argument("--one", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        return run_once(args.one, args.queries)
    backend = Backend()
    started = time.perf_counter()
    for name, kind, arrays in check_scenes():
        if time.perf_counter() - started > args.budget:
            print(json.dumps({"scene": name, "skipped": "out of time"}), flush=True)
            continue
        device_arrays = [backend.array(a.astype(F32)) for a in arrays]
        queries = uniform_queries(name, kind, arrays, args.queries)
        q = backend.array(queries)
        with native_stdout_silenced():
            engine = nolith_module.NolithEngine(*device_arrays)
            if kind == "triangles":
                census = nolith_census.census_triangles(*device_arrays, q)
                walk = nolith_census.walk_seconds_triangles(*device_arrays, q, 5)
            else:
                census = nolith_census.census_points(*device_arrays, q)
                walk = nolith_census.walk_seconds_points(*device_arrays, q, 5)
        model = cost_model.model(census["census"], "triangle" if kind == "triangles" else "point")
        walk_qps = len(queries) / statistics.median(walk)
        row = {"scene": name, "kind": kind, "queries": len(queries), "device": backend.describe(),
               "walk_kernel_qps": float(f"{walk_qps:.4e}"),
               "call_qps": float(f"{len(queries) / call_seconds(backend, engine, q):.4e}"),
               "modelled_h100_qps": float(f"{model['queries_per_second']:.4e}"),
               "measured_over_modelled": float(f"{walk_qps / model['queries_per_second']:.3g}"),
               "modelled_warp_instructions_per_query": round(model["warp_instructions_per_query"], 1)}
        if time.perf_counter() - started < args.budget:
            counts = ncu_counts(name, args.queries)
            if counts:
                executed = counts.get("smsp__inst_executed.sum")
                if executed is not None:
                    row["executed_warp_instructions_per_query"] = round(executed / len(queries), 1)
                    row["executed_over_modelled"] = round(executed / len(queries) /
                                                          model["warp_instructions_per_query"], 3)
                row["issue_slot_utilisation_pct"] = counts.get("smsp__issue_active.avg.pct_of_peak_sustained_active")
        line = json.dumps(row)
        print(line, flush=True)
        if args.out:
            with open(args.out, "a") as f:
                f.write(line + "\n")


if __name__ == "__main__":
    main()
