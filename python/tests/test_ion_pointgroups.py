"""The double groups O_h*, D_4h*, D_3d*, C_3v* and the subgroups a field along z keeps: group
axioms, irreps against textbook character tables, branching rules, coupling coefficients and the
action on Slater determinants."""
from __future__ import annotations

import numpy as np
import pytest

from morvex7.ion.detrotation import ConfigurationAction, Shell
from morvex7.ion.groupcoupling import (
    coupling_coefficients,
    matrix_action,
    partners,
    reduced_elements,
    row_one_space,
)
from morvex7.ion.fieldsymmetry import SUBGROUPS, FieldSymmetry
from morvex7.ion.model import IonModel
from morvex7.ion.pointgroups import axial_group, d3d, d4h, oh
from morvex7.ion.trigonal import C3V_LABEL
from morvex7.ion.rotations import angular_momentum, so3_from_su2, su2_from_axis_angle

R2 = np.sqrt(2)

# Textbook characters (Bethe/Koster tables) on a proper element given by axis and angle; the
# unbarred lift is exp(-i angle/2 n.sigma).
OH_TABLE = {
    # label:   C4z     C3(111)  C2z  C2(110)
    "A1": (1, 1, 1, 1),
    "A2": (-1, 1, 1, -1),
    "E": (0, -1, 2, 0),
    "T1": (1, 0, -1, -1),
    "T2": (-1, 0, -1, 1),
    "E1/2": (R2, 1, 0, 0),
    "E5/2": (-R2, 1, 0, 0),
    "G3/2": (0, -1, 0, 0),
}
OH_AXES = [([0, 0, 1], np.pi / 2), ([1, 1, 1], 2 * np.pi / 3), ([0, 0, 1], np.pi), ([1, 1, 0], np.pi)]
D4H_TABLE = {
    # label:   C4z   C2z  C2x  C2(110)
    "A1": (1, 1, 1, 1),
    "A2": (1, 1, -1, -1),
    "B1": (-1, 1, 1, -1),
    "B2": (-1, 1, -1, 1),
    "E": (0, -2, 0, 0),
    "E1/2": (R2, 0, 0, 0),
    "E3/2": (-R2, 0, 0, 0),
}
D4H_AXES = [([0, 0, 1], np.pi / 2), ([0, 0, 1], np.pi), ([1, 0, 0], np.pi), ([1, 1, 0], np.pi)]


@pytest.mark.parametrize("group, order, nclasses", [(oh, 96, 16), (d4h, 32, 14)])
def test_group_axioms_and_irreps(group, order, nclasses):
    g = group()
    assert g.order == order and len(g.classes) == nclasses == len(g.irreps)
    assert len({e.name for e in g.elements}) == order
    t = g.table
    assert all(sorted(row) == list(range(order)) for row in t)  # Latin square: closure, cancellation
    assert np.all(t[0] == np.arange(order)) and np.all(t[np.arange(order), g.inverse] == 0)
    rng = np.random.default_rng(1)
    a, b, c = rng.integers(order, size=(3, 200))
    assert np.all(t[t[a, b], c] == t[a, t[b, c]])
    assert sum(ir.dim**2 for ir in g.irreps.values()) == order
    chars = np.array([ir.characters for ir in g.irreps.values()])
    np.testing.assert_allclose(chars.conj() @ chars.T / order, np.eye(len(chars)), atol=1e-10)
    for ir in g.irreps.values():
        m = ir.matrices
        np.testing.assert_allclose(np.einsum("gij,hjk->ghik", m, m), m[t], atol=1e-10)
        np.testing.assert_allclose(np.einsum("gji,gjk->gik", m.conj(), m), np.broadcast_to(np.eye(ir.dim), m.shape),
                                   atol=1e-10)


@pytest.mark.parametrize("group, table, axes", [(oh, OH_TABLE, OH_AXES), (d4h, D4H_TABLE, D4H_AXES)])
def test_characters_match_textbook_tables(group, table, axes):
    g = group()
    inv = g.index(np.eye(2), -1)
    bar = g.index(-np.eye(2), 1)
    for label, values in table.items():
        for suffix, p in (("G", 1), ("U", -1)):
            ir = g.irreps[label + suffix]
            for (axis, angle), want in zip(axes, values):
                e = g.index(su2_from_axis_angle(axis, angle), 1)
                assert ir.characters[e] == pytest.approx(want, abs=1e-10), (label, axis)
                e_improper = g.index(su2_from_axis_angle(axis, angle), -1)
                assert ir.characters[e_improper] == pytest.approx(p * want, abs=1e-10)
            assert ir.characters[inv] == pytest.approx(p * ir.dim)
            assert ir.characters[bar] == pytest.approx(-ir.dim if ir.spinor else ir.dim)


