"""Operators between configurations (hybridisation, dipole transition) taken from the coupled
factors' own matrices, checked against the same copies written out over every determinant of
their C4z sector and the operator's determinant matrix."""
from __future__ import annotations

import numpy as np
import pytest
import scipy.sparse as sp

from morvex7.ion import atomic
from morvex7.ion.blocks import NOISE
from morvex7.ion.crystalfield import mixing_operators
from morvex7.ion.determinants import Operator, Orbitals
from morvex7.ion.pointsymmetry import D4hSymmetry, OhSymmetry
from morvex7.ion.recoupling import _split_terms
from morvex7.ion.symmetry import Configuration, Symmetry

ORB = Orbitals.of([("core", 1), ("valence", 2), ("ligand", 2)])


def _configs(occupations):
    return [Configuration(" ".join(map(str, o)), ORB, o) for o in occupations]


def _written_rows(a, rows):
    """Rows of the adapted irrep a written out over their sectors (the reference)."""
    bases, arrays, copies = a.coupler.rows(a.config, a.label, rows)
    assert np.array_equal(copies, a.copies)
    return bases, arrays


# (bra, ket) pairs: one and two ligand holes, with and without the core hole, a closed valence
# shell between the core and the ligand (5, 10, 9), no open shell at all (6, 0, 10)
PAIRS = [((6, 8, 10), (6, 9, 9)), ((6, 9, 9), (6, 10, 8)), ((5, 9, 10), (5, 10, 9)),
         ((5, 7, 10), (5, 8, 9)), ((5, 8, 9), (5, 9, 8)), ((6, 0, 10), (6, 1, 9))]


@pytest.mark.parametrize("symmetry", [OhSymmetry, D4hSymmetry])
@pytest.mark.parametrize("pair", PAIRS, ids=lambda p: f"{p[0]}-{p[1]}")
def test_hybridisation_blocks_equal_the_written_out_states(symmetry, pair):
    sym = symmetry()
    bra, ket = _configs(pair)
    ops = mixing_operators(sym.name, ORB.shell("valence"), ORB.shell("ligand"))
    labels = [lab for lab in sym.multiplicities(bra) if lab in sym.multiplicities(ket)]
    ib, ik = sym.adapt(bra, labels), sym.adapt(ket, labels)
    checked = 0
    for lab in labels:
        for op in ops.values():
            got = sym.scalar_block(ib[lab], op, ik[lab])
            ref = Symmetry.scalar_block(sym, ib[lab], op, ik[lab])
            np.testing.assert_allclose(got, ref, atol=1e-10)
            checked += np.abs(ref).max(initial=0.0) > 1e-3
    assert checked  # the pairs really hybridise


@pytest.mark.parametrize("symmetry", [OhSymmetry, D4hSymmetry])
def test_hybridisation_held_as_written_equals_the_dense_block(symmetry):
    """With the writer's scale the block is worked out only where the factors are not
    rounding noise: what it holds is, array for array, the dense block (every piece summed
    whole) without the elements the writer drops; at a scale that drops all, an empty block."""
    sym = symmetry()
    ops = mixing_operators(sym.name, ORB.shell("valence"), ORB.shell("ligand"))
    kept = 0
    for pair in [((5, 8, 9), (5, 9, 8)), ((5, 7, 10), (5, 8, 9)), ((6, 0, 10), (6, 1, 9))]:
        bra, ket = _configs(pair)
        labels = [lab for lab in sym.multiplicities(bra) if lab in sym.multiplicities(ket)]
        ib, ik = sym.adapt(bra, labels), sym.adapt(ket, labels)
        for lab in labels:
            for op in ops.values():
                dense = sym.cross(ib[lab], op, ik[lab]).block(lab, lab, [0], real=True)[0]
                for scale in (np.sqrt(ib[lab].dim), 1e-12):
                    got = sym.mixing_block(ib[lab], op, ik[lab], scale)
                    want = sp.csr_matrix(np.where(np.abs(scale * dense) < NOISE, 0.0, dense))
                    assert got.shape == dense.shape and got.has_canonical_format
                    for u, v in ((got.indptr, want.indptr), (got.indices, want.indices),
                                 (got.data, want.data)):
                        assert np.array_equal(u, v)
                    assert len(got.data) == got.nnz
                    kept += got.nnz
                assert got.nnz == 0  # scale 1e-12: nothing the writer keeps
    assert kept > 1000


@pytest.mark.parametrize("symmetry", [OhSymmetry, D4hSymmetry])
@pytest.mark.parametrize("pair", [((6, 7, 10), (5, 8, 10)), ((6, 8, 9), (5, 9, 9)),
                                  ((6, 9, 9), (5, 10, 9)), ((6, 0, 10), (5, 1, 10)),
                                  ((6, 1, 9), (5, 2, 9))],
                         ids=lambda p: f"{p[0]}-{p[1]}")
def test_dipole_elements_of_every_component_and_row(symmetry, pair):
    sym = symmetry()
    ground, excited = _configs(pair)
    comps = {q: atomic.dipole(ORB.shell("valence"), ORB.shell("core"), q) for q in (-1, 0, 1)}
    ig = sym.adapt(ground, list(sym.multiplicities(ground)))
    ie = sym.adapt(excited, list(sym.multiplicities(excited)))
    nonzero = 0
    for g, a in ig.items():
        dim = sym.group.irreps[g].dim
        bases, arrays = _written_rows(a, list(range(dim)))
        for e, b in ie.items():
            mu_e = sym.group.irreps[e].mu[0]
            for q, op in comps.items():
                rows = [r for r in range(dim) if (mu_e - sym.group.irreps[g].mu[r] - q) % 4 == 0]
                if not rows:
                    continue
                got = sym.cross(b, op, a).block(e, g, rows)
                for r, el in zip(rows, got):
                    ref = b.vectors[:, 0, :] @ (op.matrix(b.basis, bases[r]) @ arrays[r].T)
                    np.testing.assert_allclose(el, ref, atol=1e-10)
                    nonzero += np.abs(ref).max(initial=0.0) > 1e-3
    assert nonzero


def test_terms_split_at_the_cut_with_the_sign_of_the_swaps():
    v, lig = ORB.shell("valence").offset, ORB.shell("ligand").offset
    op = Operator({((lig, True), (v, False)): 1.0, ((v, True), (lig + 1, False)): 2.0,
                   ((lig, True), (v + 1, True), (lig + 2, False), (v, False)): 3.0})
    split = {(low, up): c for low, up, c in _split_terms(op, lig, lig + 10)}
    assert split[(((v, False),), ((lig, True),))] == -1.0  # one swap
    assert split[(((v, True),), ((lig + 1, False),))] == 2.0
    # L+ v+ L v: v+ passes L+ (one), v passes L+ and L (two) -> three swaps
    assert split[(((v + 1, True), (v, False)), ((lig, True), (lig + 2, False)))] == -3.0
    with pytest.raises(ValueError):
        _split_terms(op, v, v + 10)
