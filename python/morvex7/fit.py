"""Fitting a model's physical parameters and the line shape to measured spectra.

The model of a measured spectrum y(x) is

    model(x) = scale * B(x - offset - shift) + background + slope * (x - x_mid)
               + step * (S(x - E3) + step_ratio * S(x - E2))

B is the spectrum the user sees with ``morvex7-spectra``: for a builder-made model the
model.json combination of the triads (isotropic by default, or a polarisation, at a
temperature), otherwise the sum of the chosen triads; broadened with a Lorentzian FWHM
``lorentz`` and a Gaussian FWHM ``gauss``. ``offset`` puts the model on the photon-energy
axis: with an edge energy (the model's ``edge_energy`` or ``edge_energy=`` here) the
strongest feature of the start model sits there. E3 and E2 are the L3 and L2 edges (the
strongest feature, and 3/2 zeta_c above it), S an arctangent or error-function step
(:mod:`morvex7.background`). The fit starts from an alignment of the strongest features of
model and data, and refuses data that do not overlap the model's range.

Parameters are physical names of a builder-made model (``10Dq``, ``Delta``, ``V_eg``,
``kappa``, ``excited.10Dq``, …; :mod:`morvex7.params`) or engine names (``DEL``,
``XHAM[2,1][8]``, …); each model evaluation is an engine run in a directory of its own.
Several measured spectra (e.g. E parallel and perpendicular to z, or two temperatures) are
fitted jointly: the model's parameters, ``lorentz``, ``gauss``, ``shift``, the step shape and
``scale`` are shared (the relative intensities of polarisations carry the dichroism; a
``scale_2`` setting gives the second spectrum a scale of its own), ``background``, ``slope``
and ``step`` are per spectrum (suffix ``_2``, ``_3``, … from the second on).

The minimiser is lmfit's Levenberg-Marquardt (``leastsq``), given the Jacobian by
:class:`SpectrumModel.jacobian`: the finite-difference columns of the model parameters are
independent runs, submitted together to the Dask cluster; the columns of the line-shape
parameters come from the sticks already at hand. Engine parameters are 4-byte reals inside
the engine, so their difference steps are relative (`diff_step`, default 1e-3), far above
the engine's rounding.
"""
from __future__ import annotations

import json
import math
import re
import shutil
import tempfile
import uuid
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from morvex7.background import edge_steps, normalisation
from morvex7.broadening import Broadening, broaden_lines
from morvex7.commandfile import CommandFile, ParameterError, parse_name
from morvex7.engine import EngineError
from morvex7.params import ParameterMap
from morvex7.runner import execute, model_text

if TYPE_CHECKING:
    from lmfit import Parameters

#: Line-shape and background parameters shared by every measured spectrum of a fit ...
SHARED_SHAPE = ("lorentz", "gauss", "shift", "step_ratio", "step_width")
#: ... and those of each spectrum (suffix _2, _3, ... from the second spectrum on).
DATASET_SHAPE = ("scale", "background", "slope", "step")
SHAPE_PARAMS = ("lorentz", "gauss", "shift", "scale", "background", "slope", "step",
                "step_ratio", "step_width")


class FitError(RuntimeError):
    """A fit that cannot go on: an engine run failed, or the set-up is unusable."""


@dataclass
class Measured:
    """A measured spectrum: energies, intensities and (optional) their standard errors."""

    energy: np.ndarray
    intensity: np.ndarray
    sigma: np.ndarray | None = None


@dataclass
class Dataset:
    """One measured spectrum of a fit and the model spectrum it is compared with."""

    data: Measured
    polarisation: str = "iso"  # a spectrum of model.json: iso, z, xy, ...
    temperature: float = 0.0  # kelvin
    source: str = ""  # the file it came from

    def suffix(self, i: int) -> str:
        return "" if i == 0 else f"_{i + 1}"


