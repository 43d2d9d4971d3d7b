"""Matrices stored as sums of Kronecker products of factors: assembled element by element in
4-byte reals as the engine assembles them, written and read back with whole and triangle
matrices in one section, refused when the records disagree; the builder's factored
hybridisation equals the hybridisation between states written out over determinants; a model
stored so runs to the same bytes as its text form and to the spectrum of the whole store."""
from __future__ import annotations

import shutil

import numpy as np
import pytest
import scipy.sparse as sp

from conftest import run_engine_in
from morvex7.factored import FactoredMatrix, FactorError
from morvex7.ion import o3, o3spectator
from morvex7.ion.blocks import make_sides
from morvex7.ion.build import build, write_model
from morvex7.ion.model import IonModel
from morvex7.ion.o3 import O3Symmetry, SpectatorIrrep
from morvex7.ion.symmetry import Symmetry
from morvex7.ion.spectra import combined_sticks
from morvex7.ion.storeform import convert
from morvex7.results import Run
from morvex7.store import StoreError, StoreMatrix, read_store, write_store

F4 = np.float32


def sample(threshold: float = 1e-3) -> FactoredMatrix:
    """Row blocks (a, c) = (2, 3), (1, 2); column blocks (b, d) = (3, 1), (2, 2), (1, 3).
    Block (0, 0) sums two terms, one of which cancels the other on a whole row of F; block
    (0, 1) has a factor with zeros and an element below the threshold; block (1, 2) one term;
    row block 1 x column block 0 and 1 are empty."""
    rng = np.random.default_rng(7)
    f = [rng.standard_normal((2, 3)), rng.standard_normal((3, 1)),
         np.array([[1.0, 0.0], [0.0, -2.0]]), rng.standard_normal((3, 2)),
         rng.standard_normal((1, 1)), rng.standard_normal((2, 3))]
    f[1][1, 0] = 1e-4  # times |w| < 1: below the threshold
    g2 = f[0].copy()
    g2[1] = f[0][1]  # row 1 of F: w1 F + w2 F cancels with w2 = -w1
    f.append(g2)
    terms = [(0, 0, 0, 1), (0, 0, 6, 1), (0, 1, 2, 3), (1, 2, 4, 5)]
    weights = [0.7, -0.7, 1.3, -2.1]
    # the second term must not cancel row 0 of the first: scale its row 0
    f[6][0] *= 0.5
    return FactoredMatrix((2 * 3 + 1 * 2, 3 * 1 + 2 * 2 + 1 * 3),
                          [(2, 3), (1, 2)], [(3, 1), (2, 2), (1, 3)], f,
                          np.array(terms), np.array(weights), threshold)


def assembled_by_hand(m: FactoredMatrix) -> np.ndarray:
    """The dense matrix, each element by the documented formula, one 4-byte operation at a
    time (a loop over the elements, not numpy's Kronecker product)."""
    out = np.zeros(m.shape, dtype=F4)
    seen = np.zeros(m.shape, dtype=bool)
    r0 = np.r_[0, np.cumsum(m.row_blocks.prod(axis=1))]
    c0 = np.r_[0, np.cumsum(m.col_blocks.prod(axis=1))]
    for t, (bi, bj, f, g) in enumerate(m.terms):
        a, c = m.row_blocks[bi]
        b, d = m.col_blocks[bj]
        for i in range(a):
            for k in range(c):
                for j in range(b):
                    for l in range(d):
                        r, col = r0[bi] + i * c + k, c0[bj] + j * d + l
                        p = F4(F4(m.weights[t] * m.factors[f][i, j]) * m.factors[g][k, l])
                        out[r, col] = F4(out[r, col] + p) if seen[r, col] else p
                        seen[r, col] = True
    out[np.abs(out) < m.threshold] = 0.0
    return out


def test_assembly_is_the_engine_arithmetic_and_drops_zeros_and_noise():
    m = sample()
    rows, cols, values = m.elements()
    want = assembled_by_hand(m)
    got = np.zeros(m.shape, dtype=F4)
    got[rows, cols] = values
    np.testing.assert_array_equal(got.view(np.int32), want.view(np.int32))  # bit for bit
    assert np.all(np.diff(rows) >= 0) and np.all((np.diff(cols) > 0) | (np.diff(rows) > 0))
    assert len(values) == m.count == np.count_nonzero(want)
    # the cancelled row (row 1 of F in block (0, 0): matrix rows 3-5, columns 0-2) is absent
    assert not got[3:6, 0:3].any() and got[0:3, 0:3].any()
    assert sample(threshold=0.0).count > m.count  # the threshold dropped some
    dense = sum(w * np.kron(m.factors[f].astype(float), m.factors[g])
                for (bi, bj, f, g), w in zip(m.terms[:2], m.weights[:2].astype(float)))
    np.testing.assert_allclose(got[0:6, 0:3], np.where(np.abs(dense) < 1e-3, 0, dense),
                               atol=1e-6)
    assert m.largest == pytest.approx(float(np.abs(want).max()))


