"""Charge-transfer models with two configurations per side ([charge_transfer] configurations
= 2): the key, what the builder makes of it, and the spectra against a direct diagonalisation
and the dipole sum rule."""
from __future__ import annotations

import json
import shutil

import numpy as np
import pytest
from conftest import EXAMPLES
from ion_helpers import run_ion
from test_ion_charge_transfer import assert_direct_spectrum, determinants, side_hamiltonian

from morvex7.ion import atomic, cli
from morvex7.ion.determinants import Orbitals
from morvex7.ion.model import IonModel, load_description, model_from_dict
from morvex7.ion.spectra import combined_sticks
from morvex7.results import Run

G3D = {"F2vv": 9.0, "F4vv": 5.6, "zeta_v": 0.07}
E3D = {"F2vv": 9.5, "F4vv": 5.9, "zeta_v": 0.09, "zeta_c": 8.0, "F2cv": 5.0, "G1cv": 3.7,
       "G3cv": 2.1}


def description(**ct) -> dict:
    return {"valence": "3d", "electrons": 8, "core": "2p", "ground": G3D, "excited": E3D,
            "charge_transfer": {"Delta": 2.5, "U": 5.0, "Q": 6.5, "V": 1.8, **ct}}


@pytest.mark.parametrize("value", [1, 4, 0, -2, 2.5, "2", True, [2]])
def test_configurations_key_is_refused_unless_two_or_three(value):
    with pytest.raises(ValueError, match=r"\[charge_transfer\] configurations"):
        model_from_dict(description(configurations=value))
    # the same check when the model is made directly (or changed and validated again)
    with pytest.raises(ValueError, match=r"\[charge_transfer\] configurations"):
        IonModel(valence="3d", electrons=8, core="2p", excited=E3D,
                 charge_transfer={"Delta": 2.5, "configurations": value})


def test_configurations_per_side():
    default = model_from_dict(description())
    two = model_from_dict(description(configurations=2))
    json_two = model_from_dict(description(configurations=2.0))  # a JSON number
    assert [len(s) for s in default.configurations()] == [3, 2]
    for m in (two, json_two):
        g, e = m.configurations()
        assert [c.name for c in g] == ["2p6 3d8", "2p6 3d9 L"]
        assert [c.name for c in e] == ["2p5 3d9", "2p5 3d10 L"]
        assert m.charge_transfer["configurations"] == 2
    three = model_from_dict(description(configurations=3))
    assert three.configurations() == default.configurations()
    # d9: the third configuration does not exist either way
    d9 = {**description(configurations=3), "electrons": 9}
    assert [len(s) for s in model_from_dict(d9).configurations()] == [2, 1]


def test_refusal_of_three_configurations_suggests_two(tmp_path, capsys, monkeypatch):
    """Ce3+ with three configurations (3d9 4f4 L2: 910 910 determinants) fits a machine of
    8 GB; on one of 0.3 GB it is refused before anything is written, with the hint."""
    from morvex7.ion import estimate
    from morvex7.ion.build import make_symmetry

    desc = tmp_path / "ce.toml"
    desc.write_text("""
valence = "4f"
electrons = 1
core = "3d"
[ground]
F2vv = 10.0
[excited]
zeta_c = 7.4
[charge_transfer]
Delta = 3.0
U = 6.0
V = 2.0
""")
    est = estimate.estimate(load_description(desc), make_symmetry("O3"))
    assert est.problems(memory=8e9) == []
    assert est.problems(memory=0.3e9)
    monkeypatch.setattr(estimate, "machine_bytes", lambda: 0.3e9)
    assert cli.main([str(desc), "-o", str(tmp_path / "ce")]) == 2
    err = capsys.readouterr().err
    assert "too large" in err and "configurations = 2" in err
    assert not (tmp_path / "ce").exists()


