"""Crystal-field and hybridisation operators of a d shell in Oh and D4h, each of unit strength.

Orbital subspaces of a d shell, in the complex basis |m> (z the four-fold axis, x and y the
two-fold axes of D4h):

    eg  = { z^2 = |0>,  x^2-y^2 = (|2> + |-2>)/sqrt 2 }      (Oh)
    t2g = { xy = (|2> - |-2>)/(i sqrt 2),  xz, yz = the |1>, |-1> pair }
    D4h: a1g = z^2, b1g = x^2-y^2, b2g = xy, eg = {xz, yz}

Operators (the parameter multiplies the operator; energies of one electron):

* ``10Dq`` (Oh): eg at +6 Dq = +0.6 * 10Dq, t2g at -4 Dq = -0.4 * 10Dq;
* ``Dq``, ``Ds``, ``Dt`` (D4h): b1g 6Dq + 2Ds - Dt, a1g 6Dq - 2Ds - 6Dt, b2g -4Dq + 2Ds - Dt,
  eg -4Dq - Ds + 4Dt.
All are traceless, so they leave every configuration's average energy unchanged.

Hybridisation: ``V_<irrep>`` moves an electron between the ligand orbital of an irrep and the
valence orbital of the same irrep (plus the reverse), so that with every V_<irrep> equal to V the
sum is the spherical hopping of strength V.
"""
from __future__ import annotations

import numpy as np

from .determinants import Operator, Shell, one_body

_S = 0.5


def _proj(pairs: dict[tuple[int, int], float]) -> np.ndarray:
    p = np.zeros((5, 5))
    for (m1, m2), v in pairs.items():
        p[m1 + 2, m2 + 2] = v
    return p


#: projectors onto the real d orbitals, in the |m> basis m = -2..2
D_PROJECTORS = {
    "a1g": _proj({(0, 0): 1.0}),
    "b1g": _proj({(2, 2): _S, (-2, -2): _S, (2, -2): _S, (-2, 2): _S}),
    "b2g": _proj({(2, 2): _S, (-2, -2): _S, (2, -2): -_S, (-2, 2): -_S}),
    "eg(D4h)": _proj({(1, 1): 1.0, (-1, -1): 1.0}),
}
D_PROJECTORS["eg"] = D_PROJECTORS["a1g"] + D_PROJECTORS["b1g"]
D_PROJECTORS["t2g"] = D_PROJECTORS["b2g"] + D_PROJECTORS["eg(D4h)"]

#: one-electron energy of each orbital set per unit parameter
OH_FIELD = {"10Dq": {"eg": 0.6, "t2g": -0.4}}
D4H_FIELD = {
    "Dq": {"b1g": 6, "a1g": 6, "b2g": -4, "eg(D4h)": -4},
    "Ds": {"b1g": 2, "a1g": -2, "b2g": 2, "eg(D4h)": -1},
    "Dt": {"b1g": -1, "a1g": -6, "b2g": -1, "eg(D4h)": 4},
}
#: orbital sets of the hybridisation operators
OH_MIXING = {"V_eg": "eg", "V_t2g": "t2g"}
D4H_MIXING = {"V_b1g": "b1g", "V_a1g": "a1g", "V_b2g": "b2g", "V_eg": "eg(D4h)"}


def _check_d(shell: Shell) -> None:
    if shell.l != 2:
        raise ValueError(f"crystal-field operators are defined for d shells, not l = {shell.l}")


def orbital_operator(shell: Shell, matrix: np.ndarray) -> Operator:
    """sum_{m m' s} matrix[m, m'] a+_{m s} a_{m' s} over the shell (spin-independent)."""
    _check_d(shell)
    pairs = []
    for m1 in range(-2, 3):
        for m2 in range(-2, 3):
            v = float(matrix[m1 + 2, m2 + 2])
            if v != 0.0:
                for up in (True, False):
                    pairs.append((shell.orbital(m1, up), shell.orbital(m2, up), v))
    return one_body(pairs).cleaned()


def field_operators(group: str, shell: Shell) -> dict[str, Operator]:
    """The crystal-field operators of `group` ("Oh" or "D4h") on `shell`, by parameter name."""
    table = OH_FIELD if group == "Oh" else D4H_FIELD
    return {name: orbital_operator(shell, sum(e * D_PROJECTORS[k] for k, e in levels.items()))
            for name, levels in table.items()}


def mixing_operators(group: str, valence: Shell, ligand: Shell) -> dict[str, Operator]:
    """Hybridisation per orbital set: sum_{m m' s} P[m, m'] (v+_{m s} L_{m' s} + L+_{m' s} v_{m s})."""
    _check_d(valence)
    _check_d(ligand)
    table = OH_MIXING if group == "Oh" else D4H_MIXING
    out = {}
    for name, key in table.items():
        p = D_PROJECTORS[key]
        pairs = []
        for m1 in range(-2, 3):
            for m2 in range(-2, 3):
                v = float(p[m1 + 2, m2 + 2])
                if v != 0.0:
                    for up in (True, False):
                        pairs.append((valence.orbital(m1, up), ligand.orbital(m2, up), v))
                        pairs.append((ligand.orbital(m2, up), valence.orbital(m1, up), v))
        out[name] = one_body(pairs).cleaned()
    return out
