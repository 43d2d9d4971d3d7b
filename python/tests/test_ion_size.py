"""The builder's size estimate, its refusal of models beyond the machine, the sparse ground-state
search of many band levels, and the work array --run passes to the engine."""
from __future__ import annotations

import io
import json
import re
import stat
from pathlib import Path

import numpy as np
import pytest

import importlib
from morvex7.ion import cli
from morvex7.ion.blocks import side_hamiltonian
from morvex7.ion.build import build, make_symmetry, write_model
from morvex7.ion.determinants import Orbitals, configuration_dets, two_m_of
from morvex7.ion.estimate import estimate, shell_two_m_counts
from morvex7.ion.model import IonModel

GROUND = {"F2vv": 9.0, "F4vv": 5.6, "zeta_v": 0.05}
EXCITED = {**GROUND, "zeta_c": 6.8, "F2cv": 5.0, "G1cv": 3.7, "G3cv": 2.1}


def ct_model(n: int, symmetry: str, levels: int = 1, **extra) -> IonModel:
    field = {"Oh": {"10Dq": 1.2}, "D4h": {"Dq": 0.12, "Ds": 0.1, "Dt": 0.02}}.get(symmetry, {})
    ct = {"Delta": 3.0, "U": 6.0, "Q": 7.0, "V": 2.0}
    if levels > 1:
        ct.update(levels=[levels, levels], width=2.0)
    return IonModel(valence="3d", electrons=n, core="2p", ground={**GROUND, **field},
                    excited=dict(EXCITED), charge_transfer=ct, symmetry=symmetry, **extra)


@pytest.mark.parametrize("l, n", [(2, 0), (2, 4), (3, 3), (1, 5)])
def test_shell_m_counts_match_the_enumerated_determinants(l, n):
    orb = Orbitals.of([("v", l)])
    tm = two_m_of(orb, configuration_dets(orb, (n,)).dets)
    values, counts = np.unique(tm, return_counts=True)
    assert shell_two_m_counts(l, n) == dict(zip(values.tolist(), counts.tolist()))


@pytest.mark.parametrize("symmetry", ["O3", "Oh"])
def test_estimate_counts_what_is_built(symmetry, tmp_path):
    """Determinants and block dimensions are counted exactly; the byte estimates of a
    point-group model agree with the built FTN14 within 10 %."""
    model = ct_model(7, symmetry)
    sym = make_symmetry(symmetry)
    built = build(model, sym)
    est = estimate(model, sym, triads=[(t.ground, t.excited) for t in built.triads])
    for side, key in ((built.ground, "ground"), (built.excited, "excited")):
        assert [d for _, d in est.configs[key]] == [
            len(configuration_dets(c.orbitals, c.occupations)) for c in side.configs]
        for lab in side.labels():
            assert est.mults[key][lab] == [side.mult(c, lab) for c in range(len(side.configs))]
    # the upper bound before the ground state is known covers every label built
    first = estimate(model, sym)
    assert set(built.excited.labels()) <= set(first.mults["excited"])
    if symmetry == "Oh":
        write_model(built, tmp_path)
        assert est.ftn14_bytes == pytest.approx((tmp_path / "FTN14").stat().st_size, rel=0.10)


def test_beyond_the_machine_is_refused_before_building(tmp_path, monkeypatch, capsys):
    """N2 = N3 = 100 (allowed by the description) needs a work array past the engine's limit:
    refused with the estimate, before anything is built or written; --force builds anyway."""
    desc = tmp_path / "big.json"
    m = {"valence": "3d", "electrons": 8, "core": "2p", "symmetry": "Oh",
         "ground": {"F2vv": 9.0, "10Dq": 1.0}, "excited": {"zeta_c": 11.5},
         "charge_transfer": {"Delta": 4.0, "U": 7.0, "Q": 8.5, "V": 2.0, "levels": [100, 100],
                             "width": 2.0}}
    desc.write_text(json.dumps(m))

    def no_build(*a, **k):
        raise AssertionError("built although refused")

    monkeypatch.setattr(cli, "build", no_build)
    assert cli.main([str(desc), "-o", str(tmp_path / "out")]) == 2
    out = capsys.readouterr()
    assert "too large for this machine" in out.err and "--force" in out.err
    assert re.search(r"work array of about \d+ cells", out.err)
    assert "Hamiltonian 61206" in out.out            # 6 + 100 (12 + 100 x 6) states of T2G
    assert not (tmp_path / "out").exists()
    # a machine of 1 MB refuses even a small model; a large machine takes it
    small = estimate(ct_model(8, "Oh"), make_symmetry("Oh"))
    assert small.problems(memory=1e6) and not small.problems(memory=64e9)


