"""Text of the engine's input files for a built model: FTN14, FTN15 and fort.50.

Layout facts the files follow:

- The engine loads one coefficient section (FTN14) per configuration pair, in this order: the
  transition pairs (ground c -> excited c), then the mixing pairs of the ground side (1-2, 2-3),
  then those of the excited side. From the second triad of a run on, it reads the sections of
  the first triad back from its store file, so every section holds the blocks of *all* triads
  and each triad's recipes pick theirs by number.
- The recipe file (FTN15) starts with the IRREP tables. Every triad looks its multiplicities up
  in a fixed sequence of (kind, side, configuration) items, searching forward from the start of
  the file; the tables are written as one slot per item holding every label of that item's side,
  so that the search for item j always ends in slot j.
- Then one block of REDUCEDMATRIX recipes per triad, self-contained, in the order the engine
  reads them: per pair its transition (or mixing) operator, the bra side's Hamiltonian operators
  ("GROUND") and the ket side's ("EXCITE").
- The engine divides configuration and mixing blocks by sqrt(dim) and multiplies transition
  blocks by DIP: configuration and mixing blocks are stored times sqrt(dim).
"""
from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass, field

import numpy as np
import scipy.sparse as sp

from morvex7.factored import FactoredMatrix
from morvex7.store import STORE_COMMAND, StoreMatrix

from .blocks import NOISE, Side
from .spool import SpooledBlock


@dataclass
class Triad:
    """One calculation: ground symmetry, operator and excited symmetry labels."""

    ground: str
    op: str
    excited: str


@dataclass
class Pair:
    """A configuration pair as the engine loads it: kind "T" (transition), "G" or "E" (mixing
    within the ground or excited side) and the (first) configuration index c (0-based)."""

    kind: str
    c: int


def number(v: float) -> str:
    """A value as text that reads back to the same 4-byte real."""
    return f"{float(np.float32(v)):.9g}"


#: A stored matrix: its shape and non-zero 4-byte elements, row by row.
Stored = StoreMatrix


@dataclass
class Section:
    matrices: list[Stored] = field(default_factory=list)
    keys: dict[tuple, int] = field(default_factory=dict)

    def store(self, key: tuple, m: np.ndarray | sp.spmatrix | SpooledBlock,
              scale: float | None = None) -> int:
        """Number of the stored matrix (1-based), 0 for an empty or all-zero one; ``scale``
        multiplies ``m`` first (a block already stored under ``key`` is not scaled again).
        Only the non-zero elements are kept (the blocks of large models fill gigabytes
        densely), their positions as 4-byte integers. A block already written to a spool
        (see morvex7.ion.spool) was scaled and sifted there: it is stored as it is, by
        reference, and so is a block kept as its factors (scaled when they were made)."""
        if key in self.keys:
            return self.keys[key]
        if m.shape[0] * m.shape[1] == 0:
            return 0
        if isinstance(m, (SpooledBlock, FactoredMatrix)):
            if m.scale != scale:
                raise ValueError(f"block {key} was spooled at scale {m.scale}, stored at {scale}")
            if not m.count:
                self.keys[key] = 0
                return 0
            self.matrices.append(m)
        else:
            rows, cols, v32 = written_elements(m, scale)
            if not len(rows):
                self.keys[key] = 0
                return 0
            self.matrices.append(Stored(m.shape, rows, cols, v32))
        self.keys[key] = len(self.matrices)
        return self.keys[key]

    def text(self, index: int) -> str:
        return "".join(self.text_parts(index))

    def text_parts(self, index: int) -> Iterator[str]:
        """The text of the section in pieces of at most about _CHUNK elements (the text of a
        large model is written piece by piece, never held whole)."""
        yield f" coupling blocks of configuration pair {index}\n"
        for k, m in enumerate(self.matrices, 1):
            yield (f"RME  MATRIX {k} IN SECTION {index}   {m.shape[0]} {m.shape[1]} "
                   f"{m.count}\n")
            yield from _rows_text(*m.elements(), m.shape[0])
        yield " FINISHED\n"


#: elements of a sparse block converted at a time (bounds the writer's temporaries)
_SPARSE_CHUNK = 1 << 20