def read_spectrum(path: str | Path) -> Measured:
    """Read two columns (energy, intensity) and an optional third (standard error) from a
    text or CSV file; ``#`` starts a comment, a header line of names is skipped."""
    rows = []
    for lineno, line in enumerate(Path(path).read_text().splitlines(), 1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        fields = [f for f in re.split(r"[,;\s]+", line) if f]
        try:
            rows.append([float(f) for f in fields])
        except ValueError:
            if rows:
                raise ValueError(f"{path}:{lineno}: not a row of numbers: {line!r}") from None
            continue  # a header
        if len(fields) not in (2, 3) or len(rows[-1]) != len(rows[0]):
            raise ValueError(f"{path}:{lineno}: expected 2 or 3 columns like the first row")
    if len(rows) < 3:
        raise ValueError(f"{path}: fewer than 3 data rows")
    data = np.array(rows)
    order = np.argsort(data[:, 0], kind="stable")
    data = data[order]
    sigma = data[:, 2] if data.shape[1] == 3 else None
    return Measured(data[:, 0], data[:, 1], sigma)


def lmfit_name(name: str) -> str:
    """The lmfit name of a parameter: DEL -> DEL, XHAM[2,1][2] -> XHAM_2_1_2, DEL@2 -> DEL_2,
    AUGER.CI[1] -> AUGER_CI_1, 10Dq -> p10Dq, excited.10Dq -> excited_10Dq."""
    out = re.sub(r"[^A-Za-z0-9]+", "_", name.strip()).strip("_")
    return "p" + out if out[:1].isdigit() else out


SpectrumKey = tuple[str, float]  # (polarisation, temperature) of a model.json combination


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
               spectrum_keys: Sequence[SpectrumKey] | None = None) -> list[tuple[np.ndarray, np.ndarray]]:
    """Stick energies (transition energies, E - E0 at zero temperature) and intensities of a
    finished run: model.json's combination per (polarisation, temperature) of `spectrum_keys`, or the
    triads given (1-based; default all), weighted."""
    import warnings

    from morvex7.results import Run

    run = Run.load(directory)
    if spectrum_keys:
        from morvex7.ion.spectra import combined_sticks, read_model_json

        model = read_model_json(directory)
        out = []
        with warnings.catch_warnings():  # the window check is made once, before the fit
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
    client : distributed.Client
        Where the engine runs go.
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
        return self.pmap.apply(self._text, {n: values[n] for n in self.engine_params})

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
        return v

    def shape(self, sticks, params: Parameters | Mapping[str, float], x: np.ndarray,
              i: int = 0, parts: bool = False):
        """Model spectrum `i` on `x` from given sticks (the run's list, or one pair) and the
        line-shape values; with `parts`, (curve, background) separately."""
        energy, intensity = sticks[i] if isinstance(sticks, list) else sticks
        v = self.shape_values(params, i)
        b = Broadening(lorentz=max(v["lorentz"], 0.0), gauss=max(v["gauss"], 0.0))
        at = self.offset + v["shift"]
        curve = v["scale"] * broaden_lines(energy + at, intensity, b, x)
        mids = self.x_mids or [self.x_mid] * self.nspectra
        bg = v["background"] + v["slope"] * (x - mids[i])
        if v["step"] != 0.0:
            e3, e2 = self.edge_positions(energy, intensity)
            bg = bg + edge_steps(x, v["step"], e3 + at, None if e2 is None else e2 + at,
                                 v["step_ratio"], v["step_width"], self.step_shape)
        return (curve, bg) if parts else curve + bg

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


# ----------------------------------------------------------------------------------------
# The fit


@dataclass
class FitParam:
    """Start value, bounds and whether a parameter varies (``value=None``: model
    parameters start from the model's value, ``scale`` from the data's height, ``shift``
    from the alignment of the strongest features)."""

    value: float | None = None
    min: float = -math.inf
    max: float = math.inf
    vary: bool = True


