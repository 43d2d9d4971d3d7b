"""The Hamiltonian blocks the shell coupling assembles from its factors' small blocks, against
the same operators applied determinant by determinant in plain second quantisation; the bit
parity the ladder signs use; and the ground search's sparse Hamiltonian against the dense one."""
from __future__ import annotations

import numpy as np
import pytest
import scipy.sparse as sp

from morvex7.ion import atomic
from morvex7.ion.blocks import side_hamiltonian
from morvex7.ion.build import build
from morvex7.ion.crystalfield import field_operators
from morvex7.ion.determinants import parity_bits
from morvex7.ion.determinants import Orbitals
from morvex7.ion.model import IonModel
from morvex7.ion.pointsymmetry import D4hSymmetry, OhSymmetry
from morvex7.ion.shellcoupling import _grouped_block
from morvex7.ion.symmetry import Configuration

from ion_helpers import plain_matrix


ORB = Orbitals.of([("core", 1), ("valence", 2), ("ligand", 2)])


def _operators(sym):
    """Operators inside the lower factor (valence spin-orbit, core-valence exchange and direct
    Coulomb, which reaches a closed core), and inside the upper one (a ligand field)."""
    c, v, lig = ORB.shell("core"), ORB.shell("valence"), ORB.shell("ligand")
    ligand_field = sum(field_operators(sym.name, lig).values(), atomic.spin_orbit(lig) * 0.0)
    return {"zeta_v": atomic.spin_orbit(v), "G1cv": atomic.coulomb(c, v, 1, "G"),
            "F2cv": atomic.coulomb(c, v, 2, "F"), "ligand field": ligand_field}


@pytest.mark.parametrize("symmetry, occupations", [
    (D4hSymmetry, (5, 9, 9)),    # three open shells: core and valence coupled, ligand above
    (OhSymmetry, (6, 9, 8)),     # a closed core below two open shells
    (OhSymmetry, (6, 8, 10)),    # one open shell
])
def test_factor_blocks_equal_plain_second_quantisation(symmetry, occupations):
    sym = symmetry()
    conf = Configuration("c", ORB, occupations)
    adapted = sym.adapt(conf, list(sym.multiplicities(conf)))
    checked = 0
    for name, op in _operators(sym).items():
        for lab, a in adapted.items():
            blk = sym.hamiltonian_block(a, op)
            blk = blk.toarray() if sp.issparse(blk) else blk
            vec = a.vectors[:, 0, :]
            want = vec @ plain_matrix(op, a.basis.dets) @ vec.T
            np.testing.assert_allclose(blk, want, atol=1e-10, err_msg=f"{name} {lab}")
            checked += int(np.abs(want).max(initial=0.0) > 1e-6)
    assert checked > len(adapted)  # most blocks hold something


def test_spread_block_equals_the_group_by_group_one():
    """The row-by-row CSR of a factor's block holds exactly the elements the plain group by
    group assembly gives, in canonical order."""
    sym = D4hSymmetry()
    conf = Configuration("c", ORB, (5, 9, 9))
    coupler = sym.coupler(ORB)
    op = atomic.spin_orbit(ORB.shell("valence"))
    f1, _ = coupler.factors(conf)
    names = list(f1.states)
    for lab, a in sym.adapt(conf, list(sym.multiplicities(conf))).items():
        got = sym.hamiltonian_block(a, op)
        assert got.has_canonical_format
        copies = a.copies
        _, groups = np.unique(copies[:, [0, 2, 3, 4]], axis=0, return_inverse=True)
        blocks = {x: f1.block(op, names[x], sym.group.irreps[names[x]].mu[0])
                  for x in np.unique(copies[:, 0])}
        want = _grouped_block(copies[:, 0], groups.ravel(), copies[:, 1], blocks)
        assert (got != want).nnz == 0 and got.nnz == want.nnz


def test_parity_of_set_bits():
    rng = np.random.default_rng(7)
    x = np.concatenate([rng.integers(0, 2 ** 63, 2000, dtype=np.uint64) * np.uint64(2)
                        + rng.integers(0, 2, 2000, dtype=np.uint64),
                        np.array([0, 1, 2 ** 63, 2 ** 64 - 1, 0xFFFF, 0x10000], dtype=np.uint64)])
    want = np.array([bin(int(v)).count("1") % 2 for v in x])
    assert np.array_equal(parity_bits(x), want)
    assert parity_bits(np.zeros(0, dtype=np.uint64)).shape == (0,)


def test_sparse_ground_hamiltonian_is_the_dense_one_exactly():
    """Three configurations and two band levels each: the same numbers, bit for bit, so the
    ground search finds the same energies either way."""
    model = IonModel(valence="3d", electrons=8, core="2p",
                     ground={"F2vv": 9.0, "F4vv": 5.6, "zeta_v": 0.08, "10Dq": 1.1},
                     excited={"zeta_c": 11.5, "F2cv": 5.0, "G1cv": 3.7, "G3cv": 2.1},
                     charge_transfer={"Delta": 3.0, "U": 6.0, "Q": 7.0, "V": 2.0,
                                      "levels": [2, 2], "width": 2.0},
                     symmetry="Oh")
    built = build(model)
    for lab in built.ground.labels():
        dense = side_hamiltonian(built.ground, lab, 2, 2, model.width)
        sparse = side_hamiltonian(built.ground, lab, 2, 2, model.width, sparse=True)
        assert sp.issparse(sparse) and dense.shape == sparse.shape
        assert np.array_equal(sparse.toarray(), dense)
        assert sparse.nnz == np.count_nonzero(dense)
