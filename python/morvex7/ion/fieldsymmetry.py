"""The symmetry of an ion in a magnetic or exchange field along z.

A field along the quantisation axis z keeps only the rotations about z (and the inversion):
below O3 the group C_inf_h, below Oh and D4h the double group C4h*, below the trigonal groups
C3i* (or C3*). Their irreps are one-dimensional and labelled by Jz modulo n (n = 4 for a
four-fold axis, 3 for a three-fold one, no modulus in spherical symmetry): a Slater determinant
of total M is an eigenvector of the rotation by 2 pi / n about z with eigenvalue
exp(-2 pi i M / n), so the states of one irrep are exactly the determinants with M in one
residue class. Every operator of the model (Coulomb, spin–orbit, the crystal fields with z on
their principal axis, hybridisation, the Zeeman and exchange terms) is a real matrix over
determinants that keeps that class, so the adapted states are the determinants themselves and
every block stays real.

Every block is therefore an operator's matrix between two sets of determinants, made sparse
(:meth:`morvex7.ion.determinants.Operator.matrix`) and kept sparse: with charge transfer a class
holds tens of thousands of determinants, and any dense array of that size (a block, the identity
of the adapted states) takes gigabytes.

Labels (upper case, as the engine reads them) are those of the subgroup's character table, with
the parity as the last letter (``G`` even, ``U`` odd) where the subgroup has the inversion:

===========  ======================================================================
C4h* (Oh,    Jz = 0: ``A``, 2: ``B``, +1: ``1E``, -1: ``2E``, +1/2: ``1E1/2``,
D4h)         -1/2: ``2E1/2``, +3/2: ``1E3/2``, -3/2: ``2E3/2`` (modulo 4), then G or U
C3i* (D3d)   Jz = 0: ``A``, +1: ``1E``, -1: ``2E``, +1/2: ``1E1/2``, -1/2: ``2E1/2``,
             3/2: ``A3/2`` (modulo 3), then G or U
C3* (C3v)    as C3i*, without the parity
S4* (Td)     as C4h* without the parity, for Jz + 2 in the odd states: S4 = I C4z^3
             has the character p exp(-3 pi i Jz / 2) on states of parity p
C_inf_h (O3) ``JZ`` and the value of Jz itself, then G or U: ``JZ-7/2U``
===========  ======================================================================

Of each complex-conjugate pair, ``1`` holds Jz = +|m| (the rotation C_n about z has the
character exp(-2 pi i |m| / n) there; states rotate as exp(-i phi Jz)), ``2`` holds -|m|.
The dipole
operator's parts are its spherical components: ``D1`` (q = +1, absorbs sigma+ light, helicity
+1 about +z), ``D0`` (q = 0, E parallel to z), ``D-1`` (q = -1, sigma-).

Polarisations (intensity factor of each part, every irrep being one-dimensional):

=========  =====  =====  ======
spectrum   D1     D0     D-1
=========  =====  =====  ======
sigma+     1      0      0
sigma-     0      0      1
z          0      1      0
xy         1/2    0      1/2
iso        1/3    1/3    1/3
=========  =====  =====  ======

``xy`` is linear light with E along x: D_x = (D_-1 - D_1)/sqrt 2, whose cross term
<f|D_-1|i><f|D_1|i>* vanishes because no final state is reached by both (M_f would have to be
M_i + 1 and M_i - 1 modulo n, impossible for n >= 3). So iso = (sigma+ + sigma- + z)/3.

Pairs at zero field (``paired``). Without a field, time reversal T commutes with the
Hamiltonian and maps the states of Jz class m onto those of -m with the same energies, and
T D_q T^-1 = (-1)^q D_-q. A line from initial state i through D_q therefore has the intensity of
the line from T i through D_-q, at the same energy: the triad (g, D_q, f) and its partner
(-g, D_-q, -f) give the same spectrum, with the polarisation factors swapped between q and -q.
A paired model keeps one triad of each pair, with the sum of the two factors: the one whose
ground class is the upper one of its pair (positive representative of Jz), then the one whose
core-hole class is. So the engine diagonalises the ground states of one class of each pair only
(a dense diagonalisation, the dearest step of a large charge-transfer model). Every ground class
still counts in the Boltzmann sum, with its partner's energies: model.json names each ground
symmetry's ``partner``.

The states of a lower class -m are taken as the time-reversed states T|D> of the determinants D
of its partner m, in their order (:class:`ReversedStates`): every block of an operator even under
T (every operator of a model without a field) is then the same matrix in both classes, so the
lower class's Hamiltonian and hybridisation blocks are never made, only shared with its partner
(and stored once). With the spin-orbitals (m, up) and (m, down) of a shell,
T|m up> = (-1)^m |-m down> and T|m down> = -(-1)^m |-m up> (Condon-Shortley phases), and a
determinant's image, its ladder operators taken in their order, is put back into ascending
order with the sign of reversing each shell. Only iso, z and xy keep their meaning in a paired
model; sigma+ and sigma- both become their average, as they are at zero field. A field switched
on in a run would break the pairing, so a paired model has no field operators.
"""
from __future__ import annotations

