"""Regenerates bench/step_costs_sm90.json: the instructions one warp issues per
step of the traversal, counted in the sm_90 SASS of our own kernel.

traversal.cu (the values walk: walk.h's skeleton with values_mode.h's empty
hooks) is compiled as the cuda build compiles it (Release flags, sm_90),
plus -lineinfo; -lineinfo must not change the code, and the script checks
that it does not. `nvdisasm -gi` gives the SASS with each
instruction's inline chain of source lines. The control-flow graph of each
product kernel (Triangle, PointNormal) is walked along scripted paths: the
warp-uniform branches of the walk (the `if`s and loops marked by ANCHORS) are
decided by the script, lane-level branches cost both sides (SIMT), except
the rare division fix-up and, for points, the regularised near zone (see
`lane_policy`). Each constant is a difference of walks, e.g. a pass = (a
leaf with two passes) - (the same leaf with one), so it holds exactly the
instructions that the step adds, wherever the compiler put them. A batch
walked along a mixed path must then cost what the model says, to the
opcode; the script stops where it does not.

    python bench/sass_costs.py [--nvdisasm PATH] [--out FILE]

nvdisasm comes with the CUDA toolkit; where the toolkit lacks it,
`pip install nvidia-cuda-nvdisasm` provides one (found on sys.path).
"""

import argparse
import collections
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

from cost_model import TERMS  # noqa: E402
from sass_cfg import Cfg, functions, parse_function, walk  # noqa: E402

SOURCE = "src/cpp/kernels/traversal/traversal.cu"
KERNELS = {
    "Triangle": "compute_winding_numbers_kernelI8TriangleNS_10ValuesModeE",
    "PointNormal": "compute_winding_numbers_kernelI11PointNormalNS_10ValuesModeE",
}
# How the cuda build compiles traversal.cu in Release (cmake/NolithFlavour.cmake, CMake's Release flags).
NVCC_FLAGS = ["-O3", "-DNDEBUG", "-std=c++17", "--use_fast_math", "--expt-relaxed-constexpr", "-arch=sm_90", "-cubin"]

# The warp-uniform decisions of the walk, found by their source text. An
# `if` is entered or skipped; a loop's backward branch runs again or exits,
# and a guard that the compiler may put before it (a forward branch on the
# same line, around the loop) enters the loop or skips it; `kind == Leaf`
# chooses its leaf or its internal side.
ANCHORS = {
    "node_ff": ("walk.h", "if (__any_sync(kFullMask, approx))"),
    "descend": ("walk.h", "if (!__any_sync(kFullMask, descend)) continue;"),
    "leaf_pointers": ("walk.h", "if (__any_sync(kFullMask, my_slot_is_leaf))"),
    "slot_nonempty": ("walk.h", "if (kind == Empty) continue;"),
    "slot_leaf": ("walk.h", "if (kind == Leaf) {"),
    "push_room": ("walk.h", "if (s < stack_capacity) {"),
    "leaf_ff": ("walk.h", "if (__any_sync(kFullMask, leaf_approx))"),
    "near": ("walk.h", "if (near != 0) {"),
    "slot_loop": ("walk.h", "for (int slot = 0; (meta >> (2 * slot)) != 0; ++slot)"),
    "pop_loop": ("walk.h", "while (s > 0) {"),
    "pass_loop": ("exact_sums.h", "while (mask != 0) {"),
}
LOOPS = {"slot_loop", "pop_loop", "pass_loop"}
# Lane-level: a point's regularised zone (within 2 epsilon of the query).
REGULARISED = ("records.h", "if (!(x < 2.0f)) {")
SOURCES = {
    "walk.h": "src/cpp/kernels/traversal/walk.h",
    "exact_sums.h": "src/cpp/kernels/traversal/exact_sums.h",
    "records.h": "src/cpp/records.h",
}

