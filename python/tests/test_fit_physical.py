"""Fits in physical names on the photon-energy axis: synthetic measurements made from hidden
values (engine run, model.json combination, broadening, background, noise: none of it through
the fit's own model) are recovered within the reported uncertainties."""
from __future__ import annotations

import json
import shutil
import tomllib

import numpy as np
import pytest

import morvex7
from conftest import EXAMPLES
from morvex7.background import edge_steps
from morvex7.broadening import Broadening, broaden_lines
from morvex7.fit import Dataset, FitError, Measured, fit_spectrum
from morvex7.ion.model import model_from_dict
from morvex7.ion.spectra import combined_sticks

NIO = EXAMPLES / "ni2_oh_charge_transfer"
D4H = EXAMPLES / "ni2_d4h_dichroism"
PHOTON = 850.0  # photon energy of E - E0 = 0 in the synthetic data


def measurement(model, hidden, tmp, engine, x, pol="iso", lorentz=0.3, step=0.0, seed=1):
    """A noisy spectrum of `model` at `hidden` on photon energies `x` (1 % noise)."""
    run = morvex7.run(model, hidden, tmp / f"truth-{pol}", engine=engine)
    s = combined_sticks(run, polarisation=pol)
    clean = 3.0 * broaden_lines(s.energy + PHOTON, s.intensity, Broadening(lorentz=lorentz), x)
    l3 = x[np.argmax(clean)]
    clean += 0.05 + edge_steps(x, step, l3, l3 + 1.5 * 11.5, 0.5, 0.5)
    sigma = 0.01 * clean.max()
    noisy = clean + np.random.default_rng(seed).normal(0.0, sigma, x.size)
    return Measured(x, noisy, np.full(x.size, sigma))


def assert_recovered(result, hidden):
    for name, value in hidden.items():
        err = result.stderr[name]
        assert err is not None and 0 < err < 0.1 * abs(value), (name, err)
        assert abs(result.values[name] - value) < 3 * err, (name, result.values[name], err)


def test_nio_charge_transfer_on_the_photon_energy_axis(tmp_path, engine):
    hidden = {"10Dq": 1.25, "Delta": 3.4, "V_eg": 2.5}
    x = np.linspace(PHOTON - 8.0, PHOTON + 22.0, 301)
    data = measurement(NIO, hidden, tmp_path, engine, x, step=0.4)
    out = tmp_path / "fit"
    result = fit_spectrum(NIO, data, {n: None for n in hidden},
                          {"lorentz": 0.4, "step": 0.3, "background": 0.0},
                          out=out, n_workers=2, engine=engine, edge_energy=852.7)
    assert result.minimizer_result.success
    assert_recovered(result, hidden)
    assert abs(result.values["step"] - 0.4) < 3 * result.stderr["step"]
    assert "10Dq:" in result.report and "p10Dq" not in result.report
    # the fitted model, written back as a description, holds the fitted values
    d = tomllib.loads((out / "fitted-model.toml").read_text())
    model = model_from_dict(d)
    assert model.ground["10Dq"] == pytest.approx(result.values["10Dq"])
    assert model.charge_transfer["V_eg"] == pytest.approx(result.values["V_eg"])
    assert model.charge_transfer["V_t2g"] == 1.1  # not fitted: as before
    curve = np.loadtxt(out / "fit-curve.csv", delimiter=",", skiprows=1)
    assert np.allclose(curve[:, 2], result.best_fit)
    assert curve[-1, 3] - curve[0, 3] > 0.5  # the two edge steps, 0.4 + 0.2, in the background
    settings = json.loads((out / "fit-settings.json").read_text())
    assert settings["options"]["edge_energy"] == 852.7


def test_d4h_dichroism_pair_fitted_jointly(tmp_path, engine):
    hidden = {"Ds": 0.16, "Dt": 0.05}
    x = np.linspace(PHOTON - 8.0, PHOTON + 18.0, 261)
    data = [Dataset(measurement(D4H, hidden, tmp_path, engine, x, pol, seed=i), pol)
            for i, pol in enumerate(("z", "xy"))]
    result = fit_spectrum(D4H, data, {"Ds": None, "Dt": None}, {"lorentz": 0.3},
                          out=tmp_path / "fit", n_workers=2, engine=engine,
                          edge_energy=853.0, plot=False)
    assert_recovered(result, hidden)
    assert set(result.values) >= {"scale", "background_2"} and "scale_2" not in result.values
    assert len(result.curves) == 2 and (tmp_path / "fit" / "fit-curve-2.csv").is_file()


