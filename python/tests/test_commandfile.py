"""Setting parameters in command files by tokens, checked against the engine's own reading."""
from __future__ import annotations

import re
import shutil

import numpy as np
import pytest

from conftest import EXAMPLES, run_engine_in
from morvex7.commandfile import CommandFile, ParameterError, edit_command_file, normalise
from morvex7.results import Run

CT = (EXAMPLES / "charge_transfer" / "fort.50").read_text()
DEFS = "\n".join(ln for ln in CT.splitlines() if ln.startswith("DEF"))

# Two blocks, comments, lower case, underscores, a shared XHAM command and DEF lines in both.
TWO_BLOCKS = f"""% Two blocks: the second changes DEL and redefines the energies
n_2 4 N3 3 w 2.0 DIP 1.0   % band
DEL 3.0 UCV 5.0 UVV 4.0
NCONF 3 3
XHAM 1 1 2 1 2 1 3
XMIX 1 1 1 1 1 2
XMIX 1 1 1 1 2 3
XHAM 2 1 0.600000024 1 2 1
XHAM 1 1 1 2 2
XHAM 1 1 1 2 3
XMIX 1 1 1 2 1 2
XMIX 1 1 1 2 2 3
XTRAN 1 1 3 1 1 2 2 3 3
{DEFS}
ERANGE 0.001
TRIADS
A1G T1U T1U
ENDTRIADS
% second block
del 2.0   % smaller charge-transfer energy
{DEFS.lower()}
TRIADS
A1G T1U T1U
ENDTRIADS
"""


def run_text(tmp_path, name, text, engine, model="charge_transfer"):
    d = tmp_path / name
    d.mkdir()
    for f in ("FTN14", "FTN15"):
        shutil.copy(EXAMPLES / model / f, d / f)
    (d / "fort.50").write_text(text)
    proc = run_engine_in(d, engine)
    assert proc.returncode == 0, proc.stderr
    return d


def eg0s(run_dir):
    return [float(x) for x in
            re.findall(r"Eg0=\s*(\S+)", (run_dir / "fort.44").read_text())]


def assert_echoed(run_dir, text):
    """Every non-empty line of `text` appears in fort.44 as the engine echoes it."""
    echo = {ln.rstrip() for ln in (run_dir / "fort.44").read_text().splitlines()}
    for line in text.splitlines():
        if line.strip():
            assert (" " + normalise(line)[:79]).rstrip() in echo, line


def changed_lines(old: str, new: str) -> tuple[list[str], list[str]]:
    a, b = old.splitlines(), new.splitlines()
    return [x for x in a if x not in b], [x for x in b if x not in a]


def test_settings_in_two_blocks_are_what_the_engine_reads(tmp_path, engine):
    cf = CommandFile(TWO_BLOCKS)
    cf.update({"DEL@2": 2.5, "W": 1.5, "XHAM[2,1][2]": 0.5, "UCV@2": 5.5})
    gone, added = changed_lines(TWO_BLOCKS, cf.text)
    assert gone == ["n_2 4 N3 3 w 2.0 DIP 1.0   % band", "XHAM 2 1 0.600000024 1 2 1",
                    "del 2.0   % smaller charge-transfer energy"]
    assert added == ["n_2 4 N3 3 w 1.5 DIP 1.0   % band", "XHAM 2 1 0.5 1 2 1",
                     "UCV 5.5", "del 2.5   % smaller charge-transfer energy"]
    # The absent UCV of block 2 goes before its DEF lines, which must see it.
    lines = cf.text.splitlines()
    assert lines.index("UCV 5.5") == lines.index("% second block") + 1
    assert cf.get("DEL@2") == 2.5 and cf.get("DEL") == 3.0 and cf.get("N2") == 4

    edited = run_text(tmp_path, "edited", cf.text, engine)
    assert_echoed(edited, cf.text)
    # The values the engine read, recovered from its echo block by block.
    first, second = Run.load(edited).blocks
    assert (first.params["W"], first.params["DEL"], first.params["UCV"]) == (1.5, 3.0, 5.0)
    assert (second.params["W"], second.params["DEL"], second.params["UCV"]) == (1.5, 2.5, 5.5)
    assert second.params["EF2"] == np.float32(2.5) - np.float32(5.5)  # DEF saw the new UCV
    # The engine's reading confirmed by physics: each block equals a single-block model
    # written by hand with the same values.
    by_hand = CT.replace("W 2.0", "W 1.5").replace("0.600000024", "0.5")
    block2 = by_hand.replace("DEL 3.0 UCV 5.0", "DEL 2.5 UCV 5.5")
    ref1 = run_text(tmp_path, "ref1", by_hand, engine)
    ref2 = run_text(tmp_path, "ref2", block2, engine)
    assert eg0s(edited) == eg0s(ref1) + eg0s(ref2)
    assert eg0s(ref1) != eg0s(ref2)


