"""Spherical configurations coupled with a spectator ligand shell, also without an open core
and with two ligand holes (vⁿ⁺¹L̲, vⁿ⁺²L̲², c̲vⁿ⁺²L̲²): the hybridisation and dipole blocks
assembled from reduced elements of the factors equal the blocks taken between the states
written out over determinants; a three-configuration spectrum equals a direct
diagonalisation; Ce³⁺ 4f¹ with three configurations obeys the M4,5 sum rule."""
from __future__ import annotations

from itertools import combinations

import numpy as np
import pytest
import scipy.sparse as sp
from ion_helpers import run_ion
from test_ion_charge_transfer import assert_direct_spectrum, determinants, side_hamiltonian

from morvex7.ion import atomic, o3
from morvex7.ion.blocks import make_sides
from morvex7.ion.determinants import Orbitals, configuration_dets
from morvex7.ion.model import IonModel
from morvex7.ion.o3 import O3Symmetry, SpectatorIrrep, parse_label
from morvex7.ion.spectra import combined_sticks
from morvex7.ion.symmetry import Symmetry
from morvex7.ion.wigner import six_j, three_j

G = {"F2vv": 9.0, "F4vv": 5.6, "zeta_v": 0.07}
E = {**G, "zeta_c": 8.0, "F2cv": 5.0, "G1cv": 3.7, "G3cv": 2.1}
CT = {"Delta": 2.5, "U": 5.0, "Q": 6.5, "V": 1.8}


def dense(block) -> np.ndarray:
    return block.toarray() if sp.issparse(block) else block