def test_a_section_mixing_whole_triangle_and_factored_matrices_reads_back(tmp_path):
    m = sample()
    whole = StoreMatrix((2, 3), np.array([0, 1]), np.array([2, 0]), np.array([1, -2], F4))
    tri = StoreMatrix((2, 2), np.array([0, 0, 1, 1]), np.array([0, 1, 0, 1]),
                      np.array([1, 2, 2, 3], F4))
    path = tmp_path / "FTN99"
    write_store(path, [[whole, m, tri], [m]])
    data = path.read_bytes()
    assert np.frombuffer(data, "<i4", 6, 20).tolist() == [2, 2, m.count, -8, -4, 2]
    back = read_store(path)
    assert [len(s) for s in back] == [3, 1]
    for got in (back[0][1], back[1][0]):
        assert got.shape == m.shape
        for x, y in zip(got.elements(), m.elements()):
            np.testing.assert_array_equal(x, y)
    np.testing.assert_array_equal(back[0][2].values, tri.values)
    np.testing.assert_array_equal(back[0][0].cols, whole.cols)


def test_factored_records_that_disagree_are_refused(tmp_path):
    m = sample()
    path = tmp_path / "FTN99"

    def damaged(**change) -> FactoredMatrix:
        fields = dict(shape=m.shape, row_blocks=m.row_blocks, col_blocks=m.col_blocks,
                      factors=m.factors, terms=m.terms, weights=m.weights,
                      threshold=m.threshold)
        fields.update(change)
        return FactoredMatrix(**fields)

    for why, change in {
        "do not add up": dict(row_blocks=[(2, 3), (1, 3)]),
        "order of their blocks": dict(terms=m.terms[[0, 2, 1, 3]], weights=m.weights[[0, 2, 1, 3]]),
        "shape": dict(terms=np.array([(0, 0, 1, 0), (0, 0, 6, 1), (0, 1, 2, 3), (1, 2, 4, 5)])),
        "does not have": dict(terms=np.array([(0, 0, 0, 1), (0, 0, 6, 1), (0, 1, 2, 3),
                                               (1, 3, 4, 5)])),
        "NaN": dict(weights=np.array([0.7, np.nan, 1.3, -2.1])),
        "negative": dict(threshold=-1.0),
    }.items():
        with pytest.raises(FactorError, match=why):
            damaged(**change)

    # the file: a count that is not what the factors assemble to, a record cut short
    write_store(path, [[m]])
    good = bytearray(path.read_bytes())
    header, count = 4, 20
    bad = bytearray(good)
    bad[header:header + 4] = np.array([m.count + 1], "<i4").tobytes()
    bad[count:count + 4] = np.array([m.count + 1], "<i4").tobytes()
    path.write_bytes(bytes(bad))
    with pytest.raises(StoreError, match=f"assembles to {m.count} elements, its count says"):
        read_store(path)
    bad = bytearray(good)
    bad[count + 4:count + 8] = np.array([-7], "<i4").tobytes()  # 7 rows: blocks hold 8
    path.write_bytes(bytes(bad))
    with pytest.raises(StoreError, match="stored as factors: its blocks do not add up"):
        read_store(path)
    path.write_bytes(bytes(good[:-10]))
    with pytest.raises(StoreError, match="cut short"):
        read_store(path)

    # 40 kB of zero factors over a 5000 x 5000 block: 25 million positions for no element are
    # refused before anything is assembled (the builder's matrices have about two per element)
    zeros = FactoredMatrix((5000, 5000), [(50, 100)], [(100, 50)],
                           [np.zeros((50, 100)), np.zeros((100, 50))], np.array([(0, 0, 0, 1)]),
                           np.array([1.0]), 0.0)
    write_store(path, [[zeros]])
    with pytest.raises(StoreError, match="hold 25000000 positions for its 0 elements"):
        read_store(path)


G = {"F2vv": 9.0, "F4vv": 5.6, "zeta_v": 0.07}
E = {**G, "zeta_c": 8.0, "F2cv": 5.0, "G1cv": 3.7, "G3cv": 2.1}
CT = {"Delta": 2.5, "U": 5.0, "Q": 6.5, "V": 1.8}


