"""Fits: synthetic data from known parameters are recovered within their uncertainties."""
from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from lmfit import Parameters

from conftest import EXAMPLES
from morvex7.fit import (SHAPE_PARAMS, FitError, Measured, FitParam, SpectrumModel,
                         fit_spectrum, read_spectrum)
from morvex7.cli_fit import parse_param

MODEL = EXAMPLES / "charge_transfer"
TRUE = {"DEL": 3.0, "UCV": 5.0, "lorentz": 0.4, "gauss": 0.3, "shift": 0.5, "scale": 2.0,
        "background": 0.1, "slope": 0.01}
X = np.linspace(-3.0, 5.0, 241)


@pytest.fixture(scope="module")
def client(fit_client):
    return fit_client


@pytest.fixture(scope="module")
def synthetic(client, tmp_path_factory, engine):
    """The model at TRUE plus Gaussian noise of 1 % of the peak (fixed seed)."""
    model = SpectrumModel(MODEL, ["DEL", "UCV"], client, tmp_path_factory.mktemp("synthetic"),
                          str(engine), x_mid=0.5 * (X[0] + X[-1]))
    params = Parameters()
    for name, value in TRUE.items():
        params.add(name, value=value)
    clean = model(params, X)
    sigma = 0.01 * clean.max()
    noisy = clean + np.random.default_rng(7).normal(0.0, sigma, X.size)
    return Measured(X, noisy, np.full(X.size, sigma))


def test_fit_recovers_known_parameters_from_20_percent_off(synthetic, client, tmp_path,
                                                           engine):
    start = {name: 1.2 * value for name, value in TRUE.items()}
    result = fit_spectrum(MODEL, synthetic, {"DEL": start["DEL"], "UCV": start["UCV"]},
                          {n: start[n] for n in SHAPE_PARAMS if n in start}, out=tmp_path, client=client,
                          engine=engine)
    assert result.minimizer_result.success
    for name, value in TRUE.items():
        err = result.stderr[name]
        assert err is not None and err > 0
        assert abs(result.values[name] - value) < 3 * err, (name, result.values[name], err)
    assert 0.7 < result.minimizer_result.redchi < 1.3  # the noise, no more
    # Products: report, table, curve, plot, and the best run kept.
    assert "DEL:" in result.report and "Correlations" in result.report
    table = json.loads((tmp_path / "fit.json").read_text())
    assert table["parameters"]["DEL"]["stderr"] == result.stderr["DEL"]
    curve = np.loadtxt(tmp_path / "fit-curve.csv", delimiter=",", skiprows=1)
    assert np.allclose(curve[:, 2], result.best_fit)
    assert (tmp_path / "fit.png").stat().st_size > 1000
    assert "DEL " + f"{np.float32(result.values['DEL'])}"[:6] in \
        (result.best_dir / "fort.50").read_text()
    assert (result.best_dir / "fort.44").is_file()
    assert not list(tmp_path.glob("runs-*"))  # scratch runs are gone


def test_fixed_parameters_and_bounds_hold(synthetic, client, tmp_path, engine):
    with pytest.raises(FitError, match="strictly inside its bounds"):
        fit_spectrum(MODEL, synthetic, {"DEL": FitParam(3.3, min=2.5, max=3.2)},
                     out=tmp_path, client=client, engine=engine)
    result = fit_spectrum(MODEL, synthetic, {"DEL": FitParam(3.3, min=2.5, max=3.4)},
                          {"gauss": FitParam(0.3, vary=False), "lorentz": 0.5,
                           "slope": FitParam(0.01, vary=False)},
                          out=tmp_path, client=client, engine=engine, plot=False)
    assert result.values["gauss"] == 0.3 and result.stderr["gauss"] is None
    assert result.values["slope"] == 0.01
    assert abs(result.values["DEL"] - 3.0) < 3 * result.stderr["DEL"]
    # the same fit with its runs side by side in this process instead of on the cluster
    local = fit_spectrum(MODEL, synthetic, {"DEL": FitParam(3.3, min=2.5, max=3.4)},
                         {"gauss": FitParam(0.3, vary=False), "lorentz": 0.5,
                          "slope": FitParam(0.01, vary=False)},
                         out=tmp_path / "local", n_workers=2, engine=engine, plot=False)
    assert local.values == result.values and local.engine_runs == result.engine_runs


def test_engine_failure_stops_the_fit_with_its_reason(synthetic, client, tmp_path, engine):
    with pytest.raises(FitError, match="integer parameter"):
        fit_spectrum(MODEL, synthetic, {"N2": 5}, out=tmp_path, client=client)
    with pytest.raises(FitError, match="N2.*quitprog"):
        fit_spectrum(MODEL, synthetic, {"N2": FitParam(101, vary=False)}, out=tmp_path,
                     client=client, engine=engine, plot=False)


def test_fit_command_line(synthetic, client, tmp_path, engine):
    data = tmp_path / "measured.csv"
    np.savetxt(data, np.column_stack([synthetic.energy, synthetic.intensity]),
               delimiter=",", header="energy,intensity", comments="")
    assert np.allclose(read_spectrum(data).intensity, synthetic.intensity)
    env = dict(os.environ, MORVEX7=str(engine),
               PYTHONPATH=str(Path(__file__).resolve().parents[1]))
    # on the running cluster, whose workers have a working directory of their own: the
    # relative output directory must reach them as the command's
    proc = subprocess.run(
        [sys.executable, "-m", "morvex7.cli_fit", str(MODEL), "measured.csv", "-o", "out",
         "--param", "DEL=3.5,min=1,max=6", "--lorentz", "0.45", "--gauss", "0.35", "--shift",
         "0.6", "--background", "0.12", "--slope", "0.01,fixed",
         "--scheduler", client.scheduler.address],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert (tmp_path / "out" / "best" / "fort.50").is_file()
    assert "[[Variables]]" in proc.stdout
    fitted = json.loads((tmp_path / "out" / "fit.json").read_text())["parameters"]
    assert abs(fitted["DEL"]["value"] - 3.0) < 3 * fitted["DEL"]["stderr"]
    assert fitted["slope"]["vary"] is False
    assert (tmp_path / "out" / "fit.png").is_file()


def test_parameter_options():
    assert parse_param("DEL") == ("DEL", FitParam())
    assert parse_param("XHAM[2,1][2]=0.6,min=0,fixed") == (
        "XHAM[2,1][2]", FitParam(0.6, min=0.0, vary=False))
    with pytest.raises(Exception, match="strictly inside its bounds"):
        parse_param("DEL=7,max=6")
