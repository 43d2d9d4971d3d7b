"""Symmetric blocks stored once in the binary store: written as their upper triangle only when
their 4-byte values are exactly symmetric, read back whole, refused when the triangle does not
agree with its counts, and run by the engine to the same bytes as the full store."""
from __future__ import annotations

import io
import shutil

import numpy as np
import pytest
import scipy.sparse as sp

from conftest import EXAMPLES, run_engine_in
from morvex7.ion import writer
from morvex7.ion.build import build, write_model
from morvex7.ion.model import load_description
from morvex7.ion.spool import BlockSpool
from morvex7.store import StoreError, StoreMatrix, is_symmetric, read_store, write_store


def symmetric_block(n: int = 60, seed: int = 3) -> np.ndarray:
    """A sparse symmetric matrix with empty rows, some zeros on the diagonal and values
    that are not simple fractions (float64, so the 4-byte rounding is the writer's)."""
    rng = np.random.default_rng(seed)
    a = sp.random(n, n, density=0.1, random_state=seed).toarray() * rng.standard_normal()
    a = a + a.T
    a[[4, 9]] = 0.0
    a[:, [4, 9]] = 0.0
    a[np.arange(0, n, 3), np.arange(0, n, 3)] = 0.0
    return a


def elements(a: np.ndarray) -> StoreMatrix:
    return StoreMatrix(a.shape, *writer.written_elements(a, None))


def section_counts(path) -> np.ndarray:
    """Record 2 of the first section: element and row count per matrix."""
    data = path.read_bytes()
    nmat = int(np.frombuffer(data, "<i4", 1, 8)[0])
    return np.frombuffer(data, "<i4", 2 * nmat, 16 + 4).reshape(nmat, 2)


def test_symmetric_blocks_are_stored_once_and_read_back_whole(tmp_path):
    a = symmetric_block()
    sym = elements(a)
    assert sym.triangle
    # square but not symmetric: one value a bit off, a mirror missing, and +0/-0 apart
    (i, j), (k, m) = np.argwhere(np.triu(a, 1))[:2]
    off = a.copy()
    off[i, j] = np.nextafter(np.float32(a[i, j]), np.float32(9), dtype=np.float32)
    missing = a.copy()
    missing[k, m] = 0.0
    signed = StoreMatrix((2, 2), np.array([0, 1]), np.array([1, 0]),
                         np.array([-0.0, 0.0], np.float32))
    plain = [elements(off), elements(missing), signed, elements(a[:, :50]),
             elements(np.zeros((3, 3)))]
    assert [m.triangle for m in plain] == [False] * 5
    assert is_symmetric(*elements(np.diag([1.0, 0.0, 2.0])).elements())

    write_store(tmp_path / "tri", [[plain[0], sym], [], [sym, plain[3]]])
    write_store(tmp_path / "full", [[plain[0], sym], [], [sym, plain[3]]], triangles=False)
    counts = section_counts(tmp_path / "tri")
    assert counts[1, 0] == -sym.count and counts[0, 0] == plain[0].count
    assert (section_counts(tmp_path / "full") >= 0).all()
    saved = (tmp_path / "full").stat().st_size - (tmp_path / "tri").stat().st_size
    # stored twice, each time 4 bytes an element and 1 integer a row instead of 8 and 3, in
    # four records instead of three
    assert saved == 2 * (4 * sym.count + 8 * sym.shape[0] - 8)
    for name in ("tri", "full"):
        back = read_store(tmp_path / name, [[off.shape, a.shape], [], [a.shape, (60, 50)]])
        for got, want in zip(back[0] + back[2], [plain[0], sym, sym, plain[3]]):
            assert got.shape == want.shape
            np.testing.assert_array_equal(got.rows, want.rows)
            np.testing.assert_array_equal(got.cols, want.cols)
            np.testing.assert_array_equal(got.values.view("<i4"), want.values.view("<i4"))
        # what was read back writes the same file again (a conversion keeps the store)
        write_store(tmp_path / "again", back, triangles=name == "tri")
        assert (tmp_path / "again").read_bytes() == (tmp_path / name).read_bytes()


