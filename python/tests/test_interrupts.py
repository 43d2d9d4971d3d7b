"""SIGTERM (a batch system's end of a job) and Ctrl-C stop a fit or a sweep in one line,
with the shell's status, removing the fit's scratch runs."""
from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from conftest import EXAMPLES

MODEL = EXAMPLES / "charge_transfer"
PACKAGE = str(Path(__file__).resolve().parents[1])


def test_sigterm_in_a_fit_leaves_no_scratch_run_and_no_traceback(tmp_path, engine):
    data = tmp_path / "measured.csv"
    x = np.linspace(-2.0, 12.0, 80)
    np.savetxt(data, np.column_stack([x, np.exp(-x ** 2)]), delimiter=",",
               header="energy,intensity", comments="")
    slow = tmp_path / "slow"
    slow.write_text(f"#!/bin/sh\nsleep 0.2\nexec {engine}\n")
    slow.chmod(0o755)
    env = dict(os.environ, MORVEX7=str(engine))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE, env.get("PYTHONPATH")]))
    out = tmp_path / "out"
    proc = subprocess.Popen(
        [sys.executable, "-m", "morvex7.cli_fit", str(MODEL), str(data), "-o", str(out),
         "--param", "DEL=3.5,min=1,max=6", "--workers", "1", "--engine", str(slow),
         "--no-plot"], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    while not list(out.glob("runs-*/*/fort.44")) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert list(out.glob("runs-*")), "the fit never ran the engine"
    proc.send_signal(signal.SIGTERM)
    _, err = proc.communicate(timeout=120)
    assert proc.returncode == 143, err
    assert err.strip().splitlines()[-1] == "morvex7-fit: stopped by SIGTERM; no result was " \
                                           "written", err
    assert "Traceback" not in err
    assert not list(out.glob("runs-*"))
