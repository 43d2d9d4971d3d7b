"""Blocks written to disk as they are made: the files are the bytes the writer makes from blocks
held in memory, and a build or write that fails on the way leaves no trace."""
from __future__ import annotations

import importlib
import io
import os

import numpy as np
import pytest
import scipy.sparse as sp

from morvex7.ion import writer
from morvex7.ion.model import model_from_dict
from morvex7.ion.spool import BlockSpool, SpooledBlock
from morvex7.store import StoreMatrix, read_store, write_store

ion_build = importlib.import_module("morvex7.ion.build")  # the package names a function build

#: charge transfer in D4h: sparse hybridisation blocks, several triads, three configurations
CT_D4H = {"valence": "3d", "electrons": 9, "core": "2p", "symmetry": "D4h",
          "ground": {"F2vv": 9.0, "F4vv": 5.6, "zeta_v": 0.05, "Dq": 0.12, "Ds": 0.1,
                     "Dt": 0.02},
          "excited": {"F2vv": 9.0, "F4vv": 5.6, "zeta_v": 0.05, "zeta_c": 6.8, "F2cv": 5.0,
                      "G1cv": 3.7, "G3cv": 2.1, "Dq": 0.12, "Ds": 0.1, "Dt": 0.02},
          "charge_transfer": {"Delta": 3.0, "U": 6.0, "Q": 7.0, "V": 2.0}}
#: the same in Oh with eight electrons: dense blocks among the sparse ones
CT_OH = {**CT_D4H, "electrons": 8, "symmetry": "Oh",
         "ground": {"F2vv": 9.0, "F4vv": 5.6, "zeta_v": 0.05, "10Dq": 1.2},
         "excited": {"F2vv": 9.0, "F4vv": 5.6, "zeta_v": 0.05, "zeta_c": 6.8, "F2cv": 5.0,
                     "G1cv": 3.7, "G3cv": 2.1, "10Dq": 1.2}}


def files(directory) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in sorted(directory.iterdir())}


@pytest.mark.parametrize("description", [CT_D4H, CT_OH], ids=["D4h", "Oh"])
def test_spooled_model_is_written_as_from_blocks_in_memory(tmp_path, description):
    """Every file, in either form of the coefficient blocks, is the same bytes whether the
    blocks were held until written or sent to disk as they were made (and no block is left in
    memory then)."""
    model = model_from_dict(description)
    held = ion_build.build(model)
    with BlockSpool(tmp_path) as spool:
        spooled = ion_build.build(model, spool=spool)
        assert os.listdir(tmp_path) == []  # the spool has no name in the directory
        side_blocks = [b for side in (spooled.ground, spooled.excited)
                       for per in side.ham + side.mix for blks in per.values() for b in blks]
        assert side_blocks and all(isinstance(b, SpooledBlock)
                                   for b in side_blocks + list(spooled.transitions.values()))
        assert spool.blocks == len(side_blocks) + len(spooled.transitions)
        for form in ("text", "binary"):
            ion_build.write_model(held, tmp_path / f"held-{form}", form)
            ion_build.write_model(spooled, tmp_path / f"spooled-{form}", form)
            assert files(tmp_path / f"spooled-{form}") == files(tmp_path / f"held-{form}")
        assert "FTN99" in files(tmp_path / "spooled-binary")
    assert ion_build.effective_targets(spooled) == ion_build.effective_targets(held)
    assert sorted(os.listdir(tmp_path)) == ["held-binary", "held-text", "spooled-binary",
                                            "spooled-text"]


def _blocks(rng):
    """Blocks the writer must sift: rounding noise, explicit zeros, duplicates, empty rows,
    a dense one, an empty one and one of noise alone."""
    noisy = sp.random(300, 200, density=0.05, random_state=1, format="coo")
    noisy.data[::7] = 1e-12                       # noise of the adaptation
    noisy.data[::11] = 0.0                        # stored zeros
    rows = np.r_[noisy.row, noisy.row[:20]]      # duplicates, summed
    cols = np.r_[noisy.col, noisy.col[:20]]
    data = np.r_[noisy.data, rng.standard_normal(20)]
    dup = sp.coo_matrix((data, (rows, cols)), shape=(300, 200))
    dense = rng.standard_normal((40, 30))
    dense[5] = 0.0
    dense[7, ::3] = 3e-10
    return [(dup, 2.0), (noisy.tocsr(), None), (dense, np.sqrt(3.0)),
            (sp.csr_matrix((0, 5)), 1.0), (sp.csr_matrix(np.full((4, 4), 1e-13)), None)]


