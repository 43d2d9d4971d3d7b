"""The broadened model spectra of a fit as a function of its parameters: engine runs on the
Dask cluster (one per parameter point, cached), the line shape, background and edge steps on
the sticks, and the Jacobian with the engine columns' runs submitted together."""
from __future__ import annotations

import re
import shutil
import threading
import uuid
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from morvex7.background import edge_steps
from morvex7.broadening import Broadening, LorentzWidths, broaden_lines
from morvex7.commandfile import CommandFile, ValueTemplate
from morvex7.engine import EngineError
from morvex7.fitaxis import strongest_feature
from morvex7.fitdata import FitError
from morvex7.params import ParameterMap
from morvex7.runner import execute, model_text

if TYPE_CHECKING:
    from lmfit import Parameters


#: Line-shape and background parameters shared by every measured spectrum of a fit ...
SHARED_SHAPE = ("lorentz", "gauss", "shift", "step_ratio", "step_width")
#: ... and those of each spectrum (suffix _2, _3, ... from the second spectrum on).
DATASET_SHAPE = ("scale", "background", "slope", "step")
SHAPE_PARAMS = ("lorentz", "gauss", "shift", "scale", "background", "slope", "step",
                "step_ratio", "step_width", "lorentz_l2")
#: The Lorentzian FWHM of the lines of the upper edge (L2 of L2,3), when it has its own: lines
#: above the middle of the two edge steps take it, the others ``lorentz``.
UPPER_WIDTH = "lorentz_l2"


def lmfit_name(name: str) -> str:
    """The lmfit name of a parameter: DEL -> DEL, XHAM[2,1][2] -> XHAM_2_1_2, DEL@2 -> DEL_2,
    AUGER.CI[1] -> AUGER_CI_1, 10Dq -> p10Dq, excited.10Dq -> excited_10Dq."""
    out = re.sub(r"[^A-Za-z0-9]+", "_", name.strip()).strip("_")
    return "p" + out if out[:1].isdigit() else out


SpectrumKey = tuple[str, float]  # (polarisation, temperature) of a model.json combination


_QUIET = threading.Lock()  # one thread at a time changes the warning filters


def engine_sticks(model_dir: str, text: str, workdir: str, engine: str | None,
                  keep: bool, triads: Sequence[int] | None = None,
                  weights: Sequence[float] | None = None,
                  spectrum_keys: Sequence[SpectrumKey] | None = None
                  ) -> list[tuple[np.ndarray, np.ndarray]]:
    """Run the engine once (on a Dask worker) and return its sticks, one (energy, intensity)
    pair per spectrum of `spectrum_keys` (or one of the chosen triads); the directory is removed
    afterwards unless `keep`."""
    try:
        # one single-threaded engine per worker, as in sweeps
        execute(model_dir, None, workdir, engine=engine, overwrite=True, text=text, threads=1)
        return run_sticks(workdir, triads, weights, spectrum_keys)
    finally:
        if not keep:
            shutil.rmtree(workdir, ignore_errors=True)


def run_sticks(directory: str | Path, triads: Sequence[int] | None = None,
               weights: Sequence[float] | None = None,
               spectrum_keys: Sequence[SpectrumKey] | None = None
               ) -> list[tuple[np.ndarray, np.ndarray]]:
    """Stick energies (transition energies, E - E0 at zero temperature) and intensities of a
    finished run: model.json's combination per (polarisation, temperature) of
    `spectrum_keys`, or the triads given (1-based; default all), weighted."""
    from morvex7.results import Run

    run = Run.load(directory)
    if spectrum_keys:
        from morvex7.ion.spectra import combined_sticks, read_model_json

        model = read_model_json(directory)
        out = []
        # the window check is made once, before the fit (and the filters are not for threads)
        with _QUIET, warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for pol, temperature in spectrum_keys:
                s = combined_sticks(run, model, pol, temperature)
                out.append((np.asarray(s.energy, float), np.asarray(s.intensity, float)))
        return out
    s = run.sticks(triads=triads, weights=weights)
    return [(np.asarray(s.energy, float), np.asarray(s.intensity, float))]

