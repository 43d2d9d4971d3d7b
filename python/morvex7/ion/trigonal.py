"""Trigonal sites (D3d and C3v; z on the three-fold axis, y on a two-fold axis) with the labels of
the textbook tables.

States are adapted to D3d* (:func:`morvex7.ion.pointgroups.d3d`) through two of its elements:
the rotation C3 about z, whose eigenvalue exp(-2 pi i M / 3) sorts the determinants into the
classes of M modulo 3, and the rotation C2y by pi about y, which maps a determinant to plus or
minus one determinant of opposite M. With ``r`` the class of M in (-3/2, 3/2]:

======  ============================================  ====  ==============================
irrep   row 1 (the states the builder keeps)           DIM   row 2
======  ============================================  ====  ==============================
A1, A2  r = 0, even (A1) or odd (A2) under C2y         1     —
E       the determinants of r = 1                      2     C2y row 1 (r = -1)
E1/2    the determinants of r = 1/2                    2     C2y row 1 (r = -1/2)
E3/2    the determinants of r = 3/2                    1     —
======  ============================================  ====  ==============================

E3/2 is the pair 1E3/2 + 2E3/2 of complex-conjugate one-dimensional irreps, which time reversal
makes degenerate. Kept together they are the real span of the r = 3/2 determinants (C2y maps it
onto itself), so every block stays real; each of its Kramers doublets shows as two states of one
energy, which is why its DIM is 1. Each label carries the parity, G or U (D3d); in C3v, which
lacks the inversion, the restriction of D3d's irreps gives the labels without it:
A1G, A2U -> A1; A2G, A1U -> A2; EG, EU -> E; E1/2 and E3/2 unchanged.

The model's operators (Coulomb, spin–orbit, 10Dq on the three-fold axis, Dsigma, Dtau, the
hybridisation per orbital set) commute with C3 and C2y, so a C3v site is built on the same states.

Dipole parts: A2U (C3v: A1) is E parallel to z, the spherical component q = 0; EU (C3v: E)
is E perpendicular to z, q = +1 and -1. A transition block holds one matrix element per pair of
copies, <excited row | D_q | ground row 1> for the first excited row and q (rows in order, q in
the order +1, 0, -1) that M allows, times sqrt(S): S is the number of (ground row, excited row,
q) combinations M allows, which the two-fold rotation makes equal in size (summed over
degenerate states for E3/2), so that the intensity summed over every row is S times one of
them. The polarisation factors are then those of a tetragonal site (A2U: z 1, iso 1/3; EU: xy
1/2, iso 1/3).
"""
from __future__ import annotations

from fractions import Fraction
from typing import Mapping, Sequence

import numpy as np

from .determinants import DeterminantBasis, Operator, Orbitals, configuration_dets, parity_bits, two_m_of
from .fieldsymmetry import residue
from .rotations import m_values, su2_from_axis_angle, wigner_d
from .symmetry import AdaptedIrrep, Configuration, Symmetry

#: twice the class of M of each row of the proper irreps (None: sorted by C2y, see _A_SIGN)
ROWS = {"A1": (0,), "A2": (0,), "E": (2, -2), "E1/2": (1, -1), "E3/2": (3,)}
#: C2y eigenvalue of the one-dimensional irreps of integer M
_A_SIGN = {"A1": 1, "A2": -1}
#: spherical components of the dipole's parts (D3d labels)
DIPOLE_Q = {"A2U": (0,), "EU": (1, -1)}
#: intensity factor of each part per polarisation (rows summed)
POLARISATION = {"A2U": {"iso": 1 / 3, "z": 1.0, "xy": 0.0}, "EU": {"iso": 1 / 3, "z": 0.0, "xy": 0.5}}
#: C3v label of each D3d label, per parity
C3V_LABEL = {1: {"A1": "A1", "A2": "A2", "E": "E", "E1/2": "E1/2", "E3/2": "E3/2"},
             -1: {"A1": "A2", "A2": "A1", "E": "E", "E1/2": "E1/2", "E3/2": "E3/2"}}
C3V_DIPOLE = {"A2U": "A1", "EU": "E"}


