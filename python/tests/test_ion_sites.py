"""Tetrahedral and trigonal sites and f-shell crystal fields: the Td double group against the
textbook character table, the inversion of d1 and d9 levels between Oh and Td, the trigonal
splitting of t2g, a cubic field on the three-fold axis giving the octahedral spectrum, and f1
levels in Oh and D4h against a direct diagonalisation."""
from __future__ import annotations

import numpy as np
import pytest

from ion_helpers import ground_levels, run_ion
from morvex7.ion.build import make_symmetry
from morvex7.ion.crystalfield import field_matrix
from morvex7.ion.fshellfield import f_field_matrix
from morvex7.ion.model import IonModel
from morvex7.ion.detrotation import ConfigurationAction, Shell
from morvex7.ion.pointgroups import d3d, oh
from morvex7.ion.trigonal import TrigonalSymmetry
from morvex7.ion.rotations import su2_from_axis_angle
from morvex7.ion.spectra import combined_sticks
from morvex7.ion.tetrahedral import TIMES_A2, oh_label

R2 = np.sqrt(2)
# Td* characters (textbook table; Koster's Gamma_1..Gamma_8) on representatives:
# E, E-bar, C3 [111], C2 z, S4 z (C4z then the inversion), sigma_d = I C2 [110]
TD_TABLE = {
    "A1": [1, 1, 1, 1, 1, 1], "A2": [1, 1, 1, 1, -1, -1], "E": [2, 2, -1, 2, 0, 0],
    "T1": [3, 3, 0, -1, 1, -1], "T2": [3, 3, 0, -1, -1, 1],
    "E1/2": [2, -2, 1, 0, R2, 0], "E5/2": [2, -2, 1, 0, -R2, 0], "G3/2": [4, -4, -1, 0, 0, 0],
}


def _td_subgroup(g) -> list[int]:
    """Td* inside Oh*: proper elements of T* (A2 = +1 there) and I R for R of O* outside T*."""
    a2 = g.irreps["A2G"].characters.real
    return [k for k, e in enumerate(g.elements) if (e.parity > 0) == (a2[k] > 0)]


def _classes(g, sub: list[int]) -> int:
    inside = set(sub)
    seen, count = set(), 0
    for a in sub:
        if a not in seen:
            count += 1
            seen |= {int(g.table[g.table[x, a], g.inverse[x]]) for x in sub}
    assert seen == inside
    return count


def test_td_double_group_matches_the_textbook_table():
    g = oh()
    td = _td_subgroup(g)
    assert len(td) == 48 and _classes(g, td) == 8
    assert all(int(g.table[a, b]) in set(td) for a in td for b in td)  # closed
    c3 = su2_from_axis_angle([1, 1, 1], 2 * np.pi / 3)
    c4 = su2_from_axis_angle([0, 0, 1], np.pi / 2)
    reps = [(np.eye(2), 1), (-np.eye(2), 1), (c3, 1), (su2_from_axis_angle([0, 0, 1], np.pi), 1),
            (c4, -1), (su2_from_axis_angle([1, 1, 0], np.pi), -1)]
    assert all(g.index(u, p) in td for u, p in reps)
    for label, want in TD_TABLE.items():
        # the Td irrep is the restriction of XG (even states) and of (X x A2)U (odd states)
        for parity in (1, -1):
            ir = g.irreps[oh_label(label, parity)]
            chars = [np.trace(ir.matrices[g.index(u, p)]) for u, p in reps]
            np.testing.assert_allclose(chars, want, atol=1e-9, err_msg=f"{label} parity {parity}")
        # orthogonality over the whole Td group
        full = np.array([np.trace(ir.matrices[k]) for k in td])
        assert np.vdot(full, full).real == pytest.approx(len(td))
    assert TIMES_A2["T1"] == "T2" and TIMES_A2["E1/2"] == "E5/2"


def _all_ground_levels(model: IonModel) -> list[float]:
    """Every ground level, once per state (each level of a d-dimensional irrep d times)."""
    dims = make_symmetry(model.symmetry, model.field).multiplicities(model.configurations()[0][0])
    return [e for lab, es in ground_levels(model).items() for e in es for _ in range(dims[lab][1])]


def _levels(model: IonModel) -> dict[str, list[float]]:
    """{label: [lowest ground level]} of every ground symmetry."""
    return {lab: [round(float(es[0]), 9)] for lab, es in ground_levels(model).items()}


