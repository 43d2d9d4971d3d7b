"""Overflowed fields, truncated and garbled files: a warning or an error naming file and line,
never a silently wrong value."""
from __future__ import annotations

import math
import shutil

import numpy as np
import pytest

from morvex7 import FieldOverflowWarning, LayoutError, read_run
from morvex7.cli_spectra import main
from morvex7.export import read_csv
from morvex7.readers import (read_ground_energies, read_intermediate_listing,
                             read_intermediate_plot, read_spectrum_file, read_yield_file)


@pytest.fixture
def copy_of(example_run, tmp_path):
    def get(name):
        d = tmp_path / name
        shutil.copytree(example_run(name), d)
        return d
    return get


def edit(path, old, new, count=1):
    text = path.read_text()
    assert old in text
    path.write_text(text.replace(old, new, count))


def line_of(path, fragment):
    return next(i for i, ln in enumerate(path.read_text().splitlines(), 1) if fragment in ln)


def test_asterisk_fields_become_nan_with_a_warning(copy_of):
    d = copy_of("charge_transfer")
    f44 = d / "fort.44"
    # an amplitude that overflowed, and a bra energy too wide for F9.5 (e.g. -123.45678)
    edit(f44, "  0.529082 -0.486346", "********** -0.486346")
    edit(f44, " -1.80852: -0.244968", "*********: -0.244968")
    n_amp = line_of(f44, "********** -0.486346")
    with pytest.warns(FieldOverflowWarning) as rec:
        run = read_run(d)
    messages = [str(w.message) for w in rec]
    assert any(f"fort.44, line {n_amp}: a value" in m for m in messages)
    t = run.triads[0]
    assert math.isnan(t.absorption[0].amplitudes[0])
    assert t.absorption[0].amplitudes[1] == -0.486346          # its neighbour is intact
    assert t.absorption[0].initial_energy == -1.80852          # first row's bra field intact
    s = t.sticks()
    assert np.isnan(s.intensity[0]) and np.isfinite(s.intensity[1:]).all()

    f43 = d / "fort.43"
    edit(f43, "    1.0107", "**********")
    with pytest.warns(FieldOverflowWarning, match=r"fort\.43, line 1: a ground-state energy"):
        e = read_ground_energies(f43)
    assert np.isnan(e[0][1]) and e[0][2] == 1.6757


def test_overflowing_numbers_that_touch_are_read_by_column(copy_of):
    """A field of nine asterisks followed directly by a value: splitting at blanks would fail."""
    d = copy_of("charge_transfer")
    f44 = d / "fort.44"
    edit(f44, " -1.80852:  0.529082", "*********:-10.529082")
    with pytest.warns(FieldOverflowWarning, match="the bra energy"):
        run = read_run(d)
    b = run.triads[0].absorption[0]
    assert b.amplitudes[0] == -10.529082
    # the initial energy is then taken from the ground-state report
    assert b.initial_energy == run.triads[0].ground.lowest[0]


def test_auger_files_with_asterisks(copy_of):
    d = copy_of("auger_resonance")
    edit(d / "fort.62", "     0.54926    9", "************    9")
    with pytest.warns(FieldOverflowWarning, match=r"fort\.62, line 16: the yield"):
        curve, = read_yield_file(d / "fort.62")
    assert np.isnan(curve.yield_[8]) and curve.yield_[9] == 0.51397
    edit(d / "fort.45", "  1.000000    0.361911", "**********    0.361911")
    with pytest.warns(FieldOverflowWarning, match=r"fort\.45, line 7"):
        plot, = read_intermediate_plot(d / "fort.45")
    assert np.isnan(plot.table.intensity[0])


