"""What the explorer page works on: one model, its parameters, engine runs, spectra and fits.

Everything that arrives from the page goes through :meth:`Session.check_request` first: known
names only, finite numbers within their ranges, a known polarisation. Anything refused raises
:class:`RequestError`, whose message the page shows as it is.
"""
from __future__ import annotations

import json
import math
import re
import shutil
import threading
import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Mapping

import numpy as np

from morvex7.broadening import Broadening, broaden_lines, voigt_fwhm
from morvex7.commandfile import ParameterError
from morvex7.explore import parameters as physical
from morvex7.explore.runs import EngineRuns, Outcome, RunCancelled
from morvex7.runner import prepare

LOOPBACK = "127.0.0.1"
REFERENCE_WIDTH = 0.3  # eV, the Lorentzian that finds the strongest feature
MAX_POINTS = 1500  # points of the drawn curve
MAX_TEMPERATURE = 5000.0  # kelvin
MAX_WIDTH = 50.0  # eV, either width
MAX_EDGE = 1.0e5  # eV
MAX_MEASURED_BYTES = 4 << 20
MAX_MEASURED_ROWS = 200_000


class RequestError(ValueError):
    """A request from the page that cannot be served; the message is for the user."""


@dataclass
class View:
    """How the sticks become the drawn spectrum."""

    lorentz: float = 0.3
    gauss: float = 0.2
    polarisation: str = "iso"
    temperature: float = 0.0
    edge: float = 0.0  # photon energy of the model's strongest feature; 0: the E - E0 axis


@dataclass
class Request:
    """A checked request: parameter values and the view."""

    values: dict[str, float]
    view: View


@dataclass
class GoodRun:
    """The last run that ended normally: its values and its directory."""

    key: tuple
    values: dict[str, float]
    outcome: Outcome


def _number(raw: Any, what: str) -> float:
    if isinstance(raw, bool) or not isinstance(raw, (int, float, str)):
        raise RequestError(f"{what}: a number is needed, not {json.dumps(raw)[:40]}")
    try:
        value = float(raw)
    except ValueError:
        raise RequestError(f"{what}: {str(raw)[:40]!r} is not a number") from None
    if not math.isfinite(value):
        raise RequestError(f"{what}: {raw} is not a finite number")
    return value


def _in_range(value: float, lo: float, hi: float, what: str) -> float:
    if not lo <= value <= hi:
        raise RequestError(f"{what} = {value:g} is outside the accepted range {lo:g} .. {hi:g}")
    return value