DESCRIPTIONS = {
    "c_batch": "per batch of 32 queries: claiming it (atomicAdd, shuffle), loading and scaling the queries, the "
               "root's stack entry, storing the results; less the slot iteration and push that c_pop charges for "
               "the root, which no slot pushed",
    "c_pop": "per node pop: the pop, the node's record into the warp's cache, the far-field test of every lane, the "
             "three votes, the loop; plus the node's push and the slot loop's iteration that pushed it in its "
             "parent",
    "c_node_ff": "per pop where some lane uses the node's expansion: the coefficients into the warp's cache and one "
                 "far-field evaluation (compute_node_approximation)",
    "c_descent": "per pop where some lane goes on into the node's children, beyond a pop that does not: the leaf "
                 "pointers into the warp's cache (every descent is charged them; a node without leaf children skips "
                 "them: paths.leaf_pointer_fill), the slot loop's entry and exit; the slots are charged apart",
    "c_leaf_slot": "per leaf slot tested: the slot loop's iteration, the packet index, its centre and radius "
                   "(global loads), the far-field test, two votes",
    "c_leaf_ff": "per leaf slot where some lane uses the packet's expansion: the coefficients into the warp's cache "
                 "and one far-field evaluation",
    "c_packet_load": "per packet summed exactly: each lane's element loaded (SoA, global) and scaled, the pass loop's "
                     "entry and exit, the lane's total added",
    "c_pass": "per pass (one requesting lane): three shuffles of its query, one element contribution per lane "
              "(Triangle: three sqrt, atan2 by a polynomial after the fast division; PointNormal: sqrt, reciprocal, dot product, with every "
              "point beyond 2 epsilon), the 5-step xor-shuffle reduction, the loop",
}

PATH_DESCRIPTIONS = {
    "root_alone": "a whole batch whose warp pops the root and does not descend",
    "leaf_pointer_fill": "the leaf pointers into the warp's cache, part of c_descent",
    "empty_slot": "an Empty slot below the last occupied one, skipped (not in the model: our trees fill slots "
                  "0 .. c-1)",
    "mixed_batch": "a batch of 4 pops (2 descending, into 5 and 3 slots; 2 node far fields) and 5 leaf slots (2 "
                   "with far fields, 3 summed exactly in 4 passes): the walk and the model agree on every opcode",
}

# ------------------------------------------------------------------ tools


def find_tool(name, given=None):
    candidates = [given, os.environ.get(name.upper()), shutil.which(name)]
    nvcc = shutil.which("nvcc") or "/usr/local/cuda/bin/nvcc"
    candidates.append(os.path.join(os.path.dirname(nvcc), name))
    for base in sys.path:
        candidates += sorted(glob.glob(os.path.join(base, "nvidia", "*", "bin", name)))
    for c in candidates:
        if c and os.path.isfile(c) and os.access(c, os.X_OK):
            return c
    raise SystemExit(f"{name} not found: give --{name} PATH, or `pip install nvidia-cuda-{name}`")


def run(cmd):
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(cmd)} failed:\n{done.stdout}{done.stderr}")
    return done.stdout + done.stderr


def version_line(tool):
    return [ln for ln in run([tool, "--version"]).splitlines() if ln.strip()][-1]


def compile_cubin(nvcc, out, lineinfo):
    cuda_include = os.path.join(os.path.dirname(os.path.dirname(os.path.realpath(nvcc))), "include")
    cmd = [nvcc, *NVCC_FLAGS, "-Xptxas", "-v", *(["-lineinfo"] if lineinfo else []), "-I" + os.path.join(ROOT, "src/cpp"),
           "-I" + os.path.join(cuda_include, "cccl"), os.path.join(ROOT, SOURCE), "-o", out]
    return run(cmd)


def ptxas_usage(log):
    """Registers and spills per kernel, from ptxas -v."""
    usage, current = {}, None
    for line in log.splitlines():
        m = re.search(r"Compiling entry function '(\S+)'", line)
        if m:
            current = m.group(1)
        m = re.search(r"(\d+) bytes stack frame, (\d+) bytes spill stores, (\d+) bytes spill loads", line)
        if m and current:
            usage.setdefault(current, {}).update(stack_bytes=int(m.group(1)), spill_store_bytes=int(m.group(2)),
                                                 spill_load_bytes=int(m.group(3)))
        m = re.search(r"Used (\d+) registers", line)
        if m and current:
            usage.setdefault(current, {})["registers"] = int(m.group(1))
    return usage


