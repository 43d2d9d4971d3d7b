"""Small models with answers known in closed form, run through the engine and read back."""
from __future__ import annotations

import shutil

import numpy as np
import pytest

from conftest import EXAMPLES, run_engine_in
from morvex7 import Sticks, read_run

# One ground state (A1G) or a doubly degenerate ground level (EG), two excited states (T1U).
# No ground Hamiltonian: every ground energy is EG1 = 0. Excited Hamiltonian H + EF1, transition
# rows T1 (from A1G) and T2 (from the two EG states).
H = np.array([[1.0, 0.5], [0.5, 3.0]])
T1 = np.array([0.6, 0.8])
T2 = np.array([[0.3, -0.4], [1.2, 0.5]])

RECIPES = """ irreducible representations
IRREP GROUND A1G MULT 1 DIM 1
IRREP EXCITE T1U MULT 2 DIM 1
IRREP GROUND EG MULT 2 DIM 1
IRREP EXCITE T1U MULT 2 DIM 1

REDUCEDMATRIX TRANSI A1G T1U T1U RM1 1 2
  ADD 1 1 1 1 2 1
  END RM1
REDUCEDMATRIX EXCITE T1U 0 T1U RM2 2 2
  ADD 2 1 1 2 2 1
  END RM2
REDUCEDMATRIX TRANSI EG T1U T1U RM3 2 2
  ADD 3 1 1 2 2 1
  END RM3
REDUCEDMATRIX EXCITE T1U 0 T1U RM4 2 2
  ADD 2 1 1 2 2 1
  END RM4
"""
COEFFICIENTS = f""" coupling output, section 1
RME  MATRIX 1 IN SECTION 1   1 2 2
 1 2  1 {T1[0]}  2 {T1[1]}
RME  MATRIX 2 IN SECTION 1   2 2 4
 1 2  1 {H[0, 0]}  2 {H[0, 1]}
 2 2  1 {H[1, 0]}  2 {H[1, 1]}
RME  MATRIX 3 IN SECTION 1   2 2 4
 1 2  1 {T2[0, 0]}  2 {T2[0, 1]}
 2 2  1 {T2[1, 0]}  2 {T2[1, 1]}
 end of section 1
 FINISHED
"""
COMMANDS = """% two-level test model
N2 1 N3 1 NCONF 1 1
XHAM 1 1 1 2 1
XTRAN 1 1 1 1 1
TRIADS
A1G T1U T1U
eg t1u t1u   % degenerate ground level

ENDTRIADS
DIP 2.0 EF1 1.0
TRIADS
A1G T1U T1U
ENDTRIADS
"""


@pytest.fixture(scope="module")
def two_level(tmp_path_factory, engine):
    d = tmp_path_factory.mktemp("two_level")
    (d / "FTN15").write_text(RECIPES)
    (d / "FTN14").write_text(COEFFICIENTS)
    (d / "fort.50").write_text(COMMANDS)
    assert run_engine_in(d, engine).returncode == 0
    return read_run(d)


def test_lines_are_the_excited_eigenstates_with_projected_amplitudes(two_level):
    t = two_level.triads[0]
    evals, evecs = np.linalg.eigh(H)
    s = t.sticks()
    assert t.ground.eg0 == 0.0 and t.ground.ndeg == 1
    assert s.energy == pytest.approx(evals, abs=1e-5)
    # amplitudes are the projections of the transition row on the eigenvectors (sign free)
    assert np.abs(s.amplitude) == pytest.approx(np.abs(evecs.T @ T1), abs=1e-6)
    # sum rule: the intensities add up to |T1|^2 = 1
    assert s.total == pytest.approx(T1 @ T1, abs=1e-5)
    assert t.absorption[0].total == pytest.approx(np.sum(s.amplitude), abs=1e-5)


def test_degenerate_ground_level_is_averaged(two_level):
    t = two_level.triads[1]
    assert t.labels == ("EG", "T1U", "T1U")        # the line was upper-cased by the engine
    assert t.ground.ndeg == 2 and len(t.absorption) == 2
    s = t.sticks()
    assert sorted(set(s.initial_state)) == [1, 2]
    # the two initial states span the degenerate level: their summed intensities are the
    # squared norm of the transition matrix, averaged over the 2 states
    assert s.total == pytest.approx(np.sum(T2 ** 2) / 2, abs=1e-5)
    assert t.summary.ndeg == 2


def test_second_block_keeps_what_it_does_not_mention(two_level):
    b1, b2 = two_level.blocks
    assert [t.index for t in b2.triads] == [3] and b2.triads[0].number_in_block == 1
    assert b2.command_lines == ["DIP 2.0 EF1 1.0", "TRIADS", "ENDTRIADS"]
    assert b1.triads[1].command_lines == ["EG T1U T1U   % DEGENERATE GROUND LEVEL"]
    for key in ("N2", "N3", "NCONF", "W", "DEL"):
        assert b2.params[key] == b1.params[key]
    assert (b1.params["DIP"], b2.params["DIP"], b2.params["EF1"]) == (1.0, 2.0, 1.0)
    # EF1 shifts every excited level; DIP scales every amplitude
    first, third = two_level.triads[0].sticks(), two_level.triads[2].sticks()
    assert third.energy == pytest.approx(first.energy + 1.0, abs=2e-5)
    assert third.intensity == pytest.approx(4 * first.intensity, rel=1e-5)