def written_elements(m: np.ndarray | sp.spmatrix, scale: float | None
                     ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Rows, columns (int32) and 4-byte values of the elements of a block (times ``scale``)
    that are written, row by row, columns rising (see :func:`element_bands`)."""
    parts = list(element_bands(m, scale))
    if not parts:
        return np.zeros(0, np.int32), np.zeros(0, np.int32), np.zeros(0, np.float32)
    if len(parts) == 1:
        return parts[0]
    return tuple(np.concatenate([p[k] for p in parts]) for k in range(3))


def element_bands(m: np.ndarray | sp.spmatrix, scale: float | None
                  ) -> Iterator[tuple[np.ndarray, np.ndarray, np.ndarray]]:
    """The written elements of a block (times ``scale``) as rows, columns and 4-byte values,
    a band of rows at a time: neither rounding noise of the adaptation (``abs(x) < NOISE``)
    nor zero as a 4-byte real. A sparse block is taken from its canonical CSR arrays
    ``_SPARSE_CHUNK`` elements at a time, so that a block of tens of millions of elements
    needs little more memory than what is stored; a dense one in one band."""
    if not sp.issparse(m):
        if scale is not None:
            m = scale * m
        m32 = m.astype(np.float32)
        m32[np.abs(m) < NOISE] = 0.0           # rounding noise of the adaptation
        rows, cols = np.nonzero(m32)
        if len(rows):
            yield rows.astype(np.int32), cols.astype(np.int32), m32[rows, cols]
        return
    m = sp.csr_matrix(m)
    if not m.has_canonical_format:  # duplicates summed, columns sorted (on a copy)
        m = m.copy()
        m.sum_duplicates()
    indptr = m.indptr
    r0, nrow = 0, m.shape[0]
    while r0 < nrow:
        r1 = max(r0 + 1, int(np.searchsorted(indptr, indptr[r0] + _SPARSE_CHUNK, "right")) - 1)
        r1 = min(r1, nrow)
        a, b = indptr[r0], indptr[r1]
        data = m.data[a:b] if scale is None else scale * m.data[a:b]
        v32 = data.astype(np.float32)
        # written: neither rounding noise of the adaptation nor zero as a 4-byte real
        keep = np.abs(data) >= NOISE
        keep &= v32 != 0
        rows = np.repeat(np.arange(r0, r1, dtype=np.int32), np.diff(indptr[r0:r1 + 1]))
        cols = m.indices[a:b].astype(np.int32, copy=False)
        if keep.all():
            yield rows, cols, v32
        else:
            yield rows[keep], cols[keep], v32[keep]
        r0 = r1


#: "col value" of one element, four to a line, continuation lines indented
_PAIR = "%d %.9g"
_LINE = "  ".join([_PAIR] * 4)

#: elements formatted at a time (bounds the memory of the argument tuples)
_CHUNK = 200_000


def _row_template(count: int) -> str:
    full, rest = divmod(count, 4)
    lines = [_LINE] * full + (["  ".join([_PAIR] * rest)] if rest else [])
    return "\n   ".join(lines)


def _rows_text(rows: np.ndarray, cols: np.ndarray, values: np.ndarray, nrows: int
               ) -> Iterator[str]:
    """The rows of one stored matrix, in pieces of at most _CHUNK elements, " row count  col value  col value ...": one string
    formatting over many rows' numbers at once instead of one per number (each value is
    "%.9g" of the 4-byte real as a double, which reads back to the same 4-byte real)."""
    if not len(rows):
        return
    starts = np.searchsorted(rows, np.arange(nrows + 1))
    counts = np.diff(starts)
    templates: dict[int, str] = {}
    todo = np.flatnonzero(counts).tolist()
    while todo:
        # a run of rows holding at most _CHUNK elements (at least one row)
        first = starts[todo[0]]
        take = max(1, int(np.searchsorted(starts[np.array(todo) + 1] - first, _CHUNK, "right")))
        chunk, todo = todo[:take], todo[take:]
        parts = []
        for i in chunk:
            c = int(counts[i])
            if c not in templates:
                templates[c] = _row_template(c)
            parts.append(f" {i + 1} {c}  " + templates[c] + "\n")
        a, b = starts[chunk[0]], starts[chunk[-1] + 1]
        args = np.empty(2 * (b - a), dtype=object)
        args[0::2] = (cols[a:b] + 1).tolist()
        args[1::2] = values[a:b].astype(float).tolist()
        yield "".join(parts) % tuple(args.tolist())


def pairs_of(ground: Side, excited: Side) -> list[Pair]:
    """The configuration pairs in the engine's load order."""
    out = [Pair("T", c) for c in range(min(len(ground.configs), len(excited.configs)))]
    if ground.mixing:
        out += [Pair("G", c) for c in range(len(ground.configs) - 1)]
    if excited.mixing:
        out += [Pair("E", c) for c in range(len(excited.configs) - 1)]
    return out


def hamiltonian_section(kind: str, nconf: int, mixing: bool, c: int) -> tuple[str, int]:
    """The section whose reading of configuration c's Hamiltonian blocks the engine keeps (of
    a side of ``kind`` "ground" or "excited" with ``nconf`` configurations): each reading of a
    configuration pair replaces the blocks of both its configurations, and the mixing pairs of
    a side are read after the transition pairs, in order. So configuration c's blocks are used
    from its mixing pair (c, c + 1), the last configuration's from (c - 1, c), and only a side
    without mixing takes them from its transition pair; every other section may leave them
    empty. (kind of pair "T", "G" or "E", its first configuration.)"""
    if nconf < 2 or not mixing:
        return "T", c
    return ("G" if kind == "ground" else "E"), min(c, nconf - 2)