DEFAULT_SHAPE = {
    "lorentz": FitParam(0.5, min=1e-3),
    "gauss": FitParam(0.0, min=0.0, vary=False),
    "shift": FitParam(None),
    "scale": FitParam(None, min=0.0),
    "background": FitParam(0.0),
    "slope": FitParam(0.0),
    "step": FitParam(0.0, vary=False),
    "step_ratio": FitParam(0.5, min=0.0, vary=False),
    "step_width": FitParam(0.5, min=1e-3, vary=False),
}
#: Default half-range (eV) of the shift around its aligned start, unless bounds are given.
SHIFT_RANGE = 10.0


@dataclass
class FitResult:
    """What a fit found and where its products are."""

    minimizer_result: Any  # lmfit.MinimizerResult
    values: dict[str, float]  # best values by parameter / line-shape name
    stderr: dict[str, float | None]
    energy: np.ndarray  # of the first spectrum
    data: np.ndarray
    best_fit: np.ndarray
    out: Path
    best_dir: Path  # the engine run at the best values, kept
    report: str
    engine_runs: int
    curves: list[dict[str, np.ndarray]] = field(default_factory=list)  # per spectrum


def _as_param(x: FitParam | float | None | Mapping[str, Any]) -> FitParam:
    if isinstance(x, FitParam):
        return x
    if isinstance(x, Mapping):
        return FitParam(**x)
    return FitParam(None if x is None else float(x))


def start_value(model: SpectrumModel, name: str) -> float | None:
    """The model's own value of a physical or engine parameter."""
    p = model.pmap.lookup(name)
    if p is not None:
        return p.value
    return CommandFile(model._text).get(name)


def make_parameters(model: SpectrumModel, engine_settings: Mapping[str, FitParam],
                    shape_settings: Mapping[str, FitParam], data: Measured | Sequence[Dataset]
                    ) -> Parameters:
    """lmfit Parameters of a fit, start values filled in (shift aligned, scales from the
    data's heights)."""
    from lmfit import Parameters

    datasets = [Dataset(data)] if isinstance(data, Measured) else list(data)
    params = Parameters()
    for name, setting in engine_settings.items():
        if model.pmap.lookup(name) is None and setting.vary and parse_name(name).integer:
            raise FitError(f"{name} is an integer parameter: it can only be held fixed")
        value = setting.value if setting.value is not None else start_value(model, name)
        if value is None:
            raise FitError(f"{name}: the command file does not give it; state a start value")
        params.add(model.names[name], value=value, min=setting.min, max=setting.max,
                   vary=setting.vary)
    for name, setting in shape_settings.items():
        value = 1.0 if name == "scale" else 0.0
        params.add(name, value=value if setting.value is None else setting.value,
                   min=setting.min, max=setting.max, vary=setting.vary)
    for i in range(1, len(datasets)):
        for name in DATASET_SHAPE:
            if name == "scale" and f"scale_{i + 1}" not in shape_settings:
                continue  # shared
            s = shape_settings.get(name + f"_{i + 1}", shape_settings[name])
            params.add(name + f"_{i + 1}", value=params[name].value, min=s.min, max=s.max,
                       vary=s.vary)
    for name, setting in [*engine_settings.items(), *shape_settings.items()]:
        p = params[model.names.get(name, name)]
        if p.vary and setting.value is not None and not setting.min < setting.value < setting.max:
            # lmfit would clip it onto the bound, where its gradient vanishes
            raise FitError(f"{name}: start value {setting.value} must lie strictly inside its "
                           f"bounds [{setting.min}, {setting.max}]")
    (sticks,) = model.sticks_many([model.engine_values(params)])
    if shape_settings["shift"].value is None:
        shift = aligned_shift(model, sticks[0], datasets[0].data, params["lorentz"].value)
        params["shift"].set(value=shift)
        s = shape_settings["shift"]
        params["shift"].set(min=s.min if math.isfinite(s.min) else shift - SHIFT_RANGE,
                            max=s.max if math.isfinite(s.max) else shift + SHIFT_RANGE)
    for i, ds in enumerate(datasets):
        name = "scale" + ds.suffix(i)
        if name not in params:
            continue
        if shape_settings.get(name, shape_settings["scale"]).value is None:
            unit = {**model.shape_values(params, i), "scale": 1.0, "background": 0.0,
                    "slope": 0.0, "step": 0.0}
            height = float(np.ptp(model.shape(sticks, unit, ds.data.energy, i))) or 1.0
            params[name].set(value=float(np.ptp(ds.data.intensity)) / height)
    return params