def test_shared_entry_is_split_and_reads_as_written_by_hand(tmp_path, engine):
    cf = CommandFile(TWO_BLOCKS)
    cf.set("XHAM[1,3]", 0.8)
    cf.set("XTRAN[2,2]", 0.9)
    gone, added = changed_lines(TWO_BLOCKS, cf.text)
    assert gone == ["XHAM 1 1 2 1 2 1 3", "XTRAN 1 1 3 1 1 2 2 3 3"]
    assert added == ["XHAM 1 1 1 1 2", "XHAM 1 0.8 1 1 3",
                     "XTRAN 1 1 2 1 1 3 3", "XTRAN 1 0.9 1 2 2"]
    assert cf.get("XHAM[1,2]") == 1.0 and cf.get("XHAM[1,3]") == pytest.approx(0.8)
    edited = run_text(tmp_path, "split", cf.text, engine)
    by_hand = (CT.replace("XHAM 1 1 1 1 3", "XHAM 1 0.8 1 1 3")
               .replace("XTRAN 1 1 1 2 2", "XTRAN 1 0.9 1 2 2"))
    ref = run_text(tmp_path, "hand", by_hand, engine)
    assert eg0s(edited)[0] == eg0s(ref)[0]
    spectrum = (ref / "fort.44").read_text().split("TRANSFORMED MATRIX")[1].split(" ENDTRIADS")[0]
    assert spectrum in (edited / "fort.44").read_text()


def test_auger_values_and_added_channel(tmp_path, engine):
    text = (EXAMPLES / "auger_resonance" / "fort.50").read_text()
    cf = CommandFile(text)
    cf.update({"AUGER.GAMMA": 0.2, "AUGER.CI[2]": 0.5, "AUGER.ESTEP": 0.125,
               "AUGER.DEL": 1.25})
    gone, added = changed_lines(text, cf.text)
    assert gone == ["  NOMEGA 22 ESTART -2.0 ESTEP 0.25", "  GAMMA 0.1"]
    assert added == ["  DEL 1.25", "  NOMEGA 22 ESTART -2.0 ESTEP 0.125", "  GAMMA 0.2",
                     "NO 2 CI 0.5"]
    assert cf.get("AUGER.CI[2]") == 0.5 and cf.get("AUGER.CI[1]") == 1.0
    assert cf.text.splitlines()[-4] == "ENDAUGER"
    edited = run_text(tmp_path, "auger", cf.text, engine, model="auger_resonance")
    assert_echoed(edited, cf.text)
    params = Run.load(edited).blocks[0].params
    assert (params["GAMMA"], params["CI2"], params["ESTEP"]) == (0.2, 0.5, 0.125)
    assert params["CI1"] == 1.0


def test_everything_but_the_set_words_is_kept_byte_for_byte():
    text = ("% crlf file\r\nN2 4\tN3 3 W  2.0\r\n  DEL 3.0   % c DEL 9\r\nDEF EG2 = DEL % x\r\n"
            "TRIADS extra\r\nA1G T1U T1U\r\nENDTRIADS")
    cf = CommandFile(text)
    # "4\tN3" is one word for the engine, so N3 is not a keyword here; W is.
    assert cf.get("N3") is None
    cf.set("W", 1.0)
    cf.set("DEL", -0.5)
    assert cf.text == text.replace("W  2.0", "W  1.0").replace("DEL 3.0", "DEL -0.5")
    cf.set("ERANGE", 1e-7)
    assert cf.text.startswith("% crlf file\r\nERANGE 0.0000001\r\nN2 4\t")
    assert cf.text.endswith("ENDTRIADS")


