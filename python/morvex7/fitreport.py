"""The products of a fit: report, table, curves, plot, the fitted model as a description, and
the settings that repeat the fit (``morvex7-fit --again``)."""
from __future__ import annotations

import json
import re
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from morvex7.fit import Dataset, FitResult, SpectrumModel

SETTINGS_FILE = "fit-settings.json"
FITTED_MODEL = "fitted-model.toml"


def physical_report(text: str, names: Mapping[str, str]) -> str:
    """lmfit's report with the lmfit names replaced by the parameters' own names."""
    for real, lname in sorted(names.items(), key=lambda kv: -len(kv[1])):
        if real != lname:
            text = re.sub(rf"(?<![A-Za-z0-9_]){re.escape(lname)}(?![A-Za-z0-9_])", real, text)
    return text


def curve_name(i: int) -> str:
    return "fit-curve.csv" if i == 0 else f"fit-curve-{i + 1}.csv"


def write_products(model: SpectrumModel, result, datasets: Sequence[Dataset], out: Path,
                   best_dir: Path, plot: bool, edge_energy: float | None,
                   settings: Mapping[str, Any]) -> FitResult:
    from lmfit import fit_report

    from morvex7.fit import FitResult

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
    header = [f"model: {model.model_dir}", f"engine runs: {model.runs}",
              f"best-fit run: {best_dir}"]
    for i, ds in enumerate(datasets):
        header.append(f"spectrum {i + 1}: {ds.source or 'data'} ({ds.polarisation}, "
                      f"{ds.temperature:g} K)")
    header += model.notes
    if edge_energy is not None:
        header.append(f"photon-energy axis: the start model's strongest feature at "
                      f"{edge_energy:g} eV (E - E0 + {model.offset:.6g})")
    lost = [n for n in model.engine_params if stderr.get(n) is None and table[n]["vary"]]
    if lost:
        header.append(f"no uncertainty for {', '.join(lost)}: the data do not determine "
                      "it (or it is tied to another parameter)")
    report = "\n".join(header) + "\n" + physical_report(fit_report(result), model.names) + "\n"
    (out / "fit-report.txt").write_text(report)

    curves = []
    for i, ds in enumerate(datasets):
        x, y = ds.data.energy, ds.data.intensity
        (sticks,) = model.sticks_many([model.engine_values(result.params)])
        spectrum, background = model.shape(sticks, result.params, x, i, parts=True)
        fit = spectrum + background
        curves.append({"energy": x, "data": y, "fit": fit, "background": background,
                       "residual": y - fit})
        np.savetxt(out / curve_name(i), np.column_stack([x, y, fit, background, y - fit]),
                   delimiter=",", header="energy,data,fit,background,residual", comments="")
    fitted = _write_description(model, values, out)
    (out / "fit.json").write_text(json.dumps(
        {"model": str(model.model_dir), "parameters": table, "chisqr": float(result.chisqr),
         "redchi": float(result.redchi), "nfev": int(result.nfev),
         "success": bool(result.success), "message": str(result.message),
         "engine_runs": model.runs, "offset": model.offset, "edge_energy": edge_energy,
         "spectra": [{"source": d.source, "polarisation": d.polarisation,
                      "temperature": d.temperature, "curve": curve_name(i)}
                     for i, d in enumerate(datasets)],
         "fitted_model": fitted}, indent=1, default=float) + "\n")
    if settings:
        (out / SETTINGS_FILE).write_text(json.dumps(settings, indent=1, default=float) + "\n")
    if plot:
        title = f"{model.model_dir.name}: " + ", ".join(
            f"{k}={values[k]:.4g}" for k in model.engine_params)
        plot_fit(curves, out / "fit.png", title=title,
                 labels=[f"{d.polarisation}, {d.temperature:g} K" for d in datasets],
                 xlabel="photon energy (eV)" if edge_energy is not None else "E - E0 (eV)")
    first = curves[0]
    return FitResult(result, values, stderr, first["energy"], first["data"], first["fit"],
                     out, best_dir, report, model.runs, curves)


def _write_description(model: SpectrumModel, values: Mapping[str, float], out: Path) -> str | None:
    """fitted-model.toml for a builder-made model fitted in physical names; its name."""
    path = model.model_dir / "model.json"
    physical = {n: values[n] for n in model.engine_params if model.pmap.lookup(n) is not None}
    if not path.is_file() or len(physical) != len(model.engine_params):
        return None  # engine names: the description cannot say them
    from morvex7.description import fitted_description, toml_text

    data = json.loads(path.read_text())
    if "valence" not in data:
        return None
    d = fitted_description(data, {model.pmap.lookup(n).name: v for n, v in physical.items()})
    text = toml_text(d, f"fitted to measured spectra by morvex7-fit; model {model.model_dir}\n"
                        + ", ".join(f"{n} = {v:.6g}" for n, v in physical.items()))
    (out / FITTED_MODEL).write_text(text)
    return FITTED_MODEL


def plot_fit(curves: Sequence[Mapping[str, np.ndarray]], path: str | Path, title: str = "",
             labels: Sequence[str] = (), xlabel: str = "energy") -> None:
    """Per spectrum: data, fit and background above, the residual below; written to `path`."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    n = len(curves)
    fig, axes = plt.subplots(2, n, sharex="col", figsize=(7 * n if n < 3 else 14, 5),
                             gridspec_kw={"height_ratios": [3, 1]}, squeeze=False)
    for i, c in enumerate(curves):
        top, bottom = axes[0][i], axes[1][i]
        x = c["energy"]
        top.plot(x, c["data"], ".", ms=3, label="data")
        top.plot(x, c["fit"], "-", label="fit")
        if np.any(c["background"] != 0.0):
            top.plot(x, c["background"], "--", lw=0.8, label="background")
        top.set_ylabel("intensity")
        top.legend(fontsize=8)
        top.set_title((labels[i] + "\n" if i < len(labels) and n > 1 else "")
                      + (title if i == 0 else ""), fontsize=9)
        bottom.plot(x, c["residual"], ".", ms=3)
        bottom.axhline(0.0, color="k", lw=0.5)
        bottom.set_xlabel(xlabel)
        bottom.set_ylabel("residual")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
