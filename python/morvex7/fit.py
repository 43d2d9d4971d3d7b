"""Fitting a model's physical parameters and the line shape to measured spectra.

The model of a measured spectrum y(x) is

    model(x) = scale * B(x - offset - shift) + background + slope * (x - x_mid)
               + step * (S(x - E3) + step_ratio * S(x - E2))

B is the spectrum the user sees with ``morvex7-spectra``: for a builder-made model the
model.json combination of the triads (isotropic by default, or a polarisation, at a
temperature), otherwise the sum of the chosen triads; broadened with a Lorentzian FWHM
``lorentz`` (and ``lorentz_l2`` for the L2 lines, by default for a model built from an ion,
whose tabulated core-hole widths start both) and a Gaussian FWHM ``gauss``. ``offset`` puts
the model on the photon-energy axis: with an edge energy (the model's ``edge_energy`` or
``edge_energy=`` here) the strongest feature of the start model sits there. E3 and E2 are
the L3 and L2 edges (the strongest feature, and 3/2 zeta_c above it), S an arctangent or
error-function step (:mod:`morvex7.background`). The fit starts from an alignment of the
strongest features of model and data, and refuses data that do not overlap the model's
range.

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

The pieces live in modules of their own, all reachable from here: :mod:`morvex7.fitdata`
(measured spectra), :mod:`morvex7.fitmodel` (the model spectra and their Jacobian),
:mod:`morvex7.fitparams` (settings and start values), :mod:`morvex7.fitaxis` (alignment and
overlap) and :mod:`morvex7.fitreport` (the products).
"""
from __future__ import annotations

import json
import re
import shutil
import tempfile
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

from morvex7.fitaxis import (check_overlap, edge_positions, model_edge_energy, model_range,
                            strongest_feature, tabulated_widths)
from morvex7.fitdata import Dataset, FitError, Measured, as_datasets, read_spectrum
from morvex7.fitmodel import (DATASET_SHAPE, SHAPE_PARAMS, SHARED_SHAPE, UPPER_WIDTH,
                              SpectrumKey, SpectrumModel, engine_sticks, lmfit_name,
                              run_sticks)
from morvex7.fitparams import (DEFAULT_SHAPE, SHIFT_RANGE, FitParam, as_param, make_parameters,
                               start_value)
from morvex7.fitworkers import fit_workers
from morvex7.params import ParameterMap

__all__ = ["DATASET_SHAPE", "DEFAULT_SHAPE", "SHAPE_PARAMS", "SHARED_SHAPE", "SHIFT_RANGE",
           "Dataset", "FitError", "FitParam", "FitResult", "Measured", "SpectrumKey",
           "SpectrumModel", "as_datasets", "check_overlap", "edge_positions", "engine_sticks",
           "fit_again", "fit_settings", "fit_spectrum", "lmfit_name", "make_parameters",
           "model_edge_energy", "model_range", "read_spectrum", "run_sticks", "start_value",
           "strongest_feature", "tabulated_widths", "UPPER_WIDTH"]


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
        step_width, lorentz_l2 (the L2 lines' own Lorentzian FWHM); ``scale_2`` etc. for the
        second spectrum. Without lorentz, a model built from an ion starts lorentz and
        lorentz_l2 at its tabulated L3 and L2 core-hole widths.
    out : path
        Output directory: fit-report.txt, fit.json, fit-curve.csv (fit-curve-2.csv, ...),
        fit.png, fitted-model.toml (builder-made models), fit-settings.json and best/ (the
        engine run at the best values).
    client, scheduler, scheduler_file, n_workers
        A running Dask cluster (a client, or its scheduler's address or file, as for
        :func:`morvex7.sweep.sweep`); without one, `n_workers` engine runs side by side on
        this machine (default one per core; :mod:`morvex7.fitworkers`).
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

    datasets = as_datasets(data, normalise)
    engine_settings = {n: as_param(s) for n, s in engine_params.items()}
    shape_settings = dict(DEFAULT_SHAPE)
    for name, s in (shape or {}).items():
        base_name = re.sub(r"_\d+$", "", name)
        if base_name not in SHAPE_PARAMS or (base_name != name and base_name not in DATASET_SHAPE):
            raise FitError(f"unknown line-shape parameter {name!r}; one of {SHAPE_PARAMS}")
        base = DEFAULT_SHAPE.get(base_name, DEFAULT_SHAPE["lorentz"])
        shape_settings[name] = (as_param(s) if isinstance(s, (FitParam, Mapping))
                                else FitParam(float(s), base.min, base.max, True))
    out = Path(out)
    model_dir = Path(model_dir)
    notes = core_hole_widths(model_dir, shape or {}, shape_settings)
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
    # the workers of a running cluster have working directories of their own: absolute paths
    scratch = Path(tempfile.mkdtemp(prefix="runs-", dir=out)).resolve()
    try:
        with fit_workers(client, scheduler, scheduler_file, n_workers) as c:
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
            model.notes = notes
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
            best_dir = out.resolve() / "best"
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
            "shape": {n: asdict(as_param(s)) if isinstance(s, (FitParam, Mapping))
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


def core_hole_widths(model_dir: Path, given: Mapping[str, Any],
                     shape_settings: dict[str, FitParam]) -> list[str]:
    """Start the Lorentzian widths the user left open at the tabulated core-hole widths of a
    model built from an ion (``lorentz`` at the lower edge's, ``lorentz_l2`` at the upper
    edge's, each its own parameter); a line for the report saying so, if they do."""
    widths = tabulated_widths(model_dir)
    if not widths or "lorentz" in given:
        return []
    (lower, w_lower), *upper = widths.items()
    default = DEFAULT_SHAPE["lorentz"]
    shape_settings["lorentz"] = FitParam(w_lower, default.min, default.max, default.vary)
    used = [f"lorentz = {w_lower:g} ({lower})"]
    if upper and UPPER_WIDTH not in given:
        edge, w_upper = upper[0]
        shape_settings[UPPER_WIDTH] = FitParam(w_upper, default.min, default.max, default.vary)
        used.append(f"{UPPER_WIDTH} = {w_upper:g} ({edge})")
    return ["Lorentzian widths from the tabulated core-hole widths: " + ", ".join(used) + " eV"]


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


def _minimise(model: SpectrumModel, params, xs, y, weight, max_nfev: int):
    from lmfit import Minimizer

    def residual(p):
        return (np.concatenate(model.curves(p, xs)) - y) * weight

    def dfun(p):
        return model.jacobian(p, xs, weight)

    mini = Minimizer(residual, params)
    return mini.minimize(method="leastsq", Dfun=dfun, col_deriv=0, max_nfev=max_nfev)