@pytest.mark.parametrize("cut_at, expected", [
    (" BRA/KET :  -1.71456", "' BRA/KET :' row"),
    (" Total intensity", "closing ' Total intensity '"),
    (" energies and purities", "' energies and purities'"),
    ("%Eg=", "'%Eg=' record"),
    ("  FINISHED", "FINISHED record after ENDTRIADS"),
    ("BAND 2", "FINISHED record that ends"),
])
def test_truncated_spectrum_file(copy_of, cut_at, expected):
    d = copy_of("charge_transfer")
    f44 = d / "fort.44"
    lines = f44.read_text().splitlines(keepends=True)
    n = line_of(f44, cut_at)
    f44.write_text("".join(lines[:n - 1]))
    with pytest.raises(LayoutError, match=expected) as err:
        read_run(d)
    assert err.value.path.endswith("fort.44") and err.value.line == n
    assert "found the end of the file" in str(err.value)


def test_run_that_stopped_early_reads_what_it_wrote(copy_of, capsys):
    d = copy_of("auger_resonance")
    f44 = d / "fort.44"
    lines = f44.read_text().splitlines(keepends=True)
    f44.write_text("".join(lines[:line_of(f44, "5T1U") - 1]))     # stopped after step 4
    (d / "stop.txt").write_text("STOP Error in subroutine solve_equations\n")
    for f in ("fort.62", "fort.45", "fort.46"):
        (d / f).unlink()
    run = read_run(d)
    assert not run.finished and "solve_equations" in run.stop_text
    a = run.triads[0].auger
    assert len(a.steps) == 4 and a.off_resonance is not None
    assert np.all(np.isnan(a.total_absorption))               # no yield file: unknown
    assert a.total_yield == pytest.approx([np.sum(i) for _, i in a.steps], abs=5e-5)
    assert a.photon_energies == pytest.approx([-2.0, -1.75, -1.5, -1.25])   # the steps written
    assert main(["plot", str(d), "--out", str(d / "early.png")]) == 0
    assert main(["csv", str(d)]) == 0
    assert main(["info", str(d)]) == 0
    assert "incomplete, the run stopped early (STOP Error in subroutine solve_equations)" in (
        capsys.readouterr().out)
    assert len(read_csv(d / "triad1_yield.csv")["photon_energy"]) == 4
    # the same file from a run that claims a normal end is an error
    (d / "stop.txt").write_text("STOP Normal end because of end of file on input\n")
    with pytest.raises(LayoutError, match=r"23 Auger spectra \(NOMEGA=22.*not 5; found the end"):
        read_run(d)


@pytest.mark.parametrize("old, new, expected", [
    (" Total intensity  -0.73439", " Total intensty  -0.73439", "closing ' Total intensity '"),
    ("(1*     39) DIM", "(1*    39) DIM ", "header layout"),
    ("(1*     39) DIM", "(1*     40) DIM", "line 50: expected ' BRA/KET :' and 5 energies"),
    (" -1.80852:  0.529082", " -1.80852  0.529082 ", "F9.5, ':'"),
    ("  0.529082 -0.486346", "  0.52908x -0.486346", "a value as a number"),
    (" (   1 times)", " (   1 timesX", "times"),
    ("   39  '43", "  39  '43", "label record"),
    (" DEL 3.0 UCV", " del 3.0 UCV", "echo of a command line"),
    ("BAND 1", "BAND  1", "'BAND' followed"),
])
def test_garbled_spectrum_file(copy_of, old, new, expected):
    d = copy_of("charge_transfer")
    f44 = d / "fort.44"
    n = line_of(f44, old)
    edit(f44, old, new)
    with pytest.raises(LayoutError, match=expected) as err:
        read_spectrum_file(f44)
    assert err.value.line in (n, n + 1) or "line 50" in expected
    assert "fort.44" in str(err.value)