def test_factored_hybridisation_equals_the_blocks_between_the_states(monkeypatch):
    """3d⁶ with charge transfer, every configuration with an open ligand and valence shell
    coupled from its factors and every hybridisation between two of them kept as factors:
    assembled, it is the hybridisation between the states written out over determinants
    (times the writer's scale), to 4-byte precision."""
    monkeypatch.setattr(o3, "SPECTATOR_DETERMINANTS", 0)
    monkeypatch.setattr(o3spectator, "FACTORED_ELEMENTS", 0)
    model = IonModel(valence="3d", electrons=6, core="2p", ground=G, excited=E,
                     charge_transfer=CT)
    sym = O3Symmetry()
    checked = 0
    for side in make_sides(model):
        labels = sorted(set().union(*[sym.multiplicities(c) for c in side.configs]))
        irreps = [sym.adapt(c, labels) for c in side.configs]
        hop = side.mixing[0].op
        for lab in labels:
            bra, ket = irreps[1][lab], irreps[2][lab]
            if not (isinstance(bra, SpectatorIrrep) and isinstance(ket, SpectatorIrrep)) \
                    or bra.mult == 0 or ket.mult == 0:
                continue
            scale = 3.0
            got = sym.mixing_block(bra, hop, ket, scale)
            assert isinstance(got, FactoredMatrix) and got.scale == scale
            want = scale * Symmetry.scalar_block(sym, bra, hop, ket)
            rows, cols, values = got.elements()
            dense = sp.csr_matrix((values.astype(float), (rows, cols)), shape=got.shape)
            np.testing.assert_allclose(dense.toarray(), want, atol=2e-6 * np.abs(want).max())
            # terms that cancel leave no 4-byte residue; nothing but noise is dropped
            top = np.abs(want).max()
            assert np.count_nonzero(np.abs(want) > 1e-5 * top) <= got.count \
                <= np.count_nonzero(np.abs(want) > 1e-9)
            checked += 1
    assert checked >= 8


def spectrum(directory) -> np.ndarray:
    """The lines of a run broadened by 0.3 eV (Lorentzian half width) on a 0.05 eV grid."""
    sticks = combined_sticks(Run.load(directory), absolute=True)
    x = np.arange(sticks.energy.min() - 3, sticks.energy.max() + 3, 0.05)
    return (sticks.intensity / (1 + ((x[:, None] - sticks.energy) / 0.3) ** 2)).sum(axis=1)


def test_a_model_stored_as_factors_runs_as_its_text_and_as_the_whole_store(tmp_path, engine,
                                                                            monkeypatch):
    """Ti⁴⁺ 3d⁰ with three configurations in spherical symmetry, the hybridisation of
    2p⁵3d²L̲ and 2p⁵3d³L̲² stored as factors: the engine's files from the factors and from the
    text of the same assembled elements are the same bytes; against the model built with every
    block whole, the spectra agree to the engine's 4-byte precision."""
    desc = dict(valence="3d", electrons=0, core="2p", ground=G, excited=E, charge_transfer=CT)
    whole = write_model(build(IonModel(**desc)), tmp_path / "whole", store="binary")
    monkeypatch.setattr(o3spectator, "FACTORED_ELEMENTS", 0)
    fac = write_model(build(IonModel(**desc)), tmp_path / "factored", store="binary")
    counts = read_counts(fac / "FTN99")
    assert (counts[:, 1] < 0).any() and not (read_counts(whole / "FTN99")[:, 1] < 0).any()
    text = tmp_path / "text"
    shutil.copytree(fac, text)
    assert convert(text, "text")
    for d in (fac, text, whole):
        proc = run_engine_in(d, engine)
        assert proc.returncode == 0, proc.stderr
    assert (fac / "fort.43").read_bytes() == (text / "fort.43").read_bytes()
    # fort.44 echoes the command file, which says OLDCOWAN only for the store

    def echoed(d):
        return [ln for ln in (d / "fort.44").read_bytes().splitlines() if b"OLDCOWAN" not in ln]

    assert echoed(fac) == echoed(text)
    # the engine's 4-byte diagonalisations scatter lines by up to 1e-4 eV with any change of
    # the last bits of their input: the spectra agree to that, not bit for bit
    a, b = spectrum(fac), spectrum(whole)
    np.testing.assert_allclose(a, b, atol=3e-4 * b.max())


def read_counts(path) -> np.ndarray:
    """Record 2 of every section: (element count, row count) per matrix."""
    data = np.fromfile(path, dtype=np.uint8)
    out, pos = [], 0
    while pos < len(data):
        nmat = int(data[pos + 8:pos + 12].view("<i4")[0])
        pos += 16
        out.append(data[pos + 4:pos + 4 + 8 * nmat].view("<i4").reshape(nmat, 2))
        pos += 8 + 8 * nmat
        for elements, rows in out[-1]:
            nrec = 6 if rows < 0 else 4 if elements < 0 else 3
            for _ in range(nrec):
                size = int(data[pos:pos + 4].view("<i4")[0])
                pos += size + 8
    return np.concatenate(out)
