"""Tetrahedral symmetry Td (double group) for a d shell, through the octahedral adaptation.

Td* and Oh* share their proper part O*: Td = T + I (O - T), the improper elements being the
rotations of O outside T followed by the inversion. A state of parity p transforms under an
improper element I R as p times under R, so an Oh irrep restricted to Td is

    X G  ->  X            (even states: the d shell, the ground configurations)
    X U  ->  X x A2       (odd states: a p hole, the core-hole configurations)

with X x A2: A1 <-> A2, T1 <-> T2, E, E1/2 <-> E5/2, G3/2. The model's operators (Coulomb,
spin–orbit, the crystal field of one d shell, the hybridisation with a d-like ligand shell) keep
the parity, so they have the full Oh symmetry and the Oh-adapted states are Td-adapted states:
this symmetry is the octahedral one with the tetrahedron's labels (A1, T2, E1/2, G3/2, ... without
g/u). The dipole operator (T1U in Oh) is T2 in Td, with the same polarisation factors; a second
reduced element (G3/2 x T2 contains G3/2 twice) is the operator label ``T2.2``. Only the crystal
field's sign differs from Oh (:data:`morvex7.ion.crystalfield.TD_FIELD`: e below t2).
"""
from __future__ import annotations

from typing import Mapping, Sequence

from .determinants import Operator
from .pointsymmetry import OhSymmetry
from .symmetry import AdaptedIrrep, Configuration, Symmetry

#: X x A2 of every irrep of O*
TIMES_A2 = {"A1": "A2", "A2": "A1", "E": "E", "T1": "T2", "T2": "T1", "E1/2": "E5/2",
            "E5/2": "E1/2", "G3/2": "G3/2"}
#: the dipole's operator label in Oh and in Td
DIPOLE = ("T1U", "T2")


def td_label(oh_label: str) -> str:
    """The Td label of an Oh irrep restricted to Td ("T1U" -> "T2", "E1/2G" -> "E1/2")."""
    base, parity = oh_label[:-1], oh_label[-1]
    return base if parity == "G" else TIMES_A2[base]


def oh_label(label: str, parity: int) -> str:
    """The Oh irrep of states of the given parity that Td irrep ``label`` comes from."""
    return label + "G" if parity > 0 else TIMES_A2[label] + "U"


def _op(label: str) -> str:
    """Td dipole label -> Oh ("T2" -> "T1U", "T2.2" -> "T1U.2")."""
    base, _, copy = label.partition(".")
    if base != DIPOLE[1]:
        raise ValueError(f"unknown Td dipole part {label!r}")
    return DIPOLE[0] + ("." + copy if copy else "")


class TdSymmetry(Symmetry):
    """Tetrahedral symmetry (see the module description). Ground configurations are even, the
    core-hole ones odd (a d shell with a p core)."""

    name = "Td"

    def __init__(self) -> None:
        self.oh = OhSymmetry()

    def multiplicities(self, config: Configuration) -> dict[str, tuple[int, int]]:
        return {td_label(k): v for k, v in self.oh.multiplicities(config).items()}

    def adapt(self, config: Configuration, labels: Sequence[str]) -> dict[str, AdaptedIrrep]:
        # the adapted objects keep their Oh label, which the transition blocks use
        got = self.oh.adapt(config, [oh_label(lab, config.parity) for lab in labels])
        return {lab: got[oh_label(lab, config.parity)] for lab in labels}

    def transition_labels(self) -> list[str]:
        return [td_label(x.split(".")[0]) + (x[len(DIPOLE[0]):]) for x in self.oh.transition_labels()]

    def reached(self, ground_label: str, op_label: str) -> list[str]:
        return [td_label(e) for e in self.oh.reached(oh_label(ground_label, 1), _op(op_label))]

    def transition_block(self, ground: AdaptedIrrep, components: Mapping[int, Operator],
                         excited: AdaptedIrrep, op_label: str):
        return self.oh.transition_block(ground, components, excited, _op(op_label))

    def polarisation_factor(self, ground_label: str, op_label: str, polarisation: str) -> float:
        return self.oh.polarisation_factor(oh_label(ground_label, 1), _op(op_label), polarisation)