def test_branching_rules():
    g = oh()
    assert g.branching(2, 1) == {"EG": 1, "T2G": 1}
    assert g.branching(1, -1) == {"T1U": 1}
    assert g.branching(3, -1) == {"A2U": 1, "T1U": 1, "T2U": 1}
    assert g.branching(0.5) == {"E1/2G": 1}
    assert g.branching(1.5) == {"G3/2G": 1}
    assert g.branching(2.5) == {"E5/2G": 1, "G3/2G": 1}
    assert g.branching(4) == {"A1G": 1, "EG": 1, "T1G": 1, "T2G": 1}
    h = d4h()
    assert h.branching(2, 1) == {"A1G": 1, "B1G": 1, "B2G": 1, "EG": 1}
    assert h.branching(1, -1) == {"A2U": 1, "EU": 1}
    # restriction O_h* -> D_4h*: the D4h elements are among the O_h ones
    sub = [g.index(e.u, e.parity) for e in h.elements]
    restrict = {lab: h.multiplicities(ir.characters[sub]) for lab, ir in g.irreps.items()}
    assert restrict["EG"] == {"A1G": 1, "B1G": 1}
    assert restrict["T2G"] == {"B2G": 1, "EG": 1}
    assert restrict["T1U"] == {"A2U": 1, "EU": 1}
    assert restrict["G3/2G"] == {"E1/2G": 1, "E3/2G": 1}
    assert restrict["E5/2U"] == {"E3/2U": 1}


@pytest.mark.parametrize("group, a, b", [(oh, "G3/2G", "T1U"), (oh, "T2G", "T2G"), (oh, "E5/2G", "EG"),
                                         (d4h, "E1/2G", "EU"), (d4h, "EG", "EU")])
def test_coupling_coefficients_unitary_and_intertwining(group, a, b):
    g = group()
    ia, ib = g.irreps[a], g.irreps[b]
    cols, total = [], 0
    for c, ic in g.irreps.items():
        cg = coupling_coefficients(g, a, b, c)
        total += cg.shape[0] * ic.dim
        for w in range(cg.shape[0]):
            m = cg[w].reshape(ia.dim * ib.dim, ic.dim)
            prod = np.einsum("gij,gkl->gikjl", ia.matrices, ib.matrices).reshape(g.order, len(m), len(m))
            np.testing.assert_allclose(prod @ m, m @ ic.matrices, atol=1e-10)
            cols.append(m)
    full = np.hstack(cols)
    assert total == ia.dim * ib.dim
    np.testing.assert_allclose(full.conj().T @ full, np.eye(total), atol=1e-10)
    if (a, b) == ("G3/2G", "T1U"):
        assert coupling_coefficients(g, a, b, "G3/2U").shape[0] == 2  # outer multiplicity 2


def _components(v, jmats):
    """Spherical components (q = +1, 0, -1) of a vector operator from its Cartesian parts."""
    jx, jy, jz = jmats
    return [-(jx + 1j * jy) / R2, jz, (jx - 1j * jy) / R2]


def test_outer_multiplicity_two_independent_reduced_elements():
    """In j = 3/2 (G3/2), J and the T1 part of a rank-3 tensor are independent T1 operators:
    their reduced elements are non-parallel vectors over the two copies of G3/2 in G3/2 x T1."""
    g = oh()
    jm = angular_momentum(1.5)
    jq = _components(None, jm)
    jx, jy, jz = jm
    # a rank-3 tensor with T1 content: Jz^3 - (3/5)(J^2 - 1/3) Jz plus its cyclic partners, the
    # Cartesian vector (Jx^3, Jy^3, Jz^3) minus its rank-1 part
    cubes = [jx @ jx @ jx, jy @ jy @ jy, jz @ jz @ jz]
    oq = _components(None, cubes)
    rep = g.rep(1.5)
    act = matrix_action(rep)
    ir = g.irreps["G3/2G"]
    v1 = row_one_space(g, ir, act, np.eye(4)[:, [0]], real=False)
    parts = partners(g, ir, act, v1)[:, :, 0]  # (row, 4)
    cg = coupling_coefficients(g, "G3/2G", "T1G", "G3/2G")
    red = []
    for ops in (jq, oq):
        el = np.array([[[parts[c].conj() @ op @ parts[a] for a in range(4)] for op in ops] for c in range(4)])
        r, resid = reduced_elements(cg, el[..., None, None])
        assert resid < 1e-10
        red.append(r.ravel())
    assert np.linalg.matrix_rank(np.array(red), tol=1e-8) == 2
    # an operator that is not a T1 tensor (x^3 alone in the q = +1 slot) does not fit
    bad = [cubes[0], jz, jz]
    el = np.array([[[parts[c].conj() @ op @ parts[a] for a in range(4)] for op in bad] for c in range(4)])
    assert reduced_elements(cg, el[..., None, None])[1] > 1e-3


