"""Crystal-field models (Oh, D4h) built, run through the engine and checked against physics the
builder does not define: one-electron levels, Tanabe–Sugano exact excitations, the spherical
limit, polarisation and sum rules, and a direct diagonalisation of a whole charge-transfer
Hamiltonian."""
from __future__ import annotations

import numpy as np
import pytest

from ion_helpers import run_ion
from morvex7.ion import atomic
from morvex7.ion.crystalfield import field_operators, mixing_operators
from morvex7.ion.determinants import DeterminantBasis, configuration_dets
from morvex7.ion.model import IonModel
from morvex7.ion.spectra import combined_sticks, read_model_json

NI_EXCITED = {"zeta_c": 11.5, "F2cv": 6.2, "G1cv": 4.6, "G3cv": 2.6}


def _levels(run) -> dict[str, np.ndarray]:
    """Every ground energy of each ground symmetry, from the engine (fort.43)."""
    return {t.labels[0]: np.asarray(t.ground.energies) for t in run.triads}


@pytest.mark.parametrize("symmetry, field, levels", [
    ("Oh", {"10Dq": 1.2}, {"G3/2G": [-0.48, 0.72], "E5/2G": [-0.48]}),
    # D4h: b1g 6Dq+2Ds-Dt, a1g 6Dq-2Ds-6Dt, b2g -4Dq+2Ds-Dt, eg -4Dq-Ds+4Dt
    ("D4h", {"Dq": 0.12, "Ds": 0.05, "Dt": 0.02},
     {"E1/2G": sorted([0.72 - 0.1 - 0.12, -0.48 - 0.05 + 0.08]),
      "E3/2G": sorted([0.72 + 0.1 - 0.02, -0.48 + 0.1 - 0.02, -0.48 - 0.05 + 0.08])}),
])
def test_d1_one_electron_levels_through_the_engine(tmp_path, engine, symmetry, field, levels):
    model = IonModel(valence="3d", electrons=1, core="2p", symmetry=symmetry, ground=dict(field),
                     excited={"zeta_c": 4.0}, all_ground=True)
    _, run = run_ion(model, tmp_path, engine)
    got = _levels(run)
    assert set(got) == set(levels)
    for lab, want in levels.items():
        np.testing.assert_allclose(got[lab], want, atol=2e-4)


@pytest.mark.parametrize("n, ground, first", [
    (8, {"T2G": 1}, {"A2G": 1, "EG": 1, "T1G": 1, "T2G": 1}),  # 3A2g; 3T2g = T2 x T1
    (3, {"G3/2G": 1}, {"E1/2G": 1, "E5/2G": 1, "G3/2G": 2}),  # 4A2g; 4T2g = T2 x G3/2
])
def test_d8_d3_ground_and_first_spin_allowed_excitation_at_10dq(tmp_path, engine, n, ground, first):
    """Without spin–orbit coupling the ground term of d8 and d3 is 3A2g (4A2g) and 3T2g (4T2g)
    lies exactly 10Dq above it, whatever F2 and F4 (Tanabe–Sugano). In the double group the
    spin multiplies the orbital irrep: A2 x T1 = T2, A2 x G3/2 = G3/2."""
    tendq = 1.1
    model = IonModel(valence="3d", electrons=n, core="2p", symmetry="Oh",
                     ground={"F2vv": 9.8, "F4vv": 6.1, "10Dq": tendq}, excited=dict(NI_EXCITED),
                     all_ground=True)
    _, run = run_ion(model, tmp_path, engine)
    levels = _levels(run)
    e0 = min(e.min() for e in levels.values())

    def count(energy: float) -> dict[str, int]:
        out = {lab: int(np.sum(np.abs(e - energy) < 2e-4)) for lab, e in levels.items()}
        return {k: v for k, v in out.items() if v}

    assert count(e0) == ground
    assert count(e0 + tendq) == first


def _iso_sticks(run, pol="iso"):
    st = combined_sticks(run, read_model_json(run.directory), pol)
    return st.energy, st.intensity


