"""RIXS maps: the engine's RIXS file (fort.47), the map broadened along the energy loss, cuts
at chosen incident energies, their CSV files and plots.

A RIXS file holds one block per polarisation pair (incident, outgoing). Each data line is a
stick: incident energy w (relative to the ground state, a resonance at w = E_n - E_0), energy
loss E_f - E_i, intensity |sum_n <f|T_out|n><n|T_in|i> / (w - (E_n - E_i) + i G_n/2)|^2
weighted over the initial states of one level, the level, the final symmetry and the state.

Examples
--------
>>> from morvex7.rixs import read_rixs_file          # doctest: +SKIP
>>> maps = read_rixs_file("examples/nio_rixs/fort.47")  # doctest: +SKIP
>>> loss, image = maps[0].broadened(fwhm=0.1)          # doctest: +SKIP
"""
from __future__ import annotations

import math
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Mapping, Sequence

import numpy as np

from morvex7.broadening import Broadening, broaden_lines, voigt_fwhm
from morvex7.readers import FieldOverflowWarning, LayoutError, Lines

#: field widths of a data line: (2F10.4, 1PE14.6, 2I4, I6)
_FIELDS = ((0, 10), (10, 20), (20, 34), (34, 38), (38, 42), (42, 48))
MAP_POINTS = 600


@dataclass
class RixsMap:
    """One polarisation pair's map as the engine wrote it (sticks, one row per line)."""

    number: int
    incident: str
    outgoing: str
    nomega: int
    estart: float
    estep: float
    gamma: float
    edge2: float | None
    gamma2: float | None
    temperature: float
    eg0: float
    intermediate: list[tuple[str, int]]
    finals: list[tuple[str, int]]
    levels: list[tuple[float, float, int]]  # energy above Eg0, weight, states
    omega: np.ndarray        # per stick
    loss: np.ndarray
    intensity: np.ndarray
    level: np.ndarray
    final: np.ndarray
    state: np.ndarray
    meta: dict = field(default_factory=dict)

    @property
    def incident_energies(self) -> np.ndarray:
        """The incident grid, relative to the ground state, as the data lines print it (the
        header's ESTEP has only 4 decimals)."""
        per = self.loss.size // max(self.nomega, 1)
        return self.omega[::per][: self.nomega] if per else np.zeros(0)

    def sticks_at(self, index: int) -> tuple[np.ndarray, np.ndarray]:
        """(loss, intensity) of the sticks of incident energy number ``index`` (0-based)."""
        per = self.loss.size // max(self.nomega, 1)
        sl = slice(index * per, (index + 1) * per)
        return self.loss[sl], self.intensity[sl]

    def loss_grid(self, broadening: Broadening, points: int = MAP_POINTS) -> np.ndarray:
        """A loss axis covering every stick of at least 1e-3 of the strongest, four widths
        beyond, at least five points per width."""
        ok = np.isfinite(self.loss) & np.isfinite(self.intensity)
        if ok.any():
            ok &= self.intensity >= 1e-3 * self.intensity[ok].max()
        lo, hi = (float(self.loss[ok].min()), float(self.loss[ok].max())) if ok.any() else (0, 1)
        width = voigt_fwhm(broadening.lorentz_largest, broadening.gauss)
        lo, hi = lo - 4 * width, hi + 4 * width
        count = max(points, int(math.ceil((hi - lo) * 5 / broadening.smallest_width)) + 1)
        return np.linspace(lo, hi, min(count, 20000))

    def broadened(self, fwhm: float = 0.1, gauss: float = 0.0,
                  loss: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]:
        """The map broadened along the loss: a final-state Lorentzian FWHM (and a Gaussian
        resolution). Returns (loss axis, image) with image[i] the spectrum at incident energy i;
        every stick keeps its area."""
        b = Broadening(lorentz=fwhm, gauss=gauss)
        x = self.loss_grid(b) if loss is None else np.asarray(loss, float)
        image = np.array([broaden_lines(*self.sticks_at(i), b, x) for i in range(self.nomega)])
        return x, image.reshape(self.nomega, x.size)

    def cut(self, omega: float, fwhm: float = 0.1, gauss: float = 0.0,
            loss: np.ndarray | None = None) -> tuple[float, np.ndarray, np.ndarray]:
        """The broadened spectrum at the grid's incident energy nearest ``omega``: (that
        energy, loss axis, intensity)."""
        grid = self.incident_energies
        i = int(np.argmin(np.abs(grid - omega)))
        b = Broadening(lorentz=fwhm, gauss=gauss)
        x = self.loss_grid(b) if loss is None else np.asarray(loss, float)
        return float(grid[i]), x, broaden_lines(*self.sticks_at(i), b, x)

    @property
    def label(self) -> str:
        return f"{self.incident} in, {self.outgoing} out"