@pytest.mark.parametrize("group", [oh, d4h])
@pytest.mark.parametrize("shells", [[Shell(2, 1)], [Shell(2, 8)], [Shell(1, 5), Shell(2, 9)], [Shell(2, 9), Shell(2, 9)]])
def test_determinant_action_is_a_representation_split_into_fixed_irreps(group, shells):
    g = group()
    act = ConfigurationAction(g, shells)
    n = act.dimension
    x = np.random.default_rng(0).normal(size=(n, 3))
    for a, b in [(5, 27), (13, 30), (g.order - 1, 3)]:
        np.testing.assert_allclose(act(int(g.table[a, b]), x), act(a, act(b, x)), atol=1e-10)
    found = 0
    for label, ir in g.irreps.items():
        trial = np.eye(n)[:, act.sector(ir.mu[0])]
        ones = row_one_space(g, ir, act, trial)
        assert np.isrealobj(ones)
        if ones.shape[1] == 0:
            continue
        found += ones.shape[1] * ir.dim
        parts = partners(g, ir, act, ones)
        for e in (7, g.order - 5):
            lhs = act(e, parts[0])
            rhs = sum(ir.matrices[e][s, 0] * parts[s] for s in range(ir.dim))
            np.testing.assert_allclose(lhs, rhs, atol=1e-9)
    assert found == n


def test_one_electron_configurations_branch_like_the_orbitals():
    g = oh()
    act = ConfigurationAction(g, [Shell(2, 1)])
    chars = np.array([np.trace(act(e, np.eye(10))) for e in range(g.order)])
    assert g.multiplicities(chars) == {"G3/2G": 2, "E5/2G": 1}  # (EG + T2G) x E1/2G
    act = ConfigurationAction(g, [Shell(1, 1)])
    chars = np.array([np.trace(act(e, np.eye(6))) for e in range(g.order)])
    assert g.multiplicities(chars) == {"E1/2U": 1, "G3/2U": 1}  # p1/2 and p3/2


# ----------------------------------------------------------------------------- trigonal groups

I_ = 1j
# D3* (Koster's Gamma_1..Gamma_6) on E, E-bar, C3z, C3z-bar, C2y, C2y-bar; the C3v* table is the
# same with sigma_v = I C2y (the mirror plane xz) in place of C2y
D3_TABLE = {
    "A1": (1, 1, 1, 1, 1, 1), "A2": (1, 1, 1, 1, -1, -1), "E": (2, 2, -1, -1, 0, 0),
    "E1/2": (2, -2, 1, -1, 0, 0), "1E3/2": (1, -1, -1, 1, I_, -I_), "2E3/2": (1, -1, -1, 1, -I_, I_),
}


def _d3_elements(g, improper_c2: bool) -> list[int]:
    c3 = su2_from_axis_angle([0, 0, 1], 2 * np.pi / 3)
    c2 = su2_from_axis_angle([0, 1, 0], np.pi)
    p = -1 if improper_c2 else 1
    return [g.index(np.eye(2), 1), g.index(-np.eye(2), 1), g.index(c3, 1), g.index(-c3, 1),
            g.index(c2, p), g.index(-c2, p)]


def _split_e32(ir) -> list[np.ndarray]:
    """The two one-dimensional irreps inside the real E3/2: eigenvectors of the C2y matrix."""
    g = d3d()
    c2 = g.index(su2_from_axis_angle([0, 1, 0], np.pi), 1)
    _, v = np.linalg.eig(ir.matrices[c2])
    return [np.einsum("i,gij,j->g", v[:, k].conj(), ir.matrices, v[:, k]) for k in range(2)]


