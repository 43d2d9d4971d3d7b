"""Blocks held as pieces and written sparse: the pieces assemble to the block they stand for,
the common phase is that of the whole block's largest element, and a sparse block is written
element for element as the same block held dense, whatever the row bands it is cut into."""
from __future__ import annotations

import numpy as np
import pytest
import scipy.sparse as sp

from morvex7.ion import blocks, recoupling, writer
from morvex7.ion.pointsymmetry import _real
from morvex7.ion.recoupling import parts_matrix


def pieces(rng: np.random.Generator, complex_: bool = False):
    """Random pieces on a grid of row and column groups (some pairs empty), and the dense
    block they make."""
    heights, widths = [3, 1, 4, 2], [2, 5, 1, 3]
    r0s, c0s = np.cumsum([0] + heights[:-1]), np.cumsum([0] + widths[:-1])
    dense = np.zeros((sum(heights), sum(widths)), dtype=complex if complex_ else float)
    parts = {}
    for r0, h in zip(r0s, heights):
        for c0, w in zip(c0s, widths):
            if rng.random() < 0.4:
                continue
            sub = rng.standard_normal((h, w)) * (rng.random((h, w)) < 0.7)
            if complex_:
                sub = sub * np.exp(0.7j)
            parts[(int(r0), int(c0))] = sub
            dense[r0:r0 + h, c0:c0 + w] = sub
    return parts, dense


@pytest.mark.parametrize("seed, chunk", [(0, 1 << 20), (1, 1), (2, 5), (3, 11)])
def test_pieces_assemble_to_the_dense_block(monkeypatch, seed, chunk):
    monkeypatch.setattr(recoupling, "PARTS_CHUNK", chunk)
    parts, dense = pieces(np.random.default_rng(seed))
    m = parts_matrix(dict(parts), dense.shape)
    assert m.has_canonical_format
    assert np.array_equal(m.toarray(), dense)
    assert m.nnz == np.count_nonzero(dense)


@pytest.mark.parametrize("seed, chunk", [(4, 1 << 20), (5, 1), (6, 4)])
def test_pieces_without_noise_as_compact_makes_them(monkeypatch, seed, chunk):
    """With the writer's scale, the pieces give the CSR that compact makes of the dense block
    (the writer's noise test on each element), array for array: bands kept whole, bands with
    elements dropped, rows left empty, a piece of zeros, a piece of no columns."""
    monkeypatch.setattr(recoupling, "PARTS_CHUNK", chunk)
    parts, dense = pieces(np.random.default_rng(seed))
    scale = 7.0
    noise = blocks.NOISE / scale
    parts[(0, 0)] = np.full((3, 2), 1.5)                  # dense: every element kept
    parts[(3, 0)] = np.array([[0.9 * noise, -noise]])     # one dropped, one kept (>=)
    parts[(4, 2)] = np.zeros((4, 5))                      # a piece of zeros
    parts[(8, 11)] = np.zeros((2, 0))                     # no columns (the last one)
    parts[(8, 0)] = np.array([[0.0, 0.5 * noise], [-0.5 * noise, 0.0]])  # a row all noise
    for (r0, c0), sub in parts.items():
        dense[r0:r0 + sub.shape[0], c0:c0 + sub.shape[1]] = sub
    got = parts_matrix(dict(parts), dense.shape, scale)
    want = blocks.compact(sp.csr_matrix(dense), scale)
    assert got.has_canonical_format and got.nnz == want.nnz
    for u, v in ((got.data, want.data), (got.indices, want.indices),
                 (got.indptr, want.indptr)):
        assert np.array_equal(u, v)
    assert got.indices.dtype == np.int32 and np.array_equal(got.toarray(), want.toarray())
    assert got[3, 0:2].nnz == 1 and got[8:10, 0:2].nnz == 0 and got[4:8, 2:7].nnz == 0


@pytest.mark.parametrize("shape", [(0, 0), (0, 4), (3, 0), (5, 6)])
def test_a_block_without_pieces_or_elements(shape):
    """No pieces, or pieces of zeros only: an empty canonical matrix of the block's shape,
    which compact and the writer take as a block with nothing to store."""
    parts = {} if 0 in shape else {(0, 0): np.zeros((2, 6)), (2, 1): np.zeros((3, 2))}
    for scale in (None, 2.0):
        m = parts_matrix(dict(parts), shape, scale)
        assert m.shape == shape and m.nnz == 0 and m.has_canonical_format
        assert len(m.indptr) == shape[0] + 1 and not m.indptr.any()
        assert blocks.compact(m, scale).nnz == 0
        assert writer.Section().store("k", m, 3.0) == 0


def test_compact_holds_a_sparse_block_tight():
    """A sum leaves scipy's buffers larger than the elements: compact holds exactly the
    elements (canonical, the noise dropped), and keeps a block already tight as it is."""
    rng = np.random.default_rng(9)
    a = sp.random(40, 30, density=0.3, random_state=1, format="csr")
    b = sp.random(40, 30, density=0.3, random_state=2, format="csr")
    total = a + b
    total.data[rng.random(total.nnz) < 0.1] = 1e-13
    for scale in (None, 10.0):
        m = blocks.compact(total, scale)
        dense = total.toarray()
        if scale is not None:
            dense[np.abs(scale * dense) < blocks.NOISE] = 0.0
        assert np.array_equal(m.toarray(), dense) and m.has_canonical_format
        assert len(m.data) == len(m.indices) == m.nnz == np.count_nonzero(dense)
    tight = blocks.compact(total, 10.0)
    again = blocks.compact(tight, 10.0)
    assert np.shares_memory(again.data, tight.data)  # not copied again


