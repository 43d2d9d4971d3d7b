"""Recovering block parameters from command lines as the engine reads them."""
from __future__ import annotations

import pytest

from morvex7.commands import (CommandInterpreter, EchoSource, EndOfCommands,
                              evaluate_definition, fortran_real, read_command_file)


class Lines(EchoSource):
    def __init__(self, text: str):
        self.lines = text.upper().replace("_", "").splitlines()

    def next_line(self) -> str:
        if not self.lines:
            raise EndOfCommands(finished=True)
        return self.lines.pop(0)


@pytest.mark.parametrize("rhs, value", [
    ("DEL", 4), ("DEL-UCV", -2), ("2DEL-2UCV+UVV", -2), ("-DEL+1.5UNITY", -2.5),
    ("UVV-0.5UCV+DEL", 3), ("DEL+0.5", 4), ("DEL*2", 4), ("DEL+DEL", 4), ("-UNITY", -1),
])
def test_definitions_follow_the_engine_grammar(rhs, value):
    assert evaluate_definition(f"DEF EG2 = {rhs}", 4.0, 6.0, 2.0) == ("EG2", value)


@pytest.mark.parametrize("line", ["DEF EG2=2*DEL", "DEF EG10=DEL", "DEF EG2", "DEF EG2=1.5.0DEL"])
def test_definitions_the_engine_refuses(line):
    assert evaluate_definition(line, 4.0, 6.0, 2.0) is None


def test_real_numbers_as_the_engine_reads_them():
    assert [fortran_real(w) for w in ("5", "1.5-3", "2D1", "-.5", ".", "-", "1E2")] == [
        5.0, 0.0015, 20.0, -0.5, 0.0, 0.0, 100.0]
    assert fortran_real("1,5") is None and fortran_real("1.2.3") is None


def test_blocks_persist_and_auger_channels():
    text = """nconf 2 1 % comment: N2 99 is not read
n_2 4 N3 3 W 2 DEL 3.0
DEF EF2 = DEL - UCV
ERANGE 1E-3 BOGUS 7
AUGER NOMEGA 5 ESTART -1 ESTEP 0.5 GAMMA 0.2
  NO 2 DIP 0.5 CI 0.8 DELTA 10
  DEF EF1 = DEL
ENDAUGER
TRIADS ignored words
A1G T1U T1U extra
ENDTRIADS
DEL 1.0
AUGER NOMEGA 2 ENDAUGER
TRIADS
"""
    it = CommandInterpreter(Lines(text))
    p1 = it.read_block()
    assert (p1["NCONF"], p1["N2"], p1["N3"], p1["W"], p1["DEL"]) == ("2 1", 4, 3, 2.0, 3.0)
    assert p1["EF2"] == 3.0 and p1["ERANGE"] == 1e-3
    assert it.ignored == ["BOGUS", "7"]
    # channel 2 set, channel 1 untouched; the Auger block's own DEL serves its definitions only
    assert (p1["DIPAUG2"], p1["CI2"], p1["EFAUG2_1"], p1["GAMMA"]) == (0.5, 0.8, 10.0, 0.2)
    assert "DIPAUG1" not in p1 and p1["DEL"] == 3.0
    assert it.read_triad() == ("A1G", "T1U", "T1U")
    assert it.read_triad() is None
    p2 = it.read_block()
    assert p2["DEL"] == 1.0 and p2["EF2"] == 3.0           # defined once, not a formula
    assert (p2["NOMEGA"], p2["ESTART"], p2["GAMMA"], p2["CI2"]) == (2, -1.0, 0.0, 0.8)
    with pytest.raises(EndOfCommands):
        it.read_triad()


def test_krylov_steps_persist_and_a_negative_count_is_refused():
    it = CommandInterpreter(Lines("KRYLOV 300 TRIADS\nENDTRIADS\nKRYLOV -2 TRIADS\n"))
    assert it.read_block()["KRYLOV"] == 300 and it.ignored == []
    assert it.read_triad() is None
    assert it.read_block()["KRYLOV"] == 300       # the engine refuses the negative count too


def test_prmult_triads_have_four_labels_and_long_words_are_cut():
    it = CommandInterpreter(Lines("PRMULT TRIADS\nA1G T1U T1U M1\n" + "X" * 23 + " B C D\n"))
    it.read_block()
    assert it.read_triad() == ("A1G", "T1U", "T1U", "M1")
    assert it.read_triad() == ("X" * 20, "B", "C", "D")


def test_command_file_of_an_example():
    from conftest import EXAMPLES
    (params, triads), = read_command_file(EXAMPLES / "charge_transfer" / "fort.50")
    assert triads == [("A1G", "T1U", "T1U")]
    assert (params["EG3"], params["EF3"], params["N2"]) == (10.0, 0.0, 4)
