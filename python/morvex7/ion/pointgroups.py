"""The double groups O_h*, D_4h* and D_3d*: elements, classes and irreducible representations.

An element is a pair (u, parity): u in SU(2) is the rotation (u and -u are different elements,
the second being the "barred" element, a rotation by 2 pi more), parity is -1 for the improper
elements (the rotation followed by the inversion). The inversion commutes with everything and
squares to the identity, so O_h* = O* x C_i and D_4h* = D_4* x C_i.

The irreducible representations are built numerically, not copied from tables: each irrep of the
proper group is an invariant subspace of D^j for a small j (A1 from j = 0, T1 from j = 1, E and T2
from j = 2, A2 from j = 3, E1/2 from j = 1/2, G3/2 from j = 3/2, E5/2 as the complement of G3/2 in
j = 5/2; in D4: A2 and E from j = 1, B1 and B2 from j = 2, E3/2 from j = 3/2). Its rows are the
eigenvectors of the 90-degree rotation about z (C4z) inside that subspace, ordered by decreasing
C4z label mu (eigenvalue exp(-i pi mu / 2), mu in (-2, 2]), each with its first non-zero
coefficient (m from j down) real and positive. So every irrep has one FIXED matrix representation
Gamma(g) = V^dagger D^j(g) V, and "row 1" (index 0) means the same partner in every configuration.
For T1U built from j = 1 the rows are the spherical components q = +1, 0, -1.
Even (G) and odd (U) irreps agree on proper elements; U changes sign on improper ones.
The character tables that follow are checked in the tests against the textbook values.
"""
from __future__ import annotations

from dataclasses import dataclass, field
from fractions import Fraction
from functools import lru_cache

import numpy as np

from .rotations import axis_angle_from_su2, m_values, so3_from_su2, su2_from_axis_angle, wigner_d

TOL = 1e-8


@dataclass(frozen=True)
class GroupElement:
    """One element of a double point group: SU(2) matrix `u` and `parity` (+1 proper, -1 improper)."""

    u: np.ndarray
    parity: int
    name: str

    def key(self) -> tuple:
        return (self.parity,) + tuple(np.round(np.concatenate([self.u.real.ravel(), self.u.imag.ravel()]), 6) + 0.0)


@dataclass
class Irrep:
    """An irreducible representation with its fixed matrices, one (dim x dim) matrix per element."""

    label: str
    matrices: np.ndarray  # shape (order, dim, dim)
    spinor: bool  # True for the double-valued irreps (matrix of the barred identity is -1)
    parity: int  # +1 for G, -1 for U
    mu: tuple[Fraction, ...]  # C4z label of each row

    @property
    def dim(self) -> int:
        return self.matrices.shape[1]

    @property
    def characters(self) -> np.ndarray:
        return np.trace(self.matrices, axis1=1, axis2=2)


@dataclass
class PointGroup:
    """A double point group with inversion: elements, multiplication table, classes, irreps."""

    name: str
    elements: list[GroupElement]
    table: np.ndarray  # table[a, b] = index of elements[a] * elements[b]
    inverse: np.ndarray
    classes: list[list[int]]
    irreps: dict[str, Irrep] = field(default_factory=dict)

    @property
    def order(self) -> int:
        return len(self.elements)

    def index(self, u: np.ndarray, parity: int) -> int:
        """Index of the element (u, parity)."""
        key = GroupElement(u, parity, "").key()
        return self._lookup[key]

    def __post_init__(self) -> None:
        self._lookup = {g.key(): i for i, g in enumerate(self.elements)}
        self._wigner: dict[Fraction, np.ndarray] = {}

    def wigner(self, j: float | Fraction) -> np.ndarray:
        """D^j(u) of every element (rotation part only), computed once per j."""
        key = Fraction(j).limit_denominator(2)
        if key not in self._wigner:
            self._wigner[key] = np.array([wigner_d(key, g.u) for g in self.elements])
        return self._wigner[key]

    def c4_cosets(self) -> tuple[list[int], int]:
        """Representatives s of the left cosets s H of H = {C4z^k}, and the order of H.

        Every irrep row here is a C4z eigenvector, so a transfer operator acting on a vector of
        the matching C4z sector needs only the sum over these representatives (times |H|).
        """
        c4 = self.index(su2_from_axis_angle([0, 0, 1], np.pi / 2), 1)
        sub, g = [0], int(self.table[0, c4])
        while g != 0:
            sub.append(g)
            g = int(self.table[g, c4])
        reps, covered = [], set()
        for s in range(self.order):
            if s not in covered:
                reps.append(s)
                covered.update(int(self.table[s, h]) for h in sub)
        return reps, len(sub)

    def rep(self, j: float | Fraction, parity: int = 1) -> np.ndarray:
        """Matrices of D^j on every element, times `parity` on the improper ones.

        For an orbital of angular momentum l use parity (-1)**l; for a many-electron state the
        parity of its configuration.
        """
        sign = np.array([parity if g.parity < 0 else 1 for g in self.elements])
        return self.wigner(j) * sign[:, None, None]

    def multiplicities(self, characters: np.ndarray) -> dict[str, int]:
        """How often each irrep occurs in a representation with the given characters."""
        out = {}
        for label, ir in self.irreps.items():
            m = np.vdot(ir.characters, characters) / self.order
            if abs(m - round(m.real)) > 1e-6:
                raise ValueError(f"non-integer multiplicity {m} of {label}: not a representation")
            if round(m.real):
                out[label] = int(round(m.real))
        return out

    def branching(self, j: float | Fraction, parity: int = 1) -> dict[str, int]:
        """Irreps contained in D^j with the given parity (e.g. l = 2, +1 -> {EG: 1, T2G: 1})."""
        return self.multiplicities(np.trace(self.rep(j, parity), axis1=1, axis2=2))