def _binned(e, i, step=0.01):
    """Intensity per energy bin, for comparing stick spectra made of different triads."""
    edges = np.arange(e.min() - step / 2, e.max() + step, step)
    return np.histogram(e, bins=edges, weights=i)[0]


def test_d4h_edge_with_a_ligand_field_needs_13_operators_and_runs(tmp_path, engine):
    """A D4h 2p edge with charge transfer and a ligand-shell field has 13 operators on the
    core-hole side; with the ligand field at 0 it gives the model without one."""
    base = dict(valence="3d", electrons=9, core="2p", symmetry="D4h",
                charge_transfer={"Delta": 2.0, "U": 7.0, "Q": 8.5, "V": 2.0},
                ground={"zeta_v": 0.08, "Dq": 0.1, "Ds": 0.15, "Dt": 0.03},
                excited={"zeta_v": 0.1, **NI_EXCITED})
    with_l = IonModel(**{**base, "ground": {**base["ground"], "Dq_L": 0.0, "Ds_L": 0.0, "Dt_L": 0.0}})
    built, run_l = run_ion(with_l, tmp_path / "ligand", engine)
    assert len(built.excited.hamiltonian) == 13
    _, run = run_ion(IonModel(**base), tmp_path / "plain", engine)
    assert run_l.triads[0].ground.eg0 == pytest.approx(run.triads[0].ground.eg0, abs=1e-5)
    e1, i1 = _iso_sticks(run)
    e2, i2 = _iso_sticks(run_l)
    np.testing.assert_allclose(_binned(e2, i2), _binned(e1, i1), atol=1e-5)


@pytest.mark.parametrize("symmetry, zero", [("Oh", {"10Dq": 0.0}), ("D4h", {"Dq": 0.0, "Ds": 0.0, "Dt": 0.0})])
@pytest.mark.parametrize("n, ct", [(8, None), (9, {"Delta": 2.0, "U": 7.0, "Q": 8.5, "V": 2.0})],
                         ids=["d8", "d9-ct"])
def test_no_field_gives_the_spherical_model(tmp_path, engine, symmetry, zero, n, ct):
    """Without crystal field (and with one V for every orbital set) the ground energy and every
    line of the isotropic spectrum are those of the spherical model."""
    base = dict(valence="3d", electrons=n, core="2p", charge_transfer=ct,
                ground={"F2vv": 9.8, "F4vv": 6.1, "zeta_v": 0.08},
                excited={"F2vv": 10.4, "F4vv": 6.5, "zeta_v": 0.1, **NI_EXCITED})
    _, o3 = run_ion(IonModel(**base), tmp_path / "o3", engine)
    model = IonModel(**{**base, "ground": {**base["ground"], **zero}}, symmetry=symmetry)
    _, pg = run_ion(model, tmp_path / "pg", engine)
    assert pg.triads[0].ground.eg0 == pytest.approx(o3.triads[0].ground.eg0, abs=1e-4)
    e1, i1 = _iso_sticks(o3)
    e2, i2 = _iso_sticks(pg)
    assert e2.min() == pytest.approx(e1.min(), abs=1e-4)
    np.testing.assert_allclose(_binned(e2, i2)[: len(_binned(e1, i1))], _binned(e1, i1), atol=1e-5)
    assert i2.sum() == pytest.approx(i1.sum(), rel=1e-5)