# ------------------------------------------------------------------ walks


def anchor_lines():
    lines = {}
    for name, (file, text) in list(ANCHORS.items()) + [("regularised", REGULARISED)]:
        with open(os.path.join(ROOT, SOURCES[file])) as f:
            hits = [i + 1 for i, ln in enumerate(f) if text in ln]
        if len(hits) != 1:
            raise SystemExit(f"anchor {name!r}: {text!r} occurs {len(hits)} times in {SOURCES[file]}; update ANCHORS")
        lines[name] = (file, hits[0])
    return lines


class Kernel:
    """One product kernel's graph with its anchored branches."""

    def __init__(self, sass, name):
        self.name = name
        self.cfg = Cfg(*parse_function(sass, name))
        self.lines = anchor_lines()
        self.branch = {}
        self.guard = {}  # block index -> the loop whose entry it decides
        self.loop_exit = {}
        for anchor in ANCHORS:
            file, line = self.lines[anchor]
            found = [b for b in self.cfg.blocks if self.cfg.conditional(b) and b.last.at(file, line)]
            if anchor in LOOPS:
                found = self._loop_branches(anchor, found)
            if len(found) != 1:
                raise SystemExit(f"{name}: {len(found)} conditional branches at {file}:{line} ({anchor}); "
                                 "the kernel's shape changed: update ANCHORS or the walks")
            self.branch[found[0].index] = anchor
        self.block = {a: self.cfg.blocks[i] for i, a in self.branch.items()}
        # The batch loop: the back-edge around the EXIT of `if (batch >= num_queries) return;`.
        exits = [ins.addr for b in self.cfg.blocks for ins in b.instrs if ins.base == "EXIT" and ins.guarded]
        spans = [b for b in self.cfg.blocks if b.taken is not None and b.last.opcode != "BRA.DIV"
                 and b.taken.start <= exits[0] <= b.last.addr]
        self.batch_head = max(spans, key=lambda b: b.last.addr - b.taken.start).taken

    def _loop_branches(self, anchor, found):
        """The loop's back-edge among the branches on its header line; a
        forward one that skips the whole loop is recorded as its guard."""
        back = [b for b in found if b.taken.start <= b.last.addr]
        if len(back) != 1:
            raise SystemExit(f"{self.name}: {len(back)} backward branches on the line of {anchor}; "
                             "the kernel's shape changed: update ANCHORS or the walks")
        latch = back[0]
        exit_block = latch.fall
        self.loop_exit[anchor] = exit_block
        for b in found:
            if b is latch:
                continue
            inside = [s for s in (b.fall, b.taken) if s is not exit_block]
            if (len(inside) != 1 or b.last.addr > latch.taken.start
                    or latch.index not in self.cfg.region(inside[0], exit_block) or anchor in self.guard.values()):
                raise SystemExit(f"{self.name}: the branch at {b.last.addr:#x} on the line of {anchor} is neither "
                                 "its back-edge nor one guard that skips the loop; update the walks")
            self.guard[b.index] = anchor
        return back

    def side(self, anchor, enter):
        """The successor that enters (True) or skips (False) an anchored `if`."""
        b = self.block[anchor]
        join = self.cfg.ipdom(b)
        if anchor == "slot_leaf":
            leafward = [s for s in (b.fall, b.taken)
                        if self.block["leaf_ff"].index in self.cfg.region(s, join)]
            assert len(leafward) == 1, "slot_leaf: no single side holds the leaf's code"
            other = b.taken if leafward[0] is b.fall else b.fall
            return leafward[0] if enter else other
        if join not in (b.fall, b.taken):
            raise SystemExit(f"{self.name}: {anchor} is not an if without else; update the walks")
        inner = b.taken if join is b.fall else b.fall
        return inner if enter else join

    def lane_policy(self, b, regularised):
        if any(ins.base == "FCHK" for ins in b.instrs):
            return "min"  # the division's slow path: subnormal or huge operands only
        file, line = self.lines["regularised"]
        if b.last.at(file, line):
            return "all" if regularised else "min"
        return "all"

    def cost(self, pops, regularised=False):
        """Opcode counts of one batch whose warp pops `pops` in order. A pop
        is dict(ff, descend, leaf_pointers, slots): its slots up to the last
        occupied one, each "E" (empty), "I" (internal) or dict(ff=bool,
        passes=int) for a leaf."""
        state = dict(pop=0, slot=0, passes=0)

        def decide(cfg, b, depth):
            anchor = self.branch.get(b.index) or self.guard.get(b.index)
            if anchor is None:
                return self.lane_policy(b, regularised)
            if depth:
                raise SystemExit(f"{self.name}: {anchor} lies under a lane-level branch; update the walks")
            pop = pops[state["pop"]]
            slots = pop["slots"] or []
            slot = slots[state["slot"]] if state["slot"] < len(slots) else None
            if b.index in self.guard:
                runs = {"pop_loop": lambda: True, "slot_loop": lambda: len(slots) > 0,
                        "pass_loop": lambda: slot["passes"] > 0}[anchor]()
                skip = self.loop_exit[anchor]
                inside = b.taken if b.fall is skip else b.fall
                return "taken" if (inside if runs else skip) is b.taken else "fall"
            if anchor == "pop_loop":
                state["pop"] += 1
                again = state["pop"] < len(pops)
                return "taken" if again else "fall"
            if anchor == "slot_loop":
                state["slot"] += 1
                return "taken" if state["slot"] < len(slots) else "fall"
            if anchor == "pass_loop":
                state["passes"] += 1
                return "taken" if state["passes"] < slot["passes"] else "fall"
            if anchor == "descend":
                state["slot"] = 0
            enter = {
                "node_ff": lambda: pop["ff"],
                "descend": lambda: pop["descend"],
                "leaf_pointers": lambda: pop["leaf_pointers"],
                "slot_nonempty": lambda: slot != "E",
                "slot_leaf": lambda: isinstance(slot, dict),
                "push_room": lambda: True,
                "leaf_ff": lambda: slot["ff"],
                "near": lambda: slot["passes"] > 0,
            }[anchor]()
            if anchor == "near":
                state["passes"] = 0
            return "taken" if self.side(anchor, enter) is b.taken else "fall"

        counts = walk(self.cfg, self.batch_head, self.batch_head, decide)
        if state["pop"] != len(pops):
            raise SystemExit(f"{self.name}: the walk used {state['pop']} of {len(pops)} pops")
        return counts