def _value(cur: Lines, line: str, key: str, lineno: int) -> float:
    try:
        return float(line.split(key, 1)[1].split()[0])
    except (IndexError, ValueError):
        raise cur.error(f"a number after {key!r}", line) from None


def _header(cur: Lines, number: int) -> dict:
    h: dict = {"number": number, "intermediate": [], "finals": [], "levels": []}
    cur.expect_prefix("%PARAMETER1", "the %PARAMETER1 line of a RIXS block")
    pol = cur.expect_prefix("%POLARISATION IN=", "the %POLARISATION line").split()
    if len(pol) != 5:
        raise cur.error("%POLARISATION IN= <in> OUT= <out>", " ".join(pol))
    h["incident"], h["outgoing"] = pol[2], pol[4]
    grid = cur.expect_prefix("%NOMEGA=", "the incident grid line")
    h["nomega"] = int(_value(cur, grid, "%NOMEGA=", cur.lineno))
    h["estart"] = _value(cur, grid, "ESTART=", cur.lineno)
    h["estep"] = _value(cur, grid, "ESTEP=", cur.lineno)
    widths = cur.expect_prefix("%GAMMA=", "the core-hole width line")
    h["gamma"] = _value(cur, widths, "%GAMMA=", cur.lineno)
    h["edge2"] = _value(cur, widths, "EDGE2=", cur.lineno) if "EDGE2=" in widths else None
    h["gamma2"] = _value(cur, widths, "GAMMA2=", cur.lineno) if "GAMMA2=" in widths else None
    h["temperature"] = _value(cur, widths, "TEMPERATURE=", cur.lineno)
    h["eg0"] = _value(cur, cur.expect_prefix("%Eg0=", "the %Eg0= line"), "%Eg0=", cur.lineno)
    while (cur.peek() or "").startswith("%INTERMEDIATE"):
        w = cur.next("an %INTERMEDIATE line").split()
        h["intermediate"].append((w[1], int(w[-1])))
    while (cur.peek() or "").startswith("%FINAL"):
        w = cur.next("a %FINAL line").split()
        h["finals"].append((w[2], int(w[-1])))
    while (cur.peek() or "").startswith("%LEVEL"):
        line = cur.next("a %LEVEL line")
        h["levels"].append((_value(cur, line, "E=", cur.lineno), _value(cur, line, "WEIGHT=", cur.lineno),
                            int(_value(cur, line, "STATES=", cur.lineno))))
    if not h["finals"] or not h["levels"]:
        raise cur.error("%FINAL and %LEVEL lines", cur.peek())
    cur.expect_prefix("%FORMAT  1(F10.4,F10.4)", "the %FORMAT line of a RIXS block")
    cur.expect_prefix("%     Omega", "the column titles of a RIXS block")
    return h


#: Data lines parsed at a time: the file is never held whole.
CHUNK = 8192