def test_common_phase_is_that_of_the_first_largest_element():
    """Two elements of exactly the same size (a Pythagorean triple) whose phases differ by
    6e-8 (pi apart besides): the first in row order sets the phase, as over the whole block,
    so every bit is the whole block's."""
    k = 2.0**25
    big = k * k + 1.0                          # |(k^2 - 1) + 2k i| exactly
    a = np.array([[0.5 * big, 0.0], [0.0, 0.0]], dtype=complex)
    b = np.array([[big, 1.0]], dtype=complex)
    c = np.array([[-(k * k - 1.0) - 2.0 * k * 1j], [0.0]])
    assert abs(c[0, 0]) == abs(b[0, 0])
    parts = {(2, 0): b, (0, 2): c, (0, 0): a}   # c lies in row 0: first in row order
    got = _real(dict(parts), 1.0, (3, 3), "test").toarray()
    whole = np.zeros((3, 3), dtype=complex)
    whole[2:3, 0:2], whole[0:2, 2:3], whole[0:2, 0:2] = b, c, a
    phase = np.angle(whole.flat[np.argmax(np.abs(whole))]) % np.pi
    assert np.array_equal(got, (whole * np.exp(-1j * phase)).real)
    other = (whole * np.exp(-1j * (np.angle(b[0, 0]) % np.pi))).real
    assert not np.array_equal(got, other)   # the tie is a real choice
    with pytest.raises(RuntimeError, match="not real"):
        _real({(0, 0): np.array([[1.0, 1j]])}, 1.0, (1, 2), "test")


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_transposed_real_block_is_the_transpose_bit_for_bit(monkeypatch, seed):
    """Made as its transpose (the transition blocks are stored ground by excited), the real
    block holds every bit of the transpose of the one made the other way, and the pieces are
    used up either way; a block of noise alone is empty in the transposed shape."""
    monkeypatch.setattr(recoupling, "PARTS_CHUNK", 4)  # a few rows per band
    parts, dense = pieces(np.random.default_rng(seed), complex_=True)
    straight, flipped = dict(parts), dict(parts)
    a = _real(straight, np.sqrt(3.0), dense.shape, "test")
    b = _real(flipped, np.sqrt(3.0), dense.shape, "test", transposed=True)
    assert not straight and not flipped
    assert b.shape == dense.shape[::-1] and b.has_canonical_format
    assert np.array_equal(b.toarray(), a.toarray().T)
    assert np.array_equal(b.indices, a.T.tocsr().indices)
    phase = np.angle(np.sqrt(3.0) * dense.flat[np.argmax(np.abs(dense))]) % np.pi
    assert np.allclose(b.toarray(), (np.sqrt(3.0) * dense * np.exp(-1j * phase)).real.T)
    tiny = _real({(0, 0): np.full((2, 3), 1e-14 + 0j)}, 1.0, (2, 3), "test", transposed=True)
    assert tiny.shape == (3, 2) and tiny.nnz == 0


def test_joined_is_the_concatenation_and_lets_the_parts_go():
    parts = [np.arange(3.0), np.zeros(0), np.arange(5.0) + 10]
    want = np.concatenate(parts)
    got = recoupling.joined(parts)
    assert not parts and got.dtype == want.dtype and np.array_equal(got, want)


@pytest.mark.parametrize("chunk", [1, 3, 7, 1 << 20])
def test_sparse_block_is_written_as_the_dense_one(monkeypatch, chunk):
    """Duplicates, unsorted columns, noise below the writer's limit and empty rows, cut into
    row bands of ``chunk`` elements."""
    rng = np.random.default_rng(chunk)
    dense = rng.standard_normal((9, 7)) * (rng.random((9, 7)) < 0.5)
    dense[3] = 0.0
    dense[5, 2] = 1e-12
    rows, cols = np.nonzero(dense)
    vals = dense[rows, cols]
    # each element split in two halves, listed in reverse order: duplicates, columns unsorted
    m = sp.csr_matrix((np.concatenate([vals / 2, vals / 2])[::-1],
                       (np.concatenate([rows, rows])[::-1], np.concatenate([cols, cols])[::-1])),
                      shape=dense.shape)
    monkeypatch.setattr(writer, "_SPARSE_CHUNK", chunk)
    a, b = writer.Section(), writer.Section()
    a.store("k", m, 3.0)
    b.store("k", sp.csr_matrix(dense).toarray(), 3.0)
    x, y = a.matrices[0], b.matrices[0]
    assert x.shape == y.shape
    for u, v in ((x.rows, y.rows), (x.cols, y.cols), (x.values, y.values)):
        assert u.dtype == v.dtype and np.array_equal(u, v)
    assert 3 not in x.rows and not np.any((x.rows == 5) & (x.cols == 2))  # empty, noise