class Session:
    """The explorer's state for one model directory and one work directory."""

    def __init__(self, model_dir: Path, workdir: Path, engine: Path,
                 description: Path | None = None):
        self.model_dir = Path(model_dir).resolve()
        self.workdir = Path(workdir).resolve()
        self.description = description
        self.engine = engine
        self.params = {p.name: p for p in physical.model_parameters(self.model_dir)}
        model_json = self.model_dir / "model.json"
        self.model = json.loads(model_json.read_text()) if model_json.is_file() else None
        self.runs = EngineRuns(self.workdir / "runs", engine)
        self.good: GoodRun | None = None
        self._good_lock = threading.Lock()
        self.measured = None  # morvex7.fit.Measured, once loaded
        self.measured_name = ""
        self._fit_lock = threading.Lock()
        self._fits = 0
        self._client = None
        self._reference: float | None = None  # E - E0 of the model's strongest feature

    # -- what the page shows first ---------------------------------------------------------

    @property
    def polarisations(self) -> list[str]:
        return list(self.model["spectra"]) if self.model else []

    @property
    def has_temperature(self) -> bool:
        """Whether a temperature changes anything: several initial states in the runs."""
        if not self.model:
            return False
        states = sum(len(g.get("energies", [g["energy"]]))
                     for g in self.model.get("ground_symmetries", []))
        return states > 1

    def describe(self) -> dict:
        title = (self.model or {}).get("title") or self.model_dir.name
        return {
            "title": title,
            "model": str(self.model_dir),
            "params": [p.as_json() for p in self.params.values()],
            "polarisations": self.polarisations,
            "temperature": self.has_temperature,
            "toml": self.model is not None,
            "view": self.default_view().__dict__,
            "limits": {"width": MAX_WIDTH, "temperature": MAX_TEMPERATURE, "edge": MAX_EDGE},
        }

    def default_view(self) -> View:
        """The first view: a model that knows its edge energy is drawn on photon energies."""
        edge = (self.model or {}).get("edge_energy")
        return View(edge=float(edge)) if isinstance(edge, (int, float)) else View()

    # -- checking what the page sends ------------------------------------------------------

    def check_values(self, raw: Any) -> dict[str, float]:
        if not isinstance(raw, Mapping):
            raise RequestError("params: an object of name: value is needed")
        values = {}
        for name, value in raw.items():
            p = self.params.get(name)
            if p is None:
                known = ", ".join(self.params) or "none"
                raise RequestError(f"unknown parameter {str(name)[:40]!r}; this model has {known}")
            values[name] = _in_range(_number(value, name), p.minimum, p.maximum, name)
        return {n: values.get(n, p.value) for n, p in self.params.items()}

    def check_view(self, raw: Any) -> View:
        if raw is None:
            return self.default_view()
        if not isinstance(raw, Mapping):
            raise RequestError("view: an object is needed")
        unknown = set(raw) - set(View.__dataclass_fields__)
        if unknown:
            raise RequestError(f"view: unknown setting {sorted(unknown)[0]!r}")
        view = self.default_view()
        for name in ("lorentz", "gauss"):
            if name in raw:
                setattr(view, name, _in_range(_number(raw[name], f"{name} FWHM"), 0.0,
                                              MAX_WIDTH, f"{name} FWHM"))
        if view.lorentz == 0 and view.gauss == 0:
            raise RequestError("give a Lorentzian or a Gaussian width above zero")
        if "temperature" in raw:
            view.temperature = _in_range(_number(raw["temperature"], "temperature"), 0.0,
                                         MAX_TEMPERATURE, "temperature (K)")
        if "edge" in raw:
            view.edge = _in_range(_number(raw["edge"], "edge energy"), -MAX_EDGE, MAX_EDGE,
                                  "edge energy (eV)")
        if "polarisation" in raw:
            pol = raw["polarisation"]
            allowed = self.polarisations or ["iso"]
            if pol not in allowed:
                raise RequestError(f"polarisation {str(pol)[:20]!r}: this model has "
                                   f"{', '.join(allowed)}")
            view.polarisation = pol
        return view

    def changed(self, values: Mapping[str, float]) -> dict[str, float]:
        """The values that differ from the model's own (as the engine's 4-byte reals): only
        these go to the command file, so that a name and a wider one covering the same engine
        numbers (excited.10Dq, 10Dq) do not undo each other."""
        return {n: v for n, v in values.items()
                if np.float32(v) != np.float32(self.params[n].value)}

    def check_request(self, body: Any) -> Request:
        if not isinstance(body, Mapping):
            raise RequestError("the request must be a JSON object")
        return Request(self.check_values(body.get("params", {})), self.check_view(body.get("view")))

    # -- runs and spectra ------------------------------------------------------------------

    @staticmethod
    def _key(values: Mapping[str, float]) -> tuple:
        # the engine reads 4-byte reals: values equal as such make the same run
        return tuple(sorted((n, float(np.float32(v))) for n, v in values.items()))

    def spectrum(self, body: Any) -> dict:
        """Run the engine for the request's values (unless the last good run had them) and
        return the drawn spectrum; a failed run returns its stop text and the last good
        spectrum's values."""
        req = self.check_request(body)
        changed = self.changed(req.values)
        key = self._key(changed)
        with self._good_lock:
            good = self.good if self.good is not None and self.good.key == key else None
        ran = None
        if good is None:
            try:
                text = physical.command_text(self.model_dir, changed)
            except ParameterError as exc:
                raise RequestError(str(exc)) from None
            try:
                outcome = self.runs.run(self.model_dir, text, changed)
            except RunCancelled as exc:
                return {"cancelled": True, "message": str(exc)}
            if not outcome.ok:
                return {"ok": False, "status": outcome.status, "stop_text": outcome.stop_text,
                        "log_tail": outcome.log_tail, "values": req.values}
            ran = outcome
            good = GoodRun(key, req.values, outcome)
            with self._good_lock:
                self.good = good
            self.runs.prune({good.outcome.directory})
        result = self.draw(good, req.view)
        result.update(ok=True, values=good.values,
                      wall_time=None if ran is None else round(ran.wall_time, 4),
                      engine_run=ran is not None)
        return result

    def sticks(self, good: GoodRun, view: View):
        from morvex7.results import Run

        run = Run.load(good.outcome.directory)
        if self.model is not None:
            from morvex7.ion.spectra import combined_sticks

            try:
                return combined_sticks(run, self.model, view.polarisation, view.temperature)
            except ValueError as exc:
                raise RequestError(str(exc)) from None
        return run.sticks()

    def draw(self, good: GoodRun, view: View) -> dict:
        with warnings.catch_warnings(record=True) as caught:  # told on the page
            warnings.simplefilter("always")
            s = self.sticks(good, view)
        energy = np.asarray(s.energy, float) + self.offset(view)
        intensity = np.asarray(s.intensity, float)
        keep = np.isfinite(energy) & np.isfinite(intensity) & (intensity > 0)
        energy, intensity = energy[keep], intensity[keep]
        x = curve_grid(energy, view, self.offset(view))
        broadening = Broadening(lorentz=view.lorentz, gauss=view.gauss)
        y = broaden_lines(energy, intensity, broadening, x) if energy.size else np.zeros_like(x)
        return {"energy": _rounded(x), "intensity": _rounded(y),
                "sticks": {"energy": _rounded(energy), "intensity": _rounded(intensity)},
                "axis": "photon energy (eV)" if view.edge else "E - E0 (eV)",
                "notes": [str(w.message) for w in caught],
                "broadening": broadening.describe()}

    def offset(self, view: View) -> float:
        """What the drawn axis adds to E - E0: with an edge energy, the one that puts the
        strongest feature of the model's own spectrum there (as morvex7-spectra and fits
        do); it stays while parameters change, so the features are seen to move."""
        if not view.edge:
            return 0.0
        if self._reference is None:
            self._reference = self._strongest_feature()
        return view.edge - self._reference

    def _strongest_feature(self) -> float:
        from morvex7.fit import strongest_feature
        from morvex7.results import Run
        from morvex7.runner import execute

        record = execute(self.model_dir, None, self.workdir / "reference", engine=self.engine,
                         overwrite=True, check=False)
        if not record.ok:
            raise RequestError(f"the model's own run stopped: {record.stop_text}")
        run = Run.load(record.directory)
        if self.model is not None:
            from morvex7.ion.spectra import combined_sticks

            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                sticks = combined_sticks(run, self.model)
        else:
            sticks = run.sticks()
        return strongest_feature(np.asarray(sticks.energy), np.asarray(sticks.intensity),
                                 REFERENCE_WIDTH)

    # -- the measured spectrum -------------------------------------------------------------

    def load_measured(self, body: Any) -> dict:
        """Keep the measured spectrum the page sends (the text of the user's file)."""
        from morvex7.fit import read_spectrum

        if not isinstance(body, Mapping) or not isinstance(body.get("text"), str):
            raise RequestError("measured: the file's text is needed")
        name = str(body.get("name") or "measured.txt")
        safe = re.sub(r"[^A-Za-z0-9._-]+", "_", Path(name).name)[:80] or "measured.txt"
        text = body["text"]
        if len(text.encode("utf-8")) > MAX_MEASURED_BYTES:
            raise RequestError(f"{name}: larger than {MAX_MEASURED_BYTES >> 20} MB")
        folder = self.workdir / "measured"
        folder.mkdir(parents=True, exist_ok=True)
        path = folder / safe
        path.write_text(text)
        try:
            m = read_spectrum(path)
        except ValueError as exc:
            raise RequestError(str(exc).replace(str(path), name)) from None
        if m.energy.size > MAX_MEASURED_ROWS:
            raise RequestError(f"{name}: more than {MAX_MEASURED_ROWS} rows")
        if not (np.all(np.isfinite(m.energy)) and np.all(np.isfinite(m.intensity))):
            raise RequestError(f"{name}: energies and intensities must be finite numbers")
        self.measured, self.measured_name = m, name
        return {"name": name, "energy": _rounded(m.energy), "intensity": _rounded(m.intensity),
                "rows": int(m.energy.size)}

    # -- the fit ---------------------------------------------------------------------------

    def fit(self, body: Any) -> dict:
        """Fit the chosen parameters and the line shape to the measured spectrum."""
        from morvex7.fit import (Dataset, FitError, FitParam, Measured, fit_spectrum,
                                 strongest_feature)

        req = self.check_request(body)
        if self.measured is None:
            raise RequestError("load a measured spectrum before fitting")
        chosen = body.get("fit", [])
        if not isinstance(chosen, list) or not all(isinstance(n, str) for n in chosen):
            raise RequestError("fit: a list of parameter names is needed")
        for name in chosen:
            if name not in self.params:
                raise RequestError(f"fit: unknown parameter {name[:40]!r}")
        shift = _number(body.get("shift", 0.0), "shift")
        max_nfev = int(_in_range(_number(body.get("max_nfev", 60), "max_nfev"), 1, 500,
                                 "max_nfev"))
        m = self.measured
        # the measurement where the page draws it: moved by the overlay's shift
        data = Dataset(Measured(m.energy - shift, m.intensity, m.sigma), req.view.polarisation,
                       req.view.temperature, source=self.measured_name)
        # the ticked parameters vary within their ranges from the page's values
        engine_params = {n: FitParam(req.values[n], self.params[n].minimum,
                                     self.params[n].maximum, True) for n in chosen}
        changed = self.changed(req.values)
        kept = {n: v for n, v in changed.items() if n not in chosen}
        try:
            text = physical.command_text(self.model_dir, kept)
        except ParameterError as exc:
            raise RequestError(str(exc)) from None
        view = req.view
        lorentz = max(view.lorentz, 1e-3)
        shape = {"lorentz": FitParam(lorentz, 1e-3, MAX_WIDTH, True),
                 "gauss": FitParam(view.gauss, 0.0, MAX_WIDTH, view.gauss > 0),
                 "shift": FitParam(0.0)}  # the page has laid the measurement on already
        with self._good_lock:
            good = self.good
        if good is None or good.key != self._key(changed):
            raise RequestError("wait until the spectrum of these values is drawn, then fit")
        # the fit puts the start model's strongest feature at edge_energy: the energy that
        # gives it the page's axis
        s = self.sticks(good, view)
        edge_energy = self.offset(view) + strongest_feature(
            np.asarray(s.energy), np.asarray(s.intensity), lorentz)
        if not self._fit_lock.acquire(blocking=False):
            raise RequestError("a fit is running already; wait for its report")
        try:
            self._fits += 1
            out = self.workdir / "fits" / f"fit-{self._fits:03d}"
            if out.exists():
                shutil.rmtree(out)
            # the model as the page has it: the other changed values stay put in the fit
            base = prepare(self.model_dir, text, self.workdir / "fits" / f"model-{self._fits:03d}",
                           overwrite=True)
            try:
                result = fit_spectrum(base, data, engine_params, shape, out=out,
                                      client=self._dask(), engine=self.engine,
                                      max_nfev=max_nfev, plot=False, edge_energy=edge_energy)
            except (FitError, ValueError) as exc:  # ParameterError is a ValueError
                return {"ok": False, "message": str(exc)}
        finally:
            self._fit_lock.release()
        values = dict(req.values)
        values.update({n: result.values[n] for n in chosen})
        return {"ok": True, "report": result.report, "values": values,
                "shape": {k: result.values[k] for k in
                          ("lorentz", "gauss", "shift", "scale", "background", "slope")},
                "energy": _rounded(result.energy + shift),
                "best_fit": _rounded(result.best_fit), "engine_runs": result.engine_runs,
                "directory": str(out)}

    def _dask(self):
        if self._client is None:
            from distributed import Client, LocalCluster

            # in this process, threads only; its status pages on 127.0.0.1 like the page, its
            # scratch files in the work directory
            cluster = LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                   dashboard_address=f"{LOOPBACK}:0",
                                   worker_dashboard_address=f"{LOOPBACK}:0",
                                   local_directory=str(self.workdir / "dask"),
                                   silence_logs=40)
            self._client = Client(cluster)
        return self._client

    # -- exports ---------------------------------------------------------------------------

    def export_csv(self, body: Any) -> str:
        """The drawn curve of the last good run as CSV, with what made it in the header."""
        req = self.check_request(body)
        with self._good_lock:
            good = self.good
        if good is None:
            raise RequestError("nothing to export yet: no run has ended normally")
        drawn = self.draw(good, req.view)
        lines = [f"# {self.describe()['title']}", f"# model: {self.model_dir}",
                 "# parameters: " + ", ".join(f"{k}={v:g}" for k, v in good.values.items()),
                 f"# {drawn['broadening']}; polarisation {req.view.polarisation}; "
                 f"temperature {req.view.temperature:g} K; edge energy {req.view.edge:g} eV "
                 f"(E - E0 + {self.offset(req.view):.6g})",
                 "energy,intensity"]
        lines += [f"{x!r},{y!r}" for x, y in zip(drawn["energy"], drawn["intensity"])]
        return "\n".join(lines) + "\n"

    def export_toml(self, body: Any) -> str:
        """A model description with the page's values, which morvex7-ion rebuilds."""
        req = self.check_request(body)
        if self.model is None:
            raise RequestError("this model has no model.json: it was not made by the builder, "
                               "so there is no description to write")
        from morvex7.description import fitted_description, toml_text

        try:
            description = fitted_description(self.model, self.changed(req.values))
        except (KeyError, ValueError) as exc:
            raise RequestError(f"the description cannot take these values: {exc}") from None
        return toml_text(description, comment=f"written by morvex7-explore from {self.model_dir}")

    def close(self) -> None:
        self.runs.close()
        if self._client is not None:
            try:
                self._client.close()
                self._client.cluster.close()
            except Exception:  # noqa: BLE001 - closing at exit, nothing left to tell
                pass


def curve_grid(energy: np.ndarray, view: View, offset: float) -> np.ndarray:
    """The drawn curve's energies: the lines plus a few widths on each side."""
    width = voigt_fwhm(view.lorentz, view.gauss)
    if energy.size == 0:
        lo, hi = offset - 1.0, offset + 1.0
    else:
        lo, hi = float(energy.min()), float(energy.max())
    margin = 6.0 * width + 0.5
    lo, hi = lo - margin, hi + margin
    n = int(min(MAX_POINTS, max(200, math.ceil((hi - lo) / (width / 8.0)) + 1)))
    return np.linspace(lo, hi, n)


def _rounded(a: np.ndarray) -> list[float]:
    return [float(f"{v:.7g}") for v in np.asarray(a, float)]
