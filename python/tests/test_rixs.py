"""RIXS from a builder-made model to the map: the engine's file against a float64
Kramers-Heisenberg sum on the builder's own matrices (solved per incident energy, with the
interference between intermediate states), dd excitations of d8 in Oh at 10Dq, the reader's
layout checks, the CSV provenance and the command line."""
from __future__ import annotations

import json
import shutil
import warnings
from pathlib import Path

import numpy as np
import pytest

from conftest import run_engine_in
from morvex7.cli_spectra import main as spectra_main
from morvex7.export import read_csv
from morvex7.ion.blocks import side_hamiltonian
from morvex7.ion.build import build, write_model
from morvex7.ion.model import model_from_dict
from morvex7.readers import FieldOverflowWarning, LayoutError
from morvex7.results import read_run
from morvex7.rixs import read_rixs_file

S = np.sqrt(0.5)
COEF = {"x": (S, 0, -S), "y": (1j * S, 0, 1j * S), "z": (0, 1, 0), "plus": (0, 0, 1),
        "minus": (1, 0, 0)}


def d8_oh(rixs: dict, **ground) -> dict:
    return {"valence": "3d", "electrons": 8, "core": "2p", "symmetry": "Oh",
            "ground": {"F2vv": 9.0, "F4vv": 6.0, "zeta_v": 0.0, "10Dq": 1.2, **ground},
            "excited": {"F2vv": 9.5, "F4vv": 6.2, "zeta_c": 11.5, "F2cv": 6.0, "G1cv": 4.5,
                        "G3cv": 2.6, "zeta_v": 0.0},
            "rixs": rixs}


@pytest.fixture(scope="module")
def d8_run(tmp_path_factory, engine):
    rixs = {"incident": [-6.0, -1.0, 11], "gamma": 0.8,
            "polarisations": [["x", "y"], ["z", "all"], ["plus", "x"]]}
    built = build(model_from_dict(d8_oh(rixs)))
    d = tmp_path_factory.mktemp("d8_rixs")
    write_model(built, d)
    proc = run_engine_in(d, engine)
    assert proc.returncode == 0, proc.stdout[-2000:]
    return built, d


def reference(built, omega: float, gamma: float, pin: str, pout: str):
    """Intensity per final state: (w + E_i - H_E + i G/2) x = T_in|i>, averaged over the
    degenerate ground states, summed over x, y, z for 'all'."""
    hg = side_hamiltonian(built.ground, "A")
    he = side_hamiltonian(built.excited, "A")
    eg, vg = np.linalg.eigh(hg)
    t = [built.transitions[("A", op, "A", 0)] for op in ("QM", "QZ", "QP")]
    initial = [i for i in range(len(eg)) if eg[i] - eg[0] <= 1e-4]
    outs = ["x", "y", "z"] if pout == "all" else [pout]
    out = np.zeros(len(eg))
    for i in initial:
        a = sum(c * (vg[:, i] @ tq) for c, tq in zip(COEF[pin], t))
        x = np.linalg.solve((omega + eg[i] + 0.5j * gamma) * np.eye(len(he)) - he, a)
        for o in outs:
            b = sum(np.conj(c) * (vg.T @ tq) for c, tq in zip(COEF[o], t))
            out += np.abs(b @ x) ** 2 / len(initial)
    return eg - eg[0], out


def test_map_equals_a_float64_kramers_heisenberg_sum_with_interference(d8_run):
    built, d = d8_run
    maps = read_run(d).rixs
    assert [(m.incident, m.outgoing) for m in maps] == [("X", "Y"), ("Z", "ALL"), ("PLUS", "X")]
    for m in maps:
        scale = m.intensity.max()
        for k, w in enumerate(m.incident_energies):
            loss, ref = reference(built, float(w), 0.8, m.incident.lower(), m.outgoing.lower())
            got_loss, got = m.sticks_at(k)
            np.testing.assert_allclose(got_loss, np.round(loss, 4), atol=2e-4)
            # a degenerate level's states are any basis of it: compare the level sums
            level = np.concatenate(([0], np.cumsum(np.diff(loss) > 2e-3)))
            np.testing.assert_allclose(np.bincount(level, got), np.bincount(level, ref),
                                       atol=2e-4 * scale, rtol=2e-3)
        # the elastic line sits at loss 0 for every incident energy
        assert np.all(m.loss[m.state == 1] == 0.0)