def irrep_items(ground: Side, excited: Side) -> list[tuple[str, Side, int]]:
    """The (kind, side, configuration) sequence of one triad's multiplicity look-ups."""
    items = []
    for c in range(min(len(ground.configs), len(excited.configs))):
        items += [("GROUND", ground, c), ("EXCITE", excited, c)]
    for side in (ground, excited):
        for c in range(len(side.configs) - 1):
            items += [("GROUND", side, c), ("EXCITE", side, c + 1)]
    return items


def scalar_op(label: str) -> str:
    """The engine's name of an invariant operator between states of ``label``: "0+" when the
    label carries a parity sign (the engine adds it), "0" otherwise (e.g. "T2G")."""
    return "0+" if label[-1:] in ("+", "-") else "0"


def write_ftn14_ftn15(ground: Side, excited: Side, triads: list[Triad],
                      transitions: dict[tuple[str, str, str, int], np.ndarray]) -> tuple[str, str]:
    """Return the texts of FTN14 and FTN15.

    ``transitions[(g, op, e, c)]`` is the transition block ground c -> excited c of a triad.
    """
    sections, ftn15 = coefficient_sections(ground, excited, triads, transitions)
    return ftn14_text(sections), ftn15


def ftn14_text(sections: list[Section]) -> str:
    """The text FTN14 of the coefficient sections."""
    return "".join(ftn14_parts(sections))


def ftn14_parts(sections: list[Section]) -> Iterator[str]:
    """The text FTN14 of the coefficient sections, piece by piece (see Section.text_parts)."""
    for i, s in enumerate(sections):
        yield from s.text_parts(i + 1)


def coefficient_sections(ground: Side, excited: Side, triads: list[Triad],
                         transitions: dict[tuple[str, str, str, int], np.ndarray],
                         once: bool = False) -> tuple[list[Section], str]:
    """The coefficient sections (one per configuration pair, in the engine's load order) and
    the text of FTN15; see :func:`write_ftn14_ftn15`. With ``once`` each configuration's
    Hamiltonian blocks are stored only in the section whose reading the engine keeps (see
    :func:`hamiltonian_section`), the other sections' recipes for them left empty: the same
    matrices reach the engine from about half the stored elements."""
    glabels = sorted({t.ground for t in triads}, key=list(ground.dims).index)
    elabels = sorted({t.excited for t in triads}, key=list(excited.dims).index)
    used = {id(ground): glabels, id(excited): elabels}
    pairs = pairs_of(ground, excited)
    sections = [Section() for _ in pairs]
    recipes: list[list[str]] = [[] for _ in triads]
    serial = 0

    def recipe(kind: str, bra: str, op: str, ket: str, dims: tuple[int, int], no: int,
               shape: tuple[int, int]) -> str:
        nonlocal serial
        serial += 1
        end = f"RM{serial}"
        text = f"REDUCEDMATRIX {kind} {bra} {op} {ket} {end} {dims[0]} {dims[1]}\n"
        if no:
            text += f"  ADD {no} 1 1 {shape[0]} {shape[1]} 1.0\n"
        return text + f"  END {end}\n"

    def ham_recipes(sec: Section, side: Side, c: int, label: str, kind: str) -> list[str]:
        out = []
        root = np.sqrt(side.dims[label])
        m = side.mult(c, label)
        kept = not once or hamiltonian_section(side.kind, len(side.configs), bool(side.mixing),
                                               c) == (pair.kind, pair.c)
        for k, blk in enumerate(side.ham[c][label]):
            no = sec.store((side.kind, c, side.alias.get(label, label), k), blk, root) \
                if kept else 0
            out.append(recipe(kind, label, scalar_op(label), label, (m, m), no, (m, m)))
        return out

    for pair, sec in zip(pairs, sections):
        for t, tri in enumerate(triads):
            if pair.kind == "T":
                bra_side, bc, bra = ground, pair.c, tri.ground
                ket_side, kc, ket = excited, pair.c, tri.excited
                blocks = [transitions[(tri.ground, tri.op, tri.excited, pair.c)]]
                keys = [("T", tri.ground, tri.op, tri.excited)]
                scale = None
                op = tri.op
            else:
                side = ground if pair.kind == "G" else excited
                lab = tri.ground if pair.kind == "G" else tri.excited
                bra_side = ket_side = side
                bc, kc, bra, ket = pair.c, pair.c + 1, lab, lab
                blocks = side.mix[pair.c][lab]
                keys = [("M", side.alias.get(lab, lab), k) for k in range(len(blocks))]
                scale = np.sqrt(side.dims[lab])
                op = scalar_op(lab)
            dims = (bra_side.mult(bc, bra), ket_side.mult(kc, ket))
            for key, blk in zip(keys, blocks):
                no = sec.store(key, blk, scale)
                recipes[t].append(recipe("TRANSI", bra, op, ket, dims, no, blk.shape))
            recipes[t] += ham_recipes(sec, bra_side, bc, bra, "GROUND")
            recipes[t] += ham_recipes(sec, ket_side, kc, ket, "EXCITE")

    lines = [" irreducible representations, one slot per look-up\n"]
    for kind, side, c in irrep_items(ground, excited):
        for lab in used[id(side)]:
            lines.append(f"IRREP {kind} {lab} MULT {side.mult(c, lab)} DIM {side.dims[lab]}\n")
    lines.append("\n recipes, one block per triad\n")
    for t, tri in enumerate(triads):
        lines.append(f" triad {t + 1}: {tri.ground} {tri.op} {tri.excited}\n")
        lines += recipes[t]
    return sections, "".join(lines)