@pytest.mark.parametrize("n", [1, 9])
def test_td_d1_and_d9_levels_invert_with_respect_to_oh(n):
    """No spin–orbit coupling: a d1 ion in a tetrahedron has e lowest (-0.6 x 10Dq, G3/2 =
    E x E1/2) and t2 above (+0.4: E5/2 + G3/2), the order of d9 in an octahedron, and the other
    way round; an octahedron with -10Dq is the tetrahedron."""
    def model(symmetry, electrons, dq=1.0):
        return IonModel(valence="3d", electrons=electrons, core="2p", symmetry=symmetry,
                        ground={"10Dq": dq}, excited={"zeta_c": 5.0}, all_ground=True)

    def strip(levels):  # Oh labels without their parity
        return {k[:-1]: v for k, v in levels.items()}

    td = _levels(model("Td", n))
    assert td == ({"G3/2": [-0.6], "E5/2": [0.4]} if n == 1 else {"G3/2": [-0.4], "E5/2": [-0.4]})
    assert td == strip(_levels(model("Oh", 10 - n)))
    assert td == strip(_levels(model("Oh", n, -1.0)))


def test_trigonal_distortion_splits_t2g_into_a1g_and_e():
    """d1 on a trigonal site: with Dsigma = Dtau = 0 the cubic levels -4Dq (t2g) and 6Dq (eg);
    the distortion leaves a1g alone at -4Dq - 2Dsigma - 6Dtau and moves the two e levels, whose
    sum is fixed by the trace: e(pi) + e(sigma) = 2Dq + Dsigma + 3Dtau."""
    dq, ds, dt = 0.1, 0.05, 0.01
    m = field_matrix("D3d", "10Dq") * 10 * dq
    assert sorted(np.round(np.linalg.eigvalsh(m), 12)) == [-0.4, -0.4, -0.4, 0.6, 0.6]
    levels = np.linalg.eigvalsh(m + ds * field_matrix("D3d", "Dsigma") + dt * field_matrix("D3d", "Dtau"))
    a1g = -4 * dq - 2 * ds - 6 * dt
    assert np.min(np.abs(levels - a1g)) < 1e-12
    e = np.delete(levels, np.argmin(np.abs(levels - a1g)))
    assert np.allclose(e[0], e[1]) and np.allclose(e[2], e[3])  # two doublets
    assert e[0] + e[2] == pytest.approx(2 * dq + ds + 3 * dt)
    assert e[0] != pytest.approx(-4 * dq)  # t2g is split
    # the builder, through the D3d adaptation, finds the same one-electron levels
    model = IonModel(valence="3d", electrons=1, core="2p", symmetry="D3d",
                     ground={"10Dq": 10 * dq, "Dsigma": ds, "Dtau": dt}, excited={"zeta_c": 5.0},
                     all_ground=True, window=3.0)
    np.testing.assert_allclose(sorted(_all_ground_levels(model)), sorted(np.repeat(levels, 2)),
                               atol=1e-10)
    # with the spin: a1g x E1/2 = E1/2G, e x E1/2 = E1/2G + E3/2G (E3/2G's DIM is 1: its
    # Kramers doublets show as two states)
    by_label = ground_levels(model)
    assert set(by_label) == {"E1/2G", "E3/2G"}
    np.testing.assert_allclose(by_label["E1/2G"], [min(a1g, e[0]), max(a1g, e[0]), e[2]], atol=1e-10)
    np.testing.assert_allclose(by_label["E3/2G"], [e[0], e[0], e[2], e[2]], atol=1e-10)


@pytest.mark.parametrize("electrons", [1, 2])
def test_trigonal_states_transform_by_the_d3d_irreps(electrons):
    """The builder's D3d states of d^n (even) and 2p5 d^(n+1) (odd), rotated by every element of
    D3d* on the determinants: row 1 and row 2 (C2y row 1) of each copy go into each other by the
    irrep's own matrices; E3/2's states span an invariant space of E3/2's character; the labels
    account for every determinant. The generators suffice (C3z, C2y, the inversion, E-bar)."""
    g = d3d()
    gens = [g.index(su2_from_axis_angle([0, 0, 1], 2 * np.pi / 3), 1),
            g.index(su2_from_axis_angle([0, 1, 0], np.pi), 1), g.index(np.eye(2), -1),
            g.index(-np.eye(2), 1)]
    sym = TrigonalSymmetry("D3d")
    model = IonModel(valence="3d", electrons=electrons, core="2p", symmetry="D3d",
                     ground={"10Dq": 1.0}, excited={"zeta_c": 1.0})
    for conf in [model.configurations()[0][0], model.configurations()[1][0]]:
        act = ConfigurationAction(g, [Shell(1, conf.occupations[0]), Shell(2, conf.occupations[1], 6)])
        pos = {int(m): i for i, m in enumerate(act.masks())}
        mults = sym.multiplicities(conf)
        assert sum(m * d for m, d in mults.values()) == act.dimension
        for label, st in sym.adapt(conf, list(mults)).items():
            ir = g.irreps[label]
            rows = []
            for k in range(min(ir.dim, st.dim)):
                basis, vec = st.row(k)
                x = np.zeros((act.dimension, st.mult))
                x[[pos[int(d)] for d in basis.dets]] = vec.T
                rows.append(x)
            for e in gens:
                if label.startswith("E3/2"):
                    y = act(e, rows[0])
                    np.testing.assert_allclose(rows[0] @ (rows[0].T @ y), y, atol=1e-10)  # invariant
                    assert np.trace(rows[0].T @ y) == pytest.approx(st.mult / 2 * ir.characters[e])
                    continue
                want = sum(ir.matrices[e][s, 0] * rows[s] for s in range(ir.dim))
                np.testing.assert_allclose(act(e, rows[0]), want, atol=1e-10, err_msg=f"{label} {e}")


