"""The explorer's measured spectrum and its fit: what the page's "load" and "fit" buttons do."""
from __future__ import annotations

import re
import shutil
import threading
from pathlib import Path
from typing import TYPE_CHECKING, Any, Mapping

import numpy as np

from morvex7.commandfile import ParameterError
from morvex7.explore import parameters as physical
from morvex7.explore.requests import MAX_WIDTH, RequestError, in_range, number, rounded
from morvex7.runner import prepare

if TYPE_CHECKING:
    from morvex7.explore.session import Session

LOOPBACK = "127.0.0.1"
MAX_MEASURED_BYTES = 4 << 20
MAX_MEASURED_ROWS = 200_000


class PageFit:
    """The measured spectrum the page sent, and fits of the session's model to it (one at a
    time)."""

    def __init__(self, workdir: Path):
        self.workdir = workdir
        self.measured = None  # morvex7.fit.Measured, once loaded
        self.measured_name = ""
        self._lock = threading.Lock()
        self._fits = 0
        self._client = None

    def load(self, body: Any) -> dict:
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
        return {"name": name, "energy": rounded(m.energy), "intensity": rounded(m.intensity),
                "rows": int(m.energy.size)}

    def fit(self, session: Session, body: Any) -> dict:
        """Fit the chosen parameters and the line shape to the measured spectrum."""
        from morvex7.fit import (Dataset, FitError, FitParam, Measured, fit_spectrum,
                                 strongest_feature)

        req = session.check_request(body)
        if self.measured is None:
            raise RequestError("load a measured spectrum before fitting")
        chosen = body.get("fit", [])
        if not isinstance(chosen, list) or not all(isinstance(n, str) for n in chosen):
            raise RequestError("fit: a list of parameter names is needed")
        for name in chosen:
            if name not in session.params:
                raise RequestError(f"fit: unknown parameter {name[:40]!r}")
        shift = number(body.get("shift", 0.0), "shift")
        max_nfev = int(in_range(number(body.get("max_nfev", 60), "max_nfev"), 1, 500,
                                 "max_nfev"))
        m = self.measured
        # the measurement where the page draws it: moved by the overlay's shift
        data = Dataset(Measured(m.energy - shift, m.intensity, m.sigma), req.view.polarisation,
                       req.view.temperature, source=self.measured_name)
        # the ticked parameters vary within their ranges from the page's values
        engine_params = {n: FitParam(req.values[n], session.params[n].minimum,
                                     session.params[n].maximum, True) for n in chosen}
        changed = session.changed(req.values)
        kept = {n: v for n, v in changed.items() if n not in chosen}
        try:
            text = physical.command_text(session.model_dir, kept)
        except ParameterError as exc:
            raise RequestError(str(exc)) from None
        view = req.view
        lorentz = max(view.lorentz, 1e-3)
        shape = {"lorentz": FitParam(lorentz, 1e-3, MAX_WIDTH, True),
                 "gauss": FitParam(view.gauss, 0.0, MAX_WIDTH, view.gauss > 0),
                 "shift": FitParam(0.0)}  # the page has laid the measurement on already
        with session._good_lock:
            good = session.good
        if good is None or good.key != session._key(changed):
            raise RequestError("wait until the spectrum of these values is drawn, then fit")
        # the fit puts the start model's strongest feature at edge_energy: the energy that
        # gives it the page's axis
        s = session.sticks(good, view)
        edge_energy = session.offset(view) + strongest_feature(
            np.asarray(s.energy), np.asarray(s.intensity), lorentz)
        if not self._lock.acquire(blocking=False):
            raise RequestError("a fit is running already; wait for its report")
        try:
            self._fits += 1
            out = self.workdir / "fits" / f"fit-{self._fits:03d}"
            if out.exists():
                shutil.rmtree(out)
            # the model as the page has it: the other changed values stay put in the fit
            base = prepare(session.model_dir, text, self.workdir / "fits" / f"model-{self._fits:03d}",
                           overwrite=True)
            try:
                result = fit_spectrum(base, data, engine_params, shape, out=out,
                                      client=self._dask(), engine=session.engine,
                                      max_nfev=max_nfev, plot=False, edge_energy=edge_energy)
            except (FitError, ValueError) as exc:  # ParameterError is a ValueError
                return {"ok": False, "message": str(exc)}
        finally:
            self._lock.release()
        values = dict(req.values)
        values.update({n: result.values[n] for n in chosen})
        return {"ok": True, "report": result.report, "values": values,
                "shape": {k: result.values[k] for k in
                          ("lorentz", "gauss", "shift", "scale", "background", "slope")},
                "energy": rounded(result.energy + shift),
                "best_fit": rounded(result.best_fit), "engine_runs": result.engine_runs,
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

    def close(self) -> None:
        if self._client is not None:
            try:
                self._client.close()
                self._client.cluster.close()
            except Exception:  # noqa: BLE001 - closing at exit, nothing left to tell
                pass
