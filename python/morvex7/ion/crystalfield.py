"""Crystal-field and hybridisation operators of a d shell in Oh, D4h, Td and the trigonal groups
(D3d, C3v), each of unit strength.

Orbital subspaces of a d shell, in the complex basis |m> (z the four-fold axis, x and y the
two-fold axes of D4h):

    eg  = { z^2 = |0>,  x^2-y^2 = (|2> + |-2>)/sqrt 2 }      (Oh)
    t2g = { xy = (|2> - |-2>)/(i sqrt 2),  xz, yz = the |1>, |-1> pair }
    D4h: a1g = z^2, b1g = x^2-y^2, b2g = xy, eg = {xz, yz}

Operators (the parameter multiplies the operator; energies of one electron):

* ``10Dq`` (Oh): eg at +6 Dq = +0.6 * 10Dq, t2g at -4 Dq = -0.4 * 10Dq;
* ``Dq``, ``Ds``, ``Dt`` (D4h): b1g 6Dq + 2Ds - Dt, a1g 6Dq - 2Ds - 6Dt, b2g -4Dq + 2Ds - Dt,
  eg -4Dq - Ds + 4Dt.
* ``10Dq`` (Td): the tetrahedron's order, e at -0.6 * 10Dq below t2 at +0.4 * 10Dq (10Dq > 0
  for a tetrahedron; the same operator as Oh's with the opposite sign);
* trigonal (D3d, C3v), z on the three-fold axis (the cube's [111]), y on a two-fold axis (the
  cube's [1-10]): ``10Dq`` the cubic field of Oh rotated into this frame (t2g -> a1g = |0> and
  e(pi), eg -> e(sigma); its C^4_{+-3} part couples |m> and |m +- 3>, with real elements), and the
  trigonal distortion ``Dsigma``, ``Dtau``, which act on |m> like Ds and Dt on the tetragonal axis:
  |0> at -2 Dsigma - 6 Dtau, |+-1> at -Dsigma + 4 Dtau, |+-2> at 2 Dsigma - Dtau. So a1g lies at
  -4Dq - 2Dsigma - 6Dtau, and the distortion splits t2g into a1g + e(pi).
All are traceless, so they leave every configuration's average energy unchanged.

Hybridisation: ``V_<irrep>`` moves an electron between the ligand orbital of an irrep and the
valence orbital of the same irrep (plus the reverse), so that with every V_<irrep> equal to V the
sum is the spherical hopping of strength V.
"""
from __future__ import annotations

import numpy as np

from .determinants import Operator, Shell, one_body
from .fshellfield import F_FIELDS, f_field_matrix

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

def _trigonal(p: np.ndarray) -> np.ndarray:
    """A d-shell matrix of the cube's frame (|m>, m = -2..2) in the trigonal frame: z along
    [111], y along [1-10] (rotation by -45 degrees about z, then by -arccos(1/sqrt 3) about y)."""
    from .rotations import su2_from_axis_angle, wigner_d
    u = su2_from_axis_angle([0, 1, 0], -np.arccos(3 ** -0.5)) @ su2_from_axis_angle([0, 0, 1], -np.pi / 4)
    d = wigner_d(2, u)[::-1, ::-1]  # to ascending m
    out = d @ p @ d.conj().T
    if np.abs(out.imag).max() > 1e-12:
        raise AssertionError("the trigonal frame should keep the cubic field real")
    return np.where(np.abs(out.real) < 1e-14, 0.0, out.real)


D_PROJECTORS["a1g(D3d)"] = _proj({(0, 0): 1.0})
D_PROJECTORS["epi"] = _trigonal(D_PROJECTORS["t2g"]) - D_PROJECTORS["a1g(D3d)"]
D_PROJECTORS["esigma"] = _trigonal(D_PROJECTORS["eg"])
_AXIAL_0, _AXIAL_1, _AXIAL_2 = _proj({(0, 0): 1.0}), _proj({(1, 1): 1.0, (-1, -1): 1.0}), \
    _proj({(2, 2): 1.0, (-2, -2): 1.0})