def test_six_j_values_and_orthogonality():
    # closed forms: {a b c; 0 c b} = (-1)^(a+b+c) / sqrt((2b+1)(2c+1)); tabulated values
    for ta, tb, tc in [(2, 1, 3), (5, 3, 4), (4, 4, 4), (7, 5, 2)]:
        want = (-1) ** ((ta + tb + tc) // 2) / np.sqrt((tb + 1) * (tc + 1))
        assert six_j(ta, tb, tc, 0, tc, tb) == pytest.approx(want, rel=1e-14)
    assert six_j(2, 2, 2, 2, 2, 2) == pytest.approx(1 / 6, rel=1e-14)
    assert six_j(4, 4, 4, 4, 4, 4) == pytest.approx(-3 / 70, rel=1e-14)
    assert six_j(2, 2, 6, 2, 2, 2) == 0.0  # no triangle (1 1 3)
    # sum over x of (2x+1)(2f+1) {a b x; c d f} {a b x; c d f'} = delta(f, f'), with
    # a, b, f half-integers: a = 5/2, b = 3/2, c = 2, d = 1, f = 3/2, 5/2, 7/2
    ta, tb, tc, td = 5, 3, 4, 2
    for f1 in (3, 5, 7):
        for f2 in (3, 5, 7):
            s = sum((x + 1) * (f1 + 1) * six_j(ta, tb, x, tc, td, f1) * six_j(ta, tb, x, tc, td, f2)
                    for x in range(0, 12, 2))
            assert s == pytest.approx(float(f1 == f2), abs=1e-13)


@pytest.mark.parametrize("n", [6, 7])
def test_factor_blocks_equal_the_blocks_between_the_states(monkeypatch, n):
    """3d⁶, 3d⁷ with charge transfer, every configuration with an open ligand and valence
    shell coupled from its factors: the hybridisation between two such configurations (one
    and two ligand holes), the dipole between them (ground vⁿ⁺¹L̲ or vⁿ⁺²L̲² to c̲vⁿ⁺²L̲,
    c̲vⁿ⁺³L̲²), the atomic operators and their averages."""
    monkeypatch.setattr(o3, "SPECTATOR_DETERMINANTS", 0)
    model = IonModel(valence="3d", electrons=n, core="2p", ground=G, excited=E,
                     charge_transfer=CT)
    ground, excited = make_sides(model)
    sym = O3Symmetry()
    irreps = {}
    checked = {"mix": 0, "dipole": 0}
    for side in (ground, excited):
        labels = sorted(set().union(*[sym.multiplicities(c) for c in side.configs]))
        irreps[side.kind] = [sym.adapt(c, labels) for c in side.configs]
        hop = side.mixing[0].op
        for c in range(len(side.configs) - 1):
            for lab in labels:
                bra, ket = irreps[side.kind][c][lab], irreps[side.kind][c + 1][lab]
                if not (isinstance(bra, SpectatorIrrep) and isinstance(ket, SpectatorIrrep)) \
                        or bra.mult == 0 or ket.mult == 0:
                    continue
                got = sym.mixing_block(bra, hop, ket)
                assert sp.issparse(got)
                np.testing.assert_allclose(dense(got), Symmetry.scalar_block(sym, bra, hop, ket),
                                           atol=1e-12, err_msg=f"{side.kind} {c} {lab}")
                checked["mix"] += 1
        for conf, irr in zip(side.configs, irreps[side.kind]):
            if not o3._ligand_spectator(conf):
                continue
            ops = [o.op for o in side.hamiltonian]
            basis = configuration_dets(conf.orbitals, conf.occupations)
            np.testing.assert_allclose(sym.averages(conf, ops),
                                       [op.trace(basis) / len(basis) for op in ops], atol=1e-12)
            if conf.occupations[0] == conf.orbitals.shells[0].size:  # no open core
                for lab, a in irr.items():
                    for op in ops:
                        np.testing.assert_allclose(dense(sym.hamiltonian_block(a, op)),
                                                   sym.scalar_block(a, op, a), atol=1e-12)
    comps = {q: atomic.dipole(model.orbitals().shell("valence"), model.orbitals().shell("core"), q)
             for q in (-1, 0, 1)}
    for c in range(min(len(ground.configs), len(excited.configs))):
        for g, gi in irreps["ground"][c].items():
            for e, ei in irreps["excited"][c].items():
                if not (isinstance(gi, SpectatorIrrep) and isinstance(ei, SpectatorIrrep)) \
                        or gi.mult == 0 or ei.mult == 0 or e not in sym.reached(g, "1-"):
                    continue
                tjg, tje = parse_label(g)[0], parse_label(e)[0]
                m = comps[(tje - tjg) // 2].matrix(ei.basis, gi.basis)
                amp = ei.vectors[:, 0, :] @ (m @ gi.vectors[:, 0, :].T)
                want = (amp / three_j(tje, 2, tjg, -tje, tje - tjg, tjg)).T
                assert np.abs(want).max() > 0.1
                np.testing.assert_allclose(dense(sym.transition_block(gi, comps, ei, "1-")),
                                           want, atol=1e-12, err_msg=f"{c} {g} {e}")
                checked["dipole"] += 1
    assert checked["mix"] >= 6 and checked["dipole"] >= 15  # not vacuous


def test_three_configuration_spectrum_equals_direct_calculation(tmp_path, engine, monkeypatch):
    """3d⁷ + 3d⁸L̲ + 3d⁹L̲² -> 2p⁵3d⁸ + 2p⁵3d⁹L̲ + 2p⁵3d¹⁰L̲², with 3d⁸L̲, 3d⁹L̲² and 2p⁵3d⁹L̲
    coupled with a spectator ligand: every line against a diagonalisation of the whole
    determinant space of both sides."""
    monkeypatch.setattr(o3, "SPECTATOR_DETERMINANTS", 0)
    n, delta, u, q, v = 7, CT["Delta"], CT["U"], CT["Q"], CT["V"]
    model = IonModel(valence="3d", electrons=n, core="2p", ground=G, excited=E,
                     charge_transfer=CT)
    built, run = run_ion(model, tmp_path, engine)
    assert all(isinstance(i, SpectatorIrrep) for i in built.ground.irreps[2].values() if i.mult)
    # the states written out over the determinants (for 3d⁷ – 3d⁸L̲) are not held past their
    # blocks: for Ce³⁺ they would keep 90 MB to the end of the build
    assert not [i for side in (built.ground, built.excited) for irr in side.irreps
                for i in irr.values() if isinstance(i, SpectatorIrrep) and i._vectors is not None]

    orb = Orbitals.of([("core", 1), ("valence", 2), ("ligand", 2)])
    c, val = orb.shell("core"), orb.shell("valence")

    def dets(nc: int, nv: int, nl: int) -> np.ndarray:
        return np.array(sorted(int(d) | sum(1 << i for i in a)
                               for a in combinations(range(c.offset, c.offset + c.size), nc)
                               for d in determinants(orb, nv, nl)), dtype=np.uint64)

    gterms = [(atomic.coulomb(val, val, 2), G["F2vv"]), (atomic.coulomb(val, val, 4), G["F4vv"]),
              (atomic.spin_orbit(val), G["zeta_v"])]
    eterms = [(atomic.coulomb(val, val, 2), E["F2vv"]), (atomic.coulomb(val, val, 4), E["F4vv"]),
              (atomic.spin_orbit(val), E["zeta_v"]), (atomic.spin_orbit(c), E["zeta_c"]),
              (atomic.coulomb(c, val, 2, "F"), E["F2cv"]),
              (atomic.coulomb(c, val, 1, "G"), E["G1cv"]),
              (atomic.coulomb(c, val, 3, "G"), E["G3cv"])]
    gb, hg = side_hamiltonian(orb, [dets(6, n + k, 10 - k) for k in range(3)],
                              [0.0, delta, 2 * delta + u], gterms, v)
    eb, he = side_hamiltonian(orb, [dets(5, n + 1 + k, 10 - k) for k in range(3)],
                              [0.0, delta + u - q, 2 * delta + 3 * u - 2 * q], eterms, v)
    wg = assert_direct_spectrum(run, orb, gb, hg, eb, he)
    assert min(t.ground.eg0 for t in run.triads) == pytest.approx(wg[0], abs=2e-4)


CE_GROUND = {"F2vv": 10.0, "F4vv": 6.3, "F6vv": 4.5, "zeta_v": 0.087}
CE_EXCITED = {**CE_GROUND, "zeta_v": 0.10, "zeta_c": 7.4, "F2cv": 5.6, "F4cv": 2.6,
              "G1cv": 4.0, "G3cv": 2.3, "G5cv": 1.6}


@pytest.mark.slow  # about 15 s of CPU: an 18.6 MB coefficient file, 9225 core-hole states
def test_ce_three_configurations_total_intensity_counts_the_4f_holes(tmp_path, engine):
    """Ce³⁺ 4f¹ + 4f²L̲ + 4f³L̲² -> 3d⁹4f² + 3d⁹4f³L̲ + 3d⁹4f⁴L̲² (910 910 determinants, never
    listed): the M4,5 intensity summed over every final state is that of the ion alone times
    (13 w1 + 12 w2 + 11 w3) / 13, w the ground state's configuration weights."""
    ct = IonModel(valence="4f", electrons=1, core="3d", ground=CE_GROUND, excited=CE_EXCITED,
                  charge_transfer={"Delta": 2.0, "U": 7.0, "Q": 9.0, "V": 0.6})
    alone = IonModel(valence="4f", electrons=1, core="3d", ground=CE_GROUND, excited=CE_EXCITED)
    built, run_ct = run_ion(ct, tmp_path / "ct", engine)
    assert [c.name for c in built.excited.configs][-1] == "3d9 4f4 L2"
    _, run_alone = run_ion(alone, tmp_path / "alone", engine)
    lowest = min(run_ct.triads, key=lambda t: t.ground.eg0)
    w = lowest.ground.weights[:3]
    assert w[2] > 1e-3 and sum(w) == pytest.approx(1.0, abs=1e-5)
    ratio = combined_sticks(run_ct, absolute=True).intensity.sum() \
        / combined_sticks(run_alone, absolute=True).intensity.sum()
    assert ratio == pytest.approx((13 * w[0] + 12 * w[1] + 11 * w[2]) / 13, rel=1e-4)