def _element_name(u: np.ndarray, parity: int) -> str:
    axis, angle = axis_angle_from_su2(u)
    rot = so3_from_su2(u)
    if np.allclose(rot, np.eye(3), atol=1e-9):
        base = "E" if np.real(u[0, 0]) > 0 else "-E"
    else:
        # rotation angle phi in (0, pi] about a unit axis a; the lift exp(-i phi/2 a.sigma) is the
        # plain element, its negative the barred one
        phi = np.arccos(np.clip((np.trace(rot) - 1) / 2, -1, 1))
        if np.isclose(phi, np.pi):
            phi = np.pi  # arccos near -1 loses half the digits
            w, v = np.linalg.eigh((rot + rot.T) / 2)
            a = v[:, np.argmax(w)]
            a = a * np.sign(a[np.flatnonzero(np.abs(a) > 1e-6)[0]])
        else:
            a = np.array([rot[2, 1] - rot[1, 2], rot[0, 2] - rot[2, 0], rot[1, 0] - rot[0, 1]])
            a = a / np.linalg.norm(a)
        plain = su2_from_axis_angle(a, phi)
        n = int(round(2 * np.pi / phi))
        scale = np.min(np.abs(a[np.abs(a) > 1e-6]))
        ints = np.round(a / scale)
        if np.allclose(ints / np.linalg.norm(ints), a, atol=1e-6):
            ax = ",".join(str(int(c)) for c in ints)
        else:  # an axis without small integer indices (the trigonal two-fold ones): its angles
            ax = f"theta={np.degrees(np.arccos(np.clip(a[2], -1, 1))):.0f},phi={np.degrees(np.arctan2(a[1], a[0])):.0f}"
        base = f"C{n}({ax})" + ("" if np.allclose(plain, u, atol=1e-9) else "~")
    return ("I*" + base) if parity < 0 else base


def _close(generators: list[tuple[np.ndarray, int]]) -> list[GroupElement]:
    """All products of the generators (breadth first), identity first."""
    elems = [GroupElement(np.eye(2, dtype=complex), 1, "E")]
    seen = {elems[0].key()}
    frontier = list(elems)
    while frontier:
        new = []
        for g in frontier:
            for u, p in generators:
                h = GroupElement(g.u @ u, g.parity * p, "")
                if h.key() not in seen:
                    seen.add(h.key())
                    new.append(h)
        elems += new
        frontier = new
    return elems


def _make_group(name: str, generators: list[tuple[np.ndarray, int]],
                centrosymmetric: bool = True) -> PointGroup:
    raw = _close(generators)
    if centrosymmetric:
        # proper elements first, then the improper ones in the same order
        proper = [g for g in raw if g.parity > 0]
        elements = [GroupElement(g.u, 1, _element_name(g.u, 1)) for g in proper]
        elements += [GroupElement(g.u, -1, _element_name(g.u, -1)) for g in proper]
    else:
        elements = [GroupElement(g.u, g.parity, _element_name(g.u, g.parity)) for g in raw]
    lookup = {g.key(): i for i, g in enumerate(elements)}
    n = len(elements)
    table = np.empty((n, n), dtype=int)
    for a, ga in enumerate(elements):
        for b, gb in enumerate(elements):
            table[a, b] = lookup[GroupElement(ga.u @ gb.u, ga.parity * gb.parity, "").key()]
    inverse = np.array([int(np.flatnonzero(table[a] == 0)[0]) for a in range(n)])
    classes, done = [], set()
    for a in range(n):
        if a in done:
            continue
        cls = sorted({int(table[table[x, a], inverse[x]]) for x in range(n)})
        done.update(cls)
        classes.append(cls)
    return PointGroup(name, elements, table, inverse, classes)


