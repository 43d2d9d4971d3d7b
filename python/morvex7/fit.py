"""Fitting engine parameters and line shape to a measured spectrum, with lmfit and Dask.

The model of a measured spectrum y(x) is

    model(x) = scale * B(x - shift) + background + slope * (x - x_mid)

where B is the engine's stick spectrum (energies relative to the ground state, intensities
the squared amplitudes) broadened with a Lorentzian FWHM ``lorentz`` and a Gaussian FWHM
``gauss``, and x_mid is the middle of the measured range. Any engine parameter that
:mod:`morvex7.commandfile` can set may be fitted along with these; each model evaluation is
an engine run in a directory of its own.

The minimiser is lmfit's Levenberg-Marquardt (``leastsq``), given the Jacobian by
:class:`SpectrumModel.jacobian`: the finite-difference columns of the engine parameters are
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

from morvex7.broadening import Broadening, broaden_lines
from morvex7.commandfile import CommandFile, parse_name
from morvex7.engine import EngineError
from morvex7.runner import execute, model_text

if TYPE_CHECKING:
    from lmfit import Parameters

SHAPE_PARAMS = ("lorentz", "gauss", "shift", "scale", "background", "slope")


class FitError(RuntimeError):
    """A fit that cannot go on: an engine run failed, or the set-up is unusable."""


@dataclass
class Measured:
    """A measured spectrum: energies, intensities and (optional) their standard errors."""

    energy: np.ndarray
    intensity: np.ndarray
    sigma: np.ndarray | None = None


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
    """The lmfit name of an engine parameter: DEL -> DEL, XHAM[2,1][2] -> XHAM_2_1_2,
    DEL@2 -> DEL_2, AUGER.CI[1] -> AUGER_CI_1."""
    return re.sub(r"[^A-Za-z0-9]+", "_", name.strip()).strip("_")


def engine_sticks(model_dir: str, text: str, workdir: str, engine: str | None,
                  keep: bool, triads: Sequence[int] | None = None,
                  weights: Sequence[float] | None = None) -> tuple[np.ndarray, np.ndarray]:
    """Run the engine once (on a Dask worker) and return its sticks; the directory is
    removed afterwards unless `keep`."""
    try:
        # one single-threaded engine per worker, as in sweeps
        execute(model_dir, None, workdir, engine=engine, overwrite=True, text=text, threads=1)
        return run_sticks(workdir, triads, weights)
    finally:
        if not keep:
            shutil.rmtree(workdir, ignore_errors=True)


def run_sticks(directory: str | Path, triads: Sequence[int] | None = None,
               weights: Sequence[float] | None = None) -> tuple[np.ndarray, np.ndarray]:
    """Stick energies (relative to each triad's ground state) and intensities of a finished
    run: the triads given (1-based; default all), weighted."""
    from morvex7.results import Run

    s = Run.load(directory).sticks(triads=triads, weights=weights)
    return np.asarray(s.energy, float), np.asarray(s.intensity, float)


@dataclass
class SpectrumModel:
    """The broadened engine spectrum as a function of lmfit Parameters.

    Parameters
    ----------
    model_dir : path
        Directory with fort.50, FTN14, FTN15.
    engine_params : sequence of str
        Engine parameter names (as in :mod:`morvex7.commandfile`) that the Parameters carry,
        under their :func:`lmfit_name`.
    client : distributed.Client
        Where the engine runs go.
    workdir : path
        Scratch root for the runs.
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
    runs: int = 0  # engine runs made
    _cache: dict[tuple, tuple[np.ndarray, np.ndarray]] = field(default_factory=dict)

    def __post_init__(self) -> None:
        self.model_dir = Path(self.model_dir).resolve()
        self._text = model_text(self.model_dir)
        for name in self.engine_params:
            parse_name(name)
        names = [lmfit_name(n) for n in self.engine_params]
        if len(set(names) | set(SHAPE_PARAMS)) != len(names) + len(SHAPE_PARAMS):
            raise ValueError(f"engine parameter names {list(self.engine_params)} collide")
        self.names = dict(zip(self.engine_params, names))

    # -- engine runs ---------------------------------------------------------------------

    def _key(self, values: Mapping[str, float]) -> tuple:
        # The engine reads 4-byte reals: values equal as such give the same run.
        return tuple(float(np.float32(values[n])) for n in self.engine_params)

    def sticks_many(self, points: Sequence[Mapping[str, float]]) -> list[tuple]:
        """Sticks at several engine-parameter points, the missing ones run in parallel."""
        keys = [self._key(p) for p in points]
        todo = {k: p for k, p in zip(keys, points) if k not in self._cache}
        futures = {}
        for k, p in todo.items():
            cf = CommandFile(self._text)
            cf.update({n: p[n] for n in self.engine_params})
            work = self.workdir / f"run-{uuid.uuid4().hex[:12]}"
            futures[k] = self.client.submit(engine_sticks, str(self.model_dir), cf.text,
                                            str(work), self.engine, False, self.triads,
                                            self.weights, pure=False)
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

    def shape(self, sticks: tuple[np.ndarray, np.ndarray],
              params: Parameters | Mapping[str, float], x: np.ndarray) -> np.ndarray:
        """The model on `x` from given sticks and the line-shape parameters (lmfit
        Parameters or a mapping of name -> value)."""
        energy, intensity = sticks
        v = {n: float(getattr(params[n], "value", params[n])) for n in SHAPE_PARAMS}
        b = Broadening(lorentz=max(v["lorentz"], 0.0), gauss=max(v["gauss"], 0.0))
        curve = broaden_lines(energy + v["shift"], intensity, b, x)
        return v["scale"] * curve + v["background"] + v["slope"] * (x - self.x_mid)

    def __call__(self, params: Parameters, x: np.ndarray) -> np.ndarray:
        (sticks,) = self.sticks_many([self.engine_values(params)])
        return self.shape(sticks, params, x)

    def jacobian(self, params: Parameters, x: np.ndarray, weight: np.ndarray) -> np.ndarray:
        """d(model * weight)/d(varied parameter), columns in lmfit's order of the varied
        parameters; the engine columns' runs go to the cluster together."""
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
        y0 = self.shape(all_sticks[0], params, x)
        cols = []
        k = 1
        for name in varied:
            if name in steps:
                # the step the engine really took (its values are 4-byte reals)
                eng = by_lmfit[name]
                h = float(np.float32(points[k][eng])) - float(np.float32(base[eng]))
                cols.append((self.shape(all_sticks[k], params, x) - y0) / h)
                k += 1
            else:  # a line-shape parameter: central difference on the same sticks
                values = {n: float(params[n].value) for n in SHAPE_PARAMS}
                h = 1e-6 * max(abs(values[name]), 1e-3)
                up = self.shape(all_sticks[0], {**values, name: values[name] + h}, x)
                down = self.shape(all_sticks[0], {**values, name: values[name] - h}, x)
                cols.append((up - down) / (2 * h))
        return np.array(cols).T * weight[:, None]


# ----------------------------------------------------------------------------------------
# The fit


@dataclass
class FitParam:
    """Start value, bounds and whether a parameter varies (``value=None``: engine
    parameters start from the command file's value; ``scale`` from the data's height)."""

    value: float | None = None
    min: float = -math.inf
    max: float = math.inf
    vary: bool = True


DEFAULT_SHAPE = {
    "lorentz": FitParam(0.5, min=1e-3),
    "gauss": FitParam(0.0, min=0.0, vary=False),
    "shift": FitParam(0.0),
    "scale": FitParam(None, min=0.0),
    "background": FitParam(0.0),
    "slope": FitParam(0.0),
}


@dataclass
class FitResult:
    """What a fit found and where its products are."""

    minimizer_result: Any  # lmfit.MinimizerResult
    values: dict[str, float]  # best values by engine / line-shape name
    stderr: dict[str, float | None]
    energy: np.ndarray
    data: np.ndarray
    best_fit: np.ndarray
    out: Path
    best_dir: Path  # the engine run at the best values, kept
    report: str
    engine_runs: int


def _as_param(x: FitParam | float | None | Mapping[str, Any]) -> FitParam:
    if isinstance(x, FitParam):
        return x
    if isinstance(x, Mapping):
        return FitParam(**x)
    return FitParam(None if x is None else float(x))


def make_parameters(model: SpectrumModel, engine_settings: Mapping[str, FitParam],
                    shape_settings: Mapping[str, FitParam], data: Measured) -> Parameters:
    """lmfit Parameters of a fit, start values filled in."""
    from lmfit import Parameters

    params = Parameters()
    cf = CommandFile(model._text)
    for name, setting in engine_settings.items():
        if setting.vary and parse_name(name).integer:
            raise FitError(f"{name} is an integer parameter: it can only be held fixed")
        value = setting.value if setting.value is not None else cf.get(name)
        if value is None:
            raise FitError(f"{name}: the command file does not give it; state a start value")
        params.add(model.names[name], value=value, min=setting.min, max=setting.max,
                   vary=setting.vary)
    for name in SHAPE_PARAMS:
        setting = shape_settings[name]
        params.add(name, value=1.0 if setting.value is None else setting.value, min=setting.min,
                   max=setting.max, vary=setting.vary)
    for name, setting in [*engine_settings.items(), *shape_settings.items()]:
        p = params[model.names.get(name, name)]
        if p.vary and setting.value is not None and not setting.min < setting.value < setting.max:
            # lmfit would clip it onto the bound, where its gradient vanishes
            raise FitError(f"{name}: start value {setting.value} must lie strictly inside its "
                           f"bounds [{setting.min}, {setting.max}]")
    if shape_settings["scale"].value is None:
        curve = model(params, data.energy)
        height = float(np.ptp(curve)) or 1.0
        params["scale"].set(value=float(np.ptp(data.intensity)) / height)
    return params


def fit_spectrum(model_dir: str | Path, data: Measured | str | Path,
                 engine_params: Mapping[str, FitParam | float | None],
                 shape: Mapping[str, FitParam | float] | None = None, *,
                 out: str | Path, client: Any = None, scheduler: str | None = None,
                 scheduler_file: str | None = None, n_workers: int | None = None,
                 engine: str | Path | None = None, triads: Sequence[int] | None = None,
                 weights: Sequence[float] | None = None, diff_step: float = 1e-3,
                 max_nfev: int = 200, plot: bool = True) -> FitResult:
    """Fit engine parameters and the line shape to a measured spectrum.

    Parameters
    ----------
    model_dir : path
        Model directory (fort.50, FTN14, FTN15).
    data : Measured or path
        The measured spectrum, or a file for :func:`read_spectrum`.
    engine_params : mapping
        Engine parameter name -> start value, ``None`` (the command file's value) or a
        :class:`FitParam` with bounds / ``vary=False``.
    shape : mapping, optional
        Overrides of the line-shape parameters lorentz, gauss (FWHM), shift, scale,
        background, slope (see :data:`DEFAULT_SHAPE`).
    out : path
        Output directory: fit-report.txt, fit.json, fit-curve.csv, fit.png and best/ (the
        engine run at the best values).
    client, scheduler, scheduler_file, n_workers
        The Dask cluster, as for :func:`morvex7.sweep.sweep`.
    engine : path, optional
        Engine executable as seen by the workers.
    triads, weights : sequences, optional
        The triads whose sticks make the spectrum (1-based; default all) and their weights,
        as for ``Run.sticks``.
    diff_step : float
        Relative finite-difference step of the engine parameters.
    max_nfev : int
        Most residual evaluations.
    plot : bool
        Draw fit.png.

    Returns
    -------
    FitResult
    """
    from morvex7.sweep import _client_for

    measured = data if isinstance(data, Measured) else read_spectrum(data)
    engine_settings = {n: _as_param(s) for n, s in engine_params.items()}
    shape_settings = dict(DEFAULT_SHAPE)
    for name, s in (shape or {}).items():
        if name not in SHAPE_PARAMS:
            raise FitError(f"unknown line-shape parameter {name!r}; one of {SHAPE_PARAMS}")
        base = DEFAULT_SHAPE[name]
        shape_settings[name] = (_as_param(s) if isinstance(s, (FitParam, Mapping))
                             else FitParam(float(s), base.min, base.max, True))
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    x, y = measured.energy, measured.intensity
    weight = 1.0 / measured.sigma if measured.sigma is not None else np.ones_like(y)
    scratch = Path(tempfile.mkdtemp(prefix="runs-", dir=out))
    try:
        with _client_for(client, scheduler, scheduler_file, n_workers) as c:
            model = SpectrumModel(model_dir, list(engine_settings), c, scratch,
                                  str(engine) if engine else None, diff_step,
                                  x_mid=0.5 * (x[0] + x[-1]), triads=triads,
                                  weights=weights)
            params = make_parameters(model, engine_settings, shape_settings, measured)
            result = _minimise(model, params, x, y, weight, max_nfev)
            best_engine = model.engine_values(result.params)
            best_dir = out / "best"
            text = CommandFile(model._text)
            text.update(best_engine)
            c.submit(engine_sticks, str(model.model_dir), text.text, str(best_dir),
                     model.engine, True, triads, weights, pure=False).result()
            best_fit = model(result.params, x)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return _write_products(model, result, measured, best_fit, out, best_dir, plot)


def _minimise(model: SpectrumModel, params, x, y, weight, max_nfev: int):
    from lmfit import Minimizer

    def residual(p):
        return (model(p, x) - y) * weight

    def dfun(p):
        return model.jacobian(p, x, weight)

    mini = Minimizer(residual, params)
    return mini.minimize(method="leastsq", Dfun=dfun, col_deriv=0, max_nfev=max_nfev)


def _write_products(model: SpectrumModel, result, measured: Measured, best_fit, out: Path,
                    best_dir: Path, plot: bool) -> FitResult:
    from lmfit import fit_report

    by_lmfit = {v: k for k, v in model.names.items()}
    values, stderr, table = {}, {}, {}
    for lname, p in result.params.items():
        name = by_lmfit.get(lname, lname)
        values[name] = float(p.value)
        stderr[name] = None if p.stderr is None or not p.vary else float(p.stderr)
        table[name] = {"lmfit_name": lname, "value": values[name], "stderr": stderr[name],
                       "start": float(p.init_value) if p.init_value is not None else None,
                       "vary": bool(p.vary), "min": p.min, "max": p.max,
                       "correlations": {by_lmfit.get(k, k): float(v)
                                        for k, v in (p.correl or {}).items()}}
    names = ", ".join(f"{k} = {v}" for k, v in model.names.items() if k != v)
    header = [f"model: {model.model_dir}", f"engine runs: {model.runs}",
              f"best-fit run: {best_dir}"]
    if names:
        header.append(f"engine parameter names in the report: {names}")
    report = "\n".join(header) + "\n" + fit_report(result) + "\n"
    (out / "fit-report.txt").write_text(report)
    (out / "fit.json").write_text(json.dumps(
        {"model": str(model.model_dir), "parameters": table, "chisqr": float(result.chisqr),
         "redchi": float(result.redchi), "nfev": int(result.nfev),
         "success": bool(result.success), "message": str(result.message),
         "engine_runs": model.runs}, indent=1, default=float) + "\n")
    x, y = measured.energy, measured.intensity
    np.savetxt(out / "fit-curve.csv", np.column_stack([x, y, best_fit, y - best_fit]),
               delimiter=",", header="energy,data,fit,residual", comments="")
    if plot:
        plot_fit(x, y, best_fit, out / "fit.png", title=f"{model.model_dir.name}: "
                 + ", ".join(f"{k}={values[k]:.4g}" for k in model.engine_params))
    return FitResult(result, values, stderr, x, y, best_fit, out, best_dir, report,
                     model.runs)


def plot_fit(x: np.ndarray, y: np.ndarray, fit: np.ndarray, path: str | Path,
             title: str = "") -> None:
    """Data, fit and residual in two panels, written to `path`."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(7, 5),
                                      gridspec_kw={"height_ratios": [3, 1]})
    top.plot(x, y, ".", ms=3, label="data")
    top.plot(x, fit, "-", label="fit")
    top.set_ylabel("intensity")
    top.legend()
    top.set_title(title, fontsize=9)
    bottom.plot(x, y - fit, ".", ms=3)
    bottom.axhline(0.0, color="k", lw=0.5)
    bottom.set_xlabel("energy")
    bottom.set_ylabel("residual")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