@dataclass
class SpectrumModel:
    """The broadened model spectra as a function of lmfit Parameters.

    Parameters
    ----------
    model_dir : path
        Directory with fort.50, FTN14, FTN15 (and model.json for a builder-made model).
    engine_params : sequence of str
        Physical or engine parameter names (:mod:`morvex7.params`) that the Parameters
        carry, under their :func:`lmfit_name`.
    client : distributed.Client or morvex7.fitworkers.LocalWorkers
        Where the engine runs go (anything with Dask's ``submit(...).result()``).
    workdir : path
        Scratch root for the runs.
    spectrum_keys : sequence of (polarisation, temperature), optional
        One model.json spectrum per measured spectrum; default for a builder-made model
        (without `triads`): the isotropic spectrum at 0 K.
    offset : float
        Added to the model's energies: the photon energy of E - E0 = 0.
    edges : (E3, E2 or None)
        The L3 and L2 edge steps of the start model (its axis); in every evaluation the L3
        step sits at the strongest feature and the L2 step E2 - E3 above it.
    """

    model_dir: Path
    engine_params: Sequence[str]
    client: Any
    workdir: Path
    engine: str | None = None
    diff_step: float = 1e-3
    x_mid: float = 0.0
    triads: Sequence[int] | None = None  # triads of the spectrum (1-based; default all)
    weights: Sequence[float] | None = None  # their weights (default 1 each)
    spectrum_keys: Sequence[SpectrumKey] | None = None
    offset: float = 0.0
    edges: tuple[float, float | None] = (0.0, None)
    step_shape: str = "atan"
    x_mids: Sequence[float] | None = None  # per spectrum; default x_mid
    runs: int = 0  # engine runs made
    _cache: dict[tuple, list[tuple[np.ndarray, np.ndarray]]] = field(default_factory=dict)
    _edges: dict[tuple, tuple[float, float | None]] = field(default_factory=dict)
    _template: ValueTemplate | None = field(default=None, repr=False)
    notes: list[str] = field(default_factory=list)  # for the report's header

    def __post_init__(self) -> None:
        self.model_dir = Path(self.model_dir).resolve()
        self._text = model_text(self.model_dir)
        self.pmap = ParameterMap.load(self.model_dir)
        for name in self.engine_params:
            self.pmap.check(name)
        if self.spectrum_keys is None and self.triads is None and self.pmap.parameters:
            self.spectrum_keys = [("iso", 0.0)]
        names = [lmfit_name(n) for n in self.engine_params]
        if len(set(names) | set(SHAPE_PARAMS)) != len(names) + len(SHAPE_PARAMS):
            raise ValueError(f"parameter names {list(self.engine_params)} collide")
        self.names = dict(zip(self.engine_params, names))

    @property
    def nspectra(self) -> int:
        return len(self.spectrum_keys) if self.spectrum_keys else 1

    # -- engine runs ---------------------------------------------------------------------

    def _key(self, values: Mapping[str, float]) -> tuple:
        # The engine reads 4-byte reals: values equal as such give the same run.
        return tuple(float(np.float32(values[n])) for n in self.engine_params)

    def command_text(self, values: Mapping[str, float]) -> str:
        """The command file with the parameters at `values` (physical or engine names)."""
        resolved = self.pmap.resolve({n: values[n] for n in self.engine_params})
        if not resolved:
            return self._text
        if self._template is None or self._template.names != set(resolved):
            cf = CommandFile(self._text)
            cf.update(resolved)
            # every later evaluation edits the same words: found once, rewritten in place
            self._template = ValueTemplate(cf, list(resolved))
            return cf.text
        return self._template.text(resolved)

    def sticks_many(self, points: Sequence[Mapping[str, float]]) -> list[list[tuple]]:
        """Sticks (one pair per spectrum) at several parameter points, the missing ones run
        in parallel."""
        keys = [self._key(p) for p in points]
        todo = {k: p for k, p in zip(keys, points) if k not in self._cache}
        futures = {}
        for k, p in todo.items():
            work = self.workdir / f"run-{uuid.uuid4().hex[:12]}"
            futures[k] = self.client.submit(engine_sticks, str(self.model_dir),
                                            self.command_text(p), str(work), self.engine,
                                            False, self.triads, self.weights, self.spectrum_keys,
                                            pure=False)
        for k, fut in futures.items():
            try:
                self._cache[k] = fut.result()
            except EngineError as exc:
                raise FitError(f"the engine failed at {dict(zip(self.engine_params, k))}: "
                               f"{exc}") from exc
            self.runs += 1
        if len(self._cache) > 64:  # keep the recent ones only
            for k in list(self._cache)[:len(self._cache) - 64]:
                if k not in keys:
                    del self._cache[k]
        return [self._cache[k] for k in keys]

    def engine_values(self, params: Parameters) -> dict[str, float]:
        return {n: float(params[self.names[n]].value) for n in self.engine_params}

    # -- the model -----------------------------------------------------------------------

    def shape_values(self, params: Parameters | Mapping[str, float], i: int = 0
                     ) -> dict[str, float]:
        """The line-shape values of spectrum `i` under their generic names."""
        def get(name: str, default: float = 0.0) -> float:
            if name not in params:
                return default
            return float(getattr(params[name], "value", params[name]))
        suffix = "" if i == 0 else f"_{i + 1}"
        v = {n: get(n) for n in SHARED_SHAPE}
        # a spectrum without its own scale shares the first one's (relative intensities of
        # polarisations carry the dichroism)
        v.update({n: get(n + suffix if n + suffix in params else n) for n in DATASET_SHAPE})
        if "step_ratio" not in params:
            v["step_ratio"] = 0.5
        if "step_width" not in params:
            v["step_width"] = 0.5
        if UPPER_WIDTH in params:
            v[UPPER_WIDTH] = get(UPPER_WIDTH)
        return v

    def shape(self, sticks, params: Parameters | Mapping[str, float], x: np.ndarray,
              i: int = 0, parts: bool = False):
        """Model spectrum `i` on `x` from given sticks (the run's list, or one pair) and the
        line-shape values; with `parts`, (curve, background) separately."""
        energy, intensity = sticks[i] if isinstance(sticks, list) else sticks
        v = self.shape_values(params, i)
        at = self.offset + v["shift"]
        lorentz: float | LorentzWidths = max(v["lorentz"], 0.0)
        if UPPER_WIDTH in v:
            lorentz = self.edge_widths(energy, intensity, lorentz, v[UPPER_WIDTH], at)
        b = Broadening(lorentz=lorentz, gauss=max(v["gauss"], 0.0))
        curve = v["scale"] * broaden_lines(energy + at, intensity, b, x)
        mids = self.x_mids or [self.x_mid] * self.nspectra
        bg = v["background"] + v["slope"] * (x - mids[i])
        if v["step"] != 0.0:
            e3, e2 = self.edge_positions(energy, intensity)
            bg = bg + edge_steps(x, v["step"], e3 + at, None if e2 is None else e2 + at,
                                 v["step_ratio"], v["step_width"], self.step_shape)
        return (curve, bg) if parts else curve + bg

    def edge_widths(self, energy: np.ndarray, intensity: np.ndarray, lower: float,
                    upper: float, at: float) -> float | LorentzWidths:
        """Lorentzian FWHM `lower` for the lines of the lower edge (L3) and `upper` for those
        above the middle of the two edge steps (L2), on the axis shifted by `at`; one width
        where the model has no second edge."""
        e3, e2 = self.edge_positions(energy, intensity)
        if e2 is None:
            return lower
        middle = 0.5 * (e3 + e2) + at
        return LorentzWidths((middle - 1.0, middle), (max(lower, 1e-6), max(upper, 1e-6)))

    def edge_positions(self, energy: np.ndarray, intensity: np.ndarray
                       ) -> tuple[float, float | None]:
        """The L3 and L2 step positions of these sticks (model axis): the strongest feature
        and `edges`' distance above it; the edges move with the white line."""
        key = (id(energy), len(energy), float(energy.sum()), float(intensity.sum()))
        if key not in self._edges:
            if len(self._edges) > 256:
                self._edges.clear()
            l3 = strongest_feature(energy, intensity, 0.3)
            e3, e2 = self.edges
            self._edges[key] = (l3, None if e2 is None else l3 + (e2 - e3))
        return self._edges[key]

    def __call__(self, params: Parameters, x: np.ndarray, i: int = 0) -> np.ndarray:
        (sticks,) = self.sticks_many([self.engine_values(params)])
        return self.shape(sticks, params, x, i)

    def curves(self, params: Parameters, xs: Sequence[np.ndarray]) -> list[np.ndarray]:
        (sticks,) = self.sticks_many([self.engine_values(params)])
        return [self.shape(sticks, params, x, i) for i, x in enumerate(xs)]

    def jacobian(self, params: Parameters, xs: Sequence[np.ndarray] | np.ndarray,
                 weight: np.ndarray) -> np.ndarray:
        """d(model * weight)/d(varied parameter) over the spectra joined, columns in lmfit's
        order of the varied parameters; the engine columns' runs go to the cluster together."""
        if isinstance(xs, np.ndarray):
            xs = [xs]
        varied = [n for n, p in params.items() if p.vary and not p.expr]
        base = self.engine_values(params)
        steps, points = {}, [base]
        by_lmfit = {v: k for k, v in self.names.items()}
        for name in varied:
            if name in by_lmfit:
                eng = by_lmfit[name]
                p = params[name]
                h = self.diff_step * max(abs(p.value), 1.0)
                if p.value + h > p.max:
                    h = -h
                steps[name] = h
                points.append({**base, eng: base[eng] + h})
        all_sticks = self.sticks_many(points)

        def joined(sticks, values) -> np.ndarray:
            return np.concatenate([self.shape(sticks, values, x, i) for i, x in enumerate(xs)])

        values = {n: float(params[n].value) for n in params if n not in by_lmfit}
        y0 = joined(all_sticks[0], values)
        cols = []
        k = 1
        for name in varied:
            if name in steps:
                # the step the engine really took (its values are 4-byte reals)
                eng = by_lmfit[name]
                h = float(np.float32(points[k][eng])) - float(np.float32(base[eng]))
                cols.append((joined(all_sticks[k], values) - y0) / h)
                k += 1
            else:  # a line-shape parameter: central difference on the same sticks
                h = 1e-6 * max(abs(values[name]), 1e-3)
                up = joined(all_sticks[0], {**values, name: values[name] + h})
                down = joined(all_sticks[0], {**values, name: values[name] - h})
                cols.append((up - down) / (2 * h))
        return np.array(cols).T * weight[:, None]


