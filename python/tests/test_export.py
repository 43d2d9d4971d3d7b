"""CSV files: round trips of sticks, curves, yields and Auger maps with their provenance."""
from __future__ import annotations

import numpy as np
import pytest

from morvex7.broadening import Broadening, broaden
from morvex7.export import read_csv, write_auger_map, write_curve, write_sticks, write_yield
from spectra_samples import auger, sticks


def test_sticks_and_curve_round_trip(tmp_path):
    s = sticks()
    table = read_csv(write_sticks(tmp_path / "sticks.csv", s))
    for name in ("energy", "amplitude", "intensity", "initial_state", "triad"):
        assert table[name] == pytest.approx(getattr(s, name), rel=1e-11)
    assert table.header["labels"] == "A1G T1U T1U"
    assert table.header["params"] == "DEL=3, UCV=5"
    assert float(table.header["eg0"]) == pytest.approx(-1.808524609)
    assert (table.header["ndeg"], table.header["unit"]) == ("1", "eV")
    text = (tmp_path / "sticks.csv").read_text().splitlines()
    assert text[-1].endswith(",2,2")  # state and triad numbers stay integers

    curve = broaden(s, Broadening(lorentz=0.3, gauss=0.1))
    back = read_csv(write_curve(tmp_path / "curve.csv", curve))
    assert back["energy"] == pytest.approx(curve.energy, rel=1e-11, abs=1e-12)
    assert back["intensity"] == pytest.approx(curve.intensity, rel=1e-11, abs=1e-300)
    assert back.header["broadening"] == "Voigt: Lorentzian FWHM 0.3; Gaussian FWHM 0.1"
    assert back.header["labels"] == "A1G T1U T1U"


def test_yield_keeps_the_off_resonance_record_out_of_the_rows(tmp_path):
    a = auger()
    table = read_csv(write_yield(tmp_path / "yield.csv", a, {"labels": ("A1G", "T1U", "T1U")}))
    assert table["photon_energy"] == pytest.approx(a.photon_energies)
    assert table["total_yield"] == pytest.approx(a.total_yield, rel=1e-11)
    assert table["total_absorption"] == pytest.approx(a.total_absorption, rel=1e-11)
    assert -2.25 not in table["photon_energy"]
    assert table.header["off_resonance_reference_not_a_data_point"] == (
        "photon_energy=10000, printed_energy=-2.25, total_yield=0.02001, total_absorption=0.02001")


def test_auger_map_rows(tmp_path):
    a = auger()
    table = read_csv(write_auger_map(tmp_path / "map.csv", a))
    n_final = a.steps[0][0].size
    assert table["photon_energy"].size == len(a.steps) * n_final
    third = table["step"] == 3
    assert table["photon_energy"][third] == pytest.approx(np.full(n_final, a.photon_energies[2]))
    assert table["final_energy"][third] == pytest.approx(a.steps[2][0])
    assert table["intensity"][third] == pytest.approx(a.steps[2][1], rel=1e-11)


def test_bad_rows_are_named(tmp_path):
    path = tmp_path / "bad.csv"
    path.write_text("# x\nenergy,intensity\n1,2\n3\n")
    with pytest.raises(ValueError, match=r"bad.csv, line 4: expected 2 numbers"):
        read_csv(path)
    path.write_text("# only comments\n")
    with pytest.raises(ValueError, match="no line of column names"):
        read_csv(path)


def test_combined_spectra_name_their_parts(tmp_path):
    from morvex7.plots import title_from
    from morvex7.sticks import Sticks

    a, b = sticks(), sticks(0.5)
    b.meta["labels"] = ("A1G", "T1U", "EU")
    parts = [Sticks(s.energy, s.intensity, s.amplitude, s.initial_state, s.triad, dict(s.meta))
             for s in (a, b)]
    both = Sticks.combine([(parts[0], 1.0), (parts[1], 0.5)])
    assert title_from(both.meta) == "A1G T1U T1U + A1G T1U EU"
    table = read_csv(write_sticks(tmp_path / "both.csv", both))
    assert table.header["parts[2]"].startswith("labels=A1G T1U EU")
    assert table.header["weights"] == "1 0.5"
    assert table["intensity"] == pytest.approx(np.concatenate([a.intensity, 0.5 * b.intensity]))