def _invariant_span(rep: np.ndarray, seed: np.ndarray) -> np.ndarray:
    """Orthonormal basis of the smallest invariant subspace containing `seed`."""
    vecs = np.array([d @ seed for d in rep]).T
    u, s, _ = np.linalg.svd(vecs)
    return u[:, : int(np.sum(s > TOL * s[0]))]


def _canonical_rows(rep: np.ndarray, space: np.ndarray, c4: int, j: Fraction) -> tuple[np.ndarray, tuple]:
    """Rows of the irrep in `space`: C4z eigenvectors by decreasing mu, first coefficient > 0."""
    small = space.conj().T @ rep[c4] @ space
    w, v = np.linalg.eig(small)
    vecs = space @ v
    mus = []
    for lam in w:
        mu = Fraction(-2 * np.angle(lam) / np.pi).limit_denominator(2)
        mus.append(mu + 4 if mu <= -2 else mu)
    if len(set(mus)) != len(mus):
        raise ValueError("C4z does not separate the rows of this irrep")
    order = sorted(range(len(mus)), key=lambda k: -mus[k])
    rows = []
    for k in order:
        vec = vecs[:, k] / np.linalg.norm(vecs[:, k])
        first = vec[np.flatnonzero(np.abs(vec) > 1e-6)[0]]
        rows.append(vec * abs(first) / first)
    return np.array(rows).T, tuple(mus[k] for k in order)


def _proper_irreps(group: PointGroup, sources: list[tuple]) -> dict[str, Irrep]:
    """Build the proper-group irreps from (label, j, seed m-vector or ('complement', label))."""
    c4 = group.index(su2_from_axis_angle([0, 0, 1], np.pi / 2), 1)
    out: dict[str, Irrep] = {}
    for label, j, how in sources:
        j = Fraction(j)
        rep = group.rep(j)
        if isinstance(how, tuple):  # orthogonal complement of an irrep already built
            other = out[how[1]]
            proj = sum(np.conj(c) * d for c, d in zip(other.characters, rep)) * other.dim / group.order
            w, v = np.linalg.eigh(np.eye(len(rep[0])) - proj)
            space = v[:, w > 0.5]
        else:
            seed = np.zeros(len(m_values(j)), dtype=complex)
            for m, c in how.items():
                seed[m_values(j).index(Fraction(m))] = c
            space = _invariant_span(rep, seed)
        vecs, mus = _canonical_rows(rep, space, c4, j)
        mats = np.einsum("ia,gij,jb->gab", vecs.conj(), rep, vecs)
        out[label] = Irrep(label, mats, spinor=j.denominator == 2, parity=1, mu=mus)
    return out


def _with_parity(group: PointGroup, proper: dict[str, Irrep]) -> dict[str, Irrep]:
    sign = np.array([g.parity for g in group.elements], dtype=float)[:, None, None]
    out = {}
    for suffix, p in (("G", 1), ("U", -1)):
        for label, ir in proper.items():
            mats = ir.matrices * (sign if p < 0 else 1.0)
            out[label + suffix] = Irrep(label + suffix, mats, ir.spinor, p, ir.mu)
    return out


_S = 2 ** -0.5

_OH_SPECS = [
    ("A1", 0, {0: 1}),
    ("A2", 3, {2: _S, -2: -_S}),  # xyz
    ("E", 2, {0: 1}),  # 3z^2 - r^2
    ("T1", 1, {1: 1}),
    ("T2", 2, {1: 1}),
    ("E1/2", "1/2", {"1/2": 1}),
    ("G3/2", "3/2", {"3/2": 1}),
    ("E5/2", "5/2", ("complement", "G3/2")),
]

_D4H_SPECS = [
    ("A1", 0, {0: 1}),
    ("A2", 1, {0: 1}),  # z
    ("B1", 2, {2: _S, -2: _S}),  # x^2 - y^2
    ("B2", 2, {2: _S, -2: -_S}),  # xy
    ("E", 1, {1: 1}),  # (x, y)
    ("E1/2", "1/2", {"1/2": 1}),
    ("E3/2", "3/2", {"3/2": 1}),
]


def _build(name: str, generators: list, sources: list) -> PointGroup:
    group = _make_group(name, generators)
    restricted = PointGroup(name, group.elements, group.table, group.inverse, group.classes)
    group.irreps = _with_parity(group, _proper_irreps(restricted, sources))
    return group