def test_weighted_combination(two_level):
    a, b = two_level.triads[0].sticks(), two_level.triads[1].sticks()
    both = two_level.sticks(triads=[1, 2], weights=[2.0, 0.5])
    assert len(both) == len(a) + len(b)
    assert both.total == pytest.approx(2.0 * a.total + 0.5 * b.total)
    assert list(both.triad) == [1] * len(a) + [2] * len(b)
    assert both.meta["weights"] == [2.0, 0.5]
    assert both.meta["parts"][1]["labels"] == ("EG", "T1U", "T1U")
    # amplitudes scale with sqrt(weight) so that intensity = amplitude^2 / ndeg still holds
    assert both.intensity[:2] == pytest.approx(both.amplitude[:2] ** 2)
    diff = Sticks.combine([(a, 1.0), (a, -1.0)])
    assert diff.total == pytest.approx(0.0) and np.all(np.isnan(diff.amplitude[2:]))
    with pytest.raises(ValueError, match="absolute"):
        Sticks.combine([(a, 1.0), (two_level.triads[0].sticks(absolute=True), 1.0)])
    with pytest.raises(ValueError, match="weights"):
        two_level.sticks(weights=[1.0])
    # combining runs works the same way: the whole run twice equals weight 2
    run_total = two_level.sticks().total
    assert Sticks.combine([(two_level.sticks(), 1.0), (two_level.sticks(), 1.0)]).total == (
        pytest.approx(2 * run_total))


AUGER_BLOCKS = """AUGER NOMEGA 3 ESTART 0.0 ESTEP 0.5 ENDAUGER
TRIADS
A1G T1U T1U
ENDTRIADS
AUGER NOMEGA 0 ENDAUGER
TRIADS
A1G T1U T1U
ENDTRIADS
"""


def test_auger_blocks_append_to_the_same_yield_file(tmp_path, engine):
    for f in ("FTN14", "FTN15"):
        shutil.copy(EXAMPLES / "auger_resonance" / f, tmp_path / f)
    text = (EXAMPLES / "auger_resonance" / "fort.50").read_text() + AUGER_BLOCKS
    (tmp_path / "fort.50").write_text(text)
    assert run_engine_in(tmp_path, engine).returncode == 0
    run = read_run(tmp_path)
    t1, t2, t3 = run.triads
    assert [t.number_in_block for t in run.triads] == [1, 1, 1]    # all three in fort.62
    assert (t1.auger.nomega, t2.auger.nomega, t3.auger.nomega) == (22, 3, 0)
    assert t2.auger.photon_energies == pytest.approx([0.0, 0.5, 1.0])
    assert t3.auger.photon_energies.size == 0 and t3.auger.steps == []
    # a new AUGER block starts again from GAMMA = 0: absorption equals yield
    assert t1.block.params["GAMMA"] == 0.1 and t2.block.params["GAMMA"] == 0.0
    assert t2.auger.total_absorption == pytest.approx(t2.auger.total_yield)
    assert np.any(t1.auger.total_absorption > t1.auger.total_yield + 1e-3)
    # channel data persist from block to block
    assert t3.block.params["EFAUG1_1"] == 2.0 and t3.block.params["ESTART"] == 0.0
    # the off-resonance point does not depend on the scan
    offs = [t.auger.off_resonance for t in run.triads]
    assert [o.printed_energy for o in offs] == [-2.25, -0.5, -0.5]
    assert len({o.total_yield for o in offs}) == 1
    for t in run.triads:
        assert t.auger.intermediate.total_intensity == pytest.approx(1.36)


FIVEFOLD = {
    "FTN15": """IRREP GROUND EG MULT 5 DIM 1
IRREP EXCITE T1U MULT 2 DIM 1
REDUCEDMATRIX TRANSI EG T1U T1U RM1 5 2
  ADD 1 1 1 5 2 1
  END RM1
REDUCEDMATRIX EXCITE T1U 0 T1U RM2 2 2
  ADD 2 1 1 2 2 1
  END RM2
""",
    "FTN14": """RME  MATRIX 1 IN SECTION 1   5 2 10
 1 2  1 0.3  2 -0.4
 2 2  1 1.2  2 0.5
 3 2  1 0.1  2 0.2
 4 2  1 -0.7  2 0.5
 5 2  1 0.0  2 0.9
RME  MATRIX 2 IN SECTION 1   2 2 4
 1 2  1 1  2 0.5
 2 2  1 0.5  2 3
 FINISHED
""",
    "fort.50": "N2 1 N3 1 NCONF 1 1\nXHAM 1 1 1 2 1\nXTRAN 1 1 1 1 1\nTRIADS\nEG T1U T1U\nENDTRIADS\n",
}


