"""Oh and D4h symmetry of the ion builder, checked against a direct diagonalisation in the full
determinant basis: every energy, and the dipole intensity per polarisation."""
from __future__ import annotations

import numpy as np
import pytest

from morvex7.ion import atomic
from morvex7.ion.crystalfield import field_operators, mixing_operators
from morvex7.ion.determinants import Operator, Orbitals, configuration_dets
from morvex7.ion.pointsymmetry import D4hSymmetry, OhSymmetry
from morvex7.ion.symmetry import Configuration

FIELDS = {"Oh": {"10Dq": 1.3}, "D4h": {"Dq": 0.2, "Ds": 0.1, "Dt": 0.05}}


def _hamiltonian(sym, v):
    h = atomic.coulomb(v, v, 2) * 0.1 + atomic.coulomb(v, v, 4) * 0.07 + atomic.spin_orbit(v) * 0.05
    for name, op in field_operators(sym.name, v).items():
        h = h + op * FIELDS[sym.name][name]
    return h


@pytest.mark.parametrize("symmetry", [OhSymmetry, D4hSymmetry])
@pytest.mark.parametrize("n", [1, 3, 8])
def test_blocks_hold_every_energy_of_the_configuration(symmetry, n):
    sym = symmetry()
    orb = Orbitals.of([("valence", 2)])
    v = orb.shell("valence")
    conf = Configuration("d", orb, (n,))
    h = _hamiltonian(sym, v)
    basis = configuration_dets(orb, conf.occupations)
    direct = np.linalg.eigvalsh(h.matrix(basis, basis).toarray())
    mults = sym.multiplicities(conf)
    assert sum(m * d for m, d in mults.values()) == len(basis)
    levels = []
    for lab, a in sym.adapt(conf, list(mults)).items():
        assert a.mult == mults[lab][0]
        blk = sym.scalar_block(a, h, a)
        np.testing.assert_allclose(blk, blk.T, atol=1e-12)
        levels += list(np.linalg.eigvalsh(blk)) * a.dim
    np.testing.assert_allclose(np.sort(levels), direct, atol=1e-10)


def test_mixing_between_configurations_matches_direct_diagonalisation():
    """d8 + d9L with V(eg) != V(t2g) and a crystal field: the adapted blocks of both
    configurations and the mixing between them give the whole Hamiltonian's energies."""
    sym = OhSymmetry()
    orb = Orbitals.of([("valence", 2), ("ligand", 2)])
    v, lig = orb.shell("valence"), orb.shell("ligand")
    confs = [Configuration("d8", orb, (8, 10)), Configuration("d9L", orb, (9, 9))]
    h = _hamiltonian(sym, v)
    mix = mixing_operators("Oh", v, lig)
    hop = mix["V_eg"] * 2.0 + mix["V_t2g"] * 1.2
    energies = [0.0, 3.0]
    bases = [configuration_dets(orb, c.occupations) for c in confs]
    allb = configuration_dets(orb, (8, 10))
    allb = type(allb)(np.concatenate([b.dets for b in bases]))
    n_ligand = atomic.number(lig)
    full = (h + hop).matrix(allb, allb).toarray() + 3.0 * np.diag(10 - n_ligand.matrix(allb, allb).diagonal())
    direct = np.linalg.eigvalsh(full)
    labels = sorted(set(sym.multiplicities(confs[0])) | set(sym.multiplicities(confs[1])))
    ad = [sym.adapt(c, labels) for c in confs]
    levels = []
    for lab in labels:
        a, b = ad[0][lab], ad[1][lab]
        big = np.block([[sym.scalar_block(a, h, a) + energies[0] * np.eye(a.mult), sym.scalar_block(a, hop, b)],
                        [sym.scalar_block(b, hop, a), sym.scalar_block(b, h, b) + energies[1] * np.eye(b.mult)]])
        levels += list(np.linalg.eigvalsh(big)) * a.dim
    np.testing.assert_allclose(np.sort(levels), direct, atol=1e-10)


def _assert_full_basis_intensities(got, h, comps, gb, eb):
    """``got`` (iso, z, xy) against the dipole operator in the full determinant basis, summed
    over the states of the lowest level of ``h`` on the ground determinants ``gb``."""
    w, vec = np.linalg.eigh(h.matrix(gb, gb).toarray())
    low = vec[:, np.abs(w - w[0]) < 1e-8]
    d = {q: comps[q].matrix(eb, gb).toarray() @ low for q in comps}
    want = {"z": np.sum(np.abs(d[0]) ** 2), "xy": np.sum(np.abs(d[-1] - d[1]) ** 2) / 2,
            "iso": sum(np.sum(np.abs(x) ** 2) for x in d.values()) / 3}
    for p in got:
        assert got[p] == pytest.approx(want[p], rel=1e-9, abs=1e-12), p


