"""Slater determinants over a few atomic shells, and operators in second quantisation.

A determinant is a 64-bit mask of occupied spin-orbitals. Spin-orbitals are numbered shell by
shell in the order the shells are given, inside a shell by m = -l..l and, for each m, spin up
then spin down. Creation and annihilation operators carry the usual sign (-1) to the power of
the number of occupied spin-orbitals with a lower number.

An :class:`Operator` is a sum of products of ladder operators with real coefficients; its
matrix between any two sets of determinants is formed on request, vectorised over the
determinants, so operators are built once and evaluated on the small sets the symmetry
adaptation needs (one M sector, say).
"""
from __future__ import annotations

from dataclasses import dataclass, field
from itertools import combinations
from typing import Iterable, Sequence

import numpy as np
import scipy.sparse as sp

Ladder = tuple[int, bool]          # (spin-orbital, True for creation)
Term = tuple[Ladder, ...]          # written left to right, applied right to left

_ONE = np.uint64(1)


@dataclass(frozen=True)
class Shell:
    """One atomic shell: its name, orbital angular momentum and first spin-orbital number."""

    name: str
    l: int
    offset: int

    @property
    def size(self) -> int:
        """Number of spin-orbitals, 2 (2l + 1)."""
        return 2 * (2 * self.l + 1)

    def orbital(self, m: int, spin_up: bool) -> int:
        """Spin-orbital number of (m, spin)."""
        return self.offset + 2 * (m + self.l) + (0 if spin_up else 1)

    def orbitals(self) -> list[tuple[int, int, bool]]:
        """All (number, m, spin_up) of the shell, in numbering order."""
        return [(self.orbital(m, up), m, up) for m in range(-self.l, self.l + 1)
                for up in (True, False)]


@dataclass(frozen=True)
class Orbitals:
    """The ordered shells of a model."""

    shells: tuple[Shell, ...]

    @staticmethod
    def of(named_l: Sequence[tuple[str, int]]) -> "Orbitals":
        """Number the shells ``[(name, l), ...]`` in the given order."""
        shells, offset = [], 0
        for name, l in named_l:
            shells.append(Shell(name, l, offset))
            offset += 2 * (2 * l + 1)
        if offset > 64:
            raise ValueError("at most 64 spin-orbitals")
        return Orbitals(tuple(shells))

    def shell(self, name: str) -> Shell:
        for s in self.shells:
            if s.name == name:
                return s
        raise KeyError(name)

    @property
    def count(self) -> int:
        return sum(s.size for s in self.shells)

    def two_m(self) -> np.ndarray:
        """Twice the projection m + m_s of every spin-orbital."""
        out = np.zeros(self.count, dtype=np.int64)
        for s in self.shells:
            for i, m, up in s.orbitals():
                out[i] = 2 * m + (1 if up else -1)
        return out


#: parity of the number of set bits of every 16-bit number
_PARITY16 = np.zeros(1 << 16, dtype=np.int64)
for _b in range(16):
    _PARITY16[1 << _b:1 << (_b + 1)] = 1 - _PARITY16[:1 << _b]


def parity_bits(x: np.ndarray) -> np.ndarray:
    """Parity (0 or 1) of the number of set bits of each uint64."""
    x = x ^ (x >> np.uint64(32))
    x ^= x >> np.uint64(16)
    return _PARITY16[(x & np.uint64(0xFFFF)).astype(np.intp)]


@dataclass
class DeterminantBasis:
    """A sorted set of determinants (bit masks)."""

    dets: np.ndarray

    def __post_init__(self) -> None:
        self.dets = np.unique(np.asarray(self.dets, dtype=np.uint64))

    def __len__(self) -> int:
        return len(self.dets)

    def locate(self, dets: np.ndarray) -> np.ndarray:
        """Index of each determinant in the basis, -1 where it is absent."""
        if len(self.dets) == 0:
            return np.full(len(dets), -1, dtype=np.int64)
        idx = np.searchsorted(self.dets, dets)
        idx = np.minimum(idx, len(self.dets) - 1)
        return np.where(self.dets[idx] == dets, idx, -1)

    def subset(self, mask: np.ndarray) -> "DeterminantBasis":
        return DeterminantBasis(self.dets[mask])