def test_spooled_block_reads_back_and_copies_as_the_writer_stores_it(tmp_path, monkeypatch):
    """A block spooled a few rows at a time gives back the writer's elements and the store
    records of the same matrix held in memory; an empty section and an all-noise block are
    written as the writer writes them."""
    monkeypatch.setattr(writer, "_SPARSE_CHUNK", 64)  # many bands per block
    rng = np.random.default_rng(5)
    with BlockSpool(tmp_path) as spool:
        for block, scale in _blocks(rng):
            held = StoreMatrix(block.shape, *writer.written_elements(block, scale))
            spooled = spool.put(block, scale)
            assert spooled.count == held.count
            for a, b in zip(spooled.elements(), held.elements()):
                np.testing.assert_array_equal(a, b)
                assert a.dtype == b.dtype
            one, two = io.BytesIO(), io.BytesIO()
            spooled.write_records(one)
            held.write_records(two)
            assert one.getvalue() == two.getvalue()
            a, b = writer.Section(), writer.Section()
            assert a.store("k", spooled, scale) == b.store("k", block, scale)
            assert a.text(3) == b.text(3)
        # a section with nothing stored, between two that hold blocks
        block, scale = _blocks(rng)[0]
        dup = spool.put(block, scale)
        held = StoreMatrix(dup.shape, *writer.written_elements(block, scale))
        write_store(tmp_path / "a", [[dup], [], [dup, held]])
        write_store(tmp_path / "b", [[held], [], [held, held]])
        assert (tmp_path / "a").read_bytes() == (tmp_path / "b").read_bytes()
        back = read_store(tmp_path / "a")
        assert [len(s) for s in back] == [1, 0, 2]
        with pytest.raises(ValueError, match="spooled at scale"):
            writer.Section().store("k", dup, 3.0)


def test_a_failure_while_spooled_blocks_are_copied_leaves_the_directory(tmp_path,
                                                                        monkeypatch):
    """The store fails after some blocks were copied from the spool, or the build is
    interrupted while blocks are spooled: an earlier model stays whole, a new directory is
    not made, and nothing of the spool remains."""
    model = model_from_dict(CT_D4H)
    out = tmp_path / "out"
    ion_build.build_model(model, out, store="binary")
    before = files(out)
    copies = {"n": 0}
    real = SpooledBlock.write_records

    def fail_on_the_fifth(self, f):
        copies["n"] += 1
        if copies["n"] == 5:
            raise OSError(28, "No space left on device")
        real(self, f)

    monkeypatch.setattr(SpooledBlock, "write_records", fail_on_the_fifth)
    changed = model_from_dict({**CT_D4H, "ground": {**CT_D4H["ground"], "Ds": 0.2}})
    with pytest.raises(OSError, match="No space"):
        ion_build.build_model(changed, out, force=True, store="binary")
    assert copies["n"] == 5 and files(out) == before
    copies["n"] = 0
    with pytest.raises(OSError, match="No space"):
        ion_build.build_model(changed, tmp_path / "fresh", store="binary")
    assert sorted(os.listdir(tmp_path)) == ["out"]
    monkeypatch.undo()

    puts = {"n": 0}
    real_put = BlockSpool.put

    def interrupted(self, block, scale):
        puts["n"] += 1
        if puts["n"] == 30:
            raise KeyboardInterrupt
        return real_put(self, block, scale)

    monkeypatch.setattr(BlockSpool, "put", interrupted)
    with pytest.raises(KeyboardInterrupt):
        ion_build.build_model(changed, out, force=True)
    assert files(out) == before and sorted(os.listdir(tmp_path)) == ["out"]
