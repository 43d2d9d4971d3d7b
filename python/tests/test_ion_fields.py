"""Ions in a magnetic or exchange field along z, checked against physics the builder does not
define: Landé g factors, the XMCD sum rules with ground-state moments from a diagonalisation
made here over all determinants, the sign change of XMCD with the field, and the zero field."""
from __future__ import annotations

import numpy as np
import pytest

from ion_helpers import ground_levels, plain_matrix, plain_side, run_ion
from morvex7.ion import atomic
from morvex7.ion.blocks import make_sides
from morvex7.ion.crystalfield import field_operators
from morvex7.ion.determinants import DeterminantBasis, configuration_dets, one_body, two_m_of
from morvex7.ion.fields import MU_B, exchange, zeeman
from morvex7.ion.fieldsymmetry import SUBGROUP_AXIS, FieldSymmetry, field_label, parse_field_label, residue
from morvex7.ion.model import IonModel
from morvex7.ion.spectra import combined_sticks

NI_GROUND = {"F2vv": 9.76, "F4vv": 6.08, "zeta_v": 0.08, "10Dq": 1.2}
_CT = {"Delta": 3.0, "U": 6.0, "Q": 7.0, "V": 2.0}
NI_EXCITED = {"F2vv": 10.3, "F4vv": 6.4, "zeta_v": 0.1, "zeta_c": 11.5, "F2cv": 6.16,
              "G1cv": 4.64, "G3cv": 2.64}


def _ground_levels(model: IonModel) -> np.ndarray:
    """Every ground energy the builder finds (all symmetries, one-dimensional), sorted."""
    return np.sort(np.concatenate(list(ground_levels(model).values())))


def test_labels_name_the_class_of_jz():
    assert [residue(t, 4) for t in (-4, -3, -2, -1, 0, 1, 2, 3, 4, 5, 7)] == [4, -3, -2, -1, 0, 1, 2, 3, 4, -3, -1]
    assert field_label(-5, -1, "C4h") == "1E3/2U" and field_label(-4, 1, "C4h") == "BG"
    assert field_label(-4, 1, "C3i") == "1EG" and field_label(-9, -1, "Cinfh") == "JZ-9/2U"
    assert field_label(3, -1, "C3") == "A3/2" and field_label(0, -1, "S4") == "B"
    assert parse_field_label("2E3/2U", "C4h", -1) == -3 and parse_field_label("JZ-7/2G", "Cinfh", 1) == -7
    with pytest.raises(ValueError, match="not a label of C4h"):
        parse_field_label("2E3/2U", "C4h", 1)
    sym = FieldSymmetry("Oh")
    assert sym.reached("BG", "D1") == ["2EU"] and sym.reached("1E1/2G", "D-1") == ["2E1/2U"]
    # an abelian group has as many irreps as elements: C4* (8) and C3* (6), times the parity
    for sub, order in (("C4h", 16), ("C3i", 12), ("C3", 6), ("S4", 8)):
        labels = {field_label(t, p, sub) for t in range(-15, 16) for p in (1, -1)}
        assert len(labels) == order
        for t in range(-15, 16):
            for p in (1, -1):  # each label names one class of Jz for each parity
                back = parse_field_label(field_label(t, p, sub), sub, p)
                assert residue(back, SUBGROUP_AXIS[sub][0]) == residue(t, SUBGROUP_AXIS[sub][0])


@pytest.mark.parametrize("parent", ["O3", "Oh", "D4h"])
def test_every_operator_keeps_the_jz_class(parent):
    """No operator of the model couples determinants of different classes of M modulo n:
    the blocks the builder keeps are the whole operator."""
    field = {"O3": {}, "Oh": {"10Dq": 1.0}, "D4h": {"Dq": 0.1, "Ds": 0.1, "Dt": 0.05}}[parent]
    orb = IonModel(valence="3d", electrons=2, core="2p").orbitals()
    v = orb.shell("valence")
    basis = configuration_dets(orb, (6, 2))
    n = FieldSymmetry(parent).n
    cls = np.array([residue(int(t), n) for t in two_m_of(orb, basis.dets)])
    ops = [atomic.coulomb(v, v, 2), atomic.spin_orbit(v), zeeman(orb), exchange(orb)]
    if parent != "O3":
        ops += list(field_operators(parent, v).values())
    for op in ops:
        m = op.matrix(basis, basis).tocoo()
        assert np.all(cls[m.row] == cls[m.col])


