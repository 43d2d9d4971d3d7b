"""The double groups O_h* and D_4h*: group axioms, irreps against textbook character tables,
branching rules, coupling coefficients and the action on Slater determinants."""
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
from morvex7.ion.pointgroups import d4h, oh
from morvex7.ion.rotations import angular_momentum, su2_from_axis_angle

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