# ----------------------------------------------------------------------------------------
# The model's energy axis against the data's


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


# ----------------------------------------------------------------------------------------


def fit_spectrum(model_dir: str | Path, data: Measured | str | Path | Sequence[Any],
                 engine_params: Mapping[str, FitParam | float | None],
                 shape: Mapping[str, FitParam | float] | None = None, *,
                 out: str | Path, client: Any = None, scheduler: str | None = None,
                 scheduler_file: str | None = None, n_workers: int | None = None,
                 engine: str | Path | None = None, triads: Sequence[int] | None = None,
                 weights: Sequence[float] | None = None, diff_step: float = 1e-3,
                 max_nfev: int = 200, plot: bool = True, edge_energy: float | None = None,
                 normalise: str = "none", step_shape: str = "atan") -> FitResult:
    """Fit model parameters and the line shape to one or several measured spectra.

    Parameters
    ----------
    model_dir : path
        Model directory (fort.50, FTN14, FTN15; model.json for a builder-made model).
    data : Measured, path, Dataset or a sequence of them
        The measured spectra (files for :func:`read_spectrum`); a :class:`Dataset` carries
        the polarisation and temperature of its model spectrum (default iso, 0 K).
    engine_params : mapping
        Parameter name (physical or engine, :mod:`morvex7.params`) -> start value, ``None``
        (the model's value) or a :class:`FitParam` with bounds / ``vary=False``.
    shape : mapping, optional
        Overrides of the line-shape and background parameters (:data:`DEFAULT_SHAPE`):
        lorentz, gauss (FWHM), shift, scale, background, slope, step, step_ratio,
        step_width; ``scale_2`` etc. for the second spectrum.
    out : path
        Output directory: fit-report.txt, fit.json, fit-curve.csv (fit-curve-2.csv, ...),
        fit.png, fitted-model.toml (builder-made models), fit-settings.json and best/ (the
        engine run at the best values).
    client, scheduler, scheduler_file, n_workers
        The Dask cluster, as for :func:`morvex7.sweep.sweep`.
    engine : path, optional
        Engine executable as seen by the workers.
    triads, weights : sequences, optional
        A plain sum of these triads (1-based) with these weights instead of model.json's
        combination.
    diff_step : float
        Relative finite-difference step of the model parameters.
    max_nfev : int
        Most residual evaluations.
    plot : bool
        Draw fit.png.
    edge_energy : float, optional
        Photon energy of the model's strongest feature (default: model.json's
        ``edge_energy``; none: the model's E - E0 axis).
    normalise : "none", "max" or "area"
        Divide each measured spectrum by its maximum or area first.
    step_shape : "atan" or "erf"
        Shape of the edge steps.

    Returns
    -------
    FitResult
    """
    from morvex7.fitreport import write_products
    from morvex7.sweep import _client_for

    datasets = as_datasets(data, normalise)
    engine_settings = {n: _as_param(s) for n, s in engine_params.items()}
    shape_settings = dict(DEFAULT_SHAPE)
    for name, s in (shape or {}).items():
        base_name = re.sub(r"_\d+$", "", name)
        if base_name not in SHAPE_PARAMS or (base_name != name and base_name not in DATASET_SHAPE):
            raise FitError(f"unknown line-shape parameter {name!r}; one of {SHAPE_PARAMS}")
        base = DEFAULT_SHAPE[base_name]
        shape_settings[name] = (_as_param(s) if isinstance(s, (FitParam, Mapping))
                                else FitParam(float(s), base.min, base.max, True))
    out = Path(out)
    model_dir = Path(model_dir)
    if edge_energy is None:
        edge_energy = model_edge_energy(model_dir)
    out.mkdir(parents=True, exist_ok=True)
    settings = fit_settings(model_dir, data, out, engine_settings, shape or {}, engine=engine,
                            triads=triads, weights=weights, diff_step=diff_step,
                            max_nfev=max_nfev, plot=plot, edge_energy=edge_energy,
                            normalise=normalise, step_shape=step_shape)
    y_all = np.concatenate([d.data.intensity for d in datasets])
    weight = np.concatenate([1.0 / d.data.sigma if d.data.sigma is not None
                             else np.ones_like(d.data.intensity) for d in datasets])
    pmap = ParameterMap.load(model_dir)
    for name in engine_settings:  # a bad name is refused before a cluster starts
        pmap.check(name)
    scratch = Path(tempfile.mkdtemp(prefix="runs-", dir=out))
    try:
        with _client_for(client, scheduler, scheduler_file, n_workers) as c:
            spectrum_keys = None
            if triads is None and (model_dir / "model.json").is_file():
                spectrum_keys = [(d.polarisation, d.temperature) for d in datasets]
            elif any(d.polarisation != "iso" or d.temperature for d in datasets):
                raise FitError("polarisations and temperatures need a builder-made model "
                               "(model.json) and no --triads")
            x0 = datasets[0].data.energy
            model = SpectrumModel(model_dir, list(engine_settings), c, scratch,
                                  str(engine) if engine else None, diff_step,
                                  x_mid=0.5 * (x0[0] + x0[-1]), triads=triads,
                                  weights=weights, spectrum_keys=spectrum_keys, step_shape=step_shape,
                                  x_mids=[0.5 * (d.data.energy[0] + d.data.energy[-1])
                                          for d in datasets])
            _check_specs(model, datasets)
            start = {n: (s.value if s.value is not None else start_value(model, n))
                     for n, s in engine_settings.items()}
            if any(v is None for v in start.values()):
                missing = [n for n, v in start.items() if v is None]
                raise FitError(f"{missing[0]}: the command file does not give it; state a "
                               "start value")
            (sticks0,) = model.sticks_many([start])
            lorentz0 = shape_settings["lorentz"].value or 0.5
            l3 = strongest_feature(*sticks0[0], lorentz0)
            model.offset = 0.0 if edge_energy is None else edge_energy - l3
            model.edges = edge_positions(model_dir, l3)
            # the data must overlap the model where it stands (no alignment across axes)
            check_overlap(model, sticks0[0], datasets, shape_settings["shift"].value or 0.0,
                          lorentz0)
            params = make_parameters(model, engine_settings, shape_settings, datasets)
            result = _minimise(model, params, [d.data.energy for d in datasets], y_all,
                               weight, max_nfev)
            best = model.engine_values(result.params)
            best_dir = out / "best"
            c.submit(engine_sticks, str(model.model_dir), model.command_text(best),
                     str(best_dir), model.engine, True, triads, weights, spectrum_keys,
                     pure=False).result()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return write_products(model, result, datasets, out, best_dir, plot, edge_energy, settings)


