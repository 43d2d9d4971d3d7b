"""Small hand-made spectra standing in for what the readers return (only the fields used)."""
from __future__ import annotations

from types import SimpleNamespace

import numpy as np


def sticks(shift: float = 0.0, params: dict | None = None) -> SimpleNamespace:
    amplitude = np.array([0.5, -0.3, 0.2, 0.6])
    return SimpleNamespace(
        energy=np.array([-1.0, 0.25, 1.5, 3.0]) + shift,
        amplitude=amplitude,
        intensity=amplitude**2,
        initial_state=np.array([1, 1, 2, 2]),
        triad=np.array([1, 1, 1, 2]),
        meta={"labels": ("A1G", "T1U", "T1U"), "params": params or {"DEL": 3.0, "UCV": 5.0},
              "eg0": -1.808524609, "ndeg": 1, "unit": "eV"},
    )


def auger() -> SimpleNamespace:
    omega = -2.0 + 0.25 * np.arange(12)
    finals = np.arange(-1.0, 7.0)
    steps = [(finals, np.exp(-((finals - 2.0) ** 2)) / (1 + (w - 0.5) ** 2)) for w in omega]
    yields = np.array([v.sum() for _, v in steps])
    return SimpleNamespace(photon_energies=omega, steps=steps, total_yield=yields,
                           total_absorption=1.2 * yields,
                           off_resonance=SimpleNamespace(
                               photon_energy=10000.0, printed_energy=-2.25, total_yield=0.02001,
                               total_absorption=0.02001, energies=finals, intensities=finals))