def test_garbled_auger_files(copy_of):
    d = copy_of("auger_resonance")
    f62 = d / "fort.62"
    lines = f62.read_text().splitlines(keepends=True)
    f62.write_text("".join(lines[:10] + lines[11:]))                 # step 4 missing
    with pytest.raises(LayoutError, match=r"line 11: expected the record of step 4"):
        read_yield_file(f62)
    f62.write_text("".join(lines[:-1]))
    with pytest.raises(LayoutError, match="'%END' after 22 records"):
        read_yield_file(f62)
    edit(d / "fort.46", "    0.00   10000    1.50    3600", "    0.00   10000")
    with pytest.raises(LayoutError, match=r"fort\.46, line 2: expected 2 pairs"):
        read_intermediate_listing(d / "fort.46")
    f44 = d / "fort.44"
    text = f44.read_text()
    edit(f44, "  9T1U", "  8T1U")
    with pytest.raises(LayoutError, match="the Auger spectrum of step 9"):
        read_spectrum_file(f44)
    f44.write_text(text)
    # a spectrum file with one Auger step missing disagrees with NOMEGA
    lines = f44.read_text().splitlines(keepends=True)
    n = line_of(f44, " 22T1U")
    f44.write_text("".join(lines[:n - 1] + lines[n + 4:]))
    with pytest.raises(LayoutError, match=r"23 Auger spectra \(NOMEGA=22"):
        read_spectrum_file(f44)


def test_files_that_disagree(copy_of):
    d = copy_of("charge_transfer")
    f43 = d / "fort.43"
    f43.write_text("".join(f43.read_text().splitlines(keepends=True)[:-1]))
    with pytest.raises(LayoutError, match=r"fort\.43.*NG=30 gives 30 purities"):
        read_run(d)
    f43.write_text("   1   -1.8085   3    1.0107\n")
    with pytest.raises(LayoutError, match=r"fort\.43, line 1: expected state index 2"):
        read_ground_energies(f43)
    d = copy_of("auger_resonance")
    (d / "fort.45").write_text((d / "fort.45").read_text().replace("    1.5000  0.360000",
                                                                   "    1.6000  0.360000"))
    with pytest.raises(LayoutError, match=r"fort\.45.*intermediate states of triad 1"):
        read_run(d)


def test_a_garbled_log_is_left_aside_with_a_warning(copy_of):
    d = copy_of("auger_resonance")
    edit(d / "log.txt", " EFAUG 2 ", " EFAUG 7 ")
    with pytest.warns(UserWarning, match=r"log is not used: .*log\.txt, line 8: expected the "
                                         r"EFAUG line of channel 2"):
        run = read_run(d)
    t, = run.triads
    assert t.block.log is None and t.auger.sizes is None
    assert t.auger.total_yield.size == 22                      # the result files still read


def test_parameters_disagreeing_with_the_log_are_reported(copy_of):
    d = copy_of("auger_resonance")
    edit(d / "log.txt", " EFAUG 1    2.000", " EFAUG 1    2.500")
    with pytest.warns(UserWarning, match=r"EFAUG1_1 = 2.0 from the command echo, 2.5 in the log"):
        run = read_run(d)
    assert run.blocks[0].params["EFAUG1_1"] == 2.5


def test_an_echo_filling_all_79_columns_is_flagged(copy_of):
    d = copy_of("charge_transfer")
    f44 = d / "fort.44"
    edit(f44, " ERANGE 0.001" + " " * 67, " ERANGE 0.001 %" + "X" * 65)
    from morvex7.readers import TruncatedEchoWarning
    with pytest.warns(TruncatedEchoWarning, match=r"line 24: the echo shows only the first 79"):
        f = read_spectrum_file(f44)
    assert f.blocks[0].params["ERANGE"] == 0.001


def test_photon_energies_follow_the_yield_file(copy_of):
    """Without the command file, an ESTART the echo does not show (beyond its 79 columns) would
    put every photon energy in the wrong place: the yield file's energies decide, with a
    warning."""
    d = copy_of("auger_resonance")
    (d / "fort.50").unlink()
    edit(d / "fort.44", "NOMEGA 22 ESTART -2.0 ESTEP 0.25", "NOMEGA 22 ESTART -1.0 ESTEP 0.25")
    with pytest.warns(UserWarning, match=r"ESTART=-1\.0.*fort\.62 \(line 1\) prints -2, -1\.75"):
        run = read_run(d)
    a = run.triads[0].auger
    assert a.photon_energies == pytest.approx(-2.0 + 0.25 * np.arange(22))
    assert (a.estart, a.estep) == (-2.0, 0.25)