def value(v: float) -> str:
    """A parameter value for the command file: the shortest text of the number."""
    return format(float(v), ".10g")


def wrapped(words: list[str], width: int = 72) -> str:
    """Words joined by blanks into lines of at most ``width`` columns (the engine reads a
    command's numbers across lines; its echo shows only 79 columns). A comment ("%" first)
    stays a comment on every line."""
    lines, line = [], ""
    lead = "%   " if words and words[0].startswith("%") else "  "
    for w in words:
        if line and len(line) + 1 + len(w) > width:
            lines.append(line)
            line = lead + w
        else:
            line = f"{line} {w}" if line else w
    lines.append(line)
    return "\n".join(lines) + "\n"


def write_fort50(ground: Side, excited: Side, triads: list[Triad], *, title: str,
                 delta: float, u: float, q: float, n2: int, n3: int, width: float,
                 erange: float, extra: str = "", store: bool = False) -> str:
    """The command file: parameters, operator factors, configuration energies, ``extra``
    commands (e.g. a RIXS block) and triads; with ``store`` the OLDCOWAN command (the
    coefficient blocks are read from the binary store FTN99)."""
    ng, ne = len(ground.configs), len(excited.configs)
    out = [f"% {title[:70]}\n" if title else "% ion model\n"]
    out.append(wrapped(["% XHAM ground:"] + [o.name for o in ground.hamiltonian]))
    out.append(wrapped(["% XHAM excited:"] + [o.name for o in excited.hamiltonian]))
    if ground.mixing:
        out.append(wrapped(["% XMIX:"] + [o.name for o in ground.mixing]))
    if store:
        out.append(f"{STORE_COMMAND}\n")
    out.append(f"NCONF {ng} {ne}\n")
    if ng > 1 or ne > 1:
        out.append(f"N2 {n2} N3 {n3} W {value(width)}\n")
    out.append(f"DEL {value(delta)} UCV {value(q)} UVV {value(u)}\n")
    out.append("DIP 1.0\n")
    for t, side, n in ((1, ground, ng), (2, excited, ne)):
        words = ["XHAM", str(len(side.hamiltonian))] + [value(o.value) for o in side.hamiltonian]
        words += [str(n)] + [f"{t} {c}" for c in range(1, n + 1)]
        out.append(wrapped(words))
    for t, side, n in ((1, ground, ng), (2, excited, ne)):
        if n > 1:
            words = ["XMIX", str(len(side.mixing))] + [value(o.value) for o in side.mixing]
            words.append(str(n - 1))
            out.append(wrapped(words + [f"{t} {c} {c + 1}" for c in range(1, n)]))
    nt = min(ng, ne)
    out.append(wrapped(["XTRAN", "1", "1.0", str(nt)] + [f"{c} {c}" for c in range(1, nt + 1)]))
    eg = ["0.0UNITY", "DEL", "2DEL + UVV"]
    ef = ["0.0UNITY", "DEL + UVV - UCV", "2DEL + 3UVV - 2UCV"]
    for c in range(ng):
        out.append(f"DEF EG{c + 1} = {eg[c]}\n")
    for c in range(ne):
        out.append(f"DEF EF{c + 1} = {ef[c]}\n")
    out.append(f"ERANGE {value(erange)}\n")
    out.append(extra)
    out.append("TRIADS\n")
    for tri in triads:
        out.append(f"{tri.ground} {tri.op} {tri.excited}\n")
    out.append("ENDTRIADS\n")
    return "".join(out)
