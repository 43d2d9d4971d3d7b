"""Plots of spectra with matplotlib (no display needed): the format follows the file suffix.

Each function draws one kind of figure and saves it: a broadened spectrum with its sticks,
several spectra overlaid, total yield and total absorption against photon energy, and the
resonant Auger spectra as a map. Figures are built without pyplot, so nothing here touches a
window system or global state.
"""
from __future__ import annotations

import math
from pathlib import Path
from typing import Mapping, Sequence

import numpy as np
from matplotlib.figure import Figure

from morvex7.broadening import Broadening, broaden_lines, voigt_fwhm
from morvex7.figures import cell_edges, check_suffix, save_figure
from morvex7.sticks import unit_of

#: Largest number of final-state energies of an Auger map.
MAP_POINTS_LIMIT = 100_000


def title_from(meta: Mapping[str, object] | None) -> str:
    """A title from the triad labels in `meta` ("A1G T1U T1U"), several joined with " + "."""
    meta = meta or {}
    kind = meta.get("kind")
    if kind and kind not in ("absorption", "combination"):
        return f"{title_from({k: v for k, v in meta.items() if k != 'kind'})} ({kind})"
    labels = meta.get("labels")
    if labels:
        if isinstance(labels, str):
            return labels
        if all(isinstance(item, str) for item in labels):
            return " ".join(labels)
        return " + ".join(item if isinstance(item, str) else " ".join(item) for item in labels)
    parts = [title_from(part) for part in meta.get("parts") or [] if isinstance(part, Mapping)]
    unique = list(dict.fromkeys(p for p in parts if p != "morvex7 spectrum"))
    return " + ".join(unique) if unique else "morvex7 spectrum"


def energy_label(meta: Mapping[str, object] | None) -> str:
    """Axis label for transition energies (relative to Eg0 unless the meta says absolute)."""
    unit = unit_of(meta)
    if (meta or {}).get("photon_energy"):
        return f"photon energy ({unit})"
    if (meta or {}).get("absolute"):
        return f"excited-state energy ({unit})"
    return f"transition energy E - Eg0 ({unit})"


def view_of_lines(energies: np.ndarray, broadening: Broadening | None) -> tuple[float, float] | None:
    """x range around the lines: a few widths beyond the outermost."""
    e = np.asarray(energies, float)
    e = e[np.isfinite(e)]
    if e.size == 0:
        return None
    width = voigt_fwhm(broadening.lorentz_largest, broadening.gauss) if broadening else 0.0
    margin = max(5 * width, 0.05 * (e.max() - e.min()), 1e-3)
    return float(e.min() - margin), float(e.max() + margin)


def _span(values) -> tuple[float, float]:
    """Axis limits holding zero and every finite value, with a little room."""
    v = np.asarray(values, float)
    v = v[np.isfinite(v)]
    lo, hi = 1.08 * min(float(v.min(initial=0.0)), 0.0), 1.08 * max(float(v.max(initial=0.0)), 0.0)
    return (lo, hi) if hi > lo else (0.0, 1.0)


def _common_zero(limits: list[tuple[float, float]]) -> list[tuple[float, float]]:
    """Stretch twin axes' limits so that their zeros are at the same height.

    A difference spectrum (negative weights) has negative sticks and curve parts: both axes
    then show them below one common zero line.
    """
    below = max(-lo / (hi - lo) for lo, hi in limits)   # the fraction of the axis below zero
    if below >= 1.0:
        return limits
    return [(min(lo, -below * hi / (1.0 - below)), hi) for lo, hi in limits]


def plot_spectrum(
    path: str | Path, curve, sticks=None, title: str | None = None, xlabel: str | None = None,
) -> Path:
    """Broadened spectrum (left axis) with its sticks (right axis).

    Parameters
    ----------
    path : file name ending in .png, .svg or .pdf
    curve : Curve
    sticks : Sticks or None
        Drawn as vertical lines of their intensity.
    title, xlabel : str or None
        Default: from the curve's meta (triad labels, energy unit).
    """
    path = check_suffix(path)
    meta = curve.meta
    fig = Figure(figsize=(7, 4.2))
    ax = fig.add_subplot()
    ax.plot(curve.energy, curve.intensity, color="C0", lw=1.4, label="broadened")
    ax.set_xlabel(xlabel or energy_label(meta))
    ax.set_ylabel(f"intensity (per {unit_of(meta)})")
    ax.set_title(title or title_from(meta))
    limits = [_span(curve.intensity)]
    if sticks is not None and np.asarray(sticks.energy).size:
        right = ax.twinx()
        right.vlines(sticks.energy, 0, sticks.intensity, color="C3", lw=0.9, label="sticks")
        right.set_ylabel("stick intensity")
        limits.append(_span(sticks.intensity))
        right.set_ylim(*_common_zero(limits)[1])
        view = view_of_lines(sticks.energy, curve.broadening)
        if view:  # around the lines, within the curve's grid
            lo = max(view[0], float(curve.energy[0]))
            hi = min(view[1], float(curve.energy[-1]))
            if hi > lo:
                ax.set_xlim(lo, hi)
    ax.set_ylim(*_common_zero(limits)[0])
    if ax.get_ylim()[0] < 0:
        ax.axhline(0.0, color="0.6", lw=0.6, zorder=0)
    ax.text(0.99, 0.98, curve.broadening.describe(), transform=ax.transAxes, ha="right",
            va="top", fontsize=7, color="0.35")
    return save_figure(fig, path)