def test_polarisation_sum_rule_and_dichroism(tmp_path, engine):
    """d9 with the hole in b1g (x^2 - y^2; no valence spin–orbit): light along z cannot reach
    it from 2p, so the whole edge is E perpendicular to z; the isotropic intensity is that of one
    hole; in Oh the polarised spectra are equal, and 10Dq does not change the total."""
    d4h = IonModel(valence="3d", electrons=9, core="2p", symmetry="D4h",
                   ground={"Dq": 0.15, "Ds": 0.1, "Dt": 0.03}, excited=dict(NI_EXCITED))
    _, run = run_ion(d4h, tmp_path / "d4h", engine)
    totals = {p: _iso_sticks(run, p)[1].sum() for p in ("iso", "z", "xy")}
    assert totals["z"] == pytest.approx(0.0, abs=1e-6)
    assert totals["iso"] == pytest.approx((totals["z"] + 2 * totals["xy"]) / 3, rel=1e-6)
    one_hole = totals["iso"]
    for tendq, n in ((0.0, 8), (1.5, 8), (1.5, 7)):
        model = IonModel(valence="3d", electrons=n, core="2p", symmetry="Oh",
                         ground={"F2vv": 9.8, "F4vv": 6.1, "zeta_v": 0.08, "10Dq": tendq},
                         excited=dict(NI_EXCITED))
        _, run = run_ion(model, tmp_path / f"oh{tendq}{n}", engine)
        sticks = {p: _iso_sticks(run, p) for p in ("iso", "z", "xy")}
        np.testing.assert_allclose(sticks["z"][1], sticks["iso"][1], atol=1e-7)
        np.testing.assert_allclose(sticks["xy"][1], sticks["iso"][1], atol=1e-7)
        assert sticks["iso"][1].sum() == pytest.approx((10 - n) * one_hole, rel=1e-4)


def _direct_ground(model: IonModel) -> tuple[float, np.ndarray]:
    """Lowest energy and configuration weights of the whole ground Hamiltonian of a
    charge-transfer model with one band level, built here over every determinant."""
    orb = model.orbitals()
    v, lig = orb.shell("valence"), orb.shell("ligand")
    full_c = orb.shell("core").size
    configs = [(full_c, model.electrons + k, 10 - k) for k in range(3) if model.electrons + k <= 10]
    bases = [configuration_dets(orb, occ) for occ in configs]
    allb = DeterminantBasis(np.concatenate([b.dets for b in bases]))
    params = model.ground
    ops = [(atomic.coulomb(v, v, k), params.get(f"F{k}vv", 0.0)) for k in (2, 4)]
    ops.append((atomic.spin_orbit(v), params.get("zeta_v", 0.0)))
    ops += [(op, params.get(name, 0.0)) for name, op in field_operators(model.symmetry, v).items()]
    ops += [(op, params.get(name + "_L", 0.0)) for name, op in field_operators(model.symmetry, lig).items()]
    delta, u = model.ct("Delta"), model.ct("U")
    energies = [0.0, delta, 2 * delta + u]
    n = len(allb)
    h = np.zeros((n, n))
    where = [allb.locate(b.dets) for b in bases]
    for c, b in enumerate(bases):
        idx = np.ix_(where[c], where[c])
        for op, value in ops:
            blk = op.matrix(b, b).toarray()
            h[idx] += value * (blk - np.trace(blk) / len(b) * np.eye(len(b)))
        h[idx] += energies[c] * np.eye(len(b))
    for name, op in mixing_operators(model.symmetry, v, lig).items():
        h += model.charge_transfer[name] * op.matrix(allb, allb).toarray()
    w, vec = np.linalg.eigh(h)
    low = vec[:, np.abs(w - w[0]) < 1e-7]
    weights = [np.sum(low[where[c]] ** 2) / low.shape[1] for c in range(len(bases))]
    return w[0], np.array(weights + [0.0] * (3 - len(weights)))


@pytest.mark.parametrize("model", [
    IonModel(valence="3d", electrons=8, core="2p", symmetry="Oh",
             ground={"F2vv": 9.8, "F4vv": 6.1, "zeta_v": 0.08, "10Dq": 1.0, "10Dq_L": 0.6},
             excited={"F2vv": 10.4, "F4vv": 6.5, "zeta_v": 0.1, **NI_EXCITED},
             charge_transfer={"Delta": 4.0, "U": 7.0, "Q": 8.5, "V_eg": 2.2, "V_t2g": 1.1}),
    IonModel(valence="3d", electrons=9, core="2p", symmetry="D4h",
             ground={"zeta_v": 0.1, "Dq": 0.12, "Ds": 0.1, "Dt": 0.03},
             excited=dict(NI_EXCITED),
             charge_transfer={"Delta": 2.5, "U": 7.0, "Q": 8.5, "V_b1g": 2.4, "V_a1g": 1.9,
                              "V_b2g": 1.3, "V_eg": 1.1}),
], ids=["d8-Oh", "d9-D4h"])
def test_charge_transfer_ground_state_equals_direct_diagonalisation(tmp_path, engine, model):
    _, run = run_ion(model, tmp_path, engine)
    e0, weights = _direct_ground(model)
    g = run.triads[0].ground
    assert g.eg0 == pytest.approx(e0, abs=2e-4)
    np.testing.assert_allclose(g.weights, weights, atol=2e-4)