def test_fivefold_ground_level(tmp_path, engine):
    """Five lowest energies end the report with an empty record; five initial states."""
    for name, text in FIVEFOLD.items():
        (tmp_path / name).write_text(text)
    assert run_engine_in(tmp_path, engine).returncode == 0
    assert "\n\n energies and purities" in (tmp_path / "fort.44").read_text()
    t, = read_run(tmp_path).triads
    assert t.ground.ndeg == 5 and len(t.ground.lowest) == 5 and len(t.absorption) == 5
    rows = np.array([[0.3, -0.4], [1.2, 0.5], [0.1, 0.2], [-0.7, 0.5], [0.0, 0.9]])
    assert t.sticks().total == pytest.approx(np.sum(rows ** 2) / 5, abs=1e-5)


DIRECT = {
    "FTN15": """IRREP GROUND A1G MULT 1 DIM 1
IRREP EXCITE T1U MULT 3 DIM 1
REDUCEDMATRIX TRANSI A1G T1U T1U RM1 1 3
  ADD 1 1 1 1 3 1
  END RM1
REDUCEDMATRIX EXCITE T1U 0 T1U RM2 3 3
  ADD 2 1 1 3 3 1
  END RM2
""",
    # every excited state carries the channel-1 tag 1000: no intermediate state
    "FTN14": """RME  MATRIX 1 IN SECTION 1   1 3 3
 1 3  1 0.5  2 0.3  3 0.2
RME  MATRIX 2 IN SECTION 1   3 3 5
 1 2  1 1000  2 0.1
 2 2  1 0.1  2 1001
 3 1  3 1002
 FINISHED
""",
    "fort.50": """N2 1 N3 1 NCONF 1 1
XHAM 1 1 1 2 1
XTRAN 1 1 1 1 1
AUGER NOMEGA 2 ESTART 0 ESTEP 1 NO 1 DIP 7.3756356 DEF EF1 = 0.5UNITY
ENDAUGER
TRIADS
A1G T1U T1U
ENDTRIADS
AUGER NOMEGA -1 ENDAUGER
TRIADS
A1G T1U T1U
ENDTRIADS
""",
}


def test_direct_auger_spectrum_without_intermediate_states(tmp_path, engine):
    for name, text in DIRECT.items():
        (tmp_path / name).write_text(text)
    assert run_engine_in(tmp_path, engine).returncode == 0
    t1, t2 = read_run(tmp_path).triads
    a = t1.auger
    assert a.intermediate is None and a.sizes.noa == 0 and a.sizes.nob == 3
    # the channel tag is replaced by the channel energy EF1 = 0.5; DIP 2 x 3.6878178 doubles T
    expected = np.linalg.eigvalsh(np.array([[0.0, 0.1, 0.0], [0.1, 1.0, 0.0], [0, 0, 2.0]])) + 0.5
    for e, i in a.steps + [(a.off_resonance.energies, a.off_resonance.intensities)]:
        assert e == pytest.approx(expected, abs=1e-5)
        assert np.sum(i) == pytest.approx(4 * 0.38, abs=1e-5)
    # the same spectrum at every step: yield and absorption are its total
    assert a.total_yield == pytest.approx([1.52, 1.52]) and a.total_absorption == pytest.approx(
        a.total_yield)
    assert t1.sticks().meta["kind"] == "direct" and t1.sticks().total == pytest.approx(1.52,
                                                                                     abs=1e-5)
    # NOMEGA < 0: no step, no curve
    assert t2.auger.nomega == -1 and t2.auger.steps == [] and t2.auger.off_resonance is None
    assert len(t2.sticks()) == 0


def test_words_beyond_the_echoed_columns(tmp_path, engine):
    """The echo shows 79 columns; the engine reads 136. The command file beside the results
    supplies the rest; without it the reader warns that words may be missing."""
    (tmp_path / "FTN15").write_text(RECIPES)
    (tmp_path / "FTN14").write_text(COEFFICIENTS)
    long_line = "N2 1 N3 1 NCONF 1 1".ljust(85) + "ef1 1.5 w 0.5"
    (tmp_path / "fort.50").write_text(long_line + "\nXHAM 1 1 1 2 1\nXTRAN 1 1 1 1 1\n"
                                      "TRIADS\nA1G T1U T1U\nENDTRIADS\n")
    assert run_engine_in(tmp_path, engine).returncode == 0
    t, = read_run(tmp_path).triads
    assert t.block.params["EF1"] == 1.5
    assert t.sticks().energy == pytest.approx(np.linalg.eigvalsh(H) + 1.5, abs=1e-5)
    assert t.block.command_lines[0].endswith("EF1 1.5 W 0.5") and t.block.params["W"] == 0.5

    (tmp_path / "fort.50").write_text("W 1.0\nTRIADS\n")        # some other command file
    with pytest.warns(UserWarning, match="not the command file of this run"):
        run = read_run(tmp_path)
    # from the echo alone EF1 stays unseen; W is restored from the quoted run description
    assert run.blocks[0].params["EF1"] == 0.0
    (tmp_path / "fort.50").unlink()
    with pytest.warns(UserWarning, match=r"W = 0.0 from the command echo, 0.5 in the run "
                                         r"description of triad 1"):
        run = read_run(tmp_path)
    assert run.blocks[0].params["W"] == 0.5