def test_a_triangle_that_disagrees_with_its_counts_is_refused(tmp_path):
    """[[1, 2, 0], [2, 0, 3], [0, 3, 4]] as its triangle (row words 3, 2, 1: the first and
    last rows with a diagonal element, each of the first two with one right of it), damaged
    in each of the ways the engine refuses too."""
    m = StoreMatrix((3, 3), np.array([0, 0, 1, 1, 2, 2]), np.array([0, 1, 0, 2, 1, 2]),
                    np.array([1, 2, 2, 3, 3, 4], np.float32))
    path = tmp_path / "FTN99"
    write_store(path, [[m]])
    good = path.read_bytes()
    header, count, words, cols = 4, 20, 36, 72  # where the numbers of each record start
    assert np.frombuffer(good, "<i4", 2, header).tolist() == [6, 1]
    assert np.frombuffer(good, "<i4", 2, count).tolist() == [-6, 3]
    assert np.frombuffer(good, "<i4", 3, words).tolist() == [3, 2, 1]
    assert np.frombuffer(good, "<f4", 2, words + 20).tolist() == [1, 4]
    assert np.frombuffer(good, "<i4", 2, cols).tolist() == [2, 3]
    assert np.frombuffer(good, "<f4", 2, cols + 16).tolist() == [2, 3]

    def patched(*changes: tuple[int, list[int]]) -> bytes:
        b = bytearray(good)
        for at, values in changes:
            b[at:at + 4 * len(values)] = np.array(values, "<i4").tobytes()
        return bytes(b)

    faults = {
        "do not add up": patched((count, [-7])),
        "expands to 6 elements, its count says 5": patched((header, [5]), (count, [-5])),
        "more elements right of the diagonal": patched((words, [3, 4, 1])),
        "or fewer than none": patched((words, [3, 2, -1])),
        "do not ascend": patched((cols, [2, 2])),
        "do not ascend ": patched((cols, [1, 3])),      # on the diagonal
        "do not ascend  ": patched((cols, [2, 4])),     # beyond the last column
        "the diagonal .* is a record of 8 bytes at byte 52, 0 expected":
            patched((words, [4, 2, 0])),
    }
    for why, data in faults.items():
        path.write_bytes(data)
        with pytest.raises(StoreError, match=f"{path}.*{why.strip()}"):
            read_store(path)


def test_a_spooled_symmetric_block_is_kept_as_its_triangle(tmp_path, monkeypatch):
    """Spooled a few rows at a time, a symmetric block keeps only its upper triangle in the
    spool and copies the records of the same block held in memory; read back, it is whole."""
    monkeypatch.setattr(writer, "_SPARSE_CHUNK", 32)
    a = symmetric_block()
    with BlockSpool(tmp_path) as spool:
        for block, scale in ((sp.csr_matrix(a), 2.0), (a, None), (sp.csr_matrix(a[:, :59]), 1.0)):
            held = StoreMatrix(block.shape, *writer.written_elements(block, scale))
            spooled = spool.put(block, scale)
            assert spooled.triangle == held.triangle == (block.shape[0] == block.shape[1])
            assert spooled.count == held.count
            for x, y in zip(spooled.elements(), held.elements()):
                np.testing.assert_array_equal(x, y)
            one, two = io.BytesIO(), io.BytesIO()
            spooled.write_records(one)
            held.write_records(two)
            assert one.getvalue() == two.getvalue()
            s, t = writer.Section(), writer.Section()
            s.store("k", spooled, scale)
            t.store("k", block, scale)
            assert s.text(1) == t.text(1)  # the text holds the whole block


def test_engine_gives_the_same_bytes_from_triangles_as_from_full_blocks(tmp_path, engine):
    """A charge-transfer model in its binary store with symmetric blocks stored once, and the
    same store with every block whole: every file of the two runs is the same, byte for byte."""
    built = build(load_description(EXAMPLES / "ni2_oh_charge_transfer" / "model.toml"))
    tri = write_model(built, tmp_path / "tri", store="binary")
    full = tmp_path / "full"
    shutil.copytree(tri, full)
    write_store(full / "FTN99", read_store(tri / "FTN99"), triangles=False)
    shutil.copystat(tri / "FTN99", full / "FTN99")
    assert (section_counts_all(tri / "FTN99") < 0).any()
    assert not (section_counts_all(full / "FTN99") < 0).any()
    assert (tri / "FTN99").stat().st_size < (full / "FTN99").stat().st_size
    for d in (tri, full):
        proc = run_engine_in(d, engine)
        assert proc.returncode == 0, proc.stderr
    names = sorted(p.name for p in tri.iterdir())
    assert names == sorted(p.name for p in full.iterdir())
    assert {"fort.43", "fort.44", "log.txt"} <= set(names)
    for name in names:
        if name != "FTN99":
            assert (tri / name).read_bytes() == (full / name).read_bytes(), name


def section_counts_all(path) -> np.ndarray:
    """The element counts of every matrix of every section."""
    data = path.read_bytes()
    out, pos = [], 0
    while pos < len(data):
        nmat = int(np.frombuffer(data, "<i4", 1, pos + 8)[0])
        pos += 16
        counts = np.frombuffer(data, "<i4", 2 * nmat, pos + 4).reshape(nmat, 2)
        out.append(counts[:, 0])
        pos += 8 + 8 * nmat
        for _ in range(3 * nmat + int((counts[:, 0] < 0).sum())):  # a triangle has 4 records
            pos += 8 + int(np.frombuffer(data, "<i4", 1, pos)[0])
    return np.concatenate(out)