def test_spin_only_level_has_g_2():
    """Ni2+ in Oh without spin–orbit coupling: the 3A2g level splits into M_S = -1, 0, 1 at
    g mu_B B M_S with g = 2 exactly."""
    b = 3.0
    model = IonModel(valence="3d", electrons=8, core="2p", symmetry="Oh",
                     ground={"F2vv": 9.76, "F4vv": 6.08, "10Dq": 1.2, "B": b}, window=0.01)
    e = _ground_levels(model)
    np.testing.assert_allclose(np.diff(e[:3]), 2 * MU_B * b, rtol=1e-9)
    assert e[3] - e[2] > 0.5  # the next term is far away


def test_free_ion_level_has_lande_g():
    """A free 3d1 ion: 2D3/2 splits into its four M at g_J mu_B B M with g_J = 4/5."""
    b = 0.1
    model = IonModel(valence="3d", electrons=1, core="2p", ground={"zeta_v": 0.1, "B": b},
                     window=0.01)
    e = _ground_levels(model)
    np.testing.assert_allclose(np.diff(e[:4]), 0.8 * MU_B * b, rtol=1e-5)
    assert e[4] - e[3] > 0.2  # 2D5/2


def test_exchange_field_splits_a_spin_by_h_ex():
    model = IonModel(valence="3d", electrons=9, core="2p", symmetry="Oh",
                     ground={"10Dq": 1.0, "H_ex": 0.02}, window=0.1)
    e = _ground_levels(model)  # 2Eg without spin–orbit: two orbitals times two spins
    np.testing.assert_allclose(e[:4] - e[0], [0, 0, 0.02, 0.02], atol=1e-12)


# ----------------------------------------------------------------------------- spectra


def _totals(run, temperature: float = 0.0, split: float | None = None) -> dict[str, tuple]:
    """Integrated intensity per polarisation: (total, below split, above split)."""
    out = {}
    for pol in ("iso", "sigma+", "sigma-", "z", "xy"):
        s = combined_sticks(run, polarisation=pol, temperature=temperature)
        cut = np.inf if split is None else s.energy.min() + split
        out[pol] = (s.intensity.sum(), s.intensity[s.energy < cut].sum(),
                    s.intensity[s.energy >= cut].sum())
    return out


def _direct_ground(model: IonModel) -> tuple[np.ndarray, list]:
    """The ground state of ``model`` (no charge transfer) from the full Hamiltonian over every
    determinant of the ground configuration, made here; and the orbitals' shells."""
    orb = model.orbitals()
    v = orb.shell("valence")
    basis = configuration_dets(orb, (2 * (2 * model.lc + 1), model.electrons))
    p = model.ground
    terms = [(atomic.coulomb(v, v, k), p.get(f"F{k}vv", 0.0)) for k in model.fk_vv()]
    terms += [(atomic.spin_orbit(v), p.get("zeta_v", 0.0)), (zeeman(orb), p.get("B", 0.0)),
              (exchange(orb), p.get("H_ex", 0.0))]
    if model.symmetry != "O3":
        terms += [(op, p.get(name, 0.0)) for name, op in field_operators(model.symmetry, v).items()]
    h = sum(val * op.matrix(basis, basis).toarray() for op, val in terms)
    w, vec = np.linalg.eigh(h)
    assert w[1] - w[0] > 1e-5  # a single ground state
    return vec[:, 0], basis


def _one_electron_expectation(state, basis, shell, matrix) -> float:
    """<state| sum_i matrix(m s, m' s') |state> over the electrons of ``shell``; ``matrix`` is
    indexed by (m + l) * 2 + (0 up, 1 down)."""
    pairs = []
    for i, m1, up1 in shell.orbitals():
        for j, m2, up2 in shell.orbitals():
            x = matrix[2 * (m1 + shell.l) + (0 if up1 else 1), 2 * (m2 + shell.l) + (0 if up2 else 1)]
            if x != 0:
                pairs.append((i, j, float(x)))
    op = one_body(pairs).matrix(basis, basis)
    return float(state @ (op @ state))