def test_sparse_ground_search_agrees_with_dense(monkeypatch):
    """Many band levels: the sparse matrix equals the dense one, and the sparse search finds
    the same lowest states as a dense diagonalisation."""
    model = ct_model(8, "Oh", levels=6)
    built = build(model)
    n2, n3 = model.levels
    for g in built.ground_symmetries:
        dense = side_hamiltonian(built.ground, g.label, n2, n3, model.width)
        sparse = side_hamiltonian(built.ground, g.label, n2, n3, model.width, sparse=True)
        assert np.abs(sparse.toarray() - dense).max() == 0.0
    monkeypatch.setattr(importlib.import_module("morvex7.ion.build"), "DENSE_GROUND", 10)
    again = build(model)
    for a, b in zip(built.ground_symmetries, again.ground_symmetries):
        assert a.label == b.label
        assert np.allclose(a.energies, b.energies, atol=1e-8)


def fake_engine(tmp_path: Path, needs: int) -> Path:
    """An engine stand-in that records its arguments and stops like the engine when given a
    work array smaller than ``needs`` cells."""
    exe = tmp_path / "fake-morvex7"
    exe.write_text(f"""#!/bin/sh
echo "$@" >> args.txt
cells=10000000
[ "$1" = "--work-array" ] && cells=$2
if [ "$cells" -lt {needs} ]; then
  echo "STOP Increase dimension. See output." >&2
  echo "morvex7: the work array of $cells cells is too small: run with --work-array {needs} or more" >&2
  exit 1
fi
echo " STOP Normal end" >&2
""")
    exe.chmod(exe.stat().st_mode | stat.S_IEXEC)
    return exe


def test_run_passes_the_work_array_and_retries_once(tmp_path, monkeypatch):
    run = tmp_path / "run"
    run.mkdir()
    monkeypatch.setenv("MORVEX7", str(fake_engine(tmp_path, 30_000_000)))
    (run / "model.json").write_text(json.dumps({"work_array": 40_000_000}))
    assert cli.run_engine(run, quiet=True) == 0
    assert (run / "args.txt").read_text().split() == ["--work-array", "40000000"]
    # an estimate too small: the engine names the size, the second run has it
    (run / "args.txt").unlink()
    (run / "model.json").write_text(json.dumps({"work_array": 12_000_000}))
    assert cli.run_engine(run, quiet=True) == 0
    calls = (run / "args.txt").read_text().splitlines()
    assert calls[0] == "--work-array 12000000" and calls[1] == "--work-array 36000000"


def test_progress_only_on_a_terminal():
    class Tty(io.StringIO):
        def isatty(self) -> bool:
            return True

    quiet, tty = io.StringIO(), Tty()
    for stream in (quiet, tty):
        p = cli.Progress(stream)
        p("excited 2p5 3d8 L2: operator F2vv")
        p.done()
    assert quiet.getvalue() == ""
    assert "operator F2vv" in tty.getvalue()


def _rows_by_number(m: np.ndarray) -> str:
    """The stored rows written one number at a time: " row count  col value ...", four
    pairs to a line, each value "%.9g" of its 4-byte real."""
    out = []
    for i, row in enumerate(np.float32(m)):
        cols = np.flatnonzero(row)
        if not len(cols):
            continue
        pairs = [f"{c + 1} {float(row[c]):.9g}" for c in cols]
        lines = ["  ".join(pairs[j:j + 4]) for j in range(0, len(pairs), 4)]
        out.append(f" {i + 1} {len(cols)}  " + "\n   ".join(lines) + "\n")
    return "".join(out)