def _data(cur: Lines, expected: int) -> np.ndarray:
    """The `expected` data lines of a map, read in chunks into one preallocated array.

    Faults are reported in the order the lines decide them: a file that ends first, then the
    first line that starts a new record ('%'), then the first field that is not a number;
    overflow warnings come only for a block read whole.
    """
    first = cur.lineno
    out = np.empty((cur.at_most(expected, 12), 6))   # a data line has at least 12 characters
    fault: LayoutError | None = None
    caught: list = []
    k = 0
    while k < expected:
        n = min(CHUNK, expected - k)
        lines = [cur.next(f"data line {k + j + 1} of {expected}") for j in range(n)]
        if fault is None:
            for j, line in enumerate(lines):
                if line.startswith("%"):
                    fault = LayoutError(cur.path, first + k + j,
                                        f"{expected} data lines, only {k + j} before this one",
                                        line)
                    break
        if fault is None:
            if k + n > out.shape[0]:                    # the file grew while it was read
                out = np.concatenate([out[:k], np.empty((expected - k, 6))])
            try:
                with warnings.catch_warnings(record=True) as seen:
                    warnings.simplefilter("always")
                    out[k:k + n] = _chunk(cur, lines, first + k)
                caught += seen
            except LayoutError as err:
                fault = err
        k += n
    if fault is not None:
        raise fault
    for w in caught:
        warnings.warn_explicit(w.message, w.category, w.filename, w.lineno)
    return out[:expected]


def _chunk(cur: Lines, lines: list[str], first: int) -> np.ndarray:
    # Fields that do not overflow are separated by blanks: split them all at once.
    if not any("*" in line for line in lines):
        words = " ".join(lines).split()
        if len(words) == 6 * len(lines):
            try:
                return np.array(words, dtype=float).reshape(len(lines), 6)
            except ValueError:
                pass
    return _fixed_fields(cur, lines, first)


def _fixed_fields(cur: Lines, lines: list[str], first: int) -> np.ndarray:
    out = np.empty((len(lines), 6))
    for k, line in enumerate(lines):
        for j, (a, b) in enumerate(_FIELDS):
            text = line[a:b]
            if "*" in text:
                warnings.warn(f"{cur.path}:{first + k}: field {j + 1} overflows "
                              f"({text.strip()}), read as NaN", FieldOverflowWarning, stacklevel=4)
                out[k, j] = np.nan
                continue
            try:
                out[k, j] = float(text)
            except ValueError:
                raise LayoutError(cur.path, first + k, f"a number in columns {a + 1}-{b}",
                                  line) from None
    return out


def read_rixs_file(path: str | Path) -> list[RixsMap]:
    """Every map of a RIXS file (fort.47), in the order written.

    Raises
    ------
    LayoutError
        On any line that does not follow the layout (file, line and what was expected).
    """
    cur = Lines(path)
    maps = []
    while not cur.at_end():
        head = cur.next("%RIXS MAP")
        if not head.strip():
            continue
        if not head.startswith("%RIXS MAP"):
            raise cur.error("%RIXS MAP <number>", head)
        h = _header(cur, int(head.split()[-1]))
        nf = sum(n for _, n in h["finals"])
        rows = _data(cur, h["nomega"] * len(h["levels"]) * nf)
        cur.expect_prefix("%END", "%END after the data of a RIXS block")
        maps.append(RixsMap(
            h["number"], h["incident"], h["outgoing"], h["nomega"], h["estart"], h["estep"],
            h["gamma"], h["edge2"], h["gamma2"], h["temperature"], h["eg0"], h["intermediate"],
            h["finals"], h["levels"], rows[:, 0], rows[:, 1], rows[:, 2],
            rows[:, 3].astype(int), rows[:, 4].astype(int), rows[:, 5].astype(int),
            {"file": str(path), "polarisation": f"{h['incident']} -> {h['outgoing']}",
             "Eg0": h["eg0"], "gamma": h["gamma"], "edge2": h["edge2"], "gamma2": h["gamma2"],
             "temperature": h["temperature"]}))
    return maps


# ----------------------------------------------------------------------------- CSV


