"""Charge-transfer models against a direct diagonalisation of the whole many-body Hamiltonian
in a determinant basis, and the round trip of every shell filling through the engine."""
from __future__ import annotations

import json
from itertools import combinations

import numpy as np
import pytest
from ion_helpers import run_ion

from morvex7.ion import atomic
from morvex7.ion.determinants import DeterminantBasis, Orbitals
from morvex7.ion.model import IonModel


def determinants(orb: Orbitals, n_valence: int, n_ligand: int) -> np.ndarray:
    v, lig = orb.shell("valence"), orb.shell("ligand")
    out = []
    for a in combinations(range(v.offset, v.offset + v.size), n_valence):
        for b in combinations(range(lig.offset, lig.offset + lig.size), n_ligand):
            out.append(sum(1 << i for i in a + b))
    return np.array(sorted(out), dtype=np.uint64)


def direct_ground_state(n: int, params: dict, delta: float, u: float, v: float):
    """Lowest energy and configuration weights of d^n + d^(n+1)L + d^(n+2)L^2 with one ligand
    level, every multiplet term shifted to zero average in its configuration."""
    orb = Orbitals.of([("valence", 2), ("ligand", 2)])
    val = orb.shell("valence")
    terms = [(atomic.coulomb(val, val, 2), params["F2vv"]),
             (atomic.coulomb(val, val, 4), params["F4vv"]),
             (atomic.spin_orbit(val), params["zeta_v"])]
    configs = [determinants(orb, n + k, 10 - k) for k in range(3) if n + k <= 10]
    energies = [0.0, delta, 2 * delta + u]
    blocks = []
    for k, dets in enumerate(configs):
        b = DeterminantBasis(dets)
        h = np.eye(len(b)) * energies[k]
        for op, value in terms:
            m = op.matrix(b, b).toarray()
            h += value * (m - np.trace(m) / len(b) * np.eye(len(b)))
        blocks.append(h)
    allb = DeterminantBasis(np.concatenate(configs))
    assert len(allb) == sum(len(c) for c in configs)
    big = np.zeros((len(allb), len(allb)))
    for k, h in enumerate(blocks):
        idx = allb.locate(configs[k])
        big[np.ix_(idx, idx)] = h
    big += v * atomic.hopping(val, orb.shell("ligand")).matrix(allb, allb).toarray()
    w, vec = np.linalg.eigh(big)
    deg = np.abs(w - w[0]) < 1e-8
    weights = []
    for k in range(len(configs)):
        idx = allb.locate(configs[k])
        weights.append(float((vec[np.ix_(idx, deg)] ** 2).sum() / deg.sum()))
    return w[0], weights


@pytest.mark.parametrize("n", [7, 8, 9])
def test_one_level_band_equals_direct_diagonalisation(tmp_path, engine, n):
    params = {"F2vv": 9.0, "F4vv": 5.6, "zeta_v": 0.07}
    delta, u, v = 2.5, 5.0, 1.8
    model = IonModel(valence="3d", electrons=n, core="2p", ground=params,
                     excited={**params, "zeta_c": 8.0, "F2cv": 5.0, "G1cv": 3.7, "G3cv": 2.1},
                     charge_transfer={"Delta": delta, "U": u, "Q": 6.5, "V": v},
                     window=0.05)
    _, run = run_ion(model, tmp_path, engine)
    e0, weights = direct_ground_state(n, params, delta, u, v)
    lowest = min(run.triads, key=lambda t: t.ground.eg0)
    assert lowest.ground.eg0 == pytest.approx(e0, abs=2e-4)
    np.testing.assert_allclose(lowest.ground.weights[: len(weights)], weights, atol=2e-5)


def roundtrip_cases():
    cases = []
    for n in range(10):
        slow = 1 <= n <= 6     # the core-hole configurations with two ligand holes are large
        cases.append(pytest.param("3d", n, True, marks=pytest.mark.slow if slow else ()))
    for n in range(14):
        slow = n not in (0, 1, 12, 13)
        cases.append(pytest.param("4f", n, False, marks=pytest.mark.slow if slow else ()))
    return cases


@pytest.mark.parametrize("valence,n,ct", roundtrip_cases())
def test_every_filling_round_trips_through_the_engine(tmp_path, engine, valence, n, ct):
    d = valence == "3d"
    g = {"F2vv": 9.0, "F4vv": 5.6, "zeta_v": 0.07} if d else \
        {"F2vv": 11.0, "F4vv": 6.9, "F6vv": 5.0, "zeta_v": 0.12}
    e = {**g, "zeta_c": 8.0, "F2cv": 5.0, "G1cv": 3.7, "G3cv": 2.1} if d else \
        {**g, "zeta_c": 7.3, "F2cv": 7.0, "F4cv": 3.3, "G1cv": 5.0, "G3cv": 3.0, "G5cv": 2.1}
    model = IonModel(valence=valence, electrons=n, core="2p" if d else "3d", ground=g, excited=e,
                     charge_transfer={"Delta": 3.0, "U": 6.0, "Q": 7.0, "V": 2.0} if ct else None)
    built, run = run_ion(model, tmp_path, engine)
    mj = json.loads((tmp_path / "model.json").read_text())
    assert [t.labels for t in run.triads] == [
        (t["ground"], t["operator"], t["excited"]) for t in mj["triads"]]
    e0 = mj["ground_symmetries"][0]["energy"]
    for t in run.triads:
        assert t.ground.eg0 == pytest.approx(e0, abs=1e-4 * max(1.0, abs(e0)))
        assert len(t.absorption) >= 1 and np.any(t.absorption[0].amplitudes != 0)
