"""A coefficient matrix stored as sums of Kronecker products of small factors.

The hybridisation of a configuration coupled from two parts (the ion's electrons and a ligand
shell) is a block matrix whose every block is a sum of a few Kronecker products of small dense
matrices: reduced matrices of each part, times recoupling coefficients. Written out, the three
largest of Ce³⁺ with two ligand holes hold 5.6 million elements (45 MB of the store); their
factors hold half a million values. The store keeps them so and the engine assembles them on
loading (see docs/input-files.md, "A matrix stored as factors").

The blocks: row block I holds a_I·c_I rows, column block J b_J·d_J columns, one after another
from the first row and column. A term (I, J, f, g, w) adds w·F_f ⊗ G_g to block (I, J), F_f of
shape (a_I, b_J), G_g of shape (c_I, d_J). The element of block (I, J) at row i·c_I + k, column
j·d_J + l is, in 4-byte reals and exactly this order,

    v = (w_1 · F_f1[i, j]) · G_g1[k, l],  then  v = v + (w_t · F_ft[i, j]) · G_gt[k, l]

over the further terms of (I, J) in their order, and it is an element of the matrix unless it
is 0 or |v| < τ (the matrix's threshold). :meth:`FactoredMatrix.elements` computes exactly what
the engine does, so a model written as text from it reads the same numbers.
"""
from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

_I4 = np.dtype("<i4")
_F4 = np.dtype("<f4")


class FactorError(ValueError):
    """Records of a factored matrix that do not agree with each other."""


