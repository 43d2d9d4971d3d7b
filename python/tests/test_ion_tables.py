"""Atomic parameters by ion: a description with ion = "..." takes the table's Hartree-Fock
values (Slater integrals times kappa), explicit entries override, other ions are refused."""
from __future__ import annotations

import csv
import tomllib
from pathlib import Path

import pytest

from conftest import EXAMPLES
from morvex7.engine import REPO_ROOT
from morvex7.ion.model import model_from_dict
from morvex7.params import ParameterMap

DATA = REPO_ROOT / "python" / "morvex7" / "ion" / "data"
SHARED = REPO_ROOT.parent / "shared" / "atomic-data"
#: shipped examples and their ions
ION_EXAMPLES = {"ni2_oh_charge_transfer": "Ni2+", "ni2_d4h_dichroism": "Ni2+",
                "ion_3d_l23_ct": "Ni2+", "ti4_oh_crystal_field": "Ti4+"}


def table_row(element: str, configuration: str) -> dict[str, float]:
    lines = [l for l in (DATA / "3d-slater-hf.csv").read_text().splitlines()
             if not l.startswith("#")]
    for row in csv.DictReader(lines):
        if row["element"] == element and row["configuration"] == configuration:
            return {k: float(v) for k, v in row.items() if v and k not in
                    ("element", "configuration", "core")}
    raise KeyError((element, configuration))


@pytest.mark.parametrize("example, ion", ION_EXAMPLES.items())
def test_every_shipped_example_rebuilt_from_its_ion(example, ion):
    d = tomllib.loads((EXAMPLES / example / "model.toml").read_text())
    given = {k: d.pop(k) for k in ("valence", "electrons", "core")}
    d["ground"] = {k: v for k, v in d["ground"].items() if "Dq" in k or k in ("Ds", "Dt")}
    d["excited"] = {}
    d.update(ion=ion, edge="L2,3", kappa=0.8)
    m = model_from_dict(d)
    assert (m.valence, m.electrons, m.core) == (given["valence"], given["electrons"], "2p")
    element, n = ion[:2], m.electrons
    g, e = table_row(element, f"3d{n}"), table_row(element, f"2p5 3d{n + 1}")
    for key in ("F2vv", "F4vv"):
        assert m.ground[key] == pytest.approx(0.8 * g[key])
        assert m.excited[key] == pytest.approx(0.8 * e[key])
    for key in ("F2cv", "G1cv", "G3cv"):
        assert m.excited[key] == pytest.approx(0.8 * e[key])
    assert m.ground["zeta_v"] == g["zeta_v"] and m.excited["zeta_c"] == e["zeta_c"]
    assert m.edge_energy == {"Ni": 852.7, "Ti": 453.8}[element]
    assert set(m.core_hole_widths) == {"L3", "L2"}


def test_explicit_values_override_and_kappa_is_a_physical_name(tmp_path):
    from morvex7.ion.build import build_model

    m = model_from_dict({"ion": "Ni2+", "kappa": 0.8, "symmetry": "Oh",
                         "ground": {"10Dq": 1.1}, "excited": {"zeta_c": 11.0}})
    assert m.excited["zeta_c"] == 11.0 and m.ground["10Dq"] == 1.1
    build_model(m, tmp_path)
    pm = ParameterMap.load(tmp_path)
    assert pm.values()["kappa"] == 0.8
    f2 = table_row("Ni", "3d8")["F2vv"]
    assert pm.resolve({"kappa": 0.7})["XHAM[1,1][1]"] == pytest.approx(0.7 * f2)


@pytest.mark.parametrize("entries, message", [
    ({"ion": "Ce3+"}, "3d ions Ti to Cu"),
    ({"ion": "Ni2+", "edge": "K"}, "edge 'K'"),
    ({"ion": "Cu1+"}, "10 3d electrons"),
    ({"valence": "3d", "electrons": 8, "core": "2p", "kappa": 0.8}, "go with ion"),
])
def test_other_ions_are_refused_clearly(entries, message):
    with pytest.raises(ValueError, match=message):
        model_from_dict(entries)


def test_packaged_tables_are_the_shared_ones():
    if not SHARED.is_dir():
        pytest.skip("no shared atomic data beside the repository")
    for name in ("3d-edges.csv", "3d-slater-hf.csv"):
        assert (DATA / name).read_text() == (SHARED / name).read_text()