def configuration_dets(orbitals: Orbitals, occupations: Sequence[int]) -> DeterminantBasis:
    """All determinants with ``occupations[i]`` electrons in shell i."""
    total = np.zeros(1, dtype=np.uint64)
    for shell, n in zip(orbitals.shells, occupations):
        masks = []
        for occ in combinations(range(shell.offset, shell.offset + shell.size), n):
            v = 0
            for i in occ:
                v |= 1 << i
            masks.append(v)
        part = np.array(masks, dtype=np.uint64)
        total = (total[:, None] | part[None, :]).ravel()
    return DeterminantBasis(total)


def bit_sum(dets: np.ndarray, values: np.ndarray) -> np.ndarray:
    """Sum of ``values[i]`` over the occupied spin-orbitals i of each determinant."""
    out = np.zeros(len(dets), dtype=values.dtype)
    for i, v in enumerate(values):
        if v:
            out += ((dets >> np.uint64(i)) & _ONE).astype(values.dtype) * v
    return out


def two_m_of(orbitals: Orbitals, dets: np.ndarray) -> np.ndarray:
    """Twice the total M of each determinant."""
    return bit_sum(dets, orbitals.two_m())


def two_ml_ms_of(orbitals: Orbitals, dets: np.ndarray,
                 shells: Sequence[str] | None = None) -> tuple[np.ndarray, np.ndarray]:
    """Twice the orbital and the spin projections M_L, M_S of each determinant, summed over the
    named shells (default all)."""
    ml = np.zeros(orbitals.count, dtype=np.int64)
    ms = np.zeros(orbitals.count, dtype=np.int64)
    for s in orbitals.shells:
        if shells is not None and s.name not in shells:
            continue
        for i, m, up in s.orbitals():
            ml[i], ms[i] = 2 * m, (1 if up else -1)
    return bit_sum(dets, ml), bit_sum(dets, ms)


def _apply(dets: np.ndarray, cols: np.ndarray, sign: np.ndarray, orb: int, create: bool):
    bit = _ONE << np.uint64(orb)
    has = (dets & bit) != 0
    keep = ~has if create else has
    d, c, s = dets[keep], cols[keep], sign[keep]
    s = s * (1 - 2 * parity_bits(d & (bit - _ONE)))
    return d ^ bit, c, s