@pytest.mark.parametrize("symmetry", [OhSymmetry, D4hSymmetry])
@pytest.mark.parametrize("n", [1, 8])
def test_polarised_intensities_of_the_lowest_level(symmetry, n):
    """p6 d^n -> p5 d^(n+1): the transition blocks with their polarisation factors give the
    intensity of light along z, along x and the isotropic average, summed over the ground
    level's states, as the dipole operator does in the full basis. For d1 in Oh this includes
    the second copy of G3/2 in G3/2 x T1U."""
    sym = symmetry()
    orb = Orbitals.of([("core", 1), ("valence", 2)])
    v, c = orb.shell("valence"), orb.shell("core")
    g, e = Configuration("g", orb, (6, n)), Configuration("e", orb, (5, n + 1))
    h = _hamiltonian(sym, v)
    comps = {q: atomic.dipole(v, c, q) for q in (-1, 0, 1)}
    gad = sym.adapt(g, list(sym.multiplicities(g)))
    ead = sym.adapt(e, list(sym.multiplicities(e)))
    lowest = min(gad, key=lambda lab: np.linalg.eigvalsh(sym.scalar_block(gad[lab], h, gad[lab]))[0])
    state = np.linalg.eigh(sym.scalar_block(gad[lowest], h, gad[lowest]))[1][:, 0]
    got = {p: 0.0 for p in ("iso", "z", "xy")}
    labels = sym.transition_labels()
    for op in labels:
        for lab in sym.reached(lowest, op):
            if lab in ead:
                amp = state @ sym.transition_block(gad[lowest], comps, ead[lab], op)
                for p in got:
                    got[p] += sym.polarisation_factor(lowest, op, p) * np.sum(amp**2)
    gb, eb = configuration_dets(orb, g.occupations), configuration_dets(orb, e.occupations)
    _assert_full_basis_intensities(got, h, comps, gb, eb)
    if sym.name == "Oh" and n == 1:
        assert "T1U.2" in labels and lowest == "G3/2G" and "G3/2U" in sym.reached("G3/2G", "T1U.2")


def test_crystal_field_one_electron_levels():
    """The d orbitals' energies are the standard ones: eg +6Dq, t2g -4Dq (Oh); b1g 6Dq+2Ds-Dt,
    a1g 6Dq-2Ds-6Dt, b2g -4Dq+2Ds-Dt, eg -4Dq-Ds+4Dt (D4h)."""
    orb = Orbitals.of([("valence", 2)])
    v = orb.shell("valence")
    basis = configuration_dets(orb, (1,))
    dq, ds, dt = 0.13, 0.07, 0.029
    ops = field_operators("D4h", v)
    h = (ops["Dq"] * dq + ops["Ds"] * ds + ops["Dt"] * dt).matrix(basis, basis).toarray()
    want = sorted([6 * dq + 2 * ds - dt, 6 * dq - 2 * ds - 6 * dt, -4 * dq + 2 * ds - dt] * 2
                  + [-4 * dq - ds + 4 * dt] * 4)
    np.testing.assert_allclose(np.linalg.eigvalsh(h), want, atol=1e-12)
    h = (field_operators("Oh", v)["10Dq"] * 1.0).matrix(basis, basis).toarray()
    np.testing.assert_allclose(np.linalg.eigvalsh(h), [-0.4] * 6 + [0.6] * 4, atol=1e-12)


def test_parameter_defaults_of_a_description():
    """An excited crystal field defaults to the ground one; a ligand field exists only when
    asked for; hybridisation per orbital set defaults to V (ground) and to V_excited, else the
    set's ground value, in the core-hole configurations."""
    from morvex7.ion.pointmodel import check_parameters, field_terms, mixing_terms

    orb = Orbitals.of([("core", 1), ("valence", 2), ("ligand", 2)])
    ground = {"10Dq": 1.2, "10Dq_L": 0.3}
    names = {n: v for n, _, v in field_terms("Oh", orb, {"F2vv": 1.0}, ground)}
    assert names == {"10Dq": 1.2, "10Dq_L": 0.3}
    assert {n for n, _, _ in field_terms("D4h", orb, {"Dq": 0.1}, {})} == {"Dq", "Ds", "Dt"}
    ct = {"V": 2.0, "V_t2g": 1.0, "V_t2g_excited": 0.8}
    assert {n: v for n, _, v in mixing_terms("Oh", orb, ct, False)} == {"V_eg": 2.0, "V_t2g": 1.0}
    assert {n: v for n, _, v in mixing_terms("Oh", orb, ct, True)} == {"V_eg": 2.0, "V_t2g": 0.8}
    ct = {"V": 2.0, "V_excited": 1.5}
    assert {n: v for n, _, v in mixing_terms("Oh", orb, ct, True)} == {"V_eg": 1.5, "V_t2g": 1.5}
    with pytest.raises(ValueError, match="10Dq_L"):
        check_parameters("Oh", {"10Dq_L": 1.0}, {"F2vv"}, "ground", ligand=False)
    with pytest.raises(ValueError, match="Ds"):
        check_parameters("Oh", {"Ds": 1.0}, {"F2vv"}, "ground", ligand=True)


