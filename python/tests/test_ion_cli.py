"""The morvex7-ion command line and the isotropic combination in morvex7-spectra."""
from __future__ import annotations

import json
from pathlib import Path

import numpy as np
import pytest
from conftest import run_engine_in

from morvex7 import cli_spectra
from morvex7.ion import cli
from morvex7.results import Run

D0 = """
title = "d0 L2,3 edge"
valence = "3d"
electrons = 0
core = "2p"
[excited]
zeta_c = 4.0
"""


def test_built_directory_runs_and_plots_isotropically_by_default(tmp_path, engine, capsys):
    desc = tmp_path / "d0.toml"
    desc.write_text(D0)
    assert cli.main([str(desc), "-o", str(tmp_path / "d0")]) == 0
    assert "1 triads" in capsys.readouterr().out
    run_dir = tmp_path / "d0"
    assert run_engine_in(run_dir, engine).returncode == 0
    run = Run.load(run_dir)
    parser = cli_spectra.build_parser()
    iso = cli_spectra.select_sticks(run, parser.parse_args(["plot", str(run_dir)]))
    plain = cli_spectra.select_sticks(run, parser.parse_args(["plot", str(run_dir),
                                                               "--no-isotropic"]))
    # one J = 0 initial state: the isotropic intensities are the plain ones over 3
    np.testing.assert_allclose(np.sort(iso.intensity), np.sort(plain.intensity) / 3, rtol=1e-6)
    assert json.loads((run_dir / "model.json").read_text())["title"] == "d0 L2,3 edge"


def test_temperature_without_model_json_is_refused(example_run):
    run = Run.load(example_run("charge_transfer"))
    args = cli_spectra.build_parser().parse_args(["plot", str(run.directory),
                                                  "--temperature", "300"])
    with pytest.raises(cli_spectra.UserError):
        cli_spectra.select_sticks(run, args)


def test_description_errors_are_reported_in_one_line(tmp_path, capsys):
    desc = tmp_path / "bad.toml"
    desc.write_text(D0.replace('core = "2p"', 'core = "3d"'))
    assert cli.main([str(desc)]) == 2
    assert "no dipole transition" in capsys.readouterr().err
    desc.write_text(D0 + "[ground]\nF2dd = 3.0\n")
    assert cli.main([str(desc)]) == 2
    assert "unknown ground parameter 'F2dd'" in capsys.readouterr().err


CT = D0 + """[charge_transfer]
Delta = 3.0
U = 5.0
Q = 6.0
V = 2.0
"""


@pytest.mark.parametrize("change, message", [
    ({"levels": "5"}, "give the two band levels"),
    ({"levels": '"12"'}, "give the two band levels"),
    ({"levels": "[4.5, 1]"}, "a whole number"),
    ({"width": "nan"}, "a finite number"),
    ({"Delta": "nan"}, "a finite number"),
    ({"V": '"2"'}, "a number is needed"),
])
def test_charge_transfer_entries_keep_their_types(tmp_path, capsys, change, message):
    text = CT + "".join(f"{k} = {v}\n" for k, v in change.items())
    if "Delta" in change or "V" in change:
        text = text.replace(f"\n{next(iter(change))} = ", f"\n# {next(iter(change))} = ", 1)
    desc = tmp_path / "bad.toml"
    desc.write_text(text)
    assert cli.main([str(desc), "-o", str(tmp_path / "out")]) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1 and "Traceback" not in err
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("text, message", [
    (D0.replace("electrons = 0", "electrons = 8.7"), "electrons = 8.7: a whole number"),
    (D0.replace("electrons = 0", 'electrons = "8"'), "a whole number"),
    (D0 + "[ground]\nF2vv = [1]\n", "[ground] F2vv = [1]: a number"),
    (D0 + "[ground]\nF2vv = inf\n", "a finite number"),
    (D0.replace("zeta_c = 4.0", "zeta_c = nan"), "[excited] zeta_c = nan"),
    ("charge_transfer = 0\n" + D0, "charge_transfer = 0: a table"),
    (D0 + "[triads]\nall_ground = \"no\"\n", "true or false"),
    (D0 + "[triads]\nwindow = nan\n", "a finite number"),
    (D0.split("[excited]")[0], "needs an [excited] table"),
    (D0.replace('title = "d0 L2,3 edge"', 'title = "two\\nlines"'), "one line"),
    (D0.replace('title = "d0 L2,3 edge"', 'title = "cr\\rTRIADS"'), "one line"),
    (D0.replace('core = "2p"', 'core = "2p"\nsymmetry = "D6h"') + '[ground]\n"10Dq" = 1.0\n',
     "symmetry 'D6h' is not available"),
    ('valence = 3\nelectrons = 0\ncore = "2p"\n[excited]\n', "text in quotes"),
    ("valence = \n", "not a valid TOML file"),
])
def test_description_entries_are_refused_not_coerced(tmp_path, capsys, text, message):
    desc = tmp_path / "bad.toml"
    desc.write_text(text)
    assert cli.main([str(desc), "-o", str(tmp_path / "out")]) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1 and "Traceback" not in err


