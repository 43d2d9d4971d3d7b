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

Labels (upper case, as the engine reads them): ``JZ`` + the representative of the class in (-n/2, n/2] + the parity (``G`` even,
``U`` odd): ``JZ-1/2G``, ``JZ0U``, ``JZ2G`` (n = 4), ``JZ-7/2U`` (spherical). The dipole
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
"""
from __future__ import annotations

from fractions import Fraction
from typing import Mapping, Sequence

import numpy as np

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


def field_label(two_m: int, parity: int, n: int) -> str:
    """The label of the irrep holding states of 2M = two_m and the given parity."""
    m = Fraction(residue(two_m, n), 2)
    return f"JZ{m}{'G' if parity > 0 else 'U'}"


def parse_field_label(text: str) -> tuple[int, int]:
    """("JZ-3/2U") -> (2M, parity) = (-3, -1)."""
    if not text.startswith("JZ") or text[-1:] not in ("G", "U"):
        raise ValueError(f"not a field-subgroup label: {text!r}")
    return int(2 * Fraction(text[2:-1])), 1 if text[-1] == "G" else -1


class FieldSymmetry(Symmetry):
    """Rotations about z (modulo n) and the inversion: the symmetry left by a field along z.

    ``parent`` is the symmetry of the model without the field (O3, Oh, D4h, ...).
    """

    def __init__(self, parent: str) -> None:
        if parent not in SUBGROUPS:
            raise ValueError(f"no field subgroup of {parent!r}")
        self.parent = parent
        self.subgroup, self.n = SUBGROUPS[parent]
        self.name = f"{parent}+field"
        self.polarisations = tuple(FIELD_POLARISATION)
        self._dets: dict[tuple, tuple[DeterminantBasis, np.ndarray]] = {}

    def _space(self, config: Configuration) -> tuple[DeterminantBasis, np.ndarray]:
        key = (config.orbitals, config.occupations)
        if key not in self._dets:
            basis = configuration_dets(config.orbitals, config.occupations)
            tm = two_m_of(config.orbitals, basis.dets)
            self._dets[key] = (basis, np.array([residue(int(v), self.n) for v in tm]))
        return self._dets[key]

    def multiplicities(self, config: Configuration) -> dict[str, tuple[int, int]]:
        _, res = self._space(config)
        out = {}
        for r in sorted(set(res.tolist()), key=lambda v: (abs(v), -v)):
            out[field_label(r, config.parity, self.n)] = (int(np.sum(res == r)), 1)
        return out

    def adapt(self, config: Configuration, labels: Sequence[str]) -> dict[str, AdaptedIrrep]:
        basis, res = self._space(config)
        out = {}
        for lab in labels:
            two_m, parity = parse_field_label(lab)
            if parity != config.parity:
                out[lab] = AdaptedIrrep(lab, 1, DeterminantBasis(np.zeros(0)), (0,), np.zeros((0, 1, 0)))
                continue
            sector = basis.subset(res == residue(two_m, self.n))
            out[lab] = AdaptedIrrep(lab, 1, sector, (0,), np.eye(len(sector))[:, None, :])
        return out

    def scalar_block(self, bra: AdaptedIrrep, op: Operator, ket: AdaptedIrrep) -> np.ndarray:
        # the adapted states are the determinants: the block is the operator's matrix
        if bra.mult == 0 or ket.mult == 0:
            return np.zeros((bra.mult, ket.mult))
        return op.matrix(bra.basis, ket.basis).toarray()

    def transition_labels(self) -> list[str]:
        return list(DIPOLE_PARTS)

    def reached(self, ground_label: str, op_label: str) -> list[str]:
        two_m, parity = parse_field_label(ground_label)
        return [field_label(two_m + 2 * DIPOLE_PARTS[op_label], -parity, self.n)]

    def transition_block(self, ground: AdaptedIrrep, components: Mapping[int, Operator],
                         excited: AdaptedIrrep, op_label: str) -> np.ndarray:
        if ground.mult == 0 or excited.mult == 0:
            return np.zeros((ground.mult, excited.mult))
        m = components[DIPOLE_PARTS[op_label]].matrix(excited.basis, ground.basis)
        return m.toarray().T

    def polarisation_factor(self, ground_label: str, op_label: str, polarisation: str) -> float:
        if polarisation not in FIELD_POLARISATION:
            raise ValueError(f"unknown polarisation {polarisation!r}")
        return FIELD_POLARISATION[polarisation][op_label]


class TrigonalSymmetry(FieldSymmetry):
    """A trigonal site (D3d or C3v, z on the three-fold axis) adapted by its rotations about z:
    C3i* (C3* for C3v), one-dimensional irreps labelled by Jz modulo 3 (``JZ0G``, ``JZ1G``,
    ``JZ-1G``, ``JZ1/2U``, ``JZ3/2U``, ...), with or without a field along z. The two partners of
    a two-dimensional irrep of D3d (E, E1/2) are separate labels here, and the pair of complex
    conjugate irreps of j = 3/2 (often printed together as E3/2) is the one label ``JZ3/2``;
    every block is real. The spectra are those of the full group; the labels are the subgroup's.
    """

    def __init__(self, parent: str, field: bool = False) -> None:
        super().__init__(parent)
        self.name = parent + ("+field" if field else "")
