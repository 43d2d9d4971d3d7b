"""The RIXS part of `morvex7-spectra`: map pictures and CSV files of a run's fort.47."""
from __future__ import annotations

import json
from pathlib import Path
from typing import Sequence

import numpy as np

from morvex7.broadening import Broadening, LorentzWidths
from morvex7.rixs import RixsMap, plot_map, write_cuts_csv, write_map_csv


class RixsUsageError(ValueError):
    """A RIXS request the run cannot serve."""


def _widths(b: Broadening) -> tuple[float, float]:
    if isinstance(b.lorentz, LorentzWidths):
        raise RixsUsageError("RIXS maps take one final-state width: --lorentz, not --widths")
    return float(b.lorentz), float(b.gauss)


def photon_offset(run) -> float | None:
    """What turns incident energies (E - E0) into photon energies for a builder-made run whose
    model.json gives ``edge_energy``, None otherwise. As on the absorption spectrum's photon
    axis, the edge energy is the photon energy of the strongest feature of the run's isotropic
    absorption (its lines broadened by the core-hole width)."""
    from morvex7.fit import model_edge_energy, strongest_feature
    from morvex7.ion.spectra import combined_sticks

    edge = model_edge_energy(Path(run.directory))
    if edge is None or not run.rixs:
        return None
    sticks = combined_sticks(run)
    return edge - strongest_feature(np.asarray(sticks.energy, float),
                                    np.asarray(sticks.intensity, float), run.rixs[0].gamma)


def _provenance(run, m: RixsMap) -> dict:
    meta = {"run": str(run.directory), "map": m.number, "polarisation_in": m.incident,
            "polarisation_out": m.outgoing,
            "intermediate_symmetries": [f"{a}({n})" for a, n in m.intermediate],
            "final_symmetries": [f"{a}({n})" for a, n in m.finals],
            "initial_levels": [f"E={e:g} weight={w:g} states={n}" for e, w, n in m.levels]}
    model = Path(run.directory) / "model.json"
    if model.is_file():
        meta["title"] = json.loads(model.read_text()).get("title")
    return meta


def write_rixs_csv(run, out: Path, prefix: str, broadening: Broadening,
                   cuts: Sequence[float]) -> list[Path]:
    """rixs_map_K.csv for every map of the run, and rixs_cuts_K.csv when cuts are asked."""
    fwhm, gauss = _widths(broadening)
    offset = photon_offset(run)
    written = []
    for m in run.rixs:
        meta = _provenance(run, m)
        written.append(write_map_csv(Path(out) / f"{prefix}rixs_map_{m.number}.csv", m, fwhm,
                                     gauss, meta, offset))
        if cuts:
            written.append(write_cuts_csv(Path(out) / f"{prefix}rixs_cuts_{m.number}.csv", m,
                                          [c - (offset or 0.0) for c in cuts], fwhm,
                                          gauss, meta))
    return written


def plot_rixs(runs, out: Path | None, broadening: Broadening, cuts: Sequence[float]) -> list[Path]:
    """One picture per map: DIR/rixs_map_K.png, or OUT with _K before the suffix."""
    if len(runs) != 1:
        raise RixsUsageError("--rixs draws the maps of one run at a time")
    run = runs[0]
    if not run.rixs:
        raise RixsUsageError(f"{run.directory}: no RIXS maps (no fort.47)")
    fwhm, gauss = _widths(broadening)
    offset = photon_offset(run)
    title = _provenance(run, run.rixs[0]).get("title") or "RIXS"
    written = []
    for m in run.rixs:
        base = Path(out) if out is not None else Path(run.directory) / "rixs_map.png"
        path = base.with_name(f"{base.stem}_{m.number}{base.suffix}")
        written.append(plot_map(path, m, fwhm, gauss, cuts, title, offset))
    return written