def pop(slots=None, ff=False, leaf_pointers=False):
    return dict(ff=ff, descend=slots is not None, leaf_pointers=leaf_pointers, slots=slots)


def leaf(ff=False, passes=0):
    return dict(ff=ff, passes=passes)


def diff(a, b):
    out = collections.Counter(a)
    out.subtract(b)
    return out


def same(a, b):
    return not any(diff(a, b).values())


def scale(c, f):
    return {k: v * f for k, v in c.items()}


def total(c):
    return sum(c.values())


def census(pops):
    """The census's counts of a scripted batch, as cost_model.FIELDS names them."""
    slots = [x for p in pops for x in (p["slots"] or [])]
    leaves = [x for x in slots if isinstance(x, dict)]
    if sum(x == "I" for x in slots) != len(pops) - 1:
        raise ValueError("a batch pops the root and one node per internal slot")
    return {
        "node_pops": len(pops),
        "node_far_field_steps": sum(p["ff"] for p in pops),
        "node_descents": sum(p["descend"] for p in pops),
        "leaf_slot_visits": len(leaves),
        "leaf_far_field_steps": sum(x["ff"] for x in leaves),
        "exact_packet_loads": sum(x["passes"] > 0 for x in leaves),
        "exact_passes": sum(x["passes"] for x in leaves),
    }


# Two descents (one with a node far field as well), both kinds of slot, leaf
# far fields with and without an exact sum: the check that the constants add
# up to what a batch costs, wherever the compiler put each step.
MIXED_BATCH = [
    pop(["I", leaf(ff=True), "I", leaf(passes=2), leaf()], leaf_pointers=True),
    pop([leaf(passes=1), "I", leaf(ff=True, passes=1)], ff=True, leaf_pointers=True),
    pop(ff=True),
    pop(),
]