def test_d3d_double_group_matches_the_textbook_table():
    g = d3d()
    assert g.order == 24 and len(g.classes) == 12
    assert len({e.name for e in g.elements}) == 24  # C2 and C2-bar about the same axis told apart
    t = g.table
    assert all(sorted(row) == list(range(24)) for row in t)
    assert len(g.irreps) == 10  # E3/2 G and U stand for two irreps each
    inv = g.index(np.eye(2), -1)
    reps = _d3_elements(g, False)
    chars = []
    for label, ir in g.irreps.items():
        base, p = label[:-1], 1 if label[-1] == "G" else -1
        m = ir.matrices
        np.testing.assert_allclose(np.einsum("gij,hjk->ghik", m, m), m[t], atol=1e-10)
        assert np.abs(m.imag).max() < 1e-12 or base in ("E", "E1/2")  # real E3/2 rows
        pieces = _split_e32(ir) if base == "E3/2" else [ir.characters]
        want = [D3_TABLE["1E3/2"], D3_TABLE["2E3/2"]] if base == "E3/2" else [D3_TABLE[base]]
        got = sorted((tuple(np.round(c[reps], 9)) for c in pieces), key=lambda c: c[4].imag)
        want = sorted(want, key=lambda c: np.imag(c[4]))
        for c, w in zip(got, want):
            np.testing.assert_allclose(c, w, atol=1e-9, err_msg=label)
        for c in pieces:
            assert c[inv] == pytest.approx(p * c[0])
            improper = [g.index(g.elements[k].u, -1) for k in reps]
            np.testing.assert_allclose(c[improper], p * c[reps], atol=1e-9)
            chars.append(c)
    chars = np.array(chars)
    assert sum(abs(c[0]) ** 2 for c in chars) == pytest.approx(24)  # dimension sum rule
    np.testing.assert_allclose(chars.conj() @ chars.T / 24, np.eye(12), atol=1e-10)


def test_c3v_labels_restrict_the_d3d_irreps_as_the_textbook_table():
    """C3v* = C3* + I C2' C3*: its characters on E, E-bar, C3, C3-bar, sigma_v, sigma_v-bar,
    from the D3d irrep each C3v label is built on (even and odd states alike)."""
    g = d3d()
    reps = _d3_elements(g, True)
    sub = [k for k, e in enumerate(g.elements)
           if (e.parity > 0) == np.allclose(so3_from_su2(e.u)[2], [0, 0, 1])]
    assert len(sub) == 12 and all(g.table[a, b] in sub for a in sub for b in sub)
    for parity, suffix in ((1, "G"), (-1, "U")):
        for base, label in C3V_LABEL[parity].items():
            ir = g.irreps[base + suffix]
            if base == "E3/2":
                got = sorted((np.round(c[reps], 9) for c in _split_e32(ir)), key=lambda c: c[4].imag)
                want = sorted([D3_TABLE["1E3/2"], D3_TABLE["2E3/2"]], key=lambda c: np.imag(c[4]))
            else:
                got, want = [ir.characters[reps]], [D3_TABLE[label]]
            for c, w in zip(got, want):
                np.testing.assert_allclose(c, w, atol=1e-9, err_msg=f"{base}{suffix} -> {label}")
            # an irrep of the subgroup: unit norm over C3v*
            c = ir.characters[sub]
            assert np.vdot(c, c).real / 12 == pytest.approx(2 if base == "E3/2" else 1)


# ----------------------------------------------------------------------------- field subgroups

W = np.exp(-1j * np.pi / 4)
# C4* on E, C4, C2, C4^3, E-bar, C4-bar, C2-bar, C4^3-bar (C4 the unbarred lift, rotating a
# state of Jz = m by exp(-i pi m / 2)); C3* on E, C3, C3^2, E-bar, C3-bar, C3^2-bar
C4_TABLE = {
    "A": (1, 1, 1, 1, 1, 1, 1, 1), "B": (1, -1, 1, -1, 1, -1, 1, -1),
    "1E": (1, -1j, -1, 1j, 1, -1j, -1, 1j), "2E": (1, 1j, -1, -1j, 1, 1j, -1, -1j),
    "1E1/2": (1, W, -1j, W**3, -1, -W, 1j, -W**3), "2E1/2": (1, W**-1, 1j, W**-3, -1, -W**-1, -1j, -W**-3),
    "1E3/2": (1, W**3, 1j, W, -1, -W**3, -1j, -W), "2E3/2": (1, W**-3, -1j, W**-1, -1, -W**-3, 1j, -W**-1),
}
# S4* on E, S4, S4^2 = C2, S4^3 and the barred ones (S4 = I C4^3, the unbarred lift of C4^3)
S4_TABLE = {
    "A": (1, 1, 1, 1, 1, 1, 1, 1), "B": (1, -1, 1, -1, 1, -1, 1, -1),
    "1E": (1, 1j, -1, -1j, 1, 1j, -1, -1j), "2E": (1, -1j, -1, 1j, 1, -1j, -1, 1j),
    "1E1/2": (1, W**3, 1j, W, -1, -W**3, -1j, -W), "2E1/2": (1, W**-3, -1j, W**-1, -1, -W**-3, 1j, -W**-1),
    "1E3/2": (1, W, -1j, W**3, -1, -W, 1j, -W**3), "2E3/2": (1, W**-1, 1j, W**-3, -1, -W**-1, -1j, -W**-3),
}
X = np.exp(-2j * np.pi / 3)
C3_TABLE = {
    "A": (1, 1, 1, 1, 1, 1), "1E": (1, X, X**2, 1, X, X**2), "2E": (1, X**2, X, 1, X**2, X),
    "1E1/2": (1, -X**2, X, -1, X**2, -X), "2E1/2": (1, -X, X**2, -1, X, -X**2), "A3/2": (1, -1, 1, -1, 1, -1),
}


