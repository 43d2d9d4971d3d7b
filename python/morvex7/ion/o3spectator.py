"""Blocks between spherical states coupled with a spectator ligand shell, from their factors.

A configuration with an open ligand shell is coupled from the multiplets of the electrons
outside the ligand shell (the "rest", J_A) and those of the ligand shell (J_L):
|(a J_A, b J_L) J, M = J> (see :class:`morvex7.ion.o3.SpectatorIrrep`). Its largest cases
(3d⁹4f⁴L̲²: 910 910 determinants) are far too large for states written out over determinants,
so every block is assembled here from reduced matrix elements of the two factors (Edmonds'
convention <j' m'| T_q |j m> = (-1)^(j' - m') (j' k j; -m' q m) <j' || T || j>):

- an operator acting on the rest only, of rank k (the dipole, k = 1):

      <(a' J_A', b J_L) J' || T || (a J_A, b J_L) J>
          = (-1)^(J_A' + J_L + J + k) sqrt((2J + 1)(2J' + 1)) {J_A' J' J_L; J J_A k}
            <a' J_A' || T || a J_A>;

- the hybridisation sum over spin-orbitals i of L+_i v_i, which takes a valence electron of
  the rest to the ligand shell. In j-coupled spinors (j = l -+ 1/2) it is
  sqrt(2j + 1) [ṽ^(j) x L+^(j)]^(0), ṽ_jmu = (-1)^(j - mu) v_j,-mu, and between states of
  M = J

      <(a' J_A', b' J_L') J | V | (a J_A, b J_L) J> = (-1)^n sum_j (-1)^(J_A + j + J_L' + J)
          {J_A' J_A j; J_L J_L' J} <a' || ṽ^(j) || a> <b' || L+^(j) || b>,

  n the electrons of the rest of the bra (the ligand's ladder operators pass them).

Reduced elements of one factor are taken between its highest-weight rows only.
"""
from __future__ import annotations

from dataclasses import dataclass
from math import sqrt
from typing import TYPE_CHECKING, Callable

import numpy as np
import scipy.sparse as sp

from morvex7.factored import FactoredMatrix

from .blocks import NOISE
from .determinants import DeterminantBasis, Operator, Shell
from .wigner import six_j, three_j

if TYPE_CHECKING:
    from .o3 import SpectatorIrrep


@dataclass
class SpectatorPart:
    """One (J_A, J_L) pair of a coupled irrep: the adapted states of J_A outside the ligand
    shell (``rest``, an AdaptedIrrep), and the highest-weight states of J_L of the ligand shell
    (``ligand``: their determinants and states, one row per copy)."""

    rest: object
    two_jl: int
    ligand: tuple[DeterminantBasis, np.ndarray]

    @property
    def two_ja(self) -> int:
        return self.rest.dim - 1

    @property
    def copies(self) -> int:
        return self.ligand[1].shape[0]

    @property
    def size(self) -> int:
        return self.rest.mult * self.copies


