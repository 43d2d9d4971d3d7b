"""How a point-group element acts on Slater determinants of electrons in open shells.

A rotation u transforms each creation operator like its orbital,
``U c+_i U^-1 = sum_j D_ji c+_j`` with the one-particle matrix D = D^l(u) x D^(1/2)(u) (times
(-1)^l for an improper element: the inversion acts on an orbital of angular momentum l as (-1)^l).
A determinant |i1 .. iN> (orbitals in increasing order) therefore goes to
``sum_J det(D[J, I]) |J>``: the minors of D. A configuration is a product of shells (core,
valence, ligand, each with a fixed number of electrons); its determinants are ordered shell by
shell, first shell slowest, and each shell's determinants in lexicographic order of their
occupied orbitals. The group element then acts as the Kronecker product of the shells' minor
matrices, which is applied to vectors axis by axis and never formed.

Orbital order within a shell: m_l = -l, ..., l, and for each m_l first spin up then spin down,
the order of the package's determinants (`morvex7.ion.determinants`); a shell's spin-orbitals
start at its `offset`, so a determinant is also the bit mask of its occupied spin-orbitals.
"""
from __future__ import annotations

from dataclasses import dataclass
from fractions import Fraction
from itertools import combinations

import numpy as np

from .pointgroups import PointGroup


@dataclass(frozen=True)
class Shell:
    """An open shell: orbital angular momentum `l` (with spin 1/2), its electron count and the
    number of its first spin-orbital."""

    l: int
    electrons: int
    offset: int = 0

    @property
    def orbitals(self) -> int:
        return 2 * (2 * self.l + 1)

    def determinants(self) -> list[tuple[int, ...]]:
        return list(combinations(range(self.orbitals), self.electrons))

    def orbital_m(self) -> np.ndarray:
        """Total m = m_l + m_s of each orbital, in orbital order."""
        return np.array([ml + ms for ml in range(-self.l, self.l + 1) for ms in (0.5, -0.5)])


def one_particle(dl: np.ndarray, dhalf: np.ndarray) -> np.ndarray:
    """D^l(u) x D^(1/2)(u) in the shell's orbital order, from D^l and D^(1/2) in the rotation
    matrices' order m = j..-j (proper rotation only)."""
    return np.kron(dl[::-1, ::-1], dhalf)


def minors(d: np.ndarray, dets: list[tuple[int, ...]]) -> np.ndarray:
    """Many-electron matrix U[J, I] = det(d[J][:, I]) over the given determinants."""
    n = len(dets)
    if n == 0 or len(dets[0]) == 0:
        return np.ones((n, n), dtype=complex)
    idx = np.array(dets)
    sub = d[idx[:, None, :, None], idx[None, :, None, :]]  # (J, I, k, k)
    return np.linalg.det(sub)


class ConfigurationAction:
    """The action U(g) of every element of `group` on the determinants of a configuration."""

    def __init__(self, group: PointGroup, shells: list[Shell]):
        self.group = group
        self.shells = shells
        self.dets = [s.determinants() for s in shells]
        self.shape = tuple(len(d) for d in self.dets)
        self.parity = (-1) ** sum(s.l * s.electrons for s in shells)
        electrons = sum(s.electrons for s in shells)
        # elements come in pairs (u, +1) and (u, -1); matrices are computed once per rotation u,
        # and only for the elements actually applied (a transfer within a C4z sector uses one
        # element per coset)
        self._mats: dict[int, list[np.ndarray]] = {}
        self._sign = np.ones(group.order)
        self._src: dict[int, int] = {}
        cache: dict[tuple, tuple[int, float]] = {}
        for g, el in enumerate(group.elements):
            key = el.key()[1:]
            neg = tuple(-k + 0.0 for k in key)
            sign = self.parity if el.parity < 0 else 1.0
            if key in cache:
                src, s0 = cache[key]
            elif neg in cache:  # the barred partner: every electron changes sign
                src, s0 = cache[neg][0], cache[neg][1] * (-1) ** electrons
            else:
                src, s0 = g, 1.0
                cache[key] = (g, 1.0)
            self._src[g] = src
            self._sign[g] = sign * s0

    def matrices(self, g: int) -> list[np.ndarray]:
        """The shells' many-electron matrices of element g (up to its sign), made on first use."""
        src = self._src[g]
        if src not in self._mats:
            half = self.group.wigner(Fraction(1, 2))[src]
            self._mats[src] = [minors(one_particle(self.group.wigner(s.l)[src], half), d)
                               for s, d in zip(self.shells, self.dets)]
        return self._mats[src]

    @property
    def dimension(self) -> int:
        return int(np.prod(self.shape))

    def total_m(self) -> np.ndarray:
        """Total M of every determinant of the configuration."""
        parts = [np.array([s.orbital_m()[list(d)].sum() for d in dets]) for s, dets in zip(self.shells, self.dets)]
        total = parts[0]
        for p in parts[1:]:
            total = (total[:, None] + p[None, :]).ravel()
        return total

    def __call__(self, g: int, x: np.ndarray) -> np.ndarray:
        """U(g) x for a block of column vectors x (shape (dimension, k))."""
        mats = self.matrices(g)
        k = x.shape[1]
        # shell by shell, each a batched matrix product over contiguous operands:
        # t has shape (before, shell, after * k) and the shell's matrix acts on the middle axis
        t = np.ascontiguousarray(x, dtype=complex)
        before, after = 1, self.dimension
        for m in mats:
            after //= m.shape[0]
            t = np.matmul(m, t.reshape(before, m.shape[0], after * k))
            before *= m.shape[0]
        return self._sign[g] * t.reshape(self.dimension, k)

    def masks(self) -> np.ndarray:
        """Bit mask (uint64) of every determinant, in this action's (Kronecker) order."""
        total = np.zeros(1, dtype=np.uint64)
        for s, dets in zip(self.shells, self.dets):
            part = np.array([sum(1 << (s.offset + i) for i in d) for d in dets], dtype=np.uint64)
            total = (total[:, None] | part[None, :]).ravel()
        return total

    def sector(self, mu: Fraction) -> np.ndarray:
        """Indices of the determinants whose M is congruent to mu modulo 4 (C4z label mu)."""
        m = self.total_m()
        return np.flatnonzero(np.isclose(np.mod(m - float(mu), 4.0), 0) | np.isclose(np.mod(m - float(mu), 4.0), 4))