@dataclass
class Operator:
    """A real linear combination of ladder-operator products."""

    terms: dict[Term, float] = field(default_factory=dict)

    def add(self, term: Term, coefficient: float) -> None:
        if coefficient != 0.0:
            self.terms[term] = self.terms.get(term, 0.0) + coefficient

    def __add__(self, other: "Operator") -> "Operator":
        out = Operator(dict(self.terms))
        for t, c in other.terms.items():
            out.add(t, c)
        return out

    def __mul__(self, factor: float) -> "Operator":
        return Operator({t: c * factor for t, c in self.terms.items()})

    __rmul__ = __mul__

    def adjoint(self) -> "Operator":
        """The Hermitian adjoint (coefficients are real)."""
        return Operator({tuple((o, not cr) for o, cr in reversed(t)): c
                         for t, c in self.terms.items()})

    def cleaned(self, tol: float = 1e-13) -> "Operator":
        return Operator({t: c for t, c in self.terms.items() if abs(c) > tol})

    def matrix(self, bra: DeterminantBasis, ket: DeterminantBasis) -> sp.csr_matrix:
        """Sparse matrix <bra_i | O | ket_j>, shape (len(bra), len(ket)).

        Terms are grouped by their annihilators (applied once per group) and the creators of
        a group are applied to all its terms at once.
        """
        groups: dict[tuple[Term, int], list[tuple[Term, float]]] = {}
        for term, coef in self.terms.items():
            k = len(term)
            while k > 0 and not term[k - 1][1]:
                k -= 1
            groups.setdefault((term[k:], k), []).append((term[:k], coef))
        rows, cols, vals = [], [], []
        start = (ket.dets, np.arange(len(ket), dtype=np.int64), np.ones(len(ket), dtype=np.int64))
        for (ann, ncre), members in groups.items():
            d, c, s = start
            for orb, create in reversed(ann):
                if len(d) == 0:
                    break
                d, c, s = _apply(d, c, s, orb, create)
            if len(d) == 0:
                continue
            coef = np.array([m[1] for m in members])
            dd = np.broadcast_to(d, (len(members), len(d))).copy()
            ss = np.broadcast_to(s, (len(members), len(d))).astype(float) * coef[:, None]
            ok = np.ones(dd.shape, dtype=bool)
            for r in range(ncre - 1, -1, -1):
                bit = (_ONE << np.array([m[0][r][0] for m in members], dtype=np.uint64))[:, None]
                ok &= (dd & bit) == 0
                ss *= 1 - 2 * parity_bits(dd & (bit - _ONE))
                dd ^= bit
            rr = bra.locate(dd[ok])
            keep = rr >= 0
            rows.append(rr[keep])
            cols.append(np.broadcast_to(c, dd.shape)[ok][keep])
            vals.append(ss[ok][keep])
        shape = (len(bra), len(ket))
        if not rows:
            return sp.csr_matrix(shape)
        m = sp.coo_matrix((np.concatenate(vals), (np.concatenate(rows), np.concatenate(cols))),
                          shape=shape).tocsr()
        m.sum_duplicates()
        m.eliminate_zeros()
        return m

    def diagonal_part(self) -> "Operator":
        """The terms that keep every determinant (creators = annihilators as sets)."""
        out = Operator()
        for t, c in self.terms.items():
            cre = sorted(o for o, cr in t if cr)
            ann = sorted(o for o, cr in t if not cr)
            if cre == ann:
                out.add(t, c)
        return out

    def trace(self, basis: DeterminantBasis) -> float:
        """Trace over the determinants of ``basis``."""
        if len(basis) == 0:
            return 0.0
        return float(self.diagonal_part().matrix(basis, basis).diagonal().sum())

    def diagonal(self, basis: DeterminantBasis) -> np.ndarray:
        """The diagonal <D|O|D> over the determinants of ``basis``, the same numbers as the
        diagonal of :meth:`matrix` (so ``diagonal(basis).sum()`` is :meth:`trace`), without
        forming the matrix: a term that keeps every determinant is a product of number
        operators, which holds on a determinant exactly when all its spin-orbitals are
        occupied, with one sign for every such determinant (each spin-orbital is annihilated
        and created once, so the others' parities cancel). Each determinant's terms are added
        in the order the matrix sums them (its terms grouped by their annihilators)."""
        groups: dict[tuple[Term, int], list[tuple[Term, float]]] = {}
        for term, coef in self.diagonal_part().terms.items():
            k = len(term)
            while k > 0 and not term[k - 1][1]:
                k -= 1
            groups.setdefault((term[k:], k), []).append((term[:k], coef))
        out = np.zeros(len(basis))
        for (ann, _), members in groups.items():
            for cre, coef in members:
                term = cre + ann
                sign = number_product_sign(term)
                if sign == 0:
                    continue
                mask = np.uint64(0)
                for orb, _ in term:
                    mask |= _ONE << np.uint64(orb)
                hit = (basis.dets & mask) == mask
                out[hit] += float(sign) * coef
        return out


def number_product_sign(term: Term) -> int:
    """The sign of a product of ladder operators that keeps every determinant, on the
    determinant holding just its spin-orbitals (0 if it vanishes there)."""
    state = 0
    for orb, _ in term:
        state |= 1 << orb
    sign = 1
    for orb, create in reversed(term):
        bit = 1 << orb
        if bool(state & bit) == create:
            return 0
        if bin(state & (bit - 1)).count("1") % 2:
            sign = -sign
        state ^= bit
    return sign


def one_body(pairs: Iterable[tuple[int, int, float]]) -> Operator:
    """Sum of coefficient * a+_p a_q over ``(p, q, coefficient)``."""
    op = Operator()
    for p, q, c in pairs:
        op.add(((p, True), (q, False)), c)
    return op


def two_body(elements: Iterable[tuple[int, int, int, int, float]]) -> Operator:
    """(1/2) sum <ij|g|kl> a+_i a+_j a_l a_k over ``(i, j, k, l, <ij|g|kl>)``.

    Terms are brought to a canonical order (i < j, l > k) so that equal products are merged.
    """
    op = Operator()
    for i, j, k, l, v in elements:
        if i == j or k == l or v == 0.0:
            continue
        c = 0.5 * v
        if i > j:
            i, j, c = j, i, -c
        if l < k:
            l, k, c = k, l, -c
        op.add(((i, True), (j, True), (l, False), (k, False)), c)
    return op.cleaned()