@pytest.mark.parametrize("n", [8, 7])
def test_two_configuration_spectrum_equals_direct_calculation(tmp_path, engine, n):
    """3dn + 3dn+1 L -> 2p5 3dn+1 + 2p5 3dn+2 L: every line's energy and isotropic intensity
    from a diagonalisation of the whole determinant space of those configurations (3d7: the
    core-hole configuration with a ligand hole has three open shells)."""
    delta, u, q, v = 2.5, 5.0, 6.5, 1.8
    model = model_from_dict({**description(configurations=2), "electrons": n})
    built, run = run_ion(model, tmp_path, engine)
    mj = json.loads((tmp_path / "model.json").read_text())
    assert mj["parameters"]["charge_transfer"]["configurations"] == 2
    assert mj["configurations"] == {"ground": [f"2p6 3d{n}", f"2p6 3d{n + 1} L"],
                                    "excited": [f"2p5 3d{n + 1}", f"2p5 3d{n + 2} L"]}

    orb = Orbitals.of([("core", 1), ("valence", 2), ("ligand", 2)])
    c, val = orb.shell("core"), orb.shell("valence")
    core_bits = {nc: [sum(1 << i for i in range(c.offset, c.offset + c.size) if i != h)
                      for h in range(c.offset, c.offset + c.size)] if nc == 5
                 else [sum(1 << i for i in range(c.offset, c.offset + c.size))]
                 for nc in (5, 6)}

    def dets(nc: int, nv: int, nl: int) -> np.ndarray:
        return np.array(sorted(int(d) | a for a in core_bits[nc]
                               for d in determinants(orb, nv, nl)), dtype=np.uint64)

    gterms = [(atomic.coulomb(val, val, 2), G3D["F2vv"]),
              (atomic.coulomb(val, val, 4), G3D["F4vv"]), (atomic.spin_orbit(val), G3D["zeta_v"])]
    eterms = [(atomic.coulomb(val, val, 2), E3D["F2vv"]),
              (atomic.coulomb(val, val, 4), E3D["F4vv"]), (atomic.spin_orbit(val), E3D["zeta_v"]),
              (atomic.spin_orbit(c), E3D["zeta_c"]), (atomic.coulomb(c, val, 2, "F"), E3D["F2cv"]),
              (atomic.coulomb(c, val, 1, "G"), E3D["G1cv"]),
              (atomic.coulomb(c, val, 3, "G"), E3D["G3cv"])]
    gb, hg = side_hamiltonian(orb, [dets(6, n, 10), dets(6, n + 1, 9)], [0.0, delta], gterms, v)
    eb, he = side_hamiltonian(orb, [dets(5, n + 1, 10), dets(5, n + 2, 9)],
                              [0.0, delta + u - q], eterms, v)
    wg = assert_direct_spectrum(run, orb, gb, hg, eb, he)
    assert min(t.ground.eg0 for t in run.triads) == pytest.approx(wg[0], abs=2e-4)


def test_total_intensity_counts_the_valence_holes(tmp_path, engine):
    """Dipole sum rule: with a full core shell the isotropic intensity summed over every final
    state is a constant times the number of valence holes, so with charge transfer it is that
    of the ion alone times sum_k w_k (holes in configuration k) / (holes of d^n)."""
    g = {"F2vv": 9.0, "F4vv": 5.6, "zeta_v": 0.05}
    e = {**g, "zeta_c": 6.8, "F2cv": 5.0, "G1cv": 3.7, "G3cv": 2.1}
    alone = IonModel(valence="3d", electrons=1, core="2p", ground=g, excited=e)
    ct = IonModel(valence="3d", electrons=1, core="2p", ground=g, excited=e,
                  charge_transfer={"Delta": 1.5, "U": 4.0, "Q": 5.0, "V": 2.5,
                                   "configurations": 2})
    _, run_alone = run_ion(alone, tmp_path / "alone", engine)
    _, run_ct = run_ion(ct, tmp_path / "ct", engine)
    total_alone = combined_sticks(run_alone, absolute=True).intensity.sum()
    total_ct = combined_sticks(run_ct, absolute=True).intensity.sum()
    lowest = min(run_ct.triads, key=lambda t: t.ground.eg0)
    w = lowest.ground.weights[:2]
    assert w[1] > 0.05 and sum(w) == pytest.approx(1.0, abs=1e-5)
    assert total_ct / total_alone == pytest.approx((9 * w[0] + 8 * w[1]) / 9, rel=1e-4)


