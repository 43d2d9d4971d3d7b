"""Physical parameter names: a run with names set through model.json equals a model rebuilt
from the description with those values; names the model lacks, or that change nothing, are
refused before anything runs."""
from __future__ import annotations

import copy
import json
import tomllib

import numpy as np
import pytest

import morvex7
from morvex7.commandfile import ParameterError
from morvex7.engine import REPO_ROOT
from morvex7.ion.build import build_model
from morvex7.ion.model import model_from_dict
from morvex7.params import ParameterMap

EXAMPLES = REPO_ROOT / "examples"
NIO = EXAMPLES / "ni2_oh_charge_transfer"


def description(name: str) -> dict:
    return tomllib.loads((EXAMPLES / name / "model.toml").read_text())


def assert_same_spectrum(a, b) -> None:
    sa, sb = a.sticks(), b.sticks()
    keep_a, keep_b = sa.intensity > 1e-6, sb.intensity > 1e-6
    np.testing.assert_allclose(np.sort(sa.energy[keep_a]), np.sort(sb.energy[keep_b]), atol=3e-4)
    assert sa.intensity.sum() == pytest.approx(sb.intensity.sum(), rel=1e-4)
    assert a.triads[0].ground.eg0 == pytest.approx(b.triads[0].ground.eg0, abs=3e-4)


def test_physical_names_move_every_engine_number_they_drive(tmp_path, engine):
    """10Dq, Delta, V_eg and kappa set by name give the spectrum of the model rebuilt with
    those values in its description (every configuration, both sides)."""
    run = morvex7.run(NIO, {"10Dq": 1.4, "Delta": 3.0, "V_eg": 2.6, "kappa": 0.8},
                      tmp_path / "named", engine=engine)
    d = copy.deepcopy(description("ni2_oh_charge_transfer"))
    d["ground"]["10Dq"] = 1.4
    d["charge_transfer"]["Delta"] = 3.0
    d["charge_transfer"]["V_eg"] = 2.6
    for side in ("ground", "excited"):
        for k in d[side]:
            if k[0] in "FG":
                d[side][k] *= 0.8
    built = build_model(model_from_dict(d), tmp_path / "rebuilt")
    ref = morvex7.run(tmp_path / "rebuilt", None, tmp_path / "ref", engine=engine)
    assert_same_spectrum(run, ref)
    assert run.triads[0].ground.eg0 == pytest.approx(built.ground_symmetries[0].energies[0],
                                                      abs=3e-4)
    assert run.record.params["10Dq"] == 1.4  # the record keeps the names the user gave


def test_map_of_the_charge_transfer_example():
    pm = ParameterMap.load(NIO)
    values = pm.values()
    assert values["10Dq"] == 1.0 and values["Delta"] == 4.0 and values["V_t2g"] == 1.1
    # 10Dq: every configuration of both sides, the full-shell ones (3d10) without effect
    dq = pm.parameters["10Dq"]
    assert sorted(t.engine for t in dq.targets) == sorted(
        ["XHAM[1,1][4]", "XHAM[1,2][4]", "XHAM[1,3][4]", "XHAM[2,1][8]", "XHAM[2,2][8]"])
    assert {t.engine for t in dq.targets if not t.effective} == {"XHAM[1,3][4]", "XHAM[2,2][8]"}
    # scopes and the more specific name winning where names overlap
    got = pm.resolve({"10Dq": 1.2, "excited.10Dq": 0.9, "kappa": 0.5, "excited.F2cv": 6.0})
    assert got["XHAM[1,2][4]"] == 1.2 and got["XHAM[2,1][8]"] == 0.9
    assert got["XHAM[1,1][1]"] == pytest.approx(0.5 * 9.76) and got["XHAM[2,1][5]"] == 6.0
    assert pm.resolve({"delta": 3.0, "XHAM[2,1][3]": 0.2}) == {"DEL": 3.0, "XHAM[2,1][3]": 0.2}
    # V_eg moves the core-hole side too (no V_eg_excited in the description)
    assert "XMIX[2,1,2][1]" in pm.resolve({"V_eg": 2.0})


@pytest.mark.parametrize("params, message", [
    ({"Foo": 1.0}, "unknown parameter 'Foo'"),
    ({"F2vv": 9.0}, "differs between the sides"),      # ground 9.76, excited 10.3
    ({"excited.F2vv": 9.0}, "changes nothing"),         # 2p5 3d9 and 2p5 3d10 L: one hole or none
    ({"V": 2.0}, "changes nothing"),                    # V_eg and V_t2g are given
    ({"10Dq": 1.2, "ground.F2vv": 9.0, "excited.10Dq": 1.0, "XHAM[2,1][8]": 2.0}, None),
    ({"V_excited": 1.0, "V_eg_excited": 2.0, "V_t2g": 1.2}, "both set"),
])
def test_refusals_before_anything_runs(tmp_path, params, message):
    work = tmp_path / "run"
    if message is None:  # overlapping names agree on specificity: accepted
        ParameterMap.load(NIO).resolve(params)
        return
    with pytest.raises(ParameterError, match=message):
        morvex7.run(NIO, params, work, engine="/nonexistent/engine")
    assert not work.exists()


def test_map_is_derived_for_a_model_json_without_it():
    data = json.loads((NIO / "model.json").read_text())
    stored = ParameterMap.from_model_json(data)
    del data["physical"]
    derived = ParameterMap.from_model_json(data)
    assert set(derived.parameters) == set(stored.parameters)
    for name, p in stored.parameters.items():
        q = derived.parameters[name]
        assert q.value == p.value
        assert [(t.engine, t.factor) for t in q.targets] == [(t.engine, t.factor) for t in p.targets]


def test_v_excited_next_to_per_set_hybridisation_is_refused():
    d = copy.deepcopy(description("ni2_oh_charge_transfer"))
    d["charge_transfer"]["V_excited"] = 1.5
    with pytest.raises(ValueError, match="V_excited next to V_eg, V_t2g"):
        model_from_dict(d)