def test_cubic_field_on_the_three_fold_axis_gives_the_octahedral_spectrum(tmp_path, engine):
    """Ni2+ with 10Dq written in the trigonal frame (Dsigma = Dtau = 0): the isotropic spectrum
    and the ground energy are those of the Oh model."""
    base = dict(valence="3d", electrons=8, core="2p",
                ground={"F2vv": 9.76, "F4vv": 6.08, "zeta_v": 0.08, "10Dq": 1.2},
                excited={"F2vv": 10.3, "F4vv": 6.4, "zeta_v": 0.1, "zeta_c": 11.5, "F2cv": 6.16,
                         "G1cv": 4.64, "G3cv": 2.64})
    _, run_o = run_ion(IonModel(symmetry="Oh", **base), tmp_path / "oh", engine)
    _, run_t = run_ion(IonModel(symmetry="D3d", **base), tmp_path / "d3d", engine)
    grid = np.linspace(-8, 20, 561)

    def curve(run, pol):
        s = combined_sticks(run, polarisation=pol)
        return (s.intensity[None, :] * 0.05 / np.pi
                / ((grid[:, None] - s.energy[None, :]) ** 2 + 0.0025)).sum(axis=1)

    iso = curve(run_o, "iso")
    for pol in ("iso", "z", "xy"):
        np.testing.assert_allclose(curve(run_t, pol), iso, atol=1e-4 * iso.max())


# ----------------------------------------------------------------------------- f shells


def _rotation(l: int, axis, angle) -> np.ndarray:
    from morvex7.ion.rotations import wigner_d
    return wigner_d(l, su2_from_axis_angle(axis, angle))[::-1, ::-1]  # ascending m


@pytest.mark.parametrize("group, names, rotations", [
    ("Oh", ("B40", "B60"), [([0, 0, 1], np.pi / 2), ([1, 1, 1], 2 * np.pi / 3)]),
    ("D4h", ("B20", "B40", "B44", "B60", "B64"), [([0, 0, 1], np.pi / 2), ([1, 0, 0], np.pi)]),
])
def test_f_shell_fields_have_the_group_symmetry(group, names, rotations):
    for name in names:
        m = f_field_matrix(group, name)
        assert np.trace(m) == pytest.approx(0.0, abs=1e-12)
        for axis, angle in rotations:
            d = _rotation(3, axis, angle)
            np.testing.assert_allclose(d @ m @ d.conj().T, m, atol=1e-12)
    # the cubic combination is the D4h field with B44 = sqrt(5/14) B40, B64 = -sqrt(7/2) B60
    np.testing.assert_allclose(f_field_matrix("Oh", "B40"), f_field_matrix("D4h", "B40")
                               + np.sqrt(5 / 14) * f_field_matrix("D4h", "B44"), atol=1e-14)


@pytest.mark.parametrize("group, field", [("Oh", {"B40": 0.1, "B60": 0.02}),
                                          ("D4h", {"B20": 0.05, "B40": 0.1, "B44": 0.06, "B64": 0.01})])
