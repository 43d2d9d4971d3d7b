"""The basis a model is built in: the point group's adapted states, or the determinants of each
class of Jz (as in a field along z) without a field. Both must give the same spectra; "auto"
takes the determinants (paired) only for the large Oh and D4h charge-transfer models."""
from __future__ import annotations

import json
import math

import numpy as np
import pytest

from ion_helpers import run_ion
from morvex7.ion.model import AUTO_DETERMINANTS, IonModel, determinants_pay, model_from_dict
from morvex7.ion.spectra import combined_sticks, read_model_json

GROUND = {"F2vv": 9.76, "F4vv": 6.08, "zeta_v": 0.08, "Dq": 0.12, "Ds": 0.1, "Dt": 0.02}
EXCITED = {"F2vv": 10.3, "F4vv": 6.4, "zeta_v": 0.1, "zeta_c": 11.5, "F2cv": 6.16,
           "G1cv": 4.64, "G3cv": 2.64}
CT = {"Delta": 3.0, "U": 6.0, "Q": 7.0, "V": 2.0}


def _model(electrons: int, symmetry: str = "D4h", ct: dict | None = CT, **kw) -> IonModel:
    ground = dict(GROUND) if symmetry == "D4h" else {"F2vv": 9.76, "F4vv": 6.08, "zeta_v": 0.08,
                                                     "10Dq": 1.2}
    return IonModel(valence="3d", electrons=electrons, core="2p", symmetry=symmetry,
                    ground=ground, excited=dict(EXCITED), charge_transfer=ct, **kw)


def test_auto_pairs_only_large_oh_and_d4h_charge_transfer():
    # Ti3+ 3d1 D4h: 2p5 3d4 L2 alone has 56 700 determinants
    assert determinants_pay(_model(1)) and _model(1).field
    assert not determinants_pay(_model(8))           # Ni2+: a few hundred
    assert not determinants_pay(_model(1, ct=None))  # no charge transfer
    assert determinants_pay(_model(1, symmetry="Oh")) and _model(1, symmetry="Oh").paired
    # with band levels Oh keeps its irreps (its ground symmetries are smaller), D4h pairs
    bands = {**CT, "levels": [3, 3], "width": 2.0}
    assert not _model(1, symmetry="Oh", ct=bands).paired and _model(1, ct=bands).paired
    assert not _model(1, basis="adapted").field
    assert _model(8, basis="determinants").field
    # the threshold is on the core-hole side's determinants
    sizes = {n: sum(math.prod(math.comb(sh.size, k) for sh, k in zip(c.orbitals.shells,
                                                                      c.occupations))
                    for c in _model(n).configurations()[1]) for n in range(10)}
    assert {n for n in sizes if determinants_pay(_model(n))} == \
        {n for n, s in sizes.items() if s > AUTO_DETERMINANTS}
    # Ti4+ 3d0 to Fe2+ 3d6: 2p5 3d7, 3d8 L, 3d9 L2 hold 720 + 2700 + 2700
    assert sizes[6] == 6120 and {n for n in sizes if determinants_pay(_model(n))} == set(range(7))


def test_basis_in_the_description():
    base = {"valence": "3d", "electrons": 8, "core": "2p", "symmetry": "D4h",
            "ground": GROUND, "excited": EXCITED}
    assert model_from_dict(base).basis == "auto"
    assert model_from_dict({**base, "basis": "determinants"}).field
    with pytest.raises(ValueError, match="basis = 'dets'"):
        model_from_dict({**base, "basis": "dets"})
    with pytest.raises(ValueError, match="basis = 3: text"):
        model_from_dict({**base, "basis": 3})


def _curve(run, model_json, pol: str, temperature: float, grid: np.ndarray) -> np.ndarray:
    s = combined_sticks(run, model_json, polarisation=pol, temperature=temperature)
    w = 0.3
    return (s.intensity[None, :] * (w / 2 / np.pi)
            / ((grid[:, None] - s.energy[None, :]) ** 2 + (w / 2) ** 2)).sum(axis=1)


def test_determinants_give_the_adapted_spectra(tmp_path, engine):
    """Ni2+ in D4h with charge transfer built in both bases: the same isotropic and linear
    (z, xy) spectra at 0 K and 300 K, to the engine's 4-byte reals; the determinants' model
    carries the field operators at 0 (a run may switch a field on) and no circular dichroism."""
    grid = np.linspace(-5, 25, 601)
    runs = {}
    for basis in ("adapted", "determinants"):
        model = _model(8, basis=basis, window=0.2)
        _, run = run_ion(model, tmp_path / basis, engine)
        runs[basis] = (run, read_model_json(tmp_path / basis))
    mj = json.loads((tmp_path / "determinants" / "model.json").read_text())
    assert mj["physical"]["B"]["value"] == 0 and mj["physical"]["H_ex"]["value"] == 0
    for temperature in (0.0, 300.0):
        for pol in ("iso", "z", "xy"):
            want = _curve(*runs["adapted"], pol, temperature, grid)
            got = _curve(*runs["determinants"], pol, temperature, grid)
            assert want.max() > 1e-2
            np.testing.assert_allclose(got, want, atol=3e-4 * want.max())
        xmcd = (_curve(*runs["determinants"], "sigma+", temperature, grid)
                - _curve(*runs["determinants"], "sigma-", temperature, grid))
        assert np.abs(xmcd).max() < 3e-4 * want.max()