#: At most this many differing parameters name a curve in a legend.
LEGEND_PARAMETERS = 3
#: Parameters named first in a legend when several differ.
LEGEND_FIRST = ("DEL", "UCV", "UVV", "W", "N2", "N3", "EG2", "EG3", "EF2", "EF3", "GAMMA")


def legend_labels(metas: Sequence[Mapping[str, object]], names: Sequence[str]) -> list[str]:
    """Legend entries naming the block parameters that differ between runs.

    Parameters are looked up in ``meta["params"]`` (a dict per run); only parameters every run
    has count (an Auger run's channel parameters do not tell it from an absorption run). Runs
    whose parameters do not differ are told apart by `names` (their last path component when
    that is unique). When more than `LEGEND_PARAMETERS` parameters differ, the first few are
    shown after the name.
    """
    names = _short_names(names)
    params = [dict((m or {}).get("params") or {}) for m in metas]
    common = [k for k in (params[0] if params else {}) if all(k in p for p in params[1:])]
    differing = [k for k in common if len({format_param(p[k]) for p in params}) > 1]
    # those telling most runs apart first, then the model's physical parameters
    rank = {k: i for i, k in enumerate(LEGEND_FIRST)}
    differing.sort(key=lambda k: (-len({format_param(p[k]) for p in params}),
                                  rank.get(k, len(rank))))
    if not differing or len(metas) < 2:
        return list(names)
    shown = differing[:LEGEND_PARAMETERS]
    more = ", ..." if len(differing) > len(shown) else ""
    labels = [", ".join(f"{k}={format_param(p[k])}" for k in shown) + more for p in params]
    if more or len(set(labels)) < len(labels):
        return [f"{n}: {lab}" for n, lab in zip(names, labels)]
    return labels


def _short_names(names: Sequence[str]) -> list[str]:
    """The last path component of each name, unless two would then look the same."""
    short = [Path(str(n)).name or str(n) for n in names]
    return short if len(set(short)) == len(short) else [str(n) for n in names]


def format_param(value: object) -> str:
    if isinstance(value, float):
        return f"{value:g}"
    if isinstance(value, (list, tuple)):
        return " ".join(format_param(v) for v in value)
    return "-" if value is None else str(value)


def plot_overlay(
    path: str | Path, curves: Sequence, labels: Sequence[str], sticks: Sequence | None = None,
    title: str | None = None, xlabel: str | None = None,
) -> Path:
    """Several broadened spectra on one axis with a legend.

    `sticks` (one per curve), when given, only set the energy range shown.
    """
    path = check_suffix(path)
    fig = Figure(figsize=(7, 4.2))
    ax = fig.add_subplot()
    for curve, label in zip(curves, labels):
        ax.plot(curve.energy, curve.intensity, lw=1.3, label=label)
    meta = curves[0].meta if curves else {}
    lows, highs = [], []
    for curve, lines in zip(curves, sticks or []):
        view = view_of_lines(lines.energy, curve.broadening)
        if view:
            lows.append(view[0])
            highs.append(view[1])
    if lows:
        lo = max(min(lows), min(float(c.energy[0]) for c in curves))
        hi = min(max(highs), max(float(c.energy[-1]) for c in curves))
        if hi > lo:
            ax.set_xlim(lo, hi)
    ax.set_xlabel(xlabel or energy_label(meta))
    ax.set_ylabel(f"intensity (per {unit_of(meta)})")
    ax.set_title(title or title_from(meta))
    ax.legend(fontsize=8)
    return save_figure(fig, path)


def plot_yield(path: str | Path, auger, meta: Mapping[str, object] | None = None,
               title: str | None = None) -> Path:
    """Total Auger yield and total absorption against photon energy.

    Only the photon-energy steps are drawn; the off-resonance reference record is no data point.
    """
    path = check_suffix(path)
    fig = Figure(figsize=(7, 4.2))
    ax = fig.add_subplot()
    omega = np.asarray(auger.photon_energies, float)
    ax.plot(omega, auger.total_yield, "o-", ms=3, label="total Auger yield")
    ax.plot(omega, auger.total_absorption, "s--", ms=3, label="total absorption")
    ax.set_xlabel(f"photon energy ({unit_of(meta)})")
    ax.set_ylabel("intensity")
    ax.set_title(title or title_from(meta))
    ax.legend(fontsize=8)
    return save_figure(fig, path)


