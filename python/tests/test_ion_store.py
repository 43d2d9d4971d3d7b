"""The builder's binary coefficient store: the engine gives the same spectra from it as from
the text FTN14; runs, sweeps and fits of a binary-store model read the store and never write
it; a store cut short or damaged is refused with its file and fault named."""
from __future__ import annotations

import hashlib
import os
import shutil
from pathlib import Path

import numpy as np
import pytest

from conftest import EXAMPLES, run_engine_in
from morvex7.commandfile import ParameterError
from morvex7.ion.build import build, build_model, write_model
from morvex7.ion.model import load_description, model_from_dict
from morvex7.ion.outdir import check_output
from morvex7.runner import execute
from morvex7.store import (StoreError, is_binary_model, model_inputs, read_store, stub_shapes,
                           write_store)
from morvex7.sweep import input_digests, read_manifest, sweep


def digest(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


@pytest.fixture(scope="module")
def both_forms(tmp_path_factory):
    """name -> (text directory, binary directory) of two example models, each run once: a
    point-group model with charge transfer and four triads, and a spherical one."""
    out = {}
    for name in ("ni2_oh_charge_transfer", "ion_3d_l23_ct"):
        built = build(load_description(EXAMPLES / name / "model.toml"))
        root = tmp_path_factory.mktemp(name)
        out[name] = (write_model(built, root / "text", store="text"),
                     write_model(built, root / "binary", store="binary"))
    return out


@pytest.mark.parametrize("name", ["ni2_oh_charge_transfer", "ion_3d_l23_ct"])
def test_engine_gives_the_same_spectra_from_either_form(both_forms, name, engine):
    text, binary = both_forms[name]
    assert not is_binary_model(text) and is_binary_model(binary)
    assert (binary / "FTN14").stat().st_size < 2000 and not (text / "FTN99").exists()
    store = digest(binary / "FTN99")
    for d in (text, binary):
        proc = run_engine_in(d, engine)
        assert proc.returncode == 0 and "notice" not in proc.stderr, proc.stderr
    assert digest(binary / "FTN99") == store  # read, never written
    assert (text / "fort.43").read_bytes() == (binary / "fort.43").read_bytes()
    echo_t = (text / "fort.44").read_text().splitlines()
    echo_b = (binary / "fort.44").read_text().splitlines()
    # fort.44 echoes the command file: the OLDCOWAN line is the only difference
    assert [ln for ln in echo_b if ln.strip() != "OLDCOWAN"] == echo_t
    assert len(echo_b) == len(echo_t) + 1
    # the store the engine wrote from the text holds what the builder wrote (positions aside)
    ours = read_store(binary / "FTN99", stub_shapes(binary / "FTN14"))
    theirs = read_store(text / "FTN99")
    assert [len(s) for s in ours] == [len(s) for s in theirs]
    for s_ours, s_theirs in zip(ours, theirs):
        for a, b in zip(s_ours, s_theirs):
            assert a.shape[0] == b.shape[0] and a.shape[1] >= b.shape[1]
            for field in ("rows", "cols", "values"):
                np.testing.assert_array_equal(getattr(a, field), getattr(b, field))


def test_engine_without_oldcowan_leaves_the_store_alone(both_forms, tmp_path, engine):
    """The stub FTN14 holds no blocks: an engine not told OLDCOWAN stops at its end, before
    it would write the store; the package refuses such a run up front."""
    _, binary = both_forms["ni2_oh_charge_transfer"]
    run = tmp_path / "run"
    shutil.copytree(binary, run)
    text = (run / "fort.50").read_text().replace("OLDCOWAN\n", "")
    (run / "fort.50").write_text(text)
    store = digest(run / "FTN99")
    proc = run_engine_in(run, engine)
    assert proc.returncode != 0 and "unwanted end of file" in proc.stdout
    assert digest(run / "FTN99") == store
    with pytest.raises(ParameterError, match="OLDCOWAN"):
        execute(run, {}, tmp_path / "refused", engine=engine)
    assert not (tmp_path / "refused").exists()


def test_runner_links_the_store_and_never_writes_it(both_forms, tmp_path, engine):
    text, binary = both_forms["ni2_oh_charge_transfer"]
    assert model_inputs(binary) == ("FTN14", "FTN15", "FTN99")
    store = digest(binary / "FTN99")
    params = {"DEL": 3.0}
    rec_b = execute(binary, params, tmp_path / "b", engine=engine)
    rec_t = execute(text, params, tmp_path / "t", engine=engine)
    run = Path(rec_b.directory)
    assert os.path.samefile(run / "FTN99", binary / "FTN99")
    assert "notice" not in rec_b.stop_text and not (run / "stop.txt").read_text().count("notice")
    assert (run / "fort.43").read_bytes() == (Path(rec_t.directory) / "fort.43").read_bytes()
    # a second run into the same directory empties it: only the link goes
    execute(binary, params, run, engine=engine, overwrite=True)
    assert digest(binary / "FTN99") == store
    # a store written anew (a rebuild) replaces the file: the runs' links keep the old one
    rebuilt = tmp_path / "rebuilt"
    shutil.copytree(binary, rebuilt)
    linked = Path(execute(rebuilt, params, tmp_path / "r", engine=engine).directory) / "FTN99"
    write_store(rebuilt / "FTN99", read_store(rebuilt / "FTN99")[:1])
    assert digest(linked) == store and digest(rebuilt / "FTN99") != store
    # a store the user may not write is copied (the engine opens it for update)
    ro = tmp_path / "readonly"
    shutil.copytree(binary, ro)
    os.chmod(ro / "FTN99", 0o444)
    try:
        rec = execute(ro, params, tmp_path / "c", engine=engine)
        assert not os.path.samefile(Path(rec.directory) / "FTN99", ro / "FTN99")
        assert (Path(rec.directory) / "fort.43").read_bytes() == (run / "fort.43").read_bytes()
    finally:
        os.chmod(ro / "FTN99", 0o644)


def test_sweep_and_fit_of_a_binary_store_model(both_forms, tmp_path, engine, fit_client):
    from morvex7.fit import Measured, fit_spectrum
    from morvex7.results import Run

    text, binary = both_forms["ni2_oh_charge_transfer"]
    assert "FTN99" in input_digests(binary, engine) and "FTN99" not in input_digests(text, engine)
    points = [{"Delta": 3.0}, {"Delta": 5.0}]
    rows = {}
    for form, model in (("text", text), ("binary", binary)):
        result = sweep(model, points, tmp_path / form, client=fit_client, engine=engine,
                       progress=False)
        assert [r.status for r in result.points] == ["ok", "ok"]
        rows[form] = read_manifest(tmp_path / form)
    for a, b in zip(rows["text"], rows["binary"]):
        assert (tmp_path / "text" / a.directory / "fort.43").read_bytes() == \
            (tmp_path / "binary" / b.directory / "fort.43").read_bytes()
    # a fit of Delta on synthetic data made at Delta = 5
    truth = Run.load(tmp_path / "binary" / rows["binary"][1].directory)
    assert truth.triads
    from morvex7.ion.spectra import combined_sticks

    s = combined_sticks(truth)
    x = np.linspace(s.energy.min() - 3, s.energy.max() + 3, 161)
    y = sum(h * 0.4 / np.pi / ((x - c) ** 2 + 0.16) for c, h in zip(s.energy, s.intensity))
    fit = fit_spectrum(binary, Measured(x, y, np.full(x.size, 0.01 * y.max())),
                       {"Delta": 4.2}, {"lorentz": 0.8, "gauss": 0.05}, out=tmp_path / "fit",
                       client=fit_client, engine=engine, plot=False, max_nfev=40)
    assert fit.minimizer_result.params["Delta"].value == pytest.approx(5.0, abs=0.2)
    assert os.path.samefile(tmp_path / "fit" / "best" / "FTN99", binary / "FTN99")


def test_damaged_store_is_refused(both_forms, tmp_path):
    _, binary = both_forms["ni2_oh_charge_transfer"]
    good = (binary / "FTN99").read_bytes()
    shapes = stub_shapes(binary / "FTN14")
    sections = read_store(binary / "FTN99", shapes)
    assert len(sections) == len(shapes) and all(sections)
    bad = tmp_path / "FTN99"
    # cut short anywhere: inside a length mark, a record's data or its closing mark
    for cut in (2, 11, len(good) // 2, len(good) - 3):
        bad.write_bytes(good[:cut])
        with pytest.raises(StoreError, match=f"{bad}.*(cut short|framed)"):
            read_store(bad, shapes)
    # a missing section is found through the stub's list of sections
    first = _section_end(good)
    bad.write_bytes(good[:first])
    with pytest.raises(StoreError, match="stub FTN14 lists"):
        read_store(bad, shapes)

    def patched(offset: int, value, dtype="<i4") -> bytes:
        b = bytearray(good)
        b[offset:offset + 4] = np.array([value], dtype=dtype).tobytes()
        return bytes(b)

    nmat = len(sections[0])
    rec2 = 16  # record 2 of section 1 starts after record 1 (4 + 8 + 4 bytes)
    index_at = rec2 + 8 + 8 * nmat  # the row index of matrix 1
    nrow = sections[0][0].shape[0]
    cols_at = index_at + 8 + 12 * nrow
    faults = {
        "framed by": patched(12, 7),                            # record 1's closing mark
        "do not add up": patched(rec2 + 4, 10**6),              # matrix 1's element count
        "outside": patched(index_at + 4 + 8, 10**6),            # row 1's element count
        "ascend": patched(cols_at + 4, 0),                      # the first column
        "NaN": patched(cols_at + 8 + 4 * len(sections[0][0].values) + 4, np.nan, "<f4"),
    }
    for why, data in faults.items():
        bad.write_bytes(data)
        with pytest.raises(StoreError, match=why):
            read_store(bad, shapes)
    bad.write_bytes(b"")
    with pytest.raises(StoreError, match="empty"):
        read_store(bad)


def _section_end(data: bytes) -> int:
    """Byte offset after the first section of a store (a matrix stored as its upper triangle,
    its count negative, has four records, any other three)."""
    pos, wanted = 0, None
    records = 0
    while True:
        n = int(np.frombuffer(data[pos:pos + 4], "<i4")[0])
        if records == 1:
            counts = np.frombuffer(data[pos + 4:pos + 4 + n], "<i4")[0::2]
            wanted = 2 + 3 * len(counts) + int((counts < 0).sum())
        pos += n + 8
        records += 1
        if records == wanted:
            return pos


def test_forced_rebuild_keeps_the_builders_store_apart_from_run_files(tmp_path):
    model = model_from_dict({"ion": "Ni2+", "symmetry": "Oh", "ground": {"10Dq": 1.0}})
    out = tmp_path / "m"
    build_model(model, out, store="binary")
    (out / "fort.43").write_text("results of a run\n")
    assert check_output(out, force=True) == [out / "fort.43"]
    build_model(model, out, force=True, store="text")  # binary -> text: the store goes
    assert not (out / "FTN99").exists() and not (out / "fort.43").exists()
    (out / "FTN99").write_bytes(b"written by a run")
    assert check_output(out, force=True) == [out / "FTN99"]
    with pytest.raises(ValueError, match="unknown coefficient store form"):
        build_model(model, tmp_path / "x", store="packed")
    assert not (tmp_path / "x").exists()


def test_conversion_both_ways_gives_what_the_builder_writes(both_forms, tmp_path):
    from morvex7.ion.cli import main
    from morvex7.ion.storeform import read_text

    text, binary = both_forms["ion_3d_l23_ct"]
    model = tmp_path / "m"
    model.mkdir()
    for name in ("FTN14", "FTN15", "fort.50", "model.json"):
        shutil.copy(text / name, model / name)
    assert main([str(model), "--store", "binary"]) == 0
    for name in ("FTN14", "FTN99", "fort.50", "model.json"):
        assert (model / name).read_bytes() == (binary / name).read_bytes(), name
    assert main([str(model), "--store", "binary"]) == 0  # already binary: nothing changes
    assert main([str(model), "--store", "text"]) == 0
    for name in ("FTN14", "fort.50", "model.json"):
        assert (model / name).read_bytes() == (text / name).read_bytes(), name
    assert not (model / "FTN99").exists()
    # a text FTN14 cut short is refused, and the model stays as it was
    whole = (model / "FTN14").read_text()
    (model / "FTN14").write_text(whole[:len(whole) // 2])
    with pytest.raises(ValueError, match="FTN14"):
        read_text(model / "FTN14")
    assert main([str(model), "--store", "binary"]) == 2
    assert not (model / "FTN99").exists() and not is_binary_model(model)
    assert main([str(model)]) == 2  # a directory needs --store


def test_auto_writes_binary_past_the_limit_and_explorer_wants_the_store(both_forms, tmp_path,
                                                                         monkeypatch):
    import importlib
    import json

    from morvex7.explore.cli import UserError, model_directory
    from morvex7.ion.build import store_form, text_bytes

    text, binary = both_forms["ni2_oh_charge_transfer"]
    built = build(load_description(EXAMPLES / "ni2_oh_charge_transfer" / "model.toml"))
    write_model(built, tmp_path / "auto")
    assert json.loads((tmp_path / "auto" / "model.json").read_text())["store"] == "text"
    # the text size the choice goes by is within 25 % of the text written
    from morvex7.ion.writer import coefficient_sections

    sections, _ = coefficient_sections(built.ground, built.excited, built.triads,
                                       built.transitions, once=True)  # as write_model does
    assert text_bytes(sections) == pytest.approx((text / "FTN14").stat().st_size, rel=0.25)
    # (the module: morvex7.ion's attribute "build" is the function)
    monkeypatch.setattr(importlib.import_module("morvex7.ion.estimate"), "TEXT_STORE_LIMIT", text_bytes(sections) - 1)
    assert store_form(sections) == "binary" and store_form(sections, "text") == "text"
    write_model(built, tmp_path / "large", store="auto")
    assert is_binary_model(tmp_path / "large")
    # the explorer takes a binary-store model only with its store
    assert model_directory(binary, tmp_path)[0] == binary.resolve()
    lost = tmp_path / "lost"
    shutil.copytree(binary, lost)
    (lost / "FTN99").unlink()
    with pytest.raises(UserError, match="FTN99"):
        model_directory(lost, tmp_path)


@pytest.mark.parametrize("name", ["ni2_oh_charge_transfer", "ion_3d_l23_ct"])
def test_hamiltonian_blocks_stored_once_give_the_same_output(name, tmp_path, engine,
                                                             monkeypatch):
    """Each reading of a configuration pair replaces both configurations' Hamiltonian blocks,
    so the builder stores them only in the section whose reading the engine keeps: the same
    output files, byte for byte, as with the blocks in every section, from a smaller file."""
    import importlib

    from morvex7.ion import writer

    built = build(load_description(EXAMPLES / name / "model.toml"))
    write_model(built, tmp_path / "once", store="text")
    whole = writer.coefficient_sections
    monkeypatch.setattr(importlib.import_module("morvex7.ion.build"), "coefficient_sections",
                        lambda *a, **k: whole(*a, **{**k, "once": False}))
    write_model(built, tmp_path / "every", store="text")
    assert (tmp_path / "once" / "FTN14").stat().st_size < \
        0.8 * (tmp_path / "every" / "FTN14").stat().st_size
    for d in ("once", "every"):
        proc = run_engine_in(tmp_path / d, engine)
        assert proc.returncode == 0, proc.stderr
    for out in ("fort.43", "fort.44"):
        assert (tmp_path / "once" / out).read_bytes() == (tmp_path / "every" / out).read_bytes()