from fractions import Fraction
from typing import Mapping, Sequence

import numpy as np
import scipy.sparse as sp

_ONE = np.uint64(1)

from .determinants import DeterminantBasis, Operator, configuration_dets, two_m_of
from .symmetry import AdaptedIrrep, Configuration, Symmetry

#: dipole part label -> spherical component q
DIPOLE_PARTS = {"D1": 1, "D0": 0, "D-1": -1}

#: intensity factor of each dipole part per polarisation
FIELD_POLARISATION = {
    "iso": {"D1": 1 / 3, "D0": 1 / 3, "D-1": 1 / 3},
    "z": {"D1": 0.0, "D0": 1.0, "D-1": 0.0},
    "xy": {"D1": 0.5, "D0": 0.0, "D-1": 0.5},
    "sigma+": {"D1": 1.0, "D0": 0.0, "D-1": 0.0},
    "sigma-": {"D1": 0.0, "D0": 0.0, "D-1": 1.0},
}

#: the subgroup kept by a field along z, and the order n of its rotation axis (0: continuous)
SUBGROUPS = {"O3": ("Cinfh", 0), "Oh": ("C4h", 4), "D4h": ("C4h", 4), "Td": ("S4", 4),
             "D3d": ("C3i", 3), "C3v": ("C3", 3)}


def residue(two_m: int, n: int) -> int:
    """Twice the representative of M modulo n in (-n/2, n/2] (n = 0: M itself), from 2M."""
    if n == 0:
        return two_m
    r = two_m % (2 * n)
    return r - 2 * n if r > n else r


def residues(two_m: np.ndarray, n: int) -> np.ndarray:
    """:func:`residue` of every element of an integer array."""
    two_m = np.asarray(two_m, dtype=np.int64)
    if n == 0:
        return two_m
    r = two_m % (2 * n)
    return np.where(r > n, r - 2 * n, r)


#: name of each class of twice Jz (its representative in (-n, n]) in the cyclic double groups
CYCLIC_NAMES = {
    4: {0: "A", 4: "B", 2: "1E", -2: "2E", 1: "1E1/2", -1: "2E1/2", 3: "1E3/2", -3: "2E3/2"},
    3: {0: "A", 2: "1E", -2: "2E", 1: "1E1/2", -1: "2E1/2", 3: "A3/2"},
}
#: rotation order n and whether the subgroup has the inversion (else the parity is not in labels)
SUBGROUP_AXIS = {"Cinfh": (0, True), "C4h": (4, True), "C3i": (3, True), "C3": (3, False),
                 "S4": (4, False)}


def field_label(two_m: int, parity: int, subgroup: str) -> str:
    """The label of the irrep of ``subgroup`` holding the states of 2 Jz = two_m and parity."""
    n, inversion = SUBGROUP_AXIS[subgroup]
    suffix = "G" if parity > 0 else "U"
    if n == 0:
        return f"JZ{Fraction(two_m, 2)}{suffix}"
    if subgroup == "S4" and parity < 0:
        two_m += 4  # I C4z^3 on an odd state: the character of Jz + 2
    return CYCLIC_NAMES[n][residue(two_m, n)] + (suffix if inversion else "")


def parse_field_label(text: str, subgroup: str, parity: int) -> int:
    """Twice Jz (its class representative) of the states of label ``text`` and ``parity``:
    ("2E1/2U", "C4h", -1) -> -1."""
    n, _ = SUBGROUP_AXIS[subgroup]
    if n == 0:
        if text.startswith("JZ") and text[-1:] == ("G" if parity > 0 else "U"):
            try:
                return int(2 * Fraction(text[2:-1]))
            except ValueError:
                pass
    else:
        for r in CYCLIC_NAMES[n]:
            if field_label(r, parity, subgroup) == text:
                return r
    raise ValueError(f"{text!r} is not a label of {subgroup} for states of parity {parity:+d}")