def test_output_directory_is_not_overwritten_and_old_results_never_read(tmp_path, engine,
                                                                        capsys):
    a, b = tmp_path / "a.toml", tmp_path / "b.toml"
    a.write_text(D0)
    b.write_text(D0.replace("electrons = 0", "electrons = 1"))
    out = tmp_path / "out"
    assert cli.main([str(a), "-o", str(out), "--run"]) == 0
    (out / "notes.txt").write_text("mine")
    assert cli.main([str(b), "-o", str(out)]) == 2
    assert "already holds a model or results" in capsys.readouterr().err
    assert (out / "fort.44").is_file()
    # --force replaces the model and removes the old results, never the user's files
    assert cli.main([str(b), "-o", str(out), "--force"]) == 0
    assert not (out / "fort.44").exists() and (out / "notes.txt").read_text() == "mine"
    assert json.loads((out / "model.json").read_text())["electrons"] == 1
    # results of another model beside a model.json: matched by label, refused
    a_out = tmp_path / "a_out"
    assert cli.main([str(a), "-o", str(a_out), "--run"]) == 0
    for name in ("fort.43", "fort.44", "log.txt"):
        (out / name).write_bytes((a_out / name).read_bytes())
    capsys.readouterr()
    assert cli_spectra.main(["csv", str(out)]) != 0
    assert "not those of its model.json" in capsys.readouterr().err


def test_build_model_from_python_refuses_a_model_with_results_unless_forced(tmp_path):
    from morvex7.ion.build import build_model
    import tomllib

    from morvex7.ion.model import model_from_dict

    out = tmp_path / "out"
    build_model(model_from_dict(tomllib.loads(D0)), out)
    results = ("fort.43", "fort.44", "fort.62", "FTN98", "log.txt", "stop.txt", "run.json")
    for name in results:
        (out / name).write_text("of the earlier model")
    (out / "notes.txt").write_text("mine")
    d1 = model_from_dict(tomllib.loads(D0.replace("electrons = 0", "electrons = 1")))
    with pytest.raises(ValueError, match="already holds a model or results"):
        build_model(d1, out)
    assert json.loads((out / "model.json").read_text())["electrons"] == 0
    assert all((out / name).is_file() for name in results)
    # forced: the model is replaced, the earlier run's results go, the user's files stay
    build_model(d1, out, force=True)
    assert json.loads((out / "model.json").read_text())["electrons"] == 1
    assert not any((out / name).exists() for name in results)
    assert (out / "notes.txt").read_text() == "mine"


def test_a_run_without_triads_is_reported(tmp_path, engine, capsys, monkeypatch):
    desc = tmp_path / "d0.toml"
    desc.write_text(D0)
    import morvex7.ion.cli as ion_cli

    real = ion_cli.write_model

    def without_triads(built, out, *store):
        real(built, out, *store)
        text = (out / "fort.50").read_text()
        (out / "fort.50").write_text(text[:text.index("TRIADS")])

    monkeypatch.setattr(ion_cli, "write_model", without_triads)
    assert cli.main([str(desc), "-o", str(tmp_path / "out"), "--run"]) == 1
    assert "asks for no triad" in capsys.readouterr().err


def test_a_full_disk_is_reported_with_the_model_directory(tmp_path, capsys, monkeypatch):
    """A write that fails for want of space names no file of its own: the message names the
    directory the model was going to, in one line, with a failing status."""
    import errno

    import morvex7.ion.cli as ion_cli

    def full(built, out, *store):
        raise OSError(errno.ENOSPC, "No space left on device")

    desc = tmp_path / "d0.toml"
    desc.write_text(D0)
    monkeypatch.setattr(ion_cli, "write_model", full)
    assert cli.main([str(desc), "-o", str(tmp_path / "out")]) == 2
    err = capsys.readouterr().err.strip()
    assert err == f"morvex7-ion: No space left on device: {tmp_path / 'out'}"


@pytest.mark.parametrize("store", ["text", "binary"])
def test_a_write_that_fails_leaves_the_directory_as_it_was(tmp_path, capsys, monkeypatch, store):
    """A full disk half-way through the files: an earlier model in the directory stays whole
    (not half replaced), no part file is left, and a directory made for the model is removed."""
    import errno
    import importlib

    ion_build = importlib.import_module("morvex7.ion.build")  # the package names a function build
    desc = tmp_path / "d0.toml"
    desc.write_text(D0)
    out = tmp_path / "out"
    assert cli.main([str(desc), "-o", str(out), "--store", store]) == 0
    before = {p.name: p.read_bytes() for p in out.iterdir()}
    capsys.readouterr()

    def full_after_some_bytes(path, *args):
        Path(path).write_bytes(b"\0" * 100)
        raise OSError(errno.ENOSPC, "No space left on device")

    def full(*args):
        raise OSError(errno.ENOSPC, "No space left on device")

    # binary: the store fails half-written; text: FTN14, FTN15 and fort.50 are written, then
    # model.json fails
    if store == "binary":
        monkeypatch.setattr(ion_build, "write_store", full_after_some_bytes)
    else:
        monkeypatch.setattr(ion_build, "model_json", full)
    desc.write_text(D0.replace("zeta_c = 4.0", "zeta_c = 3.0"))
    assert cli.main([str(desc), "-o", str(out), "--store", store, "--force"]) == 2
    assert "No space left on device" in capsys.readouterr().err
    assert {p.name: p.read_bytes() for p in out.iterdir()} == before

    fresh = tmp_path / "fresh"
    assert cli.main([str(desc), "-o", str(fresh), "--store", store]) == 2
    assert not fresh.exists()
