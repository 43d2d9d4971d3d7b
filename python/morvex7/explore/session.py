"""What the explorer page works on: one model, its parameters, engine runs, spectra and fits.

Everything that arrives from the page goes through :meth:`Session.check_request` first (see
:mod:`morvex7.explore.requests`); the measured spectrum and its fit are in
:mod:`morvex7.explore.pagefit`.
"""
from __future__ import annotations

import json
import math
import threading
import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Mapping

import numpy as np

from morvex7.broadening import Broadening, broaden_lines, voigt_fwhm
from morvex7.commandfile import ParameterError
from morvex7.explore import parameters as physical
from morvex7.explore.pagefit import PageFit
from morvex7.explore.requests import (MAX_EDGE, MAX_TEMPERATURE, MAX_WIDTH, Request,
                                      RequestError, View, check_values, check_view,
                                      rounded)
from morvex7.explore.runs import EngineRuns, Outcome, RunCancelled

__all__ = ["GoodRun", "RequestError", "Session", "View", "curve_grid"]

REFERENCE_WIDTH = 0.3  # eV, the Lorentzian that finds the strongest feature
MAX_POINTS = 1500  # points of the drawn curve


@dataclass
class GoodRun:
    """The last run that ended normally: its values and its directory."""

    key: tuple
    values: dict[str, float]
    outcome: Outcome


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
        self.fitting = PageFit(self.workdir)
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
        return check_values(self.params, raw)

    def check_view(self, raw: Any) -> View:
        return check_view(raw, self.default_view(), self.polarisations)

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
        return {"energy": rounded(x), "intensity": rounded(y),
                "sticks": {"energy": rounded(energy), "intensity": rounded(intensity)},
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
        return self.fitting.load(body)

    # -- the fit ---------------------------------------------------------------------------

    def fit(self, body: Any) -> dict:
        """Fit the chosen parameters and the line shape to the measured spectrum."""
        return self.fitting.fit(self, body)

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
        self.fitting.close()


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