def step_costs(kernel):
    """The constants of the model, as opcode counts, and the paths they come from.

    A batch of P pops, D of them descending, L leaf slots costs
        batch + P pop + D descent + (P - 1) internal_slot + L leaf_slot
    plus its far fields and exact sums: a descent visits the node's occupied
    slots, and every node but the root was pushed by an internal slot, so
    c_pop holds a pop with its push and slot iteration, and c_batch gives the
    root's share back.
    """
    k = kernel.cost
    root = k([pop()])
    one = k([pop(["I"]), pop()])
    two = k([pop(["I", "I"]), pop(), pop()])
    one_filled = k([pop(["I"], leaf_pointers=True), pop()])
    one_ff = k([pop(["I"]), pop(ff=True)])
    one_empty = k([pop(["E", "I"]), pop()])

    def leaves(*slots):
        return k([pop(list(slots), leaf_pointers=True)])

    leaf_plain, leaf_pair = leaves(leaf()), leaves(leaf(), leaf())
    leaf_ff, leaf_one, leaf_two = leaves(leaf(ff=True)), leaves(leaf(passes=1)), leaves(leaf(passes=2))

    c_pop = diff(two, one)
    c_leaf_slot = diff(leaf_pair, leaf_plain)
    c_descent = diff(diff(one_filled, root), c_pop)
    by_leaf = diff(diff(leaf_plain, root), c_leaf_slot)
    if not same(by_leaf, c_descent):
        raise SystemExit(f"{kernel.name}: a descent costs {total(c_descent)} with an internal slot and "
                         f"{total(by_leaf)} with a leaf slot; the slot loop is not one body: update the walks")
    passes = diff(leaf_two, leaf_one)
    constants = {
        "c_batch": diff(root, c_pop),
        "c_pop": c_pop,
        "c_node_ff": diff(one_ff, one),
        "c_descent": c_descent,
        "c_leaf_slot": c_leaf_slot,
        "c_leaf_ff": diff(leaf_ff, leaf_plain),
        "c_packet_load": diff(diff(leaf_one, leaf_plain), passes),
        "c_pass": passes,
    }
    mixed = k(MIXED_BATCH)
    counts = census(MIXED_BATCH)
    modelled = collections.Counter()
    for constant, field, _ in TERMS:
        modelled.update(scale(constants[constant], 1 if field is None else counts[field]))
    if not same(mixed, modelled):
        raise SystemExit(f"{kernel.name}: the mixed batch walks {total(mixed)} instructions, the model says "
                         f"{total(modelled)}; a step's cost depends on its neighbours: update the walks")
    paths = {
        "root_alone": total(root),
        "leaf_pointer_fill": total(diff(one_filled, one)),
        "empty_slot": total(diff(one_empty, one)),
        "mixed_batch": total(mixed),
    }
    extra = {}
    if "PointNormal" in kernel.name:
        regularised = diff(kernel.cost([pop([leaf(passes=2)], leaf_pointers=True)], regularised=True),
                           kernel.cost([pop([leaf(passes=1)], leaf_pointers=True)], regularised=True))
        extra["c_pass_regularised"] = {
            "instructions": total(regularised),
            "description": "a pass in which some lanes' points lie within 2 epsilon of the query and others "
                           "beyond (erf and exp2 of the smoothing as well); the model's c_pass assumes none within",
        }
    return constants, paths, extra


# ------------------------------------------------------------------ output

CLASSES = [
    ("warp", ("SHFL", "VOTE", "VOTEU", "WARPSYNC", "MATCH", "REDUX")),
    ("memory", ("LDG", "STG", "LDS", "STS", "LD", "ST", "LDC", "ATOMG", "ATOM", "ATOMS", "RED", "LDL", "STL")),
    ("convert", ("F2FP", "F2F", "I2F", "F2I", "PRMT", "I2FP", "F2IP")),
    ("sfu", ("MUFU",)),
    ("fp32", ("FADD", "FMUL", "FFMA", "FSETP", "FSEL", "FMNMX", "FCHK", "FSET")),
    ("half", ("HADD2", "HMUL2", "HFMA2", "HSETP2", "HMNMX2")),
    ("control", ("BRA", "BSSY", "BSYNC", "EXIT", "YIELD", "NOP", "CALL", "RET", "BREAK")),
]


