"""RIXS models: the ``[rixs]`` part of a description and the unreduced symmetry it needs.

A RIXS map sums coherently over every intermediate state reached by a polarisation, and the
emitted photon's polarisation picks its own combination of the same states; reduced matrix
elements of a point group hide exactly those row combinations. A RIXS model is therefore built
without point-group reduction: every determinant of a configuration is a state of the single
symmetry "A" (dimension 1), the crystal field and the hybridisation stay what the model's point
group makes them, and the three spherical components D_q (q = -1, 0, +1) of the dipole operator
are three operators "QM", "QZ" and "QP". The engine combines them into any polarisation.

Description (every energy in eV; incident energies relative to the ground state, so that a
resonance lies at E_n - E_0)::

    [rixs]
    incident = [-2.0, 8.0, 200]   # first and last incident energy and their number
    gamma = 0.6                   # core-hole width (FWHM); [L3, L2] for one per edge;
                                  # default: the ion's tabulated widths, else 0.5
    edge2 = 11.0                  # with two widths: where the second edge's states start
    polarisations = [["x", "x"], ["z", "all"]]   # (incident, outgoing) pairs
    temperature = 0.0             # K; 0 weights the degenerate ground states alike
"""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Mapping, Sequence

import numpy as np

from .determinants import Operator, configuration_dets
from .symmetry import AdaptedIrrep, Configuration, Symmetry

#: operator labels of the dipole components q = -1, 0, +1
COMPONENTS = ("QM", "QZ", "QP")
INCIDENT = ("x", "y", "z", "plus", "minus")
OUTGOING = INCIDENT + ("all",)
#: absorption intensity factor of each component per polarisation
_ABSORPTION = {"iso": (1 / 3, 1 / 3, 1 / 3), "z": (0.0, 1.0, 0.0), "xy": (0.5, 0.0, 0.5)}


@dataclass
class RixsSettings:
    """The ``[rixs]`` table of a description, checked."""

    incident: tuple[float, float, int] | None = None
    gamma: tuple[float, ...] = (0.5,)
    edge2: float | None = None
    polarisations: list[tuple[str, str]] = field(default_factory=lambda: [("z", "all")])
    temperature: float = 0.0


def rixs_settings(table: Mapping[str, Any]) -> RixsSettings:
    """Check a ``[rixs]`` table; ValueError names the entry at fault."""
    known = {"incident", "gamma", "edge2", "polarisations", "temperature"}
    for k in table:
        if k not in known:
            raise ValueError(f"unknown entry {k!r} in [rixs] (known: {', '.join(sorted(known))})")
    s = RixsSettings()
    if "incident" in table:
        inc = table["incident"]
        if not (isinstance(inc, Sequence) and len(inc) == 3):
            raise ValueError("[rixs] incident must be [first, last, number] (eV, eV, count)")
        first, last, n = float(inc[0]), float(inc[1]), int(inc[2])
        if n < 1 or (n > 1 and not last > first):
            raise ValueError(f"[rixs] incident: {n} energies from {first} to {last}: the number "
                             "must be at least 1 and the last energy above the first")
        s.incident = (first, last, n)
    g = table.get("gamma", 0.5)
    gam = tuple(float(x) for x in (g if isinstance(g, Sequence) else [g]))
    if len(gam) not in (1, 2) or any(not x > 0 for x in gam):
        raise ValueError("[rixs] gamma: one positive width, or two (L3, L2)")
    s.gamma = gam
    if "edge2" in table:
        s.edge2 = float(table["edge2"])
    pols = table.get("polarisations", [["z", "all"]])
    s.polarisations = []
    for p in pols:
        if not (isinstance(p, Sequence) and len(p) == 2 and str(p[0]).lower() in INCIDENT
                and str(p[1]).lower() in OUTGOING):
            raise ValueError(f"[rixs] polarisations: {p!r} is not a pair (incident, outgoing) "
                             f"of {', '.join(INCIDENT)} (outgoing also 'all')")
        s.polarisations.append((str(p[0]).lower(), str(p[1]).lower()))
    if not s.polarisations:
        raise ValueError("[rixs] polarisations: at least one pair")
    s.temperature = float(table.get("temperature", 0.0))
    if s.temperature < 0:
        raise ValueError("[rixs] temperature must not be negative")
    return s