def test_data_off_the_model_axis_are_refused(tmp_path, engine):
    x = np.linspace(PHOTON - 6.0, PHOTON + 22.0, 141)
    data = Measured(x, np.exp(-((x - PHOTON) / 2) ** 2))
    with pytest.raises(FitError, match="do not overlap the model's range.*edge energy"):
        fit_spectrum(NIO, data, {"10Dq": None}, out=tmp_path, n_workers=2, engine=engine)
    with pytest.raises(FitError, match="do not overlap"):
        fit_spectrum(NIO, data, {"10Dq": None}, out=tmp_path, n_workers=2, engine=engine,
                     edge_energy=700.0)


def test_command_line_joint_polarisations_refusal_and_again(tmp_path, engine, capsys,
                                                            monkeypatch):
    """The command's own main (in this process: its entry point is run by test_fit.py)."""
    from morvex7.cli_fit import main

    x = np.linspace(PHOTON - 8.0, PHOTON + 18.0, 131)
    data = measurement(D4H, {"Dt": 0.05}, tmp_path, engine, x, "z")
    path = tmp_path / "z.csv"
    np.savetxt(path, np.column_stack([data.energy, data.intensity]), delimiter=",")
    monkeypatch.setenv("MORVEX7", str(engine))
    monkeypatch.chdir(tmp_path)

    def fit(*args):
        args = [*args, "--workers", "2"]
        status = main([str(a) for a in args])
        return status, capsys.readouterr().err

    status, err = fit(D4H, "z.csv:z", "-o", "a", "--param", "Dt", "--edge-energy", 853,
                      "--normalise", "max", "--lorentz", "0.3", "--no-plot")
    assert status == 0, err
    assert (tmp_path / "a" / "best" / "fort.50").is_file()
    first = json.loads((tmp_path / "a" / "fit.json").read_text())["parameters"]["Dt"]
    status, err = fit("--again", tmp_path / "a", "-o", tmp_path / "b")
    assert status == 0, err
    again = json.loads((tmp_path / "b" / "fit.json").read_text())["parameters"]["Dt"]
    assert again["value"] == pytest.approx(first["value"], rel=1e-6)
    status, err = fit(D4H, path, "-o", tmp_path / "c", "--param", "Dt")
    assert status == 2 and "do not overlap" in err
    status, err = fit(D4H, path, "-o", tmp_path / "c", "--param", "10Dq")
    assert status == 2 and "unknown parameter '10Dq'" in err


def test_spectra_on_the_photon_energy_axis(example_run, tmp_path, capsys):
    from morvex7.cli_spectra import main

    run = example_run("ni2_oh_charge_transfer")
    shutil.copy(NIO / "model.json", run / "model.json")
    assert main(["csv", str(run), "--edge-energy", "852.7", "--lorentz", "0.3",
                 "--grid", "840:880:0.01", "--out", str(tmp_path)]) == 0
    rows = [l for l in (tmp_path / "spectrum.csv").read_text().splitlines() if l[:1] != "#"]
    curve = np.loadtxt(rows[1:], delimiter=",")
    assert curve[np.argmax(curve[:, 1]), 0] == pytest.approx(852.7, abs=0.011)
    assert "photon_energy: True" in (tmp_path / "spectrum.csv").read_text()
    assert main(["plot", str(run), "--photon-energy"]) == 1  # the example has no edge energy
    assert "needs a model with an edge energy" in capsys.readouterr().err


def test_fit_uses_the_spectrum_of_model_json(tmp_path, engine):
    """The D4h example fitted to its own isotropic spectrum: exact up to the noise, with the
    Lorentzian width it was made with (a plain sum of the triads would not fit)."""
    x = np.linspace(PHOTON - 8.0, PHOTON + 18.0, 261)
    data = measurement(D4H, {}, tmp_path, engine, x, "iso", lorentz=0.3)
    result = fit_spectrum(D4H, data, {}, {"lorentz": 0.5}, out=tmp_path / "fit",
                          n_workers=2, engine=engine, plot=False, edge_energy=853.0)
    assert abs(result.values["lorentz"] - 0.3) < 3 * result.stderr["lorentz"]
    assert 0.7 < result.minimizer_result.redchi < 1.3