def spinor(shell: Shell, two_j: int, two_mu: int, create: bool) -> Operator:
    """The j-coupled ladder operator a+_(j mu) (``create``) or a_(j mu) of ``shell``:
    sum over m, s of <l m 1/2 s | j mu> a_(m s)."""
    op = Operator()
    for m in range(-shell.l, shell.l + 1):
        for up in (True, False):
            two_s = 1 if up else -1
            if 2 * m + two_s != two_mu:
                continue
            cg = (-1) ** ((2 * shell.l - 1 + two_mu) // 2) * sqrt(two_j + 1) \
                * three_j(2 * shell.l, 1, two_j, 2 * m, two_s, -two_mu)
            if cg != 0.0:
                op.add(((shell.orbital(m, up), create),), cg)
    return op


def tilde_annihilator(shell: Shell, two_j: int, two_mu: int) -> Operator:
    """Component mu of the rank-j tensor ṽ_(j mu) = (-1)^(j - mu) a_(j, -mu)."""
    return spinor(shell, two_j, -two_mu, False) * float((-1) ** ((two_j - two_mu) // 2))


def reduced(bra_top: tuple[DeterminantBasis, np.ndarray], two_jp: int,
            component: Callable[[int], Operator], two_k: int,
            ket_top: tuple[DeterminantBasis, np.ndarray], two_j: int) -> np.ndarray:
    """<bra J' || T^(k) || ket J> (shape copies of bra x copies of ket) from the highest-weight
    rows of both; ``component(two_q)`` gives T_q. Zero where J, k, J' make no triangle."""
    (bb, bv), (kb, kv) = bra_top, ket_top
    two_q = two_jp - two_j
    w = three_j(two_jp, two_k, two_j, -two_jp, two_q, two_j)
    if w == 0.0 or len(bv) == 0 or len(kv) == 0:
        return np.zeros((len(bv), len(kv)))
    m = component(two_q).matrix(bb, kb)
    return (bv @ (m @ kv.T)) / w


def repeated_blocks(blocks: list[tuple[sp.csr_matrix, int]]) -> sp.csr_matrix:
    """The block-diagonal matrix of kron(block, identity(copies)) over ``blocks`` (the block
    of an operator that leaves the ligand shell alone), canonical CSR. Row i * copies + b of
    a pair is row i of its block with columns j * copies + b, so the CSR arrays are made
    directly: scipy's kron and block_diag take seconds over the hundreds of (J_A, J_L) pairs
    of a large configuration."""
    lengths, cols, vals = [], [], []
    offset = 0
    for c, copies in blocks:  # canonical CSR
        n = np.diff(c.indptr)
        row = np.repeat(np.arange(len(n)), n)
        # element k of row i, copy b: written at indptr[i] * copies + b * n[i] + (k - indptr[i])
        b = np.arange(copies)[None, :]
        pos = (c.indptr[row] * (copies - 1))[:, None] + b * n[row][:, None] \
            + np.arange(len(row))[:, None]
        col = np.empty(len(row) * copies, dtype=np.int64)
        val = np.empty(len(row) * copies)
        col[pos.ravel()] = (offset + c.indices[:, None] * copies + b).ravel()
        val[pos.ravel()] = np.repeat(c.data, copies)
        lengths.append(np.repeat(n, copies))
        cols.append(col)
        vals.append(val)
        offset += c.shape[0] * copies
    indptr = np.concatenate([[0], np.cumsum(np.concatenate(lengths))])
    return sp.csr_matrix((np.concatenate(vals), np.concatenate(cols), indptr),
                         shape=(offset, offset))


#: A hybridisation block whose products fill at least this many elements is stored as its
#: factors (see SpectatorAlgebra.hybridisation). Below it the elements take at most a few MB,
#: and the values stay those summed in 8 bytes and rounded once.
FACTORED_ELEMENTS = 1_000_000


def _factored(bra: "SpectatorIrrep", ket: "SpectatorIrrep", terms: list,
              scale: float) -> FactoredMatrix:
    """The factored form of a hybridisation block from its terms (each distinct reduced
    matrix stored once), times ``scale``."""
    index: dict[int, int] = {}
    factors: list[np.ndarray] = []

    def number(a: np.ndarray) -> int:
        if id(a) not in index:
            index[id(a)] = len(factors)
            factors.append(a)
        return index[id(a)]

    rows = [(t[0], t[1], number(t[2]), number(t[3])) for t in terms]
    weights = np.array([scale * t[4] for t in terms])
    # an element below four 4-byte roundings of the largest product is what is left of terms
    # that cancel (zero when summed in 8 bytes): noise, as NOISE is of the adaptation
    largest = max((abs(w) * np.abs(t[2]).max() * np.abs(t[3]).max()
                   for w, t in zip(weights, terms)), default=0.0)
    return FactoredMatrix(
        (sum(p.size for p in bra.parts), sum(q.size for q in ket.parts)),
        [(p.rest.mult, p.copies) for p in bra.parts], [(q.rest.mult, q.copies) for q in ket.parts],
        factors, np.array(rows, dtype=np.int64).reshape(-1, 4), weights,
        np.float32(max(NOISE, 4 * np.finfo(np.float32).eps * largest)), scale)


def _top(irrep) -> tuple[DeterminantBasis, np.ndarray]:
    return irrep.basis, irrep.vectors[:, 0, :]


def _assemble(rows: list[int], cols: list[int],
              pieces: dict[tuple[int, int], np.ndarray | sp.spmatrix]) -> sp.csr_matrix:
    """A sparse matrix of blocks: ``rows``/``cols`` the block sizes, ``pieces[(i, j)]`` the
    non-zero blocks."""
    grid = [[None] * len(cols) for _ in rows]
    for (i, j), blk in pieces.items():
        grid[i][j] = sp.coo_matrix(blk)
    # empty block rows and columns get a zero block of their size
    for i, n in enumerate(rows):
        if all(b is None for b in grid[i]) and cols:
            grid[i][0] = sp.coo_matrix((n, cols[0]))
    for j, n in enumerate(cols):
        if all(grid[i][j] is None for i in range(len(rows))) and rows:
            grid[0][j] = sp.coo_matrix((rows[0], n))
    if not rows or not cols:
        return sp.csr_matrix((sum(rows), sum(cols)))
    return sp.bmat(grid, format="csr")


class SpectatorAlgebra:
    """Reduced elements of the factors, kept for every block that needs them again."""

    def __init__(self, rest_transition: Callable) -> None:
        self._rest_transition = rest_transition
        self._cache: dict[tuple, np.ndarray] = {}
        self._ops: dict[tuple, Operator] = {}

    def _op(self, kind: str, shell: Shell, two_j: int, two_q: int) -> Operator:
        key = (kind, shell, two_j, two_q)
        if key not in self._ops:
            self._ops[key] = (tilde_annihilator(shell, two_j, two_q) if kind == "v~"
                              else spinor(shell, two_j, two_q, True))
        return self._ops[key]

    def _reduced(self, kind: str, shell: Shell, two_k: int, bra, two_jp: int, ket,
                 two_j: int) -> np.ndarray:
        key = (kind, two_k, id(bra), id(ket))
        hit = self._cache.get(key)
        if hit is None:
            bra_top = _top(bra) if kind == "v~" else bra
            ket_top = _top(ket) if kind == "v~" else ket
            hit = reduced(bra_top, two_jp, lambda q: self._op(kind, shell, two_k, q), two_k,
                          ket_top, two_j)
            self._cache[key] = hit
        return hit

    def hybridisation(self, bra: "SpectatorIrrep", ket: "SpectatorIrrep", valence: Shell,
                      ligand: Shell, electrons: int, scale: float | None = None
                      ) -> sp.csr_matrix | FactoredMatrix:
        """<bra | sum_i (v+_i L_i + L+_i v_i) | ket> of two coupled irreps of one J, the ket's
        rest holding one valence electron more and its ligand shell one less (only L+ v
        connects them); ``electrons`` those of the bra's rest.

        With ``scale`` (the factor the writer stores the block times), a block whose products
        would fill at least FACTORED_ELEMENTS elements is returned as its factors
        (:class:`morvex7.factored.FactoredMatrix`, times ``scale``), which the store keeps
        as they are and the engine assembles: a fraction of the elements' size."""
        two_j = bra.dim - 1
        sign = -1.0 if electrons % 2 else 1.0
        terms = []  # (i, j, rest factor, ligand factor, weight), by (i, j)
        for i, p in enumerate(bra.parts):
            for j, q in enumerate(ket.parts):
                for two_k in (2 * valence.l - 1, 2 * valence.l + 1):
                    x = (q.two_ja + two_k + p.two_jl + two_j)
                    w = six_j(p.two_ja, q.two_ja, two_k, q.two_jl, p.two_jl, two_j)
                    if w == 0.0:
                        continue
                    t = self._reduced("v~", valence, two_k, p.rest, p.two_ja, q.rest, q.two_ja)
                    if not t.any():
                        continue
                    u = self._reduced("L+", ligand, two_k, p.ligand, p.two_jl, q.ligand,
                                      q.two_jl)
                    if not u.any():
                        continue
                    terms.append((i, j, t, u, sign * (-1) ** (x // 2) * w))
        rows, cols = [p.size for p in bra.parts], [q.size for q in ket.parts]
        filled = sum(rows[i] * cols[j] for i, j in {(t[0], t[1]) for t in terms})
        if scale is not None and filled >= FACTORED_ELEMENTS:
            return _factored(bra, ket, terms, scale)
        pieces: dict[tuple[int, int], np.ndarray] = {}
        for i, j, t, u, f in terms:
            part = np.kron(f * t, u)
            pieces[(i, j)] = part if (i, j) not in pieces else pieces[(i, j)] + part
        return _assemble(rows, cols, pieces)

    def transition(self, ground: "SpectatorIrrep", excited: "SpectatorIrrep", components,
                   op_label: str) -> sp.csr_matrix:
        """Reduced elements of the dipole (acting outside the ligand shell) between two coupled
        irreps with the same ligand shell, shape ground.mult x excited.mult."""
        two_j, two_jp = ground.dim - 1, excited.dim - 1
        pieces = {}
        for i, p in enumerate(ground.parts):
            for j, q in enumerate(excited.parts):
                if q.ligand is not p.ligand:
                    continue
                w = six_j(q.two_ja, two_jp, p.two_jl, two_j, p.two_ja, 2)
                if w == 0.0:
                    continue
                key = ("dipole", op_label, id(p.rest), id(q.rest))
                if key not in self._cache:
                    self._cache[key] = self._rest_transition(p.rest, components, q.rest,
                                                             op_label)
                r = self._cache[key]
                if not r.any():
                    continue
                x = q.two_ja + p.two_jl + two_j + 2
                f = (-1) ** (x // 2) * sqrt((two_j + 1) * (two_jp + 1)) * w
                pieces[(i, j)] = sp.kron(f * r, sp.identity(p.copies), format="csr")
        return _assemble([p.size for p in ground.parts], [q.size for q in excited.parts],
                         pieces)
