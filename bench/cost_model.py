"""Modelled cost of compute: the work census times per-step SASS costs.

    import cost_model
    result = cost_model.model(census_table, "Triangle")   # or "PointNormal" ("triangle", "point")
    result["queries_per_second"], result["warp_instructions_per_query"], result["split"]

census_table is what nolith_census's functions return (its "census" table:
one row per batch of 32 queries, columns as nolith_census.FIELDS), the table
itself, or a mapping from field names to the counts of one batch. The
per-step costs come from step_costs_sm90.json (bench/sass_costs.py
regenerates it); bench/README.md says what the model leaves out. From the
command line, the counts of one batch give their model:

    python bench/cost_model.py Triangle node_pops=491 node_descents=150 node_far_field_steps=418 ...
"""

import json
import os
import sys

COSTS_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "step_costs_sm90.json")

H100_SXM_SMS = 132
ISSUE_PER_CLOCK_PER_SM = 4  # four schedulers, one warp-instruction each per clock
H100_SXM_BOOST_CLOCK_HZ = 1.98e9
H100_SXM_SUSTAINED_CLOCK_HZ = 1.755e9  # what a long kernel holds, the model's default

# The census's columns, as nolith_census.FIELDS gives them.
FIELDS = ["queries", "node_pops", "active_lane_pops", "node_far_field_steps", "node_far_field_evals",
          "node_descents", "leaf_slot_visits", "leaf_far_field_steps", "leaf_far_field_evals", "exact_packet_loads",
          "exact_passes", "exact_element_evals"]

# Which census count each constant multiplies, and the part of the work it is.
TERMS = [
    ("c_batch", None, "walk"),
    ("c_pop", "node_pops", "walk"),
    ("c_descent", "node_descents", "walk"),
    ("c_leaf_slot", "leaf_slot_visits", "walk"),
    ("c_node_ff", "node_far_field_steps", "far_field"),
    ("c_leaf_ff", "leaf_far_field_steps", "far_field"),
    ("c_packet_load", "exact_packet_loads", "exact"),
    ("c_pass", "exact_passes", "exact"),
]

KINDS = {"triangle": "Triangle", "triangles": "Triangle", "point": "PointNormal", "points": "PointNormal",
         "pointnormal": "PointNormal"}


def load(path=COSTS_FILE):
    with open(path) as f:
        return json.load(f)


def _totals(census, fields):
    """Summed counts and the number of batches."""
    if hasattr(census, "items") and "census" in census:
        census = census["census"]  # what nolith_census's functions return
    if hasattr(census, "items"):
        unknown = set(census) - set(fields)
        if unknown:
            raise ValueError(f"unknown census fields {sorted(unknown)}; fields are {fields}")
        counts = {f: float(census.get(f, 0)) for f in fields}
        counts["queries"] = float(census.get("queries", 32))
        return counts, 1
    import numpy as np  # only tables need it

    table = np.asarray(census)
    if table.ndim != 2 or table.shape[1] != len(fields):
        raise ValueError(f"census table of shape {table.shape}; expected (batches, {len(fields)}) as {fields}")
    sums = table.astype(np.float64).sum(axis=0)
    return {f: float(v) for f, v in zip(fields, sums)}, table.shape[0]


def model(census, kind, clock_hz=H100_SXM_SUSTAINED_CLOCK_HZ, fields=FIELDS, costs=None):
    """Modelled warp-instructions and H100 SXM throughput of a census.

    Returns a dict: batches, queries, warp_instructions_per_batch,
    warp_instructions_per_query, split (walk / far_field / exact, per query),
    split_fraction, queries_per_second and clock_hz. A step executed by the
    warp costs its instructions once, whatever number of lanes takes part.
    """
    costs = costs or load()
    if kind.lower() not in KINDS:
        raise ValueError(f"kind {kind!r}: Triangle (triangle) or PointNormal (point)")
    constants = costs["kinds"][KINDS[kind.lower()]]["constants"]
    counts, batches = _totals(census, fields)
    queries = counts["queries"]
    if queries <= 0:
        raise ValueError("the census holds no query")
    split = {"walk": 0.0, "far_field": 0.0, "exact": 0.0}
    for constant, field, part in TERMS:
        split[part] += constants[constant] * (batches if field is None else counts[field])
    total = sum(split.values())
    per_query = total / queries
    return {
        "batches": batches,
        "queries": int(queries),
        "warp_instructions_per_batch": total / batches,
        "warp_instructions_per_query": per_query,
        "split": {part: value / queries for part, value in split.items()},
        "split_fraction": {part: value / total for part, value in split.items()},
        "queries_per_second": H100_SXM_SMS * ISSUE_PER_CLOCK_PER_SM * clock_hz / per_query,
        "clock_hz": clock_hz,
    }


def main(argv):
    if len(argv) < 2 or argv[1].lower() not in KINDS:
        raise SystemExit(__doc__)
    counts = {k: float(v) for k, v in (a.split("=", 1) for a in argv[2:])}
    for name, clock in (("sustained", H100_SXM_SUSTAINED_CLOCK_HZ), ("boost", H100_SXM_BOOST_CLOCK_HZ)):
        r = model(counts, argv[1], clock_hz=clock)
        parts = ", ".join(f"{p} {v * r['queries']:,.0f} ({r['split_fraction'][p]:.0%})" for p, v in r["split"].items())
        print(f"{r['warp_instructions_per_batch']:,.0f} warp-instructions per batch: {parts}; "
              f"{r['queries_per_second'] / 1e6:.1f} M queries/s at {clock / 1e9:.3f} GHz ({name})")


if __name__ == "__main__":
    main(sys.argv)
