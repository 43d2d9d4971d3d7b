"""docs/sweeps-and-fits.md runs as written: its sh and python blocks, in order, from a copy
of the tree's top (examples/ linked), with the commands called through this interpreter and
one running cluster of two workers standing in for each sweep's "--workers 2" / "n_workers=2"
(a local cluster costs seconds to start; the sweeps' own local clusters are tested elsewhere).
The fits run on their own local workers, as written."""
from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

from morvex7.engine import REPO_ROOT

DOC = REPO_ROOT / "docs" / "sweeps-and-fits.md"


def blocks(text: str) -> list[tuple[str, str]]:
    return re.findall(r"^```(sh|python)\n(.*?)^```", text, flags=re.S | re.M)


def test_worked_example_runs_as_written(tmp_path, engine, fit_client):
    (tmp_path / "examples").symlink_to(REPO_ROOT / "examples")
    env = dict(os.environ, MORVEX7=str(engine),
               PYTHONPATH=str(Path(__file__).resolve().parents[1]))
    py = sys.executable
    address = fit_client.scheduler.address
    found = blocks(DOC.read_text())
    assert [kind for kind, _ in found].count("python") >= 4
    outputs = []
    for i, (kind, code) in enumerate(found):
        if kind == "sh":
            code = re.sub(r"\bmorvex7-(sweep|fit)\b", rf"{py} -m morvex7.cli_\1", code)
            code = re.sub(r"(?<![\w/.-])python3\b", py, code)  # not a shell's other python3
            if "morvex7-sweep" in code:
                code = re.sub(r"--workers \d+", f"--scheduler {address}", code)
            cmd = ["bash", "-euo", "pipefail", "-c", code]
        else:
            if "sweep(" in code:
                code = re.sub(r"\bn_workers=\d+", f"scheduler={address!r}", code)
            (tmp_path / f"block{i}.py").write_text(code)
            cmd = [py, f"block{i}.py"]
        proc = subprocess.run(cmd, cwd=tmp_path, env=env, capture_output=True, text=True,
                              timeout=300)
        assert proc.returncode == 0, f"block {i}:\n{code}\n{proc.stderr}"
        outputs.append(proc.stdout)
    text = "\n".join(outputs)
    assert "quitprog: see output" in text and "Increase parameter maxlevels" in text
    assert (tmp_path / "runs" / "del" / "p00019" / "point.json").is_file()
    assert (tmp_path / "runs" / "dq" / "p00003" / "point.json").is_file()
    fitted = re.search(r"10Dq = (\S+) \+/- (\S+)", text)
    assert abs(float(fitted[1]) - 1.25) < 3 * float(fitted[2])
    assert re.search(r"10Dq: +1\.\d+ \+/- ", text)  # the command line's report, in physical names
    assert (tmp_path / "runs" / "fit" / "fit.png").is_file()
    assert (tmp_path / "runs" / "fit" / "fitted-model.toml").is_file()