def opcode_class(op):
    base = op.split(".", 1)[0]
    if op.startswith("HADD2.F32"):
        return "convert"  # half -> float
    for name, members in CLASSES:
        if base in members:
            return name
    return "integer"  # integer, address, predicate, move, uniform and special-register work


def mix(counts):
    out = collections.Counter()
    for op, n in counts.items():
        out[opcode_class(op)] += n
    return {k: round(v, 2) for k, v in sorted(out.items()) if abs(v) > 1e-9}


def kernel_named(sass, key):
    """The one function whose (mangled) name holds key: the anonymous
    namespace's part of the name differs from one compilation to the next."""
    names = [n for n in functions(sass) if key in n]
    if len(names) != 1:
        raise SystemExit(f"{len(names)} kernels match {key}")
    return names[0]


def product_code(sass, key):
    """The kernel's instructions, with the function names they mention left out."""
    return [re.sub(r"`\(_Z[^)]*\)", "`(function)", i.text)
            for i in parse_function(sass, kernel_named(sass, key))[0]]


def regenerate(nvcc, nvdisasm, work):
    """The contents of step_costs_sm90.json, built in the folder `work`."""
    lined, plain = os.path.join(work, "traversal_lineinfo.cubin"), os.path.join(work, "traversal.cubin")
    log = compile_cubin(nvcc, lined, True)
    compile_cubin(nvcc, plain, False)
    sass = run([nvdisasm, "-c", "-gi", lined])
    sass_plain = run([nvdisasm, "-c", plain])
    with open(os.path.join(work, "traversal_sm90.sass"), "w") as f:
        f.write(sass)
    usage = ptxas_usage(log)

    kinds = {}
    for kind, key in KERNELS.items():
        name = kernel_named(sass, key)
        if product_code(sass, key) != product_code(sass_plain, key):
            raise SystemExit(f"{kind}: -lineinfo changed the code; the counts would not be the product's")
        kernel = Kernel(sass, name)
        constants, paths, extra = step_costs(kernel)
        code = parse_function(sass, name)[0]
        kinds[kind] = {
            "kernel": f"compute_winding_numbers_kernel<{kind}, false>",
            "constants": {c: round(total(v), 2) for c, v in constants.items()},
            "mix": {c: mix(v) for c, v in constants.items()},
            "paths": paths,
            **({"extra": extra} if extra else {}),
            "code": {"instructions": len(code), **usage.get(name, {}),
                     "local_memory_instructions": sum(i.base in ("LDL", "STL") for i in code)},
        }

    return {
        "generated_by": "bench/sass_costs.py",
        "arch": "sm_90",
        "source": SOURCE,
        "nvcc": version_line(nvcc),
        "nvdisasm": version_line(nvdisasm),
        "nvcc_flags": " ".join(NVCC_FLAGS),
        "unit": "warp-instructions issued (every SASS instruction on the path counts one, NOP, BSSY and BSYNC "
                "included)",
        "descriptions": DESCRIPTIONS,
        "path_descriptions": PATH_DESCRIPTIONS,
        "kinds": kinds,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--nvcc", default=None)
    parser.add_argument("--nvdisasm", default=None)
    parser.add_argument("--out", default=os.path.join(HERE, "step_costs_sm90.json"))
    parser.add_argument("--keep", default=None, help="folder for the cubins and SASS (default: a temporary one)")
    args = parser.parse_args()
    started = time.time()
    nvcc, nvdisasm = find_tool("nvcc", args.nvcc), find_tool("nvdisasm", args.nvdisasm)
    with tempfile.TemporaryDirectory(prefix="sass-costs-") as scratch:
        work = args.keep or scratch
        os.makedirs(work, exist_ok=True)
        result = regenerate(nvcc, nvdisasm, work)
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)
        f.write("\n")
    for kind, v in result["kinds"].items():
        print(kind, json.dumps(v["constants"]))
    print(f"wrote {args.out} in {time.time() - started:.1f} s")

if __name__ == "__main__":
    main()
