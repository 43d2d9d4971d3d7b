"""The spectra command line on real runs of the shipped examples, and its error paths."""
from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from scipy.integrate import trapezoid

from morvex7.cli_spectra import main
from morvex7.export import read_csv
from test_plots import check_image

PYTHON_DIR = Path(__file__).resolve().parents[1]


def run_module(*args: str, cwd: Path) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR))
    return subprocess.run([sys.executable, "-m", "morvex7", *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=120)


def absorption_from_fort44(path: Path) -> tuple[float, np.ndarray, np.ndarray]:
    """Eg0, excited energies and amplitudes of a one-block, one-state absorption run."""
    text = path.read_text()
    eg0 = float(re.search(r"Eg0=\s*(\S+)", text).group(1))
    energies, amplitudes = [], []
    lines = text.splitlines()
    for i, line in enumerate(lines):
        if line.startswith(" BRA/KET :"):
            energies += [float(v) for v in line.split(":", 1)[1].split()]
            amplitudes += [float(v) for v in lines[i + 1].split(":", 1)[1].split()]
    return eg0, np.array(energies), np.array(amplitudes)


def test_help_lists_examples(tmp_path):
    proc = run_module("--help", cwd=tmp_path)
    assert proc.returncode == 0
    assert "examples:" in proc.stdout and "plot RUN1 RUN2 RUN3 --out compare.svg" in proc.stdout


def test_info(example_run, capsys):
    run = example_run("charge_transfer")
    assert main(["info", str(run)]) == 0
    out = capsys.readouterr().out
    assert "triad 1 (A1G T1U T1U)" in out
    assert "Eg0 -1.808524609" in out and "degeneracy 1" in out
    assert "weights 0.67355 0.31698 0.00948" in out and "39 lines" in out


def test_csv_of_an_absorption_run(example_run, tmp_path, capsys):
    run = example_run("charge_transfer")
    eg0, energies, amplitudes = absorption_from_fort44(run / "fort.44")
    assert main(["csv", str(run), "--out", str(tmp_path), "--lorentz", "0.3"]) == 0
    printed = capsys.readouterr().out.split()
    assert printed == [str(tmp_path / "sticks.csv"), str(tmp_path / "spectrum.csv")]
    sticks = read_csv(tmp_path / "sticks.csv")
    order = np.argsort(sticks["energy"])
    assert sticks["energy"][order] == pytest.approx(np.sort(energies) - eg0, abs=2e-5)
    assert sticks["intensity"][order] == pytest.approx(amplitudes[np.argsort(energies)] ** 2,
                                                       abs=1e-6)
    assert sticks.header["labels"] == "A1G T1U T1U"
    curve = read_csv(tmp_path / "spectrum.csv")
    assert curve.header["broadening"] == "Lorentzian FWHM 0.3"
    area = trapezoid(curve["intensity"], curve["energy"])
    assert area == pytest.approx(np.sum(amplitudes**2), rel=1e-3)

    assert main(["csv", str(run), "--out", str(tmp_path / "abs"), "--absolute"]) == 0
    absolute = read_csv(tmp_path / "abs" / "sticks.csv")
    assert np.sort(absolute["energy"]) == pytest.approx(np.sort(energies), abs=2e-5)


def test_csv_and_plots_of_an_auger_run(example_run, tmp_path, capsys):
    run = example_run("auger_resonance")
    assert main(["csv", str(run), "--out", str(tmp_path)]) == 0
    capsys.readouterr()
    yields = read_csv(tmp_path / "triad1_yield.csv")
    # NOMEGA 22 ESTART -2.0 ESTEP 0.25; the off-resonance record stays out of the rows.
    assert yields["photon_energy"] == pytest.approx(-2.0 + 0.25 * np.arange(22))
    assert "off_resonance_reference_not_a_data_point" in yields.header
    assert np.all(yields["total_absorption"] >= yields["total_yield"])
    auger_map = read_csv(tmp_path / "triad1_auger_map.csv")
    assert set(auger_map["step"]) == set(range(1, 23))
    assert main(["plot", str(run), "--out", str(tmp_path / "auger.png"), "--gauss", "0.3"]) == 0
    for name in capsys.readouterr().out.split():
        check_image(Path(name))
    assert (tmp_path / "auger_yield.png").exists() and (tmp_path / "auger_auger_map.png").exists()


def test_plots_single_and_overlaid(example_run, tmp_path, capsys):
    ct, fine = example_run("charge_transfer"), example_run("fine_band")
    widths = tmp_path / "widths.txt"
    widths.write_text("# two edges\n-10 0.2\n1.0 0.5\n")
    assert main(["plot", str(ct), "--widths", str(widths), "--gauss", "0.1",
                 "--out", str(tmp_path / "one.svg")]) == 0
    assert main(["plot", str(ct), str(fine), "--grid=-3:6:0.01",
                 "--out", str(tmp_path / "two.png")]) == 0
    for name in capsys.readouterr().out.split():
        check_image(Path(name))


def test_user_errors_are_one_line_without_traceback(example_run, tmp_path, capsys):
    run = example_run("charge_transfer")
    cases = [
        (["info", str(tmp_path / "missing")], "missing: no such run directory"),
        (["csv", str(tmp_path)], "not a morvex7 result directory (it has no fort.44)"),
        (["plot", str(run), "--grid", "5:1:0.1"], "grid"),
        (["plot", str(run), "--widths", str(tmp_path / "nowidths.txt")], "nowidths.txt"),
        (["plot", str(run), "--out", str(tmp_path / "x.jpeg")], "x.jpeg: cannot tell"),
        (["plot", str(run), "--triad", "5"], "no triad 5"),
        (["plot", str(run), "--lorentz", "0.2", "--widths", "w"], "not both"),
        (["plot", str(run), "--grid=0:1e9:1e-9"], "would have over"),
        (["plot", str(run), "--out", str(tmp_path / "nodir" / "x.png")],
         "nodir/x.png: No such file or directory"),
    ]
    for argv, message in cases:
        assert main(argv) == 1, argv
        err = capsys.readouterr().err
        assert err.startswith("morvex7-spectra: error: ") and message in err, (argv, err)
    broken = tmp_path / "broken"
    shutil.copytree(run, broken)
    text = (broken / "fort.44").read_text()
    (broken / "fort.44").write_text(text[: text.index("BRA/KET") + 30])
    proc = run_module("info", str(broken), cwd=tmp_path)
    assert proc.returncode == 1 and "Traceback" not in proc.stderr
    assert "fort.44, line " in proc.stderr and "cut short" in proc.stderr
    assert len(proc.stderr.strip().splitlines()) == 1