@dataclass
class FactoredMatrix:
    """A matrix stored as sums of Kronecker products (see the module description).

    ``row_blocks`` (a, c) and ``col_blocks`` (b, d) per block; ``factors`` 4-byte dense
    matrices; ``terms`` one row (I, J, f, g) per term, 0-based, sorted by (I, J);
    ``weights`` and ``threshold`` 4-byte reals. ``scale``: what the builder multiplied the
    weights by (the scale the writer stores the block at), for its own checks."""

    shape: tuple[int, int]
    row_blocks: np.ndarray
    col_blocks: np.ndarray
    factors: list[np.ndarray]
    terms: np.ndarray
    weights: np.ndarray
    threshold: np.float32
    scale: float | None = None
    _summary: tuple[int, float] | None = field(default=None, repr=False)

    triangle = False  # written as its own records, never as a triangle
    factored = True

    def __post_init__(self) -> None:
        self.row_blocks = np.asarray(self.row_blocks, dtype=np.int64).reshape(-1, 2)
        self.col_blocks = np.asarray(self.col_blocks, dtype=np.int64).reshape(-1, 2)
        self.terms = np.asarray(self.terms, dtype=np.int64).reshape(-1, 4)
        self.weights = np.asarray(self.weights, dtype=_F4)
        self.factors = [np.ascontiguousarray(f, dtype=_F4) for f in self.factors]
        self.threshold = np.float32(self.threshold)
        check(self)

    @property
    def size(self) -> int:
        return self.shape[0] * self.shape[1]

    def _groups(self):
        """(I, J, first term, end) of each block with terms."""
        t = self.terms
        if not len(t):
            return
        starts = np.flatnonzero(np.r_[True, (t[1:, 0] != t[:-1, 0]) | (t[1:, 1] != t[:-1, 1])])
        ends = np.r_[starts[1:], len(t)]
        for a, b in zip(starts.tolist(), ends.tolist()):
            yield int(t[a, 0]), int(t[a, 1]), a, b

    def blocks(self):
        """Each block with terms as (row offset, column offset, its 4-byte values, dense),
        summed exactly as the engine sums them."""
        r0 = np.r_[0, np.cumsum(self.row_blocks[:, 0] * self.row_blocks[:, 1])]
        c0 = np.r_[0, np.cumsum(self.col_blocks[:, 0] * self.col_blocks[:, 1])]
        for i, j, a, b in self._groups():
            v = None
            for t in range(a, b):
                _, _, f, g = self.terms[t]
                part = np.kron(self.weights[t] * self.factors[f], self.factors[g])
                v = part if v is None else v + part
            yield int(r0[i]), int(c0[j]), v

    def _kept(self, v: np.ndarray) -> np.ndarray:
        return (v != 0) & ~(np.abs(v) < self.threshold)

    def elements(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Rows, columns (0-based) and 4-byte values of the assembled elements, row by row,
        columns rising."""
        rows, cols, vals = [], [], []
        for r, c, v in self.blocks():
            i, j = np.nonzero(self._kept(v))
            rows.append((r + i).astype(np.int32))
            cols.append((c + j).astype(np.int32))
            vals.append(v[i, j])
        if not rows:
            return np.zeros(0, np.int32), np.zeros(0, np.int32), np.zeros(0, _F4)
        rows, cols, vals = (np.concatenate(x) for x in (rows, cols, vals))
        order = np.lexsort((cols, rows))
        return rows[order], cols[order], vals[order]

    def _summarise(self) -> tuple[int, float]:
        if self._summary is None:
            count, largest = 0, 0.0
            for _, _, v in self.blocks():
                keep = self._kept(v)
                count += int(np.count_nonzero(keep))
                largest = max(largest, float(np.abs(v[keep]).max(initial=0.0)))
            self._summary = (count, largest)
        return self._summary

    @property
    def count(self) -> int:
        """The number of elements once assembled (what the store's counts say)."""
        return self._summarise()[0]

    @property
    def largest(self) -> float:
        """The largest magnitude of an element (as stored, times the scale)."""
        return self._summarise()[1]

    def stored_bytes(self) -> int:
        """Bytes of its six records in the store file, frames included."""
        nv = sum(f.size for f in self.factors)
        return 4 * (6 + 2 * (len(self.row_blocks) + len(self.col_blocks))
                    + 2 * len(self.factors) + nv + 4 * len(self.terms) + len(self.terms) + 1) \
            + 6 * 8

    def records(self) -> list[np.ndarray]:
        """The six records of the store file: layout, blocks, factor shapes, factor values,
        terms (1-based) and the threshold followed by the weights."""
        shapes = np.array([f.shape for f in self.factors], dtype=np.int64).reshape(-1, 2)
        values = (np.concatenate([f.ravel() for f in self.factors]) if self.factors
                  else np.zeros(0, _F4))
        layout = [self.shape[1], len(self.row_blocks), len(self.col_blocks), len(self.factors),
                  len(self.terms), len(values)]
        return [np.array(layout, dtype=_I4),
                np.r_[self.row_blocks.ravel(), self.col_blocks.ravel()].astype(_I4),
                shapes.ravel().astype(_I4), values.astype(_F4),
                (self.terms + 1).ravel().astype(_I4),
                np.r_[np.float32(self.threshold), self.weights].astype(_F4)]


def check(m: FactoredMatrix) -> None:
    """Refuse (FactorError) records that do not agree: what the engine refuses too."""
    rb, cb, t = m.row_blocks, m.col_blocks, m.terms
    if (rb < 0).any() or (cb < 0).any():
        raise FactorError("a block of negative size")
    if int((rb[:, 0] * rb[:, 1]).sum()) != m.shape[0] or \
            int((cb[:, 0] * cb[:, 1]).sum()) != m.shape[1]:
        raise FactorError(f"its blocks do not add up to its {m.shape[0]} x {m.shape[1]} shape")
    if len(t) != len(m.weights):
        raise FactorError(f"{len(t)} terms and {len(m.weights)} weights")
    if len(t):
        if (t < 0).any() or (t[:, 0] >= len(rb)).any() or (t[:, 1] >= len(cb)).any() \
                or (t[:, 2:] >= len(m.factors)).any():
            raise FactorError("a term names a block or factor it does not have")
        key = t[:, 0] * (len(cb) + 1) + t[:, 1]
        if (np.diff(key) < 0).any():
            raise FactorError("its terms are not in the order of their blocks")
        shapes = np.array([f.shape for f in m.factors], dtype=np.int64).reshape(-1, 2)
        if (shapes[t[:, 2]] != np.c_[rb[t[:, 0], 0], cb[t[:, 1], 0]]).any() or \
                (shapes[t[:, 3]] != np.c_[rb[t[:, 0], 1], cb[t[:, 1], 1]]).any():
            raise FactorError("a term's factors do not have its block's shape")
    if not (np.isfinite(m.weights).all() and np.isfinite(m.threshold) and m.threshold >= 0
            and all(np.isfinite(f).all() for f in m.factors)):
        raise FactorError("a value, weight or threshold that is NaN, infinite or negative")


#: The positions an assembly may sweep per element it finds, and beyond: the builder's factored
#: matrices have about two per element, so records that would sweep far more (billions of zeros
#: from a few kilobytes of factors) do not belong together; the engine refuses them too.
POSITIONS_PER_ELEMENT = 64
SPARE_POSITIONS = 2**24


def check_positions(m: FactoredMatrix, elements: int) -> None:
    """Refuse (FactorError) a matrix whose blocks with terms hold more positions than
    ``elements`` (its count) allows, before anything is assembled."""
    limit = POSITIONS_PER_ELEMENT * elements + SPARE_POSITIONS
    swept = sum(int(m.row_blocks[i].prod()) * int(m.col_blocks[j].prod())
                for i, j, _, _ in m._groups())
    if swept > limit:
        raise FactorError(f"its blocks with terms hold {swept} positions for its {elements} "
                          f"elements (at most {limit}): records that do not belong together")


def from_records(nrow: int, records: list[np.ndarray]) -> FactoredMatrix:
    """The matrix of ``nrow`` rows from its six records (as :meth:`FactoredMatrix.records`);
    FactorError for records that do not agree."""
    layout, blocks, shapes, values, terms, weights = records
    ncol, nrb, ncb, nf, nt, nv = (int(x) for x in layout)
    shapes = shapes.astype(np.int64).reshape(nf, 2)
    if (shapes < 0).any() or int((shapes[:, 0] * shapes[:, 1]).sum()) != nv:
        raise FactorError(f"its factors' shapes do not hold its {nv} values")
    ends = np.cumsum(shapes[:, 0] * shapes[:, 1])
    factors = [values[e - r * c:e].reshape(r, c) for (r, c), e in zip(shapes.tolist(), ends)]
    blocks = blocks.astype(np.int64)
    return FactoredMatrix((nrow, ncol), blocks[:2 * nrb], blocks[2 * nrb:], factors,
                          terms.astype(np.int64).reshape(nt, 4) - 1, weights[1:], weights[0])


def layout_sizes(layout: np.ndarray) -> list[int]:
    """Items of the five records after the layout record (1 of 6), from it (negative counts
    refused)."""
    ncol, nrb, ncb, nf, nt, nv = (int(x) for x in layout)
    if min(ncol, nrb, ncb, nf, nt, nv) < 0:
        raise FactorError("a negative count in its layout")
    return [2 * nrb + 2 * ncb, 2 * nf, nv, 4 * nt, nt + 1]
