"""The ground-state search's partial eigensolver against a dense diagonalisation: every state
within the window is found, degenerate ones included, and a built model's ground symmetries and
levels are those a dense search gives."""
from __future__ import annotations

import importlib

import numpy as np
import pytest
import scipy.sparse as sp

from morvex7.ion.blocks import side_hamiltonian
from morvex7.ion.build import LEVEL_SPAN, build, lowest_energies
from morvex7.ion.model import IonModel

build_module = importlib.import_module("morvex7.ion.build")


def within(e: np.ndarray, window: float) -> np.ndarray:
    return e[e - e[0] <= window]


def degenerate_matrix(seed: int, copies: int, size: int) -> sp.csr_matrix:
    """A sparse symmetric matrix whose spectrum is that of one random block, ``copies`` times
    over (every eigenvalue exactly degenerate), hidden by a random orthogonal-free shuffle."""
    rng = np.random.default_rng(seed)
    a = sp.random(size, size, density=0.05, random_state=rng)
    a = (a + a.T) + sp.diags(rng.uniform(0.0, 20.0, size))
    whole = sp.block_diag([a] * copies).tocsr()
    perm = rng.permutation(whole.shape[0])
    return whole[perm][:, perm].tocsr()


@pytest.mark.parametrize("copies, size, window", [(1, 1000, 0.5), (3, 400, 1.0), (2, 600, 0.0)])
def test_partial_search_finds_every_state_of_the_window(copies, size, window):
    h = degenerate_matrix(copies + size, copies, size)
    dense = np.linalg.eigvalsh(h.toarray())
    part = lowest_energies(h, window)
    assert len(part) < len(dense)          # a partial search indeed
    want = within(dense, window)
    got = within(part, window)
    assert len(got) == len(want)           # degenerate copies not lost
    assert np.abs(got - want).max() < 1e-10


def test_partial_search_falls_back_to_dense_for_a_wide_window():
    h = degenerate_matrix(5, 1, 300)
    e = lowest_energies(h, 1e6)            # every state wanted
    assert len(e) == 300
    assert np.allclose(e, np.linalg.eigvalsh(h.toarray()), atol=1e-10)


def test_built_levels_and_window_agree_with_a_dense_search(monkeypatch):
    """Ni2+ in D4h with charge transfer and three band levels, searched partially (every
    symmetry above 20 rows): each symmetry's states within the window and LEVEL_SPAN are
    those a dense diagonalisation of the same Hamiltonian gives."""
    model = IonModel(valence="3d", electrons=8, core="2p",
                     ground={"F2vv": 9.0, "F4vv": 5.6, "zeta_v": 0.08, "Dq": 0.12, "Ds": 0.1,
                             "Dt": 0.02},
                     excited={"zeta_c": 11.5, "F2cv": 5.0, "G1cv": 3.7, "G3cv": 2.1},
                     charge_transfer={"Delta": 3.0, "U": 6.0, "Q": 7.0, "V": 2.0,
                                      "levels": [3, 3], "width": 2.0},
                     symmetry="D4h", window=0.05)
    monkeypatch.setattr(build_module, "DENSE_GROUND", 20)
    built = build(model)
    n2, n3 = model.levels
    spectra = {}
    for lab in built.ground.labels():
        h = side_hamiltonian(built.ground, lab, n2, n3, model.width)
        if len(h):
            assert len(h) > 20
            spectra[lab] = np.linalg.eigvalsh(h)
    e0 = min(e[0] for e in spectra.values())
    want = {lab: e[e - e0 <= LEVEL_SPAN] for lab, e in spectra.items()
            if e[0] - e0 <= LEVEL_SPAN}
    assert len(want) > 1 and sum(map(len, want.values())) > len(want)
    got = {g.label: np.array(g.energies) for g in built.levels}
    assert sorted(got) == sorted(want)
    for lab, e in want.items():
        assert len(got[lab]) == len(e) and np.abs(got[lab] - e).max() < 1e-9
    for g in built.ground_symmetries:
        assert spectra[g.label][0] - e0 <= model.window + 1e-9
        assert np.abs(np.array(g.energies) - within(spectra[g.label], model.window)).max() < 1e-9
    assert {g.label for g in built.ground_symmetries} == \
        {lab for lab, e in spectra.items() if e[0] - e0 <= model.window + 1e-9}
