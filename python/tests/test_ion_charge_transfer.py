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
from morvex7.ion.spectra import combined_sticks


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


def side_hamiltonian(orb: Orbitals, configs: list[np.ndarray], energies: list[float],
                     terms: list, v: float) -> tuple[DeterminantBasis, np.ndarray]:
    """Whole Hamiltonian of one side over the determinants of its configurations."""
    allb = DeterminantBasis(np.concatenate(configs))
    big = np.zeros((len(allb), len(allb)))
    for k, dets in enumerate(configs):
        b = DeterminantBasis(dets)
        h = np.eye(len(b)) * energies[k]
        for op, value in terms:
            m = op.matrix(b, b).toarray()
            h += value * (m - np.trace(m) / len(b) * np.eye(len(b)))
        idx = allb.locate(dets)
        big[np.ix_(idx, idx)] = h
    hop = atomic.hopping(orb.shell("valence"), orb.shell("ligand"))
    return allb, big + v * hop.matrix(allb, allb).toarray()


def assert_direct_spectrum(run, orb: Orbitals, gb: np.ndarray, hg: np.ndarray, eb: np.ndarray,
                           he: np.ndarray) -> np.ndarray:
    """Diagonalise both sides directly and check the engine's isotropic lines of ``run``
    against the direct ones (degenerate lines merged) and the total intensity; returns the
    direct ground energies."""
    c, val = orb.shell("core"), orb.shell("valence")
    wg, vg = np.linalg.eigh(hg)
    lowest = vg[:, np.abs(wg - wg[0]) < 1e-8]
    we, ve = np.linalg.eigh(he)
    intensity = np.zeros(len(we))
    for qc in (-1, 0, 1):
        d = atomic.dipole(val, c, qc).matrix(eb, gb).toarray()
        intensity += ((ve.T @ d @ lowest) ** 2).sum(axis=1)
    intensity /= 3 * lowest.shape[1]
    sticks = combined_sticks(run, absolute=True)
    starts = np.concatenate([[0], np.nonzero(np.diff(we) > 1e-6)[0] + 1, [len(we)]])
    levels = we[starts[:-1]]
    checked = 0
    for k, (a, b) in enumerate(zip(starts[:-1], starts[1:])):
        weight = intensity[a:b].sum()
        if weight < 1e-6:
            continue
        # the engine's lines within 0.2 meV, or half the gap to a neighbouring level
        gaps = np.abs(np.delete(levels, k) - we[a])
        found = np.abs(sticks.energy - we[a]) < min(2e-4, 0.5 * gaps.min(initial=1.0))
        assert sticks.intensity[found].sum() == pytest.approx(weight, rel=1e-3), we[a]
        checked += 1
    assert checked > 5
    assert sticks.intensity.sum() == pytest.approx(intensity.sum(), rel=1e-4)
    return wg


def test_charge_transfer_spectrum_equals_direct_calculation(tmp_path, engine):
    """3d8 -> 2p5 3d9 with charge transfer: every line's energy and isotropic intensity."""
    n, delta, u, q, v, ve = 8, 2.5, 5.0, 6.5, 1.8, 1.5
    g = {"F2vv": 9.0, "F4vv": 5.6, "zeta_v": 0.07}
    e = {"F2vv": 9.5, "F4vv": 5.9, "zeta_v": 0.09, "zeta_c": 8.0, "F2cv": 5.0, "G1cv": 3.7,
         "G3cv": 2.1}
    model = IonModel(valence="3d", electrons=n, core="2p", ground=g, excited=e,
                     charge_transfer={"Delta": delta, "U": u, "Q": q, "V": v, "V_excited": ve})
    _, run = run_ion(model, tmp_path, engine)
    orb = Orbitals.of([("core", 1), ("valence", 2), ("ligand", 2)])
    c, val = orb.shell("core"), orb.shell("valence")

    def dets(nc: int, nv: int, nl: int) -> np.ndarray:
        out = []
        for a in combinations(range(c.offset, c.offset + c.size), nc):
            for d in determinants(orb, nv, nl):
                out.append(int(d) | sum(1 << i for i in a))
        return np.array(sorted(out), dtype=np.uint64)

    gterms = [(atomic.coulomb(val, val, 2), g["F2vv"]), (atomic.coulomb(val, val, 4), g["F4vv"]),
              (atomic.spin_orbit(val), g["zeta_v"])]
    eterms = [(atomic.coulomb(val, val, 2), e["F2vv"]), (atomic.coulomb(val, val, 4), e["F4vv"]),
              (atomic.spin_orbit(val), e["zeta_v"]), (atomic.spin_orbit(c), e["zeta_c"]),
              (atomic.coulomb(c, val, 2, "F"), e["F2cv"]), (atomic.coulomb(c, val, 1, "G"),
                                                            e["G1cv"]),
              (atomic.coulomb(c, val, 3, "G"), e["G3cv"])]
    gb, hg = side_hamiltonian(orb, [dets(6, 8, 10), dets(6, 9, 9), dets(6, 10, 8)],
                              [0.0, delta, 2 * delta + u], gterms, v)
    eb, he = side_hamiltonian(orb, [dets(5, 9, 10), dets(5, 10, 9)], [0.0, delta + u - q],
                              eterms, ve)
    assert_direct_spectrum(run, orb, gb, hg, eb, he)


def roundtrip_cases():
    cases = []
    for n in range(10):
        slow = n <= 6     # the core-hole configurations with two ligand holes are large
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
    # 3d8: every ground symmetry, among them J = 5, absent from 3d8 itself (multiplicity 0)
    model = IonModel(valence=valence, electrons=n, core="2p" if d else "3d", ground=g, excited=e,
                     charge_transfer={"Delta": 3.0, "U": 6.0, "Q": 7.0, "V": 2.0} if ct else None,
                     all_ground=d and n == 8)
    built, run = run_ion(model, tmp_path, engine)
    mj = json.loads((tmp_path / "model.json").read_text())
    assert [t.labels for t in run.triads] == [
        (t["ground"], t["operator"], t["excited"]) for t in mj["triads"]]
    energy = {s["label"]: s["energy"] for s in mj["ground_symmetries"]}
    for t in run.triads:
        e0 = energy[t.labels[0]]
        assert t.ground.eg0 == pytest.approx(e0, abs=1e-4 * max(1.0, abs(e0)))
        assert len(t.absorption) >= 1 and np.any(t.absorption[0].amplitudes != 0)