@pytest.mark.parametrize("name, value, message", [
    ("FOO", 1.0, "unknown parameter 'FOO'"),
    ("DELTA", 1.0, "unknown parameter"),
    ("AUGER.W", 1.0, "unknown parameter"),
    ("EG2", 1.0, "DEF line"),
    ("XHAM[2,1][3]", 1.0, "gives this entry 2 factor"),
    ("XHAM[1,1][2]", 1.0, "only its first factor can be added"),
    ("XHAM[1]", 1.0, "named by 2 numbers"),
    ("DEL@3", 1.0, "has 2 band-calculation block"),
    ("N2", 4.5, "must be an integer"),
    ("W", float("nan"), "not finite"),
    ("AUGER.GAMMA", 0.1, "no AUGER block"),
    ("NCONF[3]", 1, "NCONF[1]"),
])
def test_refusals_name_the_problem(name, value, message):
    cf = CommandFile(TWO_BLOCKS)
    with pytest.raises(ParameterError, match=re.escape(message)):
        cf.set(name, value)
    assert cf.text == TWO_BLOCKS


@pytest.mark.parametrize("bad", [{"NOPE": 2.0}, {"EG2": 2.0}, {"XHAM[1,2][2]": 1.0}])
def test_update_sets_all_or_nothing(bad):
    cf = CommandFile(TWO_BLOCKS)
    with pytest.raises(ParameterError):
        cf.update({"DEL": 1.0, "XHAM[1,3]": 0.5, **bad})
    assert cf.text == TWO_BLOCKS and cf.get("DEL") == 3.0


def test_tran_entry_and_absent_entry():
    cf = CommandFile("NCONF 1 2 TRAN 1 1 1\nTRIADS\nENDTRIADS\n")
    with pytest.raises(ParameterError, match="TRAN, which has no factor"):
        cf.set("XTRAN[1,1]", 0.5)
    cf.set("XMIX[2,1,2]", 0.25)
    assert cf.text == "NCONF 1 2 TRAN 1 1 1\nXMIX 1 0.25 1 2 1 2\nTRIADS\nENDTRIADS\n"


def test_values_are_read_as_the_engine_reads_them():
    cf = CommandFile("DEL 1.5-3 W 2D1 UCV 5 UVV 1.5x\nTRIADS\nENDTRIADS\n")
    assert cf.get("DEL") == np.float32(0.0015)
    assert cf.get("W") == 20.0 and cf.get("UCV") == 5.0
    with pytest.raises(ParameterError, match="not a number the engine reads"):
        cf.get("UVV")


def test_an_edit_never_moves_words_out_of_the_engines_columns():
    # TRIADS ends at column 134 and a comment runs past column 136: the line is already
    # longer than the engine reads, so a longer value must still be refused.
    line = "DEL 3.0" + " " * 121 + "TRIADS  % a comment that runs past the last column read"
    text = f"NCONF 1 1\n{line}\nA1G T1U T1U\nENDTRIADS\n"
    cf = CommandFile(text)
    with pytest.raises(ParameterError, match="beyond the 136 columns"):
        cf.set("DEL", 3.14159274)
    assert cf.text == text
    cf.set("DEL", 2.5)  # as long as the old word: the line keeps its words in view
    assert cf.get("DEL") == 2.5 and len(cf.blocks[0].triads) == 1


def test_two_names_of_one_parameter_and_absent_configurations_are_refused():
    text = "NCONF 3 2\nDEL 1.0\nTRIADS\nA1G T1U T1U\nENDTRIADS\n"
    with pytest.raises(ParameterError, match="'DEL' and 'del' name the same parameter"):
        edit_command_file(text, {"DEL": 1.0, "del": 3.0})
    with pytest.raises(ParameterError, match="name the same parameter"):
        edit_command_file(text, {"XHAM[2,1]": 1.0, "xham[2, 1][1]@1": 3.0})
    for name in ("XHAM[2,3]", "XMIX[2,1,3]", "XTRAN[1,3]", "XHAM[3,1]"):
        with pytest.raises(ParameterError, match="configuration|side"):
            edit_command_file(text, {name: 0.5})
    assert "XHAM 1 0.5 1 1 3" in edit_command_file(text, {"XHAM[1,3]": 0.5})