class FullSymmetry(Symmetry):
    """No reduction: the determinants of each configuration are the states of symmetry "A"."""

    name = "none"

    def __init__(self, point_group: str) -> None:
        self.point_group = point_group

    def multiplicities(self, config: Configuration) -> dict[str, tuple[int, int]]:
        return {"A": (len(configuration_dets(config.orbitals, config.occupations)), 1)}

    def adapt(self, config: Configuration, labels: Sequence[str]) -> dict[str, AdaptedIrrep]:
        basis = configuration_dets(config.orbitals, config.occupations)
        n = len(basis)
        return {lab: AdaptedIrrep(lab, 1, basis, (0,), np.eye(n)[:, None, :]) for lab in labels}

    def scalar_block(self, bra: AdaptedIrrep, op: Operator, ket: AdaptedIrrep) -> np.ndarray:
        return _real(op.matrix(bra.basis, ket.basis).toarray(), "Hamiltonian operator")

    def transition_labels(self) -> list[str]:
        return list(COMPONENTS)

    def reached(self, ground_label: str, op_label: str) -> list[str]:
        return ["A"]

    def transition_block(self, ground: AdaptedIrrep, components: Mapping[int, Operator],
                         excited: AdaptedIrrep, op_label: str) -> np.ndarray:
        q = COMPONENTS.index(op_label) - 1
        m = components[q].matrix(excited.basis, ground.basis).toarray()
        return _real(m, f"dipole component {op_label}").T

    def polarisation_factor(self, ground_label: str, op_label: str, polarisation: str) -> float:
        if polarisation not in _ABSORPTION:
            raise ValueError(f"unknown polarisation {polarisation!r}")
        return _ABSORPTION[polarisation][COMPONENTS.index(op_label)]


def _real(m: np.ndarray, what: str) -> np.ndarray:
    if np.iscomplexobj(m):
        if np.abs(m.imag).max(initial=0.0) > 1e-9 * max(1.0, np.abs(m).max(initial=0.0)):
            raise RuntimeError(f"{what}: not real between determinants")
        m = m.real
    return np.asarray(m, dtype=float)


def default_edge2(zeta_c: float, lc: int, excited_centre: float) -> float:
    """Where the upper core spin-orbit edge starts: midway between the two manifolds of a core
    hole of angular momentum lc (j = lc + 1/2 at -zeta lc/2, j = lc - 1/2 at +zeta (lc+1)/2,
    relative to the configuration's centre), i.e. zeta/4 above the centre for a p hole."""
    return excited_centre + zeta_c * (((lc + 1) / 2.0) - (lc / 2.0)) / 2.0


def incident_grid(s: RixsSettings, lowest: float) -> tuple[float, float, int]:
    """(ESTART, ESTEP, NOMEGA): the description's grid, or 2 eV below to 8 eV above the
    lowest core-hole state in 200 steps."""
    first, last, n = s.incident if s.incident else (lowest - 2.0, lowest + 8.0, 200)
    step = (last - first) / (n - 1) if n > 1 else 0.0
    return first, step, n


def command_block(s: RixsSettings, grid: tuple[float, float, int], edge2: float | None) -> str:
    """The RIXS block of the command file."""
    first, step, n = grid
    lines = ["RIXS", f"  NOMEGA {n} ESTART {first:.10g} ESTEP {step:.10g}",
             f"  GAMMA {s.gamma[0]:.10g}"]
    if len(s.gamma) == 2:
        lines.append(f"  EDGE2 {edge2:.10g} GAMMA2 {s.gamma[1]:.10g}")
    if s.temperature:
        lines.append(f"  TEMPERATURE {s.temperature:.10g}")
    lines.append("  COMPONENTS " + " ".join(COMPONENTS))
    lines += [f"  POLARISATION {a.upper()} {b.upper()}" for a, b in s.polarisations]
    lines.append("ENDRIXS")
    return "\n".join(lines) + "\n"


def _layout(built: Any) -> tuple[RixsSettings, tuple[float, float, int], float | None, float]:
    """Settings, incident grid, EDGE2 and the lowest core-hole energy (relative to E0)."""
    from .blocks import side_hamiltonian

    m = built.model
    table = dict(m.rixs)
    if "gamma" not in table and m.core_hole_widths:
        # an ion from the atomic tables brings its core-hole widths, first edge first (L3, L2)
        table["gamma"] = list(m.core_hole_widths.values())[:2]
    s = rixs_settings(table)
    e0 = built.ground_symmetries[0].energies[0]
    n2, n3 = m.levels
    core = np.linalg.eigvalsh(side_hamiltonian(built.excited, "A", n2, n3, m.width))
    lowest = float(core[0] - e0)
    edge2 = None
    if len(s.gamma) == 2:
        edge2 = s.edge2 if s.edge2 is not None else \
            default_edge2(float(m.excited.get("zeta_c", 0.0)), m.lc, -e0)
    return s, incident_grid(s, lowest), edge2, lowest


def rixs_command_block(built: Any) -> str:
    """The RIXS block of a built RIXS model's command file."""
    s, grid, edge2, _ = _layout(built)
    return command_block(s, grid, edge2)


def rixs_json(built: Any) -> dict[str, Any]:
    """What model.json says of the RIXS map: grid, widths, pairs and the file."""
    s, (first, step, n), edge2, lowest = _layout(built)
    return {"file": "fort.47", "incident_start": first, "incident_step": step, "incident_number": n,
            "incident_reference": "ground state (E - E0)", "gamma": list(s.gamma), "edge2": edge2,
            "lowest_core_hole_state": lowest, "temperature": s.temperature,
            "polarisations": [list(p) for p in s.polarisations],
            "components": list(COMPONENTS)}
