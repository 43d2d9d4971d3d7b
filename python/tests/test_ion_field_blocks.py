"""A model in a magnetic and an exchange field with charge transfer: the builder keeps every
block sparse over the determinants of one class of Jz, and each equals the model written out
here determinant by determinant in plain second quantisation (Hamiltonians of both sides with
their hybridisation and configuration energies, the dipole blocks of every triad)."""
from __future__ import annotations

import numpy as np
import pytest
import scipy.sparse as sp

from morvex7.ion import atomic
from morvex7.ion.blocks import side_hamiltonian
from morvex7.ion.build import build
from morvex7.ion.fieldsymmetry import DIPOLE_PARTS, parse_field_label
from morvex7.ion.model import IonModel

from ion_helpers import plain_matrix, plain_side

CT = {"Delta": 3.0, "U": 6.0, "Q": 7.0, "V": 2.0, "V_excited": 1.6}


def _model(electrons: int, symmetry: str, crystal: dict) -> IonModel:
    return IonModel(valence="3d", electrons=electrons, core="2p", symmetry=symmetry,
                    ground={"F2vv": 9.8, "F4vv": 6.1, "zeta_v": 0.08, "B": 5.0, "H_ex": 0.02,
                            **crystal},
                    excited={"F2vv": 10.3, "F4vv": 6.4, "zeta_v": 0.1, "zeta_c": 11.5,
                             "F2cv": 6.2, "G1cv": 4.6, "G3cv": 2.6, "B": 5.0, **crystal},
                    charge_transfer=CT, window=0.3)


def _class(dets: np.ndarray, orbitals) -> np.ndarray:
    """2 Jz of each determinant modulo 8, as a representative in (-4, 4]."""
    two_m = np.zeros(len(dets), dtype=np.int64)
    for sh in orbitals.shells:
        for k in range(sh.size):
            occupied = (dets >> np.uint64(sh.offset + k)) & np.uint64(1)
            two_m += occupied.astype(np.int64) * (2 * (k // 2 - sh.l) + (1 if k % 2 == 0 else -1))
    r = two_m % 8
    return np.where(r > 4, r - 8, r)


def _label_rows(side, dets, label: str) -> list[np.ndarray]:
    """Per configuration, the positions (in the whole side's order) of the determinants of the
    class of ``label``."""
    out, start = [], 0
    for conf, d in zip(side.configs, dets):
        want = parse_field_label(label, "C4h", conf.parity)
        out.append(start + np.flatnonzero(_class(d, conf.orbitals) == want))
        start += len(d)
    return out


@pytest.fixture(scope="module", params=[("Oh", {"10Dq": 1.2}), ("D4h", {"Dq": 0.12, "Ds": 0.1, "Dt": 0.02})],
                ids=["Oh", "D4h"])
def built(request):
    return build(_model(8, *request.param))


def _blocks(side):
    for per_config in side.ham + side.mix:
        for blocks in per_config.values():
            yield from blocks


def test_every_block_is_held_sparse(built):
    """A class of Jz of a 3d1 ion with charge transfer holds 14 000 determinants: a dense block
    of that size is 1.6 GB, so none may be formed."""
    blocks = list(_blocks(built.ground)) + list(_blocks(built.excited)) + list(built.transitions.values())
    assert blocks and all(sp.issparse(b) for b in blocks)
    assert built.model.field and len(built.ground.configs) == 3 and len(built.excited.configs) == 2


@pytest.mark.parametrize("kind", ["ground", "excited"])
def test_side_hamiltonians_equal_plain_second_quantisation(built, kind):
    side = getattr(built, kind)
    dets, plain = plain_side(side)
    labels = list(side.dims)
    assert labels
    for lab in labels:
        rows = _label_rows(side, dets, lab)
        # the states of the label are the determinants of its class, in each configuration
        for c, r in enumerate(rows):
            np.testing.assert_array_equal(side.irreps[c][lab].basis.dets,
                                          np.concatenate(dets)[r])
        idx = np.concatenate(rows)
        h = side_hamiltonian(side, lab)
        # the excited side drops what the writer drops (below 1e-9)
        np.testing.assert_allclose(h, plain[np.ix_(idx, idx)], rtol=0,
                                   atol=1e-12 if kind == "ground" else 1e-9)
    if kind == "ground":  # every class of the ground configurations is a ground symmetry
        assert sum(len(np.concatenate(_label_rows(side, dets, lab))) for lab in labels) == len(plain)


def test_dipole_blocks_equal_plain_second_quantisation(built):
    model = built.model
    gdets, _ = plain_side(built.ground)
    edets, _ = plain_side(built.excited)
    every = np.concatenate(gdets + edets)
    ng = sum(len(d) for d in gdets)
    orb = model.orbitals()
    chosen = [g.label for g in built.ground_symmetries]
    assert len(chosen) >= 2  # the window holds several Zeeman levels
    seen = 0
    for g in chosen:
        grows = _label_rows(built.ground, gdets, g)
        for part, q in DIPOLE_PARTS.items():
            d = plain_matrix(atomic.dipole(orb.shell("valence"), orb.shell("core"), q), every)
            triads = [t for t in built.triads if (t.ground, t.op) == (g, part)]
            assert len(triads) <= 1
            for e in built.excited.dims:
                erows = [ng + r for r in _label_rows(built.excited, edets, e)]
                expected = [d[np.ix_(er, gr)].T for gr, er in zip(grows, erows)]
                if not any(np.abs(x).max(initial=0.0) > 1e-9 for x in expected):
                    assert all(t.excited != e for t in triads)
                    continue
                # a part that reaches a class has its triad, with every configuration's block
                assert [t.excited for t in triads] == [e]
                for c, x in enumerate(expected):
                    np.testing.assert_allclose(built.transitions[(g, part, e, c)].toarray(), x,
                                               rtol=0, atol=1e-9)
                    seen += 1
    assert seen == 2 * 3 * len(chosen)


def test_diagonal_is_the_matrix_diagonal_bit_for_bit():
    """The field path's configuration averages come from Operator.diagonal, which must give
    the very numbers of the matrix's diagonal (and its sum the trace), else every written
    Hamiltonian block changes in its last bits."""
    from morvex7.ion.crystalfield import field_operators
    from morvex7.ion.determinants import Operator, Orbitals, configuration_dets
    from morvex7.ion.fields import exchange, zeeman

    orb = Orbitals.of([("core", 1), ("valence", 2), ("ligand", 2)])
    c, v = orb.shell("core"), orb.shell("valence")
    ops = [atomic.coulomb(v, v, 2), atomic.coulomb(c, v, 1, "G"), atomic.coulomb(c, v, 2, "F"),
           atomic.spin_orbit(v), zeeman(orb), exchange(orb), field_operators("D4h", v)["Ds"],
           Operator({((7, True), (12, True), (7, False), (12, False)): 0.3})]
    for occ in [(5, 4, 9), (6, 3, 8)]:
        basis = configuration_dets(orb, occ)
        for op in ops:
            d = op.diagonal(basis)
            np.testing.assert_array_equal(d, op.diagonal_part().matrix(basis, basis).diagonal())
            assert float(d.sum()) == op.trace(basis)