def _core_hole_hamiltonian(sym, orb):
    """Valence multiplets, spin-orbit of core and valence, core-valence Coulomb and exchange,
    and a crystal field on the valence shell and (weaker) on the ligand shell."""
    v, c, lig = orb.shell("valence"), orb.shell("core"), orb.shell("ligand")
    h = _hamiltonian(sym, v) + atomic.spin_orbit(c) * 0.7 + atomic.coulomb(c, v, 2, "F") * 0.5
    h = h + atomic.coulomb(c, v, 1, "G") * 0.37 + atomic.coulomb(c, v, 3, "G") * 0.21
    for name, op in field_operators(sym.name, lig).items():
        h = h + op * (0.3 * FIELDS[sym.name][name])
    return h


def _direct_levels(h, orb, occupations):
    basis = configuration_dets(orb, occupations)
    return np.linalg.eigvalsh(h.matrix(basis, basis).toarray())


@pytest.mark.parametrize("symmetry", [OhSymmetry, D4hSymmetry])
@pytest.mark.parametrize("occupations", [(5, 9, 9), (5, 10, 9), (6, 9, 8)])
def test_coupled_shells_hold_every_energy(symmetry, occupations):
    """States coupled shell by shell (core hole, valence, ligand hole; a closed shell between
    two open ones) carry every energy of the configuration, including operators that act on
    one shell, on two, and on a shell above a closed one."""
    sym = symmetry()
    orb = Orbitals.of([("core", 1), ("valence", 2), ("ligand", 2)])
    conf = Configuration("c", orb, occupations)
    h = _core_hole_hamiltonian(sym, orb)
    mults = sym.multiplicities(conf)
    levels = []
    for lab, a in sym.adapt(conf, list(mults)).items():
        assert a.mult == mults[lab][0]
        np.testing.assert_allclose(a.vectors[:, 0, :] @ a.vectors[:, 0, :].T, np.eye(a.mult),
                                   atol=1e-10)
        blk = sym.scalar_block(a, h, a)
        np.testing.assert_allclose(blk, blk.T, atol=1e-12)
        # the block assembled from the shells' blocks equals the one over determinants
        dense = a.vectors[:, 0, :] @ (h.matrix(a.basis, a.basis) @ a.vectors[:, 0, :].T)
        np.testing.assert_allclose(blk, dense, atol=1e-10)
        levels += list(np.linalg.eigvalsh(blk)) * a.dim
    np.testing.assert_allclose(np.sort(levels), _direct_levels(h, orb, occupations), atol=1e-9)


def test_core_hole_mixing_and_transitions_with_a_ligand_hole():
    """p6 d8 L9 -> p5 d9 L9 (+ p5 d10 L8 mixed in by the hybridisation, D4h): the
    transition blocks to the mixed core-hole states give the polarised intensities of the
    lowest ground level as the dipole operator does in the full determinant basis."""
    sym = D4hSymmetry()
    orb = Orbitals.of([("core", 1), ("valence", 2), ("ligand", 2)])
    v, c, lig = orb.shell("valence"), orb.shell("core"), orb.shell("ligand")
    g = Configuration("g", orb, (6, 8, 9))
    es = [Configuration("e1", orb, (5, 9, 9)), Configuration("e2", orb, (5, 10, 8))]
    h = _core_hole_hamiltonian(sym, orb)
    mix = mixing_operators("D4h", v, lig)
    hop = sum((op * (1.0 + 0.3 * k) for k, op in enumerate(mix.values())), Operator())
    comps = {q: atomic.dipole(v, c, q) for q in (-1, 0, 1)}
    gad = sym.adapt(g, list(sym.multiplicities(g)))
    labels = sorted(set(sym.multiplicities(es[0])) | set(sym.multiplicities(es[1])))
    ead = [sym.adapt(e, labels) for e in es]
    lowest = min(gad, key=lambda lab: np.linalg.eigvalsh(sym.scalar_block(gad[lab], h, gad[lab]))[0])
    state = np.linalg.eigh(sym.scalar_block(gad[lowest], h, gad[lowest]))[1][:, 0]
    got = {p: 0.0 for p in ("iso", "z", "xy")}
    elevels = []
    for lab in labels:
        a, b = ead[0][lab], ead[1][lab]
        big = np.block([[sym.scalar_block(a, h, a), sym.scalar_block(a, hop, b)],
                        [sym.scalar_block(b, hop, a), sym.scalar_block(b, h, b) + 2.0 * np.eye(b.mult)]])
        w, u = np.linalg.eigh(big)
        elevels += list(w) * a.dim
        for op in sym.transition_labels():
            if lab in sym.reached(lowest, op) and a.mult:
                amp = state @ sym.transition_block(gad[lowest], comps, a, op) @ u[:a.mult]
                for p in got:
                    got[p] += sym.polarisation_factor(lowest, op, p) * np.sum(amp ** 2)
    gb = configuration_dets(orb, g.occupations)
    eb = type(gb)(np.concatenate([configuration_dets(orb, e.occupations).dets for e in es]))
    n_lig = atomic.number(lig).matrix(eb, eb).diagonal()
    full = (h + hop).matrix(eb, eb).toarray() + 2.0 * np.diag(9 - n_lig)
    np.testing.assert_allclose(np.sort(elevels), np.linalg.eigvalsh(full), atol=1e-9)
    _assert_full_basis_intensities(got, h, comps, gb, eb)
