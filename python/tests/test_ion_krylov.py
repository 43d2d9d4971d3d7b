"""Large core-hole symmetries get their spectra from Lanczos steps (the engine's KRYLOV)."""
from __future__ import annotations

import json
import re
import subprocess

import numpy as np
import pytest

from conftest import EXAMPLES, run_engine_in
from morvex7.ion.build import build, write_model
from morvex7.ion.estimate import KRYLOV_AUTO_DIMENSION, KRYLOV_STEPS, krylov_steps
from morvex7.ion.model import load_description, model_from_dict

TI4 = {"valence": "3d", "electrons": 0, "core": "2p", "symmetry": "Oh",
       "ground": {"F2vv": 9.0, "F4vv": 5.6, "zeta_v": 0.05, "10Dq": 1.2},
       "excited": {"F2vv": 9.0, "F4vv": 5.6, "zeta_v": 0.05, "zeta_c": 6.8, "F2cv": 5.0,
                   "G1cv": 3.7, "G3cv": 2.1, "10Dq": 1.2},
       "charge_transfer": {"Delta": 3.0, "U": 6.0, "Q": 7.0, "V": 2.0}}


def test_the_choice_of_steps():
    m = model_from_dict(TI4)
    assert m.krylov is None
    assert krylov_steps(m, [KRYLOV_AUTO_DIMENSION]) == 0
    assert krylov_steps(m, [10, KRYLOV_AUTO_DIMENSION + 1]) == KRYLOV_STEPS
    assert krylov_steps(model_from_dict({**TI4, "triads": {"krylov": 0}}), [10**5]) == 0
    assert krylov_steps(model_from_dict({**TI4, "triads": {"krylov": 40}}), [10]) == 40
    for bad in (-1, 2.5, "500", True):
        with pytest.raises(ValueError, match="krylov"):
            model_from_dict({**TI4, "triads": {"krylov": bad}})


def moments(run, k_max: int) -> np.ndarray:
    from morvex7.ion.spectra import combined_sticks

    s = combined_sticks(run)
    return np.array([np.sum(s.intensity * s.energy ** k) for k in range(k_max + 1)])


def test_krylov_spectra_keep_the_exact_moments(tmp_path, engine):
    """n Lanczos steps reproduce the first 2n - 1 moments of each spectrum (a property of the
    method, not of this code): compared with the exact run of the same model."""
    from morvex7.results import Run

    built = build(load_description(EXAMPLES / "ni2_oh_charge_transfer" / "model.toml"))
    exact = write_model(built, tmp_path / "exact")
    built.model.krylov = 3
    krylov = write_model(built, tmp_path / "krylov")
    assert "KRYLOV" not in (exact / "fort.50").read_text()
    assert "\nKRYLOV 3\n" in (krylov / "fort.50").read_text()
    assert json.loads((krylov / "model.json").read_text())["krylov"] == 3
    runs = []
    for d in (exact, krylov):
        proc = run_engine_in(d, engine)
        assert proc.returncode == 0 and "STOP Normal end" in proc.stderr + proc.stdout
        runs.append(Run.load(d))
    assert "Krylov spectrum" in (krylov / "log.txt").read_text()
    lines = [sum(len(b.energies) for t in r.triads for b in t.absorption) for r in runs]
    assert lines[1] < lines[0]
    np.testing.assert_allclose(moments(runs[1], 5), moments(runs[0], 5), rtol=2e-4)


def test_a_large_model_runs_with_the_work_array_it_records(tmp_path, engine):
    """Ti4+ 3d0 with charge transfer: its T1U core-hole symmetry (4394 states) is past the
    limit, so the spectrum takes 500 steps, within the work array model.json gives."""
    out = write_model(build(model_from_dict(TI4)), tmp_path / "ti4")
    desc = json.loads((out / "model.json").read_text())
    assert desc["krylov"] == KRYLOV_STEPS and f"KRYLOV {KRYLOV_STEPS}" in (out / "fort.50").read_text()
    proc = subprocess.run([str(engine), "--work-array", str(desc["work_array"])], cwd=out,
                          capture_output=True, text=True, timeout=600)
    assert "STOP Normal end" in proc.stderr + proc.stdout, proc.stdout[-2000:]
    used = int(re.search(r"Maximum heap used:\s+(\d+)", proc.stdout).group(1))
    assert desc["work_array"] / 3 < used < desc["work_array"]


def test_the_estimate_counts_dense_work_only_where_it_is_done():
    """A ground space of 24297 states (Mn2+ with five band levels) is reduced densely: many
    minutes, said before the build; Ti4+'s 4394 core-hole states take Lanczos steps instead."""
    from morvex7.ion.build import make_symmetry
    from morvex7.ion.estimate import estimate

    ti = model_from_dict(TI4)
    est = estimate(ti, make_symmetry("Oh"))
    assert est.krylov == KRYLOV_STEPS and est.dense_seconds < 5 and est.krylov_seconds > 0
    mn = model_from_dict({**TI4, "electrons": 5, "charge_transfer": {
        **TI4["charge_transfer"], "levels": [5, 5], "width": 2.0}})
    est = estimate(mn, make_symmetry("Oh"))
    assert est.largest("ground")[1] == 24297 and est.engine_seconds > 600
    assert "engine CPU about" in est.text() and " min in dense matrices" in est.text()