@pytest.mark.parametrize("chunk", [1, 5, 10**6])
def test_coefficient_text_formats_whole_rows_as_one_number_at_a_time(chunk, monkeypatch):
    """FTN14 rows formatted many at a time (in runs of rows of at most `chunk` numbers) are
    the same bytes as formatting every number alone; rows of 0 to 9 elements (full and part
    lines), values from 1e-8 to 1e6 of both signs, rounding noise below 1e-9 dropped."""
    from morvex7.ion import writer

    monkeypatch.setattr(writer, "_CHUNK", chunk)
    rng = np.random.default_rng(7)
    m = rng.standard_normal((40, 9)) * 10.0 ** rng.integers(-8, 7, (40, 9))
    for i in range(40):
        m[i, rng.permutation(9)[: i % 10]] = 0.0
    m[3, 2] = 3e-10
    sec = writer.Section()
    assert sec.store(("a",), m) == 1 and sec.store(("a",), m) == 1
    assert sec.store(("zero",), np.full((3, 3), 1e-10)) == 0
    clean = np.where(np.abs(m) < 1e-9, 0.0, m)
    want = (" coupling blocks of configuration pair 2\n"
            f"RME  MATRIX 1 IN SECTION 2   40 9 {np.count_nonzero(np.float32(clean))}\n"
            + _rows_by_number(clean) + " FINISHED\n")
    assert sec.text(2) == want


@pytest.mark.parametrize("parent", ["O3", "Oh", "D3d"])
def test_field_sector_sizes_are_the_states_of_each_jz_class(parent):
    """In a field along z the builder expands each label over the determinants of its class of
    Jz; the estimate counts them from the shells' M counts, the symmetry by enumeration."""
    from morvex7.ion.fieldsymmetry import FieldSymmetry
    from morvex7.ion.estimate import sector_size
    from morvex7.ion.symmetry import Configuration

    sym = FieldSymmetry(parent)
    orb = Orbitals.of([("core", 1), ("valence", 2)])
    for occ in [(6, 7), (5, 8)]:
        config = Configuration("c", orb, occ)
        mults = sym.multiplicities(config)
        assert sum(m for m, _ in mults.values()) == len(configuration_dets(orb, occ).dets)
        for label, (mult, _) in mults.items():
            assert sector_size(sym, config, label) == mult, label


def test_blocks_held_sparse_write_the_same_files_as_dense(tmp_path, monkeypatch):
    """The core-hole side's hybridisation and the transition blocks are held sparse, without
    the rounding noise the writer drops; what is written is byte for byte what the blocks held
    as made (dense, noise and all) write."""
    import scipy.sparse as sp

    blocks_mod = importlib.import_module("morvex7.ion.blocks")
    build_mod = importlib.import_module("morvex7.ion.build")
    model = ct_model(7, "D4h")
    built = build(model)
    for lab, blks in built.excited.mix[0].items():
        dim = built.excited.dims[lab]
        for b in blks:
            assert sp.issparse(b)
            assert (np.abs(np.sqrt(dim) * b.data) >= 1e-9).all()
    assert all(sp.issparse(b) for b in built.transitions.values())
    write_model(built, tmp_path / "sparse", store="text")

    def as_made(block, scale=None):  # dense, noise and all (some are made sparse)
        return block.toarray() if sp.issparse(block) else block

    monkeypatch.setattr(blocks_mod, "compact", as_made)
    monkeypatch.setattr(build_mod, "compact", as_made)
    dense = build(model)
    assert not any(sp.issparse(b) for b in dense.excited.mix[0][lab])
    write_model(dense, tmp_path / "dense", store="text")
    for name in ("FTN14", "FTN15", "fort.50", "model.json"):
        assert (tmp_path / "sparse" / name).read_bytes() == (tmp_path / "dense" / name).read_bytes()
