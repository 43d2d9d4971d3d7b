"""Backgrounds and normalisation of measured absorption spectra.

A measured L2,3 spectrum sits on a background that the multiplet calculation does not make:

* a linear background ``background + slope * (x - x_mid)``;
* edge steps, the transitions into the continuum, at the L3 and L2 edges:
  ``step * (S(x - E3) + ratio * S(x - E2))`` with S an arctangent
  ``1/2 + atan(u / w) / pi`` or an error function ``(1 + erf(u / w)) / 2`` of width w. The
  statistical L3:L2 step ratio is 2:1 (``ratio = 0.5``, the edges' 2j + 1 = 4 and 2 core
  states).

Normalisation as spectroscopists compare spectra: by the maximum (the highest point is 1) or by
the area (the integral over the measured range is 1).
"""
from __future__ import annotations

import math

import numpy as np
from scipy.integrate import trapezoid
from scipy.special import erf

STEP_SHAPES = ("atan", "erf")
NORMALISATIONS = ("none", "max", "area")


def edge_step(x: np.ndarray, position: float, width: float, shape: str = "atan") -> np.ndarray:
    """A unit step centred at `position`: 0 far below, 1 far above, 1/2 at the centre."""
    if width <= 0.0:
        return (x >= position).astype(float)
    u = (np.asarray(x, float) - position) / width
    if shape == "atan":
        return 0.5 + np.arctan(u) / math.pi
    if shape == "erf":
        return 0.5 * (1.0 + erf(u))
    raise ValueError(f"unknown step shape {shape!r}; one of {STEP_SHAPES}")


def edge_steps(x: np.ndarray, height: float, l3: float, l2: float | None, ratio: float,
               width: float, shape: str = "atan") -> np.ndarray:
    """The L3 step of `height` at `l3` plus the L2 step of ``ratio * height`` at `l2`."""
    out = height * edge_step(x, l3, width, shape)
    if l2 is not None:
        out = out + ratio * height * edge_step(x, l2, width, shape)
    return out


def normalisation(x: np.ndarray, y: np.ndarray, how: str) -> float:
    """The factor that divides `y` for normalisation `how` ("none", "max", "area")."""
    if how == "none":
        return 1.0
    if how == "max":
        f = float(np.max(y))
    elif how == "area":
        f = float(trapezoid(y, x))
    else:
        raise ValueError(f"unknown normalisation {how!r}; one of {NORMALISATIONS}")
    if not f > 0.0:
        raise ValueError(f"cannot normalise by the {how}: it is {f:g}, not positive")
    return f