def fit_settings(model_dir: Path, data: Any, out: Path, engine_settings: Mapping[str, FitParam],
                 shape: Mapping[str, Any], **options: Any) -> dict[str, Any]:
    """Everything that repeats this fit, as JSON-ready values (measured spectra given as
    arrays are written to OUT/spectrum-N.csv and named by file)."""
    from dataclasses import asdict

    items = data if isinstance(data, (list, tuple)) else [data]
    spectra = []
    for i, item in enumerate(items):
        ds = item if isinstance(item, Dataset) else Dataset(item) if isinstance(item, Measured) \
            else Dataset(Measured(np.zeros(0), np.zeros(0)), source=str(item))
        source = ds.source
        if not source or isinstance(item, (Measured, Dataset)) and not Path(source).is_file():
            m = ds.data
            source = str(out / f"spectrum-{i + 1}.csv")
            cols = [m.energy, m.intensity] + ([m.sigma] if m.sigma is not None else [])
            np.savetxt(source, np.column_stack(cols), delimiter=",", comments="",
                       header="energy,intensity" + (",sigma" if m.sigma is not None else ""))
        spectra.append({"file": str(Path(source).resolve()), "polarisation": ds.polarisation,
                        "temperature": ds.temperature})
    options = {k: (str(v) if isinstance(v, Path) else v) for k, v in options.items()}
    if options.get("engine") is not None:
        options["engine"] = str(options["engine"])
    return {"model": str(Path(model_dir).resolve()), "spectra": spectra,
            "params": {n: asdict(s) for n, s in engine_settings.items()},
            "shape": {n: asdict(_as_param(s)) if isinstance(s, (FitParam, Mapping))
                      else float(s) for n, s in shape.items()},
            "options": options}