@lru_cache(maxsize=None)
def oh() -> PointGroup:
    """The double group O_h* (96 elements, 16 irreps: A1..T2, E1/2, E5/2, G3/2, each G and U)."""
    c4z = su2_from_axis_angle([0, 0, 1], np.pi / 2)
    c3 = su2_from_axis_angle([1, 1, 1], 2 * np.pi / 3)
    return _build("Oh", [(c4z, 1), (c3, 1), (np.eye(2, dtype=complex), -1)], _OH_SPECS)


@lru_cache(maxsize=None)
def d4h() -> PointGroup:
    """The double group D_4h* (32 elements, 14 irreps: A1, A2, B1, B2, E, E1/2, E3/2, G and U).

    The two-fold axes C2' are x and y, the C2'' the diagonals (so x^2 - y^2 is B1 and xy is B2).
    """
    c4z = su2_from_axis_angle([0, 0, 1], np.pi / 2)
    c2x = su2_from_axis_angle([1, 0, 0], np.pi)
    return _build("D4h", [(c4z, 1), (c2x, 1), (np.eye(2, dtype=complex), -1)], _D4H_SPECS)


#: D3*'s irreps as (label, j, m of row 1): row 1 is |j m>, row 2 (if any) the two-fold rotation
#: about y applied to it. E3/2 is the pair 1E3/2 + 2E3/2 of complex-conjugate one-dimensional
#: irreps, kept together as the real two-dimensional span of |3/2, 3/2> and |3/2, -3/2>.
_D3_ROWS = [("A1", 0, 0), ("A2", 1, 0), ("E", 1, 1), ("E1/2", "1/2", "1/2"), ("E3/2", "3/2", "3/2")]


@lru_cache(maxsize=None)
def d3d() -> PointGroup:
    """The double group D_3d* (24 elements) with z on the three-fold axis and y on a two-fold one.

    Labels A1, A2, E, E1/2, E3/2, each G and U. The rows are those of the trigonal adaptation
    (:mod:`morvex7.ion.trigonal`): row 1 the state of largest M in its class of M modulo 3, row 2
    = C2y row 1. E3/2 is reducible over the complex numbers (1E3/2 + 2E3/2, conjugate to each
    other and degenerate by time reversal); its two real rows give real matrices.
    """
    c3z = su2_from_axis_angle([0, 0, 1], 2 * np.pi / 3)
    c2y = su2_from_axis_angle([0, 1, 0], np.pi)
    group = _make_group("D3d", [(c3z, 1), (c2y, 1), (np.eye(2, dtype=complex), -1)])
    c2 = group.index(c2y, 1)
    proper = {}
    for label, j, m in _D3_ROWS:
        j, m = Fraction(j), Fraction(m)
        rep = group.rep(j)
        row1 = np.zeros(len(m_values(j)), dtype=complex)
        row1[m_values(j).index(m)] = 1.0
        vecs = row1[:, None] if m == 0 else np.stack([row1, rep[c2] @ row1], axis=1)
        mats = np.einsum("ia,gij,jb->gab", vecs.conj(), rep, vecs)
        proper[label] = Irrep(label, mats, spinor=j.denominator == 2, parity=1,
                              mu=tuple(Fraction(m) for m in ((m, -m) if m else (m,))))
    group.irreps = _with_parity(group, proper)
    return group


def point_group(name: str) -> PointGroup:
    """The group called "Oh", "D4h" or "D3d" (case-insensitive)."""
    key = name.lower()
    if key == "oh":
        return oh()
    if key == "d4h":
        return d4h()
    if key == "d3d":
        return d3d()
    raise ValueError(f"unknown point group {name!r}: expected Oh, D4h or D3d")


@lru_cache(maxsize=None)
def axial_group(name: str) -> PointGroup:
    """The elements of a subgroup kept by a field along z (no irreps: every irrep is
    one-dimensional, a class of Jz, see :mod:`morvex7.ion.fieldsymmetry`): "C4h", "C3i", "C3",
    "S4" (generated by I C4z^3)."""
    c4z = su2_from_axis_angle([0, 0, 1], np.pi / 2)
    c3z = su2_from_axis_angle([0, 0, 1], 2 * np.pi / 3)
    inversion = (np.eye(2, dtype=complex), -1)
    generators = {"C4h": [(c4z, 1), inversion], "C3i": [(c3z, 1), inversion], "C3": [(c3z, 1)],
                  "S4": [(c4z @ c4z @ c4z, -1)]}
    if name not in generators:
        raise ValueError(f"unknown field subgroup {name!r}")
    return _make_group(name, generators[name], centrosymmetric=name not in ("C3", "S4"))