def write_map_csv(path: str | Path, m: RixsMap, fwhm: float, gauss: float = 0.0,
                  meta: Mapping[str, object] | None = None,
                  offset: float | None = None) -> Path:
    """CSV of the broadened map: one row per (incident energy, loss) point."""
    from morvex7.export import write_table

    x, image = m.broadened(fwhm, gauss)
    w = m.incident_energies.astype(float)
    info = {**m.meta, **(meta or {}), "broadening_along_loss": Broadening(fwhm, gauss).describe()}
    cols = [("incident_energy", np.repeat(w, x.size))]
    if offset is not None:
        info["photon_energy"] = f"incident_energy + {offset:g}"
        cols.append(("photon_energy", np.repeat(w + offset, x.size)))
    cols += [("energy_loss", np.tile(x, w.size)), ("intensity", image.ravel())]
    return write_table(path, f"morvex7 RIXS map ({m.label}; incident energy relative to the "
                             "ground state)", info, cols)


def write_cuts_csv(path: str | Path, m: RixsMap, energies: Sequence[float], fwhm: float,
                   gauss: float = 0.0, meta: Mapping[str, object] | None = None) -> Path:
    """CSV of cuts at chosen incident energies: energy_loss and one intensity column each."""
    from morvex7.export import write_table

    cuts = [m.cut(e, fwhm, gauss) for e in energies]
    info = {**m.meta, **(meta or {}), "broadening_along_loss": Broadening(fwhm, gauss).describe(),
            "cuts_at_incident_energies": [c[0] for c in cuts]}
    x = cuts[0][1]
    cols = [("energy_loss", x)] + [(f"intensity_at_{c[0]:.4f}", c[2]) for c in cuts]
    return write_table(path, f"morvex7 RIXS cuts ({m.label})", info, cols)


# ----------------------------------------------------------------------------- plots


def plot_map(path: str | Path, m: RixsMap, fwhm: float, gauss: float = 0.0,
             cuts: Sequence[float] = (), title: str = "", offset: float | None = None) -> Path:
    """The map (energy loss across, incident energy up) and, below it, the chosen cuts."""
    from matplotlib.colors import PowerNorm
    from matplotlib.figure import Figure

    from morvex7.figures import cell_edges, check_suffix, save_figure

    path = check_suffix(path)
    x, image = m.broadened(fwhm, gauss)
    w = m.incident_energies.astype(float) + (offset or 0.0)
    fig = Figure(figsize=(7, 7.5 if cuts else 4.8))
    ax = fig.add_subplot(2, 1, 1) if cuts else fig.add_subplot()
    ex, ew = cell_edges(x), cell_edges(w)
    # a square-root colour scale: the dd and charge-transfer features are weak beside the
    # elastic line
    mesh = ax.imshow(image, origin="lower", aspect="auto", interpolation="nearest",
                     extent=(ex[0], ex[-1], ew[0], ew[-1]), cmap="viridis",
                     norm=PowerNorm(0.5, vmin=0.0))
    fig.colorbar(mesh, ax=ax).set_label("intensity (per eV, square-root scale)")
    ax.set_xlabel("energy loss (eV)")
    ax.set_ylabel("photon energy (eV)" if offset is not None else "incident energy E - E0 (eV)")
    ax.set_title((title or "RIXS") + f"\n{m.label}", fontsize=10)
    ax.text(0.99, 0.02, f"loss: {Broadening(fwhm, gauss).describe()}; core hole FWHM {m.gamma:g}"
            + (f" / {m.gamma2:g}" if m.gamma2 else ""), transform=ax.transAxes, ha="right",
            va="bottom", fontsize=7, color="w")
    if cuts:
        cx = fig.add_subplot(2, 1, 2)
        for e in cuts:
            at, xx, y = m.cut(e - (offset or 0.0), fwhm, gauss)
            cx.plot(xx, y, label=f"{at + (offset or 0.0):.2f} eV")
            ax.axhline(at + (offset or 0.0), color="w", lw=0.5, ls="--")
        cx.set_xlabel("energy loss (eV)")
        cx.set_ylabel("intensity (per eV)")
        cx.legend(fontsize=8, title="incident energy")
        fig.tight_layout()
    return save_figure(fig, path)