class DeterminantStates(AdaptedIrrep):
    """The states of one class of Jz: the determinants of ``basis`` themselves, one copy each.

    Their coefficient array (the identity) is never needed by the field path, which takes every
    block straight from the operators' matrices; it is formed only if some caller asks for it.
    """

    def __init__(self, label: str, basis: DeterminantBasis) -> None:
        self.label, self.dim, self.basis, self.rows = label, 1, basis, (0,)

    def __repr__(self) -> str:
        return f"DeterminantStates({self.label!r}, mult={self.mult})"

    @property
    def mult(self) -> int:
        return len(self.basis)

    @property
    def vectors(self) -> np.ndarray:
        return np.eye(self.mult)[:, None, :]


class ReversedStates(DeterminantStates):
    """The states T|D_k> = signs[k] |basis[order[k]]> of a lower class: the time-reversed
    determinants of its partner class, in the partner's order."""

    def __init__(self, label: str, basis: DeterminantBasis, order: np.ndarray,
                 signs: np.ndarray) -> None:
        super().__init__(label, basis)
        self.order, self.signs = order, signs


def time_reversed(orbitals, dets: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The determinants T|D> = sign * |image> of ``dets``: (images, signs).

    T takes spin-orbital (m, up) of a shell to (-m, down) with the phase (-1)^m and (m, down)
    to (-m, up) with -(-1)^m: within a shell numbered by m = -l..l, up then down, that reverses
    the numbering. The images of a determinant's ladder operators stand in the reverse order
    within each shell, so putting them back costs (-1)^(n(n-1)/2) for n electrons there."""
    dets = np.asarray(dets, dtype=np.uint64)
    images = np.zeros_like(dets)
    minus = np.zeros_like(dets)  # parity of the phases and reorderings, bit 0
    for shell in orbitals.shells:
        count = np.zeros(len(dets), dtype=np.int64)
        for i, m, up in shell.orbitals():
            bit = (dets >> np.uint64(i)) & _ONE
            images |= bit << np.uint64(shell.orbital(-m, not up))
            count += bit.astype(np.int64)
            if (m % 2 == 1) == up:  # the phase -1: odd m up, even m down
                minus ^= bit
        minus ^= ((count * (count - 1) // 2) % 2).astype(np.uint64)
    return images, np.where(minus == 1, -1.0, 1.0)


def states_matrix(op: Operator, bra: DeterminantStates, ket: DeterminantStates) -> sp.csr_matrix:
    """<bra_i| op |ket_j> over two classes' states, determinants or time-reversed ones."""
    m = op.matrix(bra.basis, ket.basis)
    if isinstance(bra, ReversedStates):
        m = sp.diags(bra.signs) @ m[bra.order]
    if isinstance(ket, ReversedStates):
        m = m[:, ket.order] @ sp.diags(ket.signs)
    return sp.csr_matrix(m)


class FieldSymmetry(Symmetry):
    """Rotations about z (modulo n) and the inversion: the symmetry left by a field along z.

    ``parent`` is the symmetry of the model without the field (O3, Oh, D4h, ...).
    """

    def __init__(self, parent: str, paired: bool = False) -> None:
        if parent not in SUBGROUPS:
            raise ValueError(f"no field subgroup of {parent!r}")
        self.parent = parent
        self.paired = paired
        self.subgroup, self.n = SUBGROUPS[parent]
        self.name = f"{parent}+field"
        self.polarisations = tuple(FIELD_POLARISATION)
        self._dets: dict[tuple, tuple[DeterminantBasis, np.ndarray]] = {}

    def _space(self, config: Configuration) -> tuple[DeterminantBasis, np.ndarray]:
        key = (config.orbitals, config.occupations)
        if key not in self._dets:
            basis = configuration_dets(config.orbitals, config.occupations)
            self._dets[key] = (basis, residues(two_m_of(config.orbitals, basis.dets), self.n))
        return self._dets[key]

    def multiplicities(self, config: Configuration) -> dict[str, tuple[int, int]]:
        _, res = self._space(config)
        out = {}
        for r in sorted(set(res.tolist()), key=lambda v: (abs(v), -v)):
            out[field_label(r, config.parity, self.subgroup)] = (int(np.sum(res == r)), 1)
        return out

    def adapt(self, config: Configuration, labels: Sequence[str]) -> dict[str, AdaptedIrrep]:
        basis, res = self._space(config)
        out = {}
        for lab in labels:
            try:
                two_m = parse_field_label(lab, self.subgroup, config.parity)
            except ValueError:  # a label of the other parity
                out[lab] = DeterminantStates(lab, DeterminantBasis(np.zeros(0)))
                continue
            out[lab] = DeterminantStates(lab, basis.subset(res == residue(two_m, self.n)))
        return out

    def averages(self, config: Configuration, ops: Sequence[Operator]) -> list[float]:
        # the configuration's determinants are at hand; each trace is the generic one's
        # number (Operator.trace), summed from the diagonal without forming the matrix
        basis, _ = self._space(config)
        return [float(op.diagonal(basis).sum()) / len(basis) for op in ops]

    def scalar_block(self, bra: AdaptedIrrep, op: Operator, ket: AdaptedIrrep) -> sp.csr_matrix:
        # the adapted states are the determinants: the block is the operator's matrix,
        # canonical CSR without zeros (the builder's compact and the writer keep it as it is)
        if bra.mult == 0 or ket.mult == 0:
            return sp.csr_matrix((bra.mult, ket.mult))
        return states_matrix(op, bra, ket)

    def hamiltonian_block(self, irrep: AdaptedIrrep, op: Operator) -> sp.csr_matrix:
        return self.scalar_block(irrep, op, irrep)

    def mixing_block(self, bra: AdaptedIrrep, op: Operator, ket: AdaptedIrrep,
                     scale: float | None = None) -> sp.csr_matrix:
        return self.scalar_block(bra, op, ket)

    def transition_labels(self) -> list[str]:
        return list(DIPOLE_PARTS)

    def _parity(self, label: str) -> int:
        # states are even where the label cannot say (Td and C3v hold d shells only)
        return -1 if SUBGROUP_AXIS[self.subgroup][1] and label.endswith("U") else 1

    def reached(self, ground_label: str, op_label: str) -> list[str]:
        parity = self._parity(ground_label)
        two_m = parse_field_label(ground_label, self.subgroup, parity)
        return [field_label(two_m + 2 * DIPOLE_PARTS[op_label], -parity, self.subgroup)]

    def partner(self, label: str, parity: int | None = None) -> str:
        """The label of the time-reversed class: Jz -> -Jz (the class itself for Jz = 0, for
        n/2 and, modulo 3, for 3/2). ``parity`` where the label does not carry it (Td, C3v:
        the parity of the states of the class)."""
        parity = self._parity(label) if parity is None else parity
        return field_label(-parse_field_label(label, self.subgroup, parity), parity,
                           self.subgroup)

    def _lower(self, label: str) -> bool:
        """Whether a class is the lower one of its time-reversed pair (never a class that is
        its own partner)."""
        n = self.n
        two_m = parse_field_label(label, self.subgroup, self._parity(label))
        return residue(two_m, n) < 0 and residue(-two_m, n) > 0

    def keeps(self, ground_label: str, op_label: str, excited_label: str) -> bool:
        """Whether the triad is built: always in a field; paired, when it is the one of its
        time-reversed pair with the upper core-hole class (then the upper ground class)."""
        if not self.paired:
            return True
        key = (self._lower(ground_label), self._lower(excited_label))
        twin = (self._lower(self.partner(ground_label)), self._lower(self.partner(excited_label)))
        return key <= twin

    def stored(self, label: str) -> str:
        """The class whose blocks stand for ``label``'s: its partner when paired and ``label``
        is the lower class of its pair (see :class:`ReversedStates`), else itself."""
        return self.partner(label) if self.paired and self._lower(label) else label

    def reversed_states(self, config: Configuration, label: str,
                        partner: "DeterminantStates") -> "ReversedStates":
        """The states of the lower class ``label`` of ``config``: T|D> of the determinants of
        its ``partner`` class, in their order."""
        basis, _ = self._space(config)
        images, signs = time_reversed(config.orbitals, partner.basis.dets)
        mine = basis.subset(np.isin(basis.dets, images))
        return ReversedStates(label, mine, mine.locate(images), signs)

    def transition_block(self, ground: AdaptedIrrep, components: Mapping[int, Operator],
                         excited: AdaptedIrrep, op_label: str) -> np.ndarray:
        if ground.mult == 0 or excited.mult == 0:
            return sp.csr_matrix((ground.mult, excited.mult))
        m = states_matrix(components[DIPOLE_PARTS[op_label]], excited, ground)
        return m.T.tocsr()

    def polarisation_factor(self, ground_label: str, op_label: str, polarisation: str) -> float:
        if polarisation not in FIELD_POLARISATION:
            raise ValueError(f"unknown polarisation {polarisation!r}")
        factor = FIELD_POLARISATION[polarisation][op_label]
        if not self.paired or (op_label == "D0" and self.partner(ground_label) == ground_label):
            return factor  # a field, or a triad that is its own partner
        q = DIPOLE_PARTS[op_label]
        return factor + FIELD_POLARISATION[polarisation][f"D{-q}" if q else "D0"]