def _lz_sz_tz(l: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """One-electron Lz, Sz and the magnetic-dipole operator Tz = -3 sum_j Q_zj s_j within an l
    shell, Q_ij = -(2 / ((2l-1)(2l+3))) ((l_i l_j + l_j l_i)/2 - delta_ij l(l+1)/3)."""
    m = np.arange(-l, l + 1)
    lz = np.diag(m).astype(float)
    lp = np.diag(np.sqrt(l * (l + 1) - m[:-1] * (m[:-1] + 1)), -1)  # <m+1|l+|m>
    lx, ly = (lp + lp.T) / 2, (lp - lp.T) / 2j
    sz = np.diag([0.5, -0.5])
    sp_ = np.array([[0, 1], [0, 0]])
    sx, sy = (sp_ + sp_.T) / 2, (sp_ - sp_.T) / 2j
    ls = [lx, ly, lz]
    ss = [sx, sy, sz]
    pre = -2 / ((2 * l - 1) * (2 * l + 3))
    tz = np.zeros((2 * (2 * l + 1),) * 2, dtype=complex)
    for j in range(3):
        q = pre * ((ls[2] @ ls[j] + ls[j] @ ls[2]) / 2 - (l * (l + 1) / 3 if j == 2 else 0) * np.eye(2 * l + 1))
        tz += -3 * np.kron(q, ss[j])
    return np.kron(lz, np.eye(2)), np.kron(np.eye(2 * l + 1), sz), tz


@pytest.mark.parametrize("model", [
    IonModel(valence="3d", electrons=1, core="2p", ground={"zeta_v": 0.05, "B": 10.0},
             excited={"zeta_v": 0.05, "zeta_c": 9.0}),
    IonModel(valence="3d", electrons=8, core="2p", symmetry="Oh", ground=dict(NI_GROUND, B=20.0),
             excited={"F2vv": 10.3, "F4vv": 6.4, "zeta_v": 0.1, "zeta_c": 11.5}),
    IonModel(valence="3d", electrons=8, core="2p", symmetry="Td", ground=dict(NI_GROUND, B=20.0),
             excited={"F2vv": 10.3, "F4vv": 6.4, "zeta_v": 0.1, "zeta_c": 11.5}),
    IonModel(valence="3d", electrons=7, core="2p", symmetry="D3d",
             ground=dict(NI_GROUND, Dsigma=0.05, Dtau=0.01, B=20.0),
             excited={"F2vv": 10.3, "F4vv": 6.4, "zeta_v": 0.1, "zeta_c": 11.5}),
], ids=["d1-O3", "d8-Oh", "d8-Td", "d7-D3d"])
def test_xmcd_sum_rules_hold(tmp_path, engine, model):
    """Without core–valence Coulomb interaction and with a large core spin–orbit splitting:
    int(sigma+ - sigma-) / int(sigma+ + sigma- + z) = -<Lz> / (2 n_h) (orbital rule, light of
    helicity +1 about +z as sigma+, <Lz> of the valence electrons), and
    (dI(L3) - 2 dI(L2)) / I = -(2 <Sz> + 7 <Tz>) / (3 n_h) (spin rule)."""
    _, run = run_ion(model, tmp_path, engine)
    t = _totals(run, split=0.75 * model.excited["zeta_c"])
    total = t["sigma+"][0] + t["sigma-"][0] + t["z"][0]
    d3 = t["sigma+"][1] - t["sigma-"][1]
    d2 = t["sigma+"][2] - t["sigma-"][2]
    state, basis = _direct_ground(model)
    v = model.orbitals().shell("valence")
    lz, sz, tz = _lz_sz_tz(2)
    exp_l, exp_s = (_one_electron_expectation(state, basis, v, x) for x in (lz, sz))
    exp_t = _one_electron_expectation(state, basis, v, tz.real)
    nh = 10 - model.electrons
    assert (d3 + d2) / total == pytest.approx(-exp_l / (2 * nh), abs=2e-5)
    assert (d3 - 2 * d2) / total == pytest.approx(-(2 * exp_s + 7 * exp_t) / (3 * nh), abs=2e-5)
    # the isotropic spectrum is the average of the three polarisations, xy that of sigma+-
    assert t["iso"][0] == pytest.approx(total / 3, rel=1e-5)
    assert t["xy"][0] == pytest.approx((t["sigma+"][0] + t["sigma-"][0]) / 2, rel=1e-5)


def test_xmcd_sum_rules_hold_with_charge_transfer(tmp_path, engine):
    """The sum rules with charge transfer (Ni2+ d8 + d9L + d10L2 in Oh, 20 T): the dipole
    touches the core and the valence shell alone, so the rules hold with <Lz>, <Sz>, <Tz> and
    the hole count n_h = 10 - <n_d> of the valence shell in the hybridised ground state, here
    from the ground side written out over all its 190 determinants."""
    model = IonModel(valence="3d", electrons=8, core="2p", symmetry="Oh",
                     ground=dict(NI_GROUND, B=20.0), charge_transfer=dict(_CT),
                     excited={"F2vv": 10.3, "F4vv": 6.4, "zeta_v": 0.1, "zeta_c": 14.0})
    _, run = run_ion(model, tmp_path, engine)
    t = _totals(run, split=0.75 * model.excited["zeta_c"])
    total = t["sigma+"][0] + t["sigma-"][0] + t["z"][0]
    d3 = t["sigma+"][1] - t["sigma-"][1]
    d2 = t["sigma+"][2] - t["sigma-"][2]
    dets, h = plain_side(make_sides(model)[0])
    w, vec = np.linalg.eigh(h)
    assert w[1] - w[0] > 1e-3  # a single ground state: 2 mu_B B = 2.3 meV below the next
    v = model.orbitals().shell("valence")
    every = np.concatenate(dets)
    order = np.argsort(every)  # a determinant basis is sorted
    state, basis = vec[order, 0], DeterminantBasis(every[order])
    lz, sz, tz = _lz_sz_tz(2)
    exp_l, exp_s, exp_t, n_d = (_one_electron_expectation(state, basis, v, x)
                                for x in (lz, sz, tz.real, np.eye(10)))
    nh = 10 - n_d
    assert 0.1 < 2 - nh < 0.5  # the hybridisation moves a real share of an electron into 3d
    assert (d3 + d2) / total == pytest.approx(-exp_l / (2 * nh), abs=2e-5)
    assert (d3 - 2 * d2) / total == pytest.approx(-(2 * exp_s + 7 * exp_t) / (3 * nh), abs=2e-5)
    assert abs(d3 + d2) > 1e-3 * total and abs(d3 - 2 * d2) > 0.1 * total


def test_d1_free_ion_orbital_moment_closed_form(tmp_path, engine):
    """3d1 in a field: the 2D3/2, M = -3/2 ground state has <Lz> = -9/5, so the orbital rule
    gives an XMCD ratio of 9/5 / 18 = 1/10 (the field mixes in 2D5/2 by mu_B B / (5 zeta / 2),
    here 2e-4)."""
    model = IonModel(valence="3d", electrons=1, core="2p", ground={"zeta_v": 1.0, "B": 10.0},
                     excited={"zeta_v": 1.0, "zeta_c": 9.0, "F2cv": 5.0, "G1cv": 3.7, "G3cv": 2.1})
    _, run = run_ion(model, tmp_path, engine)
    t = _totals(run)
    ratio = (t["sigma+"][0] - t["sigma-"][0]) / (t["sigma+"][0] + t["sigma-"][0] + t["z"][0])
    assert ratio == pytest.approx(0.1, abs=2e-5)


def _curve(run, pol: str, temperature: float, grid: np.ndarray, model=None) -> np.ndarray:
    s = combined_sticks(run, model, polarisation=pol, temperature=temperature)
    w = 0.3
    return (s.intensity[None, :] * (w / 2 / np.pi)
            / ((grid[:, None] - s.energy[None, :]) ** 2 + (w / 2) ** 2)).sum(axis=1)


def test_xmcd_changes_sign_with_the_field(tmp_path, engine):
    """B = +5 T built, then B = -5 T set by its physical name in a run of the same files (the
    field is one factor of the command file): the XMCD at 10 K changes sign."""
    import morvex7
    from morvex7.ion.spectra import read_model_json

    grid = np.linspace(-5, 25, 601)
    model = IonModel(valence="3d", electrons=8, core="2p", symmetry="Oh",
                     ground=dict(NI_GROUND, B=5.0), excited=dict(NI_EXCITED), window=0.01)
    _, plus = run_ion(model, tmp_path / "plus", engine)
    minus = morvex7.run(tmp_path / "plus", {"B": -5.0}, tmp_path / "minus", engine=engine)
    mj = read_model_json(tmp_path / "plus")
    curves = [_curve(r, "sigma+", 10.0, grid, mj) - _curve(r, "sigma-", 10.0, grid, mj)
              for r in (plus, minus)]
    big = np.abs(curves[0]).max()
    assert big > 1e-3
    np.testing.assert_allclose(curves[1], -curves[0], atol=2e-4 * big)  # 4-byte reals


def _direct_iso_curve(model: IonModel, grid: np.ndarray) -> np.ndarray:
    """The isotropic spectrum at 0 K (the degenerate ground states averaged) of ``model`` with
    both sides written out over all their determinants and diagonalised here, in 8-byte reals,
    broadened as :func:`_curve`."""
    ground, excited = make_sides(model)
    gdets, hg = plain_side(ground)
    edets, he = plain_side(excited)
    wg, vg = np.linalg.eigh(hg)
    we, ve = np.linalg.eigh(he)
    low = np.flatnonzero(wg - wg[0] < 1e-6)
    every = np.concatenate(gdets + edets)
    orb = model.orbitals()
    out = np.zeros(len(grid))
    for q in (-1, 0, 1):
        d = plain_matrix(atomic.dipole(orb.shell("valence"), orb.shell("core"), q), every)
        amp = ve.T @ d[len(hg):, :len(hg)] @ vg[:, low]
        intensity = (amp ** 2).sum(axis=1) / (3 * len(low))
        w = 0.3
        out += (intensity[None, :] * (w / 2 / np.pi)
                / ((grid[:, None] - (we - wg[0])[None, :]) ** 2 + (w / 2) ** 2)).sum(axis=1)
    return out


@pytest.mark.parametrize("ct", [None, _CT], ids=["ion", "charge-transfer"])
def test_zero_field_gives_the_spectra_without_the_field(tmp_path, engine, ct):
    """B = 0 (and H_ex = 0) in the field subgroup: the same isotropic and linear spectra as the
    Oh model without the field operators (whose states are coupled shell by shell, and with
    charge transfer its hybridisation taken from the shells' factors), at 0 K and at 300 K;
    no circular dichroism. With charge transfer both also equal the spectrum of every
    determinant diagonalised here.

    Tolerances are the engine's 4-byte reals: with charge transfer each model is within 3e-5
    of the maximum of the 8-byte one at 0 K; at 300 K the rounding of the three degenerate
    ground states' energies shifts their populations, and each of them has a different
    circular spectrum (measured: 1e-4 of the maximum in sigma+)."""
    grid = np.linspace(-5, 25, 601)
    plain = IonModel(valence="3d", electrons=8, core="2p", symmetry="Oh", ground=dict(NI_GROUND),
                     excited=dict(NI_EXCITED), window=0.2, charge_transfer=ct)
    field = IonModel(valence="3d", electrons=8, core="2p", symmetry="Oh",
                     ground=dict(NI_GROUND, B=0.0, H_ex=0.0), excited=dict(NI_EXCITED), window=0.2,
                     charge_transfer=ct)
    _, run_p = run_ion(plain, tmp_path / "plain", engine)
    _, run_f = run_ion(field, tmp_path / "field", engine)
    tol = 1e-4 if ct is None else 3e-4
    for temperature in (0.0, 300.0):
        iso = _curve(run_p, "iso", temperature, grid)
        scale = iso.max()
        for pol in ("iso", "z", "xy", "sigma+", "sigma-"):
            np.testing.assert_allclose(_curve(run_f, pol, temperature, grid), iso, atol=tol * scale)
    if ct is not None:
        direct = _direct_iso_curve(field, grid)
        for run in (run_p, run_f):
            np.testing.assert_allclose(_curve(run, "iso", 0.0, grid), direct, atol=1e-4 * direct.max())


def test_spectra_command_line_xmcd(tmp_path, engine, capsys):
    from morvex7.cli_spectra import main
    from morvex7.export import read_csv

    common = dict(valence="3d", electrons=9, core="2p", symmetry="Oh",
                  excited={"zeta_c": 9.0, "F2cv": 5.0, "G1cv": 3.7, "G3cv": 2.1})
    run_ion(IonModel(ground={"10Dq": 1.0, "zeta_v": 0.1, "B": 10.0}, **common), tmp_path / "b", engine)
    assert main(["csv", str(tmp_path / "b"), "--xmcd", "--temperature", "5", "--out", str(tmp_path / "c")]) == 0
    table = read_csv(tmp_path / "c" / "xmcd.csv")
    assert "XMCD = sigma+ - sigma-" in table.header["convention"]
    assert list(table.columns) == ["energy", "sigma+", "sigma-", "xmcd"]
    np.testing.assert_allclose(table["xmcd"], table["sigma+"] - table["sigma-"], atol=1e-12)
    assert np.abs(table["xmcd"]).max() > 0.01 * table["sigma+"].max()
    assert main(["plot", str(tmp_path / "b"), "--xmcd", "--out", str(tmp_path / "x.svg")]) == 0
    assert (tmp_path / "x.svg").stat().st_size > 0
    run_ion(IonModel(ground={"10Dq": 1.0}, **common), tmp_path / "plain", engine)
    capsys.readouterr()
    assert main(["plot", str(tmp_path / "plain"), "--xmcd"]) == 1
    assert "no 'sigma+' spectrum" in capsys.readouterr().err
