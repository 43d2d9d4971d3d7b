"""The morvex7-ion command line and the isotropic combination in morvex7-spectra."""
from __future__ import annotations

import json

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
