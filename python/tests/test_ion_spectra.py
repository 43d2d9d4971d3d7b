"""Absorption spectra of builder-made models: line positions, intensities and sum rules,
through the engine and the package's isotropic combination."""
from __future__ import annotations

import numpy as np
import pytest
from ion_helpers import run_ion

from morvex7.ion.model import IonModel
from morvex7.ion.spectra import combined_sticks, read_model_json, spectrum_weights

MULTIPLETS_G = {"F2vv": 8.0, "F4vv": 5.0, "zeta_v": 0.06}
MULTIPLETS_E = {"F2vv": 8.5, "F4vv": 5.3, "zeta_v": 0.08, "zeta_c": 6.0, "F2cv": 5.0,
                "G1cv": 3.7, "G3cv": 2.1}


@pytest.mark.parametrize("valence,core,l", [("3d", "2p", 1), ("4f", "3d", 2)])
def test_empty_shell_edge_has_two_lines_split_and_weighted_by_the_core_j(tmp_path, engine,
                                                                         valence, core, l):
    """p -> d: lines (3/2) zeta apart, 2 : 1; d -> f: (5/2) zeta apart, 3 : 2 (2j + 1)."""
    zeta = 4.0
    model = IonModel(valence=valence, electrons=0, core=core, excited={"zeta_c": zeta})
    _, run = run_ion(model, tmp_path, engine)
    s = combined_sticks(run)
    e, i = s.energy, s.intensity
    low, high = np.isclose(e, e.min(), atol=1e-4), np.isclose(e, e.max(), atol=1e-4)
    assert np.all(low | high)
    assert e.max() - e.min() == pytest.approx((l + 0.5) * zeta, abs=1e-4)
    assert i[low].sum() / i[high].sum() == pytest.approx((l + 1) / l, rel=1e-5)


def isotropic_total(model: IonModel, directory, engine) -> float:
    _, run = run_ion(model, directory, engine)
    return float(combined_sticks(run).intensity.sum())


MULTIPLETS_F = {"F2vv": 10.0, "F4vv": 6.3, "F6vv": 4.5, "zeta_v": 0.1}
MULTIPLETS_FE = {**MULTIPLETS_F, "zeta_c": 7.4, "F2cv": 5.6, "F4cv": 2.6, "G1cv": 4.0,
                 "G3cv": 2.3, "G5cv": 1.6}


@pytest.mark.parametrize("valence,core,fillings", [("3d", "2p", (0, 2, 5, 9)),
                                                   ("4f", "3d", (0, 2, 13))])
def test_total_isotropic_intensity_is_proportional_to_the_valence_holes(tmp_path, engine,
                                                                        valence, core, fillings):
    d = valence == "3d"
    full = 10 if d else 14
    totals = {}
    for n in fillings:
        model = IonModel(valence=valence, electrons=n, core=core,
                         ground=MULTIPLETS_G if d else MULTIPLETS_F,
                         excited=MULTIPLETS_E if d else MULTIPLETS_FE)
        totals[n] = isotropic_total(model, tmp_path / f"{valence}{n}", engine)
    per_hole = [totals[n] / (full - n) for n in totals]
    np.testing.assert_allclose(per_hole, per_hole[0], rtol=2e-5)


@pytest.mark.parametrize("n", [2, 3, 8])
def test_l3_branching_ratio_follows_the_spin_orbit_sum_rule(tmp_path, engine, n):
    zeta_c, zeta_v, step = 40.0, 0.3, 0.005

    def model(zv: float) -> IonModel:
        g = {"F2vv": 8.0, "F4vv": 5.0, "zeta_v": zv}
        return IonModel(valence="3d", electrons=n, core="2p", ground=g,
                        excited={**g, "zeta_c": zeta_c})

    _, run = run_ion(model(zeta_v), tmp_path / "0", engine)
    s = combined_sticks(run, absolute=True)
    # core-hole levels at -zeta_c / 2 (2p3/2) and +zeta_c (2p1/2); the valence multiplets
    # spread far less than the zeta_c / 4 that separates each from the midpoint
    l3 = s.intensity[s.energy < zeta_c / 4].sum()
    branching = l3 / s.intensity.sum()
    # <sum l.s> of the ground state as dE0/dzeta_v (Hellmann-Feynman), through the engine
    e = []
    for k, zv in enumerate((zeta_v - step, zeta_v + step)):
        _, r = run_ion(model(zv), tmp_path / f"{k + 1}", engine)
        e.append(min(t.ground.eg0 for t in r.triads))
    ls = (e[1] - e[0]) / (2 * step)
    holes = 10 - n
    assert branching == pytest.approx(2 / 3 - ls / (3 * holes), abs=2e-4)


def test_thermal_weights_populate_excited_multiplets_by_boltzmann_factors(tmp_path, engine):
    model = IonModel(valence="3d", electrons=2, core="2p", ground=MULTIPLETS_G,
                     excited=MULTIPLETS_E, window=0.2)
    _, run = run_ion(model, tmp_path, engine)
    mj = read_model_json(tmp_path)
    labels = [g["label"] for g in mj["ground_symmetries"]]
    assert len(labels) > 1
    energies = {t.index: [b.initial_energy for b in t.absorption] for t in run.triads}
    cold = spectrum_weights(mj, "iso", 0.0, energies)
    assert all(w == [0.0] * len(w) for t, w in cold.items()
               if run.triads[t - 1].labels[0] != labels[0])
    hot = spectrum_weights(mj, "iso", 1000.0, energies)
    # every state of every symmetry sums to one, each triad's lines to factor 1/3
    first = {}
    for t in run.triads:
        first.setdefault(t.labels[0], t.index)
    total = 0.0
    for g in mj["ground_symmetries"]:
        total += g["dim"] * sum(hot[first[g["label"]]]) * 3
    assert total == pytest.approx(1.0, rel=1e-9)
    kt = 8.617333262e-5 * 1000.0
    e0 = min(min(v) for v in energies.values())
    t1, t2 = first[labels[0]], first[labels[1]]
    ratio = hot[t2][0] / hot[t1][0]
    assert ratio == pytest.approx(np.exp(-(energies[t2][0] - energies[t1][0]) / kt), rel=1e-9)
    assert energies[t1][0] == pytest.approx(e0)
