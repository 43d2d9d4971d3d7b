"""A fit's command files: the in-place rewrite of the fitted words gives, at every point, the
text of the general edit, and refuses what the general edit refuses."""
from __future__ import annotations

import numpy as np
import pytest

from conftest import EXAMPLES
from morvex7.commandfile import CommandFile, ParameterError, ValueTemplate
from morvex7.fitmodel import SpectrumModel
from morvex7.params import ParameterMap
from morvex7.runner import model_text


@pytest.mark.parametrize("example, names", [
    ("ni2_oh_charge_transfer", ["10Dq", "Delta", "V_eg", "kappa.excited"]),  # shared XHAM split
    ("ni2_d4h_dichroism", ["Ds", "Dt"]),
    ("charge_transfer", ["DEL", "XHAM[2,1][2]", "N2"]),  # engine names, an integer among them
])
def test_every_point_gives_the_general_edit(example, names):
    model = SpectrumModel(EXAMPLES / example, names, None, "/nonexistent")
    pmap, text = ParameterMap.load(EXAMPLES / example), model_text(EXAMPLES / example)
    rng = np.random.default_rng(3)
    for k in range(25):
        values = {n: float(rng.uniform(0.05, 9.0)) for n in names}
        if "N2" in values:
            values["N2"] = float(rng.integers(1, 6))
        if k == 7:  # a word much longer than the one it replaces
            values[names[0]] = -1.2345678e-7
        assert model.command_text(values) == pmap.apply(text, values), values


def test_a_word_past_the_engine_columns_is_refused_as_before():
    line = "DEL 3.0 UCV 5.0 UVV 4.0" + " " * 105 + "N2 4"  # N2 ends at column 132 of 136
    text = f"% test\n{line}\nNCONF 1 1\nXHAM 1 1 1 1 1\nXTRAN 1 1 1 1 1\n"
    cf = CommandFile(text)
    cf.update({"DEL": 3.0})
    template = ValueTemplate(cf, ["DEL"])
    assert template.text({"DEL": 2.5}).splitlines()[1].startswith("DEL 2.5 UCV")
    with pytest.raises(ParameterError, match="would grow beyond the 136 columns"):
        template.text({"DEL": 2.123456})  # pushes N2's value out of the columns read
    with pytest.raises(ParameterError, match="edits"):
        template.text({"UCV": 1.0})