#: one-electron energy of each orbital set per unit parameter
OH_FIELD = {"10Dq": {"eg": 0.6, "t2g": -0.4}}
TD_FIELD = {"10Dq": {"eg": -0.6, "t2g": 0.4}}
D4H_FIELD = {
    "Dq": {"b1g": 6, "a1g": 6, "b2g": -4, "eg(D4h)": -4},
    "Ds": {"b1g": 2, "a1g": -2, "b2g": 2, "eg(D4h)": -1},
    "Dt": {"b1g": -1, "a1g": -6, "b2g": -1, "eg(D4h)": 4},
}
#: orbital sets of the hybridisation operators
OH_MIXING = {"V_eg": "eg", "V_t2g": "t2g"}
D4H_MIXING = {"V_b1g": "b1g", "V_a1g": "a1g", "V_b2g": "b2g", "V_eg": "eg(D4h)"}
TD_MIXING = {"V_e": "eg", "V_t2": "t2g"}
TRIGONAL_MIXING = {"V_a1g": "a1g(D3d)", "V_epi": "epi", "V_esigma": "esigma"}

#: the trigonal field's matrices (|m>, m = -2..2) per unit parameter
TRIGONAL_FIELD = {
    "10Dq": _trigonal(0.6 * D_PROJECTORS["eg"] - 0.4 * D_PROJECTORS["t2g"]),
    "Dsigma": -2 * _AXIAL_0 - _AXIAL_1 + 2 * _AXIAL_2,
    "Dtau": -6 * _AXIAL_0 + 4 * _AXIAL_1 - _AXIAL_2,
}

#: crystal-field parameters and hybridisation orbital sets of every point symmetry
FIELDS = {"Oh": OH_FIELD, "D4h": D4H_FIELD, "Td": TD_FIELD, "D3d": TRIGONAL_FIELD,
          "C3v": TRIGONAL_FIELD}
MIXINGS = {"Oh": OH_MIXING, "D4h": D4H_MIXING, "Td": TD_MIXING, "D3d": TRIGONAL_MIXING,
           "C3v": TRIGONAL_MIXING}


def field_matrix(group: str, name: str) -> np.ndarray:
    """One-electron matrix (|m>, m = -2..2) of crystal-field parameter ``name`` of ``group``."""
    levels = FIELDS[group][name]
    if isinstance(levels, np.ndarray):
        return levels
    return sum(e * D_PROJECTORS[k] for k, e in levels.items())


def _check_d(shell: Shell) -> None:
    if shell.l != 2:
        raise ValueError(f"crystal-field operators are defined for d shells, not l = {shell.l}")


def orbital_operator(shell: Shell, matrix: np.ndarray) -> Operator:
    """sum_{m m' s} matrix[m, m'] a+_{m s} a_{m' s} over the shell (spin-independent)."""
    l = shell.l
    if matrix.shape != (2 * l + 1, 2 * l + 1):
        raise ValueError(f"a {matrix.shape} matrix for a shell of l = {l}")
    pairs = []
    for m1 in range(-l, l + 1):
        for m2 in range(-l, l + 1):
            v = float(matrix[m1 + l, m2 + l])
            if v != 0.0:
                for up in (True, False):
                    pairs.append((shell.orbital(m1, up), shell.orbital(m2, up), v))
    return one_body(pairs).cleaned()


def field_operators(group: str, shell: Shell) -> dict[str, Operator]:
    """The crystal-field operators of `group` (Oh, D4h, Td, D3d, C3v; Oh and D4h also for an
    f shell, :mod:`morvex7.ion.fshellfield`) on `shell`, by name."""
    if shell.l == 3:
        return {name: orbital_operator(shell, f_field_matrix(group, name)) for name in F_FIELDS[group]}
    _check_d(shell)
    return {name: orbital_operator(shell, field_matrix(group, name)) for name in FIELDS[group]}


def mixing_operators(group: str, valence: Shell, ligand: Shell) -> dict[str, Operator]:
    """Hybridisation per orbital set: sum_{m m' s} P[m, m'] (v+_{m s} L_{m' s} + L+_{m' s} v_{m s})."""
    _check_d(valence)
    _check_d(ligand)
    table = MIXINGS[group]
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
