"""Atomic parameters of 3d ions by name: ``ion = "Ni2+"``, ``edge = "L2,3"`` in a description.

The tables in ``data/`` (copied with their source line) hold the unscaled Hartree-Fock Slater
integrals and spin-orbit couplings of the free ions Ti-Cu, ground (3dN) and core-excited
(2p5 3dN+1 for L edges, 3p5 3dN+1 for M edges), and the edge energies and core-hole widths, as
tabulated in the EDRIXS atomic database. The Slater integrals are scaled by ``kappa`` (the
usual 0.7-0.85 reduction by covalency and screening); the spin-orbit couplings are not.
"""
from __future__ import annotations

import csv
import re
from functools import lru_cache
from pathlib import Path
from typing import Any

DATA = Path(__file__).parent / "data"
ELEMENTS = {"Ti": 22, "V": 23, "Cr": 24, "Mn": 25, "Fe": 26, "Co": 27, "Ni": 28, "Cu": 29}
EDGES = {"L2,3": ("2p", ("L3", "L2")), "L3": ("2p", ("L3",)), "L2": ("2p", ("L2",)),
         "M2,3": ("3p", ("M3", "M2")), "M3": ("3p", ("M3",)), "M2": ("3p", ("M2",))}
SCALED = ("F2vv", "F4vv", "F2cv", "G1cv", "G3cv")


def _rows(name: str) -> list[dict[str, str]]:
    text = (DATA / name).read_text().splitlines()
    return list(csv.DictReader(line for line in text if not line.startswith("#")))


@lru_cache(maxsize=None)
def slater_table() -> dict[tuple[str, str], dict[str, str]]:
    return {(r["element"], r["configuration"]): r for r in _rows("3d-slater-hf.csv")}


@lru_cache(maxsize=None)
def edge_table() -> dict[tuple[str, str], dict[str, str]]:
    return {(r["element"], r["edge"]): r for r in _rows("3d-edges.csv")}


def parse_ion(ion: str) -> tuple[str, int]:
    """("Ni", 2) of "Ni2+"; ValueError for anything but a 3d ion of the table."""
    m = re.fullmatch(r"\s*([A-Z][a-z]?)(\d*)\+\s*", ion)
    if not m or m[1] not in ELEMENTS:
        raise ValueError(f"ion {ion!r}: the atomic table has the 3d ions Ti to Cu, written like "
                         f"\"Ni2+\" (for other ions give the parameters explicitly)")
    return m[1], int(m[2] or 1)


def atomic_parameters(ion: str, edge: str = "L2,3", kappa: float = 1.0) -> dict[str, Any]:
    """Shells, electrons, parameters and edge of `ion` at `edge`, Slater integrals x kappa.

    Returns a dict with valence, core, electrons, ground, excited (parameter tables),
    edge_energy (the first edge's energy: L3 of L2,3) and core_hole_widths {edge: FWHM}.
    """
    element, charge = parse_ion(ion)
    if edge not in EDGES:
        raise ValueError(f"edge {edge!r}: one of {', '.join(EDGES)}")
    if not 0.0 < kappa <= 1.5:
        raise ValueError(f"kappa {kappa}: a factor on the Slater integrals, e.g. 0.8")
    core, names = EDGES[edge]
    n = ELEMENTS[element] - 18 - charge
    if not 0 <= n < 10:
        raise ValueError(f"{ion} has {n} 3d electrons: the edge needs 0 to 9")
    table = slater_table()
    ground_row = table.get((element, f"3d{n}"))
    excited_row = table.get((element, f"{core}5 3d{n + 1}"))
    if ground_row is None or excited_row is None:
        missing = f"3d{n}" if ground_row is None else f"{core}5 3d{n + 1}"
        raise ValueError(f"{ion} at the {edge} edge: the atomic table has no {element} {missing}"
                         " (give the parameters explicitly)")

    def side(row: dict[str, str], keys: tuple[str, ...]) -> dict[str, float]:
        out = {}
        for k in keys:
            if row.get(k):
                out[k] = float(row[k]) * (kappa if k in SCALED else 1.0)
        return out

    ground = side(ground_row, ("F2vv", "F4vv", "zeta_v"))
    excited = side(excited_row, ("F2vv", "F4vv", "zeta_v", "zeta_c", "F2cv", "G1cv", "G3cv"))
    edges = {e: edge_table().get((element, e)) for e in names}
    if any(r is None for r in edges.values()):
        raise ValueError(f"the edge table has no {element} {edge}")
    return {"valence": "3d", "core": core, "electrons": n, "ground": ground, "excited": excited,
            "edge_energy": float(edges[names[0]]["energy_eV"]),
            "core_hole_widths": {e: float(r["core_hole_width_eV"]) for e, r in edges.items()}}