def test_first_dd_excitation_of_d8_in_oh_lies_at_10dq(d8_run):
    _, d = d8_run
    m = read_run(d).rixs[1]
    loss, strength = m.loss, m.intensity
    inelastic = (loss > 0.05) & (strength > 1e-3 * strength.max())
    assert abs(loss[inelastic].min() - 1.2) < 2e-3    # 3A2g -> 3T2g is exactly 10Dq


def test_builder_refuses_bad_rixs_tables():
    for bad, words in [({"incident": [1.0, 0.0, 10]}, "last energy above"),
                       ({"gamma": [0.5, 0.6, 0.7]}, "two (L3, L2)"),
                       ({"polarisations": [["all", "x"]]}, "not a pair"),
                       ({"widths": 1}, "unknown entry 'widths'")]:
        with pytest.raises(ValueError, match=words.replace("(", r"\(").replace(")", r"\)")):
            model_from_dict(d8_oh(bad))


def test_an_ion_from_the_tables_brings_its_core_hole_widths_per_edge():
    from morvex7.ion.rixs import rixs_command_block

    built = build(model_from_dict({"ion": "Ni2+", "symmetry": "Oh", "ground": {"10Dq": 1.1},
                                   "rixs": {"incident": [-6.0, -1.0, 3]}}))
    widths = list(built.model.core_hole_widths.values())
    block = rixs_command_block(built)
    assert f"GAMMA {widths[0]:.10g}\n" in block and f"GAMMA2 {widths[1]:.10g}" in block


def test_reader_names_file_and_line_and_turns_asterisks_into_nan(d8_run, tmp_path):
    _, d = d8_run
    lines = (d / "fort.47").read_text().splitlines(keepends=True)
    first_data = next(i for i, ln in enumerate(lines) if not ln.startswith("%"))
    cut = tmp_path / "cut.47"
    cut.write_text("".join(lines[:first_data + 3]))
    with pytest.raises(LayoutError, match=r"cut\.47.*line"):
        read_rixs_file(cut)
    stars = lines.copy()
    stars[first_data] = stars[first_data][:20] + "*" * 14 + stars[first_data][34:]
    bad = tmp_path / "stars.47"
    bad.write_text("".join(stars))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        maps = read_rixs_file(bad)
    assert np.isnan(maps[0].intensity[0]) and np.isfinite(maps[0].intensity[1])
    assert any(issubclass(w.category, FieldOverflowWarning) for w in caught)


def test_broadened_map_keeps_each_sticks_area(d8_run):
    _, d = d8_run
    m = read_run(d).rixs[0]
    x, image = m.broadened(fwhm=0.05)
    k = 5
    area = np.trapz(image[k], x)
    # the Lorentzian tails beyond the axis (4 widths each side) hold about 8 %
    assert abs(area - m.sticks_at(k)[1].sum()) < 0.1 * m.sticks_at(k)[1].sum()


def test_command_line_plots_maps_and_writes_csv_with_provenance(d8_run, tmp_path):
    _, d = d8_run
    run = tmp_path / "run"
    shutil.copytree(d, run)
    assert spectra_main(["plot", str(run), "--rixs", "--lorentz", "0.1", "--cut", "-4"]) == 0
    assert all((run / f"rixs_map_{k}.png").stat().st_size > 1000 for k in (1, 2, 3))
    out = tmp_path / "csv"
    assert spectra_main(["csv", str(run), "--lorentz", "0.1", "--cut", "-4", "--out", str(out)]) == 0
    table = read_csv(out / "rixs_map_2.csv")
    assert table.header["polarisation"] == "Z -> ALL"
    assert table.header["broadening_along_loss"] == "Lorentzian FWHM 0.1"
    assert set(table.columns) == {"incident_energy", "energy_loss", "intensity"}
    cuts = read_csv(out / "rixs_cuts_1.csv")
    assert "cuts_at_incident_energies" in cuts.header and len(cuts.columns) == 2
    # with the model's edge energy the incident axis is a photon-energy axis
    model = json.loads((run / "model.json").read_text())
    (run / "model.json").write_text(json.dumps({**model, "edge_energy": 853.0}))
    assert spectra_main(["csv", str(run), "--lorentz", "0.1", "--out", str(out)]) == 0
    table = read_csv(out / "rixs_map_1.csv")
    shift = table["photon_energy"] - table["incident_energy"]
    assert np.ptp(shift) < 1e-9 and 840 < shift[0] < 870
    # a run without a RIXS file: a clear error, status 1
    (run / "fort.47").unlink()
    assert spectra_main(["plot", str(run), "--rixs"]) == 1
