"""SASS of one kernel as a control-flow graph, and the cost of paths through it.

Reads the text that `nvdisasm -c -gi` prints for a cubin compiled with
-lineinfo: instructions with their inline chains of source lines. A path is
walked block by block; every instruction on it costs one issue slot of the
warp. At a conditional branch a `decide` callback chooses:

- "taken" / "fall": one successor (a warp-uniform condition),
- "all": both sides, each once, up to the join (a lane-level condition, where
  a warp with lanes on both sides executes both: SIMT),
- "min": the cheaper side only (a rare or unlikely lane-level path).

`BRA.DIV` (the compiler's fallback for a warp that reaches a warp-wide
collective diverged) is never taken: the walk's warps are converged there.
"""

import collections
import re

_FUNC_RE = re.compile(r"^//-+ \.text\.(\S+) -+$")
_FRAME_RE = re.compile(r'//## File "([^"]+)", line (\d+)')
_INSTR_RE = re.compile(r"/\*([0-9a-f]{4,})\*/\s+(.*?)\s*;")
_LABEL_RE = re.compile(r"^(\.L_x_\d+):")
_TARGET_RE = re.compile(r"`\(([^)]+)\)")


class Instr:
    """One SASS instruction: address, text, opcode, guard, branch target and
    inline chain of (file, line), innermost first."""

    __slots__ = ("addr", "text", "opcode", "guarded", "target", "frames")

    def __init__(self, addr, text, frames):
        self.addr = addr
        self.text = text
        self.frames = frames
        body = text
        self.guarded = body.startswith("@")
        if self.guarded:
            body = body.split(None, 1)[1]
        self.opcode = body.split(None, 1)[0]
        m = _TARGET_RE.search(body)
        self.target = m.group(1) if m else None

    @property
    def base(self):
        return self.opcode.split(".", 1)[0]

    def at(self, file_suffix, line):
        """Whether the innermost frame in our own sources (src/cpp, not the
        toolkit's headers) is file_suffix:line."""
        ours = [(f, n) for f, n in self.frames if "/src/cpp/" in f]
        return bool(ours) and ours[0][0].endswith(file_suffix) and ours[0][1] == line


def functions(sass_text):
    """Names of the functions (mangled) in nvdisasm's text."""
    return [m.group(1) for m in map(_FUNC_RE.match, sass_text.splitlines()) if m]


def parse_function(sass_text, name):
    """(instructions, labels) of one function: labels map to addresses."""
    instrs, labels, pending, frames, waiting = [], {}, [], [], []
    inside = False
    for line in sass_text.splitlines():
        m = _FUNC_RE.match(line)
        if m:
            inside = m.group(1) == name
            continue
        if not inside:
            continue
        m = _LABEL_RE.match(line.strip())
        if m:
            waiting.append(m.group(1))
            continue
        m = _FRAME_RE.search(line)
        if m:
            pending.append((m.group(1), int(m.group(2))))
            continue
        m = _INSTR_RE.search(line)
        if m:
            # A run of frame comments is the chain of the instructions below it.
            if pending:
                frames, pending = pending, []
            ins = Instr(int(m.group(1), 16), m.group(2), frames)
            labels.update((label, ins.addr) for label in waiting)
            waiting = []
            instrs.append(ins)
    if not instrs:
        raise ValueError(f"function {name} not found in the disassembly")
    return instrs, labels


class Block:
    __slots__ = ("index", "instrs", "succ", "taken", "fall")

    def __init__(self, index, instrs):
        self.index, self.instrs = index, instrs
        self.succ, self.taken, self.fall = [], None, None

    @property
    def last(self):
        return self.instrs[-1]

    @property
    def start(self):
        return self.instrs[0].addr


_ENDS_BLOCK = {"BRA", "EXIT", "RET", "CALL", "BREAK", "JMP", "BRX"}