def test_f1_levels_equal_a_direct_diagonalisation(group, field):
    """4f1 in a crystal field: every level (with its degeneracy) the builder finds through the
    double-group adaptation equals the eigenvalues of zeta l.s + V over the 14 spin-orbitals."""
    zeta = 0.087
    model = IonModel(valence="4f", electrons=1, core="3d", symmetry=group,
                     ground=dict(field, zeta_v=zeta), excited={"zeta_c": 7.4}, all_ground=True,
                     window=2.0)
    got = sorted(_all_ground_levels(model))
    m = np.arange(-3, 4)
    lp = np.diag(np.sqrt(12 - m[:-1] * (m[:-1] + 1)), -1)
    ls = np.kron(np.diag(m), np.diag([0.5, -0.5])) + 0.5 * (np.kron(lp, [[0, 0], [1, 0]])
                                                          + np.kron(lp.T, [[0, 1], [0, 0]]))
    v = sum(val * f_field_matrix(group, name) for name, val in field.items())
    want = np.linalg.eigvalsh(zeta * ls + np.kron(v, np.eye(2)))
    np.testing.assert_allclose(got, want, atol=1e-9)


@pytest.mark.parametrize("symmetry, electrons, ct", [
    ("D3d", 2, None), ("C3v", 3, None),
    ("D3d", 8, {"Delta": 4.0, "U": 7.0, "Q": 8.0, "V_a1g": 1.9, "V_epi": 1.6, "V_esigma": 2.4}),
], ids=["d2-D3d", "d3-C3v", "d8-D3d-charge-transfer"])
def test_trigonal_spectra_equal_those_of_the_jz_classes(tmp_path, engine, symmetry, electrons, ct):
    """A distorted trigonal site, built once on the D3d states (A1/A2 by C2y, two-row E and
    E1/2, E3/2 with the reduced elements scaled by the count of their row combinations) and once
    on the bare classes of Jz (a field of 0 T: every determinant its own row, no group theory):
    the same isotropic, z and xy spectra at 0 K and at 300 K. With charge transfer the blocks of
    the three configuration pairs add coherently, so their relative signs are checked too."""
    ground = {"F2vv": 9.0, "F4vv": 5.6, "zeta_v": 0.035, "10Dq": 2.0, "Dsigma": 0.06, "Dtau": 0.02}
    excited = {"F2vv": 9.6, "F4vv": 6.0, "zeta_v": 0.045, "zeta_c": 5.7, "F2cv": 5.1,
               "G1cv": 3.7, "G3cv": 2.1}
    plain = IonModel(valence="3d", electrons=electrons, core="2p", symmetry=symmetry,
                     ground=ground, excited=excited, window=0.1, charge_transfer=ct)
    field = IonModel(valence="3d", electrons=electrons, core="2p", symmetry=symmetry,
                     ground=dict(ground, B=0.0), excited=excited, window=0.1, charge_transfer=ct)
    built, run_p = run_ion(plain, tmp_path / "plain", engine)
    _, run_f = run_ion(field, tmp_path / "field", engine)
    labels = {t.ground for t in built.triads} | {t.excited for t in built.triads}
    assert labels & ({"E1/2", "E3/2"} if electrons % 2 else {"A1G", "A2G", "EG", "EU"})
    grid = np.linspace(-10, 20, 601)

    def curve(run, pol, temperature):
        s = combined_sticks(run, polarisation=pol, temperature=temperature)
        return (s.intensity[None, :] * 0.1 / np.pi
                / ((grid[:, None] - s.energy[None, :]) ** 2 + 0.01)).sum(axis=1)

    for temperature in (0.0, 300.0):
        for pol in ("iso", "z", "xy"):
            want = curve(run_f, pol, temperature)
            np.testing.assert_allclose(curve(run_p, pol, temperature), want, atol=2e-4 * want.max(),
                                       err_msg=f"{pol} {temperature} K")
    z, xy = curve(run_p, "z", 0.0), curve(run_p, "xy", 0.0)
    assert np.abs(z - xy).max() > 0.02 * z.max()  # the distortion makes the site dichroic


def test_f_shell_charge_transfer_in_a_crystal_field_is_refused_with_its_size():
    """Ce3+ 4f1 with a ligand shell in Oh: refused, naming the largest configuration,
    3d9 4f4 L2, and its 10 x C(14, 4) x C(14, 12) = 10 x 1001 x 91 determinants."""
    with pytest.raises(ValueError, match=r"3d9 4f4 L2, has 910910 determinants.*O3"):
        IonModel(valence="4f", electrons=1, core="3d", symmetry="Oh", ground={"B40": 0.01},
                 excited={"zeta_c": 7.4}, charge_transfer={"Delta": 2.0, "V": 0.3})
    IonModel(valence="4f", electrons=1, core="3d", symmetry="O3", excited={"zeta_c": 7.4},
             charge_transfer={"Delta": 2.0, "V": 0.3})  # spherical symmetry takes it