def c2y_images(orbitals: Orbitals, dets: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The rotation by pi about y on determinants: (image masks, signs), C2y |D> = sign |image>.

    Each spin-orbital goes to plus or minus the one of opposite m and spin (the one-electron
    matrices D^l and D^1/2 of the rotation); the sign also counts the reordering of the
    creation operators into increasing order.
    """
    n = orbitals.count
    target = np.zeros(n, dtype=np.int64)
    phase = np.zeros(n)
    u = su2_from_axis_angle([0, 1, 0], np.pi)
    half = wigner_d(Fraction(1, 2), u)  # rows and columns m = 1/2, -1/2
    for sh in orbitals.shells:
        dl = wigner_d(sh.l, u)
        ms = m_values(sh.l)
        for i, m, up in sh.orbitals():
            col_l, col_s = ms.index(m), 0 if up else 1
            row_l, row_s = ms.index(-m), 1 - col_s
            target[i] = sh.orbital(-m, not up)
            phase[i] = np.round((dl[row_l, col_l] * half[row_s, col_s]).real)
    if not np.allclose(np.abs(phase), 1.0):
        raise AssertionError("C2y is not a signed permutation of the spin-orbitals")
    dets = np.asarray(dets, dtype=np.uint64)
    image = np.zeros_like(dets)
    sign = np.ones(len(dets))
    one = np.uint64(1)
    for i in range(n):
        occ = ((dets >> np.uint64(i)) & one).astype(bool)
        t = np.uint64(target[i])
        # creation operators already placed above the new one: one transposition each
        above = image & ~((one << (t + one)) - one) if target[i] < 63 else np.zeros_like(image)
        flip = parity_bits(above)
        sign = np.where(occ, sign * phase[i] * (1 - 2 * flip), sign)
        image = np.where(occ, image | (one << t), image)
    return image, sign


class TrigonalAdapted(AdaptedIrrep):
    """Row-1 states of a trigonal irrep. ``identity``: the states are the basis determinants."""

    def __init__(self, label: str, dim: int, basis: DeterminantBasis, vectors: np.ndarray,
                 orbitals: Orbitals | None, identity: bool):
        super().__init__(label, dim, basis, (0,), vectors)
        self.orbitals = orbitals
        self.identity = identity

    def row(self, k: int) -> tuple[DeterminantBasis, np.ndarray]:
        """(basis, vectors (mult x len(basis))) of row k: row 2 is C2y applied to row 1."""
        v = self.vectors[:, 0, :]
        if k == 0:
            return self.basis, v
        image, sign = c2y_images(self.orbitals, self.basis.dets)
        basis = DeterminantBasis(image)
        out = np.zeros_like(v)
        out[:, basis.locate(image)] = v * sign
        return basis, out


def _split(label: str) -> tuple[str, int]:
    """("E1/2U") -> ("E1/2", -1)."""
    return label[:-1], 1 if label[-1] == "G" else -1


class TrigonalSymmetry(Symmetry):
    """D3d or C3v (see the module description)."""

    def __init__(self, name: str = "D3d") -> None:
        if name not in ("D3d", "C3v"):
            raise ValueError(f"no trigonal group {name!r}")
        self.name = name
        self.polarisations = ("iso", "z", "xy")
        self._space: dict[tuple, tuple] = {}

    # ------------------------------------------------------------- labels of C3v and D3d
    def _out(self, d3d_label: str) -> str:
        if self.name == "D3d":
            return d3d_label
        base, parity = _split(d3d_label)
        return C3V_LABEL[parity][base]

    def _in(self, label: str, parity: int) -> str:
        if self.name == "D3d":
            return label
        base = next(b for b, c in C3V_LABEL[parity].items() if c == label)
        return base + ("G" if parity > 0 else "U")

    # ------------------------------------------------------------- states
    def _classes(self, config: Configuration):
        key = (config.orbitals, config.occupations)
        if key not in self._space:
            basis = configuration_dets(config.orbitals, config.occupations)
            cls = np.array([residue(int(t), 3) for t in two_m_of(config.orbitals, basis.dets)])
            self._space[key] = (basis, cls, None)
        return self._space[key]

    def _a_states(self, config: Configuration) -> dict[str, tuple[DeterminantBasis, np.ndarray]]:
        """The r = 0 determinants and the states even (A1) and odd (A2) under C2y on them."""
        key = (config.orbitals, config.occupations)
        basis, cls, a = self._classes(config)
        if a is None:
            sub = basis.subset(cls == 0)
            image, sign = c2y_images(config.orbitals, sub.dets)
            j = sub.locate(image)
            if np.any(j < 0):
                raise AssertionError("C2y leaves the class M = 0 modulo 3")
            a = {}
            for name, s in _A_SIGN.items():
                rows = []
                for i in range(len(sub)):
                    if j[i] < i:
                        continue  # the pair was made from its partner
                    v = np.zeros(len(sub))
                    if j[i] == i:
                        if sign[i] != s:
                            continue
                        v[i] = 1.0
                    else:
                        v[i], v[j[i]] = 1.0, s * sign[i]
                        v /= np.sqrt(2.0)
                    rows.append(v)
                a[name] = (sub, np.array(rows).reshape(len(rows), len(sub)))
            self._space[key] = (basis, cls, a)
        return a

    def _d3d_labels(self, config: Configuration) -> dict[str, tuple[int, int]]:
        basis, cls, _ = self._classes(config)
        suffix = "G" if config.parity > 0 else "U"
        out = {}
        if config.occupations and sum(config.occupations) % 2 == 0:
            a = self._a_states(config)
            for name in ("A1", "A2"):
                if len(a[name][1]):
                    out[name + suffix] = (len(a[name][1]), 1)
            if np.any(cls == 2):
                out["E" + suffix] = (int(np.sum(cls == 2)), 2)
        else:
            for name, r, dim in (("E1/2", 1, 2), ("E3/2", 3, 1)):
                if np.any(cls == r):
                    out[name + suffix] = (int(np.sum(cls == r)), dim)
        return out

    def multiplicities(self, config: Configuration) -> dict[str, tuple[int, int]]:
        return {self._out(k): v for k, v in self._d3d_labels(config).items()}

    def adapt(self, config: Configuration, labels: Sequence[str]) -> dict[str, AdaptedIrrep]:
        present = self._d3d_labels(config)
        basis, cls, _ = self._classes(config)
        out: dict[str, AdaptedIrrep] = {}
        for lab in labels:
            inner = self._in(lab, config.parity)
            base, _ = _split(inner)
            dim = 1 if base in ("A1", "A2", "E3/2") else 2
            if inner not in present:
                out[lab] = TrigonalAdapted(inner, dim, DeterminantBasis(np.zeros(0)),
                                           np.zeros((0, 1, 0)), config.orbitals, True)
            elif base in _A_SIGN:
                sub, vec = self._a_states(config)[base]
                out[lab] = TrigonalAdapted(inner, dim, sub, vec[:, None, :], config.orbitals, False)
            else:
                sub = basis.subset(cls == ROWS[base][0])
                out[lab] = TrigonalAdapted(inner, dim, sub, np.eye(len(sub))[:, None, :],
                                           config.orbitals, True)
        return out

    def scalar_block(self, bra: AdaptedIrrep, op: Operator, ket: AdaptedIrrep) -> np.ndarray:
        if bra.mult == 0 or ket.mult == 0:
            return np.zeros((bra.mult, ket.mult))
        m = op.matrix(bra.basis, ket.basis)
        if bra.identity and ket.identity:
            return m.toarray()
        return super().scalar_block(bra, op, ket)

    # ------------------------------------------------------------- transitions
    def transition_labels(self) -> list[str]:
        return [self._out_dipole(p) for p in DIPOLE_Q]

    def _out_dipole(self, part: str) -> str:
        return part if self.name == "D3d" else C3V_DIPOLE[part]

    def _in_dipole(self, label: str) -> str:
        if self.name == "D3d":
            if label not in DIPOLE_Q:
                raise ValueError(f"unknown dipole part {label!r}")
            return label
        return next(p for p, c in C3V_DIPOLE.items() if c == label)

    def _combinations(self, ground: str, part: str, excited: str) -> list[tuple[int, int, int]]:
        """(ground row, excited row, q) that M allows, excited rows first, then q, in order."""
        g, e = ROWS[_split(ground)[0]], ROWS[_split(excited)[0]]
        out = []
        for re_, r_e in enumerate(e):
            for q in DIPOLE_Q[part]:
                for rg, r_g in enumerate(g):
                    if residue(r_g + 2 * q, 3) == r_e:
                        out.append((rg, re_, q))
        # the reference (first) combination starts from ground row 1
        out.sort(key=lambda c: c[0] != 0)
        return out

    def _allowed(self, ground: str, part: str, excited: str) -> bool:
        gb, gp = _split(ground)
        eb, ep = _split(excited)
        if gp == ep or not self._combinations(ground, part, excited):
            return False
        if gb in _A_SIGN and eb in _A_SIGN:
            # z is odd under C2y: A1 <-> A2
            return _A_SIGN[gb] != _A_SIGN[eb]
        return True

    def reached(self, ground_label: str, op_label: str) -> list[str]:
        g = self._in(ground_label, 1)
        part = self._in_dipole(op_label)
        labels = ["A1U", "A2U", "EU", "E1/2U", "E3/2U"] if g.endswith("G") else \
            ["A1G", "A2G", "EG", "E1/2G", "E3/2G"]
        spinor = "/" in g
        return [self._out(e) for e in labels
                if ("/" in e) == spinor and self._allowed(g, part, e)]

    def transition_block(self, ground: AdaptedIrrep, components: Mapping[int, Operator],
                         excited: AdaptedIrrep, op_label: str) -> np.ndarray:
        if ground.mult == 0 or excited.mult == 0:
            return np.zeros((ground.mult, excited.mult))
        part = self._in_dipole(op_label)
        combos = self._combinations(ground.label, part, excited.label)
        if not self._allowed(ground.label, part, excited.label):
            return np.zeros((ground.mult, excited.mult))
        _, re_, q = combos[0]
        e_basis, e_vec = excited.row(re_)
        m = components[q].matrix(e_basis, ground.basis)
        block = e_vec @ (m @ ground.vectors[:, 0, :].T)
        return np.sqrt(len(combos)) * np.asarray(block).T

    def polarisation_factor(self, ground_label: str, op_label: str, polarisation: str) -> float:
        if polarisation not in ("iso", "z", "xy"):
            raise ValueError(f"unknown polarisation {polarisation!r}")
        return POLARISATION[self._in_dipole(op_label)][polarisation]