def _cyclic(n: int, k: int, barred: bool) -> np.ndarray:
    u = su2_from_axis_angle([0, 0, 1], 2 * np.pi * k / n) if k else np.eye(2, dtype=complex)
    return -u if barred else u


@pytest.mark.parametrize("parent", ["Oh", "D3d", "C3v", "Td"])
def test_field_labels_carry_the_characters_of_the_textbook_tables(parent):
    """The states the builder puts under each label of the field subgroup (determinants of one
    class of Jz) transform under every element with that label's character in the table:
    C4h* = C4* x Ci and C3i* = C3* x Ci (G, U), C3* itself, S4* with S4 = I C4^3."""
    subgroup, n = SUBGROUPS[parent]
    group = axial_group(subgroup)
    sym = FieldSymmetry(parent)
    table = S4_TABLE if subgroup == "S4" else C4_TABLE if n == 4 else C3_TABLE
    seen = set()
    measured: dict[str, np.ndarray] = {}  # label -> character on every element, from the states
    for electrons in (1, 2):  # half-integer and integer Jz; 2p6 (even) and 2p5 (odd) states
        model = IonModel(valence="3d", electrons=electrons, core="2p", symmetry=parent,
                         ground={"B": 1.0}, excited={"zeta_c": 1.0})
        for conf in [c for side in model.configurations() for c in side]:
            act = ConfigurationAction(group, [Shell(1, conf.occupations[0]), Shell(2, conf.occupations[1], 6)])
            masks = act.masks()
            labels = list(sym.multiplicities(conf))
            for label, adapted in sym.adapt(conf, labels).items():
                x = np.zeros((act.dimension, min(adapted.mult, 6)))
                pos = {int(m): i for i, m in enumerate(masks)}
                for col, det in enumerate(adapted.basis.dets[:x.shape[1]]):
                    x[pos[int(det)], col] = 1.0
                base = label[:-1] if label[-1] in "GU" and subgroup in ("C4h", "C3i") else label
                for k in range(n):
                    for bar in (False, True):
                        char = table[base][k + (n if bar else 0)]
                        u = _cyclic(n, k, bar)
                        if subgroup == "S4":  # S4^k = I^k C4^(3k), C4^4 = E-bar
                            u = _cyclic(4, (3 * k) % 4, bar ^ ((3 * k) // 4 % 2 == 1))
                            got = act(group.index(u, (-1) ** k), x)
                        else:
                            got = act(group.index(u, 1), x)
                            if subgroup in ("C4h", "C3i"):
                                parity = 1 if label.endswith("G") else -1
                                np.testing.assert_allclose(act(group.index(u, -1), x), parity * char * x,
                                                           atol=1e-10)
                        np.testing.assert_allclose(got, char * x, atol=1e-10, err_msg=f"{label} {k} {bar}")
                seen.add(base)
                first = x[:, :1]
                chars = np.array([(first.T @ act(e, first))[0, 0] for e in range(group.order)])
                if label in measured:  # the same label from another configuration or parity
                    np.testing.assert_allclose(chars, measured[label], atol=1e-10)
                measured[label] = chars
    assert seen == set(table)  # every irrep of the table occurs
    # one-dimensional irreps: as many as elements (the dimension sum rule), orthonormal characters
    chars = np.array(list(measured.values()))
    assert len(chars) == group.order
    np.testing.assert_allclose(chars.conj() @ chars.T / group.order, np.eye(group.order), atol=1e-10)
