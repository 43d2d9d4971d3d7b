"""Fits of a model built from an ion's atomic table: the Lorentzian widths start at the
tabulated L3 and L2 core-hole widths, each its own parameter, and the fitted model is written
back with ion/edge/kappa and only what the table does not give."""
from __future__ import annotations

import json
import math
import tomllib

import numpy as np
import pytest

import morvex7
from morvex7.description import fitted_description
from morvex7.fit import Measured, fit_spectrum
from morvex7.ion.build import build_model
from morvex7.ion.model import model_from_dict
from morvex7.ion.spectra import combined_sticks
from morvex7.ion.tables import atomic_parameters

DESCRIPTION = {"ion": "Ni2+", "symmetry": "Oh", "kappa": 0.8, "ground": {"10Dq": 1.1}}
PHOTON = 852.7 - 3.0  # photon energy of E - E0 = 0 in the synthetic data


@pytest.fixture(scope="module")
def ni_model(tmp_path_factory):
    directory = tmp_path_factory.mktemp("ni2-ion")
    build_model(model_from_dict(json.loads(json.dumps(DESCRIPTION))), directory)
    return directory


def lorentzians(centres, heights, fwhm, x):
    """Sum of area-normalised Lorentzians, written out: (h / pi) (G/2) / ((x - c)^2 + (G/2)^2)."""
    g = np.asarray(fwhm, float)[:, None] / 2
    return np.sum(np.asarray(heights)[:, None] / math.pi * g
                  / ((x[None, :] - np.asarray(centres)[:, None]) ** 2 + g ** 2), axis=0)


def test_widths_start_at_the_table_and_come_back_per_edge(ni_model, tmp_path, engine):
    assert json.loads((ni_model / "model.json").read_text())["core_hole_widths"] == \
        {"L3": 0.55, "L2": 1.4}  # the table's Ni L3 and L2 core-hole widths
    hidden = {"10Dq": 1.3}
    run = morvex7.run(ni_model, hidden, tmp_path / "truth", engine=engine)
    s = combined_sticks(run)
    energy, intensity = s.energy + PHOTON, s.intensity
    # L2 lines: above the middle between the strongest (L3) line and 3/2 zeta_c higher
    zeta_c = atomic_parameters("Ni2+")["excited"]["zeta_c"]
    middle = energy[np.argmax(intensity)] + 0.75 * zeta_c
    widths = np.where(energy > middle, 1.2, 0.45)  # away from the table, 0.55 and 1.4
    x = np.linspace(PHOTON - 6.0, PHOTON + 24.0, 241)
    clean = 3.0 * lorentzians(energy, intensity, widths, x) + 0.02
    sigma = 0.01 * clean.max()
    data = Measured(x, clean + np.random.default_rng(5).normal(0.0, sigma, x.size),
                    np.full(x.size, sigma))
    out = tmp_path / "fit"
    fit = fit_spectrum(ni_model, data, {"10Dq": None}, out=out, n_workers=2,
                       engine=engine, plot=False)
    params = fit.minimizer_result.params
    assert params["lorentz"].init_value == 0.55 and params["lorentz_l2"].init_value == 1.4
    assert "tabulated core-hole widths: lorentz = 0.55 (L3), lorentz_l2 = 1.4 (L2)" in fit.report
    for name, value in {**hidden, "lorentz": 0.45, "lorentz_l2": 1.2}.items():
        err = fit.stderr[name]
        assert err is not None and abs(fit.values[name] - value) < 3 * err, (name, fit.values)
    # the fitted model: the ion's table plus the fitted 10Dq, nothing else written out
    d = tomllib.loads((out / "fitted-model.toml").read_text())
    assert {k: d[k] for k in ("ion", "edge", "kappa")} == {"ion": "Ni2+", "edge": "L2,3",
                                                            "kappa": 0.8}
    assert d["ground"] == {"10Dq": pytest.approx(fit.values["10Dq"])}
    assert "excited" not in d and "valence" not in d and "edge_energy" not in d
    rebuilt = model_from_dict(d)
    assert rebuilt.ground["F2vv"] == pytest.approx(0.8 * 12.234)  # Ni 3d8 F2 (HF), x kappa
    assert rebuilt.edge_energy == 852.7


def test_fitted_kappa_and_overrides_in_the_description(ni_model):
    model = json.loads((ni_model / "model.json").read_text())
    model["parameters"]["excited"]["zeta_c"] = 11.0  # as if the description had set it
    d = fitted_description(model, {"kappa": 0.7})
    assert d["kappa"] == 0.7 and d["excited"] == {"zeta_c": 11.0}
    assert d["ground"] == {"10Dq": 1.1}
    # kappa of one side cannot be the description's kappa: that side's integrals are explicit
    d = fitted_description(model, {"kappa.excited": 0.7})
    table = atomic_parameters("Ni2+")["excited"]
    assert d["kappa"] == 0.8 and "ground" in d and "F2vv" not in d["ground"]
    assert d["excited"]["F2cv"] == pytest.approx(0.7 * table["F2cv"])
    assert d["excited"]["zeta_c"] == 11.0 and "zeta_v" not in d["excited"]
    assert model_from_dict(d).excited["G1cv"] == pytest.approx(0.7 * table["G1cv"])
