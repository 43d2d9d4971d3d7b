"""Spectra at a temperature against a hand calculation of a two-level ion: 3d1 with spin-orbit
coupling, 2D3/2 below 2D5/2 by 5/2 zeta. A line from the upper level sits at E_f - E(5/2),
and each level carries its Boltzmann share (degeneracies 4 and 6; every state of 3d1 absorbs
the same isotropic total, nine holes)."""
from __future__ import annotations

import copy
import math
import warnings

import numpy as np
import pytest
from ion_helpers import run_ion

from morvex7.ion.model import IonModel
from morvex7.ion.spectra import K_B, combined_sticks

ZETA = 0.1
SPLIT = 2.5 * ZETA
EXCITED = {"F2vv": 8.0, "F4vv": 5.0, "zeta_v": 0.12, "zeta_c": 5.0, "F2cv": 4.5,
           "G1cv": 3.3, "G3cv": 1.9}


def d1(window: float) -> IonModel:
    return IonModel(valence="3d", electrons=1, core="2p", ground={"zeta_v": ZETA},
                    excited=dict(EXCITED), window=window)


@pytest.fixture(scope="module")
def d1_run(tmp_path_factory, engine):
    built, run = run_ion(d1(0.3), tmp_path_factory.mktemp("d1"), engine)
    return run


def test_two_level_ion_at_a_temperature(d1_run):
    run = d1_run
    t = 1000.0
    sticks = combined_sticks(run, temperature=t)
    e_init = {tr.index: tr.absorption[0].initial_energy for tr in run.triads}
    e0 = min(e_init.values())
    upper = [i for i, e in e_init.items() if e - e0 > 0.1]
    assert upper and max(e_init.values()) - e0 == pytest.approx(SPLIT, abs=2e-4)
    from_upper = np.isin(sticks.triad, upper)
    # Boltzmann shares of the two levels, with equal isotropic totals per state
    x = 6 * math.exp(-SPLIT / (K_B * t))
    share = sticks.intensity[from_upper].sum() / sticks.intensity.sum()
    assert share == pytest.approx(x / (4 + x), rel=1e-3)
    # final states reached from both levels: the upper level's lines lie SPLIT lower
    lower_lines = np.sort(sticks.energy[~from_upper & (sticks.intensity > 1e-9)])
    upper_lines = sticks.energy[from_upper & (sticks.intensity > 1e-9)]
    shifted = upper_lines + SPLIT
    near = np.abs(shifted[:, None] - lower_lines[None, :]).min(axis=1) < 3e-4
    assert near.mean() > 0.5  # J' = 3/2 and 5/2 are reached from both
    unshifted = np.abs(upper_lines[:, None] - lower_lines[None, :]).min(axis=1) < 3e-4
    assert not unshifted.any()
    # at zero temperature only the lower level counts
    cold = combined_sticks(run, temperature=0.0)
    assert cold.intensity[np.isin(cold.triad, upper)].sum() == 0.0


def test_triad_sticks_place_each_initial_state_at_its_own_energy(d1_run):
    run = copy.deepcopy(d1_run)
    tr = run.triads[0]
    block = copy.deepcopy(tr.absorption[0])
    block.initial_energy += 0.1  # a second, populated state of the same symmetry
    block.state = 2
    tr.absorption.append(block)
    tr.ground.ndeg = 2
    s = tr.sticks()
    first, second = s.energy[s.initial_state == 1], s.energy[s.initial_state == 2]
    np.testing.assert_allclose(second, first - 0.1, atol=1e-9)


def test_temperature_beyond_the_window_warns_with_the_window_needed(tmp_path, engine):
    _, run = run_ion(d1(0.0), tmp_path, engine)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        combined_sticks(run, temperature=1000.0)
    message = " ".join(str(w.message) for w in caught)
    assert "window = 0.26" in message and "7.6%" in message
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        combined_sticks(run, temperature=100.0)  # 5/2 zeta = 29 kT: nothing missing