def fit_again(directory: str | Path, out: str | Path | None = None, **cluster: Any) -> FitResult:
    """Repeat the fit whose products are in `directory` (its fit-settings.json), writing to
    `out` (default: the same directory). `cluster`: client, scheduler, scheduler_file,
    n_workers as for :func:`fit_spectrum`."""
    from morvex7.fitreport import SETTINGS_FILE

    path = Path(directory) / SETTINGS_FILE
    if not path.is_file():
        raise FileNotFoundError(f"{directory} holds no {SETTINGS_FILE}: not a fit's output")
    s = json.loads(path.read_text())
    data = [Dataset(read_spectrum(d["file"]), d["polarisation"], float(d["temperature"]),
                    d["file"]) for d in s["spectra"]]
    params = {n: FitParam(**p) for n, p in s["params"].items()}
    shape = {n: (FitParam(**v) if isinstance(v, dict) else v) for n, v in s["shape"].items()}
    options = dict(s["options"])
    return fit_spectrum(s["model"], data, params, shape, out=out or directory, **options,
                        **cluster)


def _check_specs(model: SpectrumModel, datasets: Sequence[Dataset]) -> None:
    """Refuse a polarisation the model lacks, and warn of a temperature beyond its window."""
    if not model.spectrum_keys:
        return
    import warnings

    from morvex7.ion.spectra import missing_population, read_model_json

    data = read_model_json(model.model_dir)
    for pol, temperature in model.spectrum_keys:
        if pol not in data["spectra"]:
            raise FitError(f"the model has no {pol!r} spectrum (it has "
                           f"{', '.join(data['spectra'])})")
        missing, need = missing_population(data, temperature)
        if missing > 0.01:
            warnings.warn(f"at {temperature:g} K {missing:.1%} of the ground-state population "
                          f"is in levels without triads: rebuild the model with [triads] "
                          f"window = {1.05 * need:.3g}", stacklevel=3)


def as_datasets(data: Any, normalise: str = "none") -> list[Dataset]:
    """The measured spectra of a fit as :class:`Dataset` s, normalised."""
    items = data if isinstance(data, (list, tuple)) else [data]
    out = []
    for item in items:
        if isinstance(item, Dataset):
            ds = item
        elif isinstance(item, Measured):
            ds = Dataset(item)
        else:
            ds = Dataset(read_spectrum(item), source=str(item))
        f = normalisation(ds.data.energy, ds.data.intensity, normalise)
        if f != 1.0:
            m = ds.data
            ds = Dataset(Measured(m.energy, m.intensity / f,
                                  None if m.sigma is None else m.sigma / f),
                         ds.polarisation, ds.temperature, ds.source)
        out.append(ds)
    if not out:
        raise FitError("no measured spectrum to fit")
    return out


def _minimise(model: SpectrumModel, params, xs, y, weight, max_nfev: int):
    from lmfit import Minimizer

    def residual(p):
        return (np.concatenate(model.curves(p, xs)) - y) * weight

    def dfun(p):
        return model.jacobian(p, xs, weight)

    mini = Minimizer(residual, params)
    return mini.minimize(method="leastsq", Dfun=dfun, col_deriv=0, max_nfev=max_nfev)


