"""The RIXS part of `morvex7-spectra`: map pictures and CSV files of a run's fort.47."""
from __future__ import annotations

import json
from pathlib import Path
from typing import Sequence

from morvex7.broadening import Broadening, LorentzWidths
from morvex7.rixs import RixsMap, plot_map, write_cuts_csv, write_map_csv


class RixsUsageError(ValueError):
    """A RIXS request the run cannot serve."""


def _widths(b: Broadening) -> tuple[float, float]:
    if isinstance(b.lorentz, LorentzWidths):
        raise RixsUsageError("RIXS maps take one final-state width: --lorentz, not --widths")
    return float(b.lorentz), float(b.gauss)


def photon_offset(directory: Path) -> float | None:
    """The edge's photon energy of a builder-made run (model.json), None without one: incident
    energies are relative to the ground state, photon energies are those plus the edge."""
    path = Path(directory) / "model.json"
    if not path.is_file():
        return None
    model = json.loads(path.read_text())
    for key in ("edge_energy", "photon_energy_offset"):
        if isinstance(model.get(key), (int, float)):
            return float(model[key])
    return None


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
    offset = photon_offset(run.directory)
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
    offset = photon_offset(run.directory)
    title = _provenance(run, run.rixs[0]).get("title") or "RIXS"
    written = []
    for m in run.rixs:
        base = Path(out) if out is not None else Path(run.directory) / "rixs_map.png"
        path = base.with_name(f"{base.stem}_{m.number}{base.suffix}")
        written.append(plot_map(path, m, fwhm, gauss, cuts, title, offset))
    return written
