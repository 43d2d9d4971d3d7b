"""The model's energy axis against the data's: the strongest feature, the alignment that
starts the shift, the overlap check, the edge-step positions and the photon energy of the
model's edge."""
from __future__ import annotations

import json
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np

from morvex7.broadening import Broadening, broaden_lines
from morvex7.fitdata import Dataset, FitError, Measured

if TYPE_CHECKING:
    from morvex7.fitmodel import SpectrumModel


def strongest_feature(energy: np.ndarray, intensity: np.ndarray, lorentz: float) -> float:
    """Energy of the maximum of the broadened sticks (the strongest feature)."""
    if not len(energy) or not np.any(intensity > 0):
        raise FitError("the model spectrum has no lines")
    w = max(lorentz, 0.05)
    x = np.arange(energy.min() - 3 * w, energy.max() + 3 * w, w / 10)
    curve = broaden_lines(energy, intensity, Broadening(lorentz=w), x)
    return float(x[int(np.argmax(curve))])


def model_range(energy: np.ndarray, intensity: np.ndarray) -> tuple[float, float]:
    """Energies of the first and last line that carries at least 1e-3 of the strongest."""
    keep = intensity >= 1e-3 * intensity.max()
    return float(energy[keep].min()), float(energy[keep].max())


def aligned_shift(model: SpectrumModel, sticks: tuple[np.ndarray, np.ndarray], data: Measured,
                  lorentz: float) -> float:
    """The shift that lays the model's features onto the data's: the maximum of their cross
    correlation (the data above the straight line through their first and last point)."""
    x, y = data.energy, data.intensity
    w = max(lorentz, 0.05)
    h = min(w / 4, float(np.min(np.diff(x))) if len(x) > 1 else w / 4)
    h = max(h, (x[-1] - x[0]) / 20000)
    xd = np.arange(x[0], x[-1] + h / 2, h)
    yd = np.interp(xd, x, y)
    yd = yd - (yd[0] + (yd[-1] - yd[0]) * (xd - xd[0]) / (xd[-1] - xd[0]))
    energy, intensity = sticks
    xm = np.arange(energy.min() - 3 * w, energy.max() + 3 * w, h) + model.offset
    ym = broaden_lines(energy + model.offset, intensity, Broadening(lorentz=w), xm)
    corr = np.correlate(yd, ym, mode="full")
    lag = int(np.argmax(corr)) - (len(ym) - 1)
    return float(xd[0] - xm[0] + lag * h)


def check_overlap(model: SpectrumModel, sticks: tuple[np.ndarray, np.ndarray],
                  datasets: Sequence[Dataset], shift: float, lorentz: float) -> None:
    """Refuse data whose energy range does not overlap the model's (FitError)."""
    lo, hi = model_range(*sticks)
    lo, hi = lo + model.offset + shift - 2 * lorentz, hi + model.offset + shift + 2 * lorentz
    axis = "photon energy" if model.offset else "E - E0"
    for i, ds in enumerate(datasets):
        x0, x1 = float(ds.data.energy[0]), float(ds.data.energy[-1])
        common = min(x1, hi) - max(x0, lo)
        if common < 0.1 * min(x1 - x0, hi - lo):
            hint = ("give the model its edge energy (edge_energy in the model description, "
                    "or --edge-energy) to compare on the photon-energy axis"
                    if not model.offset else "check the edge energy and the data's energies")
            name = ds.source or f"spectrum {i + 1}"
            raise FitError(f"{name}: the data ({x0:g} to {x1:g}) do not overlap the model's "
                           f"range on its {axis} axis ({lo:.4g} to {hi:.4g}): {hint}")


def edge_positions(model_dir: Path, l3: float) -> tuple[float, float | None]:
    """The L3 and L2 edge-step positions: the strongest feature, and 3/2 zeta_c above it
    for a p core level of a builder-made model (no L2 step otherwise)."""
    path = Path(model_dir) / "model.json"
    if not path.is_file():
        return l3, None
    data = json.loads(path.read_text())
    zeta = data.get("parameters", {}).get("excited", {}).get("zeta_c")
    if not zeta or not str(data.get("core", "")).endswith("p"):
        return l3, None
    return l3, l3 + 1.5 * float(zeta)


def model_edge_energy(model_dir: Path) -> float | None:
    path = Path(model_dir) / "model.json"
    if not path.is_file():
        return None
    value = json.loads(path.read_text()).get("edge_energy")
    return None if value is None else float(value)


def tabulated_widths(model_dir: Path) -> dict[str, float]:
    """The core-hole widths (FWHM, eV) of a model built from an ion's atomic table, by edge
    in increasing energy ({"L3": 0.55, "L2": 1.4} for Ni2+ at L2,3); empty otherwise."""
    path = Path(model_dir) / "model.json"
    if not path.is_file():
        return {}
    data = json.loads(path.read_text())
    widths = data.get("core_hole_widths") or {}
    # the j = l + 1/2 edge (L3, M3) lies below the j = l - 1/2 one (L2, M2)
    return {e: float(w) for e, w in sorted(widths.items(), key=lambda kv: -int(kv[0][1:]))}