@pytest.mark.parametrize("symmetry, field", [("Oh", {"10Dq": 2.0}), ("D4h", {"Dq": 0.15, "Ds": 0.12, "Dt": 0.04})])
def test_d0_lines_equal_a_direct_calculation_per_polarisation(tmp_path, engine, symmetry, field):
    """Every line of the d0 -> 2p5 3d1 edge (energy and intensity, for each polarisation)
    equals the eigenstates of the core-hole Hamiltonian made here over all 60 determinants."""
    excited = {"zeta_v": 0.03, "zeta_c": 3.78, "F2cv": 4.0, "G1cv": 2.9, "G3cv": 1.6}
    model = IonModel(valence="3d", electrons=0, core="2p", symmetry=symmetry, ground=dict(field),
                     excited=excited)
    _, run = run_ion(model, tmp_path, engine)
    orb = model.orbitals()
    c, v = orb.shell("core"), orb.shell("valence")
    ex, gb = configuration_dets(orb, (5, 1)), configuration_dets(orb, (6, 0))
    ops = [(atomic.spin_orbit(v), "zeta_v"), (atomic.spin_orbit(c), "zeta_c"),
           (atomic.coulomb(c, v, 2, "F"), "F2cv"), (atomic.coulomb(c, v, 1, "G"), "G1cv"),
           (atomic.coulomb(c, v, 3, "G"), "G3cv")]
    h = sum(excited[name] * (op.matrix(ex, ex).toarray() - op.trace(ex) / len(ex) * np.eye(len(ex)))
            for op, name in ops)
    h = h + sum(field[name] * op.matrix(ex, ex).toarray() for name, op in field_operators(symmetry, v).items())
    w, vec = np.linalg.eigh(h)
    amp = {q: vec.T @ atomic.dipole(v, c, q).matrix(ex, gb).toarray()[:, 0] for q in (-1, 0, 1)}
    direct = {"iso": sum(np.abs(a) ** 2 for a in amp.values()) / 3, "z": np.abs(amp[0]) ** 2,
              "xy": np.abs(amp[-1] - amp[1]) ** 2 / 2}
    for pol, inten in direct.items():
        e, i = _iso_sticks(run, pol)
        levels = np.unique(np.round(w, 4))
        want = np.array([inten[np.abs(w - x) < 2e-4].sum() for x in levels])
        got = np.array([i[np.abs(e - x) < 2e-4].sum() for x in levels])
        np.testing.assert_allclose(got, want, atol=2e-5)
        assert i.sum() == pytest.approx(inten.sum(), rel=1e-5)


def test_spectra_command_line_polarisation_and_dichroism(tmp_path, engine, example_run, capsys):
    from morvex7.cli_spectra import main

    model = IonModel(valence="3d", electrons=9, core="2p", symmetry="D4h",
                     ground={"Dq": 0.15, "Ds": 0.1, "Dt": 0.03}, excited=dict(NI_EXCITED))
    run_ion(model, tmp_path / "run", engine)
    out = tmp_path / "ld.svg"
    assert main(["plot", str(tmp_path / "run"), "--dichroism", "--out", str(out)]) == 0
    assert out.stat().st_size > 0
    assert main(["csv", str(tmp_path / "run"), "--polarisation", "z", "--out", str(tmp_path / "z")]) == 0
    rows = [line.split(",") for line in (tmp_path / "z" / "sticks.csv").read_text().splitlines()
            if line and not line.startswith(("#", "energy"))]
    assert rows and max(abs(float(r[2])) for r in rows) < 1e-6  # the b1g hole cannot be reached with E parallel to z
    capsys.readouterr()
    assert main(["plot", str(example_run("charge_transfer")), "--polarisation", "z"]) == 1
    assert "builder-made" in capsys.readouterr().err