def auger_map(auger, broadening: Broadening, points: int = 600) -> tuple[np.ndarray, np.ndarray]:
    """The Auger spectra broadened along the final-state energy onto one common grid.

    The grid has `points` points, more when the narrowest line width asks for a finer step
    (five points per width, up to `MAP_POINTS_LIMIT`).

    Returns
    -------
    energy : (points,) array
    image : (steps, points) array, row i for photon energy i
    """
    finals = [np.asarray(e, float) for e, _ in auger.steps]
    every = np.concatenate(finals) if finals else np.zeros(1)
    every = every[np.isfinite(every)]
    if every.size == 0:
        every = np.zeros(1)
    width = voigt_fwhm(broadening.lorentz_largest, broadening.gauss)
    lo, hi = every.min() - 4 * width, every.max() + 4 * width
    # At least `points` points, and at least five per narrowest line width: a coarser grid would
    # step over narrow lines and show them too low or not at all.
    count = min(max(points, int(math.ceil((hi - lo) * 5 / broadening.smallest_width)) + 1),
                MAP_POINTS_LIMIT)
    x = np.linspace(lo, hi, count)
    image = np.array([broaden_lines(e, v, broadening, x) for e, v in auger.steps])
    return x, image.reshape(len(finals), x.size)



def plot_auger_map(path: str | Path, auger, broadening: Broadening,
                   meta: Mapping[str, object] | None = None, title: str | None = None) -> Path:
    """Resonant Auger spectra as an image: final-state energy across, photon energy up."""
    path = check_suffix(path)
    x, image = auger_map(auger, broadening)
    omega = np.asarray(auger.photon_energies, float)
    fig = Figure(figsize=(7, 4.8))
    ax = fig.add_subplot()
    if omega.size > 1 and np.allclose(np.diff(omega), omega[1] - omega[0]):
        # Evenly spaced photon energies (the engine's ESTART + i ESTEP): one raster image, small
        # and quick in the vector formats too.
        ex, ew = cell_edges(x), cell_edges(omega)
        mesh = ax.imshow(image, origin="lower", aspect="auto", interpolation="nearest",
                         extent=(ex[0], ex[-1], ew[0], ew[-1]), cmap="viridis")
    else:
        mesh = ax.pcolormesh(cell_edges(x), cell_edges(omega), image, shading="flat",
                             cmap="viridis")
    bar = fig.colorbar(mesh, ax=ax)
    bar.set_label(f"intensity (per {unit_of(meta)})")
    unit = unit_of(meta)
    ax.set_xlabel(f"final-state energy ({unit})")
    ax.set_ylabel(f"photon energy ({unit})")
    ax.set_title((title or title_from(meta)) + " - resonant Auger")
    ax.text(0.99, 0.02, broadening.describe(), transform=ax.transAxes, ha="right", va="bottom",
            fontsize=7, color="w")
    return save_figure(fig, path)


def plot_dichroism(path: str | Path, xy, z, lines: np.ndarray | None = None,
                   title: str | None = None, xlabel: str | None = None,
                   labels: tuple[str, str] = ("E \u22a5 z (xy)", "E \u2225 z (z)"),
                   difference: str = "xy - z") -> Path:
    """A dichroism: two spectra on top, their difference below (curves on one energy grid).
    By default the linear dichroism, light E perpendicular (xy) and parallel (z) to the
    principal axis, xy - z; for XMCD the sigma+ and sigma- spectra with their labels.
    `lines` (the stick energies), when given, set the energy range shown."""
    path = check_suffix(path)
    if len(xy.energy) != len(z.energy) or not np.allclose(xy.energy, z.energy):
        raise ValueError("the two polarisations must be broadened on the same grid")
    fig = Figure(figsize=(7, 5.6))
    top, bottom = fig.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [2, 1]})
    top.plot(xy.energy, xy.intensity, color="C0", lw=1.4, label=labels[0])
    top.plot(z.energy, z.intensity, color="C3", lw=1.4, label=labels[1])
    top.set_ylabel(f"intensity (per {unit_of(xy.meta)})")
    top.set_title(title or str(xy.meta.get("title", "")).rsplit(" (", 1)[0] or title_from(xy.meta))
    top.legend(fontsize=8)
    view = view_of_lines(lines, xy.broadening) if lines is not None else None
    if view:
        top.set_xlim(*view)
    bottom.plot(xy.energy, xy.intensity - z.intensity, color="k", lw=1.2)
    bottom.axhline(0.0, color="0.6", lw=0.7)
    bottom.set_ylabel(difference)
    bottom.set_xlabel(xlabel or energy_label(xy.meta))
    top.text(0.99, 0.02, xy.broadening.describe(), transform=top.transAxes, ha="right",
             va="bottom", fontsize=7, color="0.35")
    return save_figure(fig, path)
