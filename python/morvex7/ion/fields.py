"""Magnetic and exchange fields along z: the parameters and their unit operators.

Parameters, in ``[ground]`` and ``[excited]`` (a value missing from ``[excited]`` takes the
``[ground]`` one; either name in either table switches the model to the field subgroup of
:mod:`morvex7.ion.fieldsymmetry`, also at the value 0):

* ``B`` (tesla): the Zeeman term mu_B (L_z + 2 S_z) B over every electron (core, valence and
  ligand). Positive B points along +z; the electron's moment is -mu_B (L + 2S), so in B > 0
  the lowest states have negative M and the moment along +z.
* ``H_ex`` (eV): an exchange field on the valence spin, H_ex S_z of the valence shell (S_z in
  units of hbar: a single valence spin splits by H_ex). Positive H_ex favours M_S < 0, the
  same direction as a positive B.

Each is one operator of unit parameter (mu_B (L_z + 2 S_z) per tesla, S_z per eV), so a sweep
or fit changes B or H_ex through its factor in fort.50 without rebuilding.
"""
from __future__ import annotations

from typing import Mapping

from .determinants import Operator, Orbitals, one_body

#: Bohr magneton in eV per tesla (CODATA 2018).
MU_B = 5.7883818060e-5

FIELD_NAMES = ("B", "H_ex")


def zeeman(orbitals: Orbitals) -> Operator:
    """mu_B (L_z + 2 S_z) over every shell, for B = 1 T (eV)."""
    return one_body((i, i, MU_B * (m + (1.0 if up else -1.0)))
                    for s in orbitals.shells for i, m, up in s.orbitals()).cleaned()


def exchange(orbitals: Orbitals) -> Operator:
    """S_z of the valence shell."""
    v = orbitals.shell("valence")
    return one_body((i, i, 0.5 if up else -0.5) for i, _, up in v.orbitals())


def has_field(ground: Mapping[str, float], excited: Mapping[str, float]) -> bool:
    """Whether a description asks for the field operators (B or H_ex anywhere, even 0)."""
    return any(k in FIELD_NAMES for k in list(ground) + list(excited))


def field_terms(orbitals: Orbitals, params: Mapping[str, float],
                ground: Mapping[str, float]) -> list[tuple[str, Operator, float]]:
    """(name, unit operator, value) of B and H_ex on one side (the excited side defaults to
    the ground values)."""
    ops = {"B": zeeman(orbitals), "H_ex": exchange(orbitals)}
    return [(k, ops[k], float(params.get(k, ground.get(k, 0.0)))) for k in FIELD_NAMES]