class Cfg:
    """Basic blocks of one function. Edges follow branches and fall-through;
    BRA.DIV edges and calls are left out (see the module's doc)."""

    def __init__(self, instrs, labels):
        by_addr = {ins.addr: i for i, ins in enumerate(instrs)}
        leaders = {0}
        for i, ins in enumerate(instrs):
            if ins.base in _ENDS_BLOCK and i + 1 < len(instrs):
                leaders.add(i + 1)
        leaders |= {by_addr[a] for a in labels.values() if a in by_addr}
        starts = sorted(leaders)
        self.blocks = [Block(k, instrs[s:e]) for k, (s, e) in enumerate(zip(starts, starts[1:] + [len(instrs)]))]
        at = {b.start: b for b in self.blocks}
        self.labels = labels
        for k, b in enumerate(self.blocks):
            nxt = self.blocks[k + 1] if k + 1 < len(self.blocks) else None
            last = b.last
            if last.opcode == "BRA.DIV":
                b.fall = nxt
            elif last.base == "BRA":
                b.taken = at[labels[last.target]]
                # Guarded (@P BRA), or with a predicate operand (BRA !P1, target).
                operands = last.text.split("BRA", 1)[1].split("`")[0]
                if last.guarded or re.search(r"!?U?P[0-6T]", operands):
                    b.fall = nxt
            elif last.base == "EXIT":
                b.fall = nxt if last.guarded else None
            elif last.base in ("RET", "BREAK", "JMP", "BRX"):
                b.fall = None
            else:
                b.fall = nxt
            b.succ = [s for s in (b.fall, b.taken) if s is not None]
        self._ipdom = None

    def conditional(self, b):
        return b.taken is not None and b.fall is not None

    def ipdom(self, b):
        """Immediate post-dominator (the join of a branch): computed over the
        blocks reachable from the entry, with EXITs leading to a virtual exit."""
        if self._ipdom is None:
            self._ipdom = self._post_dominators()
        return self._ipdom[b.index]

    def _post_dominators(self):
        reach, todo = set(), [self.blocks[0]]
        while todo:
            b = todo.pop()
            if b.index in reach:
                continue
            reach.add(b.index)
            todo.extend(b.succ)
        exit_id = -1
        succ = {i: [s.index for s in self.blocks[i].succ] for i in reach}
        for i in reach:
            if self.blocks[i].last.base == "EXIT":
                succ[i].append(exit_id)
        nodes = list(reach) + [exit_id]
        pdom = {n: set(nodes) for n in nodes}
        pdom[exit_id] = {exit_id}
        changed = True
        while changed:
            changed = False
            for n in reach:
                if not succ[n]:
                    raise ValueError(f"block at {self.blocks[n].start:#x} reaches no exit")
                new = set.intersection(*(pdom[s] for s in succ[n])) | {n}
                if new != pdom[n]:
                    pdom[n], changed = new, True
        ipdom = {}
        for n in reach:
            strict = pdom[n] - {n}
            # The immediate one is the strict post-dominator that all others post-dominate.
            for c in strict:
                if all(o in pdom[c] for o in strict):
                    ipdom[n] = self.blocks[c] if c != exit_id else None
                    break
        return ipdom

    def region(self, start, stop):
        """Blocks reachable from start without passing stop."""
        seen, todo = set(), [start]
        while todo:
            b = todo.pop()
            if b is None or b is stop or b.index in seen:
                continue
            seen.add(b.index)
            todo.extend(b.succ)
        return seen


def walk(cfg, start, stop, decide, depth=0):
    """Opcode counts along the path from start up to (not including) stop; a
    walk that starts at stop runs until it comes back to it. decide(cfg,
    block, depth) returns "taken", "fall", "all" or "min" for a block ending
    in a conditional branch."""
    counts = collections.Counter()
    b, first = start, True
    while b is not None and (first or b is not stop):
        first = False
        counts.update(ins.opcode for ins in b.instrs)
        if not cfg.conditional(b):
            b = b.taken if b.taken is not None else b.fall
            continue
        how = decide(cfg, b, depth)
        if how == "taken":
            b = b.taken
        elif how == "fall":
            b = b.fall
        else:
            join = cfg.ipdom(b)
            sides = [walk(cfg, s, join, decide, depth + 1) if s is not join else collections.Counter()
                     for s in (b.fall, b.taken)]
            if how == "all":
                counts.update(sides[0])
                counts.update(sides[1])
            else:
                counts.update(min(sides, key=lambda c: sum(c.values())))
            b = join
    if b is None and stop is not None:
        raise ValueError(f"walk from {start.start:#x} ended before reaching {stop.start:#x}")
    return counts