CE_EXAMPLE = EXAMPLES / "ce3_m45_charge_transfer"


@pytest.fixture(scope="module")
def ce_runs(tmp_path_factory, engine):
    """The shipped Ce3+ example (4f1 + 4f2 L -> 3d9 4f2 + 3d9 4f3 L, M4,5) built afresh, run
    as it is and with V = 0; and the same ion without charge transfer."""
    import morvex7

    d = tmp_path_factory.mktemp("ce")
    ct = load_description(CE_EXAMPLE / "model.toml")
    built, hybridised = run_ion(ct, d / "ct", engine)
    decoupled = morvex7.run(d / "ct", {"V": 0.0}, d / "v0")
    alone = IonModel(valence="4f", electrons=1, core="3d", ground=ct.ground, excited=ct.excited)
    return built, hybridised, decoupled, run_ion(alone, d / "alone", engine)[1]


def test_ce_without_hybridisation_is_the_ion_alone(ce_runs):
    built, _, decoupled, alone = ce_runs
    assert [c.name for c in built.ground.configs] == ["3d10 4f1", "3d10 4f2 L"]
    assert [c.name for c in built.excited.configs] == ["3d9 4f2", "3d9 4f3 L"]
    a, b = combined_sticks(decoupled, absolute=True), combined_sticks(alone, absolute=True)
    strong_a, strong_b = a.intensity > 1e-6, b.intensity > 1e-6
    np.testing.assert_allclose(np.sort(a.energy[strong_a]), np.sort(b.energy[strong_b]),
                               atol=2e-4)
    np.testing.assert_allclose(a.intensity[strong_a][np.argsort(a.energy[strong_a])],
                               b.intensity[strong_b][np.argsort(b.energy[strong_b])], rtol=1e-4)


def test_ce_total_intensity_counts_the_4f_holes(ce_runs):
    """The M4,5 intensity summed over the final states: 13 holes in 4f1, 12 in 4f2 L, each
    weighted by the ground state's share of the configuration."""
    _, hybridised, _, alone = ce_runs
    lowest = min(hybridised.triads, key=lambda t: t.ground.eg0)
    w = lowest.ground.weights[:2]
    assert w[1] > 0.05 and sum(w) == pytest.approx(1.0, abs=1e-5)
    ratio = combined_sticks(hybridised, absolute=True).intensity.sum() \
        / combined_sticks(alone, absolute=True).intensity.sum()
    assert ratio == pytest.approx((13 * w[0] + 12 * w[1]) / 13, rel=1e-4)


def test_shipped_ce_example_is_what_the_builder_makes(ce_runs, example_run):
    _, fresh, _, _ = ce_runs
    d = example_run("ce3_m45_charge_transfer")
    shutil.copy(CE_EXAMPLE / "model.json", d)  # the run's copy holds the engine's files only
    shipped = Run.load(d)
    assert [t.labels for t in shipped.triads] == [t.labels for t in fresh.triads]
    for a, b in zip(shipped.triads, fresh.triads):
        assert a.ground.eg0 == pytest.approx(b.ground.eg0, abs=1e-5)
        np.testing.assert_allclose(a.ground.weights, b.ground.weights, atol=1e-5)
    assert combined_sticks(shipped, absolute=True).intensity.sum() == pytest.approx(
        combined_sticks(fresh, absolute=True).intensity.sum(), rel=1e-5)
