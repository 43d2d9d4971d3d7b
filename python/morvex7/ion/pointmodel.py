"""The crystal-field part of a model description: which parameters a point symmetry adds, and
the operators they multiply.

Parameters (eV), in the ``[ground]`` and ``[excited]`` tables of the description; a crystal-field
parameter missing from ``[excited]`` takes its ``[ground]`` value (the core hole rarely changes
the field, and a forgotten value should not silently switch it off):

* Oh and Td: ``10Dq``; D4h: ``Dq``, ``Ds``, ``Dt``; D3d and C3v: ``10Dq``, ``Dsigma``,
  ``Dtau`` — on the valence shell (see :mod:`morvex7.ion.crystalfield`);
* the same names with ``_L`` (``10Dq_L``; ``Dq_L``, ``Ds_L``, ``Dt_L``) — on the ligand shell,
  with charge transfer only.

Hybridisation, in ``[charge_transfer]``: Oh ``V_eg``, ``V_t2g``; D4h ``V_b1g``, ``V_a1g``,
``V_b2g``, ``V_eg``; Td ``V_e``, ``V_t2``; D3d, C3v ``V_a1g``, ``V_epi``, ``V_esigma``; each
defaulting to ``V``; in the core-hole configurations the same names with ``_excited``
(defaulting to ``V_excited``, else to the ground value of that orbital set); ``V_excited``
next to a per-set ground value (``V_eg`` …) is refused as ambiguous.
"""
from __future__ import annotations

from typing import Any, Mapping

from .crystalfield import FIELDS, MIXINGS, field_operators, mixing_operators
from .fshellfield import F_FIELDS
from .determinants import Operator, Orbitals

POINT_GROUPS = ("Oh", "D4h", "Td", "D3d", "C3v")


def field_names(symmetry: str, l: int = 2) -> list[str]:
    """Crystal-field parameter names of a valence shell of angular momentum l ("10Dq" or "Dq",
    "Ds", "Dt", ...; for an f shell "B40", "B60", ...)."""
    return list((F_FIELDS if l == 3 else FIELDS).get(symmetry, []))


def mixing_names(symmetry: str) -> list[str]:
    """Hybridisation parameter names per orbital set ("V_eg", "V_t2g", ...)."""
    return list(MIXINGS.get(symmetry, []))


def parameter_names(symmetry: str, ligand: bool, l: int = 2) -> list[str]:
    """Every crystal-field parameter a side's table may hold."""
    names = field_names(symmetry, l)
    return names + ([n + "_L" for n in names] if ligand else [])


def field_terms(symmetry: str, orbitals: Orbitals, params: Mapping[str, float],
                ground: Mapping[str, float]) -> list[tuple[str, Operator, float]]:
    """(name, unit operator, value) of the crystal field on one side.

    `params` is that side's table, `ground` the ground table (the excited side's default).
    Ligand terms are made only when the orbitals have a ligand shell.
    """
    if symmetry not in POINT_GROUPS:
        return []
    shells = [("valence", "")]
    if any(s.name == "ligand" for s in orbitals.shells):
        shells.append(("ligand", "_L"))
    out = []
    for shell, suffix in shells:
        for name, op in field_operators(symmetry, orbitals.shell(shell)).items():
            key = name + suffix
            if shell == "ligand" and key not in params and key not in ground:
                continue  # no ligand field unless asked for
            out.append((key, op, field_value(key, params, ground)))
    return out


def field_value(key: str, params: Mapping[str, float], ground: Mapping[str, float]) -> float:
    """A crystal-field parameter of one side: its own value, else the ground value, else 0."""
    return float(params.get(key, ground.get(key, 0.0)))


def mixing_value(name: str, ct: Mapping[str, Any], excited: bool) -> float:
    """The hybridisation of orbital set `name` (e.g. "V_eg") on one side.

    Ground: ``name``, else ``V``. Core-hole side: ``name_excited``, else ``V_excited``, else
    the ground value. ``V_excited`` together with a per-set ground value is refused by the
    description's validation (which of the two should the core-hole side take?).
    """
    value = float(ct.get(name, ct.get("V", 0.0)))
    if excited:
        value = float(ct.get(name + "_excited", ct.get("V_excited", value)))
    return value


def mixing_terms(symmetry: str, orbitals: Orbitals, ct: Mapping[str, Any],
                 excited: bool) -> list[tuple[str, Operator, float]]:
    """(name, unit operator, value) of the hybridisation per orbital set on one side."""
    ops = mixing_operators(symmetry, orbitals.shell("valence"), orbitals.shell("ligand"))
    return [(name, op, mixing_value(name, ct, excited)) for name, op in ops.items()]


def check_parameters(symmetry: str, table: Mapping[str, Any], known: set[str], what: str,
                     ligand: bool = False, l: int = 2) -> None:
    """Raise ValueError for a key of `table` that neither `known` nor the symmetry knows
    (the ligand-shell field only with a ligand shell, i.e. with charge transfer)."""
    extra = set(parameter_names(symmetry, ligand, l))
    for k in table:
        if k not in known and k not in extra:
            raise ValueError(f"unknown {what} parameter {k!r} (known: {sorted(known | extra)})")
